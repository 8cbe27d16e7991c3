#include "install/install_lock.h"

#include <windows.h>

#include <mutex>

#include "config/settings.h"
#include "lang/language.h"
#include "util/handle.h"
#include "util/named_objects.h"
#include "util/text.h"

namespace {
std::mutex g_mutex;
mv::Handle g_lock;
bool g_session = false;
std::wstring g_refusal;  // why the last attempt was refused; empty: it was not

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
    g_refusal.clear();
    if (g_lock) return true;
    const std::wstring name = InstallLockName(GetAppDir());
    NamedMutex m = OpenAdminMutex(name.c_str());
    if (m.how == NamedMutexOpen::Untrusted) {
        // Made by somebody we cannot tell from an administrator's process: never waited for.
        g_refusal = mv::Format(Translate(L"MAIN", L"The install lock [%s] exists and was not made by an administrator "
                                                  L"(owner or access list not ours, or access refused: %lu); nothing "
                                                  L"is installed").c_str(),
                               name.c_str(), static_cast<unsigned long>(m.error));
        return false;
    }
    if (!m.handle) return false;
    const DWORD r = WaitForSingleObject(m.handle.get(), waitMs);
    if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) return false;
    g_lock = std::move(m.handle);
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

std::wstring InstallLockBusyText() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_refusal.empty() ? Translate(L"MAIN", L"Another update of this application is running") : g_refusal;
}

bool InstallLockRefused() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return !g_refusal.empty();
}
