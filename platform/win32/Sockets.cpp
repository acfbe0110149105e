// Sockets.cpp (Windows): the socket functions of the platform are the Windows Sockets functions.
//
// The wrappers exist because the SSocketApi table holds plain (cdecl) function pointers, while
// the Windows Sockets entry points are __stdcall.
#include "platform/Sockets.h"

#include <cstring>

void SockSetClear(SOCKSET* pSet)
{
    FD_ZERO(pSet);
}

void SockSetAdd(SOCKSET* pSet, SOCKET s)
{
    FD_SET(s, pSet);
}

bool SockSetHas(const SOCKSET* pSet, SOCKET s)
{
    for (u_int i = 0; i < pSet->fd_count; i++)
    {
        if (pSet->fd_array[i] == s)
            return true;
    }
    return false;
}

int SysGetSocketError()
{
    return WSAGetLastError();
}

void SysSetSocketError(int nError)
{
    WSASetLastError(nError);
}

SOCKET SysExchangeSocket(volatile SOCKET* pHandle, SOCKET hNew)
{
    return (SOCKET)InterlockedExchangePointer((PVOID volatile*)pHandle, (PVOID)hNew);
}

// An aligned pointer-sized read is atomic on x86; volatile keeps the compiler from caching it.
SOCKET SysLoadSocket(const volatile SOCKET* pHandle)
{
    return *pHandle;
}

void SysRaiseFlag(volatile int32_t* pFlag)
{
    InterlockedExchange((volatile LONG*)pFlag, 1);
}

bool SysIsFlagRaised(const volatile int32_t* pFlag)
{
    return *pFlag != 0;
}

// gethostbyname keeps its result in per-thread storage, so concurrent lookups on different
// threads do not disturb each other.
bool SysLookupHost(const char* pszName, in_addr* pAddr)
{
    hostent* pHost = gethostbyname(pszName);
    if (!pHost || pHost->h_addrtype != AF_INET || !pHost->h_addr_list || !pHost->h_addr_list[0])
    {
        if (pHost)
            WSASetLastError(WSANO_DATA);
        return false;
    }
    memcpy(pAddr, pHost->h_addr_list[0], sizeof(in_addr));
    return true;
}

// The lookup thread only calls gethostbyname, which does its work in the system's DNS client:
// a 64 KB reservation is what every short-lived engine thread gets.
// The Windows resolver answers hosts-file names from its own cache; every lookup goes to it.
bool SysLookupHostInFiles(const char*, in_addr*, const char*, const char*)
{
    return false;
}

size_t SysLookupStackSize()
{
    return SysScaledStack(64 * 1024);
}

SOCKET SysSocket(int af, int type, int protocol)
{
    return socket(af, type, protocol);
}

namespace
{
// Handles inside a one-call non-blocking switch (WithoutWaiting), and whether a close arrived
// meanwhile. Windows reuses a closed handle's number for the next socket at once: a close that
// landed between the switch's calls would leave its last call acting on a stranger's socket. The
// close is left to the switch instead, which ends within microseconds. Every other call of the
// proxy on a socket that another thread closes is a wait (select, accept, connect), which only the
// close itself cancels on Windows.
struct SSwitchSlot
{
    SOCKET s;
    bool bCloseAsked;
};
const int SWITCH_SLOTS = 64;
SSwitchSlot g_switchSlots[SWITCH_SLOTS];

CRITICAL_SECTION& SwitchLock()
{
    static CRITICAL_SECTION* pLock = []
    {
        CRITICAL_SECTION* p = new CRITICAL_SECTION;
        InitializeCriticalSection(p);
        for (SSwitchSlot& slot : g_switchSlots)
            slot.s = INVALID_SOCKET;
        return p;
    }();
    return *pLock;
}

// The slot taken for the handle, or -1 when every slot is in use (the switch then runs untracked,
// as it would without this table).
int EnterSwitch(SOCKET s)
{
    EnterCriticalSection(&SwitchLock());
    int nSlot = -1;
    for (int i = 0; i < SWITCH_SLOTS && nSlot < 0; i++)
    {
        if (g_switchSlots[i].s == INVALID_SOCKET)
        {
            g_switchSlots[i].s = s;
            g_switchSlots[i].bCloseAsked = false;
            nSlot = i;
        }
    }
    LeaveCriticalSection(&SwitchLock());
    return nSlot;
}

void LeaveSwitch(int nSlot)
{
    if (nSlot < 0)
        return;
    EnterCriticalSection(&SwitchLock());
    SOCKET s = g_switchSlots[nSlot].s;
    bool bClose = g_switchSlots[nSlot].bCloseAsked;
    g_switchSlots[nSlot].s = INVALID_SOCKET;
    LeaveCriticalSection(&SwitchLock());
    if (bClose)
        closesocket(s);
}

// True when the handle is inside a switch: the switch closes it as it leaves.
bool HandCloseToSwitch(SOCKET s)
{
    bool bHanded = false;
    EnterCriticalSection(&SwitchLock());
    for (SSwitchSlot& slot : g_switchSlots)
    {
        if (slot.s == s && !slot.bCloseAsked)
        {
            slot.bCloseAsked = true;
            bHanded = true;
            break;
        }
    }
    LeaveCriticalSection(&SwitchLock());
    return bHanded;
}
} // namespace

// Shut down first: the connection ends in order in both directions, and a call of another thread
// waiting in recv or send returns at once. The close that follows cancels what the shutdown does
// not reach on Windows (select, accept, connect) and frees the handle. A listening or datagram
// socket refuses the shutdown (WSAENOTCONN), which changes nothing.
int SysCloseSocket(SOCKET s)
{
    int nError = WSAGetLastError();
    shutdown(s, SD_BOTH);
    WSASetLastError(nError);
    if (HandCloseToSwitch(s))
        return 0;
    return closesocket(s);
}

