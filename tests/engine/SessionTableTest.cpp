// SessionTableTest.cpp: the session table, its count, the traffic counters and the endpoint texts.
#include "engine/SessionTable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace
{
sockaddr_in MakeAddr(const char* pszDotted, unsigned short nPort)
{
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = inet_addr(pszDotted);
    sa.sin_port = htons(nPort);
    return sa;
}

std::string Endpoint(const sockaddr_in& sa)
{
    CCArray str;
    EndpointText(sa, str);
    return str.GetString();
}

SCSTask* NewTask(uint32_t dwId)
{
    SCSTask* pTask = NewSessionRecord(INVALID_SOCKET);
    pTask->dwSessionId = dwId;
    return pTask;
}

// The table is global and shared with the server's tests: every test starts and ends with it empty.
class SessionTableTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(0, GetSessionCount()); }
    void TearDown() override
    {
        CScopedLock lock(g_csSessionTable);
        g_sessionTable.RemoveAll();
    }
};
}  // namespace

TEST_F(SessionTableTest, NewRecordIsZeroExceptSocketsAndStartTime)
{
    int64_t tBefore = SysTimeNow();
    SCSTask* pTask = NewSessionRecord((SOCKET)42);
    int64_t tAfter = SysTimeNow();

    EXPECT_EQ(0, pTask->bStop);
    EXPECT_EQ((SOCKET)42, pTask->hClientSocket);
    EXPECT_EQ(INVALID_SOCKET, pTask->hDestSocket);
    EXPECT_EQ(0u, pTask->dwSessionId);
    EXPECT_GE(pTask->tStart, tBefore);
    EXPECT_LE(pTask->tStart, tAfter);
    EXPECT_EQ(0, pTask->nVersion);
    EXPECT_EQ(0, pTask->szUser[0]);
    EXPECT_EQ(0, pTask->nState);
    EXPECT_EQ("-", Endpoint(pTask->saClient));
    EXPECT_EQ("-", Endpoint(pTask->saDest));
    pTask->dwSessionId = 77;
    EXPECT_EQ(77ul, pTask->GetKey());
    delete pTask;
}

TEST_F(SessionTableTest, WalkIsAscendingBySessionIdAndKeysAreUnique)
{
    const uint32_t ids[] = {3000, 17, 0xFFFFFFF0u, 250, 18};
    {
        CScopedLock lock(g_csSessionTable);
        for (uint32_t id : ids)
            ASSERT_TRUE(g_sessionTable.Insert(NewTask(id)));
    }
    EXPECT_EQ(5, GetSessionCount());

    // A second record with a present id is refused, leaves the first in place and stays the
    // caller's to free.
    SCSTask* pDuplicate = NewTask(250);
    pDuplicate->nVersion = 5;
    {
        CScopedLock lock(g_csSessionTable);
        EXPECT_FALSE(g_sessionTable.Insert(pDuplicate));
    }
    delete pDuplicate;
    EXPECT_EQ(5, GetSessionCount());

    std::vector<uint32_t> walked;
    {
        CScopedLock lock(g_csSessionTable);
        for (int i = 0; i < g_sessionTable.GetSize(); i++)
        {
            walked.push_back(g_sessionTable.pData[i]->dwSessionId);
            EXPECT_EQ(0, g_sessionTable.pData[i]->nVersion);
        }
    }
    EXPECT_EQ((std::vector<uint32_t>{17, 18, 250, 3000, 0xFFFFFFF0u}), walked);

    {
        CScopedLock lock(g_csSessionTable);
        EXPECT_TRUE(g_sessionTable.Remove(250));
        EXPECT_FALSE(g_sessionTable.Remove(250));
        EXPECT_FALSE(g_sessionTable.Remove(19));
        EXPECT_TRUE(g_sessionTable.Remove(0xFFFFFFF0u));
    }
    EXPECT_EQ(3, GetSessionCount());
    {
        CScopedLock lock(g_csSessionTable);
        ASSERT_EQ(3, g_sessionTable.GetSize());
        EXPECT_EQ(17u, g_sessionTable.pData[0]->dwSessionId);
        EXPECT_EQ(18u, g_sessionTable.pData[1]->dwSessionId);
        EXPECT_EQ(3000u, g_sessionTable.pData[2]->dwSessionId);
        g_sessionTable.RemoveAll();
    }
    EXPECT_EQ(0, GetSessionCount());
}

