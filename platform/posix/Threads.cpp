// Threads.cpp (POSIX): detached threads with 32-bit ids, manual-reset events, critical sections,
// sleep and time over pthreads.
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
// Events. One mutex guards every event's state (its holds are a few instructions), and each event
// has a condition variable of its own, so that setting one wakes only the threads waiting for it:
// a busy proxy has many lookups waiting at once, and waking all of them for each answer would
// cost more than the answers. SysWaitEither waits on a shared condition variable instead, which
// Set also wakes when a waiter of that kind has registered with the event.
namespace
{
pthread_mutex_t g_eventMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_eitherCond;
pthread_once_t g_eventOnce = PTHREAD_ONCE_INIT;

void InitMonotonicCond(pthread_cond_t* pCond)
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(pCond, &attr);
    pthread_condattr_destroy(&attr);
}

void InitEitherCond()
{
    InitMonotonicCond(&g_eitherCond);
}

timespec DeadlineAfter(int nTimeoutMs)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += nTimeoutMs / 1000;
    ts.tv_nsec += (long)(nTimeoutMs % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L)
    {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

// Waits on pCond under g_eventMutex until ready() holds or the time-out passes; true when it holds.
template <class F> bool WaitLocked(pthread_cond_t* pCond, F ready, int nTimeoutMs)
{
    if (ready())
        return true;
    if (nTimeoutMs == 0)
        return false;
    if (nTimeoutMs < 0)
    {
        while (!ready())
            pthread_cond_wait(pCond, &g_eventMutex);
        return true;
    }
    timespec deadline = DeadlineAfter(nTimeoutMs);
    while (!ready())
    {
        if (pthread_cond_timedwait(pCond, &g_eventMutex, &deadline) == ETIMEDOUT)
            return ready();
    }
    return true;
}

class CEventLock
{
public:
    CEventLock() { pthread_mutex_lock(&g_eventMutex); }
    ~CEventLock() { pthread_mutex_unlock(&g_eventMutex); }
};
} // namespace

CManualEvent::CManualEvent() : bCreated(false), bSignalled(false), nEitherWaiters(0)
{
    InitMonotonicCond(&cond);
}

CManualEvent::~CManualEvent()
{
    Close();
    pthread_cond_destroy(&cond);
}

bool CManualEvent::Create(bool bInitial)
{
    CEventLock lock;
    bCreated = true;
    bSignalled = bInitial;
    return true;
}

void CManualEvent::Close()
{
    CEventLock lock;
    bCreated = false;
    bSignalled = false;
    WakeLocked();
}

bool CManualEvent::IsCreated() const
{
    CEventLock lock;
    return bCreated;
}

void CManualEvent::Set()
{
    CEventLock lock;
    if (!bCreated)
        return;
    bSignalled = true;
    WakeLocked();
}

void CManualEvent::WakeLocked()
{
    pthread_cond_broadcast(&cond);
    if (nEitherWaiters > 0)
        pthread_cond_broadcast(&g_eitherCond);
}

void CManualEvent::Reset()
{
    CEventLock lock;
    if (bCreated)
        bSignalled = false;
}

bool CManualEvent::Wait(int nTimeoutMs)
{
    CEventLock lock;
    // A wait on an event that does not exist fails at once, as WaitForSingleObject does.
    if (!bCreated)
        return false;
    return WaitLocked(&cond, [this] { return bSignalled || !bCreated; }, nTimeoutMs) && bSignalled;
}

int SysWaitEither(CManualEvent& a, CManualEvent& b, int nTimeoutMs)
{
    pthread_once(&g_eventOnce, InitEitherCond);
    CEventLock lock;
    if (!a.bCreated || !b.bCreated)
        return -1;
    a.nEitherWaiters++;
    b.nEitherWaiters++;
    bool bReady = WaitLocked(
        &g_eitherCond, [&] { return a.bSignalled || b.bSignalled || !a.bCreated || !b.bCreated; }, nTimeoutMs);
    a.nEitherWaiters--;
    b.nEitherWaiters--;
    if (!bReady)
        return -1;
    if (a.bSignalled)
        return 0;
    if (b.bSignalled)
        return 1;
    return -1;
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
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
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
