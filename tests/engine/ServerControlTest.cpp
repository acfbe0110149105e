// ServerControlTest.cpp: start, stop, restart and a server that goes down; the two admission
// checks; settings that apply to the next client while the server runs.
#include <algorithm>

#include "tests/support/EngineTestSupport.h"
#include "config/Settings.h"
#include "engine/AccessRules.h"
#include "engine/SessionTable.h"
#include "net/BlockingSocket.h"
#include "net/ErrorText.h"

namespace
{
IP_RANGE2 HostRange(uint32_t dwFirst, uint32_t dwLast)
{
    IP_RANGE2 range = {dwFirst, dwLast};
    return range;
}
} // namespace

TEST_F(LiveServer, StartWhileRunningAndStopWhileStoppedDoNothing)
{
    EXPECT_EQ(StartServer(), FLOW_NOTHING);
    EXPECT_TRUE(IsServerRunning());
    EXPECT_NE(g_server.tStarted, 0);
    std::vector<SLogLine> lines = ReadLog(strLogPath);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].strStatus, "Server started");
    EXPECT_EQ(lines[0].strError, "-");

    Stop();
    EXPECT_EQ(g_server.tStarted, 0);
    EXPECT_EQ(StopServer(), FLOW_NOTHING);
    EXPECT_EQ(RestartServer(), FLOW_NOTHING);
    EXPECT_FALSE(IsServerRunning());
    EXPECT_EQ(ReadLog(strLogPath).size(), 2u);
}

TEST_F(LiveServer, RestartStartsANewLogAndZeroesTheCounters)
{
    CEchoServer echo;
    CTestSocket client;
    OpenSocks5Tunnel(client, echo.GetPort());
    ASSERT_TRUE(client.Send("abc"));
    EXPECT_EQ(client.Receive(3), "abc");
    EXPECT_TRUE(WaitUntil([] { return ReadTraffic(g_traffic.nTcpClient) == 6u; }));

    std::string strFirstLog = strLogPath;
    ASSERT_EQ(RestartServer(), FLOW_DONE);
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_EQ(ReadTraffic(g_traffic.nTcpClient), 0u);
    std::vector<SLogLine> first = ReadLog(strFirstLog);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.back().strStatus, "Server stopped");
    EXPECT_TRUE(LinesWithStatus("Disconnect").empty());

    // The new run has its own file and its own port (the setting asks for any free one).
    std::string strSecondLog = g_server.logFile.GetFileName().GetString();
    EXPECT_NE(strSecondLog, strFirstLog);
    nPort = ntohs(g_server.saListen.sin_port);
    strLogPath = strSecondLog;
    CTestSocket again;
    OpenSocks5Tunnel(again, echo.GetPort());
}

TEST_F(LiveServer, PortInUseFailsTheStartWithItsErrorAndLeavesTheServerStopped)
{
    Stop();
    CTestSocket holder;
    ASSERT_TRUE(holder.Bind(0));
    ASSERT_EQ(SysListen(holder.hSocket, 1), 0);
    g_settings.addrService = holder.LocalAddress();

    EXPECT_EQ(StartServer(), FLOW_FAILED);
    EXPECT_FALSE(IsServerRunning());
    EXPECT_EQ(g_server.tStarted, 0);
    EXPECT_STREQ(ErrorText(g_server.nLastError).GetString(), "Address already in use (10048)");
    EXPECT_FALSE(g_server.logFile.IsOpen());
    // The failed run's log is the second file of the folder.
    std::string strFailedLog = folder.GetPath() + PATH_SEPARATOR + "ServerLog[1].txt";
    std::vector<SLogLine> lines = ReadLog(strFailedLog);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].strStatus, "Server startup failed");
    EXPECT_EQ(lines[0].strError, "Address already in use (10048)");
    EXPECT_EQ(lines[0].strSource, "-");
    EXPECT_TRUE(TestShell().StartIdleEvent().IsSignalled());
}

TEST_F(LiveServer, ConnectionLimitRefusesTheNextClientUntilASessionEnds)
{
    nConnectionLimit = 1;
    CEchoServer echo;
    CTestSocket first;
    OpenSocks5Tunnel(first, echo.GetPort());

    CTestSocket second;
    ConnectClient(second);
    std::string strSecond = EndpointOf(second.LocalAddress());
    std::string strReply;
    EXPECT_TRUE(second.WaitClosed(WAIT_MS, &strReply));
    EXPECT_EQ(strReply, ""); // refused clients get no SOCKS reply at all
    std::vector<SLogLine> blocks =
        WaitLog(strLogPath, [](const SLogLine& l) { return l.strStatus == "Block"; });
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].strSource, strSecond);
    EXPECT_EQ(blocks[0].strError, "Maximum connection limit reached");
    EXPECT_EQ(blocks[0].strVersion, "-");
    EXPECT_EQ(blocks[0].strDest, "-");

    std::string strFirst = EndpointOf(first.LocalAddress());
    first.Close();
    WaitDisconnect(strFirst);
    ASSERT_TRUE(WaitUntil([] { return GetSessionCount() == 0; }));
    CTestSocket third;
    OpenSocks5Tunnel(third, echo.GetPort());
    EXPECT_EQ(LinesWithStatus("Block").size(), 1u);
    // The refused client never became a session.
    for (const SLogLine& line : LinesWithStatus("Connect"))
        EXPECT_NE(line.strSource, strSecond);
}

