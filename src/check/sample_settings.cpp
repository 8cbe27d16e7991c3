#include "check/sample_settings.h"

#include <windows.h>

#include "config/list_source.h"
#include "config/app_state.h"
#include "config/settings.h"
#include "lang/language.h"
#include "notify/log.h"
#include "notify/user_prompt.h"
#include "util/text.h"

static const wchar_t kDemoListUrl[] = L"http://127.0.0.1:8080/update/mirovaneen.xml";

bool OfferSampleSettings(void* ownerWindow, bool mayAsk) {
    HWND owner = static_cast<HWND>(ownerWindow);
    const std::wstring listUrl = CurrentListSource().configured;
    const std::wstring iniName = AppState::exeBaseName + L".ini";
    if (listUrl.empty() && mayAsk) {
        std::wstring q = mv::ReplaceAll(Translate(L"MAIN", L"can't to get [UNDATEINFO]-ListURL from mirovane.ini\nMake a sample?"),
                                        L"mirovane.ini", iniName);
        if (PromptUser(owner, q, L"Mirovane", MB_YESNO | MB_ICONQUESTION, IDNO) == IDYES) {
            WriteSetting(L"Mirovane", L"Language", Translate(L"MAIN", L"mirovane.lan"));
            WriteSetting(L"Mirovane", L"QuickCheck", L"0");
            WriteSetting(L"UPDATEINFO", L"ListURL", kDemoListUrl);
            WriteSetting(L"APPLICATION", L"Application", L"demo.exe");
            WriteSetting(L"APPLICATION", L"Name", L"Mirovane demo");
            ResolveListSource();
        }
    }
    if (listUrl.empty()) {
        std::wstring msg = mv::ReplaceAll(Translate(L"MAIN", L"can't to get [UNDATEINFO]-ListURL from mirovane.ini"),
                                          L"mirovane.ini", iniName);
        SendStatusText(owner, msg, 0);
        WriteLog(msg);
        return false;
    }
    return true;
}
