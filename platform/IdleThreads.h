// IdleThreads.h: threads that wait a while for their next job once a job has returned.
#pragma once

#include "platform/Platform.h"

// Runs every job on a thread of its own, as SysStartThread does, but a thread whose job has
// returned waits a little while on an idle list for the next job before it ends. A busy program
// then does not pay a thread start and a thread exit for every job, and a quiet one keeps no idle
// threads. A job that starts while no thread is idle gets a new thread, so one slow job never
// holds up another.
//
// The idle list is used by threads the program does not join: create it on the heap and never
// destroy it (an idle thread may still be waiting on it while the process exits).
class CIdleThreads
{
public:
    // Threads get nStackSize (as SysStartThread takes it) and ePriority; a job must leave its
    // thread's priority as it found it. An idle thread ends after nLingerMs without a job; at most
    // nMaxIdle threads wait at once, the others end as soon as their job returns.
    CIdleThreads(size_t nStackSize, EThreadPriority ePriority, int nLingerMs, int nMaxIdle);

    // Runs pProc(pArg) on an idle thread, or on a new one when none is idle. The thread's id goes
    // into *pThreadId (when not null) before pProc runs. False when no thread could be started
    // (the error is then in SysGetLastError); pProc does not run then.
    //
    // With ppWake, an idle thread that takes the job is not woken here: *ppWake gets the event
    // that wakes it, and the caller must Set it exactly once, typically after it has released a
    // lock that the job would otherwise find held (a wake under a lock costs the woken thread a
    // wait for that lock). The job does not run before that Set. *ppWake is null when the job went
    // to a new thread, which runs at once.
    bool Start(ThreadProc pProc, void* pArg, uint32_t* pThreadId, CManualEvent** ppWake = nullptr);

    // How many threads wait for a job at this moment, and how many exist (busy or idle).
    int GetIdleCount();
    int GetThreadCount();

private:
    struct SWorker;
    static unsigned WorkerProc(void* pArg);
    bool WaitForNext(SWorker* pWorker);
    void Unlink(SWorker* pWorker);

    CIdleThreads(const CIdleThreads&) = delete;
    CIdleThreads& operator=(const CIdleThreads&) = delete;

    const size_t nStackSize;
    const EThreadPriority ePriority;
    const int nLingerMs;
    const int nMaxIdle;
    CCriticalSection cs;
    SWorker* pIdle; // most recently idle first; under cs
    int nIdle;      // under cs
    int nThreads;   // under cs
};
