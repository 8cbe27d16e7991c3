// coredriver commands of the download engine. Options come as name=value words before the
// command's own arguments:
//   tries=N timeout=SECONDS host=HWND (registers a host window) threadcount=N filethread=N
//   window=0 (no progress window)
//   stop=SECONDS (the driver ends itself after this long: a hang shows as a missing "result")
//
//   segdownload <url> <outpath> <threads> <single 0|1>   CMyDownload::DownloadFile
//   fetchfile <index> <url> <localname> <single 0|1>      FetchUpdateFile
//   deletetree <dir>                                      DeleteTree
//   applypatch <base> <patch> <outpath>                   ApplyPatch, timed from the bytes in memory
//   schedule <workdir> <listurlbase> <recordsfile> <passes>
//       records file: one record a line, UTF-8: path<TAB>ver<TAB>url<TAB>action (url may be "-");
//       a line "---" starts another session (keys then begin with s<N>.)
//       passes 0: the session's retry rule
// Prints what the window saw: msg<number>.count, .last, .max; the states per index; results.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "config/app_state.h"
#include "config/global_values.h"
#include "config/settings.h"
#include "util/file_tree.h"
#include "download/delta.h"
#include "util/files.h"
#include "download/http.h"
#include "download/scheduler.h"
#include "install/session.h"
#include "ui/updater_windows.h"
#include "download/segmented.h"
#include "notify/host_windows.h"
#include "updatelist/download_list.h"
#include "updatelist/list_cache.h"
#include "util/files.h"
#include "util/text.h"

namespace {

void Print(const std::wstring& line) {
    std::string bytes = mv::ToUtf8(line + L"\n");
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

struct Seen {
    long count = 0;
    long long last = 0, max = 0;
};
bool g_noWindow = false;
// Bounds of fetchfile (maxbytes=, deadline= seconds).
DownloadLimits g_limits;
std::mutex g_seenMutex;
std::map<UINT, Seen> g_seen;
std::map<WPARAM, std::wstring> g_states;  // index -> states in order, e.g. "8,7"
std::vector<std::wstring> g_status;       // status texts (message 1034) in order

LRESULT CALLBACK Recorder(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m >= UM_DL_SIZE && m <= UM_DL_BLOCK_SIZE) {
        std::lock_guard<std::mutex> hold(g_seenMutex);
        Seen& s = g_seen[m];
        ++s.count;
        s.last = lp;
        if (lp > s.max) s.max = lp;
        if (m == UM_DL_STATE) g_states[wp] += (g_states[wp].empty() ? L"" : L",") + std::to_wstring(lp);
        return 0;
    }
    if (m == 1034 && wp) {
        std::lock_guard<std::mutex> hold(g_seenMutex);
        g_status.push_back(reinterpret_cast<const wchar_t*>(wp));
        return 0;
    }
    return DefWindowProcW(w, m, wp, lp);
}

HWND RecorderWindow() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = Recorder;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"MirovaneDownloadRecorder";
    RegisterClassW(&wc);
    return CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}

void PrintSeen() {
    std::lock_guard<std::mutex> hold(g_seenMutex);
    for (const auto& [m, s] : g_seen)
        Print(mv::Format(L"msg%u.count=%ld\nmsg%u.last=%lld\nmsg%u.max=%lld", m, s.count, m, s.last, m, s.max));
    for (const std::wstring& t : g_status) Print(L"status=" + t);
    for (const auto& [i, states] : g_states) Print(mv::Format(L"state%u=%s", static_cast<unsigned>(i), states.c_str()));
}

DWORD WINAPI Watchdog(void* p) {
    Sleep(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(p)));
    Print(L"watchdog=expired");
    ExitProcess(3);
}

