// The animated picture control on a real static control, under the animation thread.
#include "ui/picture_ex.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "resources/resource_ids.h"
#include "ui/gif_blocks.h"
#include "ui/picture.h"

using mv::CPictureEx;
using mv::Picture;

namespace {

// 3 x 2 RGBA PNG with one transparent pixel.
const unsigned char kPng[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00,
    0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x02, 0x08, 0x06, 0x00, 0x00, 0x00, 0x9d, 0x74, 0x66, 0x1a, 0x00,
    0x00, 0x00, 0x19, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x25, 0xc6, 0x21, 0x01, 0x00, 0x00, 0x00, 0xc3,
    0x20, 0xfa, 0x97, 0xde, 0xc5, 0x51, 0x88, 0xa8, 0xe8, 0x23, 0x18, 0x94, 0x85, 0x09, 0xf7, 0xf6, 0x95,
    0x92, 0x59, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

std::string Gif(int id) {
    HMODULE m = GetModuleHandleW(nullptr);
    HRSRC r = FindResourceW(m, MAKEINTRESOURCEW(id), L"GIF");
    return r ? std::string(static_cast<const char*>(LockResource(LoadResource(m, r))), SizeofResource(m, r)) : "";
}

// A top-level window with one static control, destroyed with the fixture.
class PictureWindow : public ::testing::Test {
protected:
    void SetUp() override {
        top_ = CreateWindowExW(0, L"Static", L"picture test", WS_POPUP, 0, 0, 600, 400, nullptr, nullptr, nullptr, nullptr);
        ASSERT_TRUE(top_);
        control_ = CreateWindowExW(0, L"Static", L"", WS_CHILD | WS_VISIBLE, 0, 0, 560, 380, top_, nullptr, nullptr,
                                   nullptr);
        ASSERT_TRUE(control_);
    }
    void TearDown() override {
        if (IsWindow(top_)) DestroyWindow(top_);
    }
    // Pumps messages until `done` or the deadline; true when done.
    template <typename F>
    static bool PumpUntil(F done, DWORD ms) {
        const ULONGLONG end = GetTickCount64() + ms;
        while (!done()) {
            if (GetTickCount64() > end) return false;
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        return true;
    }
    HWND top_ = nullptr, control_ = nullptr;
};

}  // namespace

TEST_F(PictureWindow, AnimatedGifPlaysOnItsThreadAndStops) {
    CPictureEx pic;
    ASSERT_TRUE(pic.Attach(control_));
    ASSERT_TRUE(pic.Load(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(MV_GIF_SECOND), L"GIF"));
    EXPECT_TRUE(pic.IsAnimated());
    EXPECT_EQ(pic.FrameCount(), 16u);
    EXPECT_EQ(pic.Size().cx, 520);
    EXPECT_EQ(pic.Size().cy, 350);
    ASSERT_TRUE(pic.Draw());
    EXPECT_TRUE(pic.IsPlaying());
    // The work animation shows its first frames within about 300 ms.
    EXPECT_TRUE(PumpUntil([&] { return pic.FramesShown() >= 4; }, 5000)) << pic.FramesShown();
    pic.Stop();
    EXPECT_FALSE(pic.IsPlaying());
    const unsigned long shown = pic.FramesShown();
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(pic.FramesShown(), shown) << "no frame after Stop";
    // Drawing again restarts it.
    ASSERT_TRUE(pic.Draw());
    EXPECT_TRUE(PumpUntil([&] { return pic.FramesShown() > shown; }, 5000));
}

TEST_F(PictureWindow, DestroyingTheWindowMidFrameStopsTheThread) {
    // Repeated, so that destruction lands at different points of the frame loop.
    for (int round = 0; round < 10; ++round) {
        HWND c = CreateWindowExW(0, L"Static", L"", WS_CHILD | WS_VISIBLE, 0, 0, 560, 380, top_, nullptr, nullptr, nullptr);
        ASSERT_TRUE(c);
        auto pic = std::make_unique<CPictureEx>();
        ASSERT_TRUE(pic->Attach(c));
        ASSERT_TRUE(pic->Load(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(MV_GIF_FIRST), L"GIF"));
        ASSERT_TRUE(pic->Draw());
        PumpUntil([&] { return pic->FramesShown() >= static_cast<unsigned long>(1 + round % 3); }, 5000);
        DestroyWindow(c);
        EXPECT_FALSE(pic->IsPlaying()) << round;
        pic.reset();
    }
}

TEST_F(PictureWindow, OneFrameGifIsStillWithoutThread) {
    const std::string whole = Gif(MV_GIF_FIRST);
    const gif::Info info = gif::Parse(whole);
    const std::string still = gif::CutFrame(whole, info, 0);
    CPictureEx pic;
    ASSERT_TRUE(pic.Attach(control_));
    ASSERT_TRUE(pic.LoadBytes(still));
    EXPECT_FALSE(pic.IsAnimated());
    EXPECT_EQ(pic.FrameCount(), 1u);
    EXPECT_EQ(pic.Size().cx, info.frames[0].width);
    ASSERT_TRUE(pic.Draw());
    EXPECT_FALSE(pic.IsPlaying());
    EXPECT_EQ(pic.FramesShown(), 0u);
}

TEST_F(PictureWindow, OtherFormatsAndGarbage) {
    const std::string png(reinterpret_cast<const char*>(kPng), sizeof kPng);
    CPictureEx pic;
    ASSERT_TRUE(pic.Attach(control_));
    ASSERT_TRUE(pic.LoadBytes(png));
    EXPECT_FALSE(pic.IsAnimated());
    // Through the picture loader's HIMETRIC size at the screen's DPI, or WIC's pixels.
    EXPECT_EQ(pic.Size().cx, 3);
    EXPECT_EQ(pic.Size().cy, 2);
    EXPECT_TRUE(pic.Draw());
    EXPECT_FALSE(pic.LoadBytes("not a picture at all"));
    EXPECT_FALSE(pic.IsLoaded());
    EXPECT_FALSE(pic.Load(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(999), L"GIF")) << "missing resource";
    // A GIF whose frames cannot be read at all fails.
    EXPECT_FALSE(pic.LoadBytes(std::string("GIF89a\x04\x00\x02\x00\x00\x00\x00", 13) + ",\0\0\0\0\x04\0\x02\0\0\x02\x01\x00" +
                               ",\0\0\0\0\x04\0\x02\0\0\x02\x01\x00;"));
}

TEST(Picture, WicDecodesPngWithAlpha) {
    const std::string png(reinterpret_cast<const char*>(kPng), sizeof kPng);
    auto p = Picture::LoadWithWic(png);
    ASSERT_TRUE(p);
    EXPECT_TRUE(p->fromWic());
    EXPECT_EQ(p->width(), 3);
    EXPECT_EQ(p->height(), 2);
    // Drawn over white: the transparent pixel stays white, the others take their colour.
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, 3, 2);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(dc, bmp);
    RECT r{0, 0, 3, 2};
    FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    p->Render(dc, 0, 0, 3, 2);
    EXPECT_EQ(GetPixel(dc, 0, 0), RGB(255, 0, 0));
    EXPECT_EQ(GetPixel(dc, 1, 0), RGB(0, 0, 255));
    EXPECT_EQ(GetPixel(dc, 2, 1), RGB(255, 255, 255));
    SelectObject(dc, old);
    DeleteObject(bmp);
    DeleteDC(dc);
    EXPECT_FALSE(Picture::LoadWithWic("garbage"));
}
