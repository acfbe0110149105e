// UdpAssociateTest.cpp: SOCKS5 UDP ASSOCIATE end to end on loopback: the reply, the relay in
// both directions with its headers, the learned client port, every datagram the relay drops (one
// addressed to the relay itself included), and the end of the association.
#include <cstring>

#include "tests/support/EngineTestSupport.h"
#include "engine/SessionTable.h"
#include "net/SocketApi.h"

namespace
{
bool LookupEchoName(const char* pszName, in_addr* pAddr)
{
    if (strcmp(pszName, "udp-echo.test") != 0)
        return false;
    pAddr->s_addr = htonl(0x7F000001);
    return true;
}

std::string Port2(uint16_t nPort)
{
    return ByteString({nPort >> 8, nPort & 0xFF});
}

// The SOCKS5 UDP header for 127.0.0.1 and the port.
std::string UdpHeader(uint16_t nPort, int nFragment = 0)
{
    return ByteString({0, 0, nFragment, 1, 127, 0, 0, 1}) + Port2(nPort);
}

class UdpAssociation : public LiveServer
{
protected:
    void SetUp() override
    {
        LiveServer::SetUp();
        SetHostLookup(LookupEchoName);
        ConnectClient(control);
        strSource = EndpointOf(control.LocalAddress());
        ASSERT_TRUE(control.Send(ByteString({5, 1, 0})));
        ASSERT_EQ(HexOf(control.Receive(2)), "05 00");
        // The request's address and port are ignored; these say "any".
        ASSERT_TRUE(control.Send(ByteString({5, 3, 0, 1, 0, 0, 0, 0, 0, 0})));
        std::string strReply = control.Receive(10);
        ASSERT_EQ(strReply.size(), 10u);
        ASSERT_EQ(HexOf(strReply.substr(0, 8)), "05 00 00 01 7F 00 00 01");
        memset(&saRelay, 0, sizeof(saRelay));
        saRelay.sin_family = AF_INET;
        memcpy(&saRelay.sin_addr, &strReply[4], 4);
        memcpy(&saRelay.sin_port, &strReply[8], 2);
        ASSERT_TRUE(udp.Bind(0));
    }

    void TearDown() override
    {
        SetHostLookup(nullptr);
        LiveServer::TearDown();
    }

    // Sends through the relay and returns what comes back to the client socket (empty: nothing
    // within the time).
    std::string Exchange(CTestSocket& from, const std::string& strDatagram, int nTimeoutMs = WAIT_MS)
    {
        EXPECT_TRUE(from.SendTo(strDatagram, saRelay));
        std::string strReply;
        sockaddr_in saFrom;
        if (!from.ReceiveFrom(strReply, &saFrom, nTimeoutMs))
            return "";
        EXPECT_EQ(EndpointOf(saFrom), EndpointOf(saRelay));
        return strReply;
    }

    CTestSocket control;
    CTestSocket udp{SOCK_DGRAM};
    std::string strSource;
    sockaddr_in saRelay;
    CUdpEcho echo;
};
} // namespace

TEST_F(UdpAssociation, ReplyNamesTheClientsInterfaceAndAFreshPortAndIsLogged)
{
    EXPECT_NE(ntohs(saRelay.sin_port), 0);
    EXPECT_NE(ntohs(saRelay.sin_port), nPort);
    std::vector<SLogLine> ready =
        WaitLog(strLogPath, [](const SLogLine& l) { return l.strStatus == "UDP relay ready"; });
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].strVersion, "5");
    EXPECT_EQ(ready[0].strUser, "-");
    EXPECT_EQ(ready[0].strSource, strSource);
    EXPECT_EQ(ready[0].strDest, "(UDP ASSOCIATE)");
}

TEST_F(UdpAssociation, RelaysBothWaysAddingAndRemovingTheHeader)
{
    std::string strReply = Exchange(udp, UdpHeader(echo.GetPort()) + "payload");
    EXPECT_EQ(HexOf(strReply), HexOf(UdpHeader(echo.GetPort()) + "payload"));
    EXPECT_EQ(echo.GetReceived(), 1);
    // The client side counts the datagram in and out with headers, the destination side without.
    EXPECT_TRUE(WaitUntil([] { return ReadTraffic(g_traffic.nUdpClient) == 34u; }));
    EXPECT_EQ(ReadTraffic(g_traffic.nUdpDest), 14u);

    // A host name, dotted or looked up, names the destination as well.
    std::string strName = "udp-echo.test";
    std::string strByName =
        ByteString({0, 0, 0, 3, (int)strName.size()}) + strName + Port2(echo.GetPort()) + "named";
    EXPECT_EQ(HexOf(Exchange(udp, strByName)), HexOf(UdpHeader(echo.GetPort()) + "named"));
    std::string strDotted = "127.0.0.1";
    std::string strByDotted =
        ByteString({0, 0, 0, 3, (int)strDotted.size()}) + strDotted + Port2(echo.GetPort()) + "dotted";
    EXPECT_EQ(HexOf(Exchange(udp, strByDotted)), HexOf(UdpHeader(echo.GetPort()) + "dotted"));
}

// The first relayed datagram teaches the relay the client's port; another port of the client's
// host (another program there) can neither send through the association nor take its replies.
TEST_F(UdpAssociation, ClientPortIsLearnedOnceAndAnotherPortIsDropped)
{
    EXPECT_EQ(Exchange(udp, UdpHeader(echo.GetPort()) + "one").substr(10), "one");
    CTestSocket moved(SOCK_DGRAM);
    ASSERT_TRUE(moved.Bind(0));
    EXPECT_EQ(Exchange(moved, UdpHeader(echo.GetPort()) + "two", 300), "");
    EXPECT_EQ(Exchange(udp, UdpHeader(echo.GetPort()) + "three").substr(10), "three");
    EXPECT_EQ(echo.GetReceived(), 2);
    std::string strStray;
    EXPECT_FALSE(moved.ReceiveFrom(strStray, nullptr, 100));
}

