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
#include "package/package.h"
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
bool RunVersionProbe(DownLoadList& list) {
    g_probeRan = true;
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
    std::string bytes;
    std::vector<SignedSource> sources;
};

void ListDownloadThread(std::shared_ptr<SingleState> s, HWND window, std::wstring url, std::wstring mainUrl,
                        std::wstring cache, Deadline deadline) {
    std::string list, main, listSig, mainSig;
    bool ok = FetchCachedList(window, url, mv::ListRole::Update, ListSourceCopyOf(cache),
                              mv::PrivateTempNameBeside(cache, L"list"), deadline, list, &listSig);
    if (ok) {
        LogDownload(mainUrl);
        ok = FetchCachedList(window, mainUrl, mv::ListRole::Main, MainListCopyOf(cache),
                             mv::PrivateTempNameBeside(MainListCopyOf(cache), L"main"), deadline, main, &mainSig) &&
             AcceptSignedMainList(mainUrl, main);
    }
    std::vector<SignedSource> sources;
    if (ok && ListSigningRequired())
        sources = {SignedSource{mv::ListRole::Update, url, list, listSig}, SignedSource{mv::ListRole::Main, mainUrl, main, mainSig}};
    if (ok) {
        ok = MergeMainList(list, main);
        if (!ok)
            WriteLog(mv::Format(Translate(L"MAIN", L"main list [%s] could not be merged into [%s]").c_str(), mainUrl.c_str(), url.c_str()));
    }
    std::lock_guard<std::mutex> hold(s->m);
    if (ok) {
        s->bytes = std::move(list);
        s->sources = std::move(sources);
    }
    s->status = ok ? 2 : 3;
    s->cv.notify_all();
}

// Fetches the list and the main list (conditionally, against the copies kept beside the
// cache) and merges them into `bytes`.
bool DownloadSingleList(HWND window, const std::wstring& url, const std::wstring& cache, long seconds, std::string& bytes,
                        std::vector<SignedSource>& sources) {
    const std::wstring mainUrl = CurrentListSource().mainUrl;
    auto s = std::make_shared<SingleState>();
    const Deadline deadline = DeadlineIn(seconds);
    LogDownload(url);
    std::thread worker(ListDownloadThread, s, window, url, mainUrl, cache, deadline);
    int status = 0;
    {
        std::unique_lock<std::mutex> hold(s->m);
        s->cv.wait_until(hold, deadline, [&s] { return s->status != 0; });
        status = s->status;
    }
    // Its requests time out with the same deadline, so this wait is short even when it was late.
    worker.join();
    if (status == 0) WriteLog(mv::Format(Translate(L"MAIN", L"list [%s] not ready within %ld seconds").c_str(), url.c_str(), seconds));
    if (status != 2) return false;
    bytes = std::move(s->bytes);
    sources = std::move(s->sources);
    return true;
}

// Keeps the list a check used as the cache file (the quick check, the hidden copy and the
// finish step's fallback read it; nothing reads it in the session that wrote it).
void KeepCache(const std::wstring& path, const std::string& bytes) {
    std::wstring failure;
    if (!mv::WriteFileReplacing(path, bytes, &failure)) WriteLog(failure);
}

// ---- the race

struct RaceState {
    std::mutex m;
    std::condition_variable cv;
    std::wstring winner;
    std::string bytes;
    std::string signature;
    int pending = 0;
    bool closed = false;
};

void RaceListThread(std::shared_ptr<RaceState> s, HWND window, std::wstring url, std::wstring scratch, Deadline deadline) {
    std::string bytes, signature;
    bool ok = FetchList(window, url, scratch, deadline, bytes, &signature);
    // A page that is not a list (an error page sent with status 200) never wins.
    if (ok && !IsListBytes(bytes)) {
        WriteLog(mv::Format(Translate(L"MAIN", L"race: [%s] is not an update list").c_str(), url.c_str()));
        ok = false;
    }
    std::lock_guard<std::mutex> hold(s->m);
    if (ok && !s->closed && s->winner.empty()) {
        s->winner = url;
        s->bytes = std::move(bytes);
        s->signature = std::move(signature);
    }
    --s->pending;
    s->cv.notify_all();
}

// ---- reading the lists

// A cached list was changed by the merge and cannot be verified again: with a list key it is
// never read, and the list is downloaded and verified instead.
// A cached list file, read once; false (and `bytes` empty) when it is not a list.
bool ReadCachedList(const std::wstring& path, std::string& bytes) {
    if (mv::ReadFileBytes(path, bytes, static_cast<long long>(kMaxListBytes)) && IsListBytes(bytes)) return true;
    bytes.clear();
    return false;
}

bool CachedListRefused(const wchar_t* what) {
    if (!ListSigningRequired()) return false;
    WriteLog(std::wstring(what) + L": the cached list is not used, lists are signed");
    return true;
}

