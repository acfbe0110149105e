// PosixSocketsTest.cpp: the Windows Sockets semantics the POSIX backend emulates: handles that
// outlive their descriptor, closes that wake blocked calls, descriptors above 1023, Windows
// Sockets error numbers, no SIGPIPE, close-on-exec.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <vector>

#include "net/ErrorText.h"
#include "tests/net/LoopbackHelpers.h"

namespace
{

// The descriptor inside a handle: the low 32 bits (the high half is the generation).
int Fd(SOCKET h)
{
    return (int)(uint32_t)h;
}

bool Readable(SOCKET h, int nSeconds)
{
    SOCKSET set;
    SockSetClear(&set);
    SockSetAdd(&set, h);
    timeval tv = {nSeconds, 0};
    return SysSelect(0, &set, nullptr, nullptr, &tv) == 1;
}

} // namespace

TEST(PosixSockets, StartSocketsRaisesTheDescriptorLimitToTheHardLimit)
{
    rlimit lim;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    EXPECT_EQ(lim.rlim_cur, lim.rlim_max);
}

TEST(PosixSockets, DescriptorsAbove1023WaitSendAndReceive)
{
    rlimit lim;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_cur < 1200)
        GTEST_SKIP() << "descriptor limit " << lim.rlim_cur;
    std::vector<SOCKET> filler;
    while (filler.empty() || Fd(filler.back()) < 1100)
    {
        SOCKET h = SysSocket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_NE(h, INVALID_SOCKET) << SysGetSocketError();
        filler.push_back(h);
    }
    {
        SLoopbackPair pair;
        EXPECT_GT(Fd(pair.hServer), 1023);
        EXPECT_GT(Fd(pair.hClient), 1023);
        int32_t bStop = 0;
        CMTBlockingSocket server(&pair.hServer, &bStop, 0, 0);
        CMTBlockingSocket client(&pair.hClient, &bStop, 5, 5);
        char buffer[8];
        try
        {
            server.Receive(buffer, 8);
            ADD_FAILURE() << "no time-out";
        }
        catch (uint32_t nCode)
        {
            EXPECT_EQ(nCode, MakeErrorCode(0, COND_SELECT_TIMEOUT));
        }
        client.SendAll("high", 4);
        ASSERT_TRUE(Readable(pair.hServer, 5));
        server.ReceiveAll(buffer, 4);
        EXPECT_EQ(std::string(buffer, 4), "high");

        // Both sides in one select, with a handle of a low descriptor beside them.
        SOCKSET set;
        SockSetClear(&set);
        SockSetAdd(&set, filler.front());
        SockSetAdd(&set, pair.hServer);
        SockSetAdd(&set, pair.hClient);
        timeval tv = {0, 0};
        EXPECT_EQ(SysSelect(0, nullptr, &set, nullptr, &tv), 3);
    }
    for (SOCKET h : filler)
        EXPECT_EQ(SysCloseSocket(h), 0);
}

