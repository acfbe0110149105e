// ThreadsTest.cpp: threads and their ids, manual-reset events, critical sections and the clocks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <set>
#include <thread>
#include <vector>

#include "platform/Platform.h"

namespace
{
// Long enough for a stuck wait to show as a failure, never reached by a passing test.
const int WAIT_MS = 20000;

TEST(ManualEvent, WaitFollowsSetAndReset)
{
    CManualEvent ev;
    EXPECT_FALSE(ev.IsCreated());
    EXPECT_FALSE(ev.Wait(0)) << "an event that was never created cannot be signalled";

    ASSERT_TRUE(ev.Create(false));
    EXPECT_TRUE(ev.IsCreated());
    EXPECT_FALSE(ev.Wait(0));
    EXPECT_FALSE(ev.Wait(1));
    ev.Set();
    EXPECT_TRUE(ev.Wait(0));
    EXPECT_TRUE(ev.Wait(-1));
    EXPECT_TRUE(ev.IsSignalled()) << "a manual-reset event stays signalled after waits";
    ev.Reset();
    EXPECT_FALSE(ev.Wait(0));

    ev.Close();
    EXPECT_FALSE(ev.IsCreated());
    EXPECT_FALSE(ev.Wait(0));

    CManualEvent evOn;
    ASSERT_TRUE(evOn.Create(true));
    EXPECT_TRUE(evOn.Wait(0));
}

TEST(ManualEvent, WaitEitherReportsWhichAndPrefersTheFirst)
{
    CManualEvent a, b;
    ASSERT_TRUE(a.Create(false));
    ASSERT_TRUE(b.Create(false));
    EXPECT_EQ(-1, SysWaitEither(a, b, 0));
    EXPECT_EQ(-1, SysWaitEither(a, b, 1));

    b.Set();
    EXPECT_EQ(1, SysWaitEither(a, b, 0));
    EXPECT_EQ(1, SysWaitEither(a, b, -1));
    a.Set();
    EXPECT_EQ(0, SysWaitEither(a, b, 0)) << "both signalled: the first wins";
    EXPECT_EQ(0, SysWaitEither(a, b, -1));
    a.Reset();
    b.Reset();
    EXPECT_EQ(-1, SysWaitEither(a, b, 0));
}

struct SSetLater
{
    CManualEvent* pGo;
    CManualEvent* pTarget;
};

unsigned SetWhenTold(void* p)
{
    SSetLater* pSet = (SSetLater*)p;
    pSet->pGo->Wait(-1);
    pSet->pTarget->Set();
    return 0;
}

TEST(ManualEvent, WaitsWakeWhenAnotherThreadSets)
{
    CManualEvent go, a, b;
    ASSERT_TRUE(go.Create(false));
    ASSERT_TRUE(a.Create(false));
    ASSERT_TRUE(b.Create(false));

    SSetLater setB{&go, &b};
    ASSERT_TRUE(SysStartThread(SetWhenTold, &setB, 0, nullptr));
    go.Set();
    EXPECT_EQ(1, SysWaitEither(a, b, -1));

    SSetLater setA{&go, &a};
    ASSERT_TRUE(SysStartThread(SetWhenTold, &setA, 0, nullptr));
    EXPECT_TRUE(a.Wait(WAIT_MS));
}

#ifndef _WIN32
// Closing an event fails its waiters at once. Only this implementation promises it: a Windows
// handle closed under a waiter leaves the wait pending until its time-out (the system keeps the
// object for the wait), so nothing in the program closes an event while a thread waits on it.
TEST(ManualEvent, CloseFailsWaitersAtOnce)
{
    CManualEvent ev, evDone;
    ASSERT_TRUE(ev.Create(false));
    ASSERT_TRUE(evDone.Create(false));
    std::atomic<int> nEitherResult(2), nWaitResult(-1);
    std::thread waiter(
        [&]
        {
            CManualEvent other;
            other.Create(false);
            nEitherResult = SysWaitEither(other, ev, WAIT_MS);
            nWaitResult = ev.Wait(WAIT_MS) ? 1 : 0;
            evDone.Set();
        });
    ev.Close();
    // Half the waiter's own time-out: a waiter that slept through the close is still asleep then.
    bool bWoke = evDone.Wait(WAIT_MS / 2);
    waiter.join();
    EXPECT_TRUE(bWoke) << "a waiter slept through the close of its event";
    EXPECT_EQ(-1, nEitherResult.load());
    EXPECT_EQ(0, nWaitResult.load());
}
#endif

// A waiter may free the event the moment its wait returns, while the thread that set it is still
// inside Set (AddressSanitizer reports it if Set touches the event afterwards). On Windows, Set is
// one call on a handle the system keeps alive, and each round costs several calls to the system:
// fewer rounds there.
TEST(ManualEvent, AWokenWaiterMayFreeTheEvent)
{
#ifdef _WIN32
    const int ROUNDS = 200;
#else
    const int ROUNDS = 2000;
#endif
    std::atomic<CManualEvent*> pHandOver(nullptr);
    std::atomic<bool> bSetterFailed(false);
    std::thread setter([&] {
        for (int i = 0; i < ROUNDS; i++)
        {
            uint64_t tStart = SysTicksMs();
            CManualEvent* pEvent;
            while ((pEvent = pHandOver.exchange(nullptr)) == nullptr)
            {
                if (SysTicksMs() - tStart > (uint64_t)WAIT_MS)
                {
                    bSetterFailed = true;
                    return;
                }
                std::this_thread::yield();
            }
            pEvent->Set();
        }
    });
    for (int i = 0; i < ROUNDS && !bSetterFailed; i++)
    {
        CManualEvent* pEvent = new CManualEvent;
        EXPECT_TRUE(pEvent->Create(false));
        pHandOver = pEvent;
        EXPECT_TRUE(pEvent->Wait(WAIT_MS)) << "round " << i;
        delete pEvent;
    }
    setter.join();
    EXPECT_FALSE(bSetterFailed);
}

// ---------------------------------------------------------------------------------------------
struct SThreadRecord
{
    uint32_t dwIdGiven;       // written by SysStartThread
    uint32_t dwIdSeenByStart; // what the thread found in dwIdGiven when it began
    uint32_t dwIdCurrent;     // SysCurrentThreadId inside the thread
    uint32_t dwIdAgain;       // asked a second time
    bool bDeepStackOk;
    CManualEvent evDone;
};

// Uses about 24 KB of stack, well within a 64 KB reservation.
__attribute__((noinline)) bool UseStack(int nSeed)
{
    volatile char aBuffer[24 * 1024];
    for (size_t i = 0; i < sizeof(aBuffer); i += 512)
        aBuffer[i] = (char)(nSeed + i);
    int nSum = 0;
    for (size_t i = 0; i < sizeof(aBuffer); i += 512)
        nSum += aBuffer[i] == (char)(nSeed + i);
    return nSum == (int)(sizeof(aBuffer) / 512);
}

unsigned RecordIds(void* p)
{
    SThreadRecord* pRec = (SThreadRecord*)p;
    pRec->dwIdSeenByStart = pRec->dwIdGiven;
    pRec->dwIdCurrent = SysCurrentThreadId();
    pRec->dwIdAgain = SysCurrentThreadId();
    pRec->bDeepStackOk = UseStack((int)pRec->dwIdCurrent);
    pRec->evDone.Set();
    return 0;
}

TEST(Thread, StartGivesEachThreadItsOwnIdBeforeItRuns)
{
    const int nThreads = 8;
    SThreadRecord aRec[nThreads];
    const EThreadPriority aPrio[3] = {THREAD_PRIO_BELOW_NORMAL, THREAD_PRIO_NORMAL, THREAD_PRIO_HIGHEST};
    for (int i = 0; i < nThreads; i++)
    {
        aRec[i].dwIdGiven = 0;
        aRec[i].dwIdSeenByStart = 0;
        aRec[i].bDeepStackOk = false;
        ASSERT_TRUE(aRec[i].evDone.Create(false));
        ASSERT_TRUE(
            SysStartThread(RecordIds, &aRec[i], SysScaledStack(64 * 1024), &aRec[i].dwIdGiven, aPrio[i % 3]));
    }
    std::set<uint32_t> ids;
    uint32_t dwMain = SysCurrentThreadId();
    EXPECT_NE(0u, dwMain);
    EXPECT_EQ(dwMain, SysCurrentThreadId());
    ids.insert(dwMain);
    for (int i = 0; i < nThreads; i++)
    {
        ASSERT_TRUE(aRec[i].evDone.Wait(WAIT_MS));
        EXPECT_NE(0u, aRec[i].dwIdGiven);
        EXPECT_EQ(aRec[i].dwIdGiven, aRec[i].dwIdSeenByStart)
            << "the id must be stored before the thread runs";
        EXPECT_EQ(aRec[i].dwIdGiven, aRec[i].dwIdCurrent);
        EXPECT_EQ(aRec[i].dwIdCurrent, aRec[i].dwIdAgain);
        EXPECT_TRUE(aRec[i].bDeepStackOk);
        ids.insert(aRec[i].dwIdGiven);
    }
    EXPECT_EQ((size_t)nThreads + 1, ids.size()) << "ids of live threads are distinct";
}

TEST(Thread, ScaledStackIsNeverSmaller)
{
    EXPECT_GE(SysScaledStack(64 * 1024), (size_t)64 * 1024);
    EXPECT_EQ(0u, SysScaledStack(0));
}

// ---------------------------------------------------------------------------------------------
struct SCounterRun
{
    CCriticalSection* pCs;
    long* pnCounter;
    int nRounds;
    CManualEvent* pStart;
    CManualEvent evDone;
};

unsigned CountUnderLock(void* p)
{
    SCounterRun* pRun = (SCounterRun*)p;
    pRun->pStart->Wait(-1);
    for (int i = 0; i < pRun->nRounds; i++)
    {
        CScopedLock lock(*pRun->pCs);
        // A read, a pause and a write: without exclusion the threads lose each other's updates.
        long n = *pRun->pnCounter;
        if ((i & 63) == 0)
            SysSleep(0);
        *pRun->pnCounter = n + 1;
    }
    pRun->evDone.Set();
    return 0;
}

TEST(CriticalSection, ExcludesOtherThreads)
{
    CCriticalSection cs;
    long nCounter = 0;
    CManualEvent start;
    ASSERT_TRUE(start.Create(false));
    const int nThreads = 4;
    SCounterRun aRun[nThreads];
    for (int i = 0; i < nThreads; i++)
    {
        aRun[i].pCs = &cs;
        aRun[i].pnCounter = &nCounter;
        aRun[i].nRounds = 20000;
        aRun[i].pStart = &start;
        ASSERT_TRUE(aRun[i].evDone.Create(false));
        ASSERT_TRUE(SysStartThread(CountUnderLock, &aRun[i], 0, nullptr));
    }
    start.Set();
    for (int i = 0; i < nThreads; i++)
        ASSERT_TRUE(aRun[i].evDone.Wait(WAIT_MS));
    CScopedLock lock(cs);
    EXPECT_EQ(4 * 20000, nCounter);
}

TEST(CriticalSection, OwnerMayReenterAndOthersWaitUntilFullyLeft)
{
    CCriticalSection cs;
    CManualEvent evEntered;
    ASSERT_TRUE(evEntered.Create(false));

    cs.Enter();
    cs.Enter();
    // Joined at the end, so that the thread never outlives the section and the event, whatever
    // the test finds.
    std::thread other(
        [&]
        {
            cs.Enter();
            cs.Leave();
            evEntered.Set();
        });
    cs.Leave();
    // Still held once: the other thread cannot have entered. (A short bounded look, not a
    // timing assertion: it can only miss a fault, never invent one.)
    EXPECT_FALSE(evEntered.Wait(50));
    cs.Leave();
    EXPECT_TRUE(evEntered.Wait(WAIT_MS));
    other.join();
}

// ---------------------------------------------------------------------------------------------
TEST(Clock, TicksNeverGoBackAndWallTimeIsNow)
{
    uint64_t nPrev = SysTicksMs();
    for (int i = 0; i < 1000; i++)
    {
        uint64_t n = SysTicksMs();
        ASSERT_GE(n, nPrev);
        nPrev = n;
    }
    int64_t tNow = SysTimeNow();
    int64_t tLib = (int64_t)time(nullptr);
    EXPECT_LE(tNow > tLib ? tNow - tLib : tLib - tNow, 5);

    struct tm tmLocal;
    memset(&tmLocal, 0, sizeof(tmLocal));
    ASSERT_TRUE(SysLocalTime(1700000000, &tmLocal)); // 14 November 2023, in every time zone
    EXPECT_EQ(123, tmLocal.tm_year);
    EXPECT_EQ(10, tmLocal.tm_mon);
}
} // namespace
