#include "ui/picture.h"

#include <wincodec.h>

#include <cstring>

#include "notify/log.h"
#include "ui/gif_blocks.h"
#include "util/system_library.h"
#include "util/text.h"

namespace mv {

namespace {

// A stream over a movable global copy of the bytes; the stream frees the block.
ComPtr<IStream> StreamOver(std::string_view bytes) {
    ComPtr<IStream> stream;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size() ? bytes.size() : 1);
    if (!block) return stream;
    if (void* p = GlobalLock(block)) {
        std::memcpy(p, bytes.data(), bytes.size());
        GlobalUnlock(block);
    }
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, stream.put()))) GlobalFree(block);
    return stream;
}

}  // namespace

Picture::~Picture() {
    if (bitmap_) DeleteObject(bitmap_);
}

int ScreenDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

std::unique_ptr<Picture> Picture::Load(std::string_view bytes, int dpi) {
    if (bytes.empty()) return nullptr;
    ComPtr<IStream> stream = StreamOver(bytes);
    if (stream) {
        ComPtr<IPicture> pic;
        const HRESULT hr = OleLoadPicture(stream.get(), static_cast<LONG>(bytes.size()), FALSE, IID_IPicture,
                                          reinterpret_cast<void**>(pic.put()));
        if (SUCCEEDED(hr) && pic) {
            OLE_XSIZE_HIMETRIC hmW = 0;
            OLE_YSIZE_HIMETRIC hmH = 0;
            pic->get_Width(&hmW);
            pic->get_Height(&hmH);
            std::unique_ptr<Picture> p(new Picture);
            p->width_ = gif::HimetricToPixels(hmW, dpi);
            p->height_ = gif::HimetricToPixels(hmH, dpi);
            p->picture_ = std::move(pic);
            return p;
        }
    }
    // The classic loader reads BMP, GIF, JPEG, ICO and metafiles only.
    return LoadWithWic(bytes);
}

std::unique_ptr<Picture> Picture::LoadWithWic(std::string_view bytes) {
    ComPtr<IWICImagingFactory> factory;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                  reinterpret_cast<void**>(factory.put()));
    if (FAILED(hr)) {
        WriteLog(Format(L"CoCreateInstance(WICImagingFactory) failed: 0x%08lX", static_cast<unsigned long>(hr)));
        return nullptr;
    }
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    ComPtr<IWICBitmapSource> converted;
    hr = factory->CreateStream(stream.put());
    if (SUCCEEDED(hr))
        hr = stream->InitializeFromMemory(reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data())),
                                          static_cast<DWORD>(bytes.size()));
    if (SUCCEEDED(hr))
        hr = factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnLoad, decoder.put());
    if (SUCCEEDED(hr)) hr = decoder->GetFrame(0, frame.put());
    if (SUCCEEDED(hr)) {
        using Convert = HRESULT(WINAPI*)(REFWICPixelFormatGUID, IWICBitmapSource*, IWICBitmapSource**);
        const auto convert = mv::SystemFunctionAs<Convert>(L"windowscodecs.dll", "WICConvertBitmapSource");
        hr = convert ? convert(GUID_WICPixelFormat32bppPBGRA, frame.get(), converted.put())
                     : HRESULT_FROM_WIN32(GetLastError());
    }
    UINT w = 0, h = 0;
    if (SUCCEEDED(hr)) hr = converted->GetSize(&w, &h);
    if (FAILED(hr) || w == 0 || h == 0 || w > 16384 || h > 16384) {
        WriteLog(Format(L"WIC cannot decode the picture: 0x%08lX", static_cast<unsigned long>(hr)));
        return nullptr;
    }
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = static_cast<LONG>(w);
    bi.bmiHeader.biHeight = -static_cast<LONG>(h);
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bmp) {
        WriteLog(Format(L"CreateDIBSection failed: %lu", GetLastError()));
        return nullptr;
    }
    hr = converted->CopyPixels(nullptr, w * 4, w * h * 4, static_cast<BYTE*>(bits));
    if (FAILED(hr)) {
        DeleteObject(bmp);
        WriteLog(Format(L"IWICBitmapSource::CopyPixels failed: 0x%08lX", static_cast<unsigned long>(hr)));
        return nullptr;
    }
    std::unique_ptr<Picture> p(new Picture);
    p->bitmap_ = bmp;
    p->width_ = static_cast<int>(w);
    p->height_ = static_cast<int>(h);
    return p;
}

void Picture::Render(HDC dc, int x, int y, int w, int h) const {
    if (picture_) {
        OLE_XSIZE_HIMETRIC hmW = 0;
        OLE_YSIZE_HIMETRIC hmH = 0;
        picture_->get_Width(&hmW);
        picture_->get_Height(&hmH);
        picture_->Render(dc, x, y, w, h, 0, hmH, hmW, -hmH, nullptr);
        return;
    }
    if (!bitmap_) return;
    HDC mem = CreateCompatibleDC(dc);
    if (!mem) return;
    HGDIOBJ old = SelectObject(mem, bitmap_);
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    GdiAlphaBlend(dc, x, y, w, h, mem, 0, 0, width_, height_, blend);
    SelectObject(mem, old);
    DeleteDC(mem);
}

}  // namespace mv
