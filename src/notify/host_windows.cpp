#include "notify/host_windows.h"

#include <map>
#include <memory>
#include <mutex>

#include "mirovane_host.h"
#include "util/handle.h"

namespace HostWindows {
namespace {

std::mutex g_mutex;
std::vector<Entry> g_entries;
// One lock per window, held while its transfer buffer is written and the message that carries
// it is sent, and while the buffer is released: two threads never swap texts, and a buffer is
// never freed while a send through it runs. Recursive: while a send waits, the thread may
// handle an incoming message that writes to the log again. Guarded by g_mutex; never erased.
std::map<HWND, std::shared_ptr<std::recursive_mutex>> g_windowLocks;

std::shared_ptr<std::recursive_mutex> WindowLock(HWND window) {
    std::lock_guard<std::mutex> hold(g_mutex);
    auto& lock = g_windowLocks[window];
    if (!lock) lock = std::make_shared<std::recursive_mutex>();
    return lock;
}

// True while this entry (window and buffer) is still registered.
bool StillRegistered(const Entry& entry) {
    std::lock_guard<std::mutex> hold(g_mutex);
    for (const Entry& e : g_entries)
        if (e.window == entry.window && e.process == entry.process && e.buffer == entry.buffer) return true;
    return false;
}

// Long enough for any host that is merely busy; a host that stops pumping messages is
// detected as hung by the system well before this.
constexpr UINT kSendTimeoutMs = 30000;

void Release(Entry& e) {
    const auto lock = WindowLock(e.window);
    std::lock_guard<std::recursive_mutex> hold(*lock);
    if (e.process && e.buffer) VirtualFreeEx(e.process, e.buffer, 0, MEM_RELEASE);
    mv::Handle owned(e.process);
    e.process = nullptr;
    e.buffer = nullptr;
}

}  // namespace

void Register(HWND window, bool openProcess) {
    Entry entry;
    entry.window = window;
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        for (const Entry& e : g_entries)
            if (e.window == window) return;
    }
    if (openProcess) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        entry.process = pid ? OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid) : nullptr;
        if (entry.process)
            entry.buffer = VirtualAllocEx(entry.process, nullptr, MIROVANE_TRANSFER_BUFFER_SIZE, MEM_COMMIT | MEM_RESERVE,
                                          PAGE_READWRITE);  // data only: never executable in the host
    }
    std::lock_guard<std::mutex> hold(g_mutex);
    g_entries.push_back(entry);
}

void Unregister(HWND window) {
    std::vector<Entry> gone;
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        for (auto it = g_entries.begin(); it != g_entries.end();) {
            if (it->window == window) {
                gone.push_back(*it);
                it = g_entries.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Entry& e : gone) Release(e);
}

void ReleaseAll() {
    std::vector<Entry> gone;
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        gone.swap(g_entries);
    }
    for (Entry& e : gone) Release(e);
}

std::vector<Entry> Snapshot() {
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_entries;
}

bool WantsMessages(HWND window) {
    return reinterpret_cast<UINT_PTR>(GetPropW(window, MIROVANE_PROP_NEEDMSG)) == MIROVANE_ON;
}

WPARAM TransferText(const Entry& entry, const std::wstring& text) {
    if (!entry.process || !entry.buffer) return 0;
    wchar_t block[MIROVANE_TRANSFER_BUFFER_SIZE / sizeof(wchar_t)] = {};
    text.copy(block, MIROVANE_MAX_TEXT_CHARS);
    SIZE_T written = 0;
    WriteProcessMemory(entry.process, entry.buffer, block, sizeof(block), &written);
    return reinterpret_cast<WPARAM>(entry.buffer);
}

LRESULT SendText(const Entry& entry, UINT message, const std::wstring& text, LPARAM lParam) {
    if (!entry.process || !entry.buffer) return Send(entry.window, message, 0, lParam);
    const auto lock = WindowLock(entry.window);
    std::lock_guard<std::recursive_mutex> hold(*lock);
    if (!StillRegistered(entry)) return 0;  // released meanwhile: its buffer is gone
    return Send(entry.window, message, TransferText(entry, text), lParam);
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL | SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
    return static_cast<LRESULT>(result);
}

}  // namespace HostWindows

void BroadcastStage(int stage, int count) {
    for (const HostWindows::Entry& e : HostWindows::Snapshot()) {
        if (HostWindows::WantsMessages(e.window)) HostWindows::Send(e.window, MIROVANE_MSG_STAGE, stage, count);
        SetPropW(e.window, MIROVANE_PROP_STAGE, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(stage)));
        SetPropW(e.window, MIROVANE_PROP_FILE_COUNT, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(count)));
    }
}

void SendDescriptionToHosts(const std::wstring& text) {
    if (text.empty()) return;
    const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
    for (const HostWindows::Entry& e : HostWindows::Snapshot()) {
        if (!HostWindows::WantsMessages(e.window)) continue;
        // The process handle stays open while the window's lock is held.
        const auto lock = HostWindows::WindowLock(e.window);
        std::lock_guard<std::recursive_mutex> hold(*lock);
        if (!HostWindows::StillRegistered(e)) continue;
        void* remote = e.process ? VirtualAllocEx(e.process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
                                 : nullptr;
        SIZE_T written = 0;
        if (remote) WriteProcessMemory(e.process, remote, text.c_str(), bytes, &written);
        HostWindows::Send(e.window, MIROVANE_MSG_DESCRIPTION, reinterpret_cast<WPARAM>(remote), 0);
        if (remote) VirtualFreeEx(e.process, remote, 0, MEM_RELEASE);
    }
}
