// ServerShell.h: IServerShell, what the engine needs from the program that hosts it.
//
// The engine runs its start, stop and went-down steps on the host's main thread, and that thread
// must keep serving its own events while it waits for the listener and the sessions: the Windows
// shell drains its window messages, the headless program its stop and server-down requests. So
// every wait of those steps is sliced at 1 ms with a call to PumpMessages in between.
//
// The listener thread reports a server that died on its own through SendServerDown, which runs
// OnServerWentDown on the main thread and returns only after it has run. Before it reports, the
// listener waits for the start-idle event, so that the report never arrives in the middle of a
// start: StartServer resets the event when it begins and sets it again however it ends.
#pragma once

#include "platform/Platform.h"

class IServerShell
{
public:
    // Handles every pending event of the main thread (a server-down request included). False
    // once the program is quitting: the waiting flow then gives up and returns at once.
    virtual bool PumpMessages() = 0;
    // Called on the listener thread. Has OnServerWentDown run on the main thread and returns
    // after it has run (the Windows shell sends WM_SERVERDOWN to its hidden window).
    virtual void SendServerDown() = 0;
    // Manual-reset, created signalled by the shell. Reset and set by StartServer only.
    virtual CManualEvent& StartIdleEvent() = 0;

protected:
    ~IServerShell() {}
};

// The shell of the running program. Set once before the first StartServer; a shell is never
// destroyed while the server can run.
void SetServerShell(IServerShell* pShell);
IServerShell* GetServerShell();
