#include "check/remote_check.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "check/check_rules.h"
#include "check/list_fetch.h"
#include "check/list_refresh.h"
#include "check/list_signature.h"
#include "check/merge.h"
#include "check/sample_settings.h"
#include "config/global_values.h"
#include "config/list_source.h"
#include "config/settings.h"
#include "download/http.h"
#include "lang/language.h"
#include "notify/host_windows.h"
#include "notify/log.h"
#include "updatelist/download_list.h"
#include "updatelist/list_cache.h"
#include "updatelist/update_list.h"
#include "util/xml_doc.h"
#include "util/files.h"
#include "util/file_replace.h"
#include "util/text.h"

namespace {

constexpr UINT kCommandCheckDone = 1056;

// One check at a time in this process, whichever entry started it.
std::atomic<bool> g_checkBusy{false};
// A version page has been read in this process.
std::atomic<bool> g_probeRan{false};

std::mutex g_cachePathMutex;
std::wstring g_listCachePath;

class BusyFlag {
public:
    BusyFlag() : owned_(!g_checkBusy.exchange(true)) {}
    ~BusyFlag() {
        if (owned_) g_checkBusy = false;
    }
    BusyFlag(const BusyFlag&) = delete;
    BusyFlag& operator=(const BusyFlag&) = delete;
    bool owned() const { return owned_; }

private:
    bool owned_;
};

// Values of one check; threads started by an earlier check never see them.
struct CheckContext {
    bool refreshStarted = false;
};

void Report(HWND window, const std::wstring& english, const std::wstring& tail = {}) {
    const std::wstring text = Translate(L"MAIN", english) + tail;
    SendStatusText(window, text, 0);
    WriteLog(text);
}

void LogDownload(const std::wstring& url) { WriteLog(Translate(L"MAIN", L"download:") + url); }

long SettingSeconds(const wchar_t* key) { return mv::ParseLong(ReadSettingOr(L"Mirovane", key, L"60")); }

void SetListCachePath(const std::wstring& path) {
    std::lock_guard<std::mutex> hold(g_cachePathMutex);
    g_listCachePath = path;
}

void StartRefreshOnce(CheckContext& ctx) {
    if (ctx.refreshStarted) return;
    ctx.refreshStarted = true;
    RefreshListInBackground();
}

// Race threads that lost: each ends by its deadline at the latest, and whoever started the
// checks joins them (JoinCheckThreads) instead of leaving them behind; a process that ends
// without that call joins them on its way out.
struct LoserThreads {
    std::mutex mutex;
    std::vector<std::thread> threads;
    std::vector<std::thread> Take() {
        std::lock_guard<std::mutex> hold(mutex);
        std::vector<std::thread> out;
        out.swap(threads);
        return out;
    }
    ~LoserThreads() {
        for (std::thread& t : Take())
            if (t.joinable()) t.join();
    }
};
LoserThreads g_losers;

// ---- version page

struct ProbeState {
    std::mutex m;
    std::condition_variable cv;
    int status = 0;  // 0 pending, 2 read, 3 failed
    VersionPage page;
};

void VersionProbeThread(std::shared_ptr<ProbeState> s, std::wstring url, Deadline deadline) {
    std::string body;
    std::wstring error;
    const bool ok = FetchToMemory(url, deadline, kMaxVersionPageBytes, body, error);
    VersionPage page;
    if (ok)
        page = ParseVersionPage(body);
    else
        WriteLog(mv::Format(Translate(L"MAIN", L"version page [%s]: %s").c_str(), url.c_str(), error.c_str()));
    for (const std::wstring& note : page.notes)
        WriteLog(mv::Format(Translate(L"MAIN", L"version page [%s]: %s").c_str(), url.c_str(), note.c_str()));
    std::lock_guard<std::mutex> hold(s->m);
    s->status = ok ? 2 : 3;
    s->page = std::move(page);
    s->cv.notify_all();
}

// Reads the version page into remoteVersion and subListUrls; true when it named a version.
bool RunVersionProbe() {
    g_probeRan = true;
    DownLoadList& list = TheDownLoadList();
    list.remoteVersion.clear();
    list.subListUrls.clear();
    std::wstring version;
    std::vector<std::wstring> urls;
    const bool ok = ProbeVersionPage(CurrentListSource().url,
                                     SettingSeconds(L"TimeOut"), version, urls);
    if (!ok) return false;
    list.remoteVersion = version;
    list.subListUrls = urls;
    return true;
}

// ---- the single list

struct SingleState {
    std::mutex m;
    std::condition_variable cv;
    int status = 0;  // 0 pending, 2 list ready, 3 failed
    bool abandoned = false;
};

void ListDownloadThread(std::shared_ptr<SingleState> s, HWND window, std::wstring url, std::wstring mainUrl,
                        std::wstring cache, std::wstring listTemp, std::wstring mainTemp, Deadline deadline) {
    bool ok = FetchCachedListFile(window, url, ListSourceCopyOf(cache), listTemp, deadline);
    if (ok) {
        LogDownload(mainUrl);
        ok = FetchCachedListFile(window, mainUrl, MainListCopyOf(cache), mainTemp, deadline);
    }
    if (ok) {
        ok = MergeMainList(listTemp, mainTemp);
        if (!ok)
            WriteLog(mv::Format(Translate(L"MAIN", L"main list [%s] could not be merged into [%s]").c_str(), mainUrl.c_str(), url.c_str()));
    }
    std::lock_guard<std::mutex> hold(s->m);
    // A result nobody waits for any more only cleans up after itself.
    DeleteFileW(mainTemp.c_str());  // its copy is kept by the fetch
    if (!ok || s->abandoned) DeleteFileW(listTemp.c_str());
    s->status = ok ? 2 : 3;
    s->cv.notify_all();
}

// Fetches the list and the main list (conditionally, against the copies kept beside the
// cache), merges them and moves the merged list over the cache file.
bool DownloadSingleList(HWND window, const std::wstring& url, const std::wstring& cache, long seconds) {
    const std::wstring mainUrl = CurrentListSource().mainUrl;
    const std::wstring listTemp = mv::PrivateTempNameBeside(cache, L"list");
    const std::wstring mainTemp = mv::PrivateTempNameBeside(MainListCopyOf(cache), L"main");
    auto s = std::make_shared<SingleState>();
    const Deadline deadline = DeadlineIn(seconds);
    LogDownload(url);
    std::thread worker(ListDownloadThread, s, window, url, mainUrl, cache, listTemp, mainTemp, deadline);
    int status = 0;
    {
        std::unique_lock<std::mutex> hold(s->m);
        s->cv.wait_until(hold, deadline, [&s] { return s->status != 0; });
        status = s->status;
        if (status == 0) s->abandoned = true;
    }
    // Its requests time out with the same deadline, so this wait is short even when it was late.
    worker.join();
    if (status == 0) WriteLog(mv::Format(Translate(L"MAIN", L"list [%s] not ready within %ld seconds").c_str(), url.c_str(), seconds));
    if (status != 2) return false;
    if (ReplaceFile(listTemp, cache)) return true;
    DeleteFileW(listTemp.c_str());
    return false;
}

// ---- the race

struct RaceState {
    std::mutex m;
    std::condition_variable cv;
    std::wstring winner, winnerPath;
    int pending = 0;
    bool closed = false;
};

void RaceListThread(std::shared_ptr<RaceState> s, HWND window, std::wstring url, std::wstring path, Deadline deadline) {
    bool ok = FetchListFile(window, url, path, deadline);
    // A page that is not a list (an error page sent with status 200) never wins.
    if (ok && !IsListFile(path)) {
        WriteLog(mv::Format(Translate(L"MAIN", L"race: [%s] is not an update list").c_str(), url.c_str()));
        ok = false;
    }
    std::lock_guard<std::mutex> hold(s->m);
    if (ok && !s->closed && s->winner.empty()) {
        s->winner = url;
        s->winnerPath = path;
    } else {
        DeleteFileW(path.c_str());
    }
    --s->pending;
    s->cv.notify_all();
}

// ---- reading the lists

// A cached list was changed by the merge and cannot be verified again: with a list key it is
// never read, and the list is downloaded and verified instead.
bool CachedListRefused(const wchar_t* what) {
    if (!ListSigningRequired()) return false;
    WriteLog(std::wstring(what) + L": the cached list is not used, lists are signed");
    return true;
}

bool ReadAndCompare(const std::wstring& listPath) {
    DownLoadList& list = TheDownLoadList();
    RecordArray remote, installed;
    if (!AcceptSignedList(listPath)) return false;
    if (!LoadUpdateList(listPath, remote, true)) {
        WriteLog(mv::Format(Translate(L"MAIN", L"the remote list [%s] is not a readable update list").c_str(), listPath.c_str()));
        return false;
    }
    LoadUpdateList(mv::ReduceBackslashes(GetAppDir() + L"\\mirovane.xml"), installed, false);
    CompareLists(remote, installed, ReadSettingBool(L"Mirovane", L"CheckLostFile", L"0"));
    SeparateSpecialRecords(list);
    RefuseUnhashedRecords(list);
    if (CapDescription(list.description))
        WriteLog(mv::Format(Translate(L"MAIN", L"description cut to %zu characters").c_str(), kMaxDescriptionChars));
    if (!list.description.empty()) SendDescriptionToHosts(list.description);
    return true;
}

bool CheckRemoteWith(HWND window, CheckContext& ctx) {
    DownLoadList& list = TheDownLoadList();
    const ListSource source = CurrentListSource();
    const std::wstring& listUrl = source.configured;
    if (listUrl.size() < 5) {
        Report(window, L"mirovane.ini -> UPDATEINFO -> ListURL can't empty");
        return false;
    }
    list.listUrlBase = source.base;
    RemoveAllRecords(list.records);
    list.description.clear();
    Report(window, L"try to download the list file...");

    const bool versionPage = ReadSettingBool(L"APPLICATION", L"CheckVerNumber", L"0");
    const bool quick = QuickCheckApplies(GlobalValues::Get(L"runmode"), ReadSettingBool(L"Mirovane", L"QuickCheck", L"1"),
                                         versionPage) &&
                       !CachedListRefused(L"quick check");
    const std::wstring cache = ListCacheXmlPath();
    const std::wstring pinned = PinnedListCopyOf(cache);
    std::wstring readPath;

    if (quick) {
        // The freshest copy wins: what the hidden copy or a download left replaces the copy
        // this process reads, which then stays put for the rest of the session.
        if (IsListFile(cache)) ReplaceFile(cache, pinned);
        if (IsListFile(pinned)) {
            readPath = pinned;
            SetListCachePath(pinned);
            WriteLog(mv::Format(Translate(L"MAIN", L"quick check: list read from the cache [%s]").c_str(), pinned.c_str()));
            StartRefreshOnce(ctx);
        } else {
            WriteLog(Translate(L"MAIN", L"quick check: no usable cached list, downloading it"));
        }
    }

    if (readPath.empty()) {
        bool ok = false;
        if (list.subListUrls.empty() && !list.remoteVersion.empty()) {
            // The version page named no lists: the list cached earlier is used.
            ok = !CachedListRefused(L"version page without lists");
        } else {
            RemoveFile(cache);
            if (!list.subListUrls.empty()) {
                std::vector<std::wstring> urls;
                for (const std::wstring& u : list.subListUrls) urls.push_back(ApplyListParameters(u));
                std::wstring winner;
                ok = RaceLists(window, urls, cache, SettingSeconds(L"MultCheckTimeOut"), winner);
                if (ok) {
                    list.listUrlBase = ListBaseOf(winner);
                    list.subListUrls.clear();
                    GlobalValues::Set(L"__down|" + cache, winner);
                }
            } else {
                GlobalValues::Set(L"__down|" + cache, source.url);
                ok = DownloadSingleList(window, source.url, cache, SettingSeconds(L"TimeOut"));
            }
            if (ok) CopyFileOver(cache, pinned);
        }
        if (!ok) {
            if (list.remoteVersion.empty())
                Report(window, L"error when download the list file.", L"\n" + listUrl);
            else
                Report(window, L"error when download the list file.");
            return false;
        }
        readPath = cache;
    }

    if (!ReadAndCompare(readPath)) {
        RemoveAllRecords(list.records);
        Report(window, L"error when download the list file.");
        return false;
    }
    return true;
}

void RunRemoteCheckLocked(HWND window) {
    HWND w = (window && IsWindow(window)) ? window : nullptr;
    mv::ComInit com;
    DownLoadList& list = TheDownLoadList();
    CheckContext ctx;
    bool failed = false;

    // A mode that comes here directly still needs the version page before racing its lists.
    if (ReadSettingBool(L"APPLICATION", L"CheckVerNumber", L"0") && !g_probeRan) failed = !RunVersionProbe();

    if (!failed && !(list.subListUrls.empty() && list.stage != UpdateNone)) {
        const long long stampAtStart = HourStamp();
        const long long checkedAt = _wcstoi64(ReadSetting(L"Mirovane", L"OwerCheckTm").c_str(), nullptr, 10);
        SetStage(UpdateCheckRemote);
        list.workDir = ListCacheDir();
        if (OfferSampleSettings(w, true) && CheckRemoteWith(w, ctx)) {
            if (std::llabs(stampAtStart - checkedAt) > 48) StartRefreshOnce(ctx);
            if (w) {
                HWND parent = GetParent(w);
                PostMessageW(parent ? parent : w, WM_COMMAND, kCommandCheckDone, 0);
            }
            Report(w, mv::Format(Translate(L"MAIN", L"Found %d files need to update...").c_str(), list.FileCount()));
            SetStage(UpdateCheckRemoteOk);
            if (list.FileCount() == 0 && list.stage == UpdateCheckRemoteOk) Report(w, L"Find nothing to update.");
        }
    }
    if (list.stage != UpdateCheckRemoteOk) {
        SetStage(UpdateCheckRemoteError);
        RemoveAllRecords(list.records);
        list.description.clear();
    }
}

void LogBusy() {
    WriteLog(Translate(L"MAIN", L"a remote check is already running in this process: this one is not started"));
}

}  // namespace

