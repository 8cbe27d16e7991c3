// Windows that receive the updater's notifications, and the stage of the session.
#pragma once
#include <windows.h>

namespace HostWindows {

// Registers a window. With `openProcess`, the window's process is opened and a 2048-byte
// transfer buffer is reserved in it for the texts of the messages.
void Register(HWND window, bool openProcess);
void Unregister(HWND window);
// Releases every transfer buffer and process handle and empties the list (at exit).
void ReleaseAll();

}  // namespace HostWindows

// Notifies the registered windows of the new stage, stores it in the download list and
// starts the stage's hooks.
void SetStage(int stage);
