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
#include "tests/support/EngineTestSupport.h"
#include "tests/support/win32/DialogDriver.h"
#include "tests/support/win32/FakeViewer.h"

namespace
{
using gui::kDialogWaitMs;

// Every control but Close, greyed while the server is stopped.
const int kViewControls[] = {IDC_STARTED_LABEL, IDC_STARTED,       IDC_CONNECTIONS_GROUP, IDC_ACTIVE_LABEL,
                             IDC_ACTIVE,        IDC_SNAPSHOT,      IDC_TRAFFIC_GROUP,     IDC_SOURCE_LABEL,
                             IDC_SRC_TCP_LABEL, IDC_SRC_TCP,       IDC_SRC_UDP_LABEL,     IDC_SRC_UDP,
                             IDC_DEST_LABEL,    IDC_DST_TCP_LABEL, IDC_DST_TCP,           IDC_DST_UDP_LABEL,
                             IDC_DST_UDP,       IDC_SESSION_LOG};

void RunStatistics(const std::function<void(HWND hDlg)>& pfnDrive)
{
    CDlgStat dlg(nullptr);
    EXPECT_EQ(1, gui::RunDriven([&] { return dlg.DoModal(); },
                                [&]
                                {
                                    HWND hDlg = gui::WaitForDialog("Statistics");
                                    pfnDrive(hDlg);
                                    PostMessageA(hDlg, WM_COMMAND, IDOK, 0);
                                }));
}

bool ShowsText(HWND hDlg, int nId, const std::string& strText)
{
    return gui::WaitFor([&] { return gui::ItemText(hDlg, nId) == strText; }, kDialogWaitMs);
}

std::string StartTimeText()
{
    CCArray str;
    FormatTime(str, g_server.tStarted, "%#c");
    return str.GetString();
}

TEST(DlgStat, StoppedServerGreysEverythingButClose)
{
    ASSERT_EQ(0, g_server.tStarted);
    RunStatistics(
        [](HWND hDlg)
        {
            for (int nId : kViewControls)
                EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hDlg, nId))) << nId;
            EXPECT_EQ("", gui::ItemText(hDlg, IDC_STARTED) + gui::ItemText(hDlg, IDC_SRC_TCP));
        });
}

class DlgStatRunning : public LiveServer
{
};

// Counts and start time, the log and snapshot buttons, and a restart while the window is open.
TEST_F(DlgStatRunning, ShowsCountsOpensLogAndSnapshotAndRestartsFromZero)
{
    CTempFolder temp;
    g_paths.strTempFolder = (temp.GetPath() + "\\").c_str();
    CEchoServer echo;
    CTestSocket client5, client4;
    OpenSocks5Tunnel(client5, echo.GetPort());
    ASSERT_TRUE(client5.Send(std::string(100, 'x')));
    ASSERT_EQ(100u, client5.Receive(100).size());
    ConnectClient(client4);
    ASSERT_TRUE(client4.Send(Socks4Connect(echo.GetPort(), "<script>alert(1)</script>&")));
    ASSERT_EQ(HexOf(SOCKS4_GRANTED), HexOf(client4.Receive(8)));
    ASSERT_TRUE(WaitUntil([] { return ReadTraffic(g_traffic.nTcpDest) == 200; }));
    CFakeViewer viewer;
    viewer.Register(".txt", "\"{viewer}\" \"%1\"");
    viewer.Register(".html", "\"{viewer}\" html \"%1\"");

    RunStatistics(
        [&](HWND hDlg)
        {
            EXPECT_TRUE(ShowsText(hDlg, IDC_ACTIVE, "2"));
            EXPECT_EQ(StartTimeText(), gui::ItemText(hDlg, IDC_STARTED));
            EXPECT_EQ("200 0 200 0",
                      gui::ItemText(hDlg, IDC_SRC_TCP) + " " + gui::ItemText(hDlg, IDC_SRC_UDP) + " " +
                          gui::ItemText(hDlg, IDC_DST_TCP) + " " + gui::ItemText(hDlg, IDC_DST_UDP));
            for (int nId : kViewControls)
                EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hDlg, nId))) << nId;
            gui::Click(hDlg, IDC_SESSION_LOG);
            viewer.WaitForLines(1);
            gui::Click(hDlg, IDC_SNAPSHOT);
            viewer.WaitForLines(2);

            gui::RunOnDialogThread([] { RestartServer(); });
            EXPECT_TRUE(ShowsText(hDlg, IDC_SRC_TCP, "0"));
            EXPECT_TRUE(ShowsText(hDlg, IDC_ACTIVE, "0"));
            EXPECT_TRUE(ShowsText(hDlg, IDC_STARTED, StartTimeText()));
        });
    std::string strPage = temp.GetPath() + "\\ausrep.html";
    EXPECT_EQ((std::vector<std::string>{"\"" + CFakeViewer::ViewerPath() + "\" \"" + strLogPath + "\"",
                                        "\"" + CFakeViewer::ViewerPath() + "\" html \"" + strPage + "\""}),
              viewer.WaitForLines(2));
    std::ostringstream html;
    html << std::ifstream(strPage, std::ios::binary).rdbuf();
    // The head row and one row per session; the user id stays text.
    std::string strHtml = html.str();
    size_t nRows = 0;
    for (size_t nPos = strHtml.find("<TR>"); nPos != std::string::npos; nPos = strHtml.find("<TR>", nPos + 1))
        nRows++;
    EXPECT_EQ(3u, nRows) << strHtml;
    EXPECT_NE(std::string::npos, strHtml.find("<TD>&lt;script&gt;alert(1)&lt;/script&gt;&amp;</TD>"))
        << strHtml;
}

TEST_F(DlgStatRunning, LoggingOffGreysOnlyTheSessionLogButton)
{
    Stop();
    g_settings.bLog = 0;
    ASSERT_EQ(FLOW_DONE, StartServer());
    // Counters past 32 bits are shown in full.
    AddTraffic(g_traffic.nUdpDest, 5000000000ULL);
    RunStatistics(
        [](HWND hDlg)
        {
            EXPECT_TRUE(ShowsText(hDlg, IDC_DST_UDP, "5000000000"));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hDlg, IDC_SESSION_LOG)));
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hDlg, IDC_SNAPSHOT)));
        });
}
} // namespace