// Sessions come and go under the lock while another thread reads the count without it, as the
// limit check and the Statistics window do. The count must never be torn or out of bounds, and
// end at exactly zero (ThreadSanitizer checks that the unlocked read is no data race).
TEST_F(SessionTableTest, CountIsReadableWithoutTheLockWhileSessionsComeAndGo)
{
    const int nThreads = 4;
    const int nRounds = 2000;
    std::atomic<int> nRunning(nThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < nThreads; t++)
    {
        threads.emplace_back([t, &nRunning] {
            for (int i = 0; i < nRounds; i++)
            {
                uint32_t id = (uint32_t)(t * 1000000 + i + 1);
                {
                    CScopedLock lock(g_csSessionTable);
                    g_sessionTable.Insert(NewTask(id));
                }
                {
                    CScopedLock lock(g_csSessionTable);
                    g_sessionTable.Remove(id);
                }
            }
            nRunning.fetch_sub(1);
        });
    }
    int nMax = 0;
    int nReads = 0;
    while (nRunning.load() > 0 || nReads == 0)
    {
        int n = GetSessionCount();
        ASSERT_GE(n, 0);
        ASSERT_LE(n, nThreads);
        nMax = std::max(nMax, n);
        nReads++;
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(0, GetSessionCount());
    EXPECT_LE(nMax, nThreads);
}

TEST(TrafficCounters, ResetToZero)
{
    AddTraffic(g_traffic.nTcpClient, 1);
    AddTraffic(g_traffic.nUdpClient, 2);
    AddTraffic(g_traffic.nTcpDest, 3);
    AddTraffic(g_traffic.nUdpDest, 4);
    ResetTraffic();
    EXPECT_EQ(0u, ReadTraffic(g_traffic.nTcpClient));
    EXPECT_EQ(0u, ReadTraffic(g_traffic.nUdpClient));
    EXPECT_EQ(0u, ReadTraffic(g_traffic.nTcpDest));
    EXPECT_EQ(0u, ReadTraffic(g_traffic.nUdpDest));
}

// Relays add from many threads at once while the Statistics window reads: no addition may be lost,
// and values past 32 bits must carry into the high half.
TEST(TrafficCounters, ConcurrentAdditionsSumExactly)
{
    ResetTraffic();
    const int nThreads = 6;
    const int nAdds = 20000;
    const uint64_t nBig = 0xFFFFFFFFull;  // every addition carries into the high half
    std::atomic<bool> bDone(false);
    bool bWentBackwards = false;
    std::thread reader([&] {
        uint64_t nLast = 0;
        while (!bDone.load())
        {
            uint64_t n = ReadTraffic(g_traffic.nTcpDest);
            if (n < nLast)  // a torn read would jump backwards
                bWentBackwards = true;
            nLast = n;
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < nThreads; t++)
    {
        threads.emplace_back([t] {
            for (int i = 0; i < nAdds; i++)
            {
                AddTraffic(g_traffic.nTcpClient, 1);
                AddTraffic(g_traffic.nUdpClient, (uint64_t)(t + 1));
                AddTraffic(g_traffic.nTcpDest, nBig);
                AddTraffic(g_traffic.nUdpDest, 65535);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    bDone.store(true);
    reader.join();
    EXPECT_FALSE(bWentBackwards);

    const uint64_t nTotal = (uint64_t)nThreads * nAdds;
    EXPECT_EQ(nTotal, ReadTraffic(g_traffic.nTcpClient));
    EXPECT_EQ((uint64_t)nAdds * (1 + 2 + 3 + 4 + 5 + 6), ReadTraffic(g_traffic.nUdpClient));
    EXPECT_EQ(nTotal * nBig, ReadTraffic(g_traffic.nTcpDest));
    EXPECT_EQ(nTotal * 65535, ReadTraffic(g_traffic.nUdpDest));
    ResetTraffic();
}

TEST(EndpointText, ShowsAddressAndPortOrTheTwoSpecialTexts)
{
    EXPECT_EQ("127.0.0.1:1080", Endpoint(MakeAddr("127.0.0.1", 1080)));
    EXPECT_EQ("192.168.10.200:65535", Endpoint(MakeAddr("192.168.10.200", 65535)));
    EXPECT_EQ("10.0.0.1:0", Endpoint(MakeAddr("10.0.0.1", 0)));

    // A destination not yet known is all zero; the port alone does not make it an endpoint.
    sockaddr_in saNone = MakeAddr("0.0.0.0", 8080);
    EXPECT_EQ("-", Endpoint(saNone));

    // A UDP association's destination has every byte 0xFF; its port is ignored.
    sockaddr_in saUdp;
    memset(&saUdp, 0xFF, sizeof(saUdp));
    EXPECT_EQ("(UDP ASSOCIATE)", Endpoint(saUdp));
    saUdp.sin_port = htons(53);
    EXPECT_EQ("(UDP ASSOCIATE)", Endpoint(saUdp));

    // The output string is replaced, not appended to.
    CCArray str("previous");
    EndpointText(MakeAddr("1.2.3.4", 5), str);
    EXPECT_STREQ("1.2.3.4:5", str.GetString());
}

TEST(EndpointText, TheCallerNamesTheEmptyTextAndWhetherAllOnesIsTheAssociationMark)
{
    CCArray str;
    EndpointText(MakeAddr("0.0.0.0", 80), str, "&nbsp;", true);
    EXPECT_STREQ("&nbsp;", str.GetString());
    EndpointText(MakeAddr("9.8.7.6", 80), str, "&nbsp;", true);
    EXPECT_STREQ("9.8.7.6:80", str.GetString());

    // Without the mark all ones is an address like any other, port included.
    sockaddr_in saOnes;
    memset(&saOnes, 0xFF, sizeof(saOnes));
    saOnes.sin_port = htons(1080);
    EndpointText(saOnes, str, "&nbsp;", false);
    EXPECT_STREQ("255.255.255.255:1080", str.GetString());
    EndpointText(saOnes, str, "&nbsp;", true);
    EXPECT_STREQ("(UDP ASSOCIATE)", str.GetString());
}

TEST(SessionState, TextsOfEveryState)
{
    EXPECT_STREQ("idle", SessionStateText(SESSION_IDLE));
    EXPECT_STREQ("negotiating with client...", SessionStateText(SESSION_NEGOTIATING));
    EXPECT_STREQ("setting up TCP tunnel...", SessionStateText(SESSION_TCP_SETUP));
    EXPECT_STREQ("TCP tunnel ready", SessionStateText(SESSION_TCP_READY));
    EXPECT_STREQ("UDP relay ready", SessionStateText(SESSION_UDP_READY));
    EXPECT_STREQ("-", SessionStateText(5));
    EXPECT_STREQ("-", SessionStateText(-1));
}
