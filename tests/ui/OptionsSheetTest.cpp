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
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/win32/DialogDriver.h"

namespace
{
const char kWarning[] = "Warning";

INT_PTR RunSheet(const std::function<void(HWND hSheet)>& pfnDrive)
{
    HWND hSheet = nullptr;
    return gui::RunDriven([&] { return RunOptionsSheet(nullptr, &hSheet); },
                          [&]
                          {
                              HWND hFound = gui::WaitForDialog("Options");
                              ASSERT_NE(nullptr, hFound);
                              EXPECT_EQ(hFound, hSheet);
                              pfnDrive(hFound);
                          });
}

void PressOk(HWND hSheet)
{
    PostMessageA(hSheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
}

// OK is refused with this message (caption "Warning", this icon), the focus goes to the control
// and the sheet stays.
void ExpectRefusal(HWND hSheet, int nFocusId, const char* pszText, LPCSTR pszIcon = IDI_WARNING)
{
    PressOk(hSheet);
    gui::SMessageBox box = gui::AnswerMessageBox(kWarning);
    ASSERT_NE(nullptr, box.hwnd) << "no message for " << pszText;
    EXPECT_EQ(pszText, box.strText);
    EXPECT_EQ(LoadIconA(nullptr, pszIcon), box.hIcon) << pszText;
    HWND hPage = gui::CurrentPage(hSheet);
    if (nFocusId != 0)
    {
        EXPECT_TRUE(gui::WaitFor([&] { return gui::HasFocus(hPage, nFocusId); }, gui::kDialogWaitMs))
            << pszText;
    }
    EXPECT_TRUE(IsWindowVisible(hSheet));
}

void PressToolButton(HWND hPage, int nId)
{
    HWND hButton = GetDlgItem(GetDlgItem(hPage, IDC_RANGES_HEADER), nId);
    ASSERT_NE(nullptr, hButton);
    PostMessageA(hButton, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
    PostMessageA(hButton, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
}

// Adds a range through the Add button and the range dialog; a zero last address stays blank.
// With a name, the filled-in dialog is saved as a screenshot.
void AddRange(HWND hPage, DWORD dwFirst, DWORD dwLast, const char* pszScreenshot = nullptr)
{
    PressToolButton(hPage, IDC_ADD_RANGE);
    HWND hDlg = gui::WaitForDialog("Add new IP range");
    ASSERT_NE(nullptr, hDlg);
    SendDlgItemMessageA(hDlg, IDC_FIRST_IP, IPM_SETADDRESS, 0, dwFirst);
    if (dwLast != 0)
        SendDlgItemMessageA(hDlg, IDC_LAST_IP, IPM_SETADDRESS, 0, dwLast);
    if (pszScreenshot != nullptr)
    {
        EXPECT_TRUE(gui::SaveScreenshot(hDlg, pszScreenshot));
    }
    PostMessageA(hDlg, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(gui::WaitGone(hDlg, gui::kDialogWaitMs));
}

std::vector<std::string> ListLines(HWND hPage)
{
    std::vector<std::string> lines;
    int nCount = (int)SendDlgItemMessageA(hPage, IDC_RANGES, LB_GETCOUNT, 0, 0);
    for (int i = 0; i < nCount; i++)
    {
        char szLine[64];
        SendDlgItemMessageA(hPage, IDC_RANGES, LB_GETTEXT, i, (LPARAM)szLine);
        lines.push_back(szLine);
    }
    return lines;
}

void ResetOptions()
{
    memset(&g_settings.addrService, 0, sizeof(g_settings.addrService));
    g_settings.addrService.sin_family = AF_INET;
    g_settings.addrService.sin_port = htons(1080);
    g_settings.bAutoStart = 0;
    g_settings.bSocks4 = g_settings.bSocks5 = 1;
    g_settings.bLog = 0;
    g_settings.strLogFolder = "C:\\logs";
    g_settings.bIpFilter = 0;
    g_settings.bSocks5Auth = 0;
    g_settings.strSocks5Userid = "";
    g_settings.strSocks5Password = "";
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
            EXPECT_EQ("100", gui::ItemText(hPage, IDC_LIMIT));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hPage, IDC_LOG_FOLDER)));
            EXPECT_TRUE(gui::SaveScreenshot(hSheet, "options-general"));

            gui::SetItemText(hPage, IDC_ADDRESS, "255.255.255.255");
            ExpectRefusal(hSheet, IDC_ADDRESS, "Service Address must be a plain IP address");
            gui::SetItemText(hPage, IDC_ADDRESS, "127.0.0.1");
            for (const char* pszPort : {"0", "65536", ""})
            {
                gui::SetItemText(hPage, IDC_PORT, pszPort);
                ExpectRefusal(hSheet, IDC_PORT, "Service Port must be a number between 1 and 65535");
            }
            gui::SetItemText(hPage, IDC_PORT, "65535");
            for (const char* pszLimit : {"0", ""})
            {
                gui::SetItemText(hPage, IDC_LIMIT, pszLimit);
                ExpectRefusal(hSheet, IDC_LIMIT,
                              "The value for the Simultaneous Connection Limit is invalid.");
            }
            gui::SetItemText(hPage, IDC_LIMIT, "10000");
            ExpectRefusal(
                hSheet, IDC_LIMIT,
                "This version of Tollgate is designed to handle maximum 9999 simultaneous connections.",
                IDI_INFORMATION);
            EXPECT_EQ("9999", gui::ItemText(hPage, IDC_LIMIT));
            PostMessageA(GetDlgItem(hPage, IDC_LOG), BM_CLICK, 0, 0);
            EXPECT_TRUE(gui::WaitFor([&]
                                     { return IsWindowEnabled(GetDlgItem(hPage, IDC_LOG_FOLDER)) != FALSE; },
                                     gui::kDialogWaitMs));
            PressOk(hSheet);
        });
    EXPECT_EQ(1, nResult);
    EXPECT_EQ(inet_addr("127.0.0.1"), g_settings.addrService.sin_addr.s_addr);
    EXPECT_EQ(65535, ntohs(g_settings.addrService.sin_port));
    EXPECT_EQ(9999, nConnectionLimit);
    EXPECT_EQ(1, g_settings.bLog);
    EXPECT_STREQ("C:\\logs", g_settings.strLogFolder.GetString());
}

