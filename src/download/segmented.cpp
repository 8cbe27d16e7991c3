#include "download/segmented.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <unordered_map>

#include "config/app_state.h"
#include "config/settings.h"
#include "download/http.h"
#include "lang/language.h"
#include "mirovane_host.h"
#include "notify/host_windows.h"
#include "notify/log.h"
#include "updatelist/list_cache.h"
#include "util/files.h"
#include "util/handle.h"
#include "util/text.h"

// ------------------------------------------------------------------ thread value store

namespace {

std::mutex g_storeMutex;
std::unordered_map<uint64_t, long>& Store() {
    static std::unordered_map<uint64_t, long> store;
    return store;
}

// One locked read-modify-write step; returns the new value.
template <typename F>
long UpdateThreadValue(uint32_t tag, long id, F change) {
    std::lock_guard<std::mutex> hold(g_storeMutex);
    auto& store = Store();
    const uint64_t key = ThreadValueKey(tag, id);
    auto it = store.find(key);
    const long value = change(it == store.end() ? 0 : it->second);
    if (value == 0) {
        if (it != store.end()) store.erase(it);
    } else if (it != store.end()) {
        it->second = value;
    } else {
        store.emplace(key, value);
    }
    return value;
}

}  // namespace

uint64_t ThreadValueKey(uint32_t tag, long id) {
    return (static_cast<uint64_t>(tag) << 32) | static_cast<uint64_t>(static_cast<int64_t>(id));
}

long GetThreadValue(uint32_t tag, long id) {
    std::lock_guard<std::mutex> hold(g_storeMutex);
    auto it = Store().find(ThreadValueKey(tag, id));
    return it == Store().end() ? 0 : it->second;
}

void SetThreadValue(uint32_t tag, long id, long value) {
    UpdateThreadValue(tag, id, [value](long) { return value; });
}

long AddThreadValue(uint32_t tag, long id, long delta) {
    return UpdateThreadValue(tag, id, [delta](long v) { return v + delta; });
}

// ------------------------------------------------------------------ pure rules

SegmentPlan PlanSegments(long size, long threads) {
    SegmentPlan plan;
    if (size <= 0) return plan;
    if (threads < 1) threads = 1;
    long long seg = static_cast<long long>(size) / threads * 3 / 4 / 1024 * 1024;
    if (seg < 51200) seg = 51200;
    plan.segmentSize = static_cast<long>(seg);
    plan.count = static_cast<long>((size + seg - 1) / seg);
    if (plan.count < 1) plan.count = 1;
    return plan;
}

long SegmentOffset(const SegmentPlan& plan, long i) { return i * plan.segmentSize; }

long SegmentLength(const SegmentPlan& plan, long size, long i) {
    return std::min(size - SegmentOffset(plan, i), plan.segmentSize);
}

long SplitPoint(long position, long end, long minPiece) {
    const long left = end - position;
    if (left < 2 * minPiece) return -1;
    long point = position + left / 2;
    point = static_cast<long>((static_cast<long long>(point) + 1023) / 1024 * 1024);
    if (point - position < minPiece || end - point < minPiece) return -1;
    return point;
}

bool WorthSplitting(long left, long done, DWORD elapsedMs) {
    if (elapsedMs < kSplitLookMs || done <= 0) return false;  // no rate known yet
    // Time the segment still needs at its own rate.
    const long long needMs = static_cast<long long>(left) * elapsedMs / done;
    return needMs > kSplitWorthMs;
}

std::wstring PartFileName(const std::wstring& path, long i) { return mv::Format(L"%s.part%ld", path.c_str(), i); }

bool ParseContentRange(const std::wstring& text, long long& first, long long& total) {
    std::wstring t = mv::Trim(text);
    if (mv::ToLower(t.substr(0, 6)) != L"bytes ") return false;
    t = mv::Trim(t.substr(6));
    const size_t slash = t.find(L'/');
    if (slash == std::wstring::npos) return false;
    total = ParseContentLength(t.substr(slash + 1));
    if (total < 0) return false;
    const std::wstring span = mv::Trim(t.substr(0, slash));
    if (span == L"*") {
        first = -1;
        return true;
    }
    const size_t dash = span.find(L'-');
    if (dash == std::wstring::npos) return false;
    first = ParseContentLength(span.substr(0, dash));
    const long long last = ParseContentLength(span.substr(dash + 1));
    return first >= 0 && last >= first && last < total;
}

