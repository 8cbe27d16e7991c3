#include "download/low_speed.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Arrival {
    uint64_t bytes;
    uint64_t atMs;
};

struct Case {
    const char* name;
    LowSpeedLimit limit;
    std::vector<Arrival> arrivals;  // the watch starts at 0 ms
    int slowAt;                     // index of the first arrival that finds it too slow; -1: never
};

TEST(LowSpeedWatch, Table) {
    const Case cases[] = {
        {"a trickle of 3 bytes a second", {1024, 5}, {{3, 1000}, {3, 2000}, {3, 3000}, {3, 4000}, {3, 4999}, {3, 5000}}, 5},
        {"nothing at all, seen after a failed wait", {1024, 5}, {{0, 5000}}, 0},
        {"a wait just short of the time", {1024, 5}, {{0, 4999}}, -1},
        {"fast enough in every window", {1024, 5}, {{5120, 4000}, {5120, 8000}, {5120, 12000}}, -1},
        // A window starts again when it has brought limit * time bytes: a burst then a stall
        // is slow from the burst on.
        {"a burst, then a stall", {1024, 5}, {{5120, 1000}, {0, 5999}, {0, 6000}}, 2},
        {"just under the limit on average", {1024, 5}, {{1023, 1000}, {1023, 2000}, {1023, 3000}, {1023, 4000}, {1023, 5000}}, 4},
        {"exactly the limit", {1024, 5}, {{1024, 1000}, {1024, 2000}, {1024, 3000}, {1024, 4000}, {1024, 5000}, {0, 9999}}, -1},
        {"limit 0: off", {0, 5}, {{0, 100000}}, -1},
        {"time 0: off", {1024, 0}, {{0, 100000}}, -1},
        // Once too slow it stays so, whatever arrives later.
        {"too slow stays", {10, 1}, {{0, 1000}, {1000000, 1001}}, 0},
    };
    for (const Case& c : cases) {
        LowSpeedWatch watch(c.limit, 0);
        int slowAt = -1;
        for (size_t i = 0; i < c.arrivals.size(); ++i) {
            const bool slow = watch.Add(c.arrivals[i].bytes, c.arrivals[i].atMs);
            if (slow && slowAt < 0) slowAt = static_cast<int>(i);
            if (slowAt >= 0) {
                EXPECT_TRUE(slow) << c.name << " arrival " << i;
            }
        }
        EXPECT_EQ(slowAt, c.slowAt) << c.name;
        EXPECT_EQ(watch.TooSlow(), c.slowAt >= 0) << c.name;
    }
}

}  // namespace