TEST(OptionsSheet, AccessPageRefusesEmptyListAndCredentials)
{
    ResetOptions();
    INT_PTR nResult = RunSheet(
        [](HWND hSheet)
        {
            PostMessageA(hSheet, PSM_SETCURSEL, 1, 0);
            ASSERT_TRUE(gui::WaitFor(
                [&] { return gui::WindowText(gui::CurrentPage(hSheet)) == "Access Restrictions"; },
                gui::kDialogWaitMs));
            HWND hPage = gui::CurrentPage(hSheet);
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hPage, IDC_RANGES)));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hPage, IDC_USERID)));

            PostMessageA(GetDlgItem(hPage, IDC_IP_FILTER), BM_CLICK, 0, 0);
            ExpectRefusal(hSheet, 0, "Please specify at least 1 allowed IP address.");
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hPage, IDC_RANGES)));
            PostMessageA(GetDlgItem(hPage, IDC_IP_FILTER), BM_CLICK, 0, 0);

            PostMessageA(GetDlgItem(hPage, IDC_USER_AUTH), BM_CLICK, 0, 0);
            ExpectRefusal(hSheet, IDC_USERID, "Username and Password must not be empty.");
            gui::SetItemText(hPage, IDC_USERID, "alice");
            ExpectRefusal(hSheet, IDC_PASSWORD, "Username and Password must not be empty.");
            gui::SetItemText(hPage, IDC_PASSWORD, "secret");
            PressOk(hSheet);
        });
    EXPECT_EQ(1, nResult);
    EXPECT_EQ(1, g_settings.bSocks5Auth);
    EXPECT_EQ(0, g_settings.bIpFilter);
    EXPECT_STREQ("alice", g_settings.strSocks5Userid.GetString());
    EXPECT_STREQ("secret", g_settings.strSocks5Password.GetString());
}

