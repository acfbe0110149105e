// SessionSockets.cpp: the session's socket classes and its replies.
#include "engine/SessionSockets.h"

CClientSessionThread::CClientSessionThread(SCSTask* pRecord)
    : CTollgateSocket(&pRecord->hClientSocket, &pRecord->bStop), pTask(pRecord)
{
}

CDestinationTcpSocket::CDestinationTcpSocket(SCSTask* pRecord)
    : CTollgateSocket(&pRecord->hDestSocket, &pRecord->bStop), pTask(pRecord)
{
}

void SendSocks4Reply(CClientSessionThread& client, unsigned char nStatus)
{
    unsigned char reply[8] = {SOCKS4_REPLY_VERSION, nStatus, 0, 0, 0, 0, 0, 0};
    client.SendAll(reply, sizeof(reply));
}

// The success reply goes out in three sends: the first four bytes, the address, the port.
void SendSocks5Success(CClientSessionThread& client, const sockaddr_in& saBound)
{
    static const unsigned char head[4] = {SOCKS_VERSION_5, SOCKS5_REP_SUCCEEDED, 0x00, SOCKS5_ATYP_IPV4};
    client.SendAll(head, sizeof(head));
    client.SendAll(&saBound.sin_addr, 4);
    client.SendAll(&saBound.sin_port, 2);
}

void SendSocks5Failure(CClientSessionThread& client, unsigned char nReplyCode)
{
    unsigned char reply[10] = {SOCKS_VERSION_5, nReplyCode, 0x00, SOCKS5_ATYP_IPV4, 0, 0, 0, 0, 0, 0};
    client.SendAll(reply, sizeof(reply));
    client.SetLinger(NEGATIVE_REPLY_LINGER);
}

// The replies are written in several small sends (two one-byte method sends, a success reply in
// three parts), and the client's first data follows them at once. With Nagle's algorithm every
// small send after the first waits for the peer's delayed acknowledgement, which stalls each
// handshake for tens of milliseconds. Disabling it sends each write as it comes, in order.
void SetNoDelay(CBlockingSocket& sock)
{
    int nOn = 1;
    sock.GetApi()->setsockopt(sock.GetHandle(), IPPROTO_TCP, TCP_NODELAY, (const char*)&nOn,
                              (int)sizeof(nOn));
}
