// FrameworkTest.cpp: the dialog framework and the tool button, in the test process itself, on the
// program's own templates.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <vector>

#include "resource.h"
#include "ui/Dlg.h"
#include "ui/ToolButton.h"

namespace
{
struct SWindows
{
    SWindows()
    {
        g_hInstance = GetModuleHandleA(nullptr);
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_BAR_CLASSES | ICC_TAB_CLASSES | ICC_INTERNET_CLASSES};
        InitCommonControlsEx(&icc);
    }
};

void Pump()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
    {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

RECT WorkArea(HWND hWnd)
{
    MONITORINFO mi = {sizeof(mi)};
    GetMonitorInfoA(MonitorFromWindow(hWnd, MONITOR_DEFAULTTOPRIMARY), &mi);
    return mi.rcWork;
}

// A modeless About box that records the commands it receives and may move itself.
class CProbeDlg : public CModelessDlg
{
public:
    explicit CProbeDlg(bool bMoveItself) : CModelessDlg(IDD_ABOUT), bMove(bMoveItself) {}
    ~CProbeDlg() override
    {
        if (hWnd)
            DestroyWindow(hWnd);
    }
    INT_PTR OnInitDialog() override
    {
        if (bMove)
            SetWindowPos(hWnd, nullptr, 3, 5, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        return 1;
    }
    INT_PTR OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) override
    {
        if (nMsg == WM_COMMAND)
            commands.push_back(LOWORD(wParam));
        return 0;
    }
    std::vector<UINT> commands;

private:
    bool bMove;
};

TEST(Framework, CenterPositionCentresOnTheReferenceAndClampsToTheWorkArea)
{
    const RECT rcWork = {0, 0, 1024, 740};
    const RECT rcOwner = {100, 100, 301, 201};
    POINT pt = CenterPosition(rcOwner, rcWork, 100, 50);
    EXPECT_EQ(150, pt.x); // (100 + 301) / 2 - 50
    EXPECT_EQ(125, pt.y);
    // A monitor left of the primary one: the division rounds toward zero, -150 and not -151.
    const RECT rcLeftWork = {-1000, 0, 0, 740};
    const RECT rcLeftOwner = {-301, 0, 0, 100};
    EXPECT_EQ(-200, CenterPosition(rcLeftOwner, rcLeftWork, 100, 50).x);
    // An owner half off the left or the bottom edge: the dialog stays on the work area.
    const RECT rcOffLeft = {-300, 600, 100, 900};
    pt = CenterPosition(rcOffLeft, rcWork, 300, 200);
    EXPECT_EQ(0, pt.x);
    EXPECT_EQ(540, pt.y);
    const RECT rcOffRight = {900, 10, 1300, 60};
    pt = CenterPosition(rcOffRight, rcWork, 300, 20);
    EXPECT_EQ(724, pt.x);
    EXPECT_EQ(25, pt.y);
}

TEST(Framework, DialogsAreCentredUnlessTheyPlaceThemselvesAndLeaveTheMapWhenDestroyed)
{
    static SWindows windows;
    int nMapped = g_wndMap.GetSize();
    {
        CProbeDlg centred(false);
        ASSERT_TRUE(centred.Create(nullptr));
        EXPECT_EQ(nMapped + 1, g_wndMap.GetSize());
        RECT rc, rcWork = WorkArea(centred.GetHwnd());
        GetWindowRect(centred.GetHwnd(), &rc);
        POINT pt = CenterPosition(rcWork, rcWork, rc.right - rc.left, rc.bottom - rc.top);
        EXPECT_EQ(pt.x, rc.left);
        EXPECT_EQ(pt.y, rc.top);

        CProbeDlg moved(true);
        ASSERT_TRUE(moved.Create(nullptr));
        GetWindowRect(moved.GetHwnd(), &rc);
        EXPECT_EQ(3, rc.left);
        EXPECT_EQ(5, rc.top);
    }
    Pump();
    EXPECT_EQ(nMapped, g_wndMap.GetSize());
}

TEST(Framework, ToolButtonSendsItsCommandOnlyForAPressReleasedOverIt)
{
    static SWindows windows;
    CProbeDlg dlg(false);
    ASSERT_TRUE(dlg.Create(nullptr));
    ShowWindow(dlg.GetHwnd(), SW_SHOW);
    HWND hHeader = CreateWindowExA(0, "STATIC", " Allowed IP Addresses", WS_CHILD | WS_VISIBLE | SS_SUNKEN, 10, 10,
                                   200, 24, dlg.GetHwnd(), (HMENU)IDC_RANGES_HEADER, g_hInstance, nullptr);
    const UINT arrTips[] = {IDS_TIP_ADD, IDS_TIP_REMOVE, IDS_TIP_MODIFY};
    const UINT arrIds[] = {IDC_ADD_RANGE, IDC_REMOVE_RANGE, IDC_MODIFY_RANGE};
    CToolButtonBar bar(arrTips, arrIds, 3, IDB_TOOLS);
    ASSERT_TRUE(bar.Attach(hHeader));

    // Button 0 leftmost, the last at the right end of the header.
    HWND hAdd = GetDlgItem(hHeader, IDC_ADD_RANGE), hModify = GetDlgItem(hHeader, IDC_MODIFY_RANGE);
    ASSERT_TRUE(hAdd && hModify);
    RECT rcAdd, rcModify, rcHeader;
    GetWindowRect(hAdd, &rcAdd);
    GetWindowRect(hModify, &rcModify);
    GetWindowRect(hHeader, &rcHeader);
    EXPECT_EQ(44, rcModify.left - rcAdd.left);
    EXPECT_EQ(rcHeader.right - 1, rcModify.right);

    SendMessageA(hAdd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
    EXPECT_TRUE(bar.GetButton(0)->IsPressed());
    SendMessageA(hAdd, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
    ASSERT_EQ(1u, dlg.commands.size());
    EXPECT_EQ((UINT)IDC_ADD_RANGE, dlg.commands[0]);

    // Pressed, dragged out, back in and released: nothing.
    SendMessageA(hModify, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
    SendMessageA(hModify, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(200, 4));
    EXPECT_FALSE(bar.GetButton(2)->IsPressed());
    SendMessageA(hModify, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(4, 4));
    SendMessageA(hModify, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
    EXPECT_EQ(1u, dlg.commands.size());
    EXPECT_EQ(MA_NOACTIVATE, SendMessageA(hModify, WM_MOUSEACTIVATE, (WPARAM)dlg.GetHwnd(), 0));
}
} // namespace