TEST(OptionsSheet, RangesAreStoredOrderedAndListedAsText)
{
    ResetOptions();
    INT_PTR nResult = RunSheet(
        [](HWND hSheet)
        {
            PostMessageA(hSheet, PSM_SETCURSEL, 1, 0);
            ASSERT_TRUE(gui::WaitFor(
                [&] { return gui::WindowText(gui::CurrentPage(hSheet)) == "Access Restrictions"; },
                gui::kDialogWaitMs));
            HWND hPage = gui::CurrentPage(hSheet);
            PostMessageA(GetDlgItem(hPage, IDC_IP_FILTER), BM_CLICK, 0, 0);
            ASSERT_TRUE(gui::WaitFor([&] { return IsWindowEnabled(GetDlgItem(hPage, IDC_RANGES)) != FALSE; },
                                     gui::kDialogWaitMs));

            // A blank first address is refused in the range dialog, which stays open.
            PressToolButton(hPage, IDC_ADD_RANGE);
            HWND hDlg = gui::WaitForDialog("Add new IP range");
            ASSERT_NE(nullptr, hDlg);
            PostMessageA(hDlg, WM_COMMAND, IDOK, 0);
            gui::SMessageBox box = gui::AnswerMessageBox(kWarning);
            EXPECT_EQ("You must specify plain IP addresses!", box.strText);
            EXPECT_TRUE(gui::WaitFor([&] { return gui::HasFocus(hDlg, IDC_FIRST_IP); }, gui::kDialogWaitMs));
            PostMessageA(hDlg, WM_COMMAND, IDCANCEL, 0);
            EXPECT_TRUE(gui::WaitGone(hDlg, gui::kDialogWaitMs));

            AddRange(hPage, MAKEIPADDRESS(10, 0, 0, 9), MAKEIPADDRESS(10, 0, 0, 1), "ip-range");
            AddRange(hPage, MAKEIPADDRESS(9, 0, 0, 1), 0);
            EXPECT_EQ((std::vector<std::string>{"10.0.0.1 - 10.0.0.9", "9.0.0.1"}), ListLines(hPage));
            // The line just added is selected, so Remove and Modify are enabled.
            EXPECT_TRUE(gui::WaitFor(
                [&] {
                    return IsWindowEnabled(
                        GetDlgItem(GetDlgItem(hPage, IDC_RANGES_HEADER), IDC_MODIFY_RANGE));
                },
                gui::kDialogWaitMs));
            EXPECT_TRUE(gui::SaveScreenshot(hSheet, "options-access"));
            PressOk(hSheet);
        });
    EXPECT_EQ(1, nResult);
    EXPECT_EQ(1, g_settings.bIpFilter);
    ASSERT_EQ(2, g_settings.arrIpRanges.GetSize());
    EXPECT_EQ(0x0A000001u, g_settings.arrIpRanges[0]->dwFirst);
    EXPECT_EQ(0x0A000009u, g_settings.arrIpRanges[0]->dwLast);
    EXPECT_EQ(0x09000001u, g_settings.arrIpRanges[1]->dwFirst);
    EXPECT_EQ(0x09000001u, g_settings.arrIpRanges[1]->dwLast);
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
            PostMessageA(hSheet, PSM_SETCURSEL, 1, 0);
            ASSERT_TRUE(gui::WaitFor(
                [&] { return gui::WindowText(gui::CurrentPage(hSheet)) == "Access Restrictions"; },
                gui::kDialogWaitMs));
            HWND hPage = gui::CurrentPage(hSheet);
            EXPECT_EQ((std::vector<std::string>{"1.2.3.4"}), ListLines(hPage));
            AddRange(hPage, MAKEIPADDRESS(10, 0, 0, 1), 0);
            SendDlgItemMessageA(hPage, IDC_RANGES, LB_SETCURSEL, 0, 0);
            PressToolButton(hPage, IDC_REMOVE_RANGE);
            EXPECT_TRUE(gui::WaitFor([&] { return ListLines(hPage).size() == 1; }, gui::kDialogWaitMs));
            PostMessageA(hSheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
        });
    EXPECT_NE(1, nResult);
    EXPECT_EQ(1080, ntohs(g_settings.addrService.sin_port));
    ASSERT_EQ(1, g_settings.arrIpRanges.GetSize());
    EXPECT_EQ(0x01020304u, g_settings.arrIpRanges[0]->dwFirst);
}

