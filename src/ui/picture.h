// One decoded picture: through the system's picture loader (OleLoadPicture) when it can read
// the bytes, else through the Windows Imaging Component (which reads PNG, JPEG, TIFF, GIF
// and BMP on every supported Windows). The calling thread must have COM initialised to load.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <memory>
#include <string_view>

#include "util/handle.h"

namespace mv {

class Picture {
public:
    ~Picture();
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    // Null when neither loader can read the bytes. `dpi` converts the loader's HIMETRIC size.
    static std::unique_ptr<Picture> Load(std::string_view bytes, int dpi);
    // The WIC path alone (premultiplied 32-bit pixels, drawn with alpha); null on failure.
    static std::unique_ptr<Picture> LoadWithWic(std::string_view bytes);

    int width() const { return width_; }
    int height() const { return height_; }
    bool fromWic() const { return bitmap_ != nullptr; }
    // Draws the picture into `dc` at x, y scaled to w x h, keeping transparent parts.
    void Render(HDC dc, int x, int y, int w, int h) const;

private:
    Picture() = default;
    ComPtr<IPicture> picture_;
    HBITMAP bitmap_ = nullptr;  // WIC pixels, top-down 32-bit premultiplied BGRA
    int width_ = 0, height_ = 0;
};

// The screen's horizontal DPI (LOGPIXELSX of the screen DC).
int ScreenDpi();

}  // namespace mv
