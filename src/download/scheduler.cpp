#include "download/scheduler.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "config/settings.h"
#include "util/file_tree.h"
#include "download/delta.h"
#include "download/file_hash.h"
#include "download/http.h"
#include "download/segmented.h"
#include "lang/language.h"
#include "mirovane_host.h"
#include "notify/host_windows.h"
#include "notify/log.h"
#include "package/package.h"
#include "package/zip_reader.h"
#include "updatelist/download_list.h"
#include "updatelist/list_cache.h"
#include "updatelist/targets.h"
#include "util/files.h"
#include "util/crypto.h"
#include "util/handle.h"
#include "util/text.h"

namespace {

constexpr LPARAM kStateStarted = 8, kStateDone = 7, kStateFailed = 0;

// Scheduler state of the session.
std::atomic<int> g_done{0};
std::mutex g_failedMutex;  // the failed list
std::vector<unsigned> g_failed;
std::atomic<int> g_active{0};
std::mutex g_passMutex;     // one pass at a time
// The list the running pass downloads; outside a pass (a list fetch) the process-wide one.
std::atomic<DownLoadList*> g_passList{nullptr};
DownLoadList& PassList() {
    DownLoadList* list = g_passList.load();
    return list ? *list : TheDownLoadList();
}
std::mutex g_statusMutex;   // status texts in order
std::mutex g_stateMutex;    // per-file state messages in order

// Jobs of the running pass, and the event each ending job sets.
std::atomic<int> g_jobsRunning{0};
HANDLE JobEndedEvent() {
    static mv::Handle ev(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    return ev.get();
}

// Takes a lock that guards messages to a window while still answering messages sent to this
// thread: the scheduler's thread may own that window, and the job thread holding the lock
// may be waiting for it to answer.
class MessageLock {
public:
    explicit MessageLock(std::mutex& m) : m_(m) {
        while (!m_.try_lock()) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_SENDMESSAGE);
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
    }
    ~MessageLock() { m_.unlock(); }
    MessageLock(const MessageLock&) = delete;
    MessageLock& operator=(const MessageLock&) = delete;

private:
    std::mutex& m_;
};

int FailedCount() {
    std::lock_guard<std::mutex> hold(g_failedMutex);
    return static_cast<int>(g_failed.size());
}

void AppendSpare(int index, const std::wstring& line) {
    if (index < 0) return;
    std::lock_guard<std::mutex> hold(RecordMutex());
    if (updatefileinfo* r = RecordAt(PassList().records, index)) r->spare += line + L"\n";
}

void SendState(HWND window, int index, LPARAM state) {
    MessageLock hold(g_stateMutex);
    SendDownloadMessage(window, UM_DL_STATE, static_cast<WPARAM>(index), state);
    if (state == kStateDone) SendDownloadMessage(window, UM_DL_THREADS, static_cast<WPARAM>(index), 0);
}

void UpdateDownloadStatus() {
    DownLoadList& list = PassList();
    const int count = list.FileCount(), failed = FailedCount(), done = g_done.load();
    const std::wstring text =
        failed == 0 ? mv::Format(Translate(L"MAIN", L"Downloading, complete %d/%d, total thread %d ...").c_str(), done, count, g_active.load())
                    : mv::Format(Translate(L"MAIN", L"Error %d files,complete %d/%d").c_str(), failed, done, count);
    for (const HostWindows::Entry& e : HostWindows::Snapshot())
        if (HostWindows::WantsMessages(e.window))
            SendDownloadMessage(e.window, MIROVANE_MSG_FILE_COUNT, static_cast<WPARAM>(done), count);
    MessageLock hold(g_statusMutex);
    SendStatusText(list.statusWindow, text, 1);
}

// One in-process lock per local file, so that two entries naming the same file never write
// it at once.
std::shared_ptr<std::mutex> LocalFileLock(const std::wstring& localName) {
    static std::mutex mapMutex;
    static std::map<std::wstring, std::weak_ptr<std::mutex>> locks;
    std::lock_guard<std::mutex> hold(mapMutex);
    const std::wstring key = NormalizedLocalName(localName);
    auto& slot = locks[key];
    std::shared_ptr<std::mutex> lock = slot.lock();
    if (!lock) {
        lock = std::make_shared<std::mutex>();
        slot = lock;
    }
    return lock;
}

// Deletes the destination, then moves the source there, each up to 20 times 800 ms apart.
// True only when the source really became the destination.
bool MoveWithRetries(const std::wstring& from, const std::wstring& to) {
    if (!mv::FileExists(from)) return false;
    // Mostly nothing is in the way: one call then (under Wine each look-up of a missing name
    // reads the whole directory).
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    for (int i = 0; i < 20 && mv::FileExists(to); ++i) {
        if (RemoveFile(to)) break;
        Sleep(800);
    }
    for (int i = 0; i < 20; ++i) {
        if (MoveFileW(from.c_str(), to.c_str())) return true;
        if (i == 0) WriteLog(mv::Format(Translate(L"MAIN", L"MoveFile failed (%lu): %s").c_str(), GetLastError(), to.c_str()));
        Sleep(800);
    }
    return false;
}

// The stamp of a finished download: kept outside the download tree (which may be moved
// away whole), it names the record version and address the file was fetched for.
std::wstring StampPath(const std::wstring& localName) {
    std::wstring work = PassList().workDir;
    while (!work.empty() && (work.back() == L'\\' || work.back() == L'/')) work.pop_back();
    if (work.empty()) return {};
    const std::wstring normWork = NormalizedLocalName(work) + L"\\";
    const std::wstring normName = NormalizedLocalName(localName);
    if (normName.compare(0, normWork.size(), normWork) != 0) return {};
    return work + L".stamps\\" + normName.substr(normWork.size()) + L".stamp";
}

std::string StampText(int index, const std::wstring& url) {
    std::lock_guard<std::mutex> hold(RecordMutex());
    const updatefileinfo* r = RecordAt(PassList().records, index);
    return mv::ToUtf8((r ? r->ver : std::wstring()) + L"\n" + url);
}

bool StampMatches(int index, const std::wstring& localName, const std::wstring& url) {
    const std::wstring stamp = StampPath(localName);
    std::string have;
    return !stamp.empty() && mv::ReadFileBytes(stamp, have) && have == StampText(index, url);
}

void WriteStamp(int index, const std::wstring& localName, const std::wstring& url) {
    const std::wstring stamp = StampPath(localName);
    if (stamp.empty()) return;
    mv::CreateDirTree(mv::PathDir(stamp));
    if (!mv::WriteFileBytes(stamp, StampText(index, url)))
        WriteLog(mv::Format(Translate(L"MAIN", L"WriteFile failed (%lu): %s").c_str(), GetLastError(), stamp.c_str()));
}

long long FileSizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA fa{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &fa)) return -1;
    return (static_cast<long long>(fa.nFileSizeHigh) << 32) | fa.nFileSizeLow;
}

