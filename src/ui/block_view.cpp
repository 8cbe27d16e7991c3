#include "ui/block_view.h"

#include <algorithm>

#include "download/segmented.h"
#include "resources/resource_ids.h"
#include "ui/window_class.h"

namespace {

constexpr wchar_t kClassName[] = L"MirovaneDownloadBlockView";
constexpr COLORREF kPendingColour = RGB(0xD8, 0xDC, 0xE4);
constexpr COLORREF kDoneColour = RGB(0x1E, 0x64, 0xC8);

bool RegisterViewClass() {
    WNDCLASSEXW wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = DefWindowProcW;  // replaced per window below, once the object exists
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kClassName;
    return mv::RegisterWindowClass(wc);
}

void DrawBlock(HDC dc, HDC bitmapDc, HBITMAP bitmap, COLORREF fallback, const RECT& cell) {
    if (bitmap && bitmapDc) {
        HGDIOBJ old = SelectObject(bitmapDc, bitmap);
        BitBlt(dc, cell.left, cell.top, kBlockCell, kBlockCell, bitmapDc, 0, 0, SRCCOPY);
        SelectObject(bitmapDc, old);
        return;
    }
    HBRUSH brush = CreateSolidBrush(fallback);
    RECT inner{cell.left + 1, cell.top + 1, cell.right - 1, cell.bottom - 1};
    FillRect(dc, &inner, brush);
    DeleteObject(brush);
}

}  // namespace

BlockLayout LayoutBlocks(long fileSize, long segmentSize, long width, long height) {
    BlockLayout l;
    const long long f = std::max(fileSize, 0L);
    const long long s = segmentSize > 0 ? segmentSize : std::max<long long>(f, 1);
    l.columns = std::max(width / kBlockCell, 1L);
    const long long capacity = static_cast<long long>(l.columns) * std::max(height / kBlockCell, 1L);
    // The smallest k >= 1 with (f / 218) / k < capacity.
    const long long scale = (f / kBytesPerBlock) / capacity + 1;
    const long long perSegment = (s / kBytesPerBlock) / scale;
    l.blocksPerSegment = static_cast<long>(std::max<long long>(perSegment, kMinBlocksPerSegment));
    l.blockUnit = static_cast<long>(std::max<long long>((s / kBytesPerBlock) / l.blocksPerSegment, 1));
    const long long total = static_cast<long long>(l.blocksPerSegment) * (f / s) + ((f % s) / kBytesPerBlock) / l.blockUnit;
    l.totalBlocks = static_cast<long>(std::min<long long>(total, 0x7FFFFFFF));
    const long long rows = (total + l.columns - 1) / l.columns;
    if (height < kBlockCell * rows) {
        l.scrolls = true;
        l.columns = std::max((width - kScrollBarRoom) / kBlockCell, 1L);
    }
    return l;
}

long DoneBlocks(long bytes, const BlockLayout& layout) {
    return (std::max(bytes, 0L) / kBytesPerBlock) / std::max(layout.blockUnit, 1L);
}

RECT BlockCellRect(long i, long columns) {
    const long c = std::max(columns, 1L);
    const long x = (i % c) * kBlockCell, y = (i / c) * kBlockCell;
    return RECT{x, y, x + kBlockCell, y + kBlockCell};
}

bool BlockProgressFor(WPARAM wParam, int watched) {
    return (wParam & 0xFFFF) == (static_cast<WPARAM>(static_cast<unsigned>(watched)) & 0xFFFF);
}

long BlockProgressSegment(WPARAM wParam) { return static_cast<long>((wParam >> 16) & 0xFFFF); }

long BlockScrollHeight(const BlockLayout& layout) {
    return layout.totalBlocks / std::max(layout.columns, 1L) * kBlockCell + kBlockCell * 3 / 2;
}

CMyDownloadBlockView* CMyDownloadBlockView::CreateInPlaceOf(HWND parent, int controlId) {
    HWND control = GetDlgItem(parent, controlId);
    if (!control || !RegisterViewClass()) return nullptr;
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(parent, WM_GETFONT, 0, 0));
    DestroyWindow(control);

    auto* view = new CMyDownloadBlockView();
    view->font_ = font;
    HWND hwnd = CreateWindowExW(WS_EX_CLIENTEDGE, kClassName, L"", WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP,
                                r.left, r.top, r.right - r.left, r.bottom - r.top, parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId)), GetModuleHandleW(nullptr),
                                nullptr);
    if (!hwnd) {
        delete view;
        return nullptr;
    }
    view->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(view));
    SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CMyDownloadBlockView::WndProc));
    HINSTANCE inst = GetModuleHandleW(nullptr);
    view->pending_ = LoadBitmapW(inst, MAKEINTRESOURCEW(MV_IDB_BLOCK_PENDING));
    view->done_ = LoadBitmapW(inst, MAKEINTRESOURCEW(MV_IDB_BLOCK_DONE));
    view->SetScrollHeight(kBlockCell);
    return view;
}

