// BlockingSocketTest.cpp: the socket operations over the scripted table: what each call sends
// and receives, and the error code every failure throws.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/BlockingSocket.h"
#include "tests/support/ScriptedSocketApi.h"

namespace
{

class BlockingSocketTest : public ::testing::Test
{
protected:
    BlockingSocketTest() : hSocket(INVALID_SOCKET), bStop(0), sock(&hSocket, &bStop, 5, 5, script.GetTable())
    {
        hSocket = script.AddSocket();
    }

    template <typename F> uint32_t Thrown(F f)
    {
        try
        {
            f();
        }
        catch (uint32_t nCode)
        {
            return nCode;
        }
        ADD_FAILURE() << "nothing was thrown";
        return 0xFFFFFFFFu;
    }

    CScriptedSocketApi script;
    SOCKET hSocket;
    int32_t bStop;
    CMTBlockingSocket sock;
};

sockaddr_in Address(const char* pszIp, unsigned short nPort)
{
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(nPort);
    sa.sin_addr.s_addr = inet_addr(pszIp);
    return sa;
}

} // namespace

TEST_F(BlockingSocketTest, ReceiveLineAddsTheMissingCarriageReturn)
{
    script.QueueData(hSocket, "abc\nrest");
    CCArray strLine;
    int nRaw = -1;
    EXPECT_EQ(sock.ReceiveLine(strLine, &nRaw), 5);
    EXPECT_EQ(nRaw, 4);
    EXPECT_STREQ(strLine.GetString(), "abc\r\n");
    EXPECT_EQ(strLine.GetLength(), 5);
    // It stops after the line feed: the rest is still there.
    char rest[4];
    sock.ReceiveAll(rest, 4);
    EXPECT_EQ(std::string(rest, 4), "rest");
}

TEST_F(BlockingSocketTest, ReceiveLineKeepsCrLfAndTurnsALoneLineFeedIntoCrLf)
{
    script.QueueData(hSocket, "HTTP/1.1 200 OK\r\n\n\r\nx\r\r\n");
    CCArray strLine;
    int nRaw = 0;
    EXPECT_EQ(sock.ReceiveLine(strLine, &nRaw), 17);
    EXPECT_EQ(nRaw, 17);
    EXPECT_STREQ(strLine.GetString(), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(sock.ReceiveLine(strLine, &nRaw), 2);
    EXPECT_EQ(nRaw, 1);
    EXPECT_STREQ(strLine.GetString(), "\r\n");
    EXPECT_EQ(sock.ReceiveLine(strLine, nullptr), 2);
    EXPECT_STREQ(strLine.GetString(), "\r\n");
    EXPECT_EQ(sock.ReceiveLine(strLine, &nRaw), 4);
    EXPECT_EQ(nRaw, 4);
    EXPECT_STREQ(strLine.GetString(), "x\r\r\n");
}

TEST_F(BlockingSocketTest, ReceiveLineStoresZeroBytesAsCaretsAndGrowsForLongLines)
{
    std::string strLong(5000, 'L');
    script.QueueData(hSocket, std::string("a\0b\n", 4));
    script.QueueChunks(hSocket, strLong + "\n", 777);
    CCArray strLine("old text is replaced");
    EXPECT_EQ(sock.ReceiveLine(strLine, nullptr), 5);
    EXPECT_STREQ(strLine.GetString(), "a^b\r\n");
    int nRaw = 0;
    EXPECT_EQ(sock.ReceiveLine(strLine, &nRaw), 5002);
    EXPECT_EQ(nRaw, 5001);
    EXPECT_EQ(std::string(strLine.GetString()), strLong + "\r\n");
    EXPECT_GE(strLine.nAlloc, 5003);
}

TEST_F(BlockingSocketTest, ReceiveLineFailsWhenThePeerClosesMidLine)
{
    script.QueueData(hSocket, "no line end");
    CCArray strLine;
    EXPECT_EQ(Thrown([&] { sock.ReceiveLine(strLine, nullptr); }), MakeErrorCode(0, COND_CONNECTION_CLOSED));
}

TEST_F(BlockingSocketTest, ReceiveAllGathersTrickledChunksAndZeroBytesNeedNoCall)
{
    sock.ReceiveAll(nullptr, 0);
    EXPECT_EQ(script.CallCount(CScriptedSocketApi::CALL_SELECT), 0);
    EXPECT_EQ(script.CallCount(CScriptedSocketApi::CALL_RECV), 0);

    std::string strData = "0123456789abcdefghij";
    script.QueueChunks(hSocket, strData, 3);
    char buffer[20];
    sock.ReceiveAll(buffer, 20);
    EXPECT_EQ(std::string(buffer, 20), strData);
    EXPECT_EQ(script.CallCount(CScriptedSocketApi::CALL_RECV), 7);
    // Data that is already there is taken without a wait.
    EXPECT_EQ(script.CallCount(CScriptedSocketApi::CALL_SELECT), 0);
}

TEST_F(BlockingSocketTest, ReceiveAllFailsOnAnEarlyEndWithConditionSeven)
{
    script.QueueData(hSocket, "abc");
    char buffer[8];
    EXPECT_EQ(Thrown([&] { sock.ReceiveAll(buffer, 8); }), MakeErrorCode(0, COND_CONNECTION_CLOSED));
}

TEST_F(BlockingSocketTest, SendAllKeepsSendingUntilEverythingHasGone)
{
    script.SetSendLimit(hSocket, 4);
    sock.SendAll("Hello, scripted world", -1);
    EXPECT_EQ(script.Sent(hSocket), "Hello, scripted world");
    std::vector<std::string> calls = script.SendCalls(hSocket);
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[0], "Hell");
    EXPECT_EQ(calls[5], "d");

    sock.SendAll("xyz", 0);
    EXPECT_EQ(script.SendCalls(hSocket).size(), 6u);
    sock.SendAll(std::string("a\0b", 3).data(), 3);
    EXPECT_EQ(script.Sent(hSocket).substr(21), std::string("a\0b", 3));
}

