// Server.h: the server context, the listener thread and the engine's start, stop, restart and
// went-down steps.
//
// The server is one listening socket and one thread that accepts clients on it; each admitted
// client gets a session record in the session table and a session thread (engine/Session.h).
// The host program drives the server from its main thread through StartServer, StopServer,
// RestartServer and OnServerWentDown, and lends the engine its message pump through
// IServerShell (engine/ServerShell.h).
//
// Lifetime: engine threads are detached and nothing joins them. StopServer returns once the
// listener has signalled hStoppedEvent and the session table is empty; a thread may then still
// be leaving its entry function, so a program that is about to exit also waits for
// WaitEngineThreadsEnded, after which no engine thread touches any global object. The server
// context itself is never destroyed (g_server refers to an object that is deliberately left
// alive at exit), so a thread that outlives main never meets a destroyed context. A program that
// exits while the server still runs (the Windows shell's Exit command) must not run static
// destructors either: it ends the process at once.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/ServerShell.h"
#include "logging/LogFile.h"
#include "net/BlockingSocket.h"
#include "platform/Platform.h"
#include "platform/Sockets.h"

struct SServerContext
{
    // Both events created signalled: a program that has not started the server sees it stopped.
    SServerContext();

    int32_t bStop;              // nonzero while the server is being stopped; the listener's stop flag
    SOCKET hListenSocket;       // the listening socket; INVALID_SOCKET when none
    CManualEvent hStartedEvent; // set by the listener once it is bound and about to accept
    CManualEvent hStoppedEvent; // set by the listener when it has ended: the server is not running
    CLogFile logFile;           // the session log of the current run
    int64_t tStarted;           // seconds since 1970 at which the server last started; 0 while stopped
    uint32_t nLastError;        // the error code with which the listener ended
    // The service address captured by StartServer; the listener binds it and writes back the
    // address and port actually bound before it sets hStartedEvent (port 0 asks for a free port).
    sockaddr_in saListen;

private:
    SServerContext(const SServerContext&) = delete;
    SServerContext& operator=(const SServerContext&) = delete;
};

extern SServerContext& g_server;

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

// Every engine thread (listener, session, UDP relay) counts itself here from just before its
// start to the last statement of its entry function.
void EngineThreadStarting();
void EngineThreadEnded();
// Waits in 1 ms slices until no engine thread runs; false after nTimeoutMs (negative: no limit).
bool WaitEngineThreadsEnded(int nTimeoutMs);
