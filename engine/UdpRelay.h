// UdpRelay.h: the SOCKS5 UDP ASSOCIATE relay.
//
// An association has two threads: the session thread, which set it up and then watches the
// client's TCP connection (the association lives exactly as long as that connection stays open
// and silent), and a relay thread that moves datagrams between the client-side UDP socket and the
// destination-side UDP socket, adding and removing the SOCKS5 UDP request header.
#pragma once

#include <cstdint>

#include "engine/SessionSockets.h"
#include "net/BlockingSocket.h"
#include "platform/Platform.h"

// Shared by the session thread and the relay thread; lives on the session thread's stack for the
// life of the association. The relay thread writes saRelay before it sets hReadyEvent; the port
// of saUdpClient is the relay thread's alone; bStop and the two handles are written by the
// session thread while the relay thread may be blocked on them.
struct SUdpContext
{
    int32_t bStop;            // set to 1 when the association ends; stop flag of both UDP sockets
    SOCKET hClientUdpSocket;  // faces the client
    SOCKET hDestUdpSocket;    // faces the destinations
    sockaddr_in saRelay;      // the client connection's local address; after binding the relay's
    sockaddr_in saUdpClient;  // the client's address; its port is learned from its datagrams
    CManualEvent hReadyEvent; // set by the relay thread when both sockets are bound
    CManualEvent hDoneEvent;  // set by the relay thread when it ends
    // The destination-side socket's bound address (any address, its port), written by the relay
    // thread before it sets hReadyEvent. With saRelay it names the relay's own two sockets, which
    // must never be a datagram's destination or sender: one socket sending to the other would
    // start a loop that grows every datagram by a header on each pass.
    sockaddr_in saDestSide;
};

class CDestinationUdpSocket : public CTollgateSocket
{
public:
    explicit CDestinationUdpSocket(SUdpContext* pContext);
    SUdpContext* pUdp;
};

// The client-side UDP socket of the relay thread, with the destination side embedded.
class CUdpAssociateThread : public CTollgateSocket
{
public:
    explicit CUdpAssociateThread(SUdpContext* pContext);
    SUdpContext* pUdp;
    CDestinationUdpSocket dest;
};

// The UDP ASSOCIATE command on the session thread: sets up the association, answers the client
// and waits until its TCP connection becomes readable. Ends by throwing (0 when the client ended
// it); the relay thread has always ended by then.
void AssociateUdp(CClientSessionThread& client);

// Relay thread entry (argument: the UDP context). Returns 0.
unsigned UdpAssociateThreadProc(void* pArg);
// The relay loop; ends only by throwing.
void RelayUdp(CUdpAssociateThread& relay);
