// SocksSessionTest.cpp: SOCKS4 and SOCKS5 sessions end to end through a live server on loopback:
// replies byte for byte, split and merged requests, every refusal with its log line, the tunnel.
#include <atomic>
#include <random>

#include "tests/support/EngineTestSupport.h"
#include "config/Settings.h"
#include "engine/SessionTable.h"
#include "net/SocketApi.h"

namespace
{
// Host names the tests resolve without any name server.
std::atomic<int> g_nLookups(0);

bool LookupTestName(const char* pszName, in_addr* pAddr)
{
    g_nLookups++;
    if (strcmp(pszName, "echo.test") != 0)
        return false;
    pAddr->s_addr = htonl(0x7F000001);
    return true;
}

class HostLookup
{
public:
    HostLookup()
    {
        g_nLookups = 0;
        SetHostLookup(LookupTestName);
    }
    ~HostLookup() { SetHostLookup(nullptr); }
};

// Sends the bytes one send per byte; the client socket has Nagle off, so each leaves on its own.
void SendByteByByte(CTestSocket& client, const std::string& strBytes)
{
    for (char ch : strBytes)
    {
        ASSERT_TRUE(client.Send(std::string(1, ch)));
        SysSleep(1); // lets each byte arrive as a segment of its own; not a wait for a result
    }
}
} // namespace

TEST_F(LiveServer, Socks4ConnectIsGrantedRelaysAndLogsEveryStep)
{
    CEchoServer echo;
    CTestSocket client;
    ConnectClient(client);
    std::string strSource = EndpointOf(client.LocalAddress());
    ASSERT_TRUE(client.Send(Socks4Connect(echo.GetPort(), "alice")));
    EXPECT_EQ(HexOf(client.Receive(8)), HexOf(SOCKS4_GRANTED));
    ASSERT_TRUE(client.Send("hello"));
    EXPECT_EQ(client.Receive(5), "hello");
    std::string strDest = EndpointOf(LoopbackAddress(echo.GetPort()));

    std::vector<SLogLine> ready =
        WaitLog(strLogPath, [&](const SLogLine& l) { return l.strStatus == "TCP tunnel ready"; });
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].strVersion, "4");
    EXPECT_EQ(ready[0].strUser, "alice");
    EXPECT_EQ(ready[0].strSource, strSource);
    EXPECT_EQ(ready[0].strDest, strDest);
    // Both sides counted both directions of the tunnel, and nothing of the negotiation.
    // (The last addition follows the send that brought the echo back.)
    EXPECT_TRUE(WaitUntil([] { return ReadTraffic(g_traffic.nTcpClient) == 10u; }));
    EXPECT_EQ(ReadTraffic(g_traffic.nTcpClient), 10u);
    EXPECT_EQ(ReadTraffic(g_traffic.nTcpDest), 10u);

    client.Close();
    SLogLine line = WaitDisconnect(strSource);
    EXPECT_EQ(line.strVersion, "4");
    EXPECT_EQ(line.strUser, "alice");
    EXPECT_EQ(line.strDest, strDest);
    EXPECT_EQ(line.strError, "-");
    std::vector<SLogLine> connects = LinesWithStatus("Connect");
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0].strSource, strSource);
    EXPECT_EQ(connects[0].strVersion, "-");
    EXPECT_TRUE(WaitUntil([] { return GetSessionCount() == 0; }));
}

