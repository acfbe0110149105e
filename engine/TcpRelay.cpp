// TcpRelay.cpp: the tunnel between a client and its destination.
#include "engine/TcpRelay.h"

#include <climits>
#include <cstdio>
#include <new>

#include "engine/ServerContext.h"
#include "engine/Session.h"
#include "engine/SessionTable.h"
#include "net/ErrorCode.h"
#include "net/SocketApi.h"
#include "platform/Sockets.h"

namespace
{
const int RELAY_BLOCK = 65535;
// A tunnel starts with a small block and takes the full one when a receive fills the small one:
// an idle or chatty tunnel (and there may be thousands) then holds a fraction of a page of the
// heap, and a busy one moves 64 KB per pass after its first block.
const int RELAY_SMALL_BLOCK = 2048;

// The relay's block: small until a receive fills it, then the full size. The small block lives
// in the relay's own frame: the negotiation has already touched that part of the thread's stack,
// so a tunnel that moves a little data now and then holds no heap block at all.
class CRelayBuffer
{
public:
    CRelayBuffer() : pBuffer(small), nSize(RELAY_SMALL_BLOCK) {}
    ~CRelayBuffer()
    {
        if (pBuffer != small)
            delete[] pBuffer;
    }

    // Called after each block with its length. A full small block means more is coming: the
    // buffer grows (it holds no data between blocks). Without memory for that it stays small.
    void Moved(int nLength)
    {
        if (nSize != RELAY_SMALL_BLOCK || nLength < RELAY_SMALL_BLOCK)
            return;
        char* pLarge = new (std::nothrow) char[RELAY_BLOCK];
        if (pLarge == nullptr)
            return;
        pBuffer = pLarge;
        nSize = RELAY_BLOCK;
    }

