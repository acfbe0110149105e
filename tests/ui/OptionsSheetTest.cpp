// OptionsSheetTest.cpp: the Options sheet's validation, its range list and what OK and Cancel
// leave in the live settings.
#include "ui/OptionsSheet.h"

#include <commctrl.h>
#include <prsht.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include "config/Settings.h"
#include "engine/AccessRules.h"
#include "resource.h"
#include "tests/support/EngineTestSupport.h"
#include "tests/support/win32/DialogDriver.h"

namespace
{
using gui::kDialogWaitMs;

INT_PTR RunSheet(const std::function<void(HWND hSheet)>& pfnDrive)
{
    HWND hSheet = nullptr;
    return gui::RunDriven([&] { return RunOptionsSheet(nullptr, &hSheet); },
                          [&]
                          {
                              HWND hFound = gui::WaitForDialog("Options");
                              ASSERT_TRUE(hFound != nullptr && hFound == hSheet);
                              pfnDrive(hFound);
                          });
}

// Shows the Access Restrictions page and returns it.
HWND ShowAccessPage(HWND hSheet)
{
    PostMessageA(hSheet, PSM_SETCURSEL, 1, 0);
    gui::WaitFor([&] { return gui::WindowText(gui::CurrentPage(hSheet)) == "Access Restrictions"; },
                 kDialogWaitMs);
    return gui::CurrentPage(hSheet);
}

// OK (or the dialog's own OK) is refused with this message, caption "Warning" and this icon; the
// focus goes to the control and the window stays.
void ExpectRefusal(HWND hWnd, HWND hDlg, int nFocusId, const char* pszText, LPCSTR pszIcon = IDI_WARNING)
{
    if (gui::CurrentPage(hWnd) != nullptr)
        PostMessageA(hWnd, PSM_PRESSBUTTON, PSBTN_OK, 0);
    else
        PostMessageA(hWnd, WM_COMMAND, IDOK, 0);
    gui::SMessageBox box = gui::AnswerMessageBox("Warning");
    EXPECT_EQ(pszText, box.strText);
    EXPECT_EQ(LoadIconA(nullptr, pszIcon), box.hIcon) << pszText;
    EXPECT_TRUE(nFocusId == 0 || gui::WaitFor([&] { return gui::HasFocus(hDlg, nFocusId); }, kDialogWaitMs))
        << pszText;
    EXPECT_TRUE(IsWindowVisible(hWnd));
}

// Presses a tool button of the range list's header with the mouse and returns the range dialog.
HWND PressToolButton(HWND hPage, int nId, const char* pszDialog)
{
    HWND hButton = GetDlgItem(GetDlgItem(hPage, IDC_RANGES_HEADER), nId);
    PostMessageA(hButton, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
    PostMessageA(hButton, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
    return pszDialog ? gui::WaitForDialog(pszDialog) : nullptr;
}

// Adds a range with the Add button; a zero last address stays blank.
void AddRange(HWND hPage, DWORD dwFirst, DWORD dwLast)
{
    HWND hDlg = PressToolButton(hPage, IDC_ADD_RANGE, "Add new IP range");
    SendDlgItemMessageA(hDlg, IDC_FIRST_IP, IPM_SETADDRESS, 0, dwFirst);
    if (dwLast != 0)
        SendDlgItemMessageA(hDlg, IDC_LAST_IP, IPM_SETADDRESS, 0, dwLast);
    PostMessageA(hDlg, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(gui::WaitGone(hDlg, kDialogWaitMs));
}

std::vector<std::string> ListLines(HWND hPage)
{
    std::vector<std::string> lines;
    char szLine[64];
    for (int i = 0; SendDlgItemMessageA(hPage, IDC_RANGES, LB_GETTEXT, i, (LPARAM)szLine) > 0; i++)
        lines.push_back(szLine);
    return lines;
}

// A window's client area in screen coordinates.
RECT ScreenClientRect(HWND hWnd)
{
    RECT rc;
    GetClientRect(hWnd, &rc);
    MapWindowPoints(hWnd, nullptr, (POINT*)&rc, 2);
    return rc;
}

bool Contains(const RECT& rcOuter, const RECT& rcInner)
{
    RECT rcUnion;
    UnionRect(&rcUnion, &rcOuter, &rcInner);
    return EqualRect(&rcUnion, &rcOuter) != FALSE;
}

// Every control of the page lies inside the part of the page the sheet shows: the page's client
// area within the tab control's display area; OK and Cancel sit in the sheet, clear of the tabs.
void ExpectPageFits(HWND hSheet, HWND hPage)
{
    HWND hTab = PropSheet_GetTabControl(hSheet);
    RECT rcDisplay;
    GetClientRect(hTab, &rcDisplay);
    TabCtrl_AdjustRect(hTab, FALSE, &rcDisplay);
    MapWindowPoints(hTab, nullptr, (POINT*)&rcDisplay, 2);
    RECT rcPage = ScreenClientRect(hPage), rcSheet = ScreenClientRect(hSheet), rcVisible;
    IntersectRect(&rcVisible, &rcPage, &rcDisplay);
    IntersectRect(&rcVisible, &rcVisible, &rcSheet);
    int nControls = 0;
    for (HWND hControl = GetWindow(hPage, GW_CHILD); hControl;
         hControl = GetWindow(hControl, GW_HWNDNEXT), nControls++)
    {
        RECT rc;
        GetWindowRect(hControl, &rc);
        EXPECT_TRUE(Contains(rcVisible, rc))
            << gui::WindowText(hPage) << ": control " << GetDlgCtrlID(hControl) << " reaches " << rc.right
            << "," << rc.bottom << ", the page shows to " << rcVisible.right << "," << rcVisible.bottom;
    }
    EXPECT_GT(nControls, 10);
    RECT rcTab, rcButton, rcOverlap;
    GetWindowRect(hTab, &rcTab);
    for (int nId : {IDOK, IDCANCEL})
    {
        GetWindowRect(GetDlgItem(hSheet, nId), &rcButton);
        EXPECT_TRUE(Contains(rcSheet, rcButton)) << nId;
        EXPECT_FALSE(IntersectRect(&rcOverlap, &rcButton, &rcTab)) << nId;
    }
}

void ResetOptions()
{
    g_settings.addrService = LoopbackAddress(1080);
    g_settings.addrService.sin_addr.s_addr = 0;
    g_settings.bLog = g_settings.bIpFilter = g_settings.bSocks5Auth = 0;
    g_settings.strLogFolder = "C:\\logs";
    g_settings.strSocks5Userid = g_settings.strSocks5Password = "";
    nConnectionLimit = 100;
    ReplaceIpRanges(nullptr, 0);
}

TEST(OptionsSheet, GeneralPageRefusesEveryBadValueThenApplies)
{
    ResetOptions();
    INT_PTR nResult = RunSheet(
        [](HWND hSheet)
        {
            HWND hPage = gui::CurrentPage(hSheet);
            EXPECT_EQ("all (unassigned)", gui::ItemText(hPage, IDC_ADDRESS));
            EXPECT_EQ("1080", gui::ItemText(hPage, IDC_PORT));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hPage, IDC_LOG_FOLDER)));

            gui::SetItemText(hPage, IDC_ADDRESS, "255.255.255.255");
            ExpectRefusal(hSheet, hPage, IDC_ADDRESS, "Service Address must be a plain IP address");
            gui::SetItemText(hPage, IDC_ADDRESS, "127.0.0.1");
            for (const char* pszPort : {"0", "65536", ""})
            {
                gui::SetItemText(hPage, IDC_PORT, pszPort);
                ExpectRefusal(hSheet, hPage, IDC_PORT, "Service Port must be a number between 1 and 65535");
            }
            gui::SetItemText(hPage, IDC_PORT, "65535");
            for (const char* pszLimit : {"0", ""})
            {
                gui::SetItemText(hPage, IDC_LIMIT, pszLimit);
                ExpectRefusal(hSheet, hPage, IDC_LIMIT,
                              "The value for the Simultaneous Connection Limit is invalid.");
            }
            gui::SetItemText(hPage, IDC_LIMIT, "10000");
            ExpectRefusal(
                hSheet, hPage, IDC_LIMIT,
                "This version of Tollgate is designed to handle maximum 9999 simultaneous connections.",
                IDI_INFORMATION);
            EXPECT_EQ("9999", gui::ItemText(hPage, IDC_LIMIT));

            // The folder chosen with "..." becomes the log folder.
            gui::Click(hPage, IDC_LOG);
            gui::Click(hPage, IDC_BROWSE);
            HWND hBrowser = gui::WaitForDialog("Browse for Folder");
            SendMessageA(hBrowser, BFFM_SETSELECTIONA, TRUE, (LPARAM) "C:\\users");
            PostMessageA(hBrowser, WM_COMMAND, IDOK, 0);
            EXPECT_TRUE(gui::WaitGone(hBrowser, kDialogWaitMs));
            PostMessageA(hSheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
        });
    EXPECT_EQ(1, nResult);
    EXPECT_EQ(inet_addr("127.0.0.1"), g_settings.addrService.sin_addr.s_addr);
    EXPECT_EQ(65535, ntohs(g_settings.addrService.sin_port));
    EXPECT_EQ(9999, nConnectionLimit);
    EXPECT_EQ(1, g_settings.bLog);
    EXPECT_STREQ("C:\\users", g_settings.strLogFolder.GetString());
}

TEST(OptionsSheet, AccessPageRefusesAndStoresRangesOrdered)
{
    ResetOptions();
    INT_PTR nResult = RunSheet(
        [](HWND hSheet)
        {
            HWND hPage = ShowAccessPage(hSheet);
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hPage, IDC_RANGES)));
            gui::Click(hPage, IDC_USER_AUTH);
            gui::SetItemText(hPage, IDC_PASSWORD, "secret");
            ExpectRefusal(hSheet, hPage, IDC_USERID, "Username and Password must not be empty.");
            gui::SetItemText(hPage, IDC_USERID, "alice");
            gui::Click(hPage, IDC_IP_FILTER);
            ExpectRefusal(hSheet, hPage, 0, "Please specify at least 1 allowed IP address.");

            // The range dialog refuses a blank first address and stays open.
            HWND hDlg = PressToolButton(hPage, IDC_ADD_RANGE, "Add new IP range");
            ExpectRefusal(hDlg, hDlg, IDC_FIRST_IP, "You must specify plain IP addresses!");
            PostMessageA(hDlg, WM_COMMAND, IDCANCEL, 0);
            gui::WaitGone(hDlg, kDialogWaitMs);
            AddRange(hPage, MAKEIPADDRESS(10, 0, 0, 9), MAKEIPADDRESS(10, 0, 0, 1));
            AddRange(hPage, MAKEIPADDRESS(9, 0, 0, 1), 0);
            EXPECT_EQ((std::vector<std::string>{"10.0.0.1 - 10.0.0.9", "9.0.0.1"}), ListLines(hPage));
            PostMessageA(hSheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
        });
    EXPECT_EQ(1, nResult);
    EXPECT_EQ(1, g_settings.bSocks5Auth);
    EXPECT_STREQ("alice", g_settings.strSocks5Userid.GetString());
    EXPECT_STREQ("secret", g_settings.strSocks5Password.GetString());
    EXPECT_EQ(1, g_settings.bIpFilter);
    ASSERT_EQ(2, g_settings.arrIpRanges.GetSize());
    EXPECT_EQ(0x0A000001u, g_settings.arrIpRanges[0]->dwFirst);
    EXPECT_EQ(0x0A000009u, g_settings.arrIpRanges[0]->dwLast);
    EXPECT_EQ(0x09000001u, g_settings.arrIpRanges[1]->dwLast);
}

