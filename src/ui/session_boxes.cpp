// The session's questions as message boxes, for the silent mode and a plain window.
#include "lang/language.h"
#include "ui/updater_windows.h"

int ShowPromptBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags) {
    return MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
}

bool BoxObserver::AskCloseHost(const std::wstring& question) {
    return MessageBoxW(window_, question.c_str(), BoxCaption().c_str(), MB_YESNO | MB_ICONQUESTION) ==
           IDYES;
}

bool BoxObserver::AskRetryLocked(const std::wstring& text) {
    return MessageBoxW(nullptr, text.c_str(), BoxCaption().c_str(), MB_RETRYCANCEL) == IDRETRY;
}