TEST_F(LiveServer, AddressFilterRefusesBeforeTheLimitIsLookedAt)
{
    CEchoServer echo;
    nConnectionLimit = 1;
    CTestSocket first;
    OpenSocks5Tunnel(first, echo.GetPort());

    // The limit is reached, but the ruleset speaks first.
    IP_RANGE2 elsewhere = HostRange(0x0A000000, 0x0AFFFFFF);
    ReplaceIpRanges(&elsewhere, 1);
    g_settings.bIpFilter = 1;
    CTestSocket refused;
    ConnectClient(refused);
    std::string strRefused = EndpointOf(refused.LocalAddress());
    EXPECT_TRUE(refused.WaitClosed());
    std::vector<SLogLine> blocks =
        WaitLog(strLogPath, [](const SLogLine& l) { return l.strStatus == "Block"; });
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].strSource, strRefused);
    EXPECT_EQ(blocks[0].strError, "Connection not allowed by ruleset");
}

TEST_F(LiveServer, RangesAndAuthenticationApplyToTheNextClientWithoutARestart)
{
    CEchoServer echo;
    IP_RANGE2 loopback = HostRange(0x7F000001, 0x7F000001);
    ReplaceIpRanges(&loopback, 1);
    g_settings.bIpFilter = 1;
    {
        CTestSocket client;
        OpenSocks5Tunnel(client, echo.GetPort());
    }

    IP_RANGE2 other = HostRange(0x7F000002, 0x7F0000FF);
    ReplaceIpRanges(&other, 1);
    {
        CTestSocket client;
        ConnectClient(client);
        EXPECT_TRUE(client.WaitClosed());
    }
    ReplaceIpRanges(&loopback, 1);

    g_settings.bSocks5Auth = 1;
    g_settings.strSocks5Userid = "u";
    g_settings.strSocks5Password = "p";
    {
        CTestSocket client;
        ConnectClient(client);
        ASSERT_TRUE(client.Send(ByteString({5, 1, 0})));
        EXPECT_EQ(HexOf(client.Receive(2)), "05 FF");
        EXPECT_TRUE(client.WaitClosed());
    }
    g_settings.bSocks5Auth = 0;
    CTestSocket client;
    OpenSocks5Tunnel(client, echo.GetPort());
    EXPECT_EQ(LinesWithStatus("Server started").size(), 1u);
    EXPECT_EQ(LinesWithStatus("Block").size(), 1u);
}

TEST_F(LiveServer, StopWhileTunnelsRelayEndsThemWithoutDisconnectLines)
{
    CEchoServer echo;
    const int nTunnels = 20;
    std::vector<std::unique_ptr<CTestSocket>> clients;
    for (int i = 0; i < nTunnels; i++)
    {
        clients.emplace_back(new CTestSocket);
        OpenSocks5Tunnel(*clients.back(), echo.GetPort());
    }
    // Keep data moving through every tunnel until the stop cuts them. Each block is read back
    // whole before the next is sent, so no send of the proxy ever waits for a reader: under Wine
    // a blocked send is not cancelled by closing its socket.
    std::atomic<bool> bDone(false);
    std::thread pump(
        [&]
        {
            std::string strBlock(4096, 'x');
            std::vector<bool> alive(clients.size(), true);
            while (!bDone)
            {
                for (size_t i = 0; i < clients.size(); i++)
                {
                    if (alive[i])
                        alive[i] = clients[i]->Send(strBlock) &&
                                   clients[i]->Receive(strBlock.size()).size() == strBlock.size();
                }
                if (std::find(alive.begin(), alive.end(), true) == alive.end())
                    SysSleep(1); // every tunnel is gone: wait for the end of the test
            }
        });
    ASSERT_TRUE(WaitUntil([] { return ReadTraffic(g_traffic.nTcpDest) > 100000; }));
    EXPECT_TRUE(WaitUntil([] { return GetSessionCount() == nTunnels; }));

    std::string strLog = strLogPath;
    Stop();
    // The pump finds every tunnel gone; only then is a client read from this thread.
    bDone = true;
    pump.join();
    for (auto& client : clients)
        EXPECT_TRUE(client->WaitClosed());
    std::vector<SLogLine> lines = ReadLog(strLog);
    EXPECT_EQ(LinesWithStatus("TCP tunnel ready").size(), (size_t)nTunnels);
    EXPECT_TRUE(LinesWithStatus("Disconnect").empty());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().strStatus, "Server stopped");
}

TEST_F(LiveServer, ListenerThatFailsOnItsOwnIsReportedAndTearsTheSessionsDown)
{
    CEchoServer echo;
    CTestSocket client;
    OpenSocks5Tunnel(client, echo.GetPort());
    int nWentDown = TestShell().GetWentDownCount();

    // Closing the listening socket behind the listener's back, without the stop flag, is a
    // failure of Accept the listener did not ask for.
    CloseSocketAt(&g_server.hListenSocket);
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            TestShell().WaitForEvents(1);
            return TestShell().GetWentDownCount() > nWentDown;
        }));
    EXPECT_TRUE(client.WaitClosed());
    ASSERT_TRUE(WaitUntil([] { return !IsServerRunning(); }));
    EXPECT_EQ(GetSessionCount(), 0);
    EXPECT_EQ(g_server.tStarted, 0);
    EXPECT_EQ(ErrorCondition(g_server.nLastError), COND_ACCEPT);

    std::vector<SLogLine> lines = ReadLog(strLogPath);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().strStatus, "Server went down");
    EXPECT_EQ(lines.back().strError, std::string(ErrorText(g_server.nLastError).GetString()));
    EXPECT_TRUE(LinesWithStatus("Disconnect").empty());
    EXPECT_FALSE(g_server.logFile.IsOpen());

    // The server can be started again.
    Start();
    CTestSocket again;
    OpenSocks5Tunnel(again, echo.GetPort());
}
