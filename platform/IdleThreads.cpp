// IdleThreads.cpp: the idle list of reusable threads.
#include "platform/IdleThreads.h"

// A thread's own record. The thread owns it and deletes it when it ends; while the thread is on
// the idle list, Start may hand it a job and take it off the list, both under the list's lock.
struct CIdleThreads::SWorker
{
    CIdleThreads* pOwner;
    CManualEvent evWork; // set when a job has been handed over
    ThreadProc pProc;    // the job; under the list's lock while the thread is idle
    void* pArg;
    uint32_t dwThreadId;
    SWorker* pPrev; // neighbours on the idle list; under the list's lock
    SWorker* pNext;
};

CIdleThreads::CIdleThreads(size_t nStack, EThreadPriority ePrio, int nLinger, int nMax)
    : nStackSize(nStack), ePriority(ePrio), nLingerMs(nLinger), nMaxIdle(nMax), pIdle(nullptr), nIdle(0),
      nThreads(0)
{
}

bool CIdleThreads::Start(ThreadProc pProc, void* pArg, uint32_t* pThreadId, CManualEvent** ppWake)
{
    if (ppWake)
        *ppWake = nullptr;
    {
        CScopedLock lock(cs);
        if (pIdle != nullptr)
        {
            SWorker* pWorker = pIdle;
            Unlink(pWorker);
            pWorker->pProc = pProc;
            pWorker->pArg = pArg;
            if (pThreadId)
                *pThreadId = pWorker->dwThreadId;
            if (ppWake)
                *ppWake = &pWorker->evWork;
            else
                pWorker->evWork.Set();
            return true;
        }
        nThreads++; // counted before it exists, so that a count never misses a starting thread
    }
    SWorker* pWorker = new SWorker;
    pWorker->pOwner = this;
    pWorker->pProc = pProc;
    pWorker->pArg = pArg;
    pWorker->dwThreadId = 0;
    pWorker->pPrev = pWorker->pNext = nullptr;
    if (pWorker->evWork.Create(false) &&
        SysStartThread(WorkerProc, pWorker, nStackSize, pThreadId, ePriority))
        return true;
    uint32_t dwError = SysGetLastError();
    delete pWorker;
    CScopedLock lock(cs);
    nThreads--;
    SysSetLastError(dwError);
    return false;
}

int CIdleThreads::GetIdleCount()
{
    CScopedLock lock(cs);
    return nIdle;
}

int CIdleThreads::GetThreadCount()
{
    CScopedLock lock(cs);
    return nThreads;
}

unsigned CIdleThreads::WorkerProc(void* pArg)
{
    SWorker* pWorker = static_cast<SWorker*>(pArg);
    pWorker->dwThreadId = SysCurrentThreadId();
    do
        pWorker->pProc(pWorker->pArg);
    while (pWorker->pOwner->WaitForNext(pWorker));
    CIdleThreads* pOwner = pWorker->pOwner;
    delete pWorker;
    CScopedLock lock(pOwner->cs);
    pOwner->nThreads--;
    return 0;
}

// False when no job came within the linger time, or the list is full; the worker is then off the
// list and its thread ends.
bool CIdleThreads::WaitForNext(SWorker* pWorker)
{
    {
        CScopedLock lock(cs);
        if (nIdle >= nMaxIdle)
            return false;
        pWorker->pProc = nullptr;
        pWorker->evWork.Reset();
        pWorker->pPrev = nullptr;
        pWorker->pNext = pIdle;
        if (pIdle != nullptr)
            pIdle->pPrev = pWorker;
        pIdle = pWorker;
        nIdle++;
    }
    // Woken by its event, the worker has its job: Start took it off the list and handed the job
    // over under the lock before it set the event, so the lock is not taken again here (the
    // thread that woke it may well still hold it, and the worker would only wait for it).
    if (pWorker->evWork.Wait(nLingerMs))
        return true;
    {
        CScopedLock lock(cs);
        if (pWorker->pProc == nullptr)
        {
            Unlink(pWorker);
            return false;
        }
    }
    // A job was handed over just as the wait timed out: Start took the worker off the list, and
    // its event is set now or, when the caller deferred the wake, a little later. The job runs
    // only after that Set, so that no Set can ever reach a worker that has moved on.
    pWorker->evWork.Wait(-1);
    return true;
}

void CIdleThreads::Unlink(SWorker* pWorker) // under cs
{
    if (pWorker->pPrev != nullptr)
        pWorker->pPrev->pNext = pWorker->pNext;
    else
        pIdle = pWorker->pNext;
    if (pWorker->pNext != nullptr)
        pWorker->pNext->pPrev = pWorker->pPrev;
    pWorker->pPrev = pWorker->pNext = nullptr;
    nIdle--;
}
