// ServerContext.h: the server context and the count of running engine threads, the bottom of the
// engine that every engine thread may read.
//
// The listener, the sessions and the relays all reach the server through g_server (its stop
// flag, its session log), and each engine thread counts itself here for as long as it runs. This
// header includes nothing else of the engine, so that the engine's files include each other one
// way: the server, the session, the relays, and this context at the bottom.
//
// Lifetime: engine threads are detached and nothing joins them. A thread may still be leaving its
// entry function after the stop flow returned, so a program that is about to exit waits for
// WaitEngineThreadsEnded, after which no engine thread touches any global object. The server
// context itself is never destroyed (g_server refers to an object that is deliberately left
// alive at exit), so a thread that outlives main never meets a destroyed context.
#pragma once

#include <cstdint>

#include "logging/LogFile.h"
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

// Every engine thread (listener, session, UDP relay) counts itself here from just before its
// start to the last statement of its entry function.
void EngineThreadStarting();
void EngineThreadEnded();
// Waits in 1 ms slices until no engine thread runs; false after nTimeoutMs (negative: no limit).
bool WaitEngineThreadsEnded(int nTimeoutMs);

// The monotonic clock of the engine's time bounds (the negotiation's, the password guard's):
// SysTicksMs unless a test has installed another (null restores it), so that a test can let a
// minute pass without waiting for it.
uint64_t EngineTicksMs();
void SetEngineClock(uint64_t (*pfnTicksMs)());
