// coredriver <command> [arguments...]
// Calls the updater's own functions (linked from mirovane_core) so that black-box tests can
// drive them against loopback servers and archives made by the tests. Prints key=value
// lines in UTF-8; the exit code is 0 unless the command line was wrong.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>
#include <vector>

#include "config/global_values.h"
#include "check/list_refresh.h"
#include "config/list_source.h"
#include "config/settings.h"
#include "notify/log.h"
#include "notify/user_prompt.h"
#include "ui/updater_windows.h"
#include "download/fetch.h"
#include "download/http.h"
#include "package/zip_reader.h"
#include "updatelist/list_cache.h"
#include "updatelist/update_list.h"
#include "util/files.h"
#include "util/handle.h"
#include "util/locks.h"
#include "util/text.h"

namespace {

void Out(const std::wstring& line) {
    std::string bytes = mv::ToUtf8(line + L"\n");
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring Hex(const void* data, size_t n) {
    std::wstring s;
    for (size_t i = 0; i < n; ++i) s += mv::Format(L"%02x", static_cast<const unsigned char*>(data)[i]);
    return s;
}

std::wstring Arg(const std::wstring& a) { return a == L"-" ? std::wstring() : a; }

int Session(const std::vector<std::wstring>& a) {
    // session <proxy|-> <proxyuser|-> <agent> <url>
    WriteSetting(L"Mirovane", L"Proxy", Arg(a[0]));
    WriteSetting(L"Mirovane", L"ProxyUser", Arg(a[1]));
    mv::InetHandle session(OpenSession(a[2]));
    Out(mv::Format(L"session=%d", session ? 1 : 0));
    if (!session) return 0;
    DWORD size = 0;
    InternetQueryOptionW(session.get(), INTERNET_OPTION_PROXY, nullptr, &size);
    std::vector<char> info(size + 16, 0);
    if (size && InternetQueryOptionW(session.get(), INTERNET_OPTION_PROXY, info.data(), &size)) {
        auto* p = reinterpret_cast<INTERNET_PROXY_INFO*>(info.data());
        Out(mv::Format(L"access=%lu", p->dwAccessType));
        Out(L"proxy=" + std::wstring(p->lpszProxy ? p->lpszProxy : L""));
    }
    mv::InetHandle request(InternetOpenUrlW(session.get(), a[3].c_str(), nullptr, 0, kEngineRequestFlags, 0));
    if (!request) {
        Out(mv::Format(L"request=0 error=%lu", GetLastError()));
        return 0;
    }
    DWORD status = 0, len = sizeof(status);
    HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &len, nullptr);
    std::string body;
    char buf[4096];
    DWORD got = 0;
    while (InternetReadFile(request.get(), buf, sizeof(buf), &got) && got) body.append(buf, got);
    Out(mv::Format(L"status=%lu", status));
    Out(mv::Format(L"bytes=%zu", body.size()));
    return 0;
}

std::string Password(const std::wstring& a) { return mv::ToCodePage(a, CP_ACP); }

std::wstring ItemLine(const ArchiveItem& it) {
    auto unix = [](const FILETIME& ft) {
        ULARGE_INTEGER v{{ft.dwLowDateTime, ft.dwHighDateTime}};
        return static_cast<long long>(v.QuadPart / 10000000ULL) - 11644473600LL;
    };
    return mv::Format(L"item=%d attrs=%lx size=%llu mtime=%lld atime=%lld ctime=%lld name=%s", it.index, it.attributes,
                      static_cast<unsigned long long>(it.size), unix(it.lastWriteTime), unix(it.lastAccessTime),
                      unix(it.creationTime), it.name.c_str());
}

int Unzip(const std::vector<std::wstring>& a) {
    // unzip <zip> <password|-> <outdir>: every item, by its name, below outdir
    if (!SetCurrentDirectoryW(a[2].c_str())) return 2;
    std::string pw = Password(a[1]);
    ArchiveHandle h = OpenArchive(a[0], a[1] == L"-" ? nullptr : pw.c_str());
    Out(mv::Format(L"open=%d last=%x", h ? 1 : 0, LastArchiveResult()));
    if (!h) return 0;
    for (int i = 0; i < ArchiveItemCount(h); ++i) {
        ArchiveItem it;
        GetArchiveItem(h, i, &it);
        Out(ItemLine(it));
        Out(mv::Format(L"code=%x", ExtractItem(h, i, it.name)));
    }
    Out(mv::Format(L"close=%x", CloseArchive(h)));
    return 0;
}

int UnzipMem(const std::vector<std::wstring>& a) {
    // unzipmem <zip> <password|-> <item name> <buffer size> <outfile>: the item in parts
    std::string pw = Password(a[1]);
    ArchiveHandle h = OpenArchive(a[0], a[1] == L"-" ? nullptr : pw.c_str());
    if (!h) {
        Out(mv::Format(L"open=0 last=%x", LastArchiveResult()));
        return 0;
    }
    ArchiveItem it;
    int index = FindArchiveItem(h, a[2], true, &it);
    Out(mv::Format(L"index=%d", index));
    std::vector<char> buf(_wtoi(a[3].c_str()));
    std::string all;
    unsigned code = ZR_MORE;
    int parts = 0;
    for (; code == ZR_MORE && parts < 100000; ++parts) {
        unsigned got = 0;
        code = ExtractItem(h, index, buf.data(), static_cast<unsigned>(buf.size()), &got);
        all.append(buf.data(), got);
    }
    Out(mv::Format(L"parts=%d", parts));
    Out(mv::Format(L"code=%x", code));
    mv::WriteFileBytes(a[4], all);
    CloseArchive(h);
    return 0;
}

int LoadPackage(const std::vector<std::wstring>& a) {
    // loadpackage <tempdir> <listurl>
    WriteSetting(L"Mirovane", L"TempPath", a[0]);
    WriteSetting(L"UPDATEINFO", L"ListURL", a[1]);
    ResetListSource();
    bool ok = LoadSettingsPackage();
    Out(mv::Format(L"result=%d", ok ? 1 : 0));
    Out(mv::Format(L"filesAtOnce=%d connectionsPerFile=%d", DownloadFilesAtOnce(), DownloadConnectionsPerFile()));
    for (int i = 2; i < static_cast<int>(a.size()); ++i) {
        auto v = GlobalValues::Find(a[i]);
        Out(a[i] + L"=" + (v ? L"[" + *v + L"]" : L"(none)"));
    }
    return 0;
}

int Bounded(const std::vector<std::wstring>& a, bool toFile) {
    // boundedmem <url> <cap> <seconds> | boundedfile <url> <path> <cap> <seconds> [header line]
    const size_t at = toFile ? 2 : 1;
    const uint64_t cap = _wcstoui64(a[at].c_str(), nullptr, 10);
    const Deadline deadline = DeadlineIn(_wtol(a[at + 1].c_str()));
    std::wstring error;
    if (toFile) {
        FetchAnswer answer;
        const std::wstring headers = a.size() > 4 ? a[4] + L"\r\n" : std::wstring();
        Out(mv::Format(L"ok=%d", FetchToFile(a[0], a[1], deadline, cap, headers, answer, error) ? 1 : 0));
        Out(mv::Format(L"status=%lu", answer.status));
        Out(L"etag=" + answer.etag);
        Out(mv::Format(L"exists=%d", GetFileAttributesW(a[1].c_str()) != INVALID_FILE_ATTRIBUTES ? 1 : 0));
    } else {
        std::string body;
        Out(mv::Format(L"ok=%d", FetchToMemory(a[0], deadline, cap, body, error) ? 1 : 0));
        Out(mv::Format(L"bytes=%zu", body.size()));
        Out(L"hex=" + Hex(body.data(), body.size()));
    }
    Out(L"error=" + error);
    return 0;
}

int ReadList(const std::vector<std::wstring>& a) {
    // readlist <url> <file>: fetches a list with the updater's HTTP code and reads it with its
    // list reader, as the remote check will.
    {
        FetchAnswer answer;
        std::wstring error;
        const bool fetched = FetchToFile(a[0], a[1], DeadlineIn(60), 32u << 20, L"", answer, error);
        Out(mv::Format(L"fetched=%d", fetched ? 1 : 0));
        if (!fetched) return 0;
    }
    CoInitialize(nullptr);
    RecordArray records;
    UpdateListValues values;
    const ListRead read = ReadUpdateList(a[1], records, true, values);
    Out(read == ListRead::Ok ? L"read=ok" : read == ListRead::NotAList ? L"read=notalist" : L"read=domerror");
    Out(mv::Format(L"records=%d", RecordCount(records)));
    for (const updatefileinfo& r : records)
        Out(mv::Format(L"record action=%x path=%s ver=%s", r.action, r.path.c_str(), r.ver.c_str()));
    CoUninitialize();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> a(argv + 1, argv + argc);
    if (a.empty()) return 2;
    // Boxes as the product shows them, so that tests answer them as a person would.
    RegisterUserPrompt(&ShowPromptBox);
    // A proxy in the settings, for showing that requests go through it.
    wchar_t proxy[256] = {};
    if (GetEnvironmentVariableW(L"MV_PROXY", proxy, 256)) WriteSetting(L"Mirovane", L"Proxy", proxy);
    wchar_t proxyUser[256] = {};
    if (GetEnvironmentVariableW(L"MV_PROXY_USER", proxyUser, 256)) WriteSetting(L"Mirovane", L"ProxyUser", proxyUser);
    const std::wstring cmd = a[0];
    a.erase(a.begin());
    { int RunDownloadCommand(const std::wstring&, std::vector<std::wstring>&); if (int r = RunDownloadCommand(cmd, a); r >= 0) return r; }
    { int RunDotNetCommand(const std::wstring&, std::vector<std::wstring>&); if (int r = RunDotNetCommand(cmd, a); r >= 0) return r; }
    if (cmd == L"boundedmem" && a.size() == 3) return Bounded(a, false);
    if (cmd == L"boundedfile" && (a.size() == 4 || a.size() == 5)) return Bounded(a, true);
    if (cmd == L"agents") {
        // A fresh process: the counters' first values.
        Out(L"connection1=" + NextConnectionAgent());
        Out(L"connection2=" + NextConnectionAgent());
        Out(L"size1=" + NextSizeQueryAgent());
        return 0;
    }
    if (cmd == L"session" && a.size() == 4) return Session(a);
    if (cmd == L"unzip" && a.size() == 3) return Unzip(a);
    if (cmd == L"unzipmem" && a.size() == 5) return UnzipMem(a);
    if (cmd == L"unzipfirst" && (a.size() == 2 || a.size() == 3)) {
        // unzipfirst <archive> <target> [limit in bytes]
        std::wstring why;
        const unsigned long long limit = a.size() == 3 ? _wcstoui64(a[2].c_str(), nullptr, 10) : ~0ull;
        Out(mv::Format(L"ok=%d", ExtractFirstItem(a[0], a[1], limit, &why) ? 1 : 0));
        Out(L"why=" + why);
        return 0;
    }
    if (cmd == L"loadpackage" && a.size() >= 2) return LoadPackage(a);
    if (cmd == L"readlist" && a.size() == 2) return ReadList(a);
    if (cmd == L"refresh" && !a.empty()) {
        // refresh <appdir> [tag]: starts the hidden copy (this program with "downparam0/1")
        SetAppDir(a[0]);
        if (a.size() > 1) SetServerTagSeen();
        RefreshListInBackground();
        Out(L"stamp=" + ReadSetting(L"Mirovane", L"OwerCheckTm"));
        Out(mv::Format(L"now=%lld", HourStamp()));
        return 0;
    }
    if (cmd == L"downparam0" || cmd == L"downparam1") {
        // The hidden copy: leaves a note of how it was started in its working directory.
        wchar_t cwd[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, cwd);
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        GetStartupInfoW(&si);
        mv::WriteFileBytes(std::wstring(cwd) + L"\\refreshed.txt",
                           mv::ToUtf8(mv::Format(L"%s show=%d", cmd.c_str(), (si.dwFlags & STARTF_USESHOWWINDOW) ? si.wShowWindow : -1)));
        return 0;
    }
    if (cmd == L"holdloglock" && a.size() == 1) {
        // holdloglock <file>: takes the log file's lock, writes <file> and waits to be killed
        CrossProcessLock lock(kLogFileLockName, INFINITE);
        mv::WriteFileBytes(a[0], "held");
        Sleep(60000);
        return 0;
    }
    { extern int RunInstallCommand(const std::wstring&, std::vector<std::wstring>&); if (int rc = RunInstallCommand(cmd, a); rc >= 0) return rc; }
    { int RunCheckCommand(const std::wstring&, const std::vector<std::wstring>&); if (int r = RunCheckCommand(cmd, a); r >= 0) return r; }
    { int RunUpdateCommand(const std::wstring&, const std::vector<std::wstring>&); if (int r = RunUpdateCommand(cmd, a); r >= 0) return r; }
    fwprintf(stderr, L"coredriver: bad command line\n");
    return 2;
}