TEST_F(LiveServer, Socks4UserIdOf255CharactersIsAcceptedAnd256WithoutZeroAreRefused)
{
    CEchoServer echo;
    {
        CTestSocket client;
        ConnectClient(client);
        ASSERT_TRUE(client.Send(Socks4Connect(echo.GetPort(), std::string(255, 'u'))));
        EXPECT_EQ(HexOf(client.Receive(8)), HexOf(SOCKS4_GRANTED));
    }
    CTestSocket client;
    ConnectClient(client);
    std::string strSource = EndpointOf(client.LocalAddress());
    std::string strRequest = Socks4Connect(echo.GetPort(), std::string(256, 'u'));
    strRequest.pop_back(); // no zero byte
    ASSERT_TRUE(client.Send(strRequest));
    std::string strReply;
    EXPECT_TRUE(client.WaitClosed(WAIT_MS, &strReply));
    EXPECT_EQ(strReply, "");
    SLogLine line = WaitDisconnect(strSource);
    EXPECT_EQ(line.strVersion, "4");
    EXPECT_EQ(line.strUser, "-");
    EXPECT_EQ(line.strError, "Socks negotiate error");
}

TEST_F(LiveServer, Socks5SuccessReplyCarriesTheProxyEndOfTheClientConnection)
{
    CEchoServer echo;
    CTestSocket client;
    ConnectClient(client);
    ASSERT_TRUE(client.Send(ByteString({5, 2, 0, 2}))); // offers both methods, authentication off
    EXPECT_EQ(HexOf(client.Receive(2)), "05 00");
    ASSERT_TRUE(client.Send(Socks5Request(1, echo.GetPort())));
    // Not the destination's address: the address and port the client itself connected to.
    EXPECT_EQ(HexOf(client.Receive(10)), HexOf(Socks5Success(LoopbackAddress(nPort))));
    ASSERT_TRUE(client.Send("ping"));
    EXPECT_EQ(client.Receive(4), "ping");
    std::vector<SLogLine> ready =
        WaitLog(strLogPath, [&](const SLogLine& l) { return l.strStatus == "TCP tunnel ready"; });
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].strVersion, "5");
    EXPECT_EQ(ready[0].strUser, "-");
}

TEST_F(LiveServer, HandshakesSentOneByteAtATimeAreUnderstood)
{
    CEchoServer echo;
    {
        CTestSocket client;
        ConnectClient(client);
        SendByteByByte(client, Socks4Connect(echo.GetPort(), "bob"));
        EXPECT_EQ(HexOf(client.Receive(8)), HexOf(SOCKS4_GRANTED));
        SendByteByByte(client, "abc");
        EXPECT_EQ(client.Receive(3), "abc");
    }

    g_settings.bSocks5Auth = 1;
    g_settings.strSocks5Userid = "Carol";
    g_settings.strSocks5Password = "s3cret";
    CTestSocket client;
    ConnectClient(client);
    std::string strSource = EndpointOf(client.LocalAddress());
    SendByteByByte(client, ByteString({5, 1, 2}));
    EXPECT_EQ(HexOf(client.Receive(2)), "05 02");
    SendByteByByte(client, Socks5Auth("carol", "s3cret")); // the user name ignores case
    EXPECT_EQ(HexOf(client.Receive(2)), "01 00");
    SendByteByByte(client, Socks5NameRequest(1, "127.0.0.1", echo.GetPort()));
    EXPECT_EQ(HexOf(client.Receive(10)), HexOf(Socks5Success(LoopbackAddress(nPort))));
    SendByteByByte(client, "xyz");
    EXPECT_EQ(client.Receive(3), "xyz");
    client.Close();
    SLogLine line = WaitDisconnect(strSource);
    EXPECT_EQ(line.strUser, "carol");
    EXPECT_EQ(line.strError, "-");
}

TEST_F(LiveServer, RequestArrivingTogetherWithTheFirstDataKeepsTheData)
{
    CEchoServer echo;
    {
        CTestSocket client;
        ConnectClient(client);
        ASSERT_TRUE(client.Send(Socks4Connect(echo.GetPort(), "dave") + "GET / HTTP/1.0\r\n\r\n"));
        EXPECT_EQ(HexOf(client.Receive(8)), HexOf(SOCKS4_GRANTED));
        EXPECT_EQ(client.Receive(18), "GET / HTTP/1.0\r\n\r\n");
    }
    CTestSocket client;
    ConnectClient(client);
    // Greeting, request and data in one segment, before the method reply was even read.
    ASSERT_TRUE(client.Send(ByteString({5, 1, 0}) + Socks5Request(1, echo.GetPort()) + "early data"));
    EXPECT_EQ(HexOf(client.Receive(2)), "05 00");
    EXPECT_EQ(HexOf(client.Receive(10)), HexOf(Socks5Success(LoopbackAddress(nPort))));
    EXPECT_EQ(client.Receive(10), "early data");
}

