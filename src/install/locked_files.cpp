#include "install/locked_files.h"

#include <windows.h>
#include <psapi.h>

#include <mutex>
#include <utility>

#include "config/app_state.h"
#include "config/global_values.h"
#include "config/settings.h"
#include "install/confine.h"
#include "install/install_lock.h"
#include "install/targets.h"
#include "lang/language.h"
#include "notify/host_windows.h"
#include "notify/log.h"
#include "updatelist/download_list.h"
#include "util/handle.h"
#include "util/text.h"

namespace {

constexpr DWORD kQueryEndSessionMs = 100;
constexpr DWORD kCloseWaitMs = 5000;
constexpr DWORD kInstallLockWaitMs = 3000;

std::mutex g_elevationMutex;
std::vector<std::wstring> g_elevation;


void Notify(HWND window, const std::wstring& text, LPARAM kind, bool log = true) {
    if (window) SendStatusText(window, text, kind);
    if (log) WriteLog(text);
}

bool UacSystem() {
    OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof(v);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&v)) return false;
#pragma GCC diagnostic pop
    return v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion > 5;
}

// Access denied on a system with UAC, not yet elevated: the copy needs administrator rights.
void NoteAccessDenied(const std::wstring& path) {
    if (UacSystem() && !AppState::relaunched) AddToElevationList(path);
}

bool OpenExclusive(const std::wstring& path, DWORD& error) {
    mv::Handle f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    error = f ? 0 : GetLastError();
    return static_cast<bool>(f);
}

std::wstring LongFullPath(const std::wstring& path) {
    std::wstring full = NormalizePath(path);
    wchar_t buf[MAX_PATH * 2] = {};
    DWORD n = GetLongPathNameW(full.c_str(), buf, MAX_PATH * 2);
    return n && n < MAX_PATH * 2 ? std::wstring(buf) : full;
}

}  // namespace

std::vector<std::wstring> ElevationList() {
    std::lock_guard<std::mutex> lock(g_elevationMutex);
    return g_elevation;
}
void ClearElevationList() {
    std::lock_guard<std::mutex> lock(g_elevationMutex);
    g_elevation.clear();
}
void AddToElevationList(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(g_elevationMutex);
    g_elevation.push_back(path);
}

// --- windows and processes

CWindowIterator::CWindowIterator(size_t capacity) : capacity_(capacity) { windows_.reserve(capacity); }
bool CWindowIterator::accept(HWND) { return true; }
BOOL CALLBACK CWindowIterator::OnWindow(HWND window, LPARAM self) {
    auto* it = reinterpret_cast<CWindowIterator*>(self);
    if (it->windows_.size() < it->capacity_ && it->accept(window)) it->windows_.push_back(window);
    return TRUE;
}
void CWindowIterator::Fill() {
    windows_.clear();
    cursor_ = 0;
    EnumWindows(OnWindow, reinterpret_cast<LPARAM>(this));
}
HWND CWindowIterator::Next() { return cursor_ < windows_.size() ? windows_[cursor_++] : nullptr; }

bool CMainWindowIterator::accept(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) && pid == pid_;
}

std::vector<DWORD> ProcessIdsToVisit(std::vector<DWORD> ids) {
    // Id 0 is the idle process on Windows; it is not always listed (Wine has none), so the
    // first entry may be a real program, such as one started at log-on.
    std::erase(ids, DWORD{0});
    return ids;
}

std::vector<DWORD> ProcessIds() {
    std::vector<DWORD> ids(1024);
    for (;;) {
        DWORD bytes = 0;
        if (!EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes)) {
            WriteLog(mv::Format(L"EnumProcesses failed: %lu", GetLastError()));
            return {};
        }
        const size_t n = bytes / sizeof(DWORD);
        if (n < ids.size()) {
            ids.resize(n);
            break;
        }
        ids.resize(ids.size() * 2);
    }
    return ProcessIdsToVisit(std::move(ids));
}

