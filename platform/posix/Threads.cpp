// Threads.cpp (POSIX): detached threads with 32-bit ids, manual-reset events, critical sections,
// sleep and time over pthreads and futexes.
#include "platform/Platform.h"
#include "platform/posix/PosixError.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <new>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef __linux__
#error "the POSIX backend's events use Linux futexes"
#endif
#include <linux/futex.h>

// ---------------------------------------------------------------------------------------------
// Thread ids. pthread_t is opaque and may be wider than 32 bits, while the session table keys
// sessions by a 32-bit id; so ids are handed out here from one counter. A thread started through
// SysStartThread gets its id before it exists; any other thread (main, test runners) gets one the
// first time it asks.
namespace
{
std::atomic<uint32_t> g_nNextThreadId(1);
thread_local uint32_t t_nThreadId = 0;

uint32_t NewThreadId()
{
    uint32_t nId;
    do
        nId = g_nNextThreadId.fetch_add(1, std::memory_order_relaxed);
    while (nId == 0);
    return nId;
}

void ApplyPriority(EThreadPriority ePriority)
{
    // Linux keeps a nice value per thread, addressed by the kernel's thread id. Lowering the
    // priority is always allowed; going back up or above normal needs privileges, so those are
    // left as they are.
    if (ePriority != THREAD_PRIO_BELOW_NORMAL)
        return;
#ifdef __linux__
    pid_t tid = (pid_t)syscall(SYS_gettid);
    errno = 0;
    int nNice = getpriority(PRIO_PROCESS, (id_t)tid);
    if (errno == 0 && nNice < 19)
        setpriority(PRIO_PROCESS, (id_t)tid, nNice + 1);
#endif
}

struct SThreadStart
{
    ThreadProc pProc;
    void* pArg;
    uint32_t nId;
    EThreadPriority ePriority;
};

void* ThreadTrampoline(void* p)
{
    SThreadStart start = *(SThreadStart*)p;
    delete (SThreadStart*)p;
    t_nThreadId = start.nId;
    ApplyPriority(start.ePriority);
    start.pProc(start.pArg);
    return nullptr;
}
} // namespace

bool SysStartThread(ThreadProc pProc, void* pArg, size_t nStackSize, uint32_t* pThreadId,
                    EThreadPriority ePriority)
{
    pthread_attr_t attr;
    int nErr = pthread_attr_init(&attr);
    if (nErr != 0)
    {
        SysSetLastError(Win32ErrorFromErrno(nErr));
        return false;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (nStackSize != 0)
    {
        // Like a Windows reservation, the size is address space; pages are touched only as the
        // stack grows. pthreads refuses anything below its minimum.
        size_t nPage = (size_t)sysconf(_SC_PAGESIZE);
        if (nStackSize < (size_t)PTHREAD_STACK_MIN)
            nStackSize = (size_t)PTHREAD_STACK_MIN;
        nStackSize = (nStackSize + nPage - 1) / nPage * nPage;
        pthread_attr_setstacksize(&attr, nStackSize);
    }

    SThreadStart* pStart = new SThreadStart{pProc, pArg, NewThreadId(), ePriority};
    // The id is published before the thread exists, so the thread may read it from the record
    // it was given.
    if (pThreadId)
        *pThreadId = pStart->nId;

    pthread_t thread;
    nErr = pthread_create(&thread, &attr, ThreadTrampoline, pStart);
    pthread_attr_destroy(&attr);
    if (nErr != 0)
    {
        delete pStart;
        SysSetLastError(nErr == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : Win32ErrorFromErrno(nErr));
        return false;
    }
    return true;
}

void SysSetThreadPriority(EThreadPriority ePriority)
{
    ApplyPriority(ePriority);
}

uint32_t SysCurrentThreadId()
{
    if (t_nThreadId == 0)
        t_nThreadId = NewThreadId();
    return t_nThreadId;
}

// ---------------------------------------------------------------------------------------------
// Events. An event's whole state is one 32-bit word, and its waiters sleep on that word with the
// futex calls, so that a Set that wakes a waiter is one atomic operation and one wake-up: with a
// mutex and a condition variable the woken thread would first have to wait for the setter's
// mutex, and each hand-over (a session to its lookup thread and back, a client to an idle
// session thread) would cost two wake-ups.
//
// Set touches the event's memory only in its atomic operation: the wake that follows is a system
// call on the word's address, which the kernel does not read. A waiter may therefore free the
// event as soon as its Wait returns, as it may with a Windows event handle it has been signalled
// through. The waiter bits are sticky: once a thread has slept on an event, each Set makes the
// wake call, which costs nothing beyond the call when nobody sleeps.
namespace
{
const uint32_t EVENT_CREATED = 1u;
const uint32_t EVENT_SIGNALLED = 2u;
const uint32_t EVENT_SLEEPERS = 4u; // a Wait may be asleep on the word
const uint32_t EVENT_EITHER = 8u;   // a SysWaitEither may be asleep on g_nEitherSequence
const uint32_t EVENT_STICKY = EVENT_SLEEPERS | EVENT_EITHER;

// SysWaitEither sleeps on this counter, which every Set or Close of an event with EVENT_EITHER
// advances; it lives as long as the process.
std::atomic<uint32_t> g_nEitherSequence(0);

void FutexWait(std::atomic<uint32_t>* pWord, uint32_t nExpected, const timespec* pTimeout)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(pWord), FUTEX_WAIT_PRIVATE, nExpected, pTimeout, nullptr,
            0);
}

