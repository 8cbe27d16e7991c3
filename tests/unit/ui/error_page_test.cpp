// The error page's addresses, its own action links and where it may navigate.
#include <gtest/gtest.h>

#include "ui/error_page.h"

namespace {
const std::wstring kExe = L"C:\\Brenwick\\omra\\App\\mirovane.exe";
const std::wstring kBase = BuiltInPageBase(kExe);
const std::wstring kSite = L"https://www.example.test";
}  // namespace

TEST(ErrorPage, AddressesAndPlanId) {
    EXPECT_EQ(SubstitutePlanId(L"a?action=ReDownLoad&id={PlanId}", L"42"), L"a?action=ReDownLoad&id=42");
    EXPECT_EQ(SubstitutePlanId(L"a?id={PlanId}", L""), L"a?id=");
    // An id cannot smuggle in a parameter of its own.
    EXPECT_EQ(SubstitutePlanId(L"a?id={PlanId}", L"1&action=closeApp"), L"a?id=1%26action%3DcloseApp");
    EXPECT_EQ(SubstitutePlanId(L"a?id={PlanId}", L"\u4e2d 1"), L"a?id=%E4%B8%AD%201");
    EXPECT_EQ(RemoteErrorPageAddress(kSite, L"7"), L"https://www.example.test/DigitalLibrary/ExeMiddle.aspx?id=7");
    EXPECT_EQ(ReDownloadPageAddress(kSite, L""), L"https://www.example.test/DigitalLibrary/show.aspx?id=");

    struct Case {
        const wchar_t* address;
        const wchar_t* expected;
    } cases[] = {
        {L"https://h/p.html", L"https://h/p.html"},  // any scheme is absolute, https included
        {L"http://h/p.html", L"http://h/p.html"},
        {L"res://x.exe/103", L"res://x.exe/103"},
        {L"file:///C:/p.html", L"file:///C:/p.html"},
        {L"page.html", L"file:///C:\\app\\page.html"},
        {L"C:\\p.html", L"file:///C:\\app\\C:\\p.html"},  // a drive letter is not a scheme
        {L"", L"file:///C:\\app\\"},
    };
    for (const Case& c : cases) EXPECT_EQ(ErrorPageAddress(c.address, L"C:\\app\\"), c.expected) << c.address;
}

TEST(ErrorPage, OnlyTheBuiltInPagesOwnLinksInTheTopFrameAct) {
    struct Case {
        std::wstring url;
        bool top;
        ErrorPageAction expected;
    } cases[] = {
        {kBase + L"a?action=closeApp", true, ErrorPageAction::Close},
        {kBase + L"a?action=ReDownLoad&id=42", true, ErrorPageAction::Retry},
        {kBase + L"a?id=&action=ReDownLoad", true, ErrorPageAction::Retry},
        {L"RES://C:\\BRENWICK\\omra\\App\\mirovane.exe/a?action=closeApp", true, ErrorPageAction::Close},
        // The path as the browser may hand it back: escaped, with forward slashes.
        {L"res://C:/Brenwick/omra%5CApp/mirovane.exe/a?action=closeApp", true, ErrorPageAction::Close},
        {L"res://C:%5CBrenwick%5Comra%5CApp%5Cmirovane.exe/a?action=ReDownLoad", true, ErrorPageAction::Retry},
        {L"res://C:%5CBrenwick%5Comra%5CApp%5Cmirovane.ex", true, ErrorPageAction::None},
        {kBase + L"a?action=closeApp", false, ErrorPageAction::None},  // a frame
        {kBase + L"a?action=closeApp&action=ReDownLoad", true, ErrorPageAction::None},
        {kBase + L"a?xaction=closeApp", true, ErrorPageAction::None},
        {kBase + L"a?action=closeAppX", true, ErrorPageAction::None},
        {kBase + L"b?action=closeApp", true, ErrorPageAction::None},
        {kBase + L"a#?action=closeApp", true, ErrorPageAction::None},
        // Someone else's page naming the action: no effect.
        {L"https://evil.test/a?action=closeApp", true, ErrorPageAction::None},
        {L"https://www.example.test/x?q=action=ReDownLoad", true, ErrorPageAction::None},
        {L"res://C:\\other.exe/a?action=closeApp", true, ErrorPageAction::None},
    };
    for (const Case& c : cases) EXPECT_EQ(ErrorPageLinkAction(c.url, kBase, c.top), c.expected) << c.url;
    EXPECT_EQ(ErrorPageLinkAction(L"a?action=closeApp", L"", true), ErrorPageAction::None);
}

