// A view that draws the download of one file as a grid of blocks, one group per segment,
// fed by the download engine's messages (UM_DL_SIZE, UM_DL_BLOCK_SIZE, UM_DL_BLOCK_PROGRESS).
// Window thread only; download threads talk to it by its window handle, never by the object.
#pragma once
#include <windows.h>

#include <map>
#include <string>

// Commands the owner sends to show the result page; the view passes them on to its parent.
enum : WORD { kBlockViewCompleted = 1060, kBlockViewFailed = 1061 };

// --- pure layout arithmetic (integer, as drawn)
constexpr long kBlockCell = 10;        // side of one block in pixels
constexpr long kBytesPerBlock = 218;      // bytes one block stands for, times the block unit
constexpr long kMinBlocksPerSegment = 20;
constexpr long kScrollBarRoom = 18;

struct BlockLayout {
    long columns = 1;
    long blocksPerSegment = kMinBlocksPerSegment;
    long blockUnit = 1;  // one block is kBytesPerBlock * blockUnit bytes
    long totalBlocks = 0;
    bool scrolls = false;  // more rows than fit: a vertical scroll bar takes room
};
// Lays out a file of `fileSize` bytes in segments of `segmentSize` on a view of width x height
// pixels. Every count and divisor is at least 1, whatever the sizes.
BlockLayout LayoutBlocks(long fileSize, long segmentSize, long width, long height);
// Blocks of a segment done after `bytes` of it.
long DoneBlocks(long bytes, const BlockLayout& layout);
// Cell of block `i` in scroll coordinates.
RECT BlockCellRect(long i, long columns);
// True when a UM_DL_BLOCK_PROGRESS wParam is for `watched` (compared as 16-bit values,
// which is all the message carries of the index).
bool BlockProgressFor(WPARAM wParam, int watched);
long BlockProgressSegment(WPARAM wParam);
// Height of the scroll area for a layout.
long BlockScrollHeight(const BlockLayout& layout);

class CMyDownloadBlockView {
public:
    // Replaces control `controlId` of `parent` by a new view with the same place, id and font.
    // The view owns itself: it is deleted when its window is destroyed. Null on failure.
    static CMyDownloadBlockView* CreateInPlaceOf(HWND parent, int controlId);

    HWND hwnd() const { return hwnd_; }
    int watched = -1;
    std::wstring title, message, completedText, failedText;

    // State, for the owner and tests.
    int mode() const { return mode_; }
    const BlockLayout& layout() const { return layout_; }

private:
    CMyDownloadBlockView() = default;
    static LRESULT CALLBACK WndProc(HWND, UINT, WPARAM, LPARAM);
    LRESULT Handle(UINT msg, WPARAM wParam, LPARAM lParam);
    void OnSize(WPARAM wParam, LPARAM lParam);
    void OnBlockSize(long segmentSize);
    void OnBlockProgress(WPARAM wParam, long bytes);
    void OnResult(WORD id);
    void OnPaint();
    void OnVScroll(WORD code);
    void SetScrollHeight(long height);
    void ScrollTo(long y);
    void PaintTextPage(HDC dc, RECT area, const std::wstring& body, bool framed);

    HWND hwnd_ = nullptr;
    HFONT font_ = nullptr;
    HBITMAP pending_ = nullptr;
    HBITMAP done_ = nullptr;
    long fileSize_ = 0;
    int mode_ = 0;  // 0 blocks, 1 completed page, 2 failed page
    BlockLayout layout_;
    std::map<long, long> doneBlocks_;
    long scrollHeight_ = kBlockCell;
    long scrollY_ = 0;
};