bool ProbeVersionPage(const std::wstring& url, long seconds, std::wstring& version, std::vector<std::wstring>& urls) {
    LogDownload(url);
    auto s = std::make_shared<ProbeState>();
    const Deadline deadline = DeadlineIn(seconds);
    std::thread worker(VersionProbeThread, s, url, deadline);
    {
        std::unique_lock<std::mutex> hold(s->m);
        s->cv.wait_until(hold, deadline, [&s] { return s->status != 0; });
    }
    worker.join();  // bounded by the same deadline
    if (s->status == 0) WriteLog(mv::Format(Translate(L"MAIN", L"version page [%s] not read within %ld seconds").c_str(), url.c_str(), seconds));
    if (s->status != 2) return false;
    if (s->page.version.empty()) {
        WriteLog(mv::Format(Translate(L"MAIN", L"version page [%s] names no version").c_str(), url.c_str()));
        return false;
    }
    version = s->page.version;
    urls = s->page.urls;
    return true;
}

bool RaceLists(HWND window, const std::vector<std::wstring>& urls, const std::wstring& cache, long seconds,
               std::wstring& winner) {
    auto s = std::make_shared<RaceState>();
    s->pending = static_cast<int>(urls.size());
    const Deadline deadline = DeadlineIn(seconds);
    std::vector<std::thread> racers;
    for (size_t i = 0; i < urls.size(); ++i) {
        const std::wstring local = mv::PrivateTempNameBeside(cache + std::to_wstring(i), L"race");
        LogDownload(urls[i]);
        racers.emplace_back(RaceListThread, s, window, urls[i], local, deadline);
    }
    std::wstring path;
    {
        std::unique_lock<std::mutex> hold(s->m);
        s->cv.wait_until(hold, deadline, [&s] { return !s->winner.empty() || s->pending <= 0; });
        s->closed = true;
        winner = s->winner;
        path = s->winnerPath;
    }
    {
        // The first list wins at once; the others are joined later, each by its deadline.
        std::lock_guard<std::mutex> hold(g_losers.mutex);
        for (std::thread& t : racers) g_losers.threads.push_back(std::move(t));
    }
    if (winner.empty()) {
        WriteLog(mv::Format(Translate(L"MAIN", L"no list of %zu arrived within %ld seconds").c_str(), urls.size(), seconds));
        return false;
    }
    if (ReplaceFile(path, cache)) return true;
    DeleteFileW(path.c_str());
    return false;
}

