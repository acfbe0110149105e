// AbuseTest.cpp: clients that try to misuse the proxy, over the scripted socket table: a UDP
// association told to send to itself, a host name or a password with a zero byte inside, a
// negotiation trickled out for longer than its bound, and password guessing.
#include <atomic>

#include "ScriptedEngine.h"
#include "engine/UdpRelay.h"

namespace
{
// The engine's clock in these tests: it moves only when a test moves it.
std::atomic<uint64_t> g_nFakeNowMs(1000000);

uint64_t FakeClock()
{
    return g_nFakeNowMs.load();
}

std::string UdpHeaderTo(const sockaddr_in& sa)
{
    std::string str = ByteString({0, 0, 0, 1});
    str.append((const char*)&sa.sin_addr, 4);
    str.append((const char*)&sa.sin_port, 2);
    return str;
}

// The relay thread over two scripted sockets, for a client at 127.0.0.1:6000 (host and port as
// it will send from).
class ScriptedRelay
{
public:
    explicit ScriptedRelay(CScriptedSocketApi& scriptIn) : script(scriptIn)
    {
        udp.bStop = 0;
        udp.hClientUdpSocket = INVALID_SOCKET;
        udp.hDestUdpSocket = INVALID_SOCKET;
        udp.saRelay = Address(0x7F000001, 0);
        udp.saUdpClient = Address(0x7F000001, 0);
        memset(&udp.saDestSide, 0, sizeof(udp.saDestSide));
        udp.hReadyEvent.Create(false);
        udp.hDoneEvent.Create(false);
        hClientSide = script.NextHandle();
        hDestSide = hClientSide + 1;
        script.SetWhenEmpty(hClientSide, CScriptedSocketApi::EMPTY_BLOCK);
        script.SetWhenEmpty(hDestSide, CScriptedSocketApi::EMPTY_BLOCK);
    }

    bool Start()
    {
        EngineThreadStarting();
        if (!SysStartThread(UdpAssociateThreadProc, &udp, SysScaledStack(64 * 1024), nullptr))
            return false;
        return SysWaitEither(udp.hReadyEvent, udp.hDoneEvent, WAIT_MS) == 0;
    }

    ~ScriptedRelay()
    {
        SysRaiseFlag(&udp.bStop);
        CloseSocketAt(&udp.hClientUdpSocket);
        CloseSocketAt(&udp.hDestUdpSocket);
        udp.hDoneEvent.Wait(WAIT_MS);
    }

    CScriptedSocketApi& script;
    SUdpContext udp;
    SOCKET hClientSide, hDestSide;
};
} // namespace

// A client that names the relay's own sockets as its destination, or whose datagrams seem to come
// from them, must not make one socket send to the other: each pass round that loop adds a header,
// and every datagram arriving at the destination side afterwards would circle for ever.
TEST_F(ScriptedEngine, UdpRelayNeverSendsToOrTakesFromItsOwnSockets)
{
    ScriptedRelay relay(script);
    ASSERT_TRUE(relay.Start());
    const sockaddr_in saClientSide = relay.udp.saRelay;
    sockaddr_in saDestSide = Address(0x7F000001, ntohs(relay.udp.saDestSide.sin_port));
    ASSERT_NE(saDestSide.sin_port, 0);
    ASSERT_NE(saDestSide.sin_port, saClientSide.sin_port);
    sockaddr_in saDestSideAny = saDestSide;
    saDestSideAny.sin_addr.s_addr = 0;
    const sockaddr_in saClient = Address(0x7F000001, 6000);
    const sockaddr_in saServer = Address(0x7F000001, 53);

    // Destinations that are the relay itself; then a datagram that seems to come from its own
    // destination side. None is sent on.
    for (const sockaddr_in& saTo : {saClientSide, saDestSide, saDestSideAny})
        script.QueueDatagram(relay.hClientSide, UdpHeaderTo(saTo) + "loop", saClient);
    script.QueueDatagram(relay.hClientSide, UdpHeader53("spoofed"), saDestSide);
    script.QueueDatagram(relay.hClientSide, UdpHeader53("query"), saClient);
    ASSERT_TRUE(WaitUntil([&] { return script.SentDatagrams(relay.hDestSide).size() == 1; }));

    // At the destination side, datagrams from the relay's own sockets are not passed to the
    // client; a real answer is.
    script.QueueDatagram(relay.hDestSide, "from the client side", saClientSide);
    script.QueueDatagram(relay.hDestSide, "from itself", saDestSide);
    script.QueueDatagram(relay.hDestSide, "answer", saServer);
    ASSERT_TRUE(WaitUntil([&] { return script.SentDatagrams(relay.hClientSide).size() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return script.PendingSteps(relay.hClientSide) == 0; }));

    std::vector<CScriptedSocketApi::SDatagram> toDest = script.SentDatagrams(relay.hDestSide);
    ASSERT_EQ(toDest.size(), 1u);
    EXPECT_EQ(toDest[0].strData, "query");
    EXPECT_EQ(EndpointOf(toDest[0].saAddr), "127.0.0.1:53");
    std::vector<CScriptedSocketApi::SDatagram> toClient = script.SentDatagrams(relay.hClientSide);
    ASSERT_EQ(toClient.size(), 1u);
    EXPECT_EQ(HexOf(toClient[0].strData), HexOf(UdpHeader53("answer")));
    EXPECT_EQ(EndpointOf(toClient[0].saAddr), "127.0.0.1:6000");
    EXPECT_FALSE(relay.udp.hDoneEvent.IsSignalled());
}