// Reads the list from the bytes that were fetched (and verified), once; they become the
// list's document, which the finish step installs as they are.
bool ReadAndCompare(std::string bytes, const std::wstring& name, DownLoadList& list) {
    RecordArray remote, installed;
    if (!AcceptSignedList(bytes, list)) return false;
    if (!LoadRemoteListBytes(bytes, name, remote, list)) {
        WriteLog(mv::Format(Translate(L"MAIN", L"the remote list [%s] is not a readable update list").c_str(), name.c_str()));
        return false;
    }
    list.document = std::move(bytes);
    LoadUpdateList(mv::ReduceBackslashes(GetAppDir() + L"\\mirovane.xml"), installed, false);
    list.refused = CompareLists(remote, installed, ReadSettingBool(L"Mirovane", L"CheckLostFile", L"0"), list);
    SeparateSpecialRecords(list);
    list.refused += RefuseUnhashedRecords(list);
    if (CapDescription(list.description))
        WriteLog(mv::Format(Translate(L"MAIN", L"description cut to %zu characters").c_str(), kMaxDescriptionChars));
    if (!list.description.empty()) SendDescriptionToHosts(list.description);
    return true;
}

// The list read and compared; on failure the records are dropped and the failure reported.
// The sources whose signatures were checked go with the list.
bool AdoptList(HWND window, std::string bytes, const std::wstring& name, std::vector<SignedSource> sources,
               DownLoadList& list) {
    if (!ReadAndCompare(std::move(bytes), name, list)) {
        RemoveAllRecords(list.records);
        list.document.clear();
        Report(window, L"error when download the list file.");
        return false;
    }
    list.signedSources = std::move(sources);
    return true;
}

bool CheckRemoteWith(HWND window, CheckContext& ctx, DownLoadList& list) {
    const ListSource source = CurrentListSource();
    const std::wstring& listUrl = source.configured;
    if (listUrl.size() < 5) {
        Report(window, L"mirovane.ini -> UPDATEINFO -> ListURL can't empty");
        return false;
    }
    list.listUrlBase = source.base;
    list.packagePath.clear();
    RemoveAllRecords(list.records);
    list.description.clear();
    list.document.clear();
    list.refused = 0;
    Report(window, L"try to download the list file...");

    const bool versionPage = ReadSettingBool(L"APPLICATION", L"CheckVerNumber", L"0");
    const bool quick = QuickCheckApplies(GlobalValues::Get(L"runmode"), ReadSettingBool(L"Mirovane", L"QuickCheck", L"1"),
                                         versionPage) &&
                       !CachedListRefused(L"quick check");
    const std::wstring cache = ListCacheXmlPath();
    const std::wstring pinned = PinnedListCopyOf(cache);
    std::string bytes;
    std::wstring name;
    std::vector<SignedSource> sources;
    list.signedSources.clear();

    if (quick) {
        // The freshest copy wins: what the hidden copy or a download left replaces the copy
        // this process reads. Either is read once; the session goes on with those bytes.
        if (ReadCachedList(cache, bytes)) ReplaceFile(cache, pinned);
        if (!bytes.empty() || ReadCachedList(pinned, bytes)) {
            name = pinned;
            WriteLog(mv::Format(Translate(L"MAIN", L"quick check: list read from the cache [%s]").c_str(), pinned.c_str()));
            StartRefreshOnce(ctx);
        } else {
            WriteLog(Translate(L"MAIN", L"quick check: no usable cached list, downloading it"));
        }
    }

    bool fetched = false;
    if (name.empty()) {
        bool ok = false;
        if (list.subListUrls.empty() && !list.remoteVersion.empty()) {
            // The version page named no lists: the list cached earlier is used.
            ok = !CachedListRefused(L"version page without lists");
            if (ok && !mv::ReadFileBytes(cache, bytes, static_cast<long long>(kMaxListBytes))) bytes.clear();
            name = cache;
        } else {
            RemoveFile(cache);
            if (!list.subListUrls.empty()) {
                std::vector<std::wstring> urls;
                for (const std::wstring& u : list.subListUrls) urls.push_back(ApplyListParameters(u));
                std::wstring winner;
                std::string signature;
                ok = RaceLists(window, urls, cache, SettingSeconds(L"MultCheckTimeOut"), winner, bytes, &signature);
                if (ok && ListSigningRequired()) sources = {SignedSource{mv::ListRole::Update, winner, bytes, signature}};
                if (ok) {
                    list.listUrlBase = ListBaseOf(winner);
                    list.subListUrls.clear();
                    GlobalValues::Set(L"__down|" + cache, winner);
                    name = winner;
                }
            } else {
                GlobalValues::Set(L"__down|" + cache, source.url);
                ok = DownloadSingleList(window, source.url, cache, SettingSeconds(L"TimeOut"), bytes, sources);
                name = source.url;
            }
            fetched = ok;
        }
        if (!ok) {
            if (list.remoteVersion.empty())
                Report(window, L"error when download the list file.", L"\n" + listUrl);
            else
                Report(window, L"error when download the list file.");
            return false;
        }
    }

    if (!AdoptList(window, std::move(bytes), name, std::move(sources), list)) return false;
    if (fetched) {
        KeepCache(cache, list.document);
        KeepCache(pinned, list.document);
    }
    return true;
}