// The ranges a running server checks change with OK, for the next client, without a restart.
class OptionsWhileRunning : public LiveServer
{
};

TEST_F(OptionsWhileRunning, AppliedRangesAdmitTheNextClient)
{
    // The settings name the port the server really listens on, as a user's would.
    g_settings.addrService.sin_port = htons(nPort);
    IP_RANGE2 range = {0x7F000002, 0x7F000002};
    ReplaceIpRanges(&range, 1);
    g_settings.bIpFilter = 1;
    CTestSocket refused;
    ConnectClient(refused);
    std::string strReceived;
    EXPECT_TRUE(refused.WaitClosed(WAIT_MS, &strReceived));
    EXPECT_EQ("", strReceived);

    INT_PTR nResult = RunSheet(
        [](HWND hSheet)
        {
            PostMessageA(hSheet, PSM_SETCURSEL, 1, 0);
            ASSERT_TRUE(gui::WaitFor(
                [&] { return gui::WindowText(gui::CurrentPage(hSheet)) == "Access Restrictions"; },
                gui::kDialogWaitMs));
            AddRange(gui::CurrentPage(hSheet), MAKEIPADDRESS(127, 0, 0, 1), 0);
            PressOk(hSheet);
        });
    ASSERT_EQ(1, nResult);
    CTestSocket admitted;
    ConnectClient(admitted);
    ASSERT_TRUE(admitted.Send(ByteString({5, 1, 0})));
    EXPECT_EQ("05 00", HexOf(admitted.Receive(2)));
}
// The "..." button opens the folder chooser; the folder picked there becomes the log folder.
TEST(OptionsSheet, BrowseButtonPutsTheChosenFolderIntoTheLogFolder)
{
    ResetOptions();
    g_settings.bLog = 1;
    g_settings.strLogFolder = "C:\\windows";
    INT_PTR nResult = RunSheet(
        [](HWND hSheet)
        {
            HWND hPage = gui::CurrentPage(hSheet);
            gui::Click(hPage, IDC_BROWSE);
            HWND hBrowser = gui::WaitForDialog("Browse for Folder");
            ASSERT_NE(nullptr, hBrowser);
            SendMessageA(hBrowser, BFFM_SETSELECTIONA, TRUE, (LPARAM) "C:\\users");
            PostMessageA(hBrowser, WM_COMMAND, IDOK, 0);
            EXPECT_TRUE(gui::WaitGone(hBrowser, gui::kDialogWaitMs));
            EXPECT_TRUE(gui::WaitFor([&] { return gui::ItemText(hPage, IDC_LOG_FOLDER) == "C:\\users"; },
                                     gui::kDialogWaitMs))
                << gui::ItemText(hPage, IDC_LOG_FOLDER);
            PressOk(hSheet);
        });
    EXPECT_EQ(1, nResult);
    EXPECT_STREQ("C:\\users", g_settings.strLogFolder.GetString());
}
} // namespace
