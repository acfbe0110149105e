// BlockingSocket.cpp: the operations shared by both socket variants, and the free helpers.
#include "net/BlockingSocket.h"

#include <cstring>

#include "platform/Message.h"

namespace
{

const int SOCKADDR_IN_LENGTH = 16;

} // namespace

CBlockingSocket::CBlockingSocket(volatile SOCKET* pHandleAt, const SSocketApi* pTable, int nReceiveSeconds,
                                 int nSendSeconds)
    : pHandle(pHandleAt), pApi(pTable ? pTable : GetDefaultSocketApi()), nReceiveTimeout(nReceiveSeconds),
      nSendTimeout(nSendSeconds)
{
}

void CBlockingSocket::Fail(int nCondition) const
{
    throw MakeErrorCode(SysGetSocketError(), nCondition);
}

void CBlockingSocket::Create(int nType)
{
    if (GetHandle() != INVALID_SOCKET)
        return;
    SOCKET s = pApi->socket(AF_INET, nType, 0);
    if (s == INVALID_SOCKET)
        Fail(COND_CREATE_SOCKET);
    SysExchangeSocket(pHandle, s);
}

void CBlockingSocket::Connect(const sockaddr_in& saAddr)
{
    if (pApi->connect(GetHandle(), (const sockaddr*)&saAddr, SOCKADDR_IN_LENGTH) == SOCKET_ERROR)
        Fail(COND_CONNECT);
}

int CBlockingSocket::WaitReady(bool bRead)
{
    SOCKSET set;
    SockSetClear(&set);
    SockSetAdd(&set, GetHandle());
    int nTimeout = bRead ? nReceiveTimeout : nSendTimeout;
    timeval tv;
    tv.tv_sec = nTimeout;
    tv.tv_usec = 0;
    // Windows Sockets leaves the last error as it was when a call succeeds: a time-out, or a
    // receive that finds the connection closed, would otherwise report an error of an earlier
    // call on this thread (a reused session thread: of another client's session).
    SysSetSocketError(0);
    int nResult = pApi->select(0, bRead ? &set : nullptr, bRead ? nullptr : &set, nullptr,
                               nTimeout < 0 ? nullptr : &tv);
    if (nResult == 0)
        Fail(COND_SELECT_TIMEOUT);
    if (nResult == SOCKET_ERROR)
        Fail(COND_SELECT);
    return nResult;
}

// Every receive and send is tried first without waiting, and waits for readiness (with its
// time-out) only when the call would block: data that is already there, or room that is already
// free, costs one call. The thread's socket error is cleared before the try as before each wait,
// so that a receive that finds the connection closed reports no earlier call's error.

// Sends what the socket takes now, waiting (with the send time-out) only until it takes
// something: a peer that stops reading ends the connection after the time-out instead of holding
// the thread in a send for ever.
int CBlockingSocket::Send(const void* pData, int nLength)
{
    for (;;)
    {
        SysSetSocketError(0);
        int nSent = pApi->send(GetHandle(), (const char*)pData, nLength, SEND_NO_WAIT);
        if (nSent == 0)
            Fail(COND_SEND_0);
        if (nSent != SOCKET_ERROR)
            return nSent;
        if (SysGetSocketError() != WSAEWOULDBLOCK)
            Fail(COND_SEND);
        WaitReady(false);
    }
}

int CBlockingSocket::Receive(void* pBuffer, int nLength)
{
    for (;;)
    {
        SysSetSocketError(0);
        int nReceived = pApi->recv(GetHandle(), (char*)pBuffer, nLength, RECV_NO_WAIT);
        if (nReceived == 0)
            Fail(COND_CONNECTION_CLOSED);
        if (nReceived != SOCKET_ERROR)
            return nReceived;
        if (SysGetSocketError() != WSAEWOULDBLOCK)
            Fail(COND_RECEIVE);
        WaitReady(true);
    }
}