// The Add button follows the filter switch; Remove and Modify also need a selected line.
TEST(OptionsSheet, ToolButtonsFollowTheFilterAndTheSelection)
{
    ResetOptions();
    IP_RANGE2 range = {0x01020304, 0x01020304};
    ReplaceIpRanges(&range, 1);
    RunSheet(
        [](HWND hSheet)
        {
            HWND hPage = ShowAccessPage(hSheet);
            HWND hHeader = GetDlgItem(hPage, IDC_RANGES_HEADER);
            auto enabled = [&](int nId) { return IsWindowEnabled(GetDlgItem(hHeader, nId)) != FALSE; };
            auto expect = [&](bool bAdd, bool bRemoveModify)
            {
                EXPECT_TRUE(gui::WaitFor([&]
                                         {
                                             return enabled(IDC_ADD_RANGE) == bAdd &&
                                                    enabled(IDC_REMOVE_RANGE) == bRemoveModify &&
                                                    enabled(IDC_MODIFY_RANGE) == bRemoveModify;
                                         },
                                         kDialogWaitMs))
                    << "add " << enabled(IDC_ADD_RANGE) << " remove " << enabled(IDC_REMOVE_RANGE) << " modify "
                    << enabled(IDC_MODIFY_RANGE);
            };
            ASSERT_TRUE(GetDlgItem(hHeader, IDC_ADD_RANGE) != nullptr);
            expect(false, false);
            SendDlgItemMessageA(hPage, IDC_RANGES, LB_SETCURSEL, 0, 0);
            expect(false, false); // a selection without the filter enables nothing
            gui::Click(hPage, IDC_IP_FILTER);
            expect(true, true);
            SendDlgItemMessageA(hPage, IDC_RANGES, LB_SETCURSEL, (WPARAM)-1, 0);
            expect(true, false);
            gui::Click(hPage, IDC_IP_FILTER);
            expect(false, false);
            PostMessageA(hSheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
        });
}

TEST(OptionsSheet, CancelAfterEditsChangesNothing)
{
    ResetOptions();
    IP_RANGE2 range = {0x01020304, 0x01020304};
    ReplaceIpRanges(&range, 1);
    g_settings.bIpFilter = 1;
    INT_PTR nResult = RunSheet(
        [](HWND hSheet)
        {
            gui::SetItemText(gui::CurrentPage(hSheet), IDC_PORT, "2000");
            HWND hPage = ShowAccessPage(hSheet);
            EXPECT_EQ(std::vector<std::string>{"1.2.3.4"}, ListLines(hPage));
            AddRange(hPage, MAKEIPADDRESS(10, 0, 0, 1), 0);
            SendDlgItemMessageA(hPage, IDC_RANGES, LB_SETCURSEL, 0, 0);
            PressToolButton(hPage, IDC_REMOVE_RANGE, nullptr);
            EXPECT_TRUE(gui::WaitFor([&] { return ListLines(hPage).size() == 1; }, kDialogWaitMs));
            PostMessageA(hSheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
        });
    EXPECT_NE(1, nResult);
    EXPECT_EQ(1080, ntohs(g_settings.addrService.sin_port));
    ASSERT_EQ(1, g_settings.arrIpRanges.GetSize());
    EXPECT_EQ(0x01020304u, g_settings.arrIpRanges[0]->dwFirst);
}

// The pages' templates use their own font, which may be wider than the sheet's: the sheet grows
// until the largest page fits.
TEST(OptionsSheet, EveryControlOfBothPagesIsInsideTheShownPage)
{
    ResetOptions();
    RunSheet(
        [](HWND hSheet)
        {
            ExpectPageFits(hSheet, gui::CurrentPage(hSheet));
            ExpectPageFits(hSheet, ShowAccessPage(hSheet));
            PostMessageA(hSheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
        });
}

// With the server running, the ranges applied by OK admit the next client without a restart.
class OptionsWhileRunning : public LiveServer
{
};

TEST_F(OptionsWhileRunning, AppliedRangesAdmitTheNextClient)
{
    g_settings.addrService.sin_port = htons(nPort);
    IP_RANGE2 range = {0x7F000002, 0x7F000002};
    ReplaceIpRanges(&range, 1);
    g_settings.bIpFilter = 1;
    CTestSocket refused;
    ConnectClient(refused);
    std::string strReceived;
    EXPECT_TRUE(refused.WaitClosed(WAIT_MS, &strReceived));
    EXPECT_EQ("", strReceived);

    ASSERT_EQ(1, RunSheet(
                     [](HWND hSheet)
                     {
                         AddRange(ShowAccessPage(hSheet), MAKEIPADDRESS(127, 0, 0, 1), 0);
                         PostMessageA(hSheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
                     }));
    CTestSocket admitted;
    ConnectClient(admitted);
    ASSERT_TRUE(admitted.Send(ByteString({5, 1, 0})));
    EXPECT_EQ("05 00", HexOf(admitted.Receive(2)));
}
} // namespace
