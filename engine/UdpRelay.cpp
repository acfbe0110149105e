// UdpRelay.cpp: the UDP association's set-up and watch on the session thread, and its relay
// thread.
#include "engine/UdpRelay.h"

#include <cstring>
#include <memory>
#include <new>

#include "engine/ServerContext.h"
#include "engine/SessionTable.h"
#include "net/ErrorCode.h"
#include "net/SocketApi.h"
#include "platform/Sockets.h"

namespace
{
const int UDP_BUFFER = 65535;
const int UDP_HEADER_IPV4 = 10; // reserved (2), fragment (1), address type (1), address (4), port (2)

// Windows reports an ICMP port-unreachable for an earlier sendto as WSAECONNRESET on the next
// recvfrom of the same socket; the socket itself is unharmed. Like a datagram too large for the
// buffer (WSAEMSGSIZE), it costs one datagram and not the association.
bool IsDatagramOnlyError(uint32_t nError)
{
    return ErrorWsa(nError) == WSAEMSGSIZE || ErrorWsa(nError) == WSAECONNRESET;
}

// True when the address is this host's for certain: "any" (which a destination reads as this
// host), a loopback address, or the address of the interface the relay's client side is bound to.
// Any other address is this host's when a datagram socket can be bound to it; that probe runs only
// for an address whose port is the relay's own, which a foreign host rarely uses.
bool IsThisHost(CBlockingSocket& sock, const SUdpContext* pUdp, const in_addr& addr)
{
    uint32_t dwHost = ntohl(addr.s_addr);
    if (dwHost == 0 || (dwHost >> 24) == 127 || addr.s_addr == pUdp->saRelay.sin_addr.s_addr)
        return true;
    const SSocketApi* pApi = sock.GetApi();
    SOCKET hProbe = pApi->socket(AF_INET, SOCK_DGRAM, 0);
    if (hProbe == INVALID_SOCKET)
        return true; // cannot tell: taken as this host's, so the datagram is dropped
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr = addr;
    bool bLocal = pApi->bind(hProbe, (const sockaddr*)&sa, (int)sizeof(sa)) == 0;
    pApi->closesocket(hProbe);
    return bLocal;
}

// One of the association's own sockets: the client side, bound to saRelay alone, or the
// destination side, bound to every local address at its port.
bool IsRelaySocket(CBlockingSocket& sock, const SUdpContext* pUdp, const sockaddr_in& sa)
{
    if (sa.sin_port == pUdp->saRelay.sin_port && sa.sin_addr.s_addr == pUdp->saRelay.sin_addr.s_addr)
        return true;
    return sa.sin_port == pUdp->saDestSide.sin_port && IsThisHost(sock, pUdp, sa.sin_addr);
}

// After select reports a socket readable, the relay takes up to this many datagrams from it
// before it looks at the other socket again: with several datagrams queued, each costs its
// receive and its send, not a wait as well.
const int UDP_BATCH = 16;

// The next datagram of the socket. The first of a batch is received with the socket's time-out
// (select has just reported it readable); the others are taken only if they are already there:
// false when there is none.
bool ReceiveDatagram(CTollgateSocket& sock, bool bFirst, char* pBuffer, int nLength, sockaddr_in* pFrom,
                     int* pnReceived)
{
    if (!bFirst)
        return sock.TryReceiveFrom(pBuffer, nLength, pFrom, pnReceived);
    *pnReceived = sock.ReceiveFrom(pBuffer, nLength, pFrom);
    return true;
}

// A datagram from the client: checked, stripped of its header and sent on to its destination.
// Every reason to drop it returns quietly. False when no datagram was there (bFirst: never).
bool RelayFromClient(CUdpAssociateThread& relay, bool bFirst, char* pBuffer, char* pszName)
{
    SUdpContext* pUdp = relay.pUdp;
    sockaddr_in saFrom;
    int nLength;
    try
    {
        if (!ReceiveDatagram(relay, bFirst, pBuffer, UDP_BUFFER, &saFrom, &nLength))
            return false;
    }
    catch (uint32_t nError)
    {
        if (IsDatagramOnlyError(nError))
            return true;
        throw;
    }
    AddTraffic(g_traffic.nUdpClient, (uint64_t)nLength);

    // Only the client may use the relay: its host, and once its first datagram has been relayed,
    // its port too (any other process on its host could take its replies over otherwise). The
    // relay's own destination side is never the client, wherever the client is.
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(pBuffer);
    if (saFrom.sin_addr.s_addr != pUdp->saUdpClient.sin_addr.s_addr || nLength < 8 || pb[2] != 0)
        return true;
    if (pUdp->saUdpClient.sin_port != 0 && saFrom.sin_port != pUdp->saUdpClient.sin_port)
        return true;
    if (IsRelaySocket(relay, pUdp, saFrom))
        return true;

    sockaddr_in saTo;
    memset(&saTo, 0, sizeof(saTo));
    saTo.sin_family = AF_INET;
    int nHeader;
    if (pb[3] == SOCKS5_ATYP_IPV4)
    {
        if (nLength < UDP_HEADER_IPV4)
            return true;
        memcpy(&saTo.sin_addr, &pb[4], 4);
        memcpy(&saTo.sin_port, &pb[8], 2);
        nHeader = UDP_HEADER_IPV4;
    }
    else if (pb[3] == SOCKS5_ATYP_NAME)
    {
        int nNameLength = pb[4];
        if (nNameLength == 0 || nNameLength > nLength - 7)
            return true;
        if (memchr(&pb[5], 0, (size_t)nNameLength) != nullptr)
            return true; // a zero byte would cut the name short: it names nothing
        memcpy(pszName, &pb[5], (size_t)nNameLength);
        pszName[nNameLength] = 0;
        memcpy(&saTo.sin_port, &pb[5 + nNameLength], 2);
        try
        {
            relay.dest.ResolveAddress(pszName, &saTo.sin_addr);
        }
        catch (uint32_t)
        {
            return true; // an unresolvable name drops its datagram only
        }
        nHeader = nNameLength + 7;
    }
    else
        return true;
    if (IsRelaySocket(relay, pUdp, saTo))
        return true; // the relay's own socket as a destination: the start of a loop

    try
    {
        int nSent = relay.dest.SendTo(pBuffer + nHeader, nLength - nHeader, saTo);
        AddTraffic(g_traffic.nUdpDest, (uint64_t)nSent);
    }
    catch (uint32_t)
    {
        return true; // a datagram that cannot be sent on is dropped
    }
    // The client's port is learned from its first relayed datagram and kept from then on.
    pUdp->saUdpClient.sin_port = saFrom.sin_port;
    return true;
}

// A datagram from any destination: received behind room for the header, given the header of
// its sender, and sent to the client once the client's port is known. False when no datagram was
// there (bFirst: never).
bool RelayToClient(CUdpAssociateThread& relay, bool bFirst, char* pBuffer)
{
    SUdpContext* pUdp = relay.pUdp;
    sockaddr_in saFrom;
    int nLength;
    try
    {
        if (!ReceiveDatagram(relay.dest, bFirst, pBuffer + UDP_HEADER_IPV4, UDP_BUFFER - UDP_HEADER_IPV4,
                             &saFrom, &nLength))
            return false;
    }
    catch (uint32_t nError)
    {
        if (IsDatagramOnlyError(nError))
            return true;
        throw;
    }
    AddTraffic(g_traffic.nUdpDest, (uint64_t)nLength);
    if (pUdp->saUdpClient.sin_port == 0)
        return true; // the client has not sent anything yet: there is nobody to send it to
    if (IsRelaySocket(relay, pUdp, saFrom))
        return true; // from the relay itself: passing it on would feed a loop

    pBuffer[0] = 0;
    pBuffer[1] = 0;
    pBuffer[2] = 0;
    pBuffer[3] = SOCKS5_ATYP_IPV4;
    memcpy(&pBuffer[4], &saFrom.sin_addr, 4);
    memcpy(&pBuffer[8], &saFrom.sin_port, 2);
    try
    {
        int nSent = relay.SendTo(pBuffer, nLength + UDP_HEADER_IPV4, pUdp->saUdpClient);
        AddTraffic(g_traffic.nUdpClient, (uint64_t)nSent);
    }
    catch (uint32_t)
    {
        return true; // a datagram the client cannot take is dropped
    }
    return true;
}

// Closing both UDP sockets ends the relay thread wherever it blocks; it must be gone before the
// context on the session thread's stack is.
void EndAssociation(SUdpContext& udp)
{
    SysRaiseFlag(&udp.bStop);
    CloseSocketAt(&udp.hClientUdpSocket, GetDefaultSocketApi()->closesocket);
    CloseSocketAt(&udp.hDestUdpSocket, GetDefaultSocketApi()->closesocket);
    udp.hDoneEvent.Wait(-1);
    udp.hReadyEvent.Close();
    udp.hDoneEvent.Close();
}
} // namespace

