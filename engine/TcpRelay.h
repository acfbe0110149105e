// TcpRelay.h: the tunnel of a granted CONNECT request.
#pragma once

#include "engine/SessionSockets.h"

// Moves the bytes between the client and the destination, counting them in the TCP traffic
// counters, until either side closes or fails. Where the platform relays streams itself (Linux:
// splice, no copy through the program) it does; elsewhere blocks of up to 65535 bytes are copied,
// one block in one direction per pass. Never returns normally: ends by throwing the orderly end, 0.
void RelayTcp(CClientSessionThread& client, CDestinationTcpSocket& dest);

// Thrown by the relay where the platform watches quiet tunnels (Linux), once nothing has moved for
// TUNNEL_QUIET_MS: the tunnel stands, holds nothing, and its thread can go. ParkTunnel hands it to
// the watch, and ResumeTcpRelay goes on with it.
struct STunnelQuiet
{
};
const int TUNNEL_QUIET_MS = 1000;

// Hands a quiet tunnel to the platform's watch, which starts ResumedSessionProc on a session
// thread when either side has data, ends or is closed. The session keeps its record, its key and
// its place among the engine's threads meanwhile. False when there is no watch: the caller goes on
// relaying on its own thread.
bool ParkTunnel(SCSTask* pTask);

// The relay of a tunnel whose negotiation is done, from the record's handles, as RelayTcp goes on:
// throws the orderly end, an error, or STunnelQuiet (only with bMayGoQuiet).
void ResumeTcpRelay(CClientSessionThread& client, bool bMayGoQuiet);