TEST_F(LiveServer, Socks5HostNamesAreLookedUpUnlessDotted)
{
    HostLookup lookup;
    CEchoServer echo;
    {
        CTestSocket client;
        ConnectClient(client);
        ASSERT_TRUE(client.Send(ByteString({5, 1, 0}) + Socks5NameRequest(1, "127.0.0.1", echo.GetPort())));
        EXPECT_EQ(HexOf(client.Receive(12)),
                  HexOf(ByteString({5, 0}) + Socks5Success(LoopbackAddress(nPort))));
        EXPECT_EQ(g_nLookups.load(), 0);
    }
    {
        CTestSocket client;
        ConnectClient(client);
        ASSERT_TRUE(client.Send(ByteString({5, 1, 0}) + Socks5NameRequest(1, "echo.test", echo.GetPort())));
        EXPECT_EQ(HexOf(client.Receive(12)),
                  HexOf(ByteString({5, 0}) + Socks5Success(LoopbackAddress(nPort))));
        ASSERT_TRUE(client.Send("via name"));
        EXPECT_EQ(client.Receive(8), "via name");
        EXPECT_EQ(g_nLookups.load(), 1);
    }
    CTestSocket client;
    ConnectClient(client);
    std::string strSource = EndpointOf(client.LocalAddress());
    ASSERT_TRUE(client.Send(ByteString({5, 1, 0}) + Socks5NameRequest(1, "nowhere.test", echo.GetPort())));
    EXPECT_EQ(HexOf(client.Receive(12)), HexOf(ByteString({5, 0}) + Socks5Failure(4)));
    EXPECT_TRUE(client.WaitClosed());
    SLogLine line = WaitDisconnect(strSource);
    // Condition 9: its own text, or the text of the Windows Sockets error the thread held.
    EXPECT_TRUE(line.strError == "Cannot find server or DNS Error" ||
                line.strError.find(" (1") != std::string::npos)
        << line.strError;
    EXPECT_EQ(line.strDest, "-");
}