// Once the client's first datagram has taught the relay its port, another port of the same host
// is another program: it can neither send through the association nor take its replies over.
TEST_F(ScriptedEngine, UdpRelayKeepsTheClientPortItLearnedFirst)
{
    ScriptedRelay relay(script);
    ASSERT_TRUE(relay.Start());
    const sockaddr_in saServer = Address(0x7F000001, 53);
    script.QueueDatagram(relay.hClientSide, UdpHeader53("first"), Address(0x7F000001, 6000));
    script.QueueDatagram(relay.hClientSide, UdpHeader53("intruder"), Address(0x7F000001, 6001));
    script.QueueDatagram(relay.hClientSide, UdpHeader53("second"), Address(0x7F000001, 6000));
    ASSERT_TRUE(WaitUntil([&] { return script.PendingSteps(relay.hClientSide) == 0; }));
    ASSERT_TRUE(WaitUntil([&] { return script.SentDatagrams(relay.hDestSide).size() >= 2; }));
    script.QueueDatagram(relay.hDestSide, "answer", saServer);
    ASSERT_TRUE(WaitUntil([&] { return script.SentDatagrams(relay.hClientSide).size() == 1; }));

    std::vector<CScriptedSocketApi::SDatagram> toDest = script.SentDatagrams(relay.hDestSide);
    ASSERT_EQ(toDest.size(), 2u);
    EXPECT_EQ(toDest[0].strData + "," + toDest[1].strData, "first,second");
    EXPECT_EQ(EndpointOf(script.SentDatagrams(relay.hClientSide)[0].saAddr), "127.0.0.1:6000");
}

// "localhost\0junk" is not a name of localhost: the request is refused as a name that does not
// resolve, and nothing is dialled.
TEST_F(ScriptedEngine, HostNameHoldingAZeroByteIsRefusedAsUnreachable)
{
    SetHostLookup(LookupLocalhost);
    SOCKET hClient = NewClient();
    script.QueueData(hClient, ByteString({5, 1, 0}) + Socks5NameRequest(1, std::string("localhost\0junk", 14), 80));
    size_t nCreated = script.CreatedSockets().size();
    RunSession(hClient);
    SetHostLookup(nullptr);
    EXPECT_EQ(HexOf(script.Sent(hClient)), HexOf(ByteString({5, 0}) + Socks5Failure(4)));
    for (size_t i = nCreated; i < script.CreatedSockets().size(); i++)
        EXPECT_FALSE(script.IsConnected(script.CreatedSockets()[i]));
    SLogLine line = LastLine();
    EXPECT_EQ(line.strStatus, "Disconnect");
    EXPECT_EQ(line.strError, "Cannot find server or DNS Error");
}

TEST_F(ScriptedEngine, PasswordWithAZeroByteInsideIsNotThePasswordBeforeIt)
{
    g_settings.bSocks5Auth = 1;
    g_settings.strSocks5Userid = "alice";
    g_settings.strSocks5Password = "secret";
    SOCKET hClient = NewClient();
    script.QueueData(hClient, ByteString({5, 1, 2}) + Socks5Auth("alice", std::string("secret\0guess", 12)) +
                                  Socks5Request(1, 80));
    size_t nCreated = script.CreatedSockets().size();
    RunSession(hClient);
    g_settings.bSocks5Auth = 0;
    EXPECT_EQ(HexOf(script.Sent(hClient)), "05 02 01 01");
    EXPECT_EQ(script.CreatedSockets().size(), nCreated);
    EXPECT_EQ(LastLine().strError, "Socks negotiate auth. error");
}

