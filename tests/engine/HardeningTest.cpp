// HardeningTest.cpp: a live server on loopback against naive, unlucky and guessing clients:
// replies read with one receive each, a session whose thread id a live session already holds, a
// listener without memory for one client's record, and a client guessing passwords.
#include <algorithm>
#include <atomic>

#include "../support/AllocFailure.h"
#include "tests/support/EngineTestSupport.h"
#include "config/Settings.h"
#include "engine/PasswordGuard.h"
#include "engine/ServerContext.h"
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

// After ten wrong passwords from one address within a minute, the listener turns that address
// away for the next minute with a "Block" line of its own; each failed session was answered as
// any wrong password is. A minute on, the address is served again.
TEST_F(LiveServer, PasswordGuessingAddressIsTurnedAwayForAMinute)
{
    static std::atomic<uint64_t> nShiftMs(0);
    SetEngineClock([] { return SysTicksMs() + nShiftMs.load(); });
    g_settings.bSocks5Auth = 1;
    g_settings.strSocks5Userid = "alice";
    g_settings.strSocks5Password = "secret";
    for (int i = 0; i < PASSWORD_GUESS_LIMIT; i++)
    {
        CTestSocket client;
        ConnectClient(client);
        ASSERT_TRUE(client.Send(ByteString({5, 1, 2}) + Socks5Auth("alice", "guess" + std::to_string(i))));
        EXPECT_EQ(HexOf(client.Receive(4)), "05 02 01 01") << i;
        EXPECT_TRUE(client.WaitClosed()) << i;
    }
    std::string strSource;
    {
        CTestSocket turnedAway;
        ConnectClient(turnedAway);
        strSource = EndpointOf(turnedAway.LocalAddress());
        std::string strReceived;
        EXPECT_TRUE(turnedAway.WaitClosed(WAIT_MS, &strReceived));
        EXPECT_EQ(strReceived, "");
    }
    std::vector<SLogLine> blocks = WaitLog(strLogPath, [](const SLogLine& l) { return l.strStatus == "Block"; });
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].strSource, strSource);
    EXPECT_EQ(blocks[0].strVersion, "-");
    EXPECT_EQ(blocks[0].strError, "Too many failed password checks");
    EXPECT_EQ(LinesWithStatus("Connect").size(), (size_t)PASSWORD_GUESS_LIMIT);

    nShiftMs += PASSWORD_BLOCK_SECONDS * 1000 + 1;
    CTestSocket client;
    ConnectClient(client);
    ASSERT_TRUE(client.Send(ByteString({5, 1, 2}) + Socks5Auth("alice", "secret")));
    EXPECT_EQ(HexOf(client.Receive(4)), "05 02 01 00");
    SetEngineClock(nullptr);
    nShiftMs = 0;
}