ResponseUse ClassifyResponse(DWORD status, bool ranged) {
    if (status == 404) return ResponseUse::Missing;
    if (ranged) {
        if (status == 206) return ResponseUse::Body;
        if (status == 200) return ResponseUse::DiscardPrefix;
        return ResponseUse::Retry;
    }
    return status == 200 ? ResponseUse::Body : ResponseUse::Retry;
}

// ------------------------------------------------------------------ settings and messages

DWORD RequestTimeoutMs() {
    long seconds = mv::ParseLong(ReadSettingOr(L"Mirovane", L"NetTimeout", L"30"));
    if (seconds < 1) seconds = 1;
    if (seconds > 600) seconds = 600;
    return static_cast<DWORD>(seconds) * 1000;
}

long ConnectTries() { return std::max<long>(AppState::connectTryCount, 1); }

namespace {

// A window whose last message timed out is left alone for a while: one frozen window must
// not cost every download thread a time-out per message.
constexpr UINT kMessageTimeoutMs = 2000;
constexpr DWORD kFrozenPauseMs = 10000;
std::mutex g_frozenMutex;
std::map<HWND, DWORD> g_frozenSince;

bool WindowFrozen(HWND window) {
    std::lock_guard<std::mutex> hold(g_frozenMutex);
    auto it = g_frozenSince.find(window);
    if (it == g_frozenSince.end()) return false;
    if (GetTickCount() - it->second < kFrozenPauseMs) return true;
    g_frozenSince.erase(it);
    return false;
}

}  // namespace

DWORD WaitAnsweringMessages(HANDLE handle, DWORD ms) {
    const DWORD r = MsgWaitForMultipleObjects(1, &handle, FALSE, ms, QS_SENDMESSAGE);
    if (r == WAIT_OBJECT_0 + 1) {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // runs the sent messages
    }
    return r;
}

LRESULT SendDownloadMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!window || WindowFrozen(window)) return 0;
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL | SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                             &result) &&
        IsWindow(window)) {
        std::lock_guard<std::mutex> hold(g_frozenMutex);
        g_frozenSince[window] = GetTickCount();
    }
    return static_cast<LRESULT>(result);
}

namespace {

void SendToHosts(UINT message, WPARAM wParam, LPARAM lParam) {
    for (const HostWindows::Entry& e : HostWindows::Snapshot()) SendDownloadMessage(e.window, message, wParam, lParam);
}

void LogFailure(const wchar_t* call, DWORD code, const std::wstring& what) {
    const std::wstring problem = SecureChannelProblem(code);
    WriteLog(mv::Format(Translate(L"MAIN", L"%s failed (%lu): %s").c_str(), call, code, what.c_str()) +
             (problem.empty() ? L"" : L": " + problem));
}

void CheckServerTag(HINTERNET request) {
    if (!ServerTagSeen() && ResponseHeader(request, HTTP_QUERY_SERVER) == L"mirovane2.xx") SetServerTagSeen();
}

// Deletes a file the download may have left. Under Wine every look-up of a missing name reads
// the whole directory, so a plain delete comes first; a read-only file gets the full removal.
void RemoveLeftover(const std::wstring& path) {
    const size_t colon = path.find(L':');
    if (colon == std::wstring::npos || colon == 0) {
        RemoveFile(path);  // relative to the application directory: RemoveFile resolves it
        return;
    }
    if (!DeleteFileW(path.c_str()) && GetLastError() == ERROR_ACCESS_DENIED) RemoveFile(path);
}

bool WriteAll(HANDLE file, const char* data, DWORD size) {
    DWORD put = 0;
    return WriteFile(file, data, size, &put, nullptr) && put == size;
}

long long FileLength(HANDLE file) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(file, &size) ? size.QuadPart : -1;
}

// Part and target files: nobody else may write them while we do.
HANDLE CreateOutputFile(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_WRITE | GENERIC_READ, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

struct SizeAnswer {
    bool ok = false;
    DWORD status = 0;
    long long length = -1;   // the whole file; -1: no Content-Length
    long long bodyEnd = 0;   // the answer's body holds the file's bytes [0, bodyEnd)
};

}  // namespace

// ------------------------------------------------------------------ the download object

struct Segment {
    long index = 0;
    std::wstring part;
    long start = 0;
    long end = 0;   // exclusive; lowered when an idle connection takes over the tail
    long done = 0;  // bytes taken for writing
    bool running = false;
    DWORD startTick = 0;
};

