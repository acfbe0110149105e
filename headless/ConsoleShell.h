// ConsoleShell.h: CConsoleShell, the engine's shell in a program whose main thread has no window
// (the headless proxy, and the engine's tests).
//
// The main thread sleeps in WaitForEvents and calls PumpMessages whenever it wakes;
// SendServerDown queues the report, wakes the main thread and waits until PumpMessages has run
// OnServerWentDown there.
#pragma once

#include <atomic>

#include "engine/ServerShell.h"

class CConsoleShell : public IServerShell
{
public:
    CConsoleShell();

    // Runs a queued server-down report. Always true: this shell never abandons a flow.
    bool PumpMessages() override;
    void SendServerDown() override;
    CManualEvent& StartIdleEvent() override { return evStartIdle; }

    // Wakes the main thread from any thread (not from a signal handler).
    void Wake() { evWake.Set(); }
    // Sleeps until woken or until nTimeoutMs passed (negative: no limit), then pumps.
    void WaitForEvents(int nTimeoutMs);
    // How many server-down reports OnServerWentDown has handled.
    int GetWentDownCount() const { return nWentDown.load(std::memory_order_acquire); }

private:
    CManualEvent evStartIdle;
    CManualEvent evWake;
    CManualEvent evDownHandled;
    std::atomic<bool> bDownQueued;
    std::atomic<int> nWentDown;
};