void JoinCheckThreads() {
    for (std::thread& t : g_losers.Take())
        if (t.joinable()) t.join();
}

int StartRemoteCheck(HWND window) {
    BusyFlag busy;
    if (!busy.owned()) {
        LogBusy();
        return 0;
    }
    DownLoadList& list = TheDownLoadList();
    list.remoteVersion.clear();
    list.subListUrls.clear();
    if (!ReadSettingBool(L"APPLICATION", L"CheckVerNumber", L"0")) {
        RunRemoteCheckLocked(window);
        return 0;
    }
    SetStage(RunVersionProbe() ? UpdateCheckRemoteOk : UpdateCheckRemoteError);
    return 0;
}

void RunRemoteCheck(HWND window) {
    BusyFlag busy;
    if (!busy.owned()) {
        LogBusy();
        return;
    }
    RunRemoteCheckLocked(window);
}



std::wstring CurrentListCachePath() {
    {
        std::lock_guard<std::mutex> hold(g_cachePathMutex);
        if (!g_listCachePath.empty()) return g_listCachePath;
    }
    return ListCacheXmlPath();
}

bool RefreshListCache() {
    BusyFlag busy;
    if (!busy.owned()) return false;
    mv::ComInit com;
    const ListSource source = CurrentListSource();
    if (source.configured.size() < 5 || ReadSettingBool(L"APPLICATION", L"CheckVerNumber", L"0")) return false;
    const bool ok = DownloadSingleList(nullptr, source.url, source.cacheXml, SettingSeconds(L"TimeOut"));
    WriteLog(ok ? Translate(L"MAIN", L"background refresh: list cache renewed")
                : Translate(L"MAIN", L"background refresh: list cache kept, the download failed"));
    return ok;
}