// The most a zipped form may unpack to: the caller's bound, else [Mirovane] MaxUnpackedMB
// (default 1024). A form that declares more is refused before it is unpacked.
unsigned long long UnpackLimit(const DownloadLimits& limits) {
    if (limits.knownBytes != 0) return limits.knownBytes;
    if (limits.maxBytes != 0) return limits.maxBytes;
    return MaxUnpackedBytes();
}

// Fetches a record by one of its patches instead of the file: the patch whose base is the
// installed file, downloaded beside the file, applied, and checked against the record's
// sha256. True when localName + "_" now holds the file. False when no patch is offered or
// the file is already there (the caller goes on as without patches), and on any failure,
// logged in one line: the caller then fetches the file itself.
bool FetchByPatch(HWND window, int index, const updatefileinfo& record, const std::wstring& url,
                  const std::wstring& localName) {
    const std::wstring expected = mv::ToLower(mv::Trim(record.sha256));
    if (record.patches.empty() || expected.empty()) return false;
    std::shared_ptr<std::mutex> fileLock = LocalFileLock(localName);
    std::lock_guard<std::mutex> hold(*fileLock);
    const std::wstring finished = localName + L"_";
    if (mv::FileExists(finished) && StampMatches(index, localName, url)) return false;
    auto refuse = [&](const std::wstring& why) {
        WriteLog(mv::Format(Translate(L"MAIN", L"patch not used[%s]: %s").c_str(), record.path.c_str(), why.c_str()));
        return false;
    };
    // The installed file, read once: its hash picks the patch and these same bytes are the
    // patch's reference.
    const std::vector<std::wstring> targets = InstallTargets(record);
    std::string base;
    if (targets.empty() || !mv::ReadFileBytes(targets.front(), base, 1LL << kMaxPatchWindowLog))
        return refuse(mv::Format(L"the installed file cannot be read (%lu)", GetLastError()));
    std::string digest;
    std::wstring error;
    if (!mv::Sha256Of(base, digest, error)) return refuse(error);
    const std::wstring installed = mv::EncodeHex(digest);
    const FilePatch* patch = nullptr;
    for (const FilePatch& p : record.patches)
        if (p.from == installed) patch = &p;
    if (!patch) return refuse(L"no patch for the installed version " + installed);

    const std::wstring patchUrl = !patch->url.empty() ? patch->url
                                                      : RecordDownloadUrl(L"", PassList().fileUrlPattern,
                                                                          PassList().listUrlBase, patch->path);
    const std::wstring patchName = localName + L".zpatch";
    mv::CreateDirTree(mv::PathDir(localName));
    DownloadLimits limits;
    if (patch->size > 0) limits.knownBytes = limits.maxBytes = static_cast<uint64_t>(patch->size);
    const bool small = patch->size >= 0 && patch->size <= kOneRequestBytes;
    if (DownloadUrlToFile(patchUrl, patchName, small, index, window, limits) != 0)
        return refuse(L"the download of " + patchUrl + L" failed");
    AppendSpare(index, mv::Format(L"done[%s]", patchUrl.c_str()));
    // Only bytes checked against the list are decoded, from memory.
    std::string bytes;
    const bool read = mv::ReadFileBytes(patchName, bytes, patch->size > 0 ? patch->size : 1LL << kMaxPatchWindowLog);
    RemoveFile(patchName);
    if (!read) return refuse(L"the downloaded patch cannot be read");
    if (!mv::Sha256Of(bytes, digest, error)) return refuse(error);
    if (mv::EncodeHex(digest) != patch->sha256) return refuse(L"the patch does not match its sha256");
    const uint64_t maxBytes = record.size >= 0 ? static_cast<uint64_t>(record.size) : UnpackLimit({});
    if (!ApplyPatch(base, bytes, localName, maxBytes, error)) return refuse(error);
    if (!mv::Sha256OfFile(localName, digest, error)) {
        RemoveFile(localName);
        return refuse(error);
    }
    if (mv::EncodeHex(digest) != expected) {
        RemoveFile(localName);
        return refuse(L"the rebuilt file does not match its sha256");
    }
    if (!MoveWithRetries(localName, finished)) {
        RemoveFile(localName);
        return refuse(L"the rebuilt file cannot be moved into place");
    }
    WriteStamp(index, localName, url);
    WriteLog(mv::Format(Translate(L"MAIN", L"patch applied[%s]: %s bytes").c_str(), record.path.c_str(),
                        std::to_wstring(bytes.size()).c_str()));
    return true;
}

