// NameLookupTest.cpp: host-name lookups on the lookup thread: prompt answers, abandonment by
// the stop flag, and the release of an abandoned request by the thread alone.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "net/BlockingSocket.h"

namespace
{

typedef std::chrono::steady_clock Clock;

long long MsSince(Clock::time_point t)
{
    return (long long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::atomic<int> g_nLookups(0);

bool InstantLookup(const char* pszName, in_addr* pAddr)
{
    g_nLookups++;
    if (strcmp(pszName, "unknown.test") == 0)
        return false;
    pAddr->s_addr = inet_addr("127.0.0.42");
    return true;
}

// A resolver that hangs until the test lets it go, as a slow DNS server would.
std::mutex g_slowMutex;
std::condition_variable g_slowChanged;
bool g_bSlowStarted = false;
bool g_bSlowReleased = false;

bool SlowLookup(const char* pszName, in_addr* pAddr)
{
    std::unique_lock<std::mutex> lock(g_slowMutex);
    g_bSlowStarted = true;
    g_slowChanged.notify_all();
    g_slowChanged.wait(lock, [] { return g_bSlowReleased; });
    pAddr->s_addr = inet_addr("127.0.0.43");
    return true;
}

// Which threads answered: a slow answer for "slow.test", instant ones for every other name.
std::mutex g_threadsMutex;
std::set<uint32_t> g_lookupThreads;

bool RecordingLookup(const char* pszName, in_addr* pAddr)
{
    {
        std::lock_guard<std::mutex> lock(g_threadsMutex);
        g_lookupThreads.insert(SysCurrentThreadId());
    }
    if (strcmp(pszName, "slow.test") == 0)
        return SlowLookup(pszName, pAddr);
    return InstantLookup(pszName, pAddr);
}

size_t LookupThreadCount()
{
    std::lock_guard<std::mutex> lock(g_threadsMutex);
    return g_lookupThreads.size();
}

void ReleaseSlowLookups()
{
    std::lock_guard<std::mutex> lock(g_slowMutex);
    g_bSlowReleased = true;
    g_slowChanged.notify_all();
}

bool WaitForLiveLookups(int nCount)
{
    Clock::time_point tStart = Clock::now();
    while (LiveLookupCount() != nCount)
    {
        if (MsSince(tStart) > 5000)
            return false;
        std::this_thread::yield();
    }
    return true;
}

class NameLookup : public ::testing::Test
{
protected:
    NameLookup() : hSocket(INVALID_SOCKET), bStop(0), sock(&hSocket, &bStop)
    {
        g_nLookups = 0;
        g_bSlowStarted = false;
        g_bSlowReleased = false;
        std::lock_guard<std::mutex> lock(g_threadsMutex);
        g_lookupThreads.clear();
    }

    ~NameLookup() override
    {
        ReleaseSlowLookups();
        EXPECT_TRUE(WaitForLiveLookups(0));
        SetHostLookup(nullptr);
    }

    SOCKET hSocket;
    int32_t bStop;
    CTollgateSocket sock;
};

} // namespace

TEST_F(NameLookup, ADottedAddressIsUsedWithoutALookup)
{
    SetHostLookup(InstantLookup);
    in_addr addr;
    sock.ResolveAddress("127.1.2.3", &addr);
    EXPECT_EQ(addr.s_addr, inet_addr("127.1.2.3"));
    CSTBlockingSocket st(-1, -1);
    st.ResolveAddress("10.20.30.40", &addr);
    EXPECT_EQ(addr.s_addr, inet_addr("10.20.30.40"));
    EXPECT_EQ(g_nLookups.load(), 0);
    EXPECT_EQ(LiveLookupCount(), 0);
}

TEST_F(NameLookup, AHostNameIsLookedUpByBothVariants)
{
    SetHostLookup(InstantLookup);
    in_addr addr;
    addr.s_addr = 0;
    sock.ResolveAddress("proxy.test", &addr);
    EXPECT_EQ(addr.s_addr, inet_addr("127.0.0.42"));
    CSTBlockingSocket st(-1, -1);
    addr.s_addr = 0;
    st.ResolveAddress("agent.test", &addr);
    EXPECT_EQ(addr.s_addr, inet_addr("127.0.0.42"));
    EXPECT_EQ(g_nLookups.load(), 2);
}

TEST_F(NameLookup, AnUnknownNameThrowsConditionNine)
{
    SetHostLookup(InstantLookup);
    in_addr addr;
    for (CBlockingSocket* p : {(CBlockingSocket*)&sock})
    {
        try
        {
            p->ResolveAddress("unknown.test", &addr);
            ADD_FAILURE() << "no error";
        }
        catch (uint32_t nCode)
        {
            EXPECT_EQ(ErrorCondition(nCode), COND_RESOLVE);
        }
    }
    CSTBlockingSocket st(-1, -1);
    EXPECT_FALSE(st.ResolveName(&addr, "unknown.test"));
}

TEST_F(NameLookup, AnswersArriveAsSoonAsTheResolverReturns)
{
    // Each lookup waits for its lookup thread's event: a fixed 100 ms pause per lookup would make
    // these 50 take at least 5 seconds.
    SetHostLookup(InstantLookup);
    const int LOOKUPS = 50;
    Clock::time_point tStart = Clock::now();
    for (int i = 0; i < LOOKUPS; i++)
    {
        in_addr addr;
        addr.s_addr = 0;
        ASSERT_TRUE(sock.ResolveName(&addr, "fast.test"));
        ASSERT_EQ(addr.s_addr, inet_addr("127.0.0.42"));
    }
    long long nMs = MsSince(tStart);
    printf("[ measure  ] %d lookups in %lld ms\n", LOOKUPS, nMs);
    EXPECT_LT(nMs, 2500);
    EXPECT_EQ(g_nLookups.load(), LOOKUPS);
}

TEST_F(NameLookup, RaisingTheStopFlagAbandonsASlowLookupAndTheThreadReleasesIt)
{
    SetHostLookup(SlowLookup);
    std::atomic<long long> nRaisedAt(0);
    Clock::time_point tBase = Clock::now();
    std::thread stopper(
        [&]
        {
            {
                std::unique_lock<std::mutex> lock(g_slowMutex);
                g_slowChanged.wait(lock, [] { return g_bSlowStarted; });
            }
            nRaisedAt = MsSince(tBase);
            SysRaiseFlag(&bStop);
        });
    in_addr addr;
    addr.s_addr = 0x01020304;
    bool bResolved = sock.ResolveName(&addr, "slow.test");
    long long nReturnedAt = MsSince(tBase);
    stopper.join();
    EXPECT_FALSE(bResolved);
    long long nLatency = nReturnedAt - nRaisedAt.load();
    printf("[ measure  ] abandoned %lld ms after the stop flag\n", nLatency);
    EXPECT_LT(nLatency, 2000);

    // The lookup thread still holds the request; when its resolver finally returns it releases
    // it alone and leaves the caller's address untouched.
    EXPECT_EQ(LiveLookupCount(), 1);
    ReleaseSlowLookups();
    EXPECT_TRUE(WaitForLiveLookups(0));
    EXPECT_EQ(addr.s_addr, 0x01020304u);
}

TEST_F(NameLookup, AStopRaisedBeforeTheLookupEndsItWithinOneSlice)
{
    SetHostLookup(SlowLookup);
    SysRaiseFlag(&bStop);
    in_addr addr;
    Clock::time_point tStart = Clock::now();
    EXPECT_FALSE(sock.ResolveName(&addr, "slow.test"));
    long long nMs = MsSince(tStart);
    printf("[ measure  ] lookup under a raised stop flag returned after %lld ms\n", nMs);
    EXPECT_LT(nMs, 2000);
}

TEST_F(NameLookup, NamesBeyond255CharactersAreNotLookedUp)
{
    SetHostLookup(InstantLookup);
    in_addr addr;
    std::string strLongest(255, 'a');
    EXPECT_TRUE(sock.ResolveName(&addr, strLongest.c_str()));
    std::string strTooLong(256, 'a');
    EXPECT_FALSE(sock.ResolveName(&addr, strTooLong.c_str()));
    EXPECT_EQ(g_nLookups.load(), 1);
}

TEST_F(NameLookup, TheSystemResolverWorksOnTheLookupThread)
{
    // localhost comes from the hosts file: nothing leaves the machine.
    in_addr addr;
    addr.s_addr = 0;
    ASSERT_TRUE(sock.ResolveName(&addr, "localhost"));
    EXPECT_EQ(addr.s_addr, inet_addr("127.0.0.1"));
}

// A lookup thread that has answered takes the next request instead of a new thread being started
// for it; and a lookup that hangs in the resolver holds up no other, however many come after it.
TEST_F(NameLookup, LookupThreadsAreReusedAndASlowLookupHoldsUpNoOther)
{
    SetHostLookup(RecordingLookup);
    const int LOOKUPS = 50;
    for (int i = 0; i < LOOKUPS; i++)
    {
        in_addr addr;
        ASSERT_TRUE(sock.ResolveName(&addr, "fast.test"));
    }
    // A request may arrive before the thread that answered the last one is waiting again, so a
    // second or third thread can be started; one for each request means no reuse.
    size_t nThreads = LookupThreadCount();
    printf("[ measure  ] %d sequential lookups ran on %zu lookup threads\n", LOOKUPS, nThreads);
    EXPECT_LE(nThreads, 4u);

    int32_t bSlowStop = 0;
    SOCKET hSlow = INVALID_SOCKET;
    CTollgateSocket slow(&hSlow, &bSlowStop);
    in_addr slowAddr;
    std::atomic<bool> bSlowResolved(false);
    std::thread slowCaller([&] { bSlowResolved = slow.ResolveName(&slowAddr, "slow.test"); });
    {
        std::unique_lock<std::mutex> lock(g_slowMutex);
        EXPECT_TRUE(g_slowChanged.wait_for(lock, std::chrono::seconds(5), [] { return g_bSlowStarted; }));
    }
    for (int i = 0; i < 10; i++)
    {
        in_addr addr;
        addr.s_addr = 0;
        EXPECT_TRUE(sock.ResolveName(&addr, "fast.test"));
        EXPECT_EQ(addr.s_addr, inet_addr("127.0.0.42"));
    }
    EXPECT_FALSE(bSlowResolved);
    ReleaseSlowLookups();
    slowCaller.join();
    EXPECT_TRUE(bSlowResolved);
}

namespace
{
bool ThrowingLookup(const char* pszName, in_addr*)
{
    if (strcmp(pszName, "nomemory.test") == 0)
        throw std::bad_alloc();
    throw MakeErrorCode(WSANO_RECOVERY, COND_RESOLVE);
}
} // namespace

// A resolver that throws fails its lookup; the lookup thread and the process go on.
TEST_F(NameLookup, AnExceptionInTheResolverFailsTheLookup)
{
    SetHostLookup(ThrowingLookup);
    in_addr addr;
    EXPECT_FALSE(sock.ResolveName(&addr, "nomemory.test"));
    EXPECT_FALSE(sock.ResolveName(&addr, "broken.test"));
    SetHostLookup(InstantLookup);
    addr.s_addr = 0;
    EXPECT_TRUE(sock.ResolveName(&addr, "proxy.test"));
    EXPECT_EQ(addr.s_addr, inet_addr("127.0.0.42"));
}
