// Session.h: the client session thread and the SOCKS4 and SOCKS5 negotiations.
//
// Every admitted client gets a session thread with its session record. The thread reads the
// version byte, negotiates, opens the destination side, answers the client and becomes a TCP
// tunnel (engine/TcpRelay.h) or watches a UDP association (engine/UdpRelay.h). Whatever ends the
// session arrives at the thread's one catch point as an error code (0: the orderly end), which
// closes the client socket, writes the Disconnect line unless the server is stopping, and removes
// the record.
#pragma once

#include "engine/SessionSockets.h"

// Session thread entry (argument: the session record). Returns 0.
unsigned SessionThreadProc(void* pArg);

// A tunnel that went quiet gives its thread back (engine/TcpRelay.h) and is watched; when either
// side has data again, this entry continues it on a session thread, and ends the session as
// SessionThreadProc does.
unsigned ResumedSessionProc(void* pArg);

// Runs pProc(pTask) on a session thread (Server.cpp); the session keeps its key. False when no
// thread could be started.
bool StartSessionThread(ThreadProc pProc, SCSTask* pTask);

// The negotiations after the version byte; they end by throwing, as the relays do.
void NegotiateSocks4(CClientSessionThread& client);
void NegotiateSocks5(CClientSessionThread& client);
