// DlgStatTest.cpp: the Statistics window against a stopped and a running server, its session log
// button and the snapshot page it writes.
#include "ui/DlgStat.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "config/Paths.h"
#include "config/Settings.h"
#include "engine/SessionTable.h"
#include "foundation/TextHelpers.h"
#include "resource.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/win32/FakeViewer.h"
#include "tests/support/win32/DialogDriver.h"

namespace
{
const int kGreyedWhenStopped[] = {
    IDC_STARTED_LABEL, IDC_STARTED,       IDC_CONNECTIONS_GROUP, IDC_ACTIVE_LABEL,  IDC_ACTIVE,
    IDC_SNAPSHOT,      IDC_TRAFFIC_GROUP, IDC_SOURCE_LABEL,      IDC_SRC_TCP_LABEL, IDC_SRC_TCP,
    IDC_SRC_UDP_LABEL, IDC_SRC_UDP,       IDC_DEST_LABEL,        IDC_DST_TCP_LABEL, IDC_DST_TCP,
    IDC_DST_UDP_LABEL, IDC_DST_UDP,       IDC_SESSION_LOG};

INT_PTR RunStatistics(const std::function<void(HWND hDlg)>& pfnDrive)
{
    CDlgStat dlg(nullptr);
    return gui::RunDriven([&] { return dlg.DoModal(); },
                          [&]
                          {
                              HWND hDlg = gui::WaitForDialog("Statistics");
                              ASSERT_NE(nullptr, hDlg);
                              pfnDrive(hDlg);
                              PostMessageA(hDlg, WM_COMMAND, IDOK, 0);
                          });
}

std::string StartTimeText()
{
    CCArray str;
    FormatTime(str, g_server.tStarted, "%#c");
    return str.GetString();
}

std::string ReadFile(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

size_t CountOf(const std::string& str, const std::string& strPart)
{
    size_t n = 0;
    for (size_t nPos = str.find(strPart); nPos != std::string::npos; nPos = str.find(strPart, nPos + 1))
        n++;
    return n;
}

TEST(DlgStat, StoppedServerGreysEverythingButClose)
{
    ASSERT_EQ(0, g_server.tStarted);
    INT_PTR nResult = RunStatistics(
        [](HWND hDlg)
        {
            for (int nId : kGreyedWhenStopped)
                EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hDlg, nId))) << nId;
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hDlg, IDOK)));
            EXPECT_EQ("", gui::ItemText(hDlg, IDC_STARTED));
            EXPECT_EQ("", gui::ItemText(hDlg, IDC_ACTIVE));
            EXPECT_EQ("", gui::ItemText(hDlg, IDC_SRC_TCP));
            EXPECT_TRUE(gui::SaveScreenshot(hDlg, "statistics-stopped"));
        });
    EXPECT_EQ(1, nResult);
}

class DlgStatRunning : public LiveServer
{
};

// Counts, start time, the log and snapshot buttons, and a restart while the window is open.
TEST_F(DlgStatRunning, ShowsCountsOpensLogAndSnapshotAndRestartsFromZero)
{
    CTempFolder temp;
    g_paths.strTempFolder = (temp.GetPath() + "\\").c_str();
    CEchoServer echo;
    CTestSocket client5;
    OpenSocks5Tunnel(client5, echo.GetPort());
    ASSERT_TRUE(client5.Send(std::string(100, 'x')));
    ASSERT_EQ(100u, client5.Receive(100).size());
    // A SOCKS4 client whose user id is markup.
    const std::string strHostile = "<script>alert(1)</script>&";
    CTestSocket client4;
    ConnectClient(client4);
    ASSERT_TRUE(client4.Send(Socks4Connect(echo.GetPort(), strHostile)));
    ASSERT_EQ(HexOf(SOCKS4_GRANTED), HexOf(client4.Receive(8)));
    ASSERT_TRUE(WaitUntil([] { return ReadTraffic(g_traffic.nTcpDest) == 200; }));

    CFakeViewer textViewer(".txt", "\"{viewer}\" \"%1\"");
    textViewer.AddType(".html", "\"{viewer}\" html \"%1\"");
    std::vector<std::string> pages;
    {
        RunStatistics(
            [&](HWND hDlg)
            {
                EXPECT_TRUE(
                    gui::WaitFor([&] { return gui::ItemText(hDlg, IDC_ACTIVE) == "2"; }, gui::kDialogWaitMs));
                EXPECT_EQ(StartTimeText(), gui::ItemText(hDlg, IDC_STARTED));
                EXPECT_NE("", gui::ItemText(hDlg, IDC_STARTED));
                EXPECT_EQ("200", gui::ItemText(hDlg, IDC_SRC_TCP));
                EXPECT_EQ("200", gui::ItemText(hDlg, IDC_DST_TCP));
                EXPECT_EQ("0", gui::ItemText(hDlg, IDC_SRC_UDP));
                EXPECT_EQ("0", gui::ItemText(hDlg, IDC_DST_UDP));
                for (int nId : kGreyedWhenStopped)
                    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hDlg, nId))) << nId;
                EXPECT_TRUE(gui::SaveScreenshot(hDlg, "statistics"));

                gui::Click(hDlg, IDC_SESSION_LOG);
                EXPECT_EQ(1u, textViewer.WaitForLines(1).size());
                gui::Click(hDlg, IDC_SNAPSHOT);
                pages = textViewer.WaitForLines(2);

                // Restarted while the window is open: the counters start again from zero.
                gui::RunOnDialogThread([] { RestartServer(); });
                EXPECT_TRUE(gui::WaitFor([&] { return gui::ItemText(hDlg, IDC_SRC_TCP) == "0"; },
                                         gui::kDialogWaitMs));
                EXPECT_EQ("0", gui::ItemText(hDlg, IDC_DST_TCP));
                EXPECT_EQ("0", gui::ItemText(hDlg, IDC_ACTIVE));
                EXPECT_TRUE(gui::WaitFor([&] { return gui::ItemText(hDlg, IDC_STARTED) == StartTimeText(); },
                                         gui::kDialogWaitMs));
            });
    }
    ASSERT_EQ(2u, pages.size());
    EXPECT_EQ("\"" + CFakeViewer::ViewerPath() + "\" \"" + strLogPath + "\"", pages[0]);
    std::string strPage = temp.GetPath() + "\\ausrep.html";
    EXPECT_EQ("\"" + CFakeViewer::ViewerPath() + "\" html \"" + strPage + "\"", pages[1]);
    std::string strHtml = ReadFile(strPage);
    EXPECT_EQ(3u, CountOf(strHtml, "<TR>")) << strHtml;
    EXPECT_EQ(1u, CountOf(strHtml, "<TD>&lt;script&gt;alert(1)&lt;/script&gt;&amp;</TD>")) << strHtml;
    EXPECT_EQ(std::string::npos, strHtml.find("<script")) << strHtml;
    // The restart ended both sessions and started a new log.
    strLogPath = g_server.logFile.GetFileName().GetString();
}

TEST_F(DlgStatRunning, LoggingOffGreysOnlyTheSessionLogButton)
{
    Stop();
    g_settings.bLog = 0;
    ASSERT_EQ(FLOW_DONE, StartServer());
    RunStatistics(
        [](HWND hDlg)
        {
            EXPECT_TRUE(
                gui::WaitFor([&] { return gui::ItemText(hDlg, IDC_ACTIVE) == "0"; }, gui::kDialogWaitMs));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hDlg, IDC_SESSION_LOG)));
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hDlg, IDC_SNAPSHOT)));
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hDlg, IDC_SRC_TCP)));
        });
    strLogPath.clear();
}
} // namespace
