// LoopbackSocketTest.cpp: the socket classes over real loopback sockets: time-outs, Windows
// Sockets error numbers, and calls aborted by closing their handle from another thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/net/LoopbackHelpers.h"

namespace
{

typedef std::chrono::steady_clock Clock;

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

// Waits (bounded) until the handle has something to read, with the platform's select.
bool WaitReadable(SOCKET h)
{
    SOCKSET set;
    SockSetClear(&set);
    SockSetAdd(&set, h);
    timeval tv = {5, 0};
    return SysSelect(0, &set, nullptr, nullptr, &tv) == 1;
}

// Closes the handle at the location from this thread while the call blocks on it, and reports
// how long the call took to fail.
long long AbortByClosing(CBlockedCall& call, SOCKET* pHandle, const char* pszWhat)
{
    call.WaitBlocked();
    Clock::time_point tClose = Clock::now();
    CloseSocketAt(pHandle, SysCloseSocket);
    if (!call.WaitEnded(5000))
    {
        ADD_FAILURE() << pszWhat << " still blocked 5 s after its handle was closed";
        return -1;
    }
    long long nMs = call.MsFrom(tClose);
    printf("[ measure  ] %s failed %lld ms after the close\n", pszWhat, nMs);
    return nMs;
}

} // namespace

TEST(LoopbackSocket, ATimeOutOfZeroFailsAtOnceUnlessDataIsWaiting)
{
    SLoopbackPair pair;
    int32_t bStop = 0;
    CMTBlockingSocket server(&pair.hServer, &bStop, 0, 0);
    char buffer[8];
    Clock::time_point tStart = Clock::now();
    uint32_t nCode = Thrown([&] { server.Receive(buffer, sizeof(buffer)); });
    EXPECT_EQ(ErrorCondition(nCode), COND_SELECT_TIMEOUT);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tStart).count(), 1000);
#ifndef _WIN32
    EXPECT_EQ(nCode, MakeErrorCode(0, COND_SELECT_TIMEOUT));
#endif

    CMTBlockingSocket client(&pair.hClient, &bStop, 5, 5);
    client.SendAll("data", 4);
    ASSERT_TRUE(WaitReadable(pair.hServer));
    EXPECT_EQ(server.Receive(buffer, sizeof(buffer)), 4);
    EXPECT_EQ(std::string(buffer, 4), "data");
}

TEST(LoopbackSocket, ANegativeTimeOutWaitsForLateData)
{
    SLoopbackPair pair;
    int32_t bStop = 0;
    char buffer[4] = {};
    CBlockedCall call(
        [&]
        {
            CMTBlockingSocket server(&pair.hServer, &bStop, -1, -1);
            server.ReceiveAll(buffer, 4);
        });
    call.WaitBlocked();
    CMTBlockingSocket client(&pair.hClient, &bStop, 5, 5);
    client.SendAll("la", 2);
    client.SendAll("te", 2);
    ASSERT_TRUE(call.WaitEnded(5000));
    EXPECT_FALSE(call.Threw());
    EXPECT_EQ(std::string(buffer, 4), "late");
}

