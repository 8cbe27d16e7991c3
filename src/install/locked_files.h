// Step 3 of an update: closing the host program and testing that every target can be
// replaced, with the elevation list of files that need administrator rights.
// Runs on the session's thread; the elevation list is guarded for readers on other threads.
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "install/session_observer.h"
#include "updatelist/download_list.h"

// The elevation list: files that could not be written only for lack of rights.
std::vector<std::wstring> ElevationList();
void ClearElevationList();
void AddToElevationList(const std::wstring& path);

// Top-level windows collected by EnumWindows, up to a fixed capacity.
class CWindowIterator {
public:
    explicit CWindowIterator(size_t capacity);
    virtual ~CWindowIterator() = default;
    virtual bool accept(HWND window);
    void Fill();
    size_t Count() const { return windows_.size(); }
    HWND Next();  // null at the end

private:
    static BOOL CALLBACK OnWindow(HWND window, LPARAM self);
    size_t capacity_;
    std::vector<HWND> windows_;
    size_t cursor_ = 0;
};

// The visible top-level windows of one process.
class CMainWindowIterator : public CWindowIterator {
public:
    CMainWindowIterator(DWORD pid, size_t capacity = 1024) : CWindowIterator(capacity), pid_(pid) {}
    bool accept(HWND window) override;

private:
    DWORD pid_;
};

// Process ids of the system, every running program included (the idle process left out).
std::vector<DWORD> ProcessIds();
// The ids of an EnumProcesses list worth visiting: every id but 0, in list order.
std::vector<DWORD> ProcessIdsToVisit(std::vector<DWORD> ids);
// Full image path of a process (a 64-bit one too), or empty when it cannot be opened.
std::wstring ProcessImagePath(DWORD pid);
// True when a process image is the program `path` names, or lies below it when `path` is a
// directory (both full paths; case-insensitive; "host.exe" never matches "ghost.exe").
bool ImageMatches(const std::wstring& image, const std::wstring& path, bool pathIsDirectory);

// What creating a file in a directory gave (lower-case directory -> error, 0 for success), so
// that a scan tries it once per directory rather than once per missing file.
using DirectoryProbes = std::map<std::wstring, DWORD>;

// True when the file can be replaced, or when it was put on the elevation list.
bool TestFileWritable(const std::wstring& path, DirectoryProbes* probes = nullptr);
// As TestFileWritable; a locked file is offered to `asker` to close and retry (null: nobody).
bool TestFileWritableWithPrompt(const std::wstring& path, SessionObserver* asker, DirectoryProbes* probes = nullptr);
// The host program: [APPLICATION] Application resolved against the application directory.
std::wstring HostProgramPath();
bool IsHostProgramClosed(HWND window);
// Asks the windows of every process running `path` (or a program below it when it is a
// directory) to close, never this process; waits for each to end and ends it when it
// ignored WM_CLOSE. A process that refuses to end the session is left alone.
void CloseProgramByPath(const std::wstring& path);
bool CloseHostProgram(HWND window);
bool ScanLockedFiles(HWND window, const DownLoadList& list, SessionObserver* asker);
// The file a locked-file probe name stands for ("x.exe.__test", "x.exe.__test3" -> "x.exe"),
// or empty for any other name.
std::wstring ProbeTarget(const std::wstring& name);
// Renames back, below `dir`, the probes whose files are missing: a kill between the probe's
// two renames leaves a program renamed aside. Start-up calls it under the install lock.
void PutBackLeftProbes(const std::wstring& dir);
bool CheckLocalFiles(SessionObserver& observer, const DownLoadList& list);
// The step-3 entry: runs at stage 6 or 7 and leaves 9 or 8. Notifications go to the
// observer's status window; it answers the questions.
void RunCheckLocalStep(SessionObserver& observer, DownLoadList& list);