// Every refusal of the negotiation: the exact reply (or none), the close, and the Disconnect
// line's version, user and error. The settings change between cases while the server runs.
TEST_F(LiveServer, EveryRefusalSendsItsReplyClosesAndLogsItsError)
{
    uint16_t nClosed = ClosedLoopbackPort();
    struct SCase
    {
        const char* pszName;
        std::function<void()> configure;
        std::string strSend;
        std::string strReply;
        const char* pszVersion;
        const char* pszError;
    };
    auto socks5Auth = []
    {
        g_settings.bSocks5Auth = 1;
        g_settings.strSocks5Userid = "user";
        g_settings.strSocks5Password = "Pass";
    };
    const std::string strGreeting = ByteString({5, 1, 0});
    const std::string strAccepted = ByteString({5, 0});
    std::vector<SCase> cases = {
        {"first byte neither 4 nor 5", nullptr, ByteString({6}), "", "-", "Socks negotiate error"},
        {"SOCKS4 switched off", [] { g_settings.bSocks4 = 0; }, Socks4Connect(nClosed), "", "-",
         "Socks version not allowed"},
        {"SOCKS5 switched off", [] { g_settings.bSocks5 = 0; }, strGreeting, "", "-",
         "Socks version not allowed"},
        {"SOCKS4 BIND", nullptr, Socks4Request(2, 80, ByteString({127, 0, 0, 1}), ""), SOCKS4_REJECTED, "4",
         "Method not allowed"},
        {"SOCKS4 other command", nullptr, Socks4Request(3, 80, ByteString({127, 0, 0, 1}), ""), "", "4",
         "Socks negotiate error"},
        {"SOCKS4 connect fails", nullptr, Socks4Connect(nClosed), SOCKS4_REJECTED, "4",
         "Connection refused (10061)"},
        {"SOCKS5 method 2 only, authentication off", nullptr, ByteString({5, 1, 2}), ByteString({5, 0xFF}),
         "5", "Socks negotiate auth. error"},
        {"SOCKS5 method 0 only, authentication on", socks5Auth, strGreeting, ByteString({5, 0xFF}), "5",
         "Socks negotiate auth. error"},
        {"SOCKS5 no method offered", nullptr, ByteString({5, 0}), ByteString({5, 0xFF}), "5",
         "Socks negotiate auth. error"},
        {"SOCKS5 sub-negotiation version 5", socks5Auth, ByteString({5, 1, 2, 5}), ByteString({5, 2}), "5",
         "Socks negotiate error"},
        {"SOCKS5 wrong password", socks5Auth, ByteString({5, 1, 2}) + Socks5Auth("user", "pass"),
         ByteString({5, 2, 1, 1}), "5", "Socks negotiate auth. error"},
        {"SOCKS5 empty password", socks5Auth, ByteString({5, 1, 2}) + Socks5Auth("user", ""),
         ByteString({5, 2, 1, 1}), "5", "Socks negotiate auth. error"},
        {"SOCKS5 request version 4", nullptr, strGreeting + ByteString({4}), strAccepted, "5",
         "Socks negotiate error"},
        {"SOCKS5 IPv6 address", nullptr, strGreeting + ByteString({5, 1, 0, 4}) + std::string(18, '\1'),
         strAccepted + Socks5Failure(8), "5", "Addresstype not supported"},
        {"SOCKS5 address type 2", nullptr, strGreeting + ByteString({5, 1, 0, 2}), strAccepted, "5",
         "Socks negotiate error"},
        {"SOCKS5 BIND", nullptr, strGreeting + Socks5Request(2, 80), strAccepted + Socks5Failure(7), "5",
         "Method not allowed"},
        {"SOCKS5 other command", nullptr, strGreeting + Socks5Request(9, 80), strAccepted, "5",
         "Socks negotiate error"},
        {"SOCKS5 connect fails", nullptr, strGreeting + Socks5Request(1, nClosed),
         strAccepted + Socks5Failure(4), "5", "Connection refused (10061)"},
    };
    for (const SCase& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        ResetSettings();
        if (c.configure)
            c.configure();
        CTestSocket client;
        ConnectClient(client);
        std::string strSource = EndpointOf(client.LocalAddress());
        ASSERT_TRUE(client.Send(c.strSend));
        // The reply is read before the proxy's close can be waited for: a negative reply lingers.
        std::string strReply = client.Receive(c.strReply.size());
        std::string strMore;
        EXPECT_TRUE(client.WaitClosed(WAIT_MS, &strMore));
        EXPECT_EQ(HexOf(strReply + strMore), HexOf(c.strReply));
        SLogLine line = WaitDisconnect(strSource);
        EXPECT_EQ(line.strVersion, c.pszVersion);
        EXPECT_EQ(line.strUser, "-");
        EXPECT_EQ(line.strError, c.pszError);
    }
    EXPECT_TRUE(LinesWithStatus("TCP tunnel ready").empty());
}

