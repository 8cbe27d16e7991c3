// One install at a time per application directory: a named mutex whose name is derived from
// the directory, held from the download to the end of the copy step and during recovery.
// A mutex left behind by a process that died counts as acquired. The mutex is made with the
// admin-only access list (util/named_objects.h); one that already exists and is not checkably
// an administrator's (its owner, its access list, or access refused) is refused at once.
#pragma once
#include <string>

// Name of the mutex for an application directory (case and trailing backslashes ignored).
std::wstring InstallLockName(const std::wstring& appDir);
// Takes the lock for the application directory, waiting up to `waitMs`; true when this
// process holds it (also when it already did).
bool AcquireInstallLock(unsigned long waitMs);
// The log line after a failed AcquireInstallLock or BeginInstallSession, by the process's
// last attempt: the refusal of a mutex that is not ours, else "Another update of this
// application is running".
std::wstring InstallLockBusyText();
// True when the process's last attempt was refused because the mutex was not ours.
bool InstallLockRefused();
// Releases the lock, unless an update session holds it (see BeginInstallSession).
void ReleaseInstallLock();
bool InstallLockHeld();

// An update session holds the lock from its first step to its end, so that the steps'
// own releases do not let a second session in between two steps. False when another process
// holds it after `waitMs`. Same thread for both calls.
bool BeginInstallSession(unsigned long waitMs);
void EndInstallSession();