LRESULT CALLBACK CMyDownloadBlockView::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* view = reinterpret_cast<CMyDownloadBlockView*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!view) return DefWindowProcW(hwnd, msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        if (view->pending_) DeleteObject(view->pending_);
        if (view->done_) DeleteObject(view->done_);
        delete view;
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    return view->Handle(msg, wParam, lParam);
}

LRESULT CMyDownloadBlockView::Handle(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case UM_DL_SIZE:
        if (static_cast<int>(wParam) == watched) {
            mode_ = 0;
            fileSize_ = static_cast<long>(lParam);
        }
        return 0;
    case UM_DL_BLOCK_SIZE:
        if (static_cast<int>(wParam) == watched) OnBlockSize(static_cast<long>(lParam));
        return 0;
    case UM_DL_BLOCK_PROGRESS:
        if (BlockProgressFor(wParam, watched)) OnBlockProgress(wParam, static_cast<long>(lParam));
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == kBlockViewCompleted || LOWORD(wParam) == kBlockViewFailed) OnResult(LOWORD(wParam));
        return 0;
    case WM_LBUTTONDOWN:
        SetFocus(hwnd_);
        return 0;
    case WM_VSCROLL:
        OnVScroll(LOWORD(wParam));
        return 0;
    case WM_MOUSEWHEEL:
        ScrollTo(scrollY_ - GET_WHEEL_DELTA_WPARAM(wParam) / WHEEL_DELTA * kBlockCell * 3);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        OnPaint();
        return 0;
    default:
        return DefWindowProcW(hwnd_, msg, wParam, lParam);
    }
}

void CMyDownloadBlockView::SetScrollHeight(long height) {
    scrollHeight_ = std::max(height, 1L);
    RECT rc;
    GetClientRect(hwnd_, &rc);
    SCROLLINFO si{};
    si.cbSize = sizeof(si);
    si.fMask = SIF_RANGE | SIF_PAGE;
    si.nMin = 0;
    si.nMax = scrollHeight_ - 1;
    si.nPage = static_cast<UINT>(std::max(rc.bottom - rc.top, 0L));
    SetScrollInfo(hwnd_, SB_VERT, &si, TRUE);
    ScrollTo(scrollY_);
}

void CMyDownloadBlockView::ScrollTo(long y) {
    RECT rc;
    GetClientRect(hwnd_, &rc);
    const long most = std::max(scrollHeight_ - (rc.bottom - rc.top), 0L);
    const long next = std::clamp(y, 0L, most);
    if (next == scrollY_) return;
    scrollY_ = next;
    SetScrollPos(hwnd_, SB_VERT, static_cast<int>(scrollY_), TRUE);
    InvalidateRect(hwnd_, nullptr, FALSE);
}

void CMyDownloadBlockView::OnVScroll(WORD code) {
    RECT rc;
    GetClientRect(hwnd_, &rc);
    const long page = std::max(rc.bottom - rc.top, kBlockCell);
    SCROLLINFO si{};
    si.cbSize = sizeof(si);
    si.fMask = SIF_TRACKPOS;
    GetScrollInfo(hwnd_, SB_VERT, &si);
    switch (code) {
    case SB_LINEUP: ScrollTo(scrollY_ - kBlockCell); break;
    case SB_LINEDOWN: ScrollTo(scrollY_ + kBlockCell); break;
    case SB_PAGEUP: ScrollTo(scrollY_ - page); break;
    case SB_PAGEDOWN: ScrollTo(scrollY_ + page); break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: ScrollTo(si.nTrackPos); break;
    case SB_TOP: ScrollTo(0); break;
    case SB_BOTTOM: ScrollTo(scrollHeight_); break;
    default: break;
    }
}

void CMyDownloadBlockView::OnBlockSize(long segmentSize) {
    mode_ = 0;
    doneBlocks_.clear();
    scrollY_ = 0;
    SetScrollHeight(kBlockCell);  // no bar while measuring
    RECT rc;
    GetClientRect(hwnd_, &rc);
    layout_ = LayoutBlocks(fileSize_, segmentSize, rc.right - rc.left, rc.bottom - rc.top);
    SetScrollHeight(BlockScrollHeight(layout_));
    InvalidateRect(hwnd_, nullptr, FALSE);
}