void RecordFailure(unsigned index) {
    std::lock_guard<std::mutex> hold(g_failedMutex);
    g_failed.push_back(index);
}

// The bytes of an entry from the update package instead of the server: unpacked into the
// same finished name a download ends in, so the hash check and everything after it are the
// same. 0 on success, 1 on failure (logged).
int TakeFromPackage(HWND window, int index, const std::wstring& package, const std::wstring& path,
                    const std::wstring& localName, const DownloadLimits& limits) {
    std::shared_ptr<std::mutex> fileLock = LocalFileLock(localName);
    std::lock_guard<std::mutex> hold(*fileLock);
    const std::wstring finished = localName + L"_";
    mv::CreateDirTree(mv::PathDir(localName));
    std::wstring why;
    if (!ExtractPackageFile(package, path, finished, limits.knownBytes, why)) {
        WriteLog(mv::Format(Translate(L"MAIN", L"unzip error[%s]").c_str(), path.c_str()) + L": " + why);
        AppendSpare(index, mv::Format(L"unzip error[%s]", path.c_str()));
        return 1;
    }
    const long long size = FileSizeOf(finished);
    SendDownloadMessage(window, UM_DL_SIZE, static_cast<WPARAM>(index), static_cast<LPARAM>(size));
    SendDownloadMessage(window, UM_DL_PROGRESS, static_cast<WPARAM>(index), static_cast<LPARAM>(size));
    AppendSpare(index, mv::Format(L"unzip ok[%s]", path.c_str()));
    return 0;
}

