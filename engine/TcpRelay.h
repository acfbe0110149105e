// TcpRelay.h: the tunnel of a granted CONNECT request.
#pragma once

#include "engine/SessionSockets.h"

// Copies blocks of up to 65535 bytes between the client and the destination, one block in one
// direction per pass, counting them in the TCP traffic counters, until either side closes or
// fails. Never returns normally: ends by throwing the orderly end, 0.
void RelayTcp(CClientSessionThread& client, CDestinationTcpSocket& dest);