TEST(LoopbackSocket, CallsThatMustNotWaitFailAtOnceAndLeaveTheOthersBlocking)
{
    SLoopbackPair pair;
    const SSocketApi* pApi = GetSystemSocketApi();
    char buffer[8];
    SysSetSocketError(0);
    EXPECT_EQ(pApi->recv(pair.hServer, buffer, sizeof(buffer), RECV_NO_WAIT), SOCKET_ERROR);
    EXPECT_EQ(SysGetSocketError(), WSAEWOULDBLOCK);

    // A plain receive after one that must not wait still waits for late data.
    std::atomic<int> nResult(0);
    CBlockedCall call([&] { nResult = pApi->recv(pair.hServer, buffer, sizeof(buffer), 0); });
    call.WaitBlocked();
    ASSERT_EQ(pApi->send(pair.hClient, "late", 4, SEND_NO_WAIT), 4);
    ASSERT_TRUE(call.WaitEnded(5000));
    EXPECT_EQ(nResult.load(), 4);

    ASSERT_EQ(pApi->send(pair.hClient, "now", 3, 0), 3);
    SOCKSET set;
    SockSetClear(&set);
    SockSetAdd(&set, pair.hServer);
    timeval tv = {5, 0};
    ASSERT_EQ(pApi->select(0, &set, nullptr, nullptr, &tv), 1);
    EXPECT_EQ(pApi->recv(pair.hServer, buffer, sizeof(buffer), RECV_NO_WAIT), 3);
    EXPECT_EQ(std::string(buffer, 3), "now");

    // A datagram socket likewise: nothing there, then the datagram taken without a wait.
    sockaddr_in saBound;
    SOCKET hUdp = BoundUdpSocket(&saBound);
    ASSERT_NE(hUdp, INVALID_SOCKET);
    sockaddr_in saFrom;
    int nFromLength = sizeof(saFrom);
    EXPECT_EQ(pApi->recvfrom(hUdp, buffer, sizeof(buffer), RECV_NO_WAIT, (sockaddr*)&saFrom, &nFromLength),
              SOCKET_ERROR);
    EXPECT_EQ(SysGetSocketError(), WSAEWOULDBLOCK);
    ASSERT_EQ(pApi->sendto(hUdp, "dg", 2, SEND_NO_WAIT, (const sockaddr*)&saBound, sizeof(saBound)), 2);
    SockSetClear(&set);
    SockSetAdd(&set, hUdp);
    ASSERT_EQ(pApi->select(0, &set, nullptr, nullptr, &tv), 1);
    nFromLength = sizeof(saFrom);
    EXPECT_EQ(pApi->recvfrom(hUdp, buffer, sizeof(buffer), RECV_NO_WAIT, (sockaddr*)&saFrom, &nFromLength), 2);
    pApi->closesocket(hUdp);
}

TEST(LoopbackSocket, ALargeTransferArrivesWholeThroughPartialSendsAndReceives)
{
    SLoopbackPair pair;
    int32_t bStop = 0;
    std::vector<char> data(4 * 1024 * 1024);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (char)(i * 7 + i / 251);
    std::vector<char> received(data.size());
    CBlockedCall reader(
        [&]
        {
            CMTBlockingSocket server(&pair.hServer, &bStop, 10, 10);
            server.ReceiveAll(received.data(), (int)received.size());
        });
    CMTBlockingSocket client(&pair.hClient, &bStop, 10, 10);
    client.SendAll(data.data(), (int)data.size());
    ASSERT_TRUE(reader.WaitEnded(20000));
    EXPECT_FALSE(reader.Threw());
    EXPECT_TRUE(received == data);
}

TEST(LoopbackSocket, ClosingTheHandleAbortsABlockedRecv)
{
    SLoopbackPair pair;
    std::atomic<int> nResult(0);
    CBlockedCall call(
        [&]
        {
            char ch;
            nResult = GetSystemSocketApi()->recv(pair.hServer, &ch, 1, 0);
        });
    SOCKET hServer = pair.hServer;
    long long nMs = AbortByClosing(call, &hServer, "blocked recv");
    pair.hServer = INVALID_SOCKET;
    EXPECT_EQ(nResult.load(), SOCKET_ERROR);
    EXPECT_LT(nMs, 2000);
}

TEST(LoopbackSocket, ClosingTheHandleAbortsAReceiveWaitingInSelect)
{
    SLoopbackPair pair;
    int32_t bStop = 0;
    CBlockedCall call(
        [&]
        {
            CMTBlockingSocket server(&pair.hServer, &bStop, -1, -1);
            char ch;
            server.Receive(&ch, 1);
        });
    long long nMs = AbortByClosing(call, &pair.hServer, "receive waiting in select");
    EXPECT_TRUE(call.Threw());
    // Winsock under Wine reports the closed socket readable and the recv then fails.
    int nCondition = ErrorCondition(call.ThrownCode());
    EXPECT_TRUE(nCondition == COND_SELECT || nCondition == COND_RECEIVE) << nCondition;
    EXPECT_LT(nMs, 2000);
}