TEST_F(BlockingSocketTest, SendFailuresCarryTheirConditions)
{
    script.SetSendLimit(hSocket, 0);
    EXPECT_EQ(Thrown([&] { sock.Send("x", 1); }), MakeErrorCode(0, COND_SEND_0));
    script.SetSendLimit(hSocket, -1);
    script.FailNext(CScriptedSocketApi::CALL_SEND, WSAECONNRESET);
    EXPECT_EQ(Thrown([&] { sock.SendAll("xy", 2); }), MakeErrorCode(WSAECONNRESET, COND_SEND));
    // A socket without room waits with the time-out, and the wait's failures are its own.
    script.FailNext(CScriptedSocketApi::CALL_SEND, WSAEWOULDBLOCK);
    script.FailNext(CScriptedSocketApi::CALL_SELECT, 0);
    EXPECT_EQ(Thrown([&] { sock.Send("x", 1); }), MakeErrorCode(0, COND_SELECT_TIMEOUT));
    script.FailNext(CScriptedSocketApi::CALL_SEND, WSAEWOULDBLOCK);
    script.FailNext(CScriptedSocketApi::CALL_SELECT, WSAENOTSOCK);
    EXPECT_EQ(Thrown([&] { sock.Send("x", 1); }), MakeErrorCode(WSAENOTSOCK, COND_SELECT));
    EXPECT_EQ(script.Sent(hSocket), "");
    // Room found after the wait: the send is tried again.
    script.FailNext(CScriptedSocketApi::CALL_SEND, WSAEWOULDBLOCK);
    EXPECT_EQ(sock.Send("z", 1), 1);
    EXPECT_EQ(script.Sent(hSocket), "z");
    EXPECT_EQ(script.CallCount(CScriptedSocketApi::CALL_SELECT), 3);
}

TEST_F(BlockingSocketTest, ReceiveFailuresCarryTheirConditions)
{
    char ch;
    script.QueueError(hSocket, WSAECONNRESET);
    EXPECT_EQ(Thrown([&] { sock.Receive(&ch, 1); }), MakeErrorCode(WSAECONNRESET, COND_RECEIVE));
    script.QueueEnd(hSocket);
    EXPECT_EQ(Thrown([&] { sock.Receive(&ch, 1); }), MakeErrorCode(0, COND_CONNECTION_CLOSED));
    EXPECT_EQ(script.CallCount(CScriptedSocketApi::CALL_SELECT), 0);
    // Nothing there yet: one try, then the wait with the time-out.
    script.SetWhenEmpty(hSocket, CScriptedSocketApi::EMPTY_TIMEOUT);
    EXPECT_EQ(Thrown([&] { sock.Receive(&ch, 1); }), MakeErrorCode(0, COND_SELECT_TIMEOUT));
    EXPECT_EQ(script.CallCount(CScriptedSocketApi::CALL_RECV), 3);
    EXPECT_EQ(script.CallCount(CScriptedSocketApi::CALL_SELECT), 1);
    // Data that arrives during the wait is taken by a second try.
    script.FailNext(CScriptedSocketApi::CALL_RECV, WSAEWOULDBLOCK);
    script.QueueData(hSocket, "d");
    EXPECT_EQ(sock.Receive(&ch, 1), 1);
    EXPECT_EQ(ch, 'd');
    EXPECT_EQ(script.CallCount(CScriptedSocketApi::CALL_SELECT), 2);
}

