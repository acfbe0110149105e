// ScreenshotTest.cpp: saves a picture of every window of the program, as a user would see it,
// into the folder named by TG_SCREENSHOT_DIR (a Linux path; scripts/screenshots.sh sets it to
// docs/screenshots) or else beside the test program. The pixels are not compared (fonts differ
// between machines), but what each picture must show is: the window is on screen with its
// caption, a dialog has the size its template gives, and the picture holds the whole window, its
// margin included (a window partly off the screen gives a smaller picture).
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "resource.h"
#include "tests/support/win32/DialogDriver.h"
#include "tests/support/win32/GuiDriver.h"
#include "ui/Dlg.h"
#include "ui/DlgCrash.h"
#include "ui/DlgStartup.h"
#include "ui/Shell.h"

namespace
{
const int nWait = 15000;

std::string ShotPath(const char* pszName)
{
    const char* pszDir = getenv("TG_SCREENSHOT_DIR");
    std::string strDir = pszDir && *pszDir ? pszDir : TG_SCREENSHOT_BUILD_DIR;
    gui::RunUnixShell("mkdir -p " + strDir, 10000);
    return strDir + "/" + pszName;
}

const int nMargin = 4;

// The width and height a PNG file gives in its header; 0 x 0 when it has none.
SIZE PictureSize(const std::string& strUnixPath)
{
    SIZE size = {0, 0};
    HANDLE hFile = CreateFileA(gui::WindowsPath(strUnixPath).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return size;
    unsigned char ab[24];
    DWORD nRead = 0;
    if (ReadFile(hFile, ab, sizeof(ab), &nRead, nullptr) && nRead == sizeof(ab) && memcmp(ab + 1, "PNG", 3) == 0 &&
        memcmp(ab + 12, "IHDR", 4) == 0)
    {
        size.cx = (LONG)((ab[16] << 24) | (ab[17] << 16) | (ab[18] << 8) | ab[19]);
        size.cy = (LONG)((ab[20] << 24) | (ab[21] << 16) | (ab[22] << 8) | ab[23]);
    }
    CloseHandle(hFile);
    return size;
}

// Saves the picture of the area and checks that it holds all of it, as SaveScreenshot crops it.
bool ShootArea(const RECT& rc, const char* pszName)
{
    std::string strPath = ShotPath(pszName);
    if (!gui::SaveScreenshot(rc, nMargin, strPath))
        return false;
    LONG nLeft = rc.left - nMargin < 0 ? 0 : rc.left - nMargin;
    LONG nTop = rc.top - nMargin < 0 ? 0 : rc.top - nMargin;
    SIZE picture = PictureSize(strPath);
    EXPECT_EQ(picture.cx, rc.right + nMargin - nLeft) << pszName;
    EXPECT_EQ(picture.cy, rc.bottom + nMargin - nTop) << pszName;
    return picture.cx == rc.right + nMargin - nLeft && picture.cy == rc.bottom + nMargin - nTop;
}

INT_PTR CALLBACK TemplateProc(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

// The size of a dialog made from the template in this process (the program's windows come from the
// same templates, linked into this test as well), hidden and destroyed again.
SIZE TemplateSize(int nTemplate)
{
    SIZE size = {0, 0};
    HWND hDlg = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(nTemplate), nullptr, TemplateProc, 0);
    if (hDlg == nullptr)
        return size;
    RECT rc;
    GetWindowRect(hDlg, &rc);
    DestroyWindow(hDlg);
    size.cx = rc.right - rc.left;
    size.cy = rc.bottom - rc.top;
    return size;
}

// Takes the picture of the window after checking what it must show: visible, with its caption, and
// (nTemplate not 0) with the size of its dialog template.
bool Shoot(HWND hWnd, const char* pszName, const char* pszCaption, int nTemplate = 0)
{
    EXPECT_TRUE(IsWindowVisible(hWnd)) << pszName;
    EXPECT_EQ(pszCaption, gui::WindowText(hWnd)) << pszName;
    // A window that has just opened may not have painted everything yet.
    RedrawWindow(hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    DWORD_PTR nResult;
    SendMessageTimeoutA(hWnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, nWait, &nResult);
    RECT rc;
    GetWindowRect(hWnd, &rc);
    EXPECT_GT(rc.right - rc.left, 50) << pszName;
    EXPECT_GT(rc.bottom - rc.top, 20) << pszName;
    if (nTemplate != 0)
    {
        SIZE expected = TemplateSize(nTemplate);
        EXPECT_EQ(expected.cx, rc.right - rc.left) << pszName;
        EXPECT_EQ(expected.cy, rc.bottom - rc.top) << pszName;
    }
    return ShootArea(rc, pszName);
}

void AppendRange(std::string& strBytes, uint32_t nFirst, uint32_t nLast)
{
    for (uint32_t n : {nFirst, nLast})
        for (int i = 0; i < 4; ++i)
            strBytes += (char)(n >> (8 * i));
}

// The progress window is on screen only for the moments of a start or a stop, so it is shown
// here, in the test program, from the same template and class.
TEST(Screenshots, StartupWindow)
{
    g_hInstance = GetModuleHandleA(nullptr);
    CDlgStartup progress("Starting the server...");
    ASSERT_TRUE(progress.Show(nullptr));
    EXPECT_EQ("Starting the server...", gui::ItemText(progress.GetHwnd(), IDC_STARTUP_TEXT));
    EXPECT_TRUE(Shoot(progress.GetHwnd(), "startup.png", "Tollgate", IDD_STARTUP));
}

// The crash dialog appears only after a crash; it is shown here from the same template and class.
TEST(Screenshots, CrashDialog)
{
    g_hInstance = GetModuleHandleA(nullptr);
    bool bShot = false;
    gui::RunDriven([] { return (INT_PTR)RunCrashDialog("C:\\report.txt", nullptr); },
                   [&]
                   {
                       HWND hDlg = gui::WaitForDialog("Tollgate");
                       bShot = hDlg && Shoot(hDlg, "crash-dialog.png", "Tollgate", IDD_CRASH);
                       gui::Click(hDlg, IDCANCEL);
                   });
    EXPECT_TRUE(bShot);
}

TEST(Screenshots, EveryWindowOfTheProgram)
{
    uint16_t nPort = gui::FreeLoopbackPort();
    gui::DeleteSettings();
    gui::SetServiceAddress("127.0.0.1", nPort);
    gui::SetSettingFlag("Auto Start", 0);
    gui::SetSettingFlag("setonce", 1);
    gui::SetSettingFlag("Log", 1);
    gui::SetSettingString("Log Folder", gui::MakeTempFolder("tgshots"));
    gui::SetSettingFlag("IP Filter", 1);
    std::string strRanges;
    AppendRange(strRanges, 0x7F000001, 0x7F0000FF); // 127.0.0.1 - 127.0.0.255
    AppendRange(strRanges, 0xC0A80105, 0xC0A80105); // 192.168.1.5
    gui::SetSettingBinary("IP Ranges", strRanges.data(), (DWORD)strRanges.size());

    gui::CProgram program;
    ASSERT_TRUE(program.Start(gui::WindowsPath(TOLLGATE_EXE)));
    HWND hMain = gui::WaitForWindow(program.Pid(), "TOLLGATE", "", nWait, false);
    ASSERT_TRUE(hMain);
    ASSERT_TRUE(gui::WaitServerStarted(program.Pid(), nPort, nWait));

    // The tray menu with its Server pop-up open.
    PostMessageA(hMain, WM_TRAYNOTIFY, TRAY_ICON_ID, WM_RBUTTONUP);
    HWND hMenu = gui::WaitForWindow(program.Pid(), "#32768", nullptr, nWait);
    ASSERT_TRUE(hMenu);
    PostMessageA(hMenu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageA(hMenu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageA(hMenu, WM_KEYDOWN, VK_RIGHT, 0);
    EXPECT_TRUE(gui::WaitFor([&] { return gui::FindWindows(program.Pid(), "#32768", nullptr).size() == 2; }, nWait));
    EXPECT_TRUE(ShootArea(gui::UnionOfWindows(gui::FindWindows(program.Pid(), "#32768", nullptr)), "tray-menu.png"));
    PostMessageA(hMain, WM_CANCELMODE, 0, 0);
    EXPECT_TRUE(gui::WaitFor([&] { return gui::FindWindows(program.Pid(), "#32768", nullptr).empty(); }, nWait));

    // Both pages of the Options sheet, and the range dialog from the Add button.
    PostMessageA(hMain, WM_COMMAND, IDM_OPTIONS, 0);
    HWND hSheet = gui::WaitForWindow(program.Pid(), "#32770", "Options", nWait);
    ASSERT_TRUE(hSheet);
    EXPECT_TRUE(Shoot(hSheet, "options-general.png", "Options"));
    SendMessageA(hSheet, PSM_SETCURSEL, 1, 0);
    HWND hAccess = (HWND)SendMessageA(hSheet, PSM_GETCURRENTPAGEHWND, 0, 0);
    ASSERT_TRUE(hAccess);
    EXPECT_TRUE(Shoot(hSheet, "options-access.png", "Options"));
    HWND hAdd = GetDlgItem(GetDlgItem(hAccess, IDC_RANGES_HEADER), IDC_ADD_RANGE);
    ASSERT_TRUE(hAdd);
    PostMessageA(hAdd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    PostMessageA(hAdd, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    HWND hRange = gui::WaitForWindow(program.Pid(), "#32770", "Add new IP range", nWait);
    ASSERT_TRUE(hRange);
    EXPECT_TRUE(Shoot(hRange, "ip-range.png", "Add new IP range", IDD_IPRANGE));
    PostMessageA(hRange, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(gui::WaitGone(hRange, nWait));
    PostMessageA(hSheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    ASSERT_TRUE(gui::WaitGone(hSheet, nWait));

    // Statistics with one session running through the proxy.
    gui::CSlowWebServer web;
    std::string strDone = gui::StartUnixShell("curl -s --max-time 30 --socks5-hostname 127.0.0.1:" +
                                              std::to_string(nPort) + " http://localhost:" +
                                              std::to_string(web.Port()) + "/ -o /dev/null");
    PostMessageA(hMain, WM_COMMAND, IDM_STATISTICS, 0);
    HWND hStat = gui::WaitForWindow(program.Pid(), "#32770", "Statistics", nWait);
    ASSERT_TRUE(hStat);
    EXPECT_TRUE(gui::WaitFor([&] { return gui::ItemText(hStat, IDC_ACTIVE) == "1"; }, nWait));
    EXPECT_TRUE(gui::WaitFor([&] { return gui::ItemText(hStat, IDC_DST_TCP) != "0"; }, nWait));
    EXPECT_TRUE(Shoot(hStat, "statistics.png", "Statistics", IDD_STAT));
    web.Release();
    EXPECT_EQ(0, gui::WaitUnixShell(strDone, 30000));
    PostMessageA(hStat, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(gui::WaitGone(hStat, nWait));

    PostMessageA(hMain, WM_TRAYNOTIFY, TRAY_ICON_ID, WM_LBUTTONDBLCLK);
    HWND hAbout = gui::WaitForWindow(program.Pid(), "#32770", "About Tollgate", nWait);
    ASSERT_TRUE(hAbout);
    EXPECT_TRUE(Shoot(hAbout, "about.png", "About Tollgate", IDD_ABOUT));

    program.Kill();
    gui::DeleteSettings();
}
} // namespace