void FutexWakeAll(std::atomic<uint32_t>* pWord)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(pWord), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Wakes what the previous state says may be asleep on an event that has just changed.
void WakeSleepers(std::atomic<uint32_t>* pWord, uint32_t nOld)
{
    if (nOld & EVENT_SLEEPERS)
        FutexWakeAll(pWord);
    if (nOld & EVENT_EITHER)
    {
        g_nEitherSequence.fetch_add(1);
        FutexWakeAll(&g_nEitherSequence);
    }
}

uint64_t MonotonicNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

// The deadline of a wait with a positive time-out (0 for the others, which need none).
uint64_t DeadlineNs(int nTimeoutMs)
{
    return nTimeoutMs > 0 ? MonotonicNs() + (uint64_t)nTimeoutMs * 1000000u : 0;
}

// The time left until a deadline on the monotonic clock; false once it has passed.
bool TimeLeft(uint64_t nDeadlineNs, timespec* pLeft)
{
    uint64_t nNow = MonotonicNs();
    if (nNow >= nDeadlineNs)
        return false;
    uint64_t nLeft = nDeadlineNs - nNow;
    pLeft->tv_sec = (time_t)(nLeft / 1000000000u);
    pLeft->tv_nsec = (long)(nLeft % 1000000000u);
    return true;
}

// Sleeps on pWord while it holds nExpected, without limit (nTimeoutMs < 0) or until the
// deadline; false when the deadline has passed without a sleep.
bool SleepOn(std::atomic<uint32_t>* pWord, uint32_t nExpected, int nTimeoutMs, uint64_t nDeadlineNs)
{
    if (nTimeoutMs < 0)
    {
        FutexWait(pWord, nExpected, nullptr);
        return true;
    }
    timespec left;
    if (nTimeoutMs == 0 || !TimeLeft(nDeadlineNs, &left))
        return false;
    FutexWait(pWord, nExpected, &left);
    return true;
}
} // namespace

CManualEvent::CManualEvent() : nState(0) {}

CManualEvent::~CManualEvent()
{
    Close();
}

bool CManualEvent::Create(bool bInitial)
{
    uint32_t nNew = EVENT_CREATED | (bInitial ? EVENT_SIGNALLED : 0);
    uint32_t nOld = nState.load();
    while (!nState.compare_exchange_weak(nOld, (nOld & EVENT_STICKY) | nNew))
    {
    }
    if (bInitial)
        WakeSleepers(&nState, nOld);
    return true;
}