// The check of an offline update: the list (and the main list, when packed) from the update
// package start-up accepted, read and compared as a fetched one; no request is made. The
// files then come from the package too (packagePath).
bool CheckFromPackage(HWND window, DownLoadList& list) {
    const AppendedPackage package = ActivePackage();
    list.listUrlBase = CurrentListSource().base;
    RemoveAllRecords(list.records);
    list.description.clear();
    list.document.clear();
    list.refused = 0;
    list.signedSources.clear();
    list.packagePath.clear();
    Report(window, L"the update list is taken from the update package", L" [" + package.path + L"]");
    const std::wstring name = package.path;
    const std::wstring mainName = package.path + L"|" + kPackageMainListName;
    std::string bytes = package.list;
    // Verified at start-up against the signatures the package carries: the same bytes, from memory.
    std::vector<SignedSource> sources;
    if (ListSigningRequired()) {
        sources.push_back(SignedSource{mv::ListRole::Update, name, package.list, package.listSignature});
        if (!package.mainList.empty())
            sources.push_back(SignedSource{mv::ListRole::Main, mainName, package.mainList, package.mainListSignature});
    }
    if (!package.mainList.empty() &&
        (!AcceptSignedMainList(mainName, package.mainList) || !MergeMainList(bytes, package.mainList))) {
        WriteLog(mv::Format(Translate(L"MAIN", L"main list [%s] could not be merged into [%s]").c_str(), mainName.c_str(),
                            name.c_str()));
        Report(window, L"error when download the list file.");
        return false;
    }
    if (!AdoptList(window, std::move(bytes), name, std::move(sources), list)) return false;
    list.packagePath = package.path;
    return true;
}

