// SessionSockets.h: the two socket classes of a session and the replies a session sends (the
// wire constants are net/SocksWire.h).
//
// The negotiation (engine/Session.cpp) and both relays (engine/TcpRelay.cpp, engine/UdpRelay.cpp)
// share these; keeping them out of Session.h lets the relays depend on the session's sockets
// without depending on the negotiation that hands over to them.
#pragma once

#include <cstdint>

#include "engine/SessionTable.h"
#include "net/BlockingSocket.h"
#include "net/SocksWire.h"

// Seconds a closing socket waits for a negative reply to reach the client.
const unsigned short NEGATIVE_REPLY_LINGER = 15;

// Seconds the whole negotiation may take, from the version byte to the last byte of the request:
// each receive has its own time-out as well, but a client that sends a byte just before each
// time-out would otherwise hold its session (and a slot of the connection limit) for days.
const int NEGOTIATION_BOUND_SECONDS = 60;

// The client connection of a session: the record's client socket, stopped by its stop flag.
//
// The negotiation reads its small fields through a read-ahead block: a client sends each message
// (greeting, sub-negotiation, request) whole, so one receive takes a message that would otherwise
// take a receive per field. Bytes that arrive behind the request belong to the tunnel: the TCP
// relay sends them on first, and a UDP association takes them as the end of the control
// connection, as it would take them in the socket.
class CClientSessionThread : public CTollgateSocket
{
public:
    explicit CClientSessionThread(SCSTask* pTask);

    // As the base's ReceiveAll, through the read-ahead block (each receive with the time-out, and
    // within the negotiation's bound once one is set).
    void ReceiveAll(void* pBuffer, int nLength);
    // From now on every ReceiveAll ends by nSeconds from now: a receive waits at most for what is
    // left, and one that finds nothing left fails as a time-out (condition 3).
    void BoundNegotiation(int nSeconds);
    // The bytes read ahead and not yet taken.
    const char* ReadAheadData() const { return readAhead + nAheadStart; }
    int ReadAheadLength() const { return nAheadEnd - nAheadStart; }
    void DropReadAhead() { nAheadStart = nAheadEnd = 0; }

    SCSTask* pTask;

private:
    enum
    {
        READ_AHEAD = 64 // a greeting, a request by address or with a short name, a short login
    };
    // One receive of ReceiveAll, its wait cut to what is left of the bound.
    int ReceiveWithinBound(void* pBuffer, int nLength);

    char readAhead[READ_AHEAD];
    uint16_t nAheadStart;
    uint16_t nAheadEnd;
    uint64_t nBoundEndMs; // EngineTicksMs at which the negotiation's bound ends; 0: no bound
};

// The destination connection of a TCP session.
class CDestinationTcpSocket : public CTollgateSocket
{
public:
    explicit CDestinationTcpSocket(SCSTask* pTask);
    SCSTask* pTask;
};

// The 8-byte SOCKS4 reply; port and address are never filled in.
void SendSocks4Reply(CClientSessionThread& client, unsigned char nStatus);
// Every reply goes out in one send: a client that reads its reply with one receive must find all
// of it there, and with Nagle's algorithm off each send is a segment of its own.

// The 10-byte SOCKS5 success reply naming this IPv4 address and port.
void SendSocks5Success(CClientSessionThread& client, const sockaddr_in& saBound);
// A two-byte reply: the method selection (0x05, method) or the sub-negotiation's status (0x01,
// status).
void SendSocks5Pair(CClientSessionThread& client, unsigned char nFirst, unsigned char nSecond);
// Sends the 10-byte SOCKS5 failure reply with this reply code in one send, then makes the
// coming close wait for it to reach the client.
void SendSocks5Failure(CClientSessionThread& client, unsigned char nReplyCode);

// One line of the session log about the record: its version ("-" before the request names one),
// its user ("-" without one), its source and destination as EndpointText writes them, the event
// and its detail. Every session line is written here, so that they all read alike.
void LogSessionEvent(const SCSTask* pTask, const char* pszEvent, const char* pszDetail);

// Disables Nagle's algorithm on a session socket; see SessionSockets.cpp. Best effort.
void SetNoDelay(CBlockingSocket& sock);