TEST_F(LiveServer, Socks5BindIsReadCompletelyBeforeItIsRefused)
{
    CTestSocket client;
    ConnectClient(client);
    ASSERT_TRUE(client.Send(ByteString({5, 1, 0})));
    EXPECT_EQ(HexOf(client.Receive(2)), "05 00");
    std::string strRequest = Socks5Request(2, 80);
    ASSERT_TRUE(client.Send(strRequest.substr(0, strRequest.size() - 1)));
    EXPECT_TRUE(client.StaysSilent(200)); // the last port byte is missing: no reply yet
    ASSERT_TRUE(client.Send(strRequest.substr(strRequest.size() - 1)));
    EXPECT_EQ(HexOf(client.Receive(10)), HexOf(Socks5Failure(7)));
    EXPECT_TRUE(client.WaitClosed());
}

TEST_F(LiveServer, ClientClosingDuringNegotiationIsLoggedAsUnexpectedClose)
{
    CTestSocket client;
    ConnectClient(client);
    std::string strSource = EndpointOf(client.LocalAddress());
    ASSERT_TRUE(client.Send(ByteString({5, 2, 0}))); // announces two methods, sends one
    EXPECT_TRUE(WaitUntil([&] { return !LinesWithStatus("Connect").empty(); }));
    client.Close();
    SLogLine line = WaitDisconnect(strSource);
    EXPECT_EQ(line.strVersion, "5");
    EXPECT_EQ(line.strError, "Connection unexpectedly closed");
}

TEST_F(LiveServer, DestinationClosingRightAfterTheConnectEndsTheSessionInOrder)
{
    CEchoServer closer(true);
    CTestSocket client;
    OpenSocks5Tunnel(client, closer.GetPort());
    std::string strSource = EndpointOf(client.LocalAddress());
    EXPECT_TRUE(client.WaitClosed());
    SLogLine line = WaitDisconnect(strSource);
    EXPECT_EQ(line.strError, "-");
    EXPECT_EQ(line.strDest, EndpointOf(LoopbackAddress(closer.GetPort())));
}

TEST_F(LiveServer, DataSentJustBeforeTheClientClosesStillReachesTheDestination)
{
    CTestSocket listener;
    ASSERT_TRUE(listener.Bind(0));
    ASSERT_EQ(SysListen(listener.hSocket, 4), 0);
    uint16_t nDestPort = ntohs(listener.LocalAddress().sin_port);
    {
        CTestSocket client;
        ConnectClient(client);
        ASSERT_TRUE(client.Send(Socks4Connect(nDestPort) + "last words"));
        EXPECT_EQ(HexOf(client.Receive(8)), HexOf(SOCKS4_GRANTED));
    }
    CTestSocket dest(SOCK_STREAM);
    dest.Close();
    dest.hSocket = SysAccept(listener.hSocket, nullptr, nullptr);
    ASSERT_NE(dest.hSocket, INVALID_SOCKET);
    std::string strData;
    EXPECT_TRUE(dest.WaitClosed(WAIT_MS, &strData));
    EXPECT_EQ(strData, "last words");
}

TEST_F(LiveServer, LargeTransfersPassWholeInBothDirections)
{
    CEchoServer echo;
    CTestSocket client;
    OpenSocks5Tunnel(client, echo.GetPort());
    // One full relay block, then an amount that takes many passes.
    for (size_t nSize : {size_t(65535), size_t(1000003)})
    {
        std::string strData(nSize, '\0');
        std::mt19937 random((unsigned)nSize);
        for (char& ch : strData)
            ch = (char)random();
        std::string strEchoed;
        std::thread reader([&] { strEchoed = client.Receive(nSize, 60000); });
        EXPECT_TRUE(client.Send(strData));
        reader.join();
        EXPECT_EQ(strEchoed.size(), nSize);
        EXPECT_TRUE(strEchoed == strData);
    }
    EXPECT_TRUE(WaitUntil([] { return ReadTraffic(g_traffic.nTcpClient) == 2u * (65535 + 1000003); }));
    EXPECT_EQ(ReadTraffic(g_traffic.nTcpDest), 2u * (65535 + 1000003));
}
