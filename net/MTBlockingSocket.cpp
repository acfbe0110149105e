// MTBlockingSocket.cpp: the proxy program's socket, closable from any thread, with host-name
// lookups that a stop can abandon.
//
// A name lookup may take the resolver's full time-out (many seconds) and cannot be interrupted, so
// it never runs on a session thread: the session hands it to a lookup thread and waits for it in
// slices of at most 100 ms, looking at its stop flag between slices. A stopping server therefore
// never waits for a resolver, and an answer is taken the moment it arrives. A name that the
// resolver would answer from the hosts file is answered from that file on the session's own
// thread (LookupHostInFiles): reading a local file never waits for the network, and the session
// saves two thread switches.
//
// Every lookup has a thread to itself, so a slow one never holds up another. A lookup thread that
// has answered waits a little while for the next request before it ends: a busy proxy then does
// not pay a thread start for every name, and a quiet one keeps no lookup threads.
#include "net/BlockingSocket.h"
#include "platform/IdleThreads.h"

#include <atomic>
#include <cstring>
#include <new>

namespace
{

enum
{
    LOOKUP_PENDING = 0,
    LOOKUP_RESOLVED = 1,
    LOOKUP_FAILED = 2, // no address, or the caller has left
};

const int LOOKUP_SLICE_MS = 100;

// Shared by the waiting caller and the lookup thread. Either may be the last to use it: the
// caller leaves early when its stop flag is raised, the thread ends whenever the resolver
// returns. A status flag alone cannot decide who frees it, because the thread must still set the
// event after publishing its result, and the caller may free the record the moment it sees the
// result. So each side holds one reference and drops it with one atomic decrement; whichever
// drops the last one deletes the record, and neither touches it after its own decrement. The
// status tells the thread whether anyone still waits; the event wakes the caller.
struct SLookupRequest
{
    in_addr addr;
    char szName[256];
    std::atomic<int32_t> nStatus;
    std::atomic<int32_t> nRefs;
    CManualEvent evDone;
};

std::atomic<int> g_nLiveLookups(0);

void ReleaseRequest(SLookupRequest* pRequest)
{
    if (pRequest->nRefs.fetch_sub(1, std::memory_order_acq_rel) == 1)
    {
        delete pRequest;
        g_nLiveLookups.fetch_sub(1, std::memory_order_release);
    }
}

// Answers one request and drops the thread's reference to it.
void Serve(SLookupRequest* pRequest)
{
    in_addr addr;
    addr.s_addr = 0;
    bool bFound;
    try
    {
        bFound = LookupHost(pRequest->szName, &addr);
    }
    catch (uint32_t)
    {
        bFound = false; // a resolver that throws has found nothing; the thread goes on
    }
    catch (const std::bad_alloc&)
    {
        bFound = false;
    }
    if (pRequest->nStatus.load(std::memory_order_acquire) == LOOKUP_PENDING)
    {
        pRequest->addr = addr;
        int32_t nPending = LOOKUP_PENDING;
        if (pRequest->nStatus.compare_exchange_strong(nPending, bFound ? LOOKUP_RESOLVED : LOOKUP_FAILED,
                                                      std::memory_order_acq_rel))
            pRequest->evDone.Set();
    }
    ReleaseRequest(pRequest);
}

unsigned ServeProc(void* pArg)
{
    Serve(static_cast<SLookupRequest*>(pArg));
    return 0;
}

const int LOOKUP_LINGER_MS = 2000; // how long an idle lookup thread waits for another request
const int LOOKUP_MAX_IDLE = 64;    // idle lookup threads kept at most; others end at once

CIdleThreads& LookupThreads()
{
    static CIdleThreads* pThreads =
        new CIdleThreads(SysLookupStackSize(), THREAD_PRIO_BELOW_NORMAL, LOOKUP_LINGER_MS, LOOKUP_MAX_IDLE);
    return *pThreads;
}

} // namespace

CMTBlockingSocket::CMTBlockingSocket(volatile SOCKET* pHandleAt, volatile int32_t* pStopFlag,
                                     int nReceiveSeconds, int nSendSeconds, const SSocketApi* pTable)
    : CBlockingSocket(pHandleAt, pTable, nReceiveSeconds, nSendSeconds), pStop(pStopFlag)
{
}

void CMTBlockingSocket::Close()
{
    CloseSocketAt(pHandle, pApi->closesocket);
}

bool CMTBlockingSocket::ResolveName(in_addr* pAddr, const char* pszName)
{
    size_t nLength = strlen(pszName);
    if (nLength >= sizeof(SLookupRequest::szName))
        return false; // no host name is that long; a cut one would name another host

    if (LookupHostInFiles(pszName, pAddr))
        return true;

    SLookupRequest* pRequest = new SLookupRequest;
    g_nLiveLookups.fetch_add(1, std::memory_order_relaxed);
    memcpy(pRequest->szName, pszName, nLength + 1);
    pRequest->addr.s_addr = 0;
    pRequest->nStatus.store(LOOKUP_PENDING, std::memory_order_relaxed);
    pRequest->nRefs.store(2, std::memory_order_relaxed);
    if (!pRequest->evDone.Create(false))
    {
        pRequest->nRefs.store(1, std::memory_order_relaxed);
        ReleaseRequest(pRequest);
        return false;
    }
    bool bStarted;
    try
    {
        bStarted = LookupThreads().Start(ServeProc, pRequest, nullptr);
    }
    catch (const std::bad_alloc&)
    {
        // No thread got the request: both references are the caller's to drop.
        ReleaseRequest(pRequest);
        ReleaseRequest(pRequest);
        throw;
    }
    CheckThreadCreated(bStarted);

    for (;;)
    {
        if (pRequest->evDone.Wait(LOOKUP_SLICE_MS))
        {
            bool bResolved = pRequest->nStatus.load(std::memory_order_acquire) == LOOKUP_RESOLVED;
            if (bResolved)
                *pAddr = pRequest->addr;
            ReleaseRequest(pRequest);
            return bResolved;
        }
        if (SysIsFlagRaised(pStop))
        {
            // Abandon: from here on the request is the lookup thread's to release. If the thread
            // published its result in the meantime, the exchange fails and the result is simply
            // dropped, as the caller is being stopped anyway.
            int32_t nPending = LOOKUP_PENDING;
            pRequest->nStatus.compare_exchange_strong(nPending, LOOKUP_FAILED, std::memory_order_acq_rel);
            ReleaseRequest(pRequest);
            return false;
        }
    }
}

int LiveLookupCount()
{
    return g_nLiveLookups.load(std::memory_order_acquire);
}
