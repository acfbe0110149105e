// Server.h: the listener thread and the engine's start, stop, restart and went-down steps.
//
// The server is one listening socket and one thread that accepts clients on it; each admitted
// client gets a session record in the session table and a session thread (engine/Session.h).
// The host program drives the server from its main thread through StartServer, StopServer,
// RestartServer and OnServerWentDown, and lends the engine its message pump through
// IServerShell (engine/ServerShell.h).
//
// What a host program implements, calls and reads is summed up in engine/Host.h.
//
// Lifetime: StopServer returns once the listener has signalled hStoppedEvent and the session
// table is empty; a thread may then still be leaving its entry function, so a program that is
// about to exit also waits for WaitEngineThreadsEnded (engine/ServerContext.h). A program that
// exits while the server still runs (the Windows shell's Exit command) must not run static
// destructors: it ends the process at once.
#pragma once

#include "engine/ServerContext.h"
#include "engine/ServerShell.h"
#include "net/BlockingSocket.h"

// The listener's socket: the context's listening socket, stopped by the context's stop flag.
class CServerListenThread : public CTollgateSocket
{
public:
    explicit CServerListenThread(SServerContext* pContext);
    SServerContext* pServer;
};

// How a flow of the main thread ended.
enum EServerFlow
{
    FLOW_DONE,      // the server now runs (start, restart) or is stopped (stop, went down)
    FLOW_NOTHING,   // nothing to do: start while running, stop or restart while stopped
    FLOW_FAILED,    // the start failed: nLastError holds the error, the log has its line
    FLOW_ABANDONED, // PumpMessages reported that the program quits; the flow was left unfinished
};

// Engine steps of the shell's commands, run on the main thread.
EServerFlow StartServer();
EServerFlow StopServer();
EServerFlow RestartServer();
// Run on the main thread when the shell's SendServerDown is called: ends every session, logs
// "Server went down" and closes the log. FLOW_DONE or FLOW_ABANDONED.
EServerFlow OnServerWentDown();
// True while a listener runs (hStoppedEvent not signalled).
bool IsServerRunning();

// Listener thread entry (argument: the server context).
unsigned ListenThreadProc(void* pArg);
// Creates the listening socket and binds it to saListen; throws condition 1 or 10.
void BindServiceAddress(CServerListenThread& listener);
// Puts the bound socket into the listening state; throws condition 11.
void ListenForClients(CServerListenThread& listener);
// Accepts clients until Accept fails; ends only by throwing.
void AcceptLoop(CServerListenThread& listener);