void RunJob(int index) {
    DownLoadList& list = PassList();
    updatefileinfo record;
    {
        std::lock_guard<std::mutex> hold(RecordMutex());
        updatefileinfo* r = RecordAt(list.records, index);
        if (!r) {
            RecordFailure(static_cast<unsigned>(index));
            return;
        }
        r->spare.clear();
        record = *r;
    }
    if ((record.action & (ActionRemove | 0x10 | 0x20)) || (record.action & 0x7F000000)) {
        ++g_done;
        return;
    }
    SendState(list.statusWindow, index, kStateStarted);
    bool ok = false;
    if (!IsSafeLocalName(record.path)) {
        WriteLog(mv::Format(Translate(L"MAIN", L"Unsafe file name[%s]").c_str(), record.path.c_str()));
    } else {
        const std::wstring url = RecordDownloadUrl(record.url, list.fileUrlPattern, list.listUrlBase, record.path);
        const std::wstring local = JoinPath(list.workDir, record.path);
        // What the list says spares the requests that would find it out: the refused zipped
        // form, and for a small file the size query and the extra connections.
        const bool small = record.size >= 0 && record.size <= kOneRequestBytes && record.zipped != 1;
        DownloadLimits limits;
        if (record.size > 0) limits.knownBytes = static_cast<uint64_t>(record.size);
        // From the update package when there is one; else a patch from the installed version
        // first (checked as it is applied), else the file.
        const bool packaged = !list.packagePath.empty();
        const bool patched = !packaged && FetchByPatch(list.statusWindow, index, record, url, local);
        if (packaged)
            ok = TakeFromPackage(list.statusWindow, index, list.packagePath, record.path, local, limits) == 0;
        else
            ok = patched || FetchUpdateFile(list.statusWindow, index, url, local, small, limits, record.zipped) == 0;
        // A file that is not what the list names is a failed download: removed, fetched again
        // by a later pass, never installed. A zipped copy kept as it is ([Mirovane] UnZip=0)
        // is checked when it is moved into the application directory.
        const bool keptArchive = !mv::FileExists(local + L"_") && mv::FileExists(local + L"._.zip");
        if (ok && !patched && !keptArchive && !DownloadedFileMatchesHash(record, local + L"_")) {
            RemoveFile(local + L"_");
            ok = false;
        }
    }
    if (ok) {
        ++g_done;
        SendState(list.statusWindow, index, kStateDone);
        WriteLog(mv::Format(Translate(L"MAIN", L"done[%s]").c_str(), record.path.c_str()));
    } else {
        RecordFailure(static_cast<unsigned>(index));
        SendState(list.statusWindow, index, kStateFailed);
        WriteLog(mv::Format(Translate(L"MAIN", L"error[%s]").c_str(), record.path.c_str()));
    }
}

// The entries of a pass, taken in queue order by a few job threads: a thread per entry costs
// more to start and end than a small file costs to fetch.
struct PassQueue {
    std::vector<unsigned> indices;
    std::atomic<size_t> next{0};
};

void RunQueuedJob(unsigned index) {
    ++g_active;
    UpdateDownloadStatus();
    RunJob(static_cast<int>(index));
    --g_active;
    UpdateDownloadStatus();
}

DWORD WINAPI JobThread(void* p) {
    PassQueue& queue = *static_cast<PassQueue*>(p);
    for (size_t i; (i = queue.next++) < queue.indices.size();) RunQueuedJob(queue.indices[i]);
    --g_jobsRunning;
    SetEvent(JobEndedEvent());
    return 0;
}

}  // namespace