TEST(ErrorPage, NavigationStaysOnTheBuiltInPageAndTheHttpsSite) {
    struct Case {
        std::wstring url;
        bool allowed;
    } cases[] = {
        {kBase + L"103", true},
        {kBase + L"box.png", true},
        {L"about:blank", true},
        {L"https://www.example.test/DigitalLibrary/show.aspx?id=1", true},
        {L"HTTPS://WWW.EXAMPLE.TEST/x", true},
        {L"http://www.example.test/x", false},
        {L"https://www.example.test.evil.test/x", false},
        {L"https://evil.test/?https://www.example.test", false},
        {L"https://www.example.test@evil.test/", false},
        {L"file:///C:/windows/system32/cmd.exe", false},
        {L"javascript:alert(1)", false},
        {L"res://C:\\other.exe/103", false},
        {L"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(ErrorPageNavigationAllowed(c.url, kBase, kSite), c.allowed) << c.url;
    // A site that is not https allows nothing outside the built-in page.
    EXPECT_FALSE(ErrorPageNavigationAllowed(L"http://www.example.test/x", kBase, L"http://www.example.test"));
}

TEST(ErrorPage, BrowserEventsGoThroughOneVerdict) {
    using V = BrowserVerdict;
    const auto B = ErrorPageKind::BuiltIn;
    const auto R = ErrorPageKind::Remote;
    const std::wstring show = L"https://www.example.test/DigitalLibrary/show.aspx?id=4%262";
    struct Case {
        std::wstring url;
        bool top;
        bool newWindow;
        ErrorPageKind shown;
        BrowserVerdict expected;
    } cases[] = {
        // The built-in page and its own links, while it is shown.
        {kBase + L"103", true, false, ErrorPageKind::None, {V::Allow, {}}},
        {kBase + L"box.png", false, false, B, {V::Allow, {}}},
        {kBase + L"a?action=closeApp", true, false, B, {V::Close, {}}},
        {kBase + L"a?action=ReDownLoad&id=%7BPlanId%7D", true, false, B, {V::Retry, {}}},
        {kBase + L"DigitalLibrary/show.aspx?id={PlanId}", false, true, B, {V::OpenOutside, show}},
        {kBase + L"digitallibrary/show.aspx?id=", true, false, B, {V::OpenOutside, show}},
        // Its action links do nothing from a frame, a new window, or while another page is shown.
        {kBase + L"a?action=closeApp", false, false, B, {V::Cancel, {}}},
        {kBase + L"a?action=closeApp", true, true, B, {V::Cancel, {}}},
        {kBase + L"a?action=closeApp", true, false, R, {V::Cancel, {}}},
        {kBase + L"a?action=ReDownLoad", true, false, ErrorPageKind::None, {V::Cancel, {}}},
        {kBase + L"DigitalLibrary/show.aspx?id=1", true, false, R, {V::Allow, {}}},  // stays on the page
        {kBase + L"DigitalLibrary/show.aspx?id=1", true, true, R, {V::Cancel, {}}},
        // The https site in the control; a new window of it in the default browser.
        {L"https://www.example.test/DigitalLibrary/ExeMiddle.aspx?id=1", true, false, R, {V::Allow, {}}},
        {L"https://www.example.test/x", true, true, R, {V::OpenOutside, L"https://www.example.test/x"}},
        {L"https://www.example.test/x", false, false, B, {V::Allow, {}}},
        // Anything else is cancelled, in place and as a new window.
        {L"http://www.example.test/x", true, false, R, {V::Cancel, {}}},
        {L"https://evil.test/a?action=closeApp", true, false, B, {V::Cancel, {}}},
        {L"https://evil.test/", true, true, B, {V::Cancel, {}}},
        {L"file:///C:/windows/system32/cmd.exe", true, true, B, {V::Cancel, {}}},
        {L"res://ieframe.dll/navcancl.htm", true, false, R, {V::Cancel, {}}},
        {L"about:blank", true, true, B, {V::Cancel, {}}},
        {L"", true, false, B, {V::Cancel, {}}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ErrorPageBrowserVerdict(c.url, c.top, c.newWindow, c.shown, kBase, kSite, L"4&2"), c.expected)
            << c.url << " top=" << c.top << " new=" << c.newWindow;
}

TEST(ErrorPage, AFailedPageFallsBackOnceToTheBuiltInPageThenThePlainDialog) {
    EXPECT_EQ(ErrorPageLoadFailure(L"https://www.example.test/DigitalLibrary/ExeMiddle.aspx?id=1", true, kBase),
              LoadFailure::ShowBuiltIn);
    EXPECT_EQ(ErrorPageLoadFailure(kBase + L"103", true, kBase), LoadFailure::PlainDialog);
    EXPECT_EQ(ErrorPageLoadFailure(kBase + L"box.png", false, kBase), LoadFailure::Ignore);
    EXPECT_EQ(ErrorPageLoadFailure(L"https://ads.test/frame", false, kBase), LoadFailure::Ignore);
    EXPECT_EQ(ErrorPageKindOf(L"", kBase), ErrorPageKind::None);
    EXPECT_EQ(ErrorPageKindOf(kBase + L"103", kBase), ErrorPageKind::BuiltIn);
    EXPECT_EQ(ErrorPageKindOf(L"https://www.example.test/", kBase), ErrorPageKind::Remote);
}
