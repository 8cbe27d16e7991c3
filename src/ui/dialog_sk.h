// Dialogs without a framework: CDialogBase runs a dialog template modally and hands every
// message to a virtual handler of the object (kept in GWLP_USERDATA); CDialogSK adds a
// painted background bitmap, drag-anywhere moving and drawing of its CFxButton controls.
// All members run on the dialog's own thread.
#pragma once
#include <windows.h>

namespace mv {

class CDialogBase {
public:
    virtual ~CDialogBase() = default;
    // Shows the template modally; returns the EndDialog result, or -1 when it cannot be made.
    INT_PTR DoModal(HINSTANCE module, int templateId, HWND owner);
    HWND hwnd() const { return hwnd_; }
    // Ends the modal loop with `result` (the one way our windows close).
    void EndDialog(INT_PTR result);
    // Creates the template as a modeless dialog whose messages go to this object; the caller
    // runs the message loop and destroys the window. Null when it cannot be made (GetLastError).
    HWND Create(HINSTANCE module, int templateId, HWND owner);

protected:
    // Return true when the message was handled; *result is then the dialog procedure's value.
    virtual bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, INT_PTR* result);
    virtual BOOL OnInitDialog() { return TRUE; }
    HWND hwnd_ = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND, UINT, WPARAM, LPARAM);
};

class CDialogSK : public CDialogBase {
public:
    CDialogSK();
    ~CDialogSK() override;
    enum BackgroundMode { BgCorner = 0, BgTile = 1, BgCentre = 2, BgStretch = 3, BgCornerOnce = 4 };
    // Takes a bitmap resource as background (0 removes it).
    bool SetBitmap(HINSTANCE module, int bitmapId);
    void SetStyle(BackgroundMode mode) { mode_ = mode; }
    void EnableEasyMove(bool on) { easyMove_ = on; }
    // Whole-window transparency, when the system has layered windows.
    bool SetTransparent(BYTE alpha);

protected:
    bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, INT_PTR* result) override;
    // Paints the background bitmap; false when there is none (the caller then fills).
    bool PaintBackground(HDC dc);

private:
    using SetLayeredFn = BOOL(WINAPI*)(HWND, COLORREF, BYTE, DWORD);
    SetLayeredFn setLayered_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    int bitmapW_ = 0, bitmapH_ = 0;
    BackgroundMode mode_ = BgCorner;
    bool easyMove_ = true;
};

}  // namespace mv
