#include "ui/picture_ex.h"

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "notify/log.h"
#include "ui/gif_blocks.h"
#include "ui/picture.h"
#include "util/handle.h"
#include "util/text.h"
#include "ui/common_controls.h"

namespace mv {

namespace {

constexpr UINT_PTR kSubclassId = 0x5E1;
constexpr DWORD kStopWaitMs = 5000;

// A memory DC with a bitmap of its own, freed together.
struct Canvas {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;
    void Create(int w, int h) {
        Free();
        HDC screen = GetDC(nullptr);
        dc = CreateCompatibleDC(screen);
        bitmap = CreateCompatibleBitmap(screen, w > 0 ? w : 1, h > 0 ? h : 1);
        ReleaseDC(nullptr, screen);
        if (dc && bitmap) old = SelectObject(dc, bitmap);
    }
    void Free() {
        if (dc && old) SelectObject(dc, old);
        if (bitmap) DeleteObject(bitmap);
        if (dc) DeleteDC(dc);
        dc = nullptr;
        bitmap = nullptr;
        old = nullptr;
    }
    ~Canvas() { Free(); }
};

struct FrameData {
    std::unique_ptr<Picture> picture;
    int left = 0, top = 0, width = 0, height = 0;
    int delay = -1, disposal = 0;
};

}  // namespace

struct CPictureEx::State {
    std::mutex lock;  // around every use of the canvases
    Canvas composed;  // the image as shown
    Canvas saved;     // the area under a "restore previous" frame
    HBRUSH background = nullptr;
    COLORREF backgroundColour = RGB(240, 240, 240);
    std::vector<FrameData> frames;
    std::unique_ptr<Picture> single;
    int width = 0, height = 0;
    std::atomic<HWND> window{nullptr};
    Handle stopEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    Handle thread;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> running{false};
    std::atomic<unsigned long> shown{0};

    ~State() {
        if (background) DeleteObject(background);
    }
    void SetBackground(COLORREF c) {
        std::lock_guard<std::mutex> g(lock);
        if (background) DeleteObject(background);
        backgroundColour = c;
        background = CreateSolidBrush(c);
    }
    void FillAll() {
        RECT r{0, 0, width, height};
        if (composed.dc) FillRect(composed.dc, &r, background);
    }
};

namespace {

// The animation loop; holds its own reference to the state, so stopping the control or
// destroying it never frees what the loop draws into.
DWORD WINAPI AnimationThread(LPVOID param) {
    std::unique_ptr<std::shared_ptr<CPictureEx::State>> holder(static_cast<std::shared_ptr<CPictureEx::State>*>(param));
    CPictureEx::State& s = **holder;
    size_t index = 0;
    while (!s.stopRequested) {
        const FrameData& f = s.frames[index];
        {
            std::lock_guard<std::mutex> g(s.lock);
            if (f.disposal == 3) BitBlt(s.saved.dc, 0, 0, f.width, f.height, s.composed.dc, f.left, f.top, SRCCOPY);
            f.picture->Render(s.composed.dc, f.left, f.top, f.width, f.height);
            GdiFlush();
        }
        ++s.shown;
        if (HWND w = s.window.load()) InvalidateRect(w, nullptr, FALSE);
        WaitForSingleObject(s.stopEvent.get(), gif::FrameWaitMs(f.delay));
        if (s.stopRequested) break;
        {
            std::lock_guard<std::mutex> g(s.lock);
            if (f.disposal == 2) {
                RECT r{f.left, f.top, f.left + f.width, f.top + f.height};
                FillRect(s.composed.dc, &r, s.background);
            } else if (f.disposal == 3) {
                BitBlt(s.composed.dc, f.left, f.top, f.width, f.height, s.saved.dc, 0, 0, SRCCOPY);
            }
            if (++index >= s.frames.size()) {
                index = 0;
                s.FillAll();
            }
        }
    }
    s.running = false;
    return 0;
}

COLORREF GifBackground(std::string_view bytes, const gif::Info& info) {
    const size_t index = static_cast<unsigned char>(bytes[11]);
    if (info.globalTableSize == 0 || index * 3 + 2 >= info.globalTableSize) return GetSysColor(COLOR_BTNFACE);
    const auto* t = reinterpret_cast<const unsigned char*>(bytes.data()) + 13 + index * 3;
    return RGB(t[0], t[1], t[2]);
}

}  // namespace

CPictureEx::CPictureEx() : state_(std::make_shared<State>()) {}

CPictureEx::~CPictureEx() {
    UnLoad();
    if (window_ && IsWindow(window_)) mv::RemoveSubclass(window_, SubclassProc, kSubclassId);
}

bool CPictureEx::Attach(HWND control) {
    if (!IsWindow(control)) return false;
    window_ = control;
    state_->window = control;
    return mv::SetSubclass(control, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
}

bool CPictureEx::Load(HINSTANCE module, LPCWSTR name, LPCWSTR type) {
    HRSRC res = FindResourceW(module, name, type);
    if (!res) return false;
    const DWORD size = SizeofResource(module, res);
    HGLOBAL loaded = LoadResource(module, res);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data || size == 0) return false;
    // Copied into a movable block of our own, as the picture loader's stream wants.
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!block) return false;
    void* p = GlobalLock(block);
    if (!p) {
        GlobalFree(block);
        return false;
    }
    memcpy(p, data, size);
    GlobalUnlock(block);
    const bool ok = Load(block, size);
    GlobalFree(block);
    return ok;
}