std::wstring ProcessImagePath(DWORD pid) {
    mv::Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return {};
    wchar_t buf[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    // Unlike the module list, this also names the image of a 64-bit process.
    if (QueryFullProcessImageNameW(process.get(), 0, buf, &size)) return LongFullPath(buf);
    return {};
}

bool ImageMatches(const std::wstring& image, const std::wstring& path, bool pathIsDirectory) {
    if (image.empty() || path.empty()) return false;
    return pathIsDirectory ? PathIsBelow(image, path) : PathEqualsNoCase(image, path);
}

// --- write test

std::wstring ProbeTarget(const std::wstring& name) {
    const std::wstring lower = mv::ToLower(name);
    const size_t at = lower.rfind(L".__test");
    if (at == std::wstring::npos || at == 0) return {};
    const std::wstring tail = lower.substr(at + 7);
    if (tail.size() > 1 || (tail.size() == 1 && !iswdigit(tail[0]))) return {};
    return name.substr(0, at);
}

void PutBackLeftProbes(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L".." || (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        const std::wstring path = dir + L"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            PutBackLeftProbes(path);
            continue;
        }
        const std::wstring base = ProbeTarget(name);
        if (base.empty()) continue;
        const std::wstring target = dir + L"\\" + base;
        // Only a probe whose file is missing was left by a probe that died between its renames.
        if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
        if (MoveFileW(path.c_str(), target.c_str()))
            WriteLog(mv::Format(L"put back [%s], left renamed by an interrupted locked-file check", target.c_str()));
        else
            WriteLog(mv::Format(L"MoveFile[%s]to[%s] failed: %lu", path.c_str(), target.c_str(), GetLastError()));
    } while (FindNextFileW(find, &fd));
    FindClose(find);
}