void CMyDownloadBlockView::OnBlockProgress(WPARAM wParam, long bytes) {
    if (layout_.totalBlocks <= 0) return;
    const long seg = BlockProgressSegment(wParam);
    const long n = DoneBlocks(bytes, layout_);
    auto it = doneBlocks_.find(seg);
    const long old = it == doneBlocks_.end() ? 0 : it->second;
    if (it != doneBlocks_.end() && n == old) return;
    doneBlocks_[seg] = n;
    const long base = seg * layout_.blocksPerSegment;
    const long from = std::max(std::min(old, n) + base, 0L);
    const long to = std::min(std::max(old, n) + base, layout_.totalBlocks - 1);
    for (long b = from; b <= to; ++b) {
        RECT cell = BlockCellRect(b, layout_.columns);
        OffsetRect(&cell, 0, -scrollY_);
        InvalidateRect(hwnd_, &cell, FALSE);
    }
}

void CMyDownloadBlockView::OnResult(WORD id) {
    mode_ = id == kBlockViewCompleted ? 1 : 2;
    RECT rc;
    GetClientRect(hwnd_, &rc);
    layout_.columns = std::max((rc.right - rc.left) / kBlockCell, 1L);
    scrollY_ = 0;
    SetScrollHeight(kBlockCell);
    InvalidateRect(hwnd_, nullptr, FALSE);
    SendMessageW(GetParent(hwnd_), WM_COMMAND, MAKEWPARAM(id, 0), reinterpret_cast<LPARAM>(hwnd_));
}

void CMyDownloadBlockView::PaintTextPage(HDC dc, RECT area, const std::wstring& body, bool framed) {
    if (framed) {
        HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(WHITE_BRUSH));
        Rectangle(dc, area.left, area.top, area.right, area.bottom);
        SelectObject(dc, oldBrush);
        InflateRect(&area, -10, -10);
    }
    HGDIOBJ oldFont = font_ ? SelectObject(dc, font_) : nullptr;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 0));
    RECT titleRect = area;
    DrawTextW(dc, title.c_str(), -1, &titleRect, DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
    MoveToEx(dc, area.left, area.top + 20, nullptr);
    LineTo(dc, area.right, area.top + 20);
    RECT bodyRect{area.left, area.top + 40, area.right, area.bottom};
    std::wstring text;
    for (wchar_t c : body) {
        if (c == L'\n' && (text.empty() || text.back() != L'\r')) text += L'\r';
        text += c;
    }
    DrawTextW(dc, text.c_str(), -1, &bodyRect, DT_LEFT | DT_TOP | DT_WORDBREAK | DT_NOPREFIX);
    if (oldFont) SelectObject(dc, oldFont);
}

void CMyDownloadBlockView::OnPaint() {
    PAINTSTRUCT ps;
    HDC screen = BeginPaint(hwnd_, &ps);
    RECT rc;
    GetClientRect(hwnd_, &rc);
    const int w = std::max<int>(rc.right, 1), h = std::max<int>(rc.bottom, 1);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP canvas = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ oldCanvas = SelectObject(dc, canvas);
    FillRect(dc, &rc, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));

    if (layout_.totalBlocks <= 0 && mode_ == 0) {
        RECT area = rc;
        InflateRect(&area, -40, -40);
        PaintTextPage(dc, area, message, false);
    } else {
        HDC bitmapDc = CreateCompatibleDC(screen);
        const long columns = std::max(layout_.columns, 1L);
        const long firstRow = scrollY_ / kBlockCell;
        const long lastRow = (scrollY_ + h) / kBlockCell;
        const long first = firstRow * columns;
        const long last = std::min(layout_.totalBlocks, (lastRow + 1) * columns);
        for (long i = first; i < last; ++i) {
            const long seg = i / layout_.blocksPerSegment, pos = i % layout_.blocksPerSegment;
            auto it = doneBlocks_.find(seg);
            const bool done = it != doneBlocks_.end() && pos <= it->second;
            RECT cell = BlockCellRect(i, columns);
            OffsetRect(&cell, 0, -scrollY_);
            DrawBlock(dc, bitmapDc, done ? done_ : pending_, done ? kDoneColour : kPendingColour, cell);
        }
        DeleteDC(bitmapDc);
        // The result page, also when the download failed before its size was known.
        if (mode_ == 1 || mode_ == 2) {
            RECT area = rc;
            InflateRect(&area, -30, -30);
            PaintTextPage(dc, area, message + L"\r\n" + (mode_ == 1 ? completedText : failedText), true);
        }
    }
    BitBlt(screen, 0, 0, w, h, dc, 0, 0, SRCCOPY);
    SelectObject(dc, oldCanvas);
    DeleteObject(canvas);
    DeleteDC(dc);
    EndPaint(hwnd_, &ps);
}