struct CMyDownload::Impl {
    std::mutex mutex;  // guards the segments' end and done
    std::vector<std::unique_ptr<Segment>> segments;
    mv::Handle wake{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::atomic<DWORD> lastReport{0};
    std::atomic<bool> reportedOnce{false};
};

CMyDownload::CMyDownload() : impl_(std::make_shared<Impl>()) {
    id = AddThreadValue(kTagDownloadId, 0, 1);
}

CMyDownload::~CMyDownload() = default;

bool CMyDownload::PastDeadline() const {
    return limits.hasDeadline && std::chrono::steady_clock::now() >= limits.deadline;
}

DWORD CMyDownload::RequestTimeout() const {
    const DWORD configured = RequestTimeoutMs();
    if (!limits.hasDeadline) return configured;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(limits.deadline - std::chrono::steady_clock::now()).count();
    return static_cast<DWORD>(std::clamp<long long>(left, 1, configured));
}

namespace {

// Asks for the first kProbeBytes; `r` keeps the answer open so that its body can be used.
SizeAnswer QuerySize(const std::wstring& url, HttpRequest& r, DWORD timeoutMs) {
    SizeAnswer a;
    if (!SendHttpRequest(r, NextSizeQueryAgent(), url, mv::Format(L"Range:bytes=0-%ld", kProbeBytes - 1),
                         kEngineRequestFlags, timeoutMs)) {
        LogFailure(r.failedCall, r.error, url);
        return a;
    }
    a.status = r.status;
    const long long length = ResponseContentLength(r.request.get());
    long long first = -1, total = -1;
    const bool range = ParseContentRange(ResponseHeader(r.request.get(), HTTP_QUERY_CONTENT_RANGE), first, total);
    if (length >= kMaxFileBytes || total >= kMaxFileBytes) {
        a.length = std::max(length, total);  // refused by the caller, with its own log line
    } else if (r.status == 206) {
        // The first bytes: the size is the total of the range. A body of any other length
        // than asked is not trusted.
        if (length >= 0) {
            if (!range || first != 0 || length != std::min<long long>(total, kProbeBytes)) return a;
            a.length = total;
            a.bodyEnd = length;
        }
    } else if (r.status == 200) {
        // The server ignored the range: the body is the whole file.
        a.length = length;
        a.bodyEnd = length;
    } else if (r.status == 416) {
        // No first byte: an empty file.
        if (!range || total != 0) return a;
        a.length = 0;
    } else {
        return a;
    }
    CheckServerTag(r.request.get());
    a.ok = true;
    return a;
}

}  // namespace

long CMyDownload::QueryRemoteSize(const std::wstring& u) {
    HttpRequest r;
    SizeAnswer a = QuerySize(u, r, RequestTimeout());
    if (!a.ok) return -1;
    if (a.length < 0) return 0;
    return a.length >= kMaxFileBytes ? -1 : static_cast<long>(a.length);
}

void CMyDownload::ReportProgress(long delta, long downloadId, long fileSize, int fileIndex, long seg, HWND window) {
    auto clamp = [fileSize](long v) { return std::max(0L, fileSize > 0 ? std::min(v, fileSize) : v); };
    const long total = UpdateThreadValue(kTagFileBytes, downloadId, [&](long v) { return clamp(v + delta); });
    if ((limits.maxBytes > 0 && total > 0 && static_cast<uint64_t>(total) > limits.maxBytes) || PastDeadline())
        SetThreadValue(kTagAbort, downloadId, kAbortValue);
    const long segTotal =
        UpdateThreadValue(kTagSegmentBytes | static_cast<uint32_t>(seg), downloadId, [&](long v) { return clamp(v + delta); });
    // Messages at most every 50 ms per file; a take-back is always told.
    const DWORD now = GetTickCount();
    DWORD last = impl_->lastReport.load();
    const bool due = delta < 0 || !impl_->reportedOnce.load() || now - last >= 50;
    if (!due || !impl_->lastReport.compare_exchange_strong(last, now)) return;
    impl_->reportedOnce = true;
    SendDownloadMessage(window, UM_DL_PROGRESS, static_cast<WPARAM>(fileIndex), total);
    SendToHosts(MIROVANE_MSG_PROGRESS, static_cast<WPARAM>(fileSize), total);
    SendDownloadMessage(window, UM_DL_BLOCK_PROGRESS,
                        (static_cast<WPARAM>(seg) << 16) | (static_cast<WPARAM>(fileIndex) & 0xFFFF), segTotal);
}

namespace {

struct RangeJob {
    CMyDownload* owner;
    CMyDownload::Impl* impl;
    Segment* seg;
    HANDLE file;
    std::wstring url;
    long id;
    long fileSize;
    bool singleShot;
    int fileIndex;
    HWND window;
    // An answer already open whose body holds the file's bytes [0, openedEnd) (the size
    // query's); the first round reads it instead of connecting.
    HttpRequest* opened = nullptr;
    long openedEnd = 0;
};

bool Aborted(long id) { return GetThreadValue(kTagAbort, id) != 0; }

// The range download proper; the segment's end may be lowered by another thread meanwhile.
bool RunRange(RangeJob& job) {
    Segment& seg = *job.seg;
    const long tries = ConnectTries();
    bool known = seg.end > seg.start;  // false: the length comes from the response
    long written = 0, attempts = 0;
    bool result = false, firstAnswer = true;
    const LowSpeedLimit lowSpeed = LowSpeedFromSettings();
    long slowRounds = 0;  // connections dropped as too slow: they count as tries, however many bytes they brought
    std::unique_ptr<char[]> buf(new char[kBlockBytes]);
    HttpRequest r;
    auto end = [&] {
        std::lock_guard<std::mutex> hold(job.impl->mutex);
        return seg.end;
    };

    for (;;) {  // one connection attempt per round
        if (Aborted(job.id) || job.owner->PastDeadline()) break;
        if (++attempts > tries) break;
        const long offset = seg.start + written;
        long limit = LONG_MAX;  // where this round's body ends
        if (job.opened) {
            r = std::move(*job.opened);
            job.opened = nullptr;
            limit = job.openedEnd;
        }
        const bool reuse = limit != LONG_MAX;
        // A segment asks for its own bytes only: a connection closed before the end of its
        // body would otherwise have the rest read off the wire first.
        const long stop = known ? end() : 0;
        const bool closed = known && job.fileSize > 0 && stop < job.fileSize;
        const bool ranged = reuse ? r.status == 206 : offset > 0 || closed;
        const std::wstring headers = closed    ? mv::Format(L"Range:bytes=%ld-%ld", offset, stop - 1)
                                     : ranged ? mv::Format(L"Range:bytes=%ld-", offset)
                                              : std::wstring();
        if (!reuse && !SendHttpRequest(r, NextConnectionAgent(), job.url, headers, kEngineRequestFlags, job.owner->RequestTimeout())) {
            LogFailure(r.failedCall, r.error, job.url);
            if (job.singleShot) break;
            Sleep(10);
            continue;
        }
        LowSpeedWatch watch(lowSpeed, LowSpeedNowMs());
        if (lowSpeed.Enabled()) {
            // A wait that brings nothing for the low-speed time is too slow as well.
            const DWORD ms = std::min<DWORD>(job.owner->RequestTimeout(), lowSpeed.seconds * 1000);
            InternetSetOptionW(r.request.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, const_cast<DWORD*>(&ms), sizeof(ms));
        }
        // True when the connection was dropped as too slow and the range must fail.
        auto slowGivesUp = [&] {
            WriteLog(LowSpeedText(lowSpeed) + L": " + job.url);
            return job.singleShot || ++slowRounds >= tries;
        };
        const ResponseUse use = ClassifyResponse(r.status, ranged);
        if (use == ResponseUse::Missing) {
            LogFailure(L"HttpSendRequest", r.status, job.url);
            break;
        }
        if (use == ResponseUse::Retry) {
            LogFailure(L"HttpSendRequest", r.status, job.url);
            if (job.singleShot) break;
            continue;
        }
        if (use == ResponseUse::DiscardPrefix) {
            // The server sent the whole body: skip what we already hold.
            long skip = offset;
            bool broken = false;
            while (skip > 0) {
                const DWORD want = static_cast<DWORD>(std::min(skip, kBlockBytes));
                const DWORD got = ReadBlock(r.request.get(), buf.get(), want, broken, &watch);
                if (got == 0 || broken) break;
                skip -= static_cast<long>(got);
            }
            if (watch.TooSlow()) {
                if (slowGivesUp()) break;
                continue;
            }
            if (skip > 0) continue;
        }
        if (firstAnswer) {
            firstAnswer = false;
            CheckServerTag(r.request.get());
        }
        if (!known) {
            // One-connection download: the response tells the size.
            const long long length = ResponseContentLength(r.request.get());
            if (length >= 0) {
                const long long total = (use == ResponseUse::Body && ranged ? offset : 0) + length;
                const uint64_t bound = job.owner->limits.maxBytes;
                if (total >= kMaxFileBytes || (bound > 0 && static_cast<uint64_t>(total) > bound)) {
                    WriteLog(mv::Format(Translate(L"MAIN", L"File too large (%lld bytes): %s").c_str(), total,
                                        job.url.c_str()));
                    SetThreadValue(kTagAbort, job.id, kAbortValue);
                    break;
                }
                {
                    std::lock_guard<std::mutex> hold(job.impl->mutex);
                    seg.end = static_cast<long>(total);
                }
                known = true;
                job.fileSize = static_cast<long>(total);
                job.owner->size = job.fileSize;
                SendDownloadMessage(job.window, UM_DL_SIZE, static_cast<WPARAM>(job.fileIndex), job.fileSize);
                SendDownloadMessage(job.window, UM_DL_BLOCK_SIZE, static_cast<WPARAM>(job.fileIndex), job.fileSize);
                SendDownloadMessage(job.window, UM_DL_THREADS, static_cast<WPARAM>(job.fileIndex), 1);
            }
        }

        // Read loop: blocks of kBlockBytes, or exactly what remains of the segment.
        int emptyReads = 0;
        bool reconnect = false, finished = false, fail = false;
        while (!Aborted(job.id)) {
            const long position = seg.start + written;
            const long stop = std::min(known ? end() : LONG_MAX, limit);
            if (known && position >= stop) {
                // The size query's body ended before the segment: go on with a request of its own.
                if (position < end()) reconnect = true;
                else finished = true;
                break;
            }
            const DWORD want = static_cast<DWORD>(known ? std::min<long>(kBlockBytes, stop - position) : kBlockBytes);
            bool broken = false;
            const DWORD got = ReadBlock(r.request.get(), buf.get(), want, broken, &watch);
            if (!broken && got == 0) {
                if (!known) {
                    finished = true;  // no length: the body ends where the connection ends
                    break;
                }
                if (job.singleShot) {
                    fail = true;
                    break;
                }
                if (++emptyReads >= 4) {
                    reconnect = true;
                    break;
                }
                continue;
            }
            if (!broken && got < want && known) {
                // The body ended inside a block: the server sent less than it announced.
                WriteLog(mv::Format(Translate(L"MAIN", L"Body ended early at %ld: %s").c_str(),
                                    position + static_cast<long>(got), job.url.c_str()));
                fail = true;
                break;
            }
            if (!broken) {
                attempts = 0;
                emptyReads = 0;
            }
            long n = static_cast<long>(got);
            {
                std::lock_guard<std::mutex> hold(job.impl->mutex);
                if (known) n = std::min(n, seg.end - position);
                seg.done = written + n;
            }
            if (n > 0) {
                if (!WriteAll(job.file, buf.get(), static_cast<DWORD>(n))) {
                    LogFailure(L"WriteFile", GetLastError(), seg.part);
                    fail = true;
                    break;
                }
                written += n;
                job.owner->ReportProgress(n, job.id, job.fileSize, job.fileIndex, seg.index, job.window);
            }
            if (broken && watch.TooSlow()) {
                if (slowGivesUp()) fail = true;
                else reconnect = true;
                break;
            }
            if (broken) {
                // A time-out or a reset: resume from the bytes written on a new connection.
                LogFailure(L"InternetReadFile", GetLastError(), job.url);
                if (job.singleShot) fail = true;
                else reconnect = true;
                break;
            }
        }
        if (fail || !(reconnect || finished)) break;
        if (reconnect) continue;
        // Verify: the file holds exactly the segment.
        const long long have = FileLength(job.file);
        result = known ? have == end() - seg.start && have == written : have == written;
        break;
    }
    r = HttpRequest();
    if (!result) {
        SetThreadValue(kTagAbort, job.id, kAbortValue);
        job.owner->ReportProgress(-written, job.id, job.fileSize, job.fileIndex, seg.index, job.window);
    }
    return result;
}

}  // namespace

bool CMyDownload::DownloadRange(const std::wstring& u, HANDLE file, long segIndex, long start, long length,
                                long downloadId, long fileSize, bool singleShot, int fileIndex, HWND window) {
    Segment seg;
    seg.index = segIndex;
    seg.start = std::max(start, 0L);
    seg.end = length > 0 ? seg.start + length : seg.start;
    RangeJob job{this, impl_.get(), &seg, file, u, downloadId, fileSize, singleShot, fileIndex, window};
    return RunRange(job);
}

namespace {

struct SegmentThreadArgs {
    std::shared_ptr<CMyDownload::Impl> impl;
    RangeJob job;
    std::unique_ptr<HttpRequest> opened;  // segment 0: the size query's answer
};

DWORD WINAPI SegmentThread(void* p) {
    std::unique_ptr<SegmentThreadArgs> args(static_cast<SegmentThreadArgs*>(p));
    RangeJob& job = args->job;
    mv::Handle file(CreateOutputFile(job.seg->part));
    if (file) {
        job.file = file.get();
        job.opened = args->opened.get();
        RunRange(job);
    } else {
        LogFailure(L"CreateFile", GetLastError(), job.seg->part);
        SetThreadValue(kTagAbort, job.id, kAbortValue);
    }
    file.reset();
    {
        std::lock_guard<std::mutex> hold(args->impl->mutex);
        job.seg->running = false;
    }
    // The last touch of the download object: after this DownloadFile may return.
    AddThreadValue(kTagRunning, job.id, -1);
    SetEvent(args->impl->wake.get());
    return 0;
}

constexpr DWORD kJoinBlockBytes = 256 * 1024;

// Joins the parts in offset order; false when a part is missing or not of its segment's size.
bool JoinParts(const std::wstring& path, std::vector<Segment*> parts, long long& joined) {
    joined = -1;
    std::sort(parts.begin(), parts.end(), [](const Segment* a, const Segment* b) { return a->start < b->start; });
    if (parts.empty()) return false;
    // The first part becomes the target and the others are appended to it: one segment's
    // bytes fewer to copy.
    mv::Handle target;
    size_t from = 0;
    const Segment* first = parts[0];
    if (MoveFileExW(first->part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        target.reset(CreateFileW(path.c_str(), GENERIC_WRITE | GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!target) {
            LogFailure(L"CreateFile", GetLastError(), path);
            return false;
        }
        if (FileLength(target.get()) != first->end - first->start) return false;
        const LARGE_INTEGER zero{};
        SetFilePointerEx(target.get(), zero, nullptr, FILE_END);
        from = 1;
    } else {
        target.reset(CreateOutputFile(path));
        if (!target) {
            LogFailure(L"CreateFile", GetLastError(), path);
            return false;
        }
    }
    std::unique_ptr<char[]> buf(new char[kJoinBlockBytes]);
    bool ok = true;
    for (size_t i = from; i < parts.size(); ++i) {
        const Segment* s = parts[i];
        mv::Handle part(CreateFileW(s->part.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!part) {
            LogFailure(L"CreateFile", GetLastError(), s->part);
            ok = false;
            break;
        }
        long long copied = 0;
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(part.get(), buf.get(), kJoinBlockBytes, &got, nullptr)) {
                LogFailure(L"ReadFile", GetLastError(), s->part);
                ok = false;
                break;
            }
            if (got == 0) break;
            if (!WriteAll(target.get(), buf.get(), got)) {
                LogFailure(L"WriteFile", GetLastError(), path);
                ok = false;
                break;
            }
            copied += got;
        }
        if (!ok) break;
        if (copied != s->end - s->start) {
            ok = false;
            break;
        }
    }
    joined = FileLength(target.get());
    return ok;
}

// Below this a tail is not worth another connection.
constexpr long kMinSplitBytes = 4 * kBlockBytes;

}  // namespace

bool CMyDownload::DownloadFile(const std::wstring& u, const std::wstring& p, bool single, int fileIndex, HWND window) {
    url = u;
    path = p;
    SetThreadValue(kTagAbort, id, 0);
    SetThreadValue(kTagFileBytes, id, 0);

    if (threads <= 1 || single) {
        // One connection, no size query, no part files.
        mv::Handle file(CreateOutputFile(path));
        if (!file) {
            LogFailure(L"CreateFile", GetLastError(), path);
            return false;
        }
        Segment seg;
        seg.part = path;
        RangeJob job{this, impl_.get(), &seg, file.get(), url, id, 0, single, fileIndex, window};
        const bool ok = RunRange(job);
        file.reset();
        if (!ok) {
            RemoveLeftover(path);
            return false;
        }
        SendDownloadMessage(window, UM_DL_PROGRESS, static_cast<WPARAM>(fileIndex), seg.done);
        SendToHosts(MIROVANE_MSG_PROGRESS, static_cast<WPARAM>(size), seg.done);
        return true;
    }

    // Size query: a refused URL is tried once more in its escaped form; a missing file is
    // not asked for again.
    SizeAnswer answer;
    auto probe = std::make_unique<HttpRequest>();
    for (long round = 0; round < ConnectTries() && !answer.ok && !PastDeadline(); ++round) {
        answer = QuerySize(url, *probe, RequestTimeout());
        if (answer.ok) break;
        const std::wstring escaped = EscapeUrl(url);
        SizeAnswer second;
        if (escaped != url) {
            auto other = std::make_unique<HttpRequest>();
            second = QuerySize(escaped, *other, RequestTimeout());
            if (second.ok) {
                url = escaped;
                answer = second;
                probe = std::move(other);
                break;
            }
        }
        if (answer.status == 404 && (escaped == url || second.status == 404)) break;
    }
    const bool overBound = limits.maxBytes > 0 && answer.length > 0 && static_cast<uint64_t>(answer.length) > limits.maxBytes;
    if (!answer.ok || answer.length < 0 || answer.length >= kMaxFileBytes || overBound) {
        if (answer.ok && answer.length < 0)
            WriteLog(mv::Format(Translate(L"MAIN", L"No Content-Length: %s").c_str(), url.c_str()));
        else if (answer.ok)
            WriteLog(mv::Format(Translate(L"MAIN", L"File too large (%lld bytes): %s").c_str(), answer.length,
                                url.c_str()));
        else if (answer.status == 404 && mv::EndsWithNoCase(url, L"._.zip"))
            // Most files have no zipped copy: normal, and the caller fetches the file itself.
            WriteLog(mv::Format(Translate(L"MAIN", L"No zipped copy on the server, the file itself is fetched: %s").c_str(),
                                url.c_str()));
        else
            WriteLog(mv::Format(Translate(L"MAIN", L"Size query failed (%lu): %s").c_str(), answer.status, url.c_str()));
        RemoveLeftover(path);
        return false;
    }
    size = static_cast<long>(answer.length);
    if (size == 0) {
        // An announced empty file is complete as it is.
        mv::Handle file(CreateOutputFile(path));
        if (!file) return false;
        SendDownloadMessage(window, UM_DL_SIZE, static_cast<WPARAM>(fileIndex), 0);
        SendDownloadMessage(window, UM_DL_PROGRESS, static_cast<WPARAM>(fileIndex), 0);
        return true;
    }

    const SegmentPlan plan = PlanSegments(size, threads);
    segmentCount = plannedSegments = plan.count;
    SendDownloadMessage(window, UM_DL_SIZE, static_cast<WPARAM>(fileIndex), size);
    SendDownloadMessage(window, UM_DL_BLOCK_SIZE, static_cast<WPARAM>(fileIndex), plan.segmentSize);
    const long probeEnd = static_cast<long>(std::min<long long>(answer.bodyEnd, size));

    if (plan.count == 1) {
        // One segment (the size query holds all or most of it): read on this thread straight
        // into the target, without a part file to join.
        mv::Handle file(CreateOutputFile(path));
        if (!file) {
            LogFailure(L"CreateFile", GetLastError(), path);
            return false;
        }
        SendDownloadMessage(window, UM_DL_THREADS, static_cast<WPARAM>(fileIndex), 1);
        Segment seg;
        seg.part = path;
        seg.end = size;
        RangeJob job{this, impl_.get(), &seg, file.get(), url, id, size, false, fileIndex, window, probe.get(), probeEnd};
        const bool ok = RunRange(job);
        file.reset();
        probe.reset();
        SendDownloadMessage(window, UM_DL_THREADS, static_cast<WPARAM>(fileIndex), 0);
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!ok) {
            RemoveLeftover(path);
            return false;
        }
        SendDownloadMessage(window, UM_DL_PROGRESS, static_cast<WPARAM>(fileIndex), size);
        SendToHosts(MIROVANE_MSG_PROGRESS, static_cast<WPARAM>(size), size);
        return true;
    }

