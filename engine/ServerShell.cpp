// ServerShell.cpp: the host program's shell as the engine sees it.
#include "engine/ServerShell.h"

#include "engine/Server.h"

#include <atomic>

namespace
{
std::atomic<IServerShell*> g_pShell(nullptr);
} // namespace

void SetServerShell(IServerShell* pShell)
{
    g_pShell.store(pShell, std::memory_order_release);
}

IServerShell* GetServerShell()
{
    return g_pShell.load(std::memory_order_acquire);
}

CConsoleShell::CConsoleShell() : bDownQueued(false), nWentDown(0)
{
    evStartIdle.Create(true);
    evWake.Create(false);
    evDownHandled.Create(false);
}

bool CConsoleShell::PumpMessages()
{
    if (bDownQueued.exchange(false, std::memory_order_acq_rel))
    {
        OnServerWentDown();
        nWentDown.fetch_add(1, std::memory_order_acq_rel);
        evDownHandled.Set();
    }
    return true;
}

void CConsoleShell::SendServerDown()
{
    // One listener reports at a time, and it waits here until the report has been handled.
    evDownHandled.Reset();
    bDownQueued.store(true, std::memory_order_release);
    evWake.Set();
    evDownHandled.Wait(-1);
}

void CConsoleShell::WaitForEvents(int nTimeoutMs)
{
    // Reset before looking at the queue: a report queued after the reset sets the event again.
    evWake.Wait(nTimeoutMs);
    evWake.Reset();
    PumpMessages();
}
