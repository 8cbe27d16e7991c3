// One install at a time per application directory: a named mutex whose name is derived from
// the directory, held from the download to the end of the copy step and during recovery.
// A mutex left behind by a process that died counts as acquired.
#pragma once
#include <string>

// Name of the mutex for an application directory (case and trailing backslashes ignored).
std::wstring InstallLockName(const std::wstring& appDir);
// Takes the lock for the application directory, waiting up to `waitMs`; true when this
// process holds it (also when it already did).
bool AcquireInstallLock(unsigned long waitMs);
void ReleaseInstallLock();
bool InstallLockHeld();