// A client that sends its negotiation one byte at a time, each just inside the receive time-out,
// is cut off when the whole negotiation has taken its bound, as a silent client is.
TEST_F(ScriptedEngine, NegotiationTrickledPastItsBoundTimesOut)
{
    SetEngineClock(FakeClock);
    SOCKET hClient = NewClient();
    script.QueueChunks(hClient, ByteString({5, 1, 0}) + Socks5Request(1, 80), 1);
    // Each byte takes ten seconds to come.
    script.SetCallHook(
        [&](CScriptedSocketApi::ECall eCall, SOCKET s)
        {
            if (s == hClient && eCall == CScriptedSocketApi::CALL_RECV)
                g_nFakeNowMs += 10000;
        });
    size_t nCreated = script.CreatedSockets().size();
    RunSession(hClient);
    script.SetCallHook(nullptr);
    EXPECT_EQ(HexOf(script.Sent(hClient)), "05 00"); // the method selection, never a reply to the request
    for (size_t i = nCreated; i < script.CreatedSockets().size(); i++)
        EXPECT_FALSE(script.IsConnected(script.CreatedSockets()[i]));
    SLogLine line = LastLine();
    EXPECT_EQ(line.strVersion, "5");
    EXPECT_EQ(line.strError, "Select error timeout");
}

// A slow client that finishes inside the bound is served as any other.
TEST_F(ScriptedEngine, NegotiationInsideItsBoundIsServed)
{
    SetEngineClock(FakeClock);
    SOCKET hClient = NewClient();
    script.QueueChunks(hClient, ByteString({5, 1, 0}) + Socks5Request(1, 80), 1);
    script.SetCallHook(
        [&](CScriptedSocketApi::ECall eCall, SOCKET s)
        {
            if (s == hClient && eCall == CScriptedSocketApi::CALL_RECV)
                g_nFakeNowMs += 4000; // 13 bytes: 52 s from the version byte to the request's last
        });
    SOCKET hDest = script.NextHandle();
    RunSession(hClient);
    script.SetCallHook(nullptr);
    EXPECT_TRUE(script.IsConnected(hDest));
    EXPECT_EQ(HexOf(script.Sent(hClient)), HexOf(ByteString({5, 0}) + Socks5Success(Address(0x7F000001, 1080))));
}

// Ten wrong passwords from one address within a minute: each is answered as a wrong password is,
// and for the next minute that address gets the same answer whatever it sends, while another
// address is served. A minute later the right password works again.
TEST_F(ScriptedEngine, PasswordGuessingStopsTheGuessingAddressForAMinute)
{
    SetEngineClock(FakeClock);
    g_settings.bSocks5Auth = 1;
    g_settings.strSocks5Userid = "alice";
    g_settings.strSocks5Password = "secret";
    auto session = [&](uint32_t dwHost, const std::string& strPassword)
    {
        SOCKET hClient = NewClient();
        script.SetPeerName(hClient, Address(dwHost, 5555));
        script.QueueData(hClient, ByteString({5, 1, 2}) + Socks5Auth("alice", strPassword) + Socks5Request(1, 80));
        RunSession(hClient);
        return HexOf(script.Sent(hClient).substr(0, 4));
    };
    for (int i = 0; i < PASSWORD_GUESS_LIMIT; i++)
    {
        g_nFakeNowMs += 5000; // ten guesses in 50 s
        EXPECT_EQ(session(0x7F000001, "guess" + std::to_string(i)), "05 02 01 01") << i;
        EXPECT_EQ(LastLine().strError, "Socks negotiate auth. error");
    }
    EXPECT_TRUE(IsBlockedForGuessing(htonl(0x7F000001)));
    EXPECT_EQ(session(0x7F000001, "secret"), "05 02 01 01");
    EXPECT_EQ(session(0x7F000002, "secret"), "05 02 01 00");

    g_nFakeNowMs += PASSWORD_BLOCK_SECONDS * 1000 + 1;
    EXPECT_FALSE(IsBlockedForGuessing(htonl(0x7F000001)));
    EXPECT_EQ(session(0x7F000001, "secret"), "05 02 01 00");
    g_settings.bSocks5Auth = 0;
}

// Failures spread out over more than the window never add up to a block.
TEST_F(ScriptedEngine, PasswordFailuresOutsideTheWindowDoNotAddUp)
{
    SetEngineClock(FakeClock);
    for (int i = 0; i < 3 * PASSWORD_GUESS_LIMIT; i++)
    {
        g_nFakeNowMs += PASSWORD_GUESS_WINDOW_SECONDS * 1000 / (PASSWORD_GUESS_LIMIT - 1) + 1;
        RecordFailedPasswordCheck(htonl(0x0A000001));
        EXPECT_FALSE(IsBlockedForGuessing(htonl(0x0A000001))) << i;
    }
    // A full table still counts an address that keeps failing, and keeps it blocked.
    for (int i = 0; i < PASSWORD_GUESS_LIMIT; i++)
        RecordFailedPasswordCheck(htonl(0x0A000002));
    for (uint32_t n = 0; n < 2000; n++)
        RecordFailedPasswordCheck(htonl(0x0B000000 + n));
    EXPECT_TRUE(IsBlockedForGuessing(htonl(0x0A000002)));
    EXPECT_FALSE(IsBlockedForGuessing(htonl(0x0A000003)));
}