TEST(LoopbackSocket, ClosingTheHandleAbortsABlockedAccept)
{
    SLoopbackPair pair;
    int32_t bStop = 0;
    CBlockedCall call(
        [&]
        {
            CMTBlockingSocket listener(&pair.hListen, &bStop, -1, -1);
            sockaddr_in saPeer;
            listener.Accept(&saPeer);
        });
    long long nMs = AbortByClosing(call, &pair.hListen, "blocked accept");
    EXPECT_TRUE(call.Threw());
    EXPECT_EQ(ErrorCondition(call.ThrownCode()), COND_ACCEPT);
    EXPECT_LT(nMs, 2000);
}

TEST(LoopbackSocket, ClosingTheHandleAbortsABlockedDatagramReceive)
{
    sockaddr_in saBound;
    SOCKET hUdp = BoundUdpSocket(&saBound);
    int32_t bStop = 0;
    CBlockedCall call(
        [&]
        {
            CMTBlockingSocket udp(&hUdp, &bStop, -1, -1);
            char buffer[16];
            sockaddr_in saFrom;
            udp.ReceiveFrom(buffer, sizeof(buffer), &saFrom);
        });
    long long nMs = AbortByClosing(call, &hUdp, "datagram receive");
    EXPECT_TRUE(call.Threw());
    EXPECT_LT(nMs, 2000);
}

TEST(LoopbackSocket, ARefusedConnectCarriesConnectionRefused)
{
    // A port that was just free: bind, read it, close.
    SOCKET hProbe = SysSocket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = LoopbackAddress(0);
    int nLen = sizeof(sa);
    ASSERT_EQ(SysBind(hProbe, (sockaddr*)&sa, sizeof(sa)), 0);
    ASSERT_EQ(SysGetSockName(hProbe, (sockaddr*)&sa, &nLen), 0);
    SysCloseSocket(hProbe);

    SOCKET h = INVALID_SOCKET;
    int32_t bStop = 0;
    CMTBlockingSocket sock(&h, &bStop, 5, 5);
    sock.Create(SOCK_STREAM);
    EXPECT_EQ(Thrown([&] { sock.Connect(sa); }), MakeErrorCode(WSAECONNREFUSED, COND_CONNECT));
    sock.Close();
}

TEST(LoopbackSocket, BindingAPortInUseCarriesAddressInUse)
{
    SLoopbackPair pair;
    int32_t bStop = 0;
    SOCKET h = INVALID_SOCKET;
    CMTBlockingSocket sock(&h, &bStop, 5, 5);
    sock.Create(SOCK_STREAM);
    sockaddr_in sa = LoopbackAddress(pair.nPort);
    EXPECT_EQ(Thrown([&] { sock.Bind(sa); }), MakeErrorCode(WSAEADDRINUSE, COND_BIND));
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    EXPECT_EQ(Thrown([&] { sock.Bind(sa); }), MakeErrorCode(WSAEADDRINUSE, COND_BIND));
    sock.Close();

    sockaddr_in saUdp;
    SOCKET hUdp = BoundUdpSocket(&saUdp);
    SOCKET hSecond = INVALID_SOCKET;
    CMTBlockingSocket second(&hSecond, &bStop, 5, 5);
    second.Create(SOCK_DGRAM);
    EXPECT_EQ(Thrown([&] { second.Bind(saUdp); }), MakeErrorCode(WSAEADDRINUSE, COND_BIND));
    second.Close();
    SysCloseSocket(hUdp);
}