bool TestFileWritable(const std::wstring& path, DirectoryProbes* probes) {
    if (AppState::relaunched) ClearElevationList();
    const bool hadEntries = !ElevationList().empty();
    const DWORD attrs = GetFileAttributesW(path.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES) {
        if (attrs & FILE_ATTRIBUTE_DIRECTORY) return false;  // a directory is never replaced by a file
        DWORD error = 0;
        if (OpenExclusive(path, error)) return true;
        if (mv::EndsWithNoCase(path, L".exe") || mv::EndsWithNoCase(path, L".dll")) {
            // A running program can be renamed; the copy renames it aside the same way.
            std::wstring probe;
            for (int n = 0; n < 10 && probe.empty(); ++n) {
                std::wstring name = path + (n == 0 ? std::wstring(L".__test") : mv::Format(L".__test%d", n));
                if (GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES) probe = name;
            }
            if (probe.empty()) return false;
            if (MoveFileW(path.c_str(), probe.c_str())) {
                for (int i = 0; i < 50; ++i) {
                    if (MoveFileW(probe.c_str(), path.c_str())) return true;
                    Sleep(20);
                }
                WriteLog(mv::Format(L"MoveFile[%s]to[%s] failed: %lu", probe.c_str(), path.c_str(), GetLastError()));
                return false;
            }
            error = GetLastError();
            if (error == ERROR_ACCESS_DENIED) {
                NoteAccessDenied(path);
                return true;
            }
            return false;
        }
        // Read-only files are replaced too; the test puts the attributes back.
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        const bool ok = OpenExclusive(path, error);
        SetFileAttributesW(path.c_str(), attrs);
        if (ok) return true;
        if (error == ERROR_ACCESS_DENIED) {
            NoteAccessDenied(path);
            return true;
        }
        return false;
    }
    if (hadEntries) return true;
    // A missing file can be written when its directory takes a new file: that is tried once
    // per directory in a scan.
    const std::wstring dirKey = mv::ToLower(mv::PathDir(path));
    if (probes) {
        auto known = probes->find(dirKey);
        if (known != probes->end()) {
            if (known->second == ERROR_ACCESS_DENIED) NoteAccessDenied(path);
            return true;
        }
    }
    // Create-new and delete-on-close: a file that appears meanwhile is never truncated.
    mv::Handle f(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    const DWORD error = f ? 0 : GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return TestFileWritable(path, probes);
    if (error == ERROR_ACCESS_DENIED) NoteAccessDenied(path);
    if (probes) (*probes)[dirKey] = error;
    return true;  // a missing file is never locked
}

bool TestFileWritableWithPrompt(const std::wstring& path, SessionObserver* asker, DirectoryProbes* probes) {
    bool ok = TestFileWritable(path, probes);
    while (!ok && asker) {
        const std::wstring text = Translate(L"MAIN", L"Can't overwrite the file,Please close it.") + L"\n" + path;
        if (!asker->AskRetryLocked(text)) break;
        ok = TestFileWritable(path, probes);
    }
    return ok;
}

// --- the host program

std::wstring HostProgramPath() {
    std::wstring app = mv::Trim(ReadSetting(L"APPLICATION", L"Application"));
    if (app.empty()) return {};
    if (app.find(L':') == std::wstring::npos) app = GetAppDir() + L"\\" + app;
    return LongFullPath(mv::ReduceBackslashes(app));
}

bool IsHostProgramClosed(HWND window) {
    const std::wstring setting = mv::Trim(ReadSetting(L"APPLICATION", L"Application"));
    if (setting.empty()) return true;
    const std::wstring host = HostProgramPath();
    const DWORD self = GetCurrentProcessId();
    for (DWORD pid : ProcessIds()) {
        if (pid == self || !ImageMatches(ProcessImagePath(pid), host, false)) continue;
        Notify(window, Translate(L"MAIN", L"The main program has not closed") + L" " + setting, 0);
        return false;
    }
    Notify(window, Translate(L"MAIN", L"The main program has closed") + L"[" + setting + L"]", 7);
    return true;
}

namespace {

// True when the window's process agreed to close (it may still be running).
bool AskWindowToClose(HWND window) {
    if (!IsWindow(window)) return true;
    DWORD_PTR reply = 0;
    if (!SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, kQueryEndSessionMs, &reply) ||
        reply == 0)
        return false;
    PostMessageW(window, WM_CLOSE, 0, 0);
    return true;
}

}  // namespace

void CloseProgramByPath(const std::wstring& path) {
    if (path.empty()) return;
    const std::wstring target = LongFullPath(path);
    const DWORD attrs = GetFileAttributesW(target.c_str());
    const bool isDir = attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
    const DWORD self = GetCurrentProcessId();
    for (DWORD pid : ProcessIds()) {
        if (pid == self || !ImageMatches(ProcessImagePath(pid), target, isDir)) continue;
        CMainWindowIterator windows(pid);
        windows.Fill();
        bool asked = false, refused = false;
        for (HWND w = windows.Next(); w; w = windows.Next()) {
            if (GetParent(w)) continue;
            if (AskWindowToClose(w)) asked = true;
            else refused = true;
        }
        if (!asked || refused) continue;  // nothing agreed to close, or a window said no
        mv::Handle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
        if (!process) continue;
        if (WaitForSingleObject(process.get(), kCloseWaitMs) == WAIT_TIMEOUT) {
            WriteLog(mv::Format(L"process %lu did not close in time; ending it", pid));
            if (!TerminateProcess(process.get(), 0))
                WriteLog(mv::Format(L"TerminateProcess(%lu) failed: %lu", pid, GetLastError()));
            WaitForSingleObject(process.get(), kCloseWaitMs);
        }
    }
}

bool CloseHostProgram(HWND) {
    CloseProgramByPath(HostProgramPath());
    return true;
}

// --- the scan and the step