void CManualEvent::Close()
{
    // Waiters wake and fail rather than sleep on a dead event. (A Windows waiter is not woken
    // when its handle is closed: it sleeps until its time-out, so no caller relies on the wake.)
    // A signalled event has no sleepers: the Set woke them, and a later Wait never slept.
    uint32_t nOld = nState.fetch_and(EVENT_STICKY);
    if ((nOld & EVENT_CREATED) && !(nOld & EVENT_SIGNALLED))
        WakeSleepers(&nState, nOld);
}

bool CManualEvent::IsCreated() const
{
    return (nState.load() & EVENT_CREATED) != 0;
}

void CManualEvent::Set()
{
    uint32_t nOld = nState.load();
    do
    {
        if ((nOld & EVENT_CREATED) == 0 || (nOld & EVENT_SIGNALLED) != 0)
            return; // nothing changes, so nobody is to be woken
    } while (!nState.compare_exchange_weak(nOld, nOld | EVENT_SIGNALLED));
    WakeSleepers(&nState, nOld);
}

void CManualEvent::Reset()
{
    nState.fetch_and(~EVENT_SIGNALLED);
}

bool CManualEvent::Wait(int nTimeoutMs)
{
    uint64_t nDeadline = DeadlineNs(nTimeoutMs);
    for (;;)
    {
        uint32_t nNow = nState.load();
        // A wait on an event that does not exist fails at once, as WaitForSingleObject does.
        if ((nNow & EVENT_CREATED) == 0)
            return false;
        if (nNow & EVENT_SIGNALLED)
            return true;
        if (nTimeoutMs != 0 && (nNow & EVENT_SLEEPERS) == 0)
        {
            // Announced before sleeping, so that the Set that changes the word also wakes it.
            if (!nState.compare_exchange_strong(nNow, nNow | EVENT_SLEEPERS))
                continue;
            nNow |= EVENT_SLEEPERS;
        }
        if (!SleepOn(&nState, nNow, nTimeoutMs, nDeadline))
            return false;
    }
}

int SysWaitEither(CManualEvent& a, CManualEvent& b, int nTimeoutMs)
{
    // Registered before the first look, so that a Set after that look advances the sequence.
    a.nState.fetch_or(EVENT_EITHER);
    b.nState.fetch_or(EVENT_EITHER);
    uint64_t nDeadline = DeadlineNs(nTimeoutMs);
    for (;;)
    {
        uint32_t nSequence = g_nEitherSequence.load();
        uint32_t nA = a.nState.load(), nB = b.nState.load();
        if ((nA & EVENT_CREATED) == 0 || (nB & EVENT_CREATED) == 0)
            return -1;
        if (nA & EVENT_SIGNALLED)
            return 0;
        if (nB & EVENT_SIGNALLED)
            return 1;
        if (!SleepOn(&g_nEitherSequence, nSequence, nTimeoutMs, nDeadline))
            return -1;
    }
}

// ---------------------------------------------------------------------------------------------
// Critical section: a recursive mutex, since a Win32 critical section may be re-entered by its
// owner.
CCriticalSection::CCriticalSection()
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

CCriticalSection::~CCriticalSection()
{
    pthread_mutex_destroy(&mutex);
}

void CCriticalSection::Enter()
{
    pthread_mutex_lock(&mutex);
}

void CCriticalSection::Leave()
{
    pthread_mutex_unlock(&mutex);
}

// ---------------------------------------------------------------------------------------------
// Time.
void SysSleep(unsigned nMs)
{
    timespec ts;
    ts.tv_sec = nMs / 1000;
    ts.tv_nsec = (long)(nMs % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
    {
    }
}

uint64_t SysTicksMs()
{
    return MonotonicNs() / 1000000u;
}

int64_t SysTimeNow()
{
    return (int64_t)time(nullptr);
}

bool SysLocalTime(int64_t tTime, struct tm* pTm)
{
    time_t t = (time_t)tTime;
    if ((int64_t)t != tTime)
        return false;
    return localtime_r(&t, pTm) != nullptr;
}
