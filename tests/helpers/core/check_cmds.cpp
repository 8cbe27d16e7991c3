// Core-driver commands over the remote check: the version page and the race of lists.
#include <windows.h>

#include <string>
#include <vector>

#include "check/remote_check.h"
#include "config/settings.h"
#include "util/files.h"
#include "util/text.h"

namespace {

void Out(const std::wstring& line) {
    std::string bytes = mv::ToUtf8(line + L"\n");
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Files beside `cache` whose names start with its name: what a check left in the directory.
std::vector<std::wstring> Leftovers(const std::wstring& cache) {
    std::vector<std::wstring> out;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((cache + L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return out;
    do out.push_back(fd.cFileName);
    while (FindNextFileW(h, &fd));
    FindClose(h);
    return out;
}

void Race(const std::wstring& cache, long seconds, const std::vector<std::wstring>& urls, const wchar_t* label) {
    std::wstring winner;
    const DWORD start = GetTickCount();
    std::string body;
    const bool ok = RaceLists(nullptr, urls, cache, seconds, winner, body);
    // As the check does: the winner's bytes become the cache file.
    if (ok) mv::WriteFileBytes(cache, body);
    Out(mv::Format(L"%s.ok=%d", label, ok ? 1 : 0));
    Out(mv::Format(L"%s.winner=%s", label, winner.c_str()));
    Out(mv::Format(L"%s.ms=%lu", label, GetTickCount() - start));
    Out(mv::Format(L"%s.cache=%s", label, mv::FromUtf8(body).c_str()));
}

// Waits (bounded) until no temporary file of a race is left beside the cache.
void WaitForLateThreads(const std::wstring& cache, DWORD limitMs) {
    const ULONGLONG end = GetTickCount64() + limitMs;
    for (;;) {
        bool busy = false;
        for (const std::wstring& f : Leftovers(cache))
            if (f.find(L".tmp") != std::wstring::npos) busy = true;
        if (!busy || GetTickCount64() > end) return;
        Sleep(50);
    }
}

}  // namespace

// Returns the exit code, or -1 when the command is not one of these.
int RunCheckCommand(const std::wstring& cmd, const std::vector<std::wstring>& a) {
    if (cmd == L"race" && a.size() >= 3) {
        // race <cache> <seconds> <url>...: one race, then (bounded) the late threads' clean-up
        std::vector<std::wstring> urls(a.begin() + 2, a.end());
        Race(a[0], _wtol(a[1].c_str()), urls, L"first");
        WaitForLateThreads(a[0], 30000);
        std::string body;
        mv::ReadFileBytes(a[0], body);
        Out(L"after.cache=" + mv::FromUtf8(body));
        for (const std::wstring& f : Leftovers(a[0])) Out(L"file=" + f);
        return 0;
    }
    if (cmd == L"racetwice" && a.size() == 4) {
        // racetwice <cache> <seconds> <url of the first race, comma-separated> <url of the second, comma-separated>
        Race(a[0], _wtol(a[1].c_str()), mv::Split(a[2], L','), L"first");
        Race(a[0], _wtol(a[1].c_str()), mv::Split(a[3], L','), L"second");
        WaitForLateThreads(a[0], 30000);
        std::string body;
        mv::ReadFileBytes(a[0], body);
        Out(L"after.cache=" + mv::FromUtf8(body));
        for (const std::wstring& f : Leftovers(a[0])) Out(L"file=" + f);
        return 0;
    }
    if (cmd == L"probe" && a.size() == 2) {
        // probe <url> <seconds>
        std::wstring version;
        std::vector<std::wstring> urls;
        const bool ok = ProbeVersionPage(a[0], _wtol(a[1].c_str()), version, urls);
        Out(mv::Format(L"ok=%d", ok ? 1 : 0));
        Out(L"version=[" + version + L"]");
        for (const std::wstring& u : urls) Out(L"url=" + u);
        return 0;
    }
    return -1;
}
