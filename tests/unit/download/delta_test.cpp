#include "download/delta.h"

#include <gtest/gtest.h>

#include "../temp_dir.h"
#include "patch_maker.h"
#include "util/files.h"
#include "zstd.h"

namespace {

// Bytes that compress poorly on their own, so a patch works only through its base.
std::string Noise(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (char& c : s) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return s;
}

struct Versions {
    std::string base = Noise(300000, 1);
    std::string target;
    std::string patch;
    Versions() {
        target = base.substr(0, 100000) + "a few new bytes" + base.substr(120000) + Noise(5000, 2);
        std::wstring why;
        EXPECT_TRUE(MakePatch(base, target, patch, why)) << mv::ToUtf8(why);
    }
};

TEST(ApplyPatch, RebuildsTheNewVersionFromTheOld) {
    TempDir dir;
    Versions v;
    EXPECT_LT(v.patch.size(), v.target.size() / 10);
    std::wstring why;
    ASSERT_TRUE(ApplyPatch(v.base, v.patch, dir.File(L"out"), v.target.size(), why)) << mv::ToUtf8(why);
    std::string out;
    ASSERT_TRUE(mv::ReadFileBytes(dir.File(L"out"), out));
    EXPECT_TRUE(out == v.target);
}

TEST(ApplyPatch, RefusesAndLeavesNoFile) {
    Versions v;
    std::string otherBase = v.base;
    otherBase[50000] ^= 1;  // inside a part the new version reuses
    std::string flipped = v.patch;
    flipped[flipped.size() / 2] ^= 0x40;
    const struct {
        const char* what;
        std::string base, patch;
        uint64_t maxBytes;
    } cases[] = {
        {"another base (the frame checksum fails)", otherBase, v.patch, v.target.size()},
        {"a damaged patch", v.base, flipped, v.target.size()},
        {"a truncated patch", v.base, v.patch.substr(0, v.patch.size() - 7), v.target.size()},
        {"bytes after the patch", v.base, v.patch + "x", v.target.size()},
        {"no patch at all", v.base, "", v.target.size()},
        {"not a patch", v.base, "<html>not found</html>", v.target.size()},
        {"a result larger than allowed", v.base, v.patch, v.target.size() - 1},
    };
    for (const auto& c : cases) {
        TempDir dir;
        std::wstring why;
        EXPECT_FALSE(ApplyPatch(c.base, c.patch, dir.File(L"out"), c.maxBytes, why)) << c.what;
        EXPECT_FALSE(why.empty()) << c.what;
        EXPECT_FALSE(mv::FileExists(dir.File(L"out"))) << c.what;
    }
}

// A frame whose window is beyond the bound would make the updater reserve that much memory.
TEST(ApplyPatch, RefusesAWindowBeyondTheBound) {
    const std::string base = Noise(4096, 3), target = base + Noise(4096, 4);
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ASSERT_NE(cctx, nullptr);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, kMaxPatchWindowLog + 1);
    std::string patch(ZSTD_compressBound(target.size()), '\0');
    // Streamed in two steps, size unknown, so the frame keeps the window it was given.
    ZSTD_outBuffer out{patch.data(), patch.size(), 0};
    ZSTD_inBuffer first{target.data(), target.size() / 2, 0};
    ZSTD_compressStream2(cctx, &out, &first, ZSTD_e_continue);
    ZSTD_inBuffer rest{target.data() + target.size() / 2, target.size() - target.size() / 2, 0};
    const size_t left = ZSTD_compressStream2(cctx, &out, &rest, ZSTD_e_end);
    ZSTD_freeCCtx(cctx);
    ASSERT_EQ(left, 0u);
    patch.resize(out.pos);

    TempDir dir;
    std::wstring why;
    EXPECT_FALSE(ApplyPatch(base, patch, dir.File(L"out"), 1 << 30, why));
    EXPECT_NE(why.find(L"memory"), std::wstring::npos) << mv::ToUtf8(why);
    EXPECT_FALSE(mv::FileExists(dir.File(L"out")));
}

TEST(MakePatch, RefusesVersionsBeyondTheWindow) {
    // Only the sizes matter: the check comes before any encoding.
    const std::string half((1u << kMaxPatchWindowLog) / 2 + 1, 'x');
    std::string patch;
    std::wstring why;
    EXPECT_FALSE(MakePatch(half, half, patch, why));
    EXPECT_FALSE(why.empty());
}

}  // namespace