TEST(PosixSockets, AStaleHandleFailsWithNotSocketAndNeverReachesTheNewSocket)
{
    sockaddr_in saReceiver;
    SOCKET hReceiver = BoundUdpSocket(&saReceiver);
    SOCKET hOld = SysSocket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(SysCloseSocket(hOld), 0);
    SOCKET hNew = SysSocket(AF_INET, SOCK_DGRAM, 0);
    // The system hands out the lowest free number: the new socket has the old one's descriptor.
    ASSERT_EQ(Fd(hNew), Fd(hOld));
    ASSERT_NE(hNew, hOld);

    EXPECT_EQ(SysSendTo(hOld, "stale", 5, 0, (sockaddr*)&saReceiver, sizeof(saReceiver)), SOCKET_ERROR);
    EXPECT_EQ(SysGetSocketError(), WSAENOTSOCK);
    char buffer[8];
    EXPECT_EQ(SysRecv(hOld, buffer, sizeof(buffer), 0), SOCKET_ERROR);
    EXPECT_EQ(SysGetSocketError(), WSAENOTSOCK);
    EXPECT_EQ(SysCloseSocket(hOld), SOCKET_ERROR);
    EXPECT_EQ(SysGetSocketError(), WSAENOTSOCK);
    SOCKSET set;
    SockSetClear(&set);
    SockSetAdd(&set, hOld);
    timeval tv = {0, 0};
    EXPECT_EQ(SysSelect(0, &set, nullptr, nullptr, &tv), SOCKET_ERROR);
    EXPECT_EQ(SysGetSocketError(), WSAENOTSOCK);

    // The new socket is untouched: still open, and the only sender the receiver hears.
    EXPECT_EQ(SysSendTo(hNew, "fresh", 5, 0, (sockaddr*)&saReceiver, sizeof(saReceiver)), 5);
    ASSERT_TRUE(Readable(hReceiver, 5));
    EXPECT_EQ(SysRecv(hReceiver, buffer, sizeof(buffer), 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "fresh");
    EXPECT_EQ(SysCloseSocket(hNew), 0);
    EXPECT_EQ(SysCloseSocket(hReceiver), 0);
}

TEST(PosixSockets, SelectFailsRatherThanReportAHandleClosedDuringTheWait)
{
    SLoopbackPair pair;
    int32_t bStop = 0;
    CBlockedCall call(
        [&]
        {
            CMTBlockingSocket server(&pair.hServer, &bStop, -1, -1);
            server.WaitReady(true);
        });
    call.WaitBlocked();
    CloseSocketAt(&pair.hServer, SysCloseSocket);
    ASSERT_TRUE(call.WaitEnded(5000));
    EXPECT_TRUE(call.Threw());
    EXPECT_EQ(call.ThrownCode(), MakeErrorCode(WSAEINTR, COND_SELECT));
}

TEST(PosixSockets, ManyCallsInFlightWhileTheHandleIsClosedLeaveNoStrayDescriptor)
{
    sockaddr_in saReceiver;
    SOCKET hReceiver = BoundUdpSocket(&saReceiver);
    for (int nRound = 0; nRound < 20; nRound++)
    {
        SOCKET hShared = SysSocket(AF_INET, SOCK_DGRAM, 0);
        SOCKET hCopy = hShared;
        std::atomic<bool> bGo(false);
        std::atomic<int> nFailures(0);
        std::vector<std::thread> senders;
        for (int t = 0; t < 4; t++)
        {
            senders.emplace_back(
                [&]
                {
                    while (!bGo)
                        std::this_thread::yield();
                    for (int i = 0; i < 200; i++)
                    {
                        if (SysSendTo(hCopy, "x", 1, 0, (sockaddr*)&saReceiver, sizeof(saReceiver)) ==
                            SOCKET_ERROR)
                        {
                            int nError = SysGetSocketError();
                            EXPECT_TRUE(nError == WSAENOTSOCK || nError == WSAEINTR) << nError;
                            nFailures++;
                        }
                    }
                });
        }
        bGo = true;
        CloseSocketAt(&hShared, SysCloseSocket);
        for (std::thread& t : senders)
            t.join();
        // Once every call has left, the descriptor is really closed: the next socket gets it.
        SOCKET hNext = SysSocket(AF_INET, SOCK_DGRAM, 0);
        EXPECT_EQ(Fd(hNext), Fd(hCopy));
        EXPECT_EQ(SysSendTo(hCopy, "x", 1, 0, (sockaddr*)&saReceiver, sizeof(saReceiver)), SOCKET_ERROR);
        EXPECT_EQ(SysCloseSocket(hNext), 0);
    }
    SysCloseSocket(hReceiver);
}

TEST(PosixSockets, LingerTakesTheWindowsRecordAndAResetPeerNeverRaisesSigpipe)
{
    SLoopbackPair pair;
    uint16_t winLinger[2] = {1, 0};
    ASSERT_EQ(SysSetSockOpt(pair.hServer, SOL_SOCKET, SO_LINGER, (const char*)winLinger, 4), 0);
    linger lg;
    socklen_t nLen = sizeof(lg);
    ASSERT_EQ(getsockopt(Fd(pair.hServer), SOL_SOCKET, SO_LINGER, &lg, &nLen), 0);
    EXPECT_EQ(lg.l_onoff, 1);
    EXPECT_EQ(lg.l_linger, 0);
    uint16_t winLinger7[2] = {1, 7};
    SOCKET hOther = SysSocket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(SysSetSockOpt(hOther, SOL_SOCKET, SO_LINGER, (const char*)winLinger7, 4), 0);
    ASSERT_EQ(getsockopt(Fd(hOther), SOL_SOCKET, SO_LINGER, &lg, &nLen), 0);
    EXPECT_EQ(lg.l_linger, 7);
    SysCloseSocket(hOther);

    // Linger {1,0}: the close resets the connection.
    CloseSocketAt(&pair.hServer, SysCloseSocket);
    int32_t bStop = 0;
    CMTBlockingSocket client(&pair.hClient, &bStop, 5, 5);
    char ch;
    try
    {
        client.Receive(&ch, 1);
        ADD_FAILURE() << "no error";
    }
    catch (uint32_t nCode)
    {
        EXPECT_EQ(nCode, MakeErrorCode(WSAECONNRESET, COND_RECEIVE));
    }
    // Sending into the dead connection fails with an error instead of killing the process.
    int nResult = 0;
    for (int i = 0; i < 10 && nResult != SOCKET_ERROR; i++)
        nResult = SysSend(pair.hClient, "x", 1, 0);
    EXPECT_EQ(nResult, SOCKET_ERROR);
    EXPECT_EQ(SysGetSocketError(), WSAECONNRESET);
}

TEST(PosixSockets, SocketsAreCreatedAndAcceptedCloseOnExec)
{
    SLoopbackPair pair;
    for (SOCKET h : {pair.hListen, pair.hClient, pair.hServer})
        EXPECT_TRUE(fcntl(Fd(h), F_GETFD) & FD_CLOEXEC);
}

TEST(PosixSockets, SelectRefusesEmptySetsAndRewritesTheSetsToTheReadyHandles)
{
    EXPECT_EQ(SysSelect(0, nullptr, nullptr, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(SysGetSocketError(), WSAEINVAL);

    SLoopbackPair pair;
    ASSERT_EQ(SysSend(pair.hClient, "r", 1, 0), 1);
    ASSERT_TRUE(Readable(pair.hServer, 5));
    SOCKSET readSet;
    SockSetClear(&readSet);
    SockSetAdd(&readSet, pair.hClient);
    SockSetAdd(&readSet, pair.hServer);
    SockSetAdd(&readSet, pair.hServer); // added once only
    EXPECT_EQ(readSet.fd_count, 2u);
    SOCKSET writeSet;
    SockSetClear(&writeSet);
    SockSetAdd(&writeSet, pair.hClient);
    timeval tv = {1, 0};
    EXPECT_EQ(SysSelect(0, &readSet, &writeSet, nullptr, &tv), 2);
    EXPECT_EQ(readSet.fd_count, 1u);
    EXPECT_TRUE(SockSetHas(&readSet, pair.hServer));
    EXPECT_FALSE(SockSetHas(&readSet, pair.hClient));
    EXPECT_TRUE(SockSetHas(&writeSet, pair.hClient));
}

TEST(PosixSockets, ErrnoValuesBecomeWindowsSocketsNumbers)
{
    SOCKET h = SysSocket(AF_INET, SOCK_STREAM, 0);
    char ch;
    EXPECT_EQ(SysRecv(h, &ch, -1, 0), SOCKET_ERROR);
    EXPECT_EQ(SysGetSocketError(), WSAEFAULT);
    sockaddr_in sa = LoopbackAddress(0);
    sa.sin_addr.s_addr = inet_addr("127.0.0.1");
    sa.sin_family = 12345;
    EXPECT_EQ(SysBind(h, (sockaddr*)&sa, sizeof(sa)), SOCKET_ERROR);
    EXPECT_EQ(SysGetSocketError(), WSAEAFNOSUPPORT);
    sockaddr_in saPeer;
    int nLen = sizeof(saPeer);
    EXPECT_EQ(SysGetPeerName(h, (sockaddr*)&saPeer, &nLen), SOCKET_ERROR);
    EXPECT_EQ(SysGetSocketError(), WSAENOTCONN);
    EXPECT_EQ(SysSocket(AF_INET, SOCK_STREAM, IPPROTO_UDP), INVALID_SOCKET);
    EXPECT_EQ(SysGetSocketError(), WSAEPROTONOSUPPORT);
    SysCloseSocket(h);
    EXPECT_EQ(SysCloseSocket(INVALID_SOCKET), SOCKET_ERROR);
    EXPECT_EQ(SysGetSocketError(), WSAENOTSOCK);
}

TEST(PosixSockets, TheSystemResolverAnswersFromTheHostsFile)
{
    in_addr addr;
    EXPECT_TRUE(SysLookupHost("localhost", &addr));
    EXPECT_EQ(addr.s_addr, inet_addr("127.0.0.1"));
}

TEST(CheckThreadCreatedDeathTest, AThreadThatDidNotStartEndsTheProcessWithCodeOne)
{
    CheckThreadCreated(true);
    EXPECT_EXIT(CheckThreadCreated(false), ::testing::ExitedWithCode(1),
                "Could not create thread - add virtual memory\\.");
}