    Impl& im = *impl_;
    for (long i = 0; i < plan.count; ++i) {
        auto s = std::make_unique<Segment>();
        s->index = i;
        s->part = PartFileName(path, i);
        s->start = SegmentOffset(plan, i);
        s->end = s->start + SegmentLength(plan, size, i);
        im.segments.push_back(std::move(s));
    }

    auto start = [&](Segment* s) {
        {
            std::lock_guard<std::mutex> hold(im.mutex);
            s->running = true;
            s->startTick = GetTickCount();
        }
        AddThreadValue(kTagRunning, id, 1);
        auto* args = new SegmentThreadArgs{impl_, RangeJob{this, &im, s, nullptr, url, id, size, false, fileIndex, window}, nullptr};
        if (s->start == 0 && probe) {
            // Segment 0 starts with the bytes the size query already brought.
            args->opened = std::move(probe);
            args->job.openedEnd = probeEnd;
        }
        mv::Handle thread(CreateThread(nullptr, 64 * 1024, SegmentThread, args, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        if (!thread) {
            LogFailure(L"CreateThread", GetLastError(), s->part);
            delete args;
            {
                std::lock_guard<std::mutex> hold(im.mutex);
                s->running = false;
            }
            AddThreadValue(kTagRunning, id, -1);
            SetThreadValue(kTagAbort, id, kAbortValue);
        }
    };

    long next = 0, reported = -1;
    for (;;) {
        DWORD idleWait = 1000;
        const bool aborted = Aborted(id);
        long running = GetThreadValue(kTagRunning, id);
        // Up to threads + 1 connections at once.
        while (!aborted && next < plan.count && running <= threads) {
            start(im.segments[static_cast<size_t>(next)].get());
            ++next;
            running = GetThreadValue(kTagRunning, id);
        }
        // No segment waiting and a connection idle: the running segment with most left gives
        // up the second half of what it has left to a new connection.
        while (!Aborted(id) && next >= plan.count && running <= threads) {
            Segment* tail = nullptr;
            long point = -1;
            {
                std::lock_guard<std::mutex> hold(im.mutex);
                long most = 0;
                const DWORD now = GetTickCount();
                for (auto& s : im.segments) {
                    const long left = s->end - (s->start + s->done);
                    if (s->running && left > most && WorthSplitting(left, s->done, now - s->startTick)) {
                        most = left;
                        tail = s.get();
                    }
                }
                if (tail) point = SplitPoint(tail->start + tail->done, tail->end, kMinSplitBytes);
                if (point > 0) {
                    auto s = std::make_unique<Segment>();
                    s->index = static_cast<long>(im.segments.size());
                    s->part = PartFileName(path, s->index);
                    s->start = point;
                    s->end = tail->end;
                    tail->end = point;
                    tail = s.get();
                    im.segments.push_back(std::move(s));
                }
            }
            if (point <= 0) {
                // Look again soon: a segment may turn out slow once it has run a little.
                idleWait = kSplitLookMs;
                break;
            }
            start(tail);
            running = GetThreadValue(kTagRunning, id);
        }
        if (running != reported) {
            reported = running;
            SendDownloadMessage(window, UM_DL_THREADS, static_cast<WPARAM>(fileIndex), running);
        }
        if (running <= 0 && (aborted || Aborted(id) || next >= plan.count)) break;
        WaitAnsweringMessages(im.wake.get(), idleWait);
    }
    segmentCount = static_cast<long>(im.segments.size());

    long long joined = -1;
    bool ok = false;
    std::vector<Segment*> parts;
    for (auto& s : im.segments) parts.push_back(s.get());
    if (!Aborted(id)) ok = JoinParts(path, parts, joined);
    for (Segment* s : parts)
        if (!(ok && s->start == 0)) RemoveLeftover(s->part);  // part 0 became the target
    if (ok && joined == size) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        SendDownloadMessage(window, UM_DL_PROGRESS, static_cast<WPARAM>(fileIndex), size);
        SendToHosts(MIROVANE_MSG_PROGRESS, static_cast<WPARAM>(size), size);
        return true;
    }
    RemoveLeftover(path);
    return false;
}

int DownloadUrlToFile(const std::wstring& url, const std::wstring& path, bool single, int index, HWND window,
                      const DownloadLimits& limits) {
    CMyDownload download;
    download.threads = std::max(DownloadConnectionsPerFile(), 1);
    download.limits = limits;
    // DownloadFile leaves no target behind when it fails.
    if (!download.DownloadFile(url, path, single, index, window)) return 1;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return 0;
}
