#include "download/segmented.h"

#include <utility>

#include <gtest/gtest.h>

namespace {

TEST(PlanSegments, Table) {
    struct Case {
        long size, threads, segmentSize, count;
    };
    const Case cases[] = {
        {100000, 8, 51200, 2},          // 9216 in whole KiB: raised to the minimum
        {10485760, 8, 983040, 11},      // 960 KiB, the last segment 655360 bytes
        {52428800, 8, 4915200, 11},
        {51200, 8, 51200, 1},
        {1, 8, 51200, 1},
        {10485760, 1, 7864320, 2},
        {10485760, 100, 77824, 135},
        {0x7FFFFFFE, 100, 16105472, 134},  // no overflow just below 2 GiB
    };
    for (const Case& c : cases) {
        const SegmentPlan p = PlanSegments(c.size, c.threads);
        EXPECT_EQ(p.segmentSize, c.segmentSize) << c.size << "/" << c.threads;
        EXPECT_EQ(p.count, c.count) << c.size << "/" << c.threads;
    }
    EXPECT_EQ(PlanSegments(0, 8).count, 0);
}

TEST(PlanSegments, OffsetsAndLengthsCoverTheFile) {
    const SegmentPlan p = PlanSegments(10485760, 8);
    EXPECT_EQ(SegmentOffset(p, 10), 9830400);
    EXPECT_EQ(SegmentLength(p, 10485760, 10), 655360);
    EXPECT_EQ(SegmentLength(p, 10485760, 0), 983040);
    const SegmentPlan q = PlanSegments(100000, 8);
    EXPECT_EQ(SegmentLength(q, 100000, 1), 48800);
}

TEST(SplitPoint, Table) {
    struct Case {
        long position, end, minPiece, expected;
    };
    const Case cases[] = {
        {0, 4194304, 262144, 2097152},        // the middle
        {1000, 4195304, 262144, 2098176},     // rounded up to whole KiB
        {0, 524287, 262144, -1},              // too little for two pieces
        {0, 524288, 262144, 262144},
        {4000000, 4000000, 262144, -1},       // nothing left
    };
    for (const Case& c : cases) EXPECT_EQ(SplitPoint(c.position, c.end, c.minPiece), c.expected) << c.position;
}

TEST(WorthSplitting, Table) {
    EXPECT_FALSE(WorthSplitting(4000000, 0, 5000));           // no rate yet
    EXPECT_FALSE(WorthSplitting(4000000, 400000, 100));       // has not run long enough
    EXPECT_TRUE(WorthSplitting(4000000, 400000, 1000));       // 10 s left at its rate
    EXPECT_FALSE(WorthSplitting(4000000, 40000000, 1000));    // 0.1 s left: a fast server
}

TEST(ParseContentRange, Table) {
    struct Case {
        const wchar_t* text;
        bool ok;
        long long first, total;
    } cases[] = {
        {L"bytes 0-51199/100000", true, 0, 100000},
        {L"bytes 0-99/100", true, 0, 100},
        {L"bytes 51200-99999/100000", true, 51200, 100000},
        {L"bytes */0", true, -1, 0},              // nothing to send: an empty file
        {L"Bytes 0-9/3000000000", true, 0, 3000000000LL},
        {L"bytes 0-99/*", false, 0, 0},           // total unknown
        {L"bytes 0-100/100", false, 0, 0},        // last byte beyond the end
        {L"bytes 10-5/100", false, 0, 0},
        {L"items 0-9/10", false, 0, 0},
        {L"", false, 0, 0},
    };
    for (const Case& c : cases) {
        long long first = -2, total = -2;
        EXPECT_EQ(ParseContentRange(c.text, first, total), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(std::make_pair(first, total), std::make_pair(c.first, c.total)) << c.text;
        }
    }
}

TEST(ClassifyResponse, Table) {
    struct Case {
        DWORD status;
        bool ranged;
        ResponseUse use;
    };
    const Case cases[] = {
        {200, false, ResponseUse::Body},         {206, true, ResponseUse::Body},
        {200, true, ResponseUse::DiscardPrefix}, {206, false, ResponseUse::Retry},
        {404, false, ResponseUse::Missing},      {404, true, ResponseUse::Missing},
        {500, true, ResponseUse::Retry},         {416, true, ResponseUse::Retry},
        {0, true, ResponseUse::Retry},           {302, false, ResponseUse::Retry},
    };
    for (const Case& c : cases) EXPECT_EQ(ClassifyResponse(c.status, c.ranged), c.use) << c.status << c.ranged;
}

TEST(ThreadValueStore, KeysAndValues) {
    EXPECT_EQ(ThreadValueKey(0xE0002, 7), 0x000E000200000007ULL);
    EXPECT_EQ(ThreadValueKey(0xE0002, -1), 0xFFFFFFFFFFFFFFFFULL);  // a negative id fills the high word
    const long id = 0x7FFF0001;
    EXPECT_EQ(GetThreadValue(kTagRunning, id), 0);
    EXPECT_EQ(AddThreadValue(kTagRunning, id, 2), 2);
    EXPECT_EQ(AddThreadValue(kTagRunning, id, -2), 0);
    SetThreadValue(kTagAbort, id, kAbortValue);
    EXPECT_EQ(GetThreadValue(kTagAbort, id), kAbortValue);
    EXPECT_EQ(GetThreadValue(kTagAbort, id + 1), 0);
}

TEST(CMyDownload, IdsAreUniqueAndThreadsDefaultToEight) {
    CMyDownload a, b;
    EXPECT_EQ(b.id, a.id + 1);
    EXPECT_EQ(a.threads, 8);
}

TEST(PartFileName, Format) { EXPECT_EQ(PartFileName(L"C:\\t\\x.dll", 3), L"C:\\t\\x.dll.part3"); }

}  // namespace
