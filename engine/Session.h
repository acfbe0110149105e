// Session.h: the client session thread and the SOCKS4 and SOCKS5 negotiations.
//
// Every admitted client gets a session thread with its session record. The thread reads the
// version byte, negotiates, opens the destination side, answers the client and becomes a TCP
// tunnel (engine/TcpRelay.h) or watches a UDP association (engine/UdpRelay.h). Whatever ends the
// session arrives at the thread's one catch point as an error code (0: the orderly end), which
// closes the client socket, writes the Disconnect line unless the server is stopping, and removes
// the record.
#pragma once

#include <cstdint>

#include "engine/SessionTable.h"
#include "net/BlockingSocket.h"

// Seconds a closing socket waits for a negative reply to reach the client.
const unsigned short NEGATIVE_REPLY_LINGER = 15;

// The client connection of a session: the record's client socket, stopped by its stop flag.
class CClientSessionThread : public CTollgateSocket
{
public:
    explicit CClientSessionThread(SCSTask* pTask);
    SCSTask* pTask;
};

// The destination connection of a TCP session.
class CDestinationTcpSocket : public CTollgateSocket
{
public:
    explicit CDestinationTcpSocket(SCSTask* pTask);
    SCSTask* pTask;
};

// Session thread entry (argument: the session record). Returns 0.
unsigned SessionThreadProc(void* pArg);

// The negotiations after the version byte; they end by throwing, as the relays do.
void NegotiateSocks4(CClientSessionThread& client);
void NegotiateSocks5(CClientSessionThread& client);

// Sends the 10-byte SOCKS5 failure reply with this reply code in one send, then makes the
// coming close wait for it to reach the client.
void SendSocks5Failure(CClientSessionThread& client, unsigned char nReplyCode);

// Disables Nagle's algorithm on a session socket; see Session.cpp. Best effort.
void SetNoDelay(CBlockingSocket& sock);
