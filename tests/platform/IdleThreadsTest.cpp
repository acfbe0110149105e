// IdleThreadsTest.cpp: threads that wait for their next job: reuse, ids, no head-of-line blocking,
// the linger time, the cap on idle threads, hand-overs racing the end of a linger, deferred wakes.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <vector>

#include "platform/IdleThreads.h"

namespace
{
const int WAIT_MS = 20000; // long enough for a stuck wait to show as a failure

// An idle list lives as long as the process (its threads may outlast the test that made it).
CIdleThreads& Kept(CIdleThreads* pThreads)
{
    static std::vector<CIdleThreads*>* pKept = new std::vector<CIdleThreads*>;
    pKept->push_back(pThreads);
    return *pThreads;
}

// Polls until the idle list and the live threads have the given sizes.
bool WaitForCounts(CIdleThreads& threads, int nIdle, int nThreads)
{
    uint64_t tStart = SysTicksMs();
    while (threads.GetIdleCount() != nIdle || threads.GetThreadCount() != nThreads)
    {
        if (SysTicksMs() - tStart > (uint64_t)WAIT_MS)
            return false;
        SysSleep(1);
    }
    return true;
}

// One job: it records the thread it ran on and the id Start published for it, then waits for
// its release (when one is given) and says it is done.
struct SJob
{
    uint32_t dwPublishedId = 0;
    std::atomic<uint32_t> dwRanOn{0};
    std::atomic<uint32_t> dwPublishedSeen{0};
    CManualEvent* pRelease = nullptr;
    CManualEvent evDone;
    std::atomic<int>* pnRuns = nullptr;

    SJob() { evDone.Create(false); }