// ------------------------------------------------------------------ pure rules

bool IsSafeLocalName(const std::wstring& path) {
    if (mv::Trim(path).empty()) return false;
    if (path.find(L':') != std::wstring::npos) return false;  // a drive or a stream
    if (path[0] == L'\\' || path[0] == L'/') return false;
    bool anyName = false;
    for (const std::wstring& part : mv::Split(mv::ReplaceAll(path, L"/", L"\\"), L'\\')) {
        const std::wstring t = mv::Trim(part);
        // ".." and names Windows trims to ".." ("..." , ".. ") climb out.
        if (!t.empty() && t.find_first_not_of(L'.') == std::wstring::npos && t.size() >= 2) return false;
        if (!t.empty() && t != L".") anyName = true;
    }
    return anyName;
}

std::wstring NormalizedLocalName(const std::wstring& path) {
    std::wstring s = mv::ToLower(mv::ReplaceAll(path, L"/", L"\\"));
    std::wstring out;
    for (wchar_t c : s)
        if (!(c == L'\\' && !out.empty() && out.back() == L'\\')) out += c;
    return out;
}

std::wstring RecordDownloadUrl(const std::wstring& recordUrl, const std::wstring& pattern,
                               const std::wstring& listUrlBase, const std::wstring& path) {
    if (!recordUrl.empty()) return recordUrl;
    std::wstring u = mv::ReplaceAll(pattern, L"{listurl-base}", listUrlBase);
    u = mv::ReplaceAll(u, L"{filename}", path);
    return JoinUrl(u, L"");
}

// ------------------------------------------------------------------ state

int DownloadDoneCount() { return g_done.load(); }

std::vector<unsigned> DownloadFailedList() {
    std::lock_guard<std::mutex> hold(g_failedMutex);
    return g_failed;
}

void ResetDownloadSession() {
    g_done = 0;
    std::lock_guard<std::mutex> hold(g_failedMutex);
    g_failed.clear();
}

// ------------------------------------------------------------------ one entry

int FetchUpdateFile(HWND window, int index, const std::wstring& url, const std::wstring& localName, bool single,
                    const DownloadLimits& limits, int zippedFirst) {
    std::shared_ptr<std::mutex> fileLock = LocalFileLock(localName);
    std::lock_guard<std::mutex> hold(*fileLock);

    const std::wstring finished = localName + L"_";
    if (index >= 0 && mv::FileExists(finished)) {
        if (StampMatches(index, localName, url)) {
            const long long size = FileSizeOf(finished);
            SendDownloadMessage(window, UM_DL_SIZE, static_cast<WPARAM>(index), static_cast<LPARAM>(size));
            SendDownloadMessage(window, UM_DL_PROGRESS, static_cast<WPARAM>(index), static_cast<LPARAM>(size));
            return 0;
        }
        // Left by an earlier session for another version or address.
        RemoveFile(finished);
    }
    mv::CreateDirTree(mv::PathDir(localName));

    bool zipped = zippedFirst >= 0 ? zippedFirst == 1 : (index >= 0 || ReadSettingBool(L"Mirovane", L"ListFileZip", L"0"));
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::wstring u = zipped ? url + L"._.zip" : url;
        const std::wstring t = zipped ? localName + L"._.zip" : localName;
        DownloadLimits bounded = limits;
        if (limits.knownBytes != 0)  // deflate's worst case: stored blocks and the archive's headers
            bounded.maxBytes = zipped ? limits.knownBytes + limits.knownBytes / 64 + 64 * 1024 : limits.knownBytes;
        if (DownloadUrlToFile(u, t, single, index, window, bounded) != 0) {  // leaves no t behind
            AppendSpare(index, mv::Format(L"error[%s]", u.c_str()));
            zipped = !zipped;
            continue;
        }
        if (index < 0) WriteSetting(L"Mirovane", L"ListFileZip", zipped ? L"1" : L"0");
        AppendSpare(index, mv::Format(L"done[%s]", u.c_str()));
        if (!zipped) {
            if (index < 0) return 0;
            if (!MoveWithRetries(localName, finished)) {
                RemoveFile(localName);
                return 1;
            }
            WriteStamp(index, localName, url);
            return 0;
        }
        if (!ReadSettingBool(L"Mirovane", L"UnZip", L"1") && index >= 0) return 0;  // the archive itself is kept
        std::wstring why;
        if (ExtractFirstItem(t, localName, UnpackLimit(limits), &why) &&
            (limits.maxBytes == 0 || static_cast<uint64_t>(std::max(FileSizeOf(localName), 0LL)) <= limits.maxBytes)) {
            if (index >= 0 && !MoveWithRetries(localName, finished)) {
                RemoveFile(localName);
                RemoveFile(t);
                return 1;
            }
            AppendSpare(index, mv::Format(L"unzip ok[%s]", t.c_str()));
            RemoveFile(localName + L"._.zip");
            if (index >= 0) WriteStamp(index, localName, url);
            return 0;
        }
        WriteLog(mv::Format(Translate(L"MAIN", L"unzip error[%s]").c_str(), t.c_str()) + (why.empty() ? L"" : L": " + why));
        AppendSpare(index, mv::Format(L"unzip error[%s]", t.c_str()));
        RemoveFile(t);
        RemoveFile(localName);
        zipped = false;
    }
    return 1;
}

