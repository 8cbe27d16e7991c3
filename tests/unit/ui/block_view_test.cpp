// The download block view's arithmetic, including the sizes that used to divide by zero or
// loop for ever, and its message matching.
#include <gtest/gtest.h>

#include "ui/block_view.h"

TEST(BlockLayout, CasesIncludingDegenerateSizes) {
    struct Case {
        long file, segment, width, height;
        long columns, perSegment, unit, total;
        bool scrolls;
    } cases[] = {
        // 10 MiB in 983040-byte segments on 300 x 200: k = 81, 55 blocks of 81 units per segment.
        {10485760, 983040, 300, 200, 30, 55, 81, 587, false},
        // Small file over one connection: the 20-block minimum and a unit of at least 1.
        {1000, 1000, 300, 200, 30, 20, 1, 20, false},
        {0, 0, 300, 200, 30, 20, 1, 0, false},
        {100, 0, 300, 200, 30, 20, 1, 20, false},  // no segment size: one segment of the file
        // A view smaller than one block: capacity 1, still an answer.
        {10485760, 983040, 5, 5, 1, 20, 225, 213, true},
        // Zero-sized view.
        {51200, 51200, 0, 0, 1, 20, 11, 20, true},
        // Many rows: a scroll bar takes 18 pixels from the columns.
        {2000000, 51200, 100, 20, 8, 20, 11, 781, true},
    };
    for (const Case& c : cases) {
        const BlockLayout l = LayoutBlocks(c.file, c.segment, c.width, c.height);
        EXPECT_EQ(l.columns, c.columns) << c.file << " " << c.width;
        EXPECT_EQ(l.blocksPerSegment, c.perSegment) << c.file << " " << c.width;
        EXPECT_EQ(l.blockUnit, c.unit) << c.file << " " << c.width;
        EXPECT_EQ(l.totalBlocks, c.total) << c.file << " " << c.width;
        EXPECT_EQ(l.scrolls, c.scrolls) << c.file << " " << c.width;
        EXPECT_GE(l.columns, 1);
        EXPECT_GE(l.blockUnit, 1);
    }
    // The worst sizes a download can announce finish at once.
    const BlockLayout big = LayoutBlocks(0x7FFFFFFE, 0x7FFFFFFE, 1, 1);
    EXPECT_GE(big.blockUnit, 1);
    EXPECT_GT(big.totalBlocks, 0);
}

TEST(BlockLayout, DoneBlocksCellsAndScrollHeight) {
    const BlockLayout l = LayoutBlocks(10485760, 983040, 300, 200);
    EXPECT_EQ(DoneBlocks(0, l), 0);
    EXPECT_EQ(DoneBlocks(218 * 81 - 1, l), 0);
    EXPECT_EQ(DoneBlocks(218 * 81, l), 1);
    EXPECT_EQ(DoneBlocks(983040, l), 55);  // a whole segment is all its blocks
    EXPECT_EQ(DoneBlocks(-5, l), 0);
    BlockLayout zero;
    zero.blockUnit = 0;
    EXPECT_EQ(DoneBlocks(218 * 3, zero), 3);

    const RECT r = BlockCellRect(31, 30);
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.top, 10);
    EXPECT_EQ(r.right, 20);
    EXPECT_EQ(r.bottom, 20);
    EXPECT_EQ(BlockCellRect(3, 0).left, 0);  // no columns: one column
    EXPECT_EQ(BlockScrollHeight(l), 587 / 30 * 10 + 15);
}

TEST(BlockProgress, FileIndexComparedAsSixteenBits) {
    struct Case {
        WPARAM wParam;
        int watched;
        bool matches;
        long segment;
    } cases[] = {
        {(3u << 16) | 0xFFFFu, -1, true, 3},  // the .NET download's index -1
        {0xFFFFu, -1, true, 0},
        {(2u << 16) | 5u, 5, true, 2},
        {(2u << 16) | 5u, 6, false, 2},
        {(1u << 16) | 0x0001u, 0x10001, true, 1},
        {0xFFFEu, -1, false, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BlockProgressFor(c.wParam, c.watched), c.matches) << c.wParam;
        EXPECT_EQ(BlockProgressSegment(c.wParam), c.segment) << c.wParam;
    }
}
