// CPictureEx: a static control that shows a picture, animating a GIF of several frames on a
// thread of its own. Attach it to a static control of a dialog; every member except the
// animation itself runs on the control's window thread.
//
// The animation thread and the window share one state object, held by both: the thread
// composes frames into its memory DC and the window copies that DC when it paints, each
// under the state's lock, and nothing the thread may still touch is freed while it runs.
#pragma once
#include <windows.h>

#include <memory>
#include <string_view>

namespace mv {

class CPictureEx {
public:
    CPictureEx();
    ~CPictureEx();
    CPictureEx(const CPictureEx&) = delete;
    CPictureEx& operator=(const CPictureEx&) = delete;

    // Subclasses the static control; false when it is not a window.
    bool Attach(HWND control);
    HWND window() const { return window_; }

    // From a resource of this module (type "GIF" for the animations); false when the
    // resource is missing or cannot be read as a picture.
    bool Load(HINSTANCE module, LPCWSTR name, LPCWSTR type);
    // From a global memory block of `size` bytes (copied; the caller keeps the block).
    bool Load(HGLOBAL block, DWORD size);
    bool LoadBytes(std::string_view bytes);
    // Starts the animation thread for an animated GIF, else draws the one picture.
    bool Draw();
    // Ends the animation: sets the stop flag and event and waits at most 5000 ms.
    void Stop();
    // Stops and forgets the picture.
    void UnLoad();

    // The colour under transparent and erased parts (the GIF's background colour by default).
    void SetBkColor(COLORREF colour);

    SIZE Size() const;
    size_t FrameCount() const;
    bool IsAnimated() const;   // a GIF of two frames or more
    bool IsPlaying() const;    // the animation thread runs
    bool IsLoaded() const;
    // Frames the thread has composed so far (grows while the animation plays).
    unsigned long FramesShown() const;

    struct State;

private:
    static LRESULT CALLBACK SubclassProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
    void OnPaint();
    void PrepareCanvas(int width, int height);

    HWND window_ = nullptr;
    std::shared_ptr<State> state_;
};

}  // namespace mv
