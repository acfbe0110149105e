// HardeningTest.cpp: a live server on loopback against naive and unlucky clients: replies read
// with one receive each, a session whose thread id a live session already holds, and a listener
// without memory for one client's record.
#include <algorithm>

#include "../support/AllocFailure.h"
#include "EngineTestSupport.h"
#include "config/Settings.h"
#include "engine/SessionTable.h"

namespace
{
// One receive, as a naive client reads its reply: a wait, then one recv for the whole reply.
std::string ReceiveOnce(CTestSocket& client, size_t nMax)
{
    SOCKSET set;
    SockSetClear(&set);
    SockSetAdd(&set, client.hSocket);
    timeval tv = {WAIT_MS / 1000, 0};
    if (SysSelect(0, &set, nullptr, nullptr, &tv) != 1)
        return std::string();
    char buffer[64];
    int n = SysRecv(client.hSocket, buffer, (int)std::min(sizeof(buffer), nMax), 0);
    return n > 0 ? std::string(buffer, (size_t)n) : std::string();
}

uint32_t OnlySessionId()
{
    CScopedLock lock(g_csSessionTable);
    return g_sessionTable.GetSize() == 1 ? g_sessionTable[0]->dwSessionId : 0;
}
} // namespace

TEST_F(LiveServer, EachReplyArrivesWholeForAClientThatReadsItOnce)
{
    g_settings.bSocks5Auth = 1;
    g_settings.strSocks5Userid = "alice";
    g_settings.strSocks5Password = "secret";
    CEchoServer echo;
    for (int i = 0; i < 60; i++)
    {
        CTestSocket client;
        ConnectClient(client);
        ASSERT_TRUE(client.Send(ByteString({5, 1, 2})));
        ASSERT_EQ(HexOf(ReceiveOnce(client, 2)), "05 02") << "round " << i;
        ASSERT_TRUE(client.Send(Socks5Auth("alice", "secret")));
        ASSERT_EQ(HexOf(ReceiveOnce(client, 2)), "01 00") << "round " << i;
        ASSERT_TRUE(client.Send(Socks5Request(1, echo.GetPort())));
        ASSERT_EQ(HexOf(ReceiveOnce(client, 10)), HexOf(Socks5Success(LoopbackAddress(nPort))))
            << "round " << i;
    }
}

// A session thread whose id a live session already holds (a POSIX id counter that wrapped) must
// not share its key: both sessions are in the table, and each end removes its own record.
TEST_F(LiveServer, SessionGetsAKeyOfItsOwnWhenItsThreadIdIsTaken)
{
    CEchoServer echo;
    uint32_t dwFirst;
    {
        CTestSocket client;
        OpenSocks5Tunnel(client, echo.GetPort());
        dwFirst = OnlySessionId();
        ASSERT_NE(dwFirst, 0u);
    }
    ASSERT_TRUE(WaitUntil([] { return GetSessionCount() == 0; }));

    // A live session holding that id; the idle thread that served the first client is reused.
    SCSTask* pHolder = NewSessionRecord(INVALID_SOCKET);
    pHolder->dwSessionId = dwFirst;
    {
        CScopedLock lock(g_csSessionTable);
        ASSERT_TRUE(g_sessionTable.Insert(pHolder));
    }
    {
        CTestSocket client;
        OpenSocks5Tunnel(client, echo.GetPort());
        EXPECT_EQ(GetSessionCount(), 2);
    }
    EXPECT_TRUE(WaitUntil([] { return GetSessionCount() == 1; }));
    CScopedLock lock(g_csSessionTable);
    ASSERT_EQ(g_sessionTable.GetSize(), 1);
    EXPECT_EQ(g_sessionTable[0], pHolder);
    g_sessionTable.Remove(dwFirst);
}

TEST_F(LiveServer, ListenerWithoutMemoryForOneClientRefusesItAndServesTheNext)
{
    if (!CanFailAllocations())
        GTEST_SKIP() << "the sanitizers' allocator cannot be made to fail";
    CEchoServer echo;
    FailNextAllocationOfSize(sizeof(SCSTask));
    CTestSocket refused;
    ConnectClient(refused);
    EXPECT_TRUE(refused.WaitClosed());
    EXPECT_FALSE(IsAllocationFailurePending());
    CTestSocket client;
    OpenSocks5Tunnel(client, echo.GetPort());
    ASSERT_TRUE(client.Send("ping"));
    EXPECT_EQ(client.Receive(4), "ping");
}
