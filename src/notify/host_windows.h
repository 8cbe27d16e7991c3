// Windows that receive the updater's notifications, and what is broadcast to them.
// Every function may be called from any thread; messages are sent from the calling thread.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace HostWindows {

struct Entry {
    HWND window = nullptr;
    HANDLE process = nullptr;  // the window's process, or null
    void* buffer = nullptr;    // 2048-byte transfer buffer in that process, or null
};

// Registers a window (once; a second call changes nothing). With `openProcess`, the window's
// process is opened and a 2048-byte transfer buffer is reserved in it for message texts.
void Register(HWND window, bool openProcess);
// Removes the window, releasing its buffer and process handle.
void Unregister(HWND window);
// Releases every transfer buffer and process handle and empties the list (at exit).
void ReleaseAll();
// The registered windows in list order, copied so that no lock is held while sending.
std::vector<Entry> Snapshot();

// True when the window's "mirovane.needmsg" property is 1974.
bool WantsMessages(HWND window);
// Copies `text` (cut to 1023 characters, zero-filled to 2048 bytes) into the entry's transfer
// buffer; returns the buffer's address for the message, or 0 when the entry has none.
WPARAM TransferText(const Entry& entry, const std::wstring& text);
// Copies `text` into the entry's transfer buffer and sends `message` with its address, both
// under the window's own lock, so that threads never swap texts and the buffer is not released
// during the send. An entry without a buffer gets the message with address 0; an entry released
// meanwhile gets nothing.
LRESULT SendText(const Entry& entry, UINT message, const std::wstring& text, LPARAM lParam);
// Sends synchronously, but gives up on a window whose thread has stopped answering, so a
// hung host cannot stall the update forever.
LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace HostWindows

// Tells the registered windows of a new stage: message 1974 with the stage and the file count
// to those that asked, properties "mirovane.exe" and "updatefilecount" on all.
void BroadcastStage(int stage, int fileCount);

// Sends the update's description (message 1977) to every registered window that asked for
// messages, through a buffer reserved in its process for this one message.
void SendDescriptionToHosts(const std::wstring& text);