int SysConnect(SOCKET s, const sockaddr* pAddr, int nLen)
{
    return connect(s, pAddr, nLen);
}

namespace
{
// Windows Sockets has no per-call flag for a receive or send that does not wait: the socket is
// made non-blocking for the one call. Every call of the socket's own thread on it either carries
// the flag or follows a select, and a call that finds the socket switched fails with
// WSAEWOULDBLOCK, which every caller of the flag handles by waiting: the short switch changes
// nothing else.
template <typename CALL> int WithoutWaiting(SOCKET s, CALL call)
{
    // A close of another thread that lands in here waits for the end of the switch (see
    // HandCloseToSwitch): the three calls act on this socket, never on a new one of the same number.
    int nSlot = EnterSwitch(s);
    u_long nOn = 1, nOff = 0;
    int nResult = SOCKET_ERROR;
    if (ioctlsocket(s, FIONBIO, &nOn) != SOCKET_ERROR)
    {
        nResult = call();
        int nError = WSAGetLastError();
        ioctlsocket(s, FIONBIO, &nOff);
        WSASetLastError(nError);
    }
    int nError = WSAGetLastError();
    LeaveSwitch(nSlot);
    WSASetLastError(nError);
    return nResult;
}
} // namespace

int SysRecv(SOCKET s, char* pBuf, int nLen, int nFlags)
{
    if (!(nFlags & RECV_NO_WAIT))
        return recv(s, pBuf, nLen, nFlags);
    return WithoutWaiting(s, [&] { return recv(s, pBuf, nLen, nFlags & ~RECV_NO_WAIT); });
}

int SysRecvFrom(SOCKET s, char* pBuf, int nLen, int nFlags, sockaddr* pFrom, int* pnFromLen)
{
    if (!(nFlags & RECV_NO_WAIT))
        return recvfrom(s, pBuf, nLen, nFlags, pFrom, pnFromLen);
    return WithoutWaiting(s, [&] { return recvfrom(s, pBuf, nLen, nFlags & ~RECV_NO_WAIT, pFrom, pnFromLen); });
}

int SysSend(SOCKET s, const char* pBuf, int nLen, int nFlags)
{
    if (!(nFlags & SEND_NO_WAIT))
        return send(s, pBuf, nLen, nFlags);
    return WithoutWaiting(s, [&] { return send(s, pBuf, nLen, nFlags & ~SEND_NO_WAIT); });
}

int SysSendTo(SOCKET s, const char* pBuf, int nLen, int nFlags, const sockaddr* pTo, int nToLen)
{
    if (!(nFlags & SEND_NO_WAIT))
        return sendto(s, pBuf, nLen, nFlags, pTo, nToLen);
    return WithoutWaiting(s, [&] { return sendto(s, pBuf, nLen, nFlags & ~SEND_NO_WAIT, pTo, nToLen); });
}

int SysSelect(int nfds, SOCKSET* pRead, SOCKSET* pWrite, SOCKSET* pExcept, const timeval* pTimeout)
{
    return select(nfds, pRead, pWrite, pExcept, const_cast<timeval*>(pTimeout));
}

// A plain bind on Windows succeeds beside another program's socket bound to the same port on a
// more specific address, which then takes the local clients; and a later program could take the
// port from under the listener the same way. Exclusive use makes such a bind fail on both sides,
// as Linux does. Only stream sockets listen; a datagram relay binds port 0 and shares nothing.
int SysBind(SOCKET s, const sockaddr* pAddr, int nLen)
{
    int nType = 0;
    int nTypeLen = sizeof(nType);
    if (getsockopt(s, SOL_SOCKET, SO_TYPE, (char*)&nType, &nTypeLen) == 0 && nType == SOCK_STREAM)
    {
        BOOL bOn = TRUE;
        setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char*)&bOn, sizeof(bOn));
    }
    return bind(s, pAddr, nLen);
}

int SysListen(SOCKET s, int nBacklog)
{
    return listen(s, nBacklog);
}

SOCKET SysAccept(SOCKET s, sockaddr* pAddr, int* pnLen)
{
    return accept(s, pAddr, pnLen);
}

int SysSetSockOpt(SOCKET s, int nLevel, int nName, const char* pValue, int nLen)
{
    return setsockopt(s, nLevel, nName, pValue, nLen);
}

int SysGetSockName(SOCKET s, sockaddr* pAddr, int* pnLen)
{
    return getsockname(s, pAddr, pnLen);
}

int SysGetPeerName(SOCKET s, sockaddr* pAddr, int* pnLen)
{
    return getpeername(s, pAddr, pnLen);
}

bool SysSocketsStartup(int* pnMajor, int* pnMinor)
{
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(1, 1), &wsa) != 0)
        return false;
    *pnMajor = LOBYTE(wsa.wVersion);
    *pnMinor = HIBYTE(wsa.wVersion);
    return true;
}

void SysSocketsCleanup()
{
    WSACleanup();
}

// Windows has no pipe that a socket can fill without a copy: the engine's own loop relays, and a
// quiet tunnel keeps its thread.
ERelayEnd SysRelayStreams(const SRelaySide&, const SRelaySide&, int)
{
    return RELAY_UNAVAILABLE;
}

bool SysWatchStreams(SOCKET, SOCKET, void (*)(void*), void*)
{
    return false;
}
