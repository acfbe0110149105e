// ConsoleShell.cpp: the headless program's shell.
#include "headless/ConsoleShell.h"

#include "engine/Server.h"

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
