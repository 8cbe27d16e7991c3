// The skinned button's drawing state and its radio group.
#include "ui/fx_button.h"

#include <gtest/gtest.h>
#include <windows.h>

using mv::CFxButton;

TEST(FxButton, DrawingStateAndRadioGroup) {
    HWND top = CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(top);
    HWND a = CreateWindowExW(0, L"Button", L"a", WS_CHILD | WS_VISIBLE | WS_GROUP, 0, 0, 50, 20, top, nullptr, nullptr, nullptr);
    HWND b = CreateWindowExW(0, L"Button", L"b", WS_CHILD | WS_VISIBLE, 60, 0, 50, 20, top, nullptr, nullptr, nullptr);
    CFxButton fa, fb;
    ASSERT_TRUE(fa.Attach(a));
    ASSERT_TRUE(fb.Attach(b));
    EXPECT_EQ(CFxButton::FromWindow(a), &fa);
    EXPECT_EQ(GetWindowLongW(a, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
    struct {
        UINT itemState;
        CFxButton::State want;
    } cases[] = {
        {0, CFxButton::StateNormal},
        {ODS_SELECTED, CFxButton::StatePressed},
        {ODS_DISABLED, CFxButton::StateDisabled},
        {ODS_DISABLED | ODS_SELECTED, CFxButton::StateDisabled},
        {ODS_FOCUS, CFxButton::StateNormal},
    };
    for (auto& c : cases) {
        DRAWITEMSTRUCT item{};
        item.itemState = c.itemState;
        EXPECT_EQ(fa.CurrentState(&item), c.want) << c.itemState;
    }
    // A checked radio button clears the others of its group, which then draw normal again.
    fa.SetRadio(true);
    fb.SetRadio(true);
    SendMessageW(b, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(a, BM_SETCHECK, BST_CHECKED, 0);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    EXPECT_EQ(SendMessageW(a, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(SendMessageW(b, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    DRAWITEMSTRUCT item{};
    EXPECT_EQ(fa.CurrentState(&item), CFxButton::StatePressed);
    EXPECT_EQ(fb.CurrentState(&item), CFxButton::StateNormal);
    DestroyWindow(top);
}
