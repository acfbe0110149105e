// QuietTunnelTest.cpp: a tunnel that has been quiet for longer than the relay's quiet spell (on
// Linux its thread goes, and a watch hands it back when data comes) carries on byte for byte, is
// counted, ends with its Disconnect line, and is ended by the server's stop.
#include <thread>

#include "tests/support/EngineTestSupport.h"
#include "engine/SessionTable.h"
#include "engine/TcpRelay.h"

namespace
{
void WaitOutTheQuietSpell()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(TUNNEL_QUIET_MS + 400));
}
} // namespace

TEST_F(LiveServer, AQuietTunnelCarriesOnAndEndsWithItsDisconnectLine)
{
    CEchoServer echo;
    CTestSocket client;
    OpenSocks5Tunnel(client, echo.GetPort());
    const std::string strSource = EndpointOf(client.LocalAddress());
    ASSERT_TRUE(client.Send("first"));
    ASSERT_EQ(client.Receive(5), "first");
    WaitOutTheQuietSpell();
    // Both directions wake it: the client's data, then the destination's echo of it.
    ASSERT_TRUE(client.Send("second"));
    EXPECT_EQ(client.Receive(6), "second");
    WaitOutTheQuietSpell();
    ASSERT_TRUE(client.Send("third"));
    EXPECT_EQ(client.Receive(5), "third");
    EXPECT_TRUE(WaitUntil([] { return ReadTraffic(g_traffic.nTcpClient) == 32u; }));
    EXPECT_EQ(ReadTraffic(g_traffic.nTcpDest), 32u);

    client.Close();
    SLogLine line = WaitDisconnect(strSource);
    EXPECT_EQ(line.strError, "-");
    EXPECT_EQ(LinesWithStatus("TCP tunnel ready").size(), 1u); // one tunnel, however often it slept
}

TEST_F(LiveServer, TheStopEndsAQuietTunnel)
{
    CEchoServer echo;
    CTestSocket client;
    OpenSocks5Tunnel(client, echo.GetPort());
    ASSERT_TRUE(client.Send("x"));
    ASSERT_EQ(client.Receive(1), "x");
    WaitOutTheQuietSpell();
    Stop(); // checks that the table is empty and the log ends with "Server stopped"
    EXPECT_TRUE(client.WaitClosed());
}