TEST(LoopbackSocket, ALongDatagramFailsWithMessageTooLongAndIsConsumed)
{
    sockaddr_in saReceiver;
    SOCKET hReceiver = BoundUdpSocket(&saReceiver);
    int32_t bStop = 0;
    SOCKET hSender = INVALID_SOCKET;
    CMTBlockingSocket sender(&hSender, &bStop, 5, 5);
    sender.Create(SOCK_DGRAM);
    std::string strLong(100, 'x');
    EXPECT_EQ(sender.SendTo(strLong.data(), 100, saReceiver), 100);
    EXPECT_EQ(sender.SendTo("next", 4, saReceiver), 4);

    CMTBlockingSocket receiver(&hReceiver, &bStop, 5, 5);
    char buffer[10];
    sockaddr_in saFrom;
    EXPECT_EQ(Thrown([&] { receiver.ReceiveFrom(buffer, sizeof(buffer), &saFrom); }),
              MakeErrorCode(WSAEMSGSIZE, COND_RECEIVE));
    EXPECT_EQ(std::string(buffer, 10), std::string(10, 'x'));
    EXPECT_EQ(receiver.ReceiveFrom(buffer, sizeof(buffer), &saFrom), 4);
    EXPECT_EQ(std::string(buffer, 4), "next");
    EXPECT_EQ(saFrom.sin_addr.s_addr, inet_addr("127.0.0.1"));
    sender.Close();
    receiver.Close();
}

TEST(LoopbackSocket, BindListenAcceptAndNamesOverTheSystemTable)
{
    int32_t bStop = 0;
    SOCKET hListen = INVALID_SOCKET;
    CTollgateSocket listener(&hListen, &bStop);
    listener.Create(SOCK_STREAM);
    sockaddr_in sa = LoopbackAddress(0);
    unsigned short nPort = listener.Bind(sa);
    EXPECT_NE(nPort, 0);
    EXPECT_EQ(ntohs(sa.sin_port), nPort);
    // The server relies on accepted sockets inheriting Nagle's algorithm switched off.
    int nOn = 1;
    ASSERT_TRUE(listener.SetOption(IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn)));
    listener.Listen(4);

    SOCKET hClient = INVALID_SOCKET;
    CTollgateSocket client(&hClient, &bStop);
    client.Create(SOCK_STREAM);
    sockaddr_in saUsed;
    client.ConnectTo(saUsed, "127.0.0.1", nPort);
    sockaddr_in saPeer;
    SOCKET hAccepted = listener.Accept(&saPeer);
    CTollgateSocket accepted(&hAccepted, &bStop);
    EXPECT_TRUE(IsNagleOff(hAccepted));
    EXPECT_FALSE(IsNagleOff(hClient)); // a socket of its own keeps the system's default
    sockaddr_in saClientName;
    client.GetSockName(&saClientName);
    EXPECT_EQ(saPeer.sin_port, saClientName.sin_port);
    sockaddr_in saAcceptedPeer;
    accepted.GetPeerName(&saAcceptedPeer);
    EXPECT_EQ(saAcceptedPeer.sin_port, saClientName.sin_port);

    // Linger with the Windows Sockets record; nothing is left unsent, so the close is at once.
    accepted.SetLinger(5);
    accepted.SendAll("bye", -1);
    char buffer[3];
    client.ReceiveAll(buffer, 3);
    EXPECT_EQ(std::string(buffer, 3), "bye");
    accepted.Close();
    EXPECT_EQ(ErrorCondition(Thrown([&] { client.Receive(buffer, 1); })), COND_CONNECTION_CLOSED);
    client.Close();
    listener.Close();
    EXPECT_EQ(hListen, INVALID_SOCKET);
}

// A peer that stops reading: each send takes only what the socket has room for, and once there
// is none the send time-out ends the transfer, instead of a send that waits in the system until
// the whole block is queued.
TEST(LoopbackSocket, APeerThatStopsReadingEndsTheSendWithItsTimeOut)
{
    SLoopbackPair pair;
    int32_t bStop = 0;
    std::vector<char> block(64 * 1024 * 1024, 'x');
    CBlockedCall sender(
        [&]
        {
            CMTBlockingSocket client(&pair.hClient, &bStop, 1, 1);
            client.SendAll(block.data(), (int)block.size());
        });
    bool bEnded = sender.WaitEnded(10000);
    if (!bEnded)
        CloseSocketAt(&pair.hClient, SysCloseSocket); // unblocks the old, waiting send
    ASSERT_TRUE(bEnded) << "the send still waits for a peer that does not read";
    ASSERT_TRUE(sender.Threw());
    EXPECT_EQ(ErrorCondition(sender.ThrownCode()), COND_SELECT_TIMEOUT);
}