// Takes the name=value options off the front of the arguments.
void ApplyOptions(std::vector<std::wstring>& a) {
    while (!a.empty()) {
        const size_t eq = a[0].find(L'=');
        if (eq == std::wstring::npos || a[0].find(L':') != std::wstring::npos) break;
        const std::wstring name = a[0].substr(0, eq), value = a[0].substr(eq + 1);
        if (name == L"tries") AppState::connectTryCount = mv::ParseLong(value);
        else if (name == L"timeout") WriteSetting(L"Mirovane", L"NetTimeout", value);
        else if (name == L"host") HostWindows::Register(reinterpret_cast<HWND>(static_cast<UINT_PTR>(_wtoi64(value.c_str()))), true);
        else if (name == L"window") g_noWindow = value == L"0";
        else if (name == L"maxbytes") g_limits.maxBytes = static_cast<uint64_t>(_wtoi64(value.c_str()));
        else if (name == L"deadline") {
            g_limits.hasDeadline = true;
            g_limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(mv::ParseLong(value));
        }
        else if (name == L"threadcount" || name == L"filethread") GlobalValues::Set(name, value);
        else if (name == L"stop")
            CloseHandle(CreateThread(nullptr, 0, Watchdog, reinterpret_cast<void*>(static_cast<UINT_PTR>(mv::ParseLong(value) * 1000)), 0, nullptr));
        else break;
        a.erase(a.begin());
    }
    ApplyDownloadLimits();
}

int SegDownload(const std::vector<std::wstring>& a, HWND window) {
    CMyDownload d;
    d.threads = mv::ParseLong(a[2]);
    const DWORD t0 = GetTickCount();
    const bool ok = d.DownloadFile(a[0], a[1], a[3] == L"1", 5, window);
    Print(mv::Format(L"ok=%d\nsize=%ld\nsegments=%ld\nms=%lu\nurl=%s", ok ? 1 : 0, d.size, d.segmentCount,
                     GetTickCount() - t0, d.url.c_str()));
    Print(mv::Format(L"aborted=%ld\nrunning=%ld", GetThreadValue(kTagAbort, d.id), GetThreadValue(kTagRunning, d.id)));
    Print(mv::Format(L"planned=%ld", d.plannedSegments));
    Print(mv::Format(L"tag=%d", ServerTagSeen() ? 1 : 0));
    PROCESS_MEMORY_COUNTERS mem{};
    mem.cb = sizeof(mem);
    if (GetProcessMemoryInfo(GetCurrentProcess(), &mem, sizeof(mem)))
        Print(mv::Format(L"peakws=%lu", static_cast<unsigned long>(mem.PeakWorkingSetSize)));
    return 0;
}

// Sessions of records, separated by lines "---".
bool ReadSessions(const std::wstring& file, std::vector<RecordArray>& sessions) {
    std::string bytes;
    if (!mv::ReadFileBytes(file, bytes)) return false;
    sessions.assign(1, RecordArray());
    for (const std::wstring& line : mv::Split(mv::FromUtf8(bytes), L'\n')) {
        const std::wstring l = mv::TrimRight(line);
        if (l == L"---") {
            sessions.emplace_back();
            continue;
        }
        if (l.empty()) continue;
        auto f = mv::Split(l, L'\t');
        f.resize(4);
        updatefileinfo r;
        r.path = f[0];
        r.ver = f[1];
        r.url = f[2] == L"-" ? L"" : f[2];
        r.action = static_cast<int>(mv::ParseLong(f[3]));
        sessions.back().push_back(r);
    }
    return true;
}

// The download passes as a session runs them: the session's own order with every other step
// left out.
bool DownloadWithSessionRetries(HWND window) {
    SessionSteps steps;
    steps.hold = [] { return true; };
    steps.release = [] {};
    steps.download = [](SessionObserver& o) {
        DownloadAllFiles(o.StatusWindow(), TheDownLoadList());
        return StepResult{TheDownLoadList().stage, DownloadDoneCount()};
    };
    steps.checkLocal = [](SessionObserver&) { return StepResult{TheDownLoadList().stage, 0}; };
    steps.gate = [] { return true; };
    steps.end = [] {};
    SessionStart start;
    start.stage = UpdateCheckRemoteOk;
    start.files = TheDownLoadList().FileCount();
    BoxObserver observer(window, false);
    RunSession(start, steps, observer);
    return TheDownLoadList().stage == UpdateDownloadOk;
}

