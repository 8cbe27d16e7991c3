// The elevated updater's private working directory: where its cache, saved list, work
// directory and settings package live when no TempPath or TempAppPath is set, so that nothing
// a user could write is read by a program that runs as administrator. Any thread.
#pragma once
#include <windows.h>

#include <string>

namespace mv {

// Access of a directory only administrators and SYSTEM may change (SDDL): Administrators and
// SYSTEM full control, Users read and execute, inherited by everything inside, nothing
// inherited from the parent. The application directory is created with it too.
extern const wchar_t kProtectedDirSddl[];

// True when this process runs with administrator rights.
bool RunsElevated();

// What is found at the private directory's path, and whether it may serve: empty when it may,
// else why not (a link, not a directory, an owner other than Administrators, SYSTEM or the
// owner of the system directory, which is how Wine owns every file).
struct FoundDir {
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    bool ownerTrusted = false;
};
std::wstring PrivateDirProblem(const FoundDir& found);

// %ProgramData%\Mirovane\ (with the trailing backslash), created with kProtectedDirSddl when
// missing. Empty, with `why` saying so, when it exists but may not serve or cannot be made.
std::wstring PrivateWorkDir(std::wstring& why);

}  // namespace mv