    char* pBuffer;
    int nSize;

private:
    CRelayBuffer(const CRelayBuffer&) = delete;
    CRelayBuffer& operator=(const CRelayBuffer&) = delete;
    char small[RELAY_SMALL_BLOCK];
};

// Sends the whole block, each part as it takes, counting each part as soon as it went out: a
// send that fails later does not make the earlier parts uncounted.
void SendCounted(CTollgateSocket& to, const char* pData, int nLength, std::atomic<uint64_t>& nToCounter)
{
    for (int nDone = 0; nDone < nLength;)
    {
        int nSent = to.Send(pData + nDone, nLength - nDone);
        AddTraffic(nToCounter, (uint64_t)nSent);
        nDone += nSent;
    }
}

// Moves one block from one side to the other: one Receive, then sends until the whole block has
// gone (each send takes what the socket takes, and waits for room with the send time-out). Both
// sides count what they moved.
void PassBlock(CTollgateSocket& from, std::atomic<uint64_t>& nFromCounter, CTollgateSocket& to,
               std::atomic<uint64_t>& nToCounter, CRelayBuffer& buffer)
{
    int nReceived = from.Receive(buffer.pBuffer, buffer.nSize);
    AddTraffic(nFromCounter, (uint64_t)nReceived);
    SendCounted(to, buffer.pBuffer, nReceived, nToCounter);
    buffer.Moved(nReceived);
}

// The portable relay: one block in one direction per pass, waiting in select between passes.
// On its own frame, so that a tunnel the platform relays holds none of its buffer.
__attribute__((noinline)) void CopyBlocks(CClientSessionThread& client, CDestinationTcpSocket& dest)
{
    // One buffer for both directions: a tunnel that moves only small blocks costs its thread's
    // stack and nothing of the heap.
    CRelayBuffer buffer;
    for (;;)
    {
        // Both handles are read afresh each pass: the stop path may have closed either.
        SOCKET hClient = client.GetHandle();
        SOCKET hDest = dest.GetHandle();
        SOCKSET readSet;
        SockSetClear(&readSet);
        SockSetAdd(&readSet, hClient);
        SockSetAdd(&readSet, hDest);
        int nReady = client.GetApi()->select(0, &readSet, nullptr, nullptr, nullptr);
        if (nReady == 0)
            throw MakeErrorCode(SysGetSocketError(), COND_SELECT_TIMEOUT);
        if (nReady == SOCKET_ERROR)
            throw MakeErrorCode(SysGetSocketError(), COND_SELECT);
        // The client goes first when both sides have data, and the destination's block
        // follows in the same pass: deciding again after a fresh select would let a client
        // that always has data starve the other direction for as long as it keeps sending.
        if (SockSetHas(&readSet, hClient))
            PassBlock(client, g_traffic.nTcpClient, dest, g_traffic.nTcpDest, buffer);
        if (SockSetHas(&readSet, hDest))
            PassBlock(dest, g_traffic.nTcpDest, client, g_traffic.nTcpClient, buffer);
    }
}

int SendTimeoutMs(const CTollgateSocket& sock)
{
    int nSeconds = sock.GetSendTimeout();
    if (nSeconds < 0)
        return -1;
    return nSeconds > INT_MAX / 1000 ? INT_MAX : nSeconds * 1000;
}

// The platform's own relay (splice on Linux) where both sockets use the system's calls; false
// where it has none, or where a socket goes through a table of its own (a test's scripted one).
// Throws STunnelQuiet when the relay went quiet and bMayGoQuiet.
bool RelayOnPlatform(CClientSessionThread& client, CDestinationTcpSocket& dest, bool bMayGoQuiet)
{
    const SSocketApi* pSystem = GetSystemSocketApi();
    if (client.GetApi() != pSystem || dest.GetApi() != pSystem)
        return false;
    SRelaySide clientSide = {client.GetHandle(), SendTimeoutMs(client), &g_traffic.nTcpClient};
    SRelaySide destSide = {dest.GetHandle(), SendTimeoutMs(dest), &g_traffic.nTcpDest};
    ERelayEnd eEnd = SysRelayStreams(clientSide, destSide, bMayGoQuiet ? TUNNEL_QUIET_MS : -1);
    if (eEnd == RELAY_QUIET)
        throw STunnelQuiet();
    return eEnd == RELAY_ENDED;
}

void ReadyToPark(void* pArg)
{
    CheckThreadCreated(StartSessionThread(ResumedSessionProc, static_cast<SCSTask*>(pArg)));
}
} // namespace

void RelayTcp(CClientSessionThread& client, CDestinationTcpSocket& dest)
{
    SCSTask* pTask = client.pTask;
    pTask->nState = SESSION_TCP_READY;
    if (g_server.logFile.IsOpen())
        LogSessionEvent(pTask, "TCP tunnel ready", "-");

    try
    {
        // What the client sent behind its request was read with it: it goes first.
        int nAhead = client.ReadAheadLength();
        if (nAhead > 0)
        {
            AddTraffic(g_traffic.nTcpClient, (uint64_t)nAhead);
            SendCounted(dest, client.ReadAheadData(), nAhead, g_traffic.nTcpDest);
            client.DropReadAhead();
        }
        if (!RelayOnPlatform(client, dest, true))
            CopyBlocks(client, dest);
    }
    catch (uint32_t)
    {
        // Whatever ended it (a close, a reset, a time-out, the server's stop) is its orderly end.
    }
    throw MakeErrorCode(0, 0);
}

void ResumeTcpRelay(CClientSessionThread& client, bool bMayGoQuiet)
{
    CDestinationTcpSocket dest(client.pTask);
    try
    {
        RelayOnPlatform(client, dest, bMayGoQuiet);
    }
    catch (uint32_t)
    {
    }
    dest.Close();
    throw MakeErrorCode(0, 0);
}

bool ParkTunnel(SCSTask* pTask)
{
    return SysWatchStreams(SysLoadSocket(&pTask->hClientSocket), SysLoadSocket(&pTask->hDestSocket), ReadyToPark,
                           pTask);
}