// A datagram addressed to the relay's own address would have the destination side send to the
// client side, which took it for the client's and learned the destination side's port as the
// client's: from then on every answer circled between the two sockets, a header longer each
// pass. It is dropped, and the association goes on serving its client.
TEST_F(UdpAssociation, DatagramToTheRelaysOwnAddressRelaysNothing)
{
    std::string strInner = UdpHeader(echo.GetPort()) + "inner";
    std::string strToRelay = ByteString({0, 0, 0, 1});
    strToRelay.append((const char*)&saRelay.sin_addr, 4);
    strToRelay.append((const char*)&saRelay.sin_port, 2);
    EXPECT_TRUE(udp.SendTo(strToRelay + strInner, saRelay));
    EXPECT_EQ(Exchange(udp, UdpHeader(echo.GetPort()) + "good").substr(10), "good");
    EXPECT_EQ(echo.GetReceived(), 1);
    // In: 25 + 14 bytes from the client, 4 from the echo; out: the 4 to the echo, 14 to the client.
    EXPECT_TRUE(WaitUntil([] { return ReadTraffic(g_traffic.nUdpClient) == 53u; }));
    EXPECT_EQ(ReadTraffic(g_traffic.nUdpDest), 8u);
    std::string strStray;
    EXPECT_FALSE(udp.ReceiveFrom(strStray, nullptr, 100));
}

TEST_F(UdpAssociation, DatagramsTheRelayMustNotPassAreDropped)
{
    // Another host's datagram: the relay is the client's alone. (Wine sends from a UDP socket
    // bound to 127.0.0.2 with the source 127.0.0.1, so there the sender is not foreign at all:
    // a probe tells, and the scripted relay test covers the case everywhere.)
    CTestSocket foreign(SOCK_DGRAM);
    sockaddr_in saOther = LoopbackAddress(0);
    saOther.sin_addr.s_addr = htonl(0x7F000002);
    ASSERT_EQ(SysBind(foreign.hSocket, (const sockaddr*)&saOther, sizeof(saOther)), 0);
    CTestSocket probe(SOCK_DGRAM);
    ASSERT_TRUE(probe.Bind(0));
    ASSERT_TRUE(foreign.SendTo("probe", probe.LocalAddress()));
    std::string strProbe;
    sockaddr_in saSeen;
    ASSERT_TRUE(probe.ReceiveFrom(strProbe, &saSeen));
    bool bForeign = saSeen.sin_addr.s_addr == htonl(0x7F000002);
    if (bForeign)
    {
        EXPECT_TRUE(foreign.SendTo(UdpHeader(echo.GetPort()) + "foreign", saRelay));
    }

    std::string strName = "udp-echo.test";
    const std::string bad[] = {
        UdpHeader(echo.GetPort(), 1) + "fragment",                                       // fragment 1
        ByteString({0, 0, 0, 4}) + std::string(16, '\1') + Port2(echo.GetPort()) + "v6", // address type 4
        ByteString({0, 0, 0, 1, 127, 0, 0}),                                // too short for type 1
        ByteString({0, 0, 0, 3, 40}) + strName + Port2(echo.GetPort()),     // name longer than the datagram
        ByteString({0, 0, 0, 3, 0}) + Port2(echo.GetPort()) + "empty name", // empty name
        ByteString({0, 0, 0, 3, 12}) + "nowhere.test" + Port2(echo.GetPort()), // name that does not resolve
        ByteString({0, 0, 0}),                                                 // shorter than any header
    };
    for (const std::string& strDatagram : bad)
        EXPECT_TRUE(udp.SendTo(strDatagram, saRelay));
    // The relay handles datagrams in order: once this one is back, every one before was dropped.
    EXPECT_EQ(Exchange(udp, UdpHeader(echo.GetPort()) + "good").substr(10), "good");
    EXPECT_EQ(echo.GetReceived(), 1);
    if (bForeign)
    {
        std::string strStray;
        EXPECT_FALSE(foreign.ReceiveFrom(strStray, nullptr, 100));
    }
}

TEST_F(UdpAssociation, AByteOnTheControlConnectionEndsTheAssociation)
{
    EXPECT_EQ(Exchange(udp, UdpHeader(echo.GetPort()) + "before").substr(10), "before");
    ASSERT_TRUE(control.Send("x"));
    EXPECT_TRUE(control.WaitClosed());
    SLogLine line = WaitDisconnect(strSource);
    EXPECT_EQ(line.strVersion, "5");
    EXPECT_EQ(line.strDest, "(UDP ASSOCIATE)");
    EXPECT_EQ(line.strError, "-");
    EXPECT_TRUE(WaitUntil([] { return GetSessionCount() == 0; }));
    // The relay is gone with it.
    EXPECT_EQ(Exchange(udp, UdpHeader(echo.GetPort()) + "after", 300), "");
}

TEST_F(UdpAssociation, StopEndsTheAssociationWithoutADisconnectLine)
{
    EXPECT_EQ(Exchange(udp, UdpHeader(echo.GetPort()) + "x").substr(10), "x");
    Stop();
    EXPECT_TRUE(control.WaitClosed());
    EXPECT_TRUE(LinesWithStatus("Disconnect").empty());
}