TEST_F(BlockingSocketTest, WaitReadyPassesTheTimeOutOfItsDirection)
{
    // A scripted socket with nothing to read times out at once in EMPTY_TIMEOUT; the write side
    // is always ready.
    script.SetWhenEmpty(hSocket, CScriptedSocketApi::EMPTY_TIMEOUT);
    EXPECT_EQ(sock.WaitReady(false), 1);
    EXPECT_EQ(Thrown([&] { sock.WaitReady(true); }), MakeErrorCode(0, COND_SELECT_TIMEOUT));
    script.QueueData(hSocket, "x");
    EXPECT_EQ(sock.WaitReady(true), 1);
}

TEST_F(BlockingSocketTest, DatagramsKeepTheirBoundariesAndSenders)
{
    sockaddr_in saFrom = Address("127.0.0.9", 5353);
    script.QueueDatagram(hSocket, "first", saFrom);
    script.QueueDatagram(hSocket, "", saFrom);
    script.QueueDatagram(hSocket, "much too long", saFrom);
    char buffer[8];
    sockaddr_in saSender;
    memset(&saSender, 0, sizeof(saSender));
    EXPECT_EQ(sock.ReceiveFrom(buffer, 8, &saSender), 5);
    EXPECT_EQ(saSender.sin_addr.s_addr, saFrom.sin_addr.s_addr);
    EXPECT_EQ(saSender.sin_port, saFrom.sin_port);
    // An empty datagram is returned, not thrown.
    EXPECT_EQ(sock.ReceiveFrom(buffer, 8, nullptr), 0);
    EXPECT_EQ(Thrown([&] { sock.ReceiveFrom(buffer, 8, nullptr); }),
              MakeErrorCode(WSAEMSGSIZE, COND_RECEIVE));

    sockaddr_in saTo = Address("127.0.0.2", 9);
    EXPECT_EQ(sock.SendTo("ping", 4, saTo), 4);
    EXPECT_EQ(sock.SendTo("", 0, saTo), 0);
    std::vector<CScriptedSocketApi::SDatagram> sent = script.SentDatagrams(hSocket);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].strData, "ping");
    EXPECT_EQ(sent[0].saAddr.sin_addr.s_addr, saTo.sin_addr.s_addr);
    EXPECT_EQ(sent[0].saAddr.sin_port, saTo.sin_port);
    script.FailNext(CScriptedSocketApi::CALL_SENDTO, WSAEHOSTUNREACH);
    EXPECT_EQ(Thrown([&] { sock.SendTo("x", 1, saTo); }), MakeErrorCode(WSAEHOSTUNREACH, COND_SEND));
}

TEST_F(BlockingSocketTest, CreateKeepsAValidHandleAndStoresANewOne)
{
    SOCKET hBefore = hSocket;
    sock.Create(SOCK_STREAM);
    EXPECT_EQ(hSocket, hBefore);
    EXPECT_EQ(script.CallCount(CScriptedSocketApi::CALL_SOCKET), 0);

    SOCKET hOther = INVALID_SOCKET;
    CMTBlockingSocket other(&hOther, &bStop, 5, 5, script.GetTable());
    SOCKET hExpected = script.NextHandle();
    other.Create(SOCK_DGRAM);
    EXPECT_EQ(hOther, hExpected);
    EXPECT_EQ(script.SocketType(hOther), SOCK_DGRAM);

    SOCKET hThird = INVALID_SOCKET;
    CMTBlockingSocket third(&hThird, &bStop, 5, 5, script.GetTable());
    script.FailNext(CScriptedSocketApi::CALL_SOCKET, WSAEMFILE);
    EXPECT_EQ(Thrown([&] { third.Create(SOCK_STREAM); }), MakeErrorCode(WSAEMFILE, COND_CREATE_SOCKET));
    EXPECT_EQ(hThird, INVALID_SOCKET);
}

