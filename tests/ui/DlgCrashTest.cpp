// DlgCrashTest.cpp: the crash dialog driven from a second thread the way a user would: View Error
// Report, Enter, Esc, the close box.
#include "ui/DlgCrash.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "config/Paths.h"
#include "resource.h"
#include "tests/support/win32/ChildProcess.h"
#include "tests/support/win32/DialogDriver.h"
#include "tests/support/win32/FakeViewer.h"

namespace
{
const char REPORT_NAME[] = "V1001_Tollgate.EXE_004015BC_C0000005_002989BA_0_2026.12.08_16.42.16.txt";

class CrashDialog : public testing::Test
{
protected:
    void SetUp() override
    {
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

    // The dialog's answer while pfnDrive acts on it from another thread.
    int RunDialog(const std::function<void(HWND)>& pfnDrive)
    {
        return (int)gui::RunDriven(
            [&] { return (INT_PTR)RunCrashDialog(strReport.c_str(), nullptr); },
            [&]
            {
                HWND hDlg = gui::WaitForDialog("Tollgate");
                ASSERT_NE(nullptr, hDlg);
                // Ready once the focus is set.
                ASSERT_TRUE(gui::WaitFor([&] { return gui::FocusOf(hDlg) != nullptr; }, gui::kDialogWaitMs));
                pfnDrive(hDlg);
            });
    }

    static void Key(HWND hDlg, UINT nKey)
    {
        HWND hFocus = gui::FocusOf(hDlg);
        PostMessageA(hFocus, WM_KEYDOWN, nKey, 1);
        PostMessageA(hFocus, WM_KEYUP, nKey, 0xC0000001);
    }

    std::string strFolder, strReport, strSavedTemp;
};
} // namespace

TEST_F(CrashDialog, ViewReportOpensACopyAndTheDialogStays)
{
    CFakeViewer viewer;
    viewer.Register(".txt", "\"{viewer}\" \"%1\"");
    std::string strCopy = strFolder + "\\program-temp\\" + REPORT_NAME;
    int nResult = RunDialog(
        [&](HWND hDlg)
        {
            EXPECT_TRUE(gui::HasFocus(hDlg, IDOK));

            gui::Click(hDlg, IDC_VIEW_REPORT);
            std::vector<std::string> lines = viewer.WaitForLines(1);
            ASSERT_EQ(1u, lines.size());
            EXPECT_EQ("\"" + CFakeViewer::ViewerPath() + "\" \"" + strCopy + "\"", lines[0]);
            EXPECT_EQ("first look\r\n", gui::ReadFileText(strCopy));

            // A second look overwrites the copy; the dialog stays.
            WriteReport("second look\r\n");
            gui::Click(hDlg, IDC_VIEW_REPORT);
            EXPECT_EQ(2u, viewer.WaitForLines(2).size());
            EXPECT_EQ("second look\r\n", gui::ReadFileText(strCopy));
            EXPECT_TRUE(IsWindowVisible(hDlg));

            gui::Click(hDlg, IDOK);
            EXPECT_TRUE(gui::WaitGone(hDlg, gui::kDialogWaitMs));
        });
    EXPECT_EQ(1, nResult);
    // The report itself is the crash path's to delete.
    EXPECT_TRUE(FileExists(strReport));
}

TEST_F(CrashDialog, EnterSendsDontSendEscAndTheCloseBoxAnswerNo)
{
    // The focus starts on Send Error Report.
    EXPECT_EQ(1, RunDialog([](HWND hDlg) { Key(hDlg, VK_RETURN); }));
    // View Error Report without the program's temporary folder does nothing; Don't Send.
    CFakeViewer viewer;
    viewer.Register(".txt", "\"{viewer}\" \"%1\"");
    g_paths.strTempFolder = (strFolder + "\\missing\\").c_str();
    EXPECT_EQ(0, RunDialog(
                     [](HWND hDlg)
                     {
                         gui::Click(hDlg, IDC_VIEW_REPORT);
                         gui::Click(hDlg, IDCANCEL);
                     }));
    EXPECT_TRUE(viewer.WaitForLines(1, 300).empty());
    EXPECT_EQ(0, RunDialog([](HWND hDlg) { Key(hDlg, VK_ESCAPE); }));
    EXPECT_EQ(0, RunDialog([](HWND hDlg) { PostMessageA(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0); }));
}
