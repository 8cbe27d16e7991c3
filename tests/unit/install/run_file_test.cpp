#include "install/run_file.h"

#include <gtest/gtest.h>

namespace {

TEST(ProgramWaitMsFrom, Table) {
    const struct {
        const wchar_t* text;
        DWORD expected;
    } cases[] = {
        {L"", 1800 * 1000},           // not set: the default
        {L"  ", 1800 * 1000},
        {L"5", 5000},
        {L"0", 1000},                 // never "no cap" nor "no wait"
        {L"-3", 1000},
        {L"abc", 1800 * 1000},        // not a number: the default
        {L"86400", 86400u * 1000},
        {L"999999999", 86400u * 1000},  // a huge value cannot become a wait for ever
    };
    for (const auto& c : cases) EXPECT_EQ(ProgramWaitMsFrom(c.text), c.expected) << c.text;
}

}  // namespace