TEST_F(BlockingSocketTest, BindReadsBackTheBoundAddressAndReturnsItsPort)
{
    sockaddr_in sa = Address("127.0.0.1", 0);
    unsigned short nPort = sock.Bind(sa);
    EXPECT_EQ(nPort, 40000);
    EXPECT_EQ(ntohs(sa.sin_port), 40000);
    sockaddr_in saName;
    sock.GetSockName(&saName);
    EXPECT_EQ(saName.sin_port, sa.sin_port);

    script.FailNext(CScriptedSocketApi::CALL_BIND, WSAEADDRINUSE);
    EXPECT_EQ(Thrown([&] { sock.Bind(sa); }), MakeErrorCode(WSAEADDRINUSE, COND_BIND));
    script.FailNext(CScriptedSocketApi::CALL_GETSOCKNAME, WSAEINVAL);
    EXPECT_EQ(Thrown([&] { sock.Bind(sa); }), MakeErrorCode(WSAEINVAL, COND_GET_SOCK_NAME));
    script.FailNext(CScriptedSocketApi::CALL_LISTEN, WSAEINVAL);
    EXPECT_EQ(Thrown([&] { sock.Listen(5); }), MakeErrorCode(WSAEINVAL, COND_LISTEN));
    script.FailNext(CScriptedSocketApi::CALL_GETPEERNAME, WSAENOTCONN);
    EXPECT_EQ(Thrown([&] { sock.GetPeerName(&saName); }), MakeErrorCode(WSAENOTCONN, COND_GET_PEER_NAME));
}

TEST_F(BlockingSocketTest, AcceptReturnsTheQueuedConnectionAndItsPeer)
{
    sock.Listen(16);
    EXPECT_TRUE(script.IsListening(hSocket));
    SOCKET hClient = 0x900;
    script.QueueAccept(hSocket, hClient, Address("127.0.0.5", 4321));
    sockaddr_in saPeer;
    EXPECT_EQ(sock.Accept(&saPeer), hClient);
    EXPECT_EQ(saPeer.sin_addr.s_addr, inet_addr("127.0.0.5"));
    EXPECT_EQ(ntohs(saPeer.sin_port), 4321);
    script.FailNext(CScriptedSocketApi::CALL_ACCEPT, WSAEINTR);
    EXPECT_EQ(Thrown([&] { sock.Accept(&saPeer); }), MakeErrorCode(WSAEINTR, COND_ACCEPT));
}

TEST_F(BlockingSocketTest, SetLingerPassesTheFourByteWindowsSocketsRecord)
{
    sock.SetLinger(15);
    std::vector<CScriptedSocketApi::SOption> options = script.Options(hSocket);
    ASSERT_EQ(options.size(), 1u);
    EXPECT_EQ(options[0].nLevel, SOL_SOCKET);
    EXPECT_EQ(options[0].nName, SO_LINGER);
    ASSERT_EQ(options[0].strValue.size(), 4u);
    uint16_t fields[2];
    memcpy(fields, options[0].strValue.data(), 4);
    EXPECT_EQ(fields[0], 1);
    EXPECT_EQ(fields[1], 15);
    script.FailNext(CScriptedSocketApi::CALL_SETSOCKOPT, WSAENOPROTOOPT);
    EXPECT_EQ(Thrown([&] { sock.SetLinger(0); }), MakeErrorCode(WSAENOPROTOOPT, COND_LINGER));
    script.FailNext(CScriptedSocketApi::CALL_SETSOCKOPT, WSAENOPROTOOPT);
    int nOn = 1;
    EXPECT_FALSE(sock.SetOption(IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn)));
    EXPECT_TRUE(sock.SetOption(IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn)));
}

TEST_F(BlockingSocketTest, ConnectUsesTheAddressAsGivenAndFailuresCarryConditionTwo)
{
    sockaddr_in saDest = Address("127.0.0.7", 8080);
    sock.Connect(saDest);
    EXPECT_TRUE(script.IsConnected(hSocket));
    EXPECT_EQ(script.ConnectedTo(hSocket).sin_addr.s_addr, saDest.sin_addr.s_addr);
    EXPECT_EQ(script.ConnectedTo(hSocket).sin_port, saDest.sin_port);
    script.FailNext(CScriptedSocketApi::CALL_CONNECT, WSAECONNREFUSED);
    EXPECT_EQ(Thrown([&] { sock.Connect(saDest); }), MakeErrorCode(WSAECONNREFUSED, COND_CONNECT));
}

