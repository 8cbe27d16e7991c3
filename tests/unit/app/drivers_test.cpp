#include <gtest/gtest.h>

#include <climits>

#include "app/drivers.h"

TEST(Drivers, OfferCountIsTheVersionMarkerWhenOnlyTheVersionDiffers) {
    EXPECT_EQ(OfferCount(3, L"", L"1.0"), 3);
    EXPECT_EQ(OfferCount(3, L"1.0", L"1.0"), 3);
    EXPECT_EQ(OfferCount(0, L"2.0", L"1.0"), INT_MAX);
    EXPECT_EQ(OfferCount(5, L"2.0", L""), INT_MAX);
    EXPECT_EQ(OfferCount(0, L"", L""), 0);
}

TEST(Drivers, UninstallWalksUpToButNeverIncludingTheApplicationDirectory) {
    const std::wstring app = L"C:\\Brenwick\\omra\\Demo\\";
    using V = std::vector<std::wstring>;
    EXPECT_EQ(UninstallDirWalk(L"C:\\Brenwick\\omra\\Demo\\a\\b\\f.txt", app),
              (V{L"C:\\Brenwick\\omra\\Demo\\a\\b\\f.txt", L"C:\\Brenwick\\omra\\Demo\\a\\b", L"C:\\Brenwick\\omra\\Demo\\a"}));
    EXPECT_EQ(UninstallDirWalk(L"c:\\brenwick\\OMRA\\demo\\f.txt", app), (V{L"c:\\brenwick\\OMRA\\demo\\f.txt"}));
    EXPECT_EQ(UninstallDirWalk(L"C:\\Other\\f.txt", app), V{});
    EXPECT_EQ(UninstallDirWalk(L"C:\\Brenwick\\omra\\Demo", app), V{});
}
