// CFxButton: an owner-drawn push button with an image and a colour per state, hover
// tracking, optional sounds and a tool tip. Attach it to a button of a CDialogSK (which
// passes WM_DRAWITEM back to it). Runs on the button's window thread.
#pragma once
#include <windows.h>

#include <string>

namespace mv {

class CFxButton {
public:
    enum State { StateNormal = 260, StatePressed = 261, StateHover = 262, StateDisabled = 263 };
    // The private message a checked radio button sends to the other buttons of its group.
    static constexpr UINT kUncheckMessage = WM_USER + 100;

    CFxButton() = default;
    ~CFxButton();
    CFxButton(const CFxButton&) = delete;
    CFxButton& operator=(const CFxButton&) = delete;

    bool Attach(HWND button);
    HWND window() const { return window_; }
    static CFxButton* FromWindow(HWND button);

    // Bitmap resource ids per state, 0 for none. With `copyNormal`, a state without an image
    // of its own shows the normal image.
    bool SetImages(HINSTANCE module, int normal, bool copyNormal, int pressed, int hover, int disabled);
    // Colours per state; a colour equal to the system button face leaves that state's colour
    // as it is; `allStates` copies the first colour into all four.
    void SetButtonColours(COLORREF normal, COLORREF pressed, COLORREF hover, COLORREF disabled, bool allStates);
    void SetTextColours(COLORREF normal, COLORREF pressed, COLORREF hover, COLORREF disabled, bool allStates);
    // Sound for the hover (262) or click (261) state: a file name, or a WAVE resource name.
    void SetSound(State state, const std::wstring& name, bool fromResource);
    void SetToolTip(const std::wstring& text);
    void SetRadio(bool radio) { radio_ = radio; }

    // The state the button is drawn in.
    State CurrentState(const DRAWITEMSTRUCT* item) const;
    void DrawItem(const DRAWITEMSTRUCT* item);

private:
    static LRESULT CALLBACK SubclassProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
    LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp);
    void PlayStateSound(State state) const;
    static int Slot(State s) { return static_cast<int>(s) - StateNormal; }

    struct Image {
        HBITMAP bitmap = nullptr;
        HDC dc = nullptr;
        HGDIOBJ old = nullptr;
        int width = 0, height = 0;
    };
    void FreeImage(Image& image);

    HWND window_ = nullptr;
    HWND tooltip_ = nullptr;
    Image images_[4];
    COLORREF back_[4] = {CLR_INVALID, CLR_INVALID, CLR_INVALID, CLR_INVALID};
    COLORREF text_[4] = {CLR_INVALID, CLR_INVALID, CLR_INVALID, CLR_INVALID};
    std::wstring hoverSound_, clickSound_;
    bool hoverSoundResource_ = false, clickSoundResource_ = false;
    bool hover_ = false;
    bool tracking_ = false;
    bool checked_ = false;
    bool radio_ = false;
};

}  // namespace mv