TEST(STBlockingSocket, OwnsItsHandleConnectsToAHostAndClosesOnce)
{
    CScriptedSocketApi script;
    CSTBlockingSocket sock(-1, -1, script.GetTable());
    EXPECT_EQ(sock.GetHandle(), INVALID_SOCKET);
    EXPECT_EQ(sock.GetReceiveTimeout(), -1);
    sock.Create(SOCK_STREAM);
    SOCKET h = sock.GetHandle();
    ASSERT_NE(h, INVALID_SOCKET);
    sockaddr_in saUsed;
    sock.ConnectTo(saUsed, "127.0.0.3", 80);
    EXPECT_EQ(saUsed.sin_family, AF_INET);
    EXPECT_EQ(ntohs(saUsed.sin_port), 80);
    EXPECT_EQ(saUsed.sin_addr.s_addr, inet_addr("127.0.0.3"));
    EXPECT_EQ(script.ConnectedTo(h).sin_port, htons(80));
    sock.Close();
    sock.Close();
    EXPECT_EQ(sock.GetHandle(), INVALID_SOCKET);
    EXPECT_EQ(script.CloseCount(h), 1);
    EXPECT_EQ(script.CallCount(CScriptedSocketApi::CALL_CLOSESOCKET), 1);
}

TEST(STBlockingSocket, TakesTheDefaultTableWhenGivenNone)
{
    CScriptedSocketApi script;
    EXPECT_EQ(GetDefaultSocketApi(), GetSystemSocketApi());
    script.InstallAsDefault();
    {
        CSTBlockingSocket sock(-1, -1);
        EXPECT_EQ(sock.GetApi(), script.GetTable());
        SOCKET hFlag = INVALID_SOCKET;
        int32_t bStop = 0;
        CTollgateSocket tg(&hFlag, &bStop);
        EXPECT_EQ(tg.GetApi(), script.GetTable());
        EXPECT_EQ(tg.GetReceiveTimeout(), 200);
        EXPECT_EQ(tg.GetSendTimeout(), 200);
    }
    SetDefaultSocketApi(nullptr);
    EXPECT_EQ(GetDefaultSocketApi(), GetSystemSocketApi());
}

TEST(CloseSocketAt, TwoThreadsClosingTogetherCloseTheHandleOnce)
{
    CScriptedSocketApi script;
    const int ROUNDS = 300;
    for (int nRound = 0; nRound < ROUNDS; nRound++)
    {
        SOCKET hShared = script.AddSocket();
        SOCKET hOriginal = hShared;
        int32_t bStop = 0;
        std::atomic<int> nReady(0);
        auto closer = [&](bool bThroughObject)
        {
            nReady.fetch_add(1);
            while (nReady.load() < 2)
            {
            }
            if (bThroughObject)
            {
                CMTBlockingSocket sock(&hShared, &bStop, 5, 5, script.GetTable());
                sock.Close();
            }
            else
                CloseSocketAt(&hShared, script.GetTable()->closesocket);
        };
        std::thread a(closer, true);
        std::thread b(closer, nRound % 2 == 0);
        a.join();
        b.join();
        EXPECT_EQ(hShared, INVALID_SOCKET);
        ASSERT_EQ(script.CloseCount(hOriginal), 1) << "round " << nRound;
    }
    EXPECT_EQ(script.CallCount(CScriptedSocketApi::CALL_CLOSESOCKET), ROUNDS);
}

TEST(CloseSocketAt, AnInvalidHandleIsNotClosedAndNullMeansTheDefaultTable)
{
    CScriptedSocketApi script;
    script.InstallAsDefault();
    SOCKET h = INVALID_SOCKET;
    CloseSocketAt(&h);
    EXPECT_EQ(script.CallCount(CScriptedSocketApi::CALL_CLOSESOCKET), 0);
    h = script.AddSocket();
    SOCKET hOriginal = h;
    CloseSocketAt(&h);
    EXPECT_EQ(h, INVALID_SOCKET);
    EXPECT_EQ(script.CloseCount(hOriginal), 1);
}

TEST(CloseSocketAt, ClosingUnblocksACallWaitingOnTheScriptedHandle)
{
    CScriptedSocketApi script;
    SOCKET h = script.AddSocket();
    script.SetWhenEmpty(h, CScriptedSocketApi::EMPTY_BLOCK);
    int32_t bStop = 0;
    std::atomic<uint32_t> nThrown(0);
    std::atomic<bool> bStarted(false);
    std::thread receiver(
        [&]
        {
            CMTBlockingSocket scripted(&h, &bStop, -1, -1, script.GetTable());
            char ch;
            bStarted = true;
            try
            {
                scripted.Receive(&ch, 1);
            }
            catch (uint32_t nCode)
            {
                nThrown = nCode;
            }
        });
    while (!bStarted)
        std::this_thread::yield();
    CloseSocketAt(&h, script.GetTable()->closesocket);
    receiver.join();
    // Whether the close came before the wait or during it, the receive fails.
    EXPECT_NE(nThrown.load(), 0u);
    EXPECT_TRUE(ErrorCondition(nThrown) == COND_SELECT || ErrorCondition(nThrown) == COND_RECEIVE);
}