int CBlockingSocket::SendTo(const void* pData, int nLength, const sockaddr_in& saTo)
{
    for (;;)
    {
        SysSetSocketError(0);
        int nSent = pApi->sendto(GetHandle(), (const char*)pData, nLength, SEND_NO_WAIT, (const sockaddr*)&saTo,
                                 SOCKADDR_IN_LENGTH);
        if (nSent != SOCKET_ERROR)
            return nSent;
        if (SysGetSocketError() != WSAEWOULDBLOCK)
            Fail(COND_SEND);
        WaitReady(false);
    }
}

int CBlockingSocket::ReceiveFrom(void* pBuffer, int nLength, sockaddr_in* pFrom)
{
    int nReceived;
    while (!TryReceiveFrom(pBuffer, nLength, pFrom, &nReceived))
        WaitReady(true);
    return nReceived;
}

bool CBlockingSocket::TryReceiveFrom(void* pBuffer, int nLength, sockaddr_in* pFrom, int* pnReceived)
{
    SysSetSocketError(0);
    int nFromLength = SOCKADDR_IN_LENGTH;
    int nReceived = pApi->recvfrom(GetHandle(), (char*)pBuffer, nLength, RECV_NO_WAIT, (sockaddr*)pFrom,
                                   pFrom ? &nFromLength : nullptr);
    if (nReceived != SOCKET_ERROR)
    {
        *pnReceived = nReceived;
        return true;
    }
    if (SysGetSocketError() != WSAEWOULDBLOCK)
        Fail(COND_RECEIVE);
    return false;
}

// Each inner call waits with its own time-out: a transfer that keeps trickling never times out as
// a whole, a silence longer than the time-out does.
void CBlockingSocket::SendAll(const void* pData, int nLength)
{
    const char* p = (const char*)pData;
    if (nLength < 0)
        nLength = (int)strlen(p);
    int nDone = 0;
    while (nDone < nLength)
        nDone += Send(p + nDone, nLength - nDone);
}

void CBlockingSocket::ReceiveAll(void* pBuffer, int nLength)
{
    char* p = (char*)pBuffer;
    int nDone = 0;
    while (nDone < nLength)
        nDone += Receive(p + nDone, nLength - nDone);
}

void CBlockingSocket::ResolveAddress(const char* pszHost, in_addr* pAddr)
{
    uint32_t nAddr = inet_addr(pszHost);
    if (nAddr != INADDR_NONE)
    {
        pAddr->s_addr = nAddr;
        return;
    }
    if (!ResolveName(pAddr, pszHost))
        Fail(COND_RESOLVE);
}

unsigned short CBlockingSocket::Bind(sockaddr_in& saAddr)
{
    if (pApi->bind(GetHandle(), (const sockaddr*)&saAddr, SOCKADDR_IN_LENGTH) == SOCKET_ERROR)
        Fail(COND_BIND);
    GetSockName(&saAddr);
    return ntohs(saAddr.sin_port);
}

void CBlockingSocket::Listen(int nBacklog)
{
    if (pApi->listen(GetHandle(), nBacklog) == SOCKET_ERROR)
        Fail(COND_LISTEN);
}

SOCKET CBlockingSocket::Accept(sockaddr_in* pPeer)
{
    int nLength = SOCKADDR_IN_LENGTH;
    SOCKET s = pApi->accept(GetHandle(), (sockaddr*)pPeer, pPeer ? &nLength : nullptr);
    if (s == INVALID_SOCKET)
        Fail(COND_ACCEPT);
    return s;
}

void CBlockingSocket::GetSockName(sockaddr_in* pAddr)
{
    int nLength = SOCKADDR_IN_LENGTH;
    if (pApi->getsockname(GetHandle(), (sockaddr*)pAddr, &nLength) == SOCKET_ERROR)
        Fail(COND_GET_SOCK_NAME);
}

