// DlgCrashTest.cpp: the crash dialog run by ShowCrashDialog, driven from a second thread the way
// a user would: View Error Report, Enter, Esc, the close box.
#include "ui/DlgCrash.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "config/Paths.h"
#include "resource.h"
#include "tests/support/win32/ChildProcess.h"
#include "tests/support/win32/FakeViewer.h"
#include "tests/support/win32/Screenshot.h"

namespace
{
const char REPORT_NAME[] = "V1001_Tollgate.EXE_004015BC_C0000005_002989BA_0_2026.12.08_16.42.16.txt";

class CrashDialog : public testing::Test
{
protected:
    void SetUp() override
    {
        g_hInstance = GetModuleHandleA(nullptr);
        strFolder = TestExecutableFolder() + "crash-dialog-" +
                    testing::UnitTest::GetInstance()->current_test_info()->name();
        MakeEmptyFolder(strFolder);
        MakeEmptyFolder(strFolder + "\\program-temp");
        strSavedTemp = g_paths.strTempFolder.GetString();
        g_paths.strTempFolder = (strFolder + "\\program-temp\\").c_str();
        strReport = strFolder + "\\" + REPORT_NAME;
        WriteReport("first look\r\n");
    }
    void TearDown() override { g_paths.strTempFolder = strSavedTemp.c_str(); }

    void WriteReport(const char* pszText) { std::ofstream(strReport, std::ios::binary) << pszText; }

    // Runs the dialog on this thread while pfnDrive acts on it from another; ShowCrashDialog's
    // result.
    int RunDialog(const std::function<void(HWND)>& pfnDrive)
    {
        DWORD nUiThread = GetCurrentThreadId();
        std::thread driver([&] {
            HWND hDlg = nullptr;
            for (int i = 0; i < 500 && !hDlg; i++)
            {
                GUITHREADINFO info = {};
                info.cbSize = sizeof(info);
                // The dialog takes the focus while still hidden: it is ready once it is shown
                // with the focus on a button.
                if (GetGUIThreadInfo(nUiThread, &info) && info.hwndActive && info.hwndFocus &&
                    GetDlgItem(info.hwndActive, IDC_VIEW_REPORT) && IsWindowVisible(info.hwndActive))
                    hDlg = info.hwndActive;
                else
                    Sleep(20);
            }
            if (hDlg)
            {
                pfnDrive(hDlg);
                // A failed assertion left the dialog open: end it, so that the test ends.
                if (testing::Test::HasFatalFailure())
                    Press(hDlg, IDCANCEL);
            }
            else
                ADD_FAILURE() << "the crash dialog did not appear";
        });
        int nResult = ShowCrashDialog(strReport.c_str());
        driver.join();
        return nResult;
    }

    static HWND FocusOf(HWND hDlg)
    {
        GUITHREADINFO info = {};
        info.cbSize = sizeof(info);
        GetGUIThreadInfo(GetWindowThreadProcessId(hDlg, nullptr), &info);
        return info.hwndFocus;
    }

    static void Press(HWND hDlg, int nId)
    {
        PostMessageA(hDlg, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED), (LPARAM)GetDlgItem(hDlg, nId));
    }

    static void Key(HWND hTarget, UINT nKey)
    {
        PostMessageA(hTarget, WM_KEYDOWN, nKey, 1);
        PostMessageA(hTarget, WM_KEYUP, nKey, 0xC0000001);
    }

    std::string strFolder, strReport, strSavedTemp;
};
} // namespace

TEST_F(CrashDialog, ViewReportOpensACopyAndEnterSends)
{
    CFakeViewer viewer(".txt", "\"{viewer}\" \"%1\"");
    std::string strCopy = strFolder + "\\program-temp\\" + REPORT_NAME;
    int nResult = RunDialog([&](HWND hDlg) {
        char szCaption[64] = "";
        GetWindowTextA(hDlg, szCaption, sizeof(szCaption));
        EXPECT_STREQ("Tollgate", szCaption);
        EXPECT_EQ(GetDlgItem(hDlg, IDOK), FocusOf(hDlg));
        // Painted through before the picture is taken.
        RedrawWindow(hDlg, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        EXPECT_TRUE(SaveWindowImage(hDlg, TestExecutableFolder() + "crash-dialog.bmp"));

        Press(hDlg, IDC_VIEW_REPORT);
        std::vector<std::string> lines = viewer.WaitForLines(1);
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ("\"" + CFakeViewer::ViewerPath() + "\" \"" + strCopy + "\"", lines[0]);
        EXPECT_EQ("first look\r\n", ReadWholeFile(strCopy));

        // A second look overwrites the copy; the dialog stays.
        WriteReport("second look\r\n");
        Press(hDlg, IDC_VIEW_REPORT);
        EXPECT_EQ(2u, viewer.WaitForLines(2).size());
        EXPECT_EQ("second look\r\n", ReadWholeFile(strCopy));
        EXPECT_TRUE(IsWindowVisible(hDlg));

        Key(FocusOf(hDlg), VK_RETURN);
    });
    EXPECT_EQ(1, nResult);
    // The report itself is the crash path's to delete.
    EXPECT_TRUE(FileExists(strReport));
}

TEST_F(CrashDialog, DontSendEscAndTheCloseBoxAllAnswerNo)
{
    EXPECT_EQ(0, RunDialog([](HWND hDlg) { Press(hDlg, IDCANCEL); }));
    EXPECT_EQ(0, RunDialog([](HWND hDlg) { Key(FocusOf(hDlg), VK_ESCAPE); }));
    EXPECT_EQ(0, RunDialog([](HWND hDlg) { PostMessageA(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0); }));
    EXPECT_EQ(1, RunDialog([](HWND hDlg) { Press(hDlg, IDOK); }));
}

TEST_F(CrashDialog, ViewReportWithoutTheTemporaryFolderDoesNothing)
{
    CFakeViewer viewer(".txt", "\"{viewer}\" \"%1\"");
    g_paths.strTempFolder = (strFolder + "\\missing\\").c_str();
    int nResult = RunDialog([&](HWND hDlg) {
        Press(hDlg, IDC_VIEW_REPORT);
        // The command has been handled once a message sent after it returns.
        SendMessageA(hDlg, WM_NULL, 0, 0);
        EXPECT_TRUE(IsWindowVisible(hDlg));
        Press(hDlg, IDCANCEL);
    });
    EXPECT_EQ(0, nResult);
    EXPECT_TRUE(viewer.WaitForLines(1, 300).empty());
}
