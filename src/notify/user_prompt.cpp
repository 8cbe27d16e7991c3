#include "notify/user_prompt.h"

#include <mutex>

#include "notify/log.h"

namespace {
std::mutex g_mutex;
UserPromptShower g_shower;
}  // namespace

void RegisterUserPrompt(UserPromptShower shower) {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_shower = std::move(shower);
}

int PromptUser(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags, int unanswered) {
    UserPromptShower shower;
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        shower = g_shower;
    }
    if (!shower) {
        WriteLog(L"Nobody to ask: " + text);
        return unanswered;
    }
    const int answer = shower(owner, text, caption, flags);
    return answer == 0 ? unanswered : answer;
}