int Schedule(const std::vector<std::wstring>& a, HWND window) {
    DownLoadList& list = TheDownLoadList();
    list.workDir = a[0];
    list.listUrlBase = a[1];
    std::vector<RecordArray> sessions;
    if (!ReadSessions(a[2], sessions)) return 2;
    const long passes = mv::ParseLong(a[3]);
    for (size_t session = 0; session < sessions.size(); ++session) {
        // A new session, as the tray window starts one: a fresh list at the end of a check.
        list.records = sessions[session];
        list.stage = UpdateCheckRemoteOk;
        const std::wstring tag = sessions.size() > 1 ? mv::Format(L"s%zu.", session) : std::wstring();
        if (passes <= 0) {
            Print(tag + mv::Format(L"all=%d", DownloadWithSessionRetries(window) ? 1 : 0));
        } else {
            for (long p = 0; p < passes; ++p) {
                DownloadAllFiles(window, list);
                std::wstring failed;
                for (unsigned i : DownloadFailedList()) failed += (failed.empty() ? L"" : L",") + std::to_wstring(i);
                Print(tag + mv::Format(L"pass%ld.stage=%d\n", p, list.stage) + tag +
                      mv::Format(L"pass%ld.done=%d\n", p, DownloadDoneCount()) + tag +
                      mv::Format(L"pass%ld.failed=%s", p, failed.c_str()));
            }
        }
        Print(tag + mv::Format(L"stage=%d\n", list.stage) + tag + mv::Format(L"done=%d", DownloadDoneCount()));
        for (int i = 0; i < list.FileCount(); ++i)
            Print(tag + mv::Format(L"spare%d=%s", i, mv::ReplaceAll(list.records[i].spare, L"\n", L"|").c_str()));
    }
    return 0;
}

}  // namespace

// -1 when the command is not one of these.
int RunDownloadCommand(const std::wstring& cmd, std::vector<std::wstring>& a) {
    static const std::map<std::wstring, size_t> kArgs = {
        {L"segdownload", 4}, {L"fetchfile", 4}, {L"schedule", 4}, {L"deletetree", 1}, {L"applypatch", 3}};
    auto it = kArgs.find(cmd);
    if (it == kArgs.end()) return -1;
    ApplyOptions(a);
    if (a.size() != it->second) return 2;
    HWND window = g_noWindow ? nullptr : RecorderWindow();
    int rc = 2;
    if (cmd == L"segdownload") rc = SegDownload(a, window);
    if (cmd == L"fetchfile") {
        const int r = FetchUpdateFile(window, static_cast<int>(mv::ParseLong(a[0])), a[1], a[2], a[3] == L"1", g_limits);
        Print(mv::Format(L"result=%d\nListFileZip=%s", r, ReadSetting(L"Mirovane", L"ListFileZip").c_str()));
        rc = 0;
    }
    if (cmd == L"schedule") rc = Schedule(a, window);
    if (cmd == L"applypatch") {
        std::string base, patch;
        std::wstring why;
        if (!mv::ReadFileBytes(a[0], base) || !mv::ReadFileBytes(a[1], patch)) return 2;
        LARGE_INTEGER f, t0, t1;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&t0);
        const bool ok = ApplyPatch(base, patch, a[2], 1ULL << 31, why);
        QueryPerformanceCounter(&t1);
        Print(mv::Format(L"applied=%d\nms=%.1f\nwhy=%s", ok ? 1 : 0, (t1.QuadPart - t0.QuadPart) * 1000.0 / f.QuadPart,
                         why.c_str()));
        return ok ? 0 : 1;
    }
    if (cmd == L"deletetree") {
        Print(mv::Format(L"deleted=%d", DeleteTree(a[0]) ? 1 : 0));
        rc = 0;
    }
    PrintSeen();
    Print(L"result.end=1");
    return rc;
}