bool CPictureEx::Load(HGLOBAL block, DWORD size) {
    const void* p = GlobalLock(block);
    if (!p) return false;
    const std::string bytes(static_cast<const char*>(p), size);
    GlobalUnlock(block);
    return LoadBytes(bytes);
}

bool CPictureEx::LoadBytes(std::string_view bytes) {
    UnLoad();
    State& s = *state_;
    const int dpiX = ScreenDpi();
    if (!gif::IsGif(bytes)) {
        s.single = Picture::Load(bytes, dpiX);
        if (!s.single) return false;
        s.SetBackground(GetSysColor(COLOR_BTNFACE));
        PrepareCanvas(s.single->width(), s.single->height());
        return true;
    }
    const gif::Info info = gif::Parse(bytes);
    s.SetBackground(GifBackground(bytes, info));
    if (info.frames.size() <= 1) {
        s.single = Picture::Load(bytes, dpiX);
        if (!s.single) return false;
        PrepareCanvas(info.width, info.height);
        return true;
    }
    for (size_t i = 0; i < info.frames.size(); ++i) {
        const gif::Frame& f = info.frames[i];
        std::unique_ptr<Picture> pic = Picture::Load(gif::CutFrame(bytes, info, i), dpiX);
        if (!pic) continue;
        FrameData d;
        d.picture = std::move(pic);
        d.left = f.left;
        d.top = f.top;
        d.width = f.width;
        d.height = f.height;
        d.delay = f.delay;
        d.disposal = f.disposal;
        s.frames.push_back(std::move(d));
    }
    if (s.frames.empty()) {
        WriteLog(L"CPictureEx: no frame of the animation could be read");
        return false;
    }
    if (!info.ok) WriteLog(Format(L"CPictureEx: animation damaged after frame %u", static_cast<unsigned>(info.frames.size())));
    PrepareCanvas(info.width, info.height);
    return true;
}

void CPictureEx::PrepareCanvas(int width, int height) {
    State& s = *state_;
    std::lock_guard<std::mutex> g(s.lock);
    s.width = width;
    s.height = height;
    s.composed.Create(width, height);
    // The save area never needs more than the largest frame.
    int sw = 1, sh = 1;
    for (const FrameData& f : s.frames) {
        sw = std::max(sw, f.width);
        sh = std::max(sh, f.height);
    }
    s.saved.Create(sw, sh);
    s.FillAll();
}

