// SessionSockets.cpp: the session's socket classes and its replies.
#include "engine/SessionSockets.h"

#include <cstdio>
#include <cstring>

#include "engine/ServerContext.h"

CClientSessionThread::CClientSessionThread(SCSTask* pRecord)
    : CTollgateSocket(&pRecord->hClientSocket, &pRecord->bStop), pTask(pRecord), nAheadStart(0), nAheadEnd(0),
      nBoundEndMs(0)
{
}

void CClientSessionThread::BoundNegotiation(int nSeconds)
{
    nBoundEndMs = EngineTicksMs() + (uint64_t)nSeconds * 1000;
}

int CClientSessionThread::ReceiveWithinBound(void* pBuffer, int nLength)
{
    if (nBoundEndMs == 0)
        return Receive(pBuffer, nLength);
    uint64_t nNow = EngineTicksMs();
    if (nNow >= nBoundEndMs)
        throw MakeErrorCode(0, COND_SELECT_TIMEOUT);
    // The time-out counts whole seconds: what is left, rounded up.
    int32_t nTimeout = nReceiveTimeout;
    int32_t nLeft = (int32_t)((nBoundEndMs - nNow + 999) / 1000);
    if (nTimeout < 0 || nLeft < nTimeout)
        nReceiveTimeout = nLeft;
    int nReceived = Receive(pBuffer, nLength);
    nReceiveTimeout = nTimeout;
    return nReceived;
}

void CClientSessionThread::ReceiveAll(void* pBuffer, int nLength)
{
    char* p = (char*)pBuffer;
    while (nLength > 0)
    {
        int nAhead = ReadAheadLength();
        if (nAhead > 0)
        {
            int n = nAhead < nLength ? nAhead : nLength;
            memcpy(p, ReadAheadData(), (size_t)n);
            nAheadStart = (uint16_t)(nAheadStart + n);
            p += n;
            nLength -= n;
        }
        else if (nLength >= READ_AHEAD)
        {
            int n = ReceiveWithinBound(p, nLength); // a long field goes straight to its place
            p += n;
            nLength -= n;
        }
        else
        {
            nAheadStart = 0;
            nAheadEnd = (uint16_t)ReceiveWithinBound(readAhead, READ_AHEAD);
        }
    }
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

void SendSocks5Success(CClientSessionThread& client, const sockaddr_in& saBound)
{
    unsigned char reply[10] = {SOCKS_VERSION_5, SOCKS5_REP_SUCCEEDED, 0x00, SOCKS5_ATYP_IPV4};
    memcpy(&reply[4], &saBound.sin_addr, 4);
    memcpy(&reply[8], &saBound.sin_port, 2);
    client.SendAll(reply, sizeof(reply));
}

void SendSocks5Pair(CClientSessionThread& client, unsigned char nFirst, unsigned char nSecond)
{
    unsigned char reply[2] = {nFirst, nSecond};
    client.SendAll(reply, sizeof(reply));
}

void SendSocks5Failure(CClientSessionThread& client, unsigned char nReplyCode)
{
    unsigned char reply[10] = {SOCKS_VERSION_5, nReplyCode, 0x00, SOCKS5_ATYP_IPV4, 0, 0, 0, 0, 0, 0};
    client.SendAll(reply, sizeof(reply));
    client.SetLinger(NEGATIVE_REPLY_LINGER);
}

// Each reply is one small send, and a SOCKS5 client gets two or three of them before its first
// data follows. With Nagle's algorithm a small send that follows another unacknowledged one waits
// for the peer's delayed acknowledgement, which stalls each handshake for tens of milliseconds.
// Disabling it sends each write as it comes, in order.
void SetNoDelay(CBlockingSocket& sock)
{
    int nOn = 1;
    sock.GetApi()->setsockopt(sock.GetHandle(), IPPROTO_TCP, TCP_NODELAY, (const char*)&nOn,
                              (int)sizeof(nOn));
}

void LogSessionEvent(const SCSTask* pTask, const char* pszEvent, const char* pszDetail)
{
    char szVersion[16] = "-";
    if (pTask->nVersion != 0)
        snprintf(szVersion, sizeof(szVersion), "%d", (int)pTask->nVersion);
    CCArray strSource, strDest;
    EndpointText(pTask->saClient, strSource);
    EndpointText(pTask->saDest, strDest);
    g_server.logFile.LogEvent(szVersion, pTask->szUser[0] ? pTask->szUser : "-", strSource.GetString(),
                              strDest.GetString(), pszEvent, pszDetail);
}
