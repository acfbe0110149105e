// TcpRelay.h: the tunnel of a granted CONNECT request.
#pragma once

#include "engine/SessionSockets.h"

// Moves the bytes between the client and the destination, counting them in the TCP traffic
// counters, until either side closes or fails. Where the platform relays streams itself (Linux:
// splice, no copy through the program) it does; elsewhere blocks of up to 65535 bytes are copied,
// one block in one direction per pass. Never returns normally: ends by throwing the orderly end, 0.
void RelayTcp(CClientSessionThread& client, CDestinationTcpSocket& dest);
