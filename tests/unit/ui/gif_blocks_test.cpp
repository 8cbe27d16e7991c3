// Reading the structure of GIF files: the shipped animations and hand-made damaged ones.
#include "ui/gif_blocks.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>

#include "resources/resource_ids.h"

namespace {

std::string Resource(int id) {
    HMODULE m = GetModuleHandleW(nullptr);
    HRSRC r = FindResourceW(m, MAKEINTRESOURCEW(id), L"GIF");
    if (!r) return {};
    return std::string(static_cast<const char*>(LockResource(LoadResource(m, r))), SizeofResource(m, r));
}

// A 4x2 GIF with a 2-colour global table, built block by block.
struct GifBuilder {
    std::string b = std::string("GIF89a\x04\x00\x02\x00\x80\x00\x00", 13) + std::string("\0\0\0\xff\xff\xff", 6);
    GifBuilder& Control(int disposal, int delay) {
        b += std::string("!\xF9\x04", 3);
        b += static_cast<char>(disposal << 2);
        b += static_cast<char>(delay & 0xFF);
        b += static_cast<char>(delay >> 8);
        b += std::string("\0\0", 2);
        return *this;
    }
    GifBuilder& Image(int left, int top, int w, int h, bool localTable = false) {
        b += ',';
        for (int v : {left, top, w, h}) {
            b += static_cast<char>(v & 0xFF);
            b += static_cast<char>(v >> 8);
        }
        b += static_cast<char>(localTable ? 0x80 : 0);
        if (localTable) b += std::string(6, '\x10');
        b += std::string("\x02\x02\x44\x01\x00", 5);  // code size, one sub-block, terminator
        return *this;
    }
    GifBuilder& Comment() { b += std::string("!\xFE\x03""abc\x00", 7); return *this; }
    GifBuilder& Application() { b += std::string("!\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19); return *this; }
    GifBuilder& PlainText() { b += std::string("!\x01\x0C", 3) + std::string(12, '\0') + std::string("\x02hi\x00", 4); return *this; }
    std::string End() { return b + ";"; }
};

}  // namespace

TEST(GifBlocks, ShippedAnimationsUseSeveralDisposalsAndDelays) {
    for (int id : {MV_GIF_FIRST, MV_GIF_SECOND}) {
        const std::string bytes = Resource(id);
        ASSERT_FALSE(bytes.empty()) << id;
        const gif::Info info = gif::Parse(bytes);
        EXPECT_TRUE(info.ok);
        EXPECT_EQ(info.width, 520);
        EXPECT_EQ(info.height, 350);
        EXPECT_EQ(info.globalTableSize, 48u);
        ASSERT_EQ(info.frames.size(), 16u);
        std::set<int> disposals, delays;
        for (const gif::Frame& f : info.frames) {
            disposals.insert(f.disposal);
            delays.insert(f.delay);
            EXPECT_LE(f.left + f.width, info.width);
            EXPECT_LE(f.top + f.height, info.height);
        }
        EXPECT_EQ(disposals, (std::set<int>{1, 2, 3}));
        EXPECT_TRUE(delays.count(0) || delays.count(4)) << "a delay shown for the minimum time";
        EXPECT_GE(delays.size(), 4u);
    }
}

TEST(GifBlocks, ExtensionsAndTablesAreWalked) {
    const std::string bytes = GifBuilder()
                                  .Application()
                                  .Comment()
                                  .Control(2, 7)
                                  .Image(1, 0, 3, 2, true)
                                  .PlainText()
                                  .Image(0, 1, 4, 1)
                                  .End();
    const gif::Info info = gif::Parse(bytes);
    ASSERT_TRUE(info.ok);
    ASSERT_EQ(info.frames.size(), 2u);
    EXPECT_EQ(info.frames[0].left, 1);
    EXPECT_EQ(info.frames[0].width, 3);
    EXPECT_EQ(info.frames[0].delay, 7);
    EXPECT_EQ(info.frames[0].disposal, 2);
    EXPECT_EQ(info.frames[1].top, 1);
    EXPECT_EQ(info.frames[1].delay, -1) << "no control extension";
    EXPECT_EQ(info.frames[1].disposal, 0);
}

TEST(GifBlocks, DamagedFilesKeepTheFramesBeforeTheFault) {
    const std::string good = GifBuilder().Control(1, 10).Image(0, 0, 4, 2).Control(1, 10).Image(0, 0, 4, 2).End();
    struct Case {
        const char* name;
        std::string bytes;
        bool ok;
        size_t frames;
    } cases[] = {
        {"whole", good, true, 2},
        {"no trailer", good.substr(0, good.size() - 1), false, 2},
        {"cut in the second image", good.substr(0, good.size() - 4), false, 1},
        {"cut in the header", good.substr(0, 10), false, 0},
        {"unknown block", GifBuilder().Image(0, 0, 4, 2).b + "\x07" + ";", false, 1},
        {"unknown extension", GifBuilder().Image(0, 0, 4, 2).b + "!\x42\x00;", false, 1},
        {"not a gif", std::string("\x89PNG\r\n\x1a\n", 8) + good.substr(8), false, 0},
        {"empty", "", false, 0},
        {"87a", "GIF87a" + good.substr(6), true, 2},
    };
    for (const Case& c : cases) {
        const gif::Info info = gif::Parse(c.bytes);
        EXPECT_EQ(info.ok, c.ok) << c.name;
        EXPECT_EQ(info.frames.size(), c.frames) << c.name;
    }
}

TEST(GifBlocks, CutFrameIsAGifOfOneFrameAtTheOrigin) {
    const std::string bytes = GifBuilder().Comment().Control(3, 9).Image(1, 1, 3, 1, true).Image(0, 0, 4, 2).End();
    const gif::Info info = gif::Parse(bytes);
    const std::string cut = gif::CutFrame(bytes, info, 0);
    const gif::Info one = gif::Parse(cut);
    ASSERT_TRUE(one.ok);
    EXPECT_EQ(one.width, 3);
    EXPECT_EQ(one.height, 1);
    ASSERT_EQ(one.frames.size(), 1u);
    EXPECT_EQ(one.frames[0].left, 0);
    EXPECT_EQ(one.frames[0].top, 0);
    EXPECT_EQ(one.frames[0].delay, 9);
    EXPECT_EQ(one.frames[0].disposal, 3);
    EXPECT_TRUE(gif::CutFrame(bytes, info, 2).empty());
}

TEST(GifBlocks, Rules) {
    struct {
        uint8_t packed;
        size_t size;
    } tables[] = {{0x00, 0}, {0x07, 0}, {0x80, 6}, {0x81, 12}, {0xF3, 48}, {0x87, 768}};
    for (auto& t : tables) EXPECT_EQ(gif::ColorTableSize(t.packed), t.size) << int(t.packed);
    struct {
        int delay;
        unsigned ms;
    } waits[] = {{-1, 100}, {0, 100}, {4, 100}, {5, 50}, {25, 250}, {65535, 655350}};
    for (auto& w : waits) EXPECT_EQ(gif::FrameWaitMs(w.delay), w.ms) << w.delay;
    struct {
        long himetric;
        int dpi, pixels;
    } sizes[] = {{2540, 96, 96}, {13229, 96, 500}, {13229, 144, 750}, {13, 96, 0}, {14, 96, 1}, {0, 96, 0}, {-14, 96, -1}};
    for (auto& s : sizes) {
        EXPECT_EQ(gif::HimetricToPixels(s.himetric, s.dpi), s.pixels) << s.himetric << "@" << s.dpi;
        EXPECT_EQ(gif::HimetricToPixels(s.himetric, s.dpi), MulDiv(s.himetric, s.dpi, 2540));
    }
}