CDestinationUdpSocket::CDestinationUdpSocket(SUdpContext* pContext)
    : CTollgateSocket(&pContext->hDestUdpSocket, &pContext->bStop), pUdp(pContext)
{
}

CUdpAssociateThread::CUdpAssociateThread(SUdpContext* pContext)
    : CTollgateSocket(&pContext->hClientUdpSocket, &pContext->bStop), pUdp(pContext), dest(pContext)
{
}

void AssociateUdp(CClientSessionThread& client)
{
    SCSTask* pTask = client.pTask;
    memset(&pTask->saDest, 0xFF, sizeof(pTask->saDest)); // shown as "(UDP ASSOCIATE)"

    SUdpContext udp;
    udp.bStop = 0;
    udp.hClientUdpSocket = INVALID_SOCKET;
    udp.hDestUdpSocket = INVALID_SOCKET;
    memset(&udp.saDestSide, 0, sizeof(udp.saDestSide));
    client.GetPeerName(&udp.saUdpClient);
    udp.saUdpClient.sin_port = 0;
    client.GetSockName(&udp.saRelay);
    udp.saRelay.sin_port = 0;

    bool bReady = false;
    if (udp.hReadyEvent.Create(false) && udp.hDoneEvent.Create(false))
    {
        EngineThreadStarting();
        bool bStarted;
        try
        {
            bStarted = SysStartThread(UdpAssociateThreadProc, &udp, SysScaledStack(64 * 1024), nullptr);
        }
        catch (const std::bad_alloc&)
        {
            // The thread never started: nothing runs on the context.
            EngineThreadEnded();
            udp.hReadyEvent.Close();
            udp.hDoneEvent.Close();
            throw;
        }
        CheckThreadCreated(bStarted);
        // When both are set, the relay was ready before it ended: the association stands, and
        // relays nothing.
        bReady = SysWaitEither(udp.hReadyEvent, udp.hDoneEvent, -1) == 0;
    }
    if (!bReady)
    {
        // The relay thread has already ended (or never started).
        udp.hReadyEvent.Close();
        udp.hDoneEvent.Close();
        SendSocks5Failure(client, SOCKS5_REP_SERVER_FAILURE);
        throw MakeErrorCode(0, COND_SERVER);
    }

    try
    {
        SendSocks5Success(client, udp.saRelay); // the relay's own address and port
        pTask->nState = SESSION_UDP_READY;
        if (g_server.logFile.IsOpen())
            LogSessionEvent(pTask, "UDP relay ready", "-"); // the destination reads "(UDP ASSOCIATE)"
        // The association lives while the TCP connection stays open and silent: a byte, the
        // client's close or a reset all make it readable and end the association.
        // Bytes the client sent behind its request count as that byte.
        client.SetReceiveTimeout(-1);
        if (client.ReadAheadLength() == 0)
            client.WaitReady(true);
        throw MakeErrorCode(0, 0);
    }
    catch (...)
    {
        EndAssociation(udp);
        throw;
    }
}