void CBlockingSocket::GetPeerName(sockaddr_in* pAddr)
{
    int nLength = SOCKADDR_IN_LENGTH;
    if (pApi->getpeername(GetHandle(), (sockaddr*)pAddr, &nLength) == SOCKET_ERROR)
        Fail(COND_GET_PEER_NAME);
}

// The Windows Sockets linger record: two 16-bit fields, 4 bytes.
void CBlockingSocket::SetLinger(unsigned short nSeconds)
{
    uint16_t linger[2] = {1, nSeconds};
    if (pApi->setsockopt(GetHandle(), SOL_SOCKET, SO_LINGER, (const char*)linger, sizeof(linger)) ==
        SOCKET_ERROR)
        Fail(COND_LINGER);
}

bool CBlockingSocket::SetOption(int nLevel, int nName, const void* pValue, int nLength)
{
    return pApi->setsockopt(GetHandle(), nLevel, nName, (const char*)pValue, nLength) != SOCKET_ERROR;
}

void CBlockingSocket::ConnectTo(sockaddr_in& saAddr, const char* pszHost, unsigned short nPort)
{
    in_addr addr;
    ResolveAddress(pszHost, &addr);
    memset(&saAddr, 0, sizeof(saAddr));
    saAddr.sin_family = AF_INET;
    saAddr.sin_port = htons(nPort);
    saAddr.sin_addr = addr;
    Connect(saAddr);
}

int CBlockingSocket::ReceiveLine(CCArray& strLine, int* pnRawLength)
{
    strLine.SetSize(0);
    int i = 0;
    char ch;
    do
    {
        Receive(&ch, 1);
        if (ch == 0)
            ch = '^';
        // Room for this byte and the CR LF that normalising may need.
        if (i > strLine.nAlloc - 3)
            strLine.SetAllocSize(i + 1024);
        strLine.AppendChar(ch);
        i++;
    } while (ch != '\n');
    if (pnRawLength)
        *pnRawLength = i;
    if (i == 1 || strLine.pData[i - 2] != '\r')
    {
        strLine.Truncate(i - 1);
        strLine.Append("\r\n", 2);
        i++;
    }
    return i;
}

bool CBlockingSocket::IsTransientError(uint32_t nCode)
{
    switch (ErrorCondition(nCode))
    {
    case COND_SELECT_TIMEOUT:
    case COND_SEND_0:
    case COND_CONNECTION_CLOSED:
        return true;
    }
    switch (ErrorWsa(nCode))
    {
    case WSAENETRESET:
    case WSAECONNABORTED:
    case WSAECONNRESET:
    case WSAETIMEDOUT:
    case WSAEDISCON:
    case WSATRY_AGAIN:
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
CSTBlockingSocket::CSTBlockingSocket(int nReceiveSeconds, int nSendSeconds, const SSocketApi* pTable)
    : CBlockingSocket(&hSocket, pTable, nReceiveSeconds, nSendSeconds), hSocket(INVALID_SOCKET)
{
}

void CSTBlockingSocket::Close()
{
    if (hSocket != INVALID_SOCKET)
    {
        pApi->closesocket(hSocket);
        hSocket = INVALID_SOCKET;
    }
}

bool CSTBlockingSocket::ResolveName(in_addr* pAddr, const char* pszName)
{
    return LookupHost(pszName, pAddr);
}

// ---------------------------------------------------------------------------------------------
void CloseSocketAt(volatile SOCKET* pHandle, int (*pfnClose)(SOCKET))
{
    SOCKET s = SysExchangeSocket(pHandle, INVALID_SOCKET);
    if (s != INVALID_SOCKET)
        (pfnClose ? pfnClose : GetDefaultSocketApi()->closesocket)(s);
}

void CheckThreadCreated(bool bCreated)
{
    if (bCreated)
        return;
    SysShowMessage("Could not create thread - add virtual memory.", SYSMSG_ICON_EXCLAMATION);
    SysExitProcess(1);
}