// ------------------------------------------------------------------ a pass

bool DownloadAllFiles(HWND window, DownLoadList& list) {
    std::lock_guard<std::mutex> pass(g_passMutex);
    g_passList = &list;
    struct PassEnds {
        ~PassEnds() { g_passList = nullptr; }
    } passEnds;
    // Only a retry pass (after a pass with failures) goes on with the session's counts.
    if (list.stage != UpdateDownloadError) ResetDownloadSession();
    if (list.stage != UpdateDownload) SetStage(list, UpdateDownload);
    list.statusWindow = window;
    g_active = 0;
    const int count = list.FileCount();

    std::vector<unsigned> queue = DownloadFailedList();
    std::wstring text;
    if (queue.empty()) {
        for (int i = 0; i < count; ++i) queue.push_back(static_cast<unsigned>(i));
        text = Translate(L"MAIN", L"Downloading to temporary directory...");
    } else {
        text = Translate(L"MAIN", L"Downloading error files...");
    }
    {
        MessageLock hold(g_statusMutex);
        SendStatusText(window, text, 1);
    }
    WriteLog(text);
    {
        std::lock_guard<std::mutex> hold(g_failedMutex);
        g_failed.clear();
    }

    // At most files-at-once job threads, each taking the next entry of the queue when it is
    // done with one; this thread answers messages meanwhile (it may own the status window).
    PassQueue jobs{queue};
    const size_t threads = std::min<size_t>(static_cast<size_t>(DownloadFilesAtOnce()), queue.size());
    for (size_t t = 0; t < threads; ++t) {
        ++g_jobsRunning;
        mv::Handle thread(CreateThread(nullptr, 256 * 1024, JobThread, &jobs, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        if (!thread) {
            WriteLog(mv::Format(Translate(L"MAIN", L"CreateThread failed (%lu): %s").c_str(), GetLastError(), L"download job"));
            --g_jobsRunning;
        }
    }
    // Entries no job thread could take (no thread started at all) have failed.
    if (g_jobsRunning.load() == 0)
        for (size_t i; (i = jobs.next++) < jobs.indices.size();) RecordFailure(jobs.indices[i]);
    while (g_jobsRunning.load() > 0) WaitAnsweringMessages(JobEndedEvent(), 1000);

    SetStage(list, g_done.load() >= count ? UpdateDownloadOk : UpdateDownloadError);
    UpdateDownloadStatus();
    const int failed = FailedCount();
    const std::wstring final = failed == 0 ? mv::Format(Translate(L"MAIN", L"Download completed %d/%d.").c_str(), g_done.load(), count)
                                           : mv::Format(Translate(L"MAIN", L"Error %d files,complete %d/%d").c_str(), failed,
                                                        g_done.load(), count);
    {
        MessageLock hold(g_statusMutex);
        SendStatusText(window, final, failed == 0 ? 7 : 0);
    }
    WriteLog(final);
    return true;
}

