#include "check/check_schedule.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(SpreadOffsetSeconds, StaysWithinATenthOfThePeriodAndTenMinutes) {
    struct Case {
        long long period, most;
    } cases[] = {
        {3600, 360},      // an hour: up to 6 minutes
        {6000, 600},      // exactly the cap
        {24 * 3600, 600}, // a day: still at most 10 minutes
        {300, 30},        // the tray's shortest period
        {9, 0},           // too short to spread
        {0, 0},
        {-60, 0},
    };
    for (const Case& c : cases) {
        CheckRandom random(12345);
        std::set<long long> seen;
        for (int i = 0; i < 2000; ++i) {
            const long long offset = SpreadOffsetSeconds(c.period, random);
            ASSERT_GE(offset, 0) << c.period;
            ASSERT_LE(offset, c.most) << c.period;
            seen.insert(offset);
        }
        // The offsets really spread: both ends of the range are reached.
        EXPECT_EQ(*seen.begin(), 0) << c.period;
        EXPECT_EQ(*seen.rbegin(), c.most) << c.period;
    }
}

TEST(SpreadOffsetSeconds, SameSeedSameSequenceOtherSeedOtherSequence) {
    CheckRandom a(7), b(7), c(8);
    std::vector<long long> sa, sb, sc;
    for (int i = 0; i < 20; ++i) {
        sa.push_back(SpreadOffsetSeconds(3600, a));
        sb.push_back(SpreadOffsetSeconds(3600, b));
        sc.push_back(SpreadOffsetSeconds(3600, c));
    }
    EXPECT_EQ(sa, sb);
    EXPECT_NE(sa, sc);
}

TEST(BackoffSeconds, DoublesFromTheFirstRetryAndStopsAtThePeriod) {
    struct Case {
        long long period;
        int failures;
        long long delay;
    } cases[] = {
        {3600, 0, 3600}, {3600, 1, 60},   {3600, 2, 120},  {3600, 3, 240},
        {3600, 6, 1920}, {3600, 7, 3600}, {3600, 1000, 3600},  // capped, no overflow
        {300, 3, 240},   {300, 4, 300},   {30, 1, 30},     // a period below the first retry
        {0, 3, 0},       {3600, -1, 3600},
    };
    for (const Case& c : cases) EXPECT_EQ(BackoffSeconds(c.period, c.failures), c.delay) << c.period << "/" << c.failures;
}

TEST(NextCheckDelaySeconds, BackoffPlusSpread) {
    CheckRandom random(99);
    for (int failures : {0, 1, 3, 50}) {
        for (int i = 0; i < 200; ++i) {
            const long long d = NextCheckDelaySeconds(3600, failures, random);
            ASSERT_GE(d, BackoffSeconds(3600, failures));
            ASSERT_LE(d, BackoffSeconds(3600, failures) + 360);
        }
    }
    for (int i = 0; i < 200; ++i) {
        const long long d = FirstCheckDelaySeconds(3600, random);
        ASSERT_GE(d, 0);
        ASSERT_LE(d, 360);
    }
}

TEST(TrayPeriodSeconds, ZeroOrLessIsFiveMinutesSixtyOrMoreIsSixty) {
    // Not a clamp to 5..60: a period of one to four minutes stays as it is.
    struct Case {
        long minutes;
        long long seconds;
    } cases[] = {{0, 300}, {-4, 300}, {1, 60}, {4, 240}, {5, 300}, {30, 1800}, {59, 3540}, {60, 3600}, {61, 3600},
                 {600, 3600}};
    for (const Case& c : cases) EXPECT_EQ(TrayPeriodSeconds(c.minutes), c.seconds) << c.minutes;
}

}  // namespace