bool ScanLockedFiles(HWND window, const DownLoadList& list, SessionObserver* asker) {
    if (AppState::relaunched) ClearElevationList();
    Notify(window, Translate(L"MAIN", L"Check locked file..."), 1);
    const int count = list.FileCount();
    int locked = 0;
    DirectoryProbes probes;
    for (int i = 0; i < count && ElevationList().empty(); ++i) {
        if (window) Sleep(1);  // lets a progress window repaint; nobody waits on it otherwise
        Notify(window, mv::Format(Translate(L"MAIN", L"Examining the %d files,total of %d...").c_str(), i + 1, count), -1, false);
        const updatefileinfo& r = list.records[i];
        if (r.action & ActionRemove) continue;
        for (const std::wstring& target : InstallTargets(r)) {
            if (TestFileWritableWithPrompt(target, asker, &probes)) continue;
            ++locked;
            Notify(window, Translate(L"MAIN", L"File is locked") + L"[" + target + L"]", 0);
        }
    }
    if (locked != 0)
        Notify(window, mv::Format(Translate(L"MAIN", L"%d update files has %d locked").c_str(), count, locked), 0);
    else
        Notify(window, Translate(L"MAIN", L"No locked files"), 7);
    return locked == 0;
}

bool CheckLocalFiles(SessionObserver& observer, const DownLoadList& list) {
    HWND window = observer.StatusWindow();
    auto listFilesWritable = [] {
        bool all = true;
        for (const wchar_t* name : {L"mirovane.xml", L"{2767A2C0-0767-4958-ADA9-E813DF1BC478}.xml",
                                    L"{2767A2C0-0767-4958-ADA9-E813DF1BC489}.xml"})
            if (!TestFileWritable(mv::ReduceBackslashes(GetAppDir() + L"\\" + name))) all = false;
        return all;
    };
    bool ok = IsHostProgramClosed(window);
    if (!listFilesWritable()) ok = false;
    if (!ok) {
        const std::wstring name = ReadSetting(L"APPLICATION", L"Name");
        const std::wstring question = mv::Format((Translate(L"MAIN", L"Find main program [%s] not closed, Close it now?") + L"\n%s").c_str(),
                                                 name.c_str(), HostProgramPath().c_str());
        bool close = GlobalValues::Get(L"updateskin") == L"mostsimple";
        if (!close)
            close = observer.AskCloseHost(question);
        if (close) {
            CloseHostProgram(window);
            // A host that refused to close keeps its files: the check fails rather than copy under it.
            ok = IsHostProgramClosed(window) && listFilesWritable();
            if (ok) Notify(window, Translate(L"MAIN", L"The main program has closed"), 1);
        }
    }
    if (!ScanLockedFiles(window, list, observer.AnswersLockedFiles() ? &observer : nullptr)) ok = false;
    return ok;
}

void RunCheckLocalStep(SessionObserver& observer, DownLoadList& list) {
    HWND window = observer.StatusWindow();
    const int stage = list.stage;
    if (stage != UpdateDownloadOk && stage != UpdateCheckLocal) return;
    SetStage(list, UpdateCheckLocal);
    if (!AcquireInstallLock(kInstallLockWaitMs)) {
        Notify(window, InstallLockBusyText(), 0);
        SetStage(list, UpdateCheckLocalError);
        return;
    }
    TestFileWritable(SettingsFilePath());
    if (AppState::relaunched) ClearElevationList();
    const bool ok = ElevationList().empty() ? CheckLocalFiles(observer, list) : true;
    if (AppState::relaunched) ClearElevationList();
    if (ElevationList().empty()) {
        SetStage(list, ok ? UpdateCheckLocalOk : UpdateCheckLocalError);
    } else {
        SetStage(list, UpdateCheckLocalError);
        Notify(window, Translate(L"MAIN", L"request administrator privileges to continue"), 0);
    }
    // The lock stays with this session until the copy step ends; a failed check ends it here.
    if (list.stage != UpdateCheckLocalOk) ReleaseInstallLock();
}
