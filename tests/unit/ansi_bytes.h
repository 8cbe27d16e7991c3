// Expected bytes of a text in the machine's ANSI code page, written out by hand for the code
// pages the tests run under, so that no conversion of the product's builds what it is
// compared with.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

// `cp1252` on Western machines (Wine's default here), `cp936` on Simplified Chinese ones;
// any other code page fails the test that asks, naming it.
inline std::string AnsiBytes(const std::string& cp1252, const std::string& cp936) {
    const UINT acp = GetACP();
    if (acp == 1252) return cp1252;
    if (acp == 936) return cp936;
    ADD_FAILURE() << "no expected bytes written for ANSI code page " << acp;
    return "(no expected bytes for this code page)";
}