unsigned UdpAssociateThreadProc(void* pArg)
{
    SUdpContext* pUdp = static_cast<SUdpContext*>(pArg);
    CUdpAssociateThread relay(pUdp);
    try
    {
        relay.Create(SOCK_DGRAM);
        relay.Bind(pUdp->saRelay); // writes back the relay's address and fresh port
        relay.dest.Create(SOCK_DGRAM);
        sockaddr_in saAny;
        memset(&saAny, 0, sizeof(saAny));
        saAny.sin_family = AF_INET;
        relay.dest.Bind(saAny); // writes back the fresh port
        pUdp->saDestSide = saAny;
        pUdp->saUdpClient.sin_port = 0;
        pUdp->hReadyEvent.Set();
        RelayUdp(relay);
    }
    catch (uint32_t)
    {
        // Set-up failures and the relay's end alike: the session learns of it through hDoneEvent.
    }
    catch (const std::bad_alloc&)
    {
        // A lookup without memory ends the relay; the session learns of it the same way.
    }
    relay.Close();
    relay.dest.Close();
    pUdp->hDoneEvent.Set(); // the context is not touched after this
    EngineThreadEnded();
    return 0;
}

void RelayUdp(CUdpAssociateThread& relay)
{
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[UDP_BUFFER]);
    std::unique_ptr<char[]> name(new (std::nothrow) char[256]);
    if (!buffer || !name)
        throw MakeErrorCode(0, COND_SERVER);
    char* pBuffer = buffer.get();
    char* pszName = name.get();
    for (;;)
    {
        SOCKET hClient = relay.GetHandle();
        SOCKET hDest = relay.dest.GetHandle();
        SOCKSET readSet;
        SockSetClear(&readSet);
        SockSetAdd(&readSet, hClient);
        SockSetAdd(&readSet, hDest);
        int nReady = relay.GetApi()->select(0, &readSet, nullptr, nullptr, nullptr);
        if (nReady == 0)
            throw MakeErrorCode(SysGetSocketError(), COND_SELECT_TIMEOUT);
        if (nReady == SOCKET_ERROR)
            throw MakeErrorCode(SysGetSocketError(), COND_SELECT);
        if (SockSetHas(&readSet, hClient))
        {
            for (int i = 0; i < UDP_BATCH && RelayFromClient(relay, i == 0, pBuffer, pszName); i++)
            {
            }
        }
        if (SockSetHas(&readSet, hDest))
        {
            for (int i = 0; i < UDP_BATCH && RelayToClient(relay, i == 0, pBuffer); i++)
            {
            }
        }
    }
}
