// ServerContext.cpp: the one server context and the count of running engine threads.
#include "engine/ServerContext.h"

#include <atomic>
#include <cstring>

// Left alive at exit on purpose: a detached engine thread may still read the context while the
// program's static objects are destroyed.
SServerContext& g_server = *new SServerContext;

namespace
{
std::atomic<int> g_nEngineThreads(0);
std::atomic<uint64_t (*)()> g_pfnEngineClock(nullptr);
} // namespace

uint64_t EngineTicksMs()
{
    uint64_t (*pfn)() = g_pfnEngineClock.load(std::memory_order_acquire);
    return pfn ? pfn() : SysTicksMs();
}

void SetEngineClock(uint64_t (*pfnTicksMs)())
{
    g_pfnEngineClock.store(pfnTicksMs, std::memory_order_release);
}

SServerContext::SServerContext() : bStop(0), hListenSocket(INVALID_SOCKET), tStarted(0), nLastError(0)
{
    hStartedEvent.Create(true);
    hStoppedEvent.Create(true);
    memset(&saListen, 0, sizeof(saListen));
}

void EngineThreadStarting()
{
    g_nEngineThreads.fetch_add(1, std::memory_order_relaxed);
}

void EngineThreadEnded()
{
    g_nEngineThreads.fetch_sub(1, std::memory_order_release);
}

bool WaitEngineThreadsEnded(int nTimeoutMs)
{
    uint64_t tStart = SysTicksMs();
    while (g_nEngineThreads.load(std::memory_order_acquire) != 0)
    {
        if (nTimeoutMs >= 0 && SysTicksMs() - tStart >= (uint64_t)nTimeoutMs)
            return false;
        SysSleep(1);
    }
    return true;
}
