#include "install/install_lock.h"

#include <windows.h>

#include <mutex>

#include "config/settings.h"
#include "util/handle.h"
#include "util/text.h"

namespace {
std::mutex g_mutex;
mv::Handle g_lock;
bool g_session = false;

void ReleaseLocked() {
    if (!g_lock) return;
    ReleaseMutex(g_lock.get());
    g_lock.reset();
}
}  // namespace

std::wstring InstallLockName(const std::wstring& appDir) {
    std::wstring dir = mv::ToLower(mv::ReplaceAll(appDir, L"/", L"\\"));
    while (!dir.empty() && dir.back() == L'\\') dir.pop_back();
    // FNV-1a over the UTF-16 units: a kernel object name may not hold backslashes.
    unsigned long long h = 14695981039346656037ULL;
    for (wchar_t c : dir) {
        h ^= static_cast<unsigned short>(c);
        h *= 1099511628211ULL;
    }
    return mv::Format(L"Global\\mirovane-install-%016llx", h);
}

bool AcquireInstallLock(unsigned long waitMs) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (g_lock) return true;
    mv::Handle m(CreateMutexW(nullptr, FALSE, InstallLockName(GetAppDir()).c_str()));
    if (!m) return false;
    const DWORD r = WaitForSingleObject(m.get(), waitMs);
    if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) return false;
    g_lock = std::move(m);
    return true;
}

void ReleaseInstallLock() {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (!g_session) ReleaseLocked();
}

bool BeginInstallSession(unsigned long waitMs) {
    if (!AcquireInstallLock(waitMs)) return false;
    std::lock_guard<std::mutex> guard(g_mutex);
    g_session = true;
    return true;
}

void EndInstallSession() {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_session = false;
    ReleaseLocked();
}

bool InstallLockHeld() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return static_cast<bool>(g_lock);
}