bool CPictureEx::Draw() {
    State& s = *state_;
    if (s.frames.size() >= 2) {
        if (s.running) return true;
        s.stopRequested = false;
        ResetEvent(s.stopEvent.get());
        {
            std::lock_guard<std::mutex> g(s.lock);
            s.FillAll();
        }
        auto* holder = new std::shared_ptr<State>(state_);
        s.running = true;
        HANDLE t = CreateThread(nullptr, 0, AnimationThread, holder, CREATE_SUSPENDED, nullptr);
        if (!t) {
            WriteLog(Format(L"CreateThread (animation) failed: %lu", GetLastError()));
            s.running = false;
            delete holder;
            return false;
        }
        s.thread.reset(t);
        SetThreadPriority(t, THREAD_PRIORITY_LOWEST);
        ResumeThread(t);
        return true;
    }
    if (!s.single) return false;
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.FillAll();
        s.single->Render(s.composed.dc, 0, 0, s.width, s.height);
    }
    if (window_) InvalidateRect(window_, nullptr, FALSE);
    return true;
}

void CPictureEx::Stop() {
    State& s = *state_;
    if (!s.thread) return;
    s.stopRequested = true;
    SetEvent(s.stopEvent.get());
    if (WaitForSingleObject(s.thread.get(), kStopWaitMs) != WAIT_OBJECT_0)
        WriteLog(L"CPictureEx: the animation thread did not end within 5000 ms");
    s.thread.reset();
    ResetEvent(s.stopEvent.get());
}

void CPictureEx::UnLoad() {
    Stop();
    // A thread that did not end keeps the old state alive through its own reference.
    const HWND w = state_->window.load();
    state_ = std::make_shared<State>();
    state_->window = w;
}

void CPictureEx::SetBkColor(COLORREF colour) { state_->SetBackground(colour); }

SIZE CPictureEx::Size() const { return SIZE{state_->width, state_->height}; }
size_t CPictureEx::FrameCount() const { return state_->frames.size() + (state_->single ? 1 : 0); }
bool CPictureEx::IsAnimated() const { return state_->frames.size() >= 2; }
bool CPictureEx::IsPlaying() const { return state_->running; }
bool CPictureEx::IsLoaded() const { return state_->single || !state_->frames.empty(); }
unsigned long CPictureEx::FramesShown() const { return state_->shown; }

void CPictureEx::OnPaint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window_, &ps);
    RECT client;
    GetClientRect(window_, &client);
    State& s = *state_;
    // Around the picture: the parent's colour for static controls.
    HWND parent = GetParent(window_);
    HBRUSH around = parent ? reinterpret_cast<HBRUSH>(SendMessageW(parent, WM_CTLCOLORSTATIC,
                                                                   reinterpret_cast<WPARAM>(dc),
                                                                   reinterpret_cast<LPARAM>(window_)))
                           : nullptr;
    if (!around) around = GetSysColorBrush(COLOR_BTNFACE);
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (s.composed.dc && s.width > 0) {
            // Shown at the screen's DPI, like the dialog units around it (where the system
            // scales the whole window instead, the DPI seen here is 96 and nothing changes).
            const int dpi = ScreenDpi();
            const int w = MulDiv(s.width, dpi, 96), h = MulDiv(s.height, dpi, 96);
            ExcludeClipRect(dc, 0, 0, w, h);
            FillRect(dc, &client, around);
            SelectClipRgn(dc, nullptr);
            if (w == s.width && h == s.height) {
                BitBlt(dc, 0, 0, w, h, s.composed.dc, 0, 0, SRCCOPY);
            } else {
                SetStretchBltMode(dc, HALFTONE);
                StretchBlt(dc, 0, 0, w, h, s.composed.dc, 0, 0, s.width, s.height, SRCCOPY);
            }
        } else {
            FillRect(dc, &client, around);
        }
    }
    EndPaint(window_, &ps);
}

LRESULT CALLBACK CPictureEx::SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR data) {
    auto* self = reinterpret_cast<CPictureEx*>(data);
    switch (msg) {
    case WM_PAINT:
        self->OnPaint();
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_DESTROY:
        self->Stop();
        mv::RemoveSubclass(hwnd, SubclassProc, kSubclassId);
        self->window_ = nullptr;
        self->state_->window = nullptr;
        break;
    default:
        break;
    }
    return mv::CallNextSubclass(hwnd, msg, wp, lp);
}

}  // namespace mv