void RunRemoteCheckLocked(HWND window, DownLoadList& list) {
    HWND w = (window && IsWindow(window)) ? window : nullptr;
    mv::ComInit com;
    CheckContext ctx;
    bool failed = false;

    // A mode that comes here directly still needs the version page before racing its lists.
    const bool fromPackage = PackageActive();
    if (!fromPackage && ReadSettingBool(L"APPLICATION", L"CheckVerNumber", L"0") && !g_probeRan)
        failed = !RunVersionProbe(list);

    if (!failed && !(list.subListUrls.empty() && list.stage != UpdateNone)) {
        const long long stampAtStart = HourStamp();
        const long long checkedAt = _wcstoi64(ReadSetting(L"Mirovane", L"OwerCheckTm").c_str(), nullptr, 10);
        SetStage(list, UpdateCheckRemote);
        list.workDir = ListCacheDir();
        if (fromPackage ? CheckFromPackage(w, list) : (OfferSampleSettings(w, true) && CheckRemoteWith(w, ctx, list))) {
            if (!fromPackage && std::llabs(stampAtStart - checkedAt) > 48) StartRefreshOnce(ctx);
            if (w) {
                HWND parent = GetParent(w);
                PostMessageW(parent ? parent : w, WM_COMMAND, kCommandCheckDone, 0);
            }
            Report(w, mv::Format(Translate(L"MAIN", L"Found %d files need to update...").c_str(), list.FileCount()));
            SetStage(list, UpdateCheckRemoteOk);
            if (list.FileCount() == 0 && list.stage == UpdateCheckRemoteOk) Report(w, L"Find nothing to update.");
        }
    }
    if (list.stage != UpdateCheckRemoteOk) {
        SetStage(list, UpdateCheckRemoteError);
        RemoveAllRecords(list.records);
        list.description.clear();
        list.document.clear();
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
               std::wstring& winner, std::string& bytes, std::string* signature) {
    auto s = std::make_shared<RaceState>();
    s->pending = static_cast<int>(urls.size());
    const Deadline deadline = DeadlineIn(seconds);
    std::vector<std::thread> racers;
    for (size_t i = 0; i < urls.size(); ++i) {
        const std::wstring local = mv::PrivateTempNameBeside(cache + std::to_wstring(i), L"race");
        LogDownload(urls[i]);
        racers.emplace_back(RaceListThread, s, window, urls[i], local, deadline);
    }
    {
        std::unique_lock<std::mutex> hold(s->m);
        s->cv.wait_until(hold, deadline, [&s] { return !s->winner.empty() || s->pending <= 0; });
        s->closed = true;
        winner = s->winner;
        bytes = std::move(s->bytes);
        if (signature) *signature = std::move(s->signature);
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
    return true;
}

void JoinCheckThreads() {
    for (std::thread& t : g_losers.Take())
        if (t.joinable()) t.join();
}

int StartRemoteCheck(HWND window, DownLoadList& list) {
    BusyFlag busy;
    if (!busy.owned()) {
        LogBusy();
        return 0;
    }
    list.remoteVersion.clear();
    list.subListUrls.clear();
    // An offline package needs no version page: its list says what changed.
    if (!ReadSettingBool(L"APPLICATION", L"CheckVerNumber", L"0") || PackageActive()) {
        RunRemoteCheckLocked(window, list);
        return 0;
    }
    SetStage(list, RunVersionProbe(list) ? UpdateCheckRemoteOk : UpdateCheckRemoteError);
    return 0;
}

void RunRemoteCheck(HWND window, DownLoadList& list) {
    BusyFlag busy;
    if (!busy.owned()) {
        LogBusy();
        return;
    }
    RunRemoteCheckLocked(window, list);
}



bool ContinueFromSavedList(DownLoadList& list) {
    const std::wstring saved = ListCacheLstPath();
    // The working directory is this copy's own, whatever the saved list names.
    list.workDir = ListCacheDir();
    if (!ListSigningRequired()) {
        // Loaded records pass the rules fresh ones pass.
        RecordArray kept;
        for (updatefileinfo& r : list.records) {
            const bool file = r.action != RunTaskRecord && r.action != DescriptionRecord;
            const std::wstring why = file ? FileRecordProblem(r) : std::wstring();
            if (why.empty()) {
                kept.push_back(std::move(r));
            } else {
                WriteLog(mv::Format(Translate(L"MAIN", L"record refused (%s): %s").c_str(), why.c_str(),
                                    r.path.substr(0, 260).c_str()));
            }
        }
        std::lock_guard<std::mutex> hold(RecordMutex());
        list.records = std::move(kept);
        return true;
    }
    // With a key nothing saved is taken on trust: the lists are verified again in their roles
    // and the records rebuilt from them, as the check built them.
    auto refuse = [&saved](const std::wstring& why) {
        WriteLog(mv::Format(Translate(L"MAIN", L"the saved list [%s] could not be verified (%s): nothing of it is installed or run")
                                .c_str(),
                            saved.c_str(), why.c_str()));
        return false;
    };
    const SignedSource* update = nullptr;
    const SignedSource* main = nullptr;
    for (const SignedSource& src : list.signedSources) {
        const SignedSource*& slot = src.role == mv::ListRole::Main ? main : update;
        if (slot) return refuse(L"it holds two lists in one role");
        slot = &src;
    }
    if (!update) return refuse(L"it holds no signed list");
    for (const SignedSource* src : {update, main})
        if (src && !VerifySavedListBytes(*src)) return refuse(L"a signature does not match");
    mv::ComInit com;
    const std::vector<SignedSource> sources = list.signedSources;
    std::string bytes = update->bytes;
    const std::wstring name = update->url;
    if (main && !AcceptSignedMainList(main->url, main->bytes)) return refuse(L"the main list may not be used");
    if (main && !MergeMainList(bytes, main->bytes)) return refuse(L"the main list cannot be merged");
    const int stage = list.stage;
    const std::wstring workDir = list.workDir;
    ForgetSession(list);
    list.properties.clear();
    list.listUrlBase = ListBaseOf(name);
    if (!ReadAndCompare(std::move(bytes), name, list)) {
        ForgetSession(list);
        return refuse(L"the list may not be used");
    }
    list.signedSources = sources;
    list.stage = stage;
    list.workDir = workDir;
    WriteLog(mv::Format(Translate(L"MAIN", L"the saved list [%s] verified again: %d files").c_str(), saved.c_str(),
                        list.FileCount()));
    return true;
}

bool RefreshListCache() {
    BusyFlag busy;
    if (!busy.owned()) return false;
    mv::ComInit com;
    const ListSource source = CurrentListSource();
    if (source.configured.size() < 5 || ReadSettingBool(L"APPLICATION", L"CheckVerNumber", L"0")) return false;
    std::string bytes;
    std::vector<SignedSource> sources;
    const bool ok = DownloadSingleList(nullptr, source.url, source.cacheXml, SettingSeconds(L"TimeOut"), bytes, sources) &&
                    mv::WriteFileReplacing(source.cacheXml, bytes);
    WriteLog(ok ? Translate(L"MAIN", L"background refresh: list cache renewed")
                : Translate(L"MAIN", L"background refresh: list cache kept, the download failed"));
    return ok;
}