    static unsigned Proc(void* pArg)
    {
        SJob* pJob = static_cast<SJob*>(pArg);
        pJob->dwRanOn = SysCurrentThreadId();
        pJob->dwPublishedSeen = pJob->dwPublishedId;
        if (pJob->pnRuns != nullptr)
            pJob->pnRuns->fetch_add(1);
        if (pJob->pRelease != nullptr)
            pJob->pRelease->Wait(WAIT_MS);
        pJob->evDone.Set();
        return 0;
    }
};

TEST(IdleThreads, SequentialJobsRunOnOneThreadWhoseIdIsPublishedFirst)
{
    CIdleThreads& threads = Kept(new CIdleThreads(0, THREAD_PRIO_NORMAL, WAIT_MS, 4));
    std::set<uint32_t> threadIds;
    for (int i = 0; i < 20; i++)
    {
        SJob job;
        ASSERT_TRUE(threads.Start(SJob::Proc, &job, &job.dwPublishedId));
        ASSERT_TRUE(job.evDone.Wait(WAIT_MS));
        EXPECT_NE(job.dwRanOn.load(), 0u);
        EXPECT_EQ(job.dwPublishedSeen.load(), job.dwRanOn.load())
            << "job " << i << " must find its thread's id in place when it runs";
        threadIds.insert(job.dwRanOn.load());
        // The next job is started once this one's thread waits for it.
        ASSERT_TRUE(WaitForCounts(threads, 1, 1));
    }
    EXPECT_EQ(threadIds.size(), 1u) << "every job after the first should reuse the idle thread";
}

TEST(IdleThreads, ABlockedJobHoldsUpNoOtherAndTheCapEndsSurplusThreads)
{
    const int JOBS = 5, MAX_IDLE = 2;
    CIdleThreads& threads = Kept(new CIdleThreads(0, THREAD_PRIO_NORMAL, WAIT_MS, MAX_IDLE));
    CManualEvent evRelease;
    ASSERT_TRUE(evRelease.Create(false));
    std::vector<SJob> jobs(JOBS);
    for (SJob& job : jobs)
    {
        job.pRelease = &evRelease;
        ASSERT_TRUE(threads.Start(SJob::Proc, &job, &job.dwPublishedId));
    }
    // All five run at once although none has returned.
    std::set<uint32_t> threadIds;
    for (SJob& job : jobs)
    {
        uint64_t tStart = SysTicksMs();
        while (job.dwRanOn.load() == 0 && SysTicksMs() - tStart < (uint64_t)WAIT_MS)
            SysSleep(1);
        threadIds.insert(job.dwRanOn.load());
    }
    EXPECT_EQ(threadIds.count(0u), 0u) << "a job did not start while the others were blocked";
    EXPECT_EQ(threadIds.size(), (size_t)JOBS);
    EXPECT_EQ(threads.GetIdleCount(), 0);

    evRelease.Set();
    for (SJob& job : jobs)
        ASSERT_TRUE(job.evDone.Wait(WAIT_MS));
    // The surplus threads end rather than join the list.
    ASSERT_TRUE(WaitForCounts(threads, MAX_IDLE, MAX_IDLE));

    // The idle ones take the next jobs.
    SJob next;
    ASSERT_TRUE(threads.Start(SJob::Proc, &next, &next.dwPublishedId));
    ASSERT_TRUE(next.evDone.Wait(WAIT_MS));
    EXPECT_EQ(threadIds.count(next.dwRanOn.load()), 1u);
}

TEST(IdleThreads, IdleThreadsEndAfterTheLingerTime)
{
    CIdleThreads& threads = Kept(new CIdleThreads(0, THREAD_PRIO_NORMAL, 30, 8));
    std::vector<SJob> jobs(3);
    for (SJob& job : jobs)
        ASSERT_TRUE(threads.Start(SJob::Proc, &job, &job.dwPublishedId));
    for (SJob& job : jobs)
        ASSERT_TRUE(job.evDone.Wait(WAIT_MS));
    EXPECT_TRUE(WaitForCounts(threads, 0, 0)) << "idle threads outlived their linger time";

    // A job after that gets a fresh thread.
    SJob later;
    ASSERT_TRUE(threads.Start(SJob::Proc, &later, &later.dwPublishedId));
    ASSERT_TRUE(later.evDone.Wait(WAIT_MS));
    EXPECT_EQ(later.dwPublishedSeen.load(), later.dwRanOn.load());
}

// Jobs handed over while idle threads are timing out (a 1 ms linger) each run exactly once.
TEST(IdleThreads, HandOversRacingTheLingerRunEveryJobOnce)
{
    CIdleThreads& threads = Kept(new CIdleThreads(0, THREAD_PRIO_NORMAL, 1, 4));
    const int JOBS = 300;
    std::atomic<int> nRuns(0);
    std::vector<SJob> jobs(JOBS);
    for (int i = 0; i < JOBS; i++)
    {
        jobs[i].pnRuns = &nRuns;
        ASSERT_TRUE(threads.Start(SJob::Proc, &jobs[i], &jobs[i].dwPublishedId));
        if (i % 3 == 0) // lets some threads reach the list first
        {
            ASSERT_TRUE(jobs[i].evDone.Wait(WAIT_MS));
        }
    }
    for (SJob& job : jobs)
        ASSERT_TRUE(job.evDone.Wait(WAIT_MS));
    EXPECT_EQ(nRuns.load(), JOBS);
    for (SJob& job : jobs)
        EXPECT_EQ(job.dwPublishedSeen.load(), job.dwRanOn.load());
    EXPECT_TRUE(WaitForCounts(threads, 0, 0));
}
// A deferred wake: the job waits for the caller's Set, even when the thread's linger time runs
// out before it, and then runs once on the thread whose id was published.
TEST(IdleThreads, ADeferredWakeHoldsTheJobUntilTheCallerSetsIt)
{
    CIdleThreads& threads = Kept(new CIdleThreads(0, THREAD_PRIO_NORMAL, 200, 4));
    SJob first;
    ASSERT_TRUE(threads.Start(SJob::Proc, &first, &first.dwPublishedId));
    ASSERT_TRUE(first.evDone.Wait(WAIT_MS));
    ASSERT_TRUE(WaitForCounts(threads, 1, 1));

    std::atomic<int> nRuns(0);
    SJob held;
    held.pnRuns = &nRuns;
    CManualEvent* pWake = nullptr;
    ASSERT_TRUE(threads.Start(SJob::Proc, &held, &held.dwPublishedId, &pWake));
    ASSERT_NE(pWake, nullptr);
    EXPECT_EQ(held.dwPublishedId, first.dwRanOn.load());
    SysSleep(400); // twice the linger time
    EXPECT_EQ(nRuns.load(), 0);
    pWake->Set();
    ASSERT_TRUE(held.evDone.Wait(WAIT_MS));
    EXPECT_EQ(nRuns.load(), 1);
    EXPECT_EQ(held.dwRanOn.load(), held.dwPublishedId);

    // With no thread idle, the job goes to a new thread at once and there is nothing to set.
    ASSERT_TRUE(WaitForCounts(threads, 0, 0));
    SJob fresh;
    pWake = &fresh.evDone;
    ASSERT_TRUE(threads.Start(SJob::Proc, &fresh, &fresh.dwPublishedId, &pWake));
    EXPECT_EQ(pWake, nullptr);
    ASSERT_TRUE(fresh.evDone.Wait(WAIT_MS));
    EXPECT_TRUE(WaitForCounts(threads, 0, 0));
}
} // namespace
