// Download of one URL into one local file: over one connection, or cut into segments that
// run on threads of their own (one part file each, joined in order at the end).
// Callable from any thread; several files may download at once, each with its own object.
#pragma once
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Messages sent to the window the caller names (wParam: the caller's file index).
enum : UINT {
    UM_DL_SIZE = 1038,            // lParam: file size in bytes
    UM_DL_PROGRESS = 1039,        // lParam: bytes of the file downloaded so far
    UM_DL_THREADS = 1040,         // lParam: connections now running for the file
    UM_DL_STATE = 1057,           // lParam: 8 started, 7 downloaded, 0 failed (the scheduler)
    UM_DL_BLOCK_PROGRESS = 1058,  // wParam: segment << 16 | (file index & 0xFFFF); lParam: bytes of the segment
    UM_DL_BLOCK_SIZE = 1059,      // lParam: segment size (the whole size over one connection)
};

// --- thread value store: a process-wide map from (tag, id) to a 32-bit value.
// A missing key reads as 0; storing 0 removes the key. Every call is one locked step.
enum : uint32_t {
    kTagDownloadId = 0xE0000,     // id 0: the last download id handed out
    kTagAbort = 0xE0001,          // 9999 once a segment of the download failed
    kTagFileBytes = 0xE0002,      // bytes of the whole file downloaded so far
    kTagRunning = 0xE0003,        // segment threads of the download now running
    kTagSegmentBytes = 0xD0000000 // OR segment index: bytes of that segment so far
};
constexpr long kAbortValue = 9999;
uint64_t ThreadValueKey(uint32_t tag, long id);
long GetThreadValue(uint32_t tag, long id);
void SetThreadValue(uint32_t tag, long id, long value);
long AddThreadValue(uint32_t tag, long id, long delta);

// --- pure rules of the segment plan

// Block size of every read, write, discard and join.
constexpr long kBlockBytes = 64 * 1024;
// Files of this size or more are refused: sizes and offsets are 32-bit.
constexpr long long kMaxFileBytes = 0x7FFFFFFFLL;

struct SegmentPlan {
    long segmentSize = 0;
    long count = 0;
};
// size > 0, threads >= 1: whole KiB of three quarters of size/threads, at least 51200 bytes.
SegmentPlan PlanSegments(long size, long threads);
// Offset and length of segment i of the plan.
long SegmentOffset(const SegmentPlan& plan, long i);
long SegmentLength(const SegmentPlan& plan, long size, long i);

// Where a running segment [position, end) is cut when an idle connection takes over its tail:
// the middle, rounded up to whole KiB, or -1 when too little is left to be worth a new
// connection (less than `minPiece` on either side).
long SplitPoint(long position, long end, long minPiece);

// True when a running segment is slow enough for its tail to go to an idle connection: it has
// run kSplitLookMs and needs more than kSplitWorthMs for `left` bytes at its rate so far. A fast
// segment is left alone: cutting short its response costs more than the new connection saves.
constexpr DWORD kSplitLookMs = 200;
constexpr DWORD kSplitWorthMs = 1000;
bool WorthSplitting(long left, long done, DWORD elapsedMs);

// Part file of segment i of `path`: "<path>.part<i>".
std::wstring PartFileName(const std::wstring& path, long i);

// The "bytes first-last/total" or "bytes */total" value of a Content-Range header: true when
// well formed; `first` is -1 for the "*" form.
bool ParseContentRange(const std::wstring& text, long long& first, long long& total);

// The size query of a segmented download asks for the first kProbeBytes (the smallest
// segment, so never more than segment 0): its answer tells the size and already carries the
// start of the file, the whole of a small one.
constexpr long kProbeBytes = 51200;

// How one response is used (pure; see DownloadRange).
enum class ResponseUse { Body, DiscardPrefix, Missing, Retry };
ResponseUse ClassifyResponse(DWORD status, bool ranged);

// --- the download of one file

// Bounds a caller may put on one download (the update list's fetch): a file larger than
// maxBytes (0: no bound) fails as soon as its size is announced or its bytes pass the bound;
// no attempt, request or read outlasts the deadline (none when unset).
struct DownloadLimits {
    uint64_t maxBytes = 0;
    // What the file is known to be (the list's size): its plain form may be no larger, its
    // zipped form no larger than deflate can make it, and that form may unpack to no more.
    // 0: not known.
    uint64_t knownBytes = 0;
    bool hasDeadline = false;
    std::chrono::steady_clock::time_point deadline{};
};

class CMyDownload {
public:
    CMyDownload();
    ~CMyDownload();
    CMyDownload(const CMyDownload&) = delete;
    CMyDownload& operator=(const CMyDownload&) = delete;

    // True when `path` holds the whole file. Over one connection when threads <= 1 or `single`.
    bool DownloadFile(const std::wstring& url, const std::wstring& path, bool single, int fileIndex, HWND window);
    // Size the server announces: >= 0, or -1 when the query failed.
    long QueryRemoteSize(const std::wstring& url);
    // Downloads [start, start + length) (length <= 0: everything from start) into `file`.
    // True when the file holds exactly the expected bytes.
    bool DownloadRange(const std::wstring& url, HANDLE file, long seg, long start, long length, long id,
                       long fileSize, bool singleShot, int fileIndex, HWND window);
    // Adds `delta` to the file's and the segment's totals and reports them (throttled).
    void ReportProgress(long delta, long id, long fileSize, int fileIndex, long seg, HWND window);

    long id = 0;
    long size = 0;
    long segmentCount = 0;    // segments fetched, those split off a slow tail included
    long plannedSegments = 0; // segments of the plan made from the size alone
    long threads = 8;
    DownloadLimits limits;
    std::wstring url;
    std::wstring path;

    struct Impl;
    // True once the deadline of `limits` has passed.
    bool PastDeadline() const;
    // Request time-out: the configured one, shortened to what is left before the deadline.
    DWORD RequestTimeout() const;

private:
    std::shared_ptr<Impl> impl_;  // shared with the segment threads, which may outlive a call by a moment
};

// 0 when `path` holds the file, 1 on failure (the target is then deleted). Uses the
// configured connections per file.
int DownloadUrlToFile(const std::wstring& url, const std::wstring& path, bool single, int index, HWND window,
                      const DownloadLimits& limits = {});

// [Mirovane] NetTimeout: seconds a connect, send or receive may take before the attempt
// counts as failed (default 30, 1..600).
DWORD RequestTimeoutMs();
// [Mirovane] ConnectTryCount as read at start-up (at least 1).
long ConnectTries();

// Sends a message without text, giving up on a hung or slow window after a few seconds so
// that a frozen window cannot stall the downloads. Null window: nothing is sent.
// Waits for the handle up to `ms` while answering messages sent to this thread's windows, so
// that a caller that owns the progress window does not block its own download.
DWORD WaitAnsweringMessages(HANDLE handle, DWORD ms);
LRESULT SendDownloadMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
