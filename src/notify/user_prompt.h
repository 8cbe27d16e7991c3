// Messages and questions for the person at the screen, from modules below the windows. How
// they are shown is the windows module's business: the application registers that at
// start-up. A process that registered nothing (a hidden copy, a tool) shows nothing and
// every question gets its answer `unanswered`. Any thread.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

// Shows `text` with `caption` and MessageBox-style `flags` (buttons, icon); returns the button
// pressed (IDYES, IDRETRY, ...) or `unanswered` when nothing could be shown.
int PromptUser(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags, int unanswered = IDCANCEL);

using UserPromptShower = std::function<int(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags)>;
void RegisterUserPrompt(UserPromptShower shower);
