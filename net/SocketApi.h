// SocketApi.h: the table through which every socket object reaches the network.
//
// The socket classes never call the platform directly: each holds a pointer to one of these
// tables. The default table points at the platform's Windows Sockets functions; tests and the
// fuzz targets install a scripted table instead, so that the session code runs without a network.
#pragma once

#include "platform/Sockets.h"

struct SSocketApi
{
    SOCKET (*socket)(int af, int type, int protocol);
    int (*closesocket)(SOCKET s);
    int (*connect)(SOCKET s, const sockaddr* pAddr, int nLen);
    int (*recv)(SOCKET s, char* pBuf, int nLen, int nFlags);
    int (*recvfrom)(SOCKET s, char* pBuf, int nLen, int nFlags, sockaddr* pFrom, int* pnFromLen);
    int (*send)(SOCKET s, const char* pBuf, int nLen, int nFlags);
    int (*sendto)(SOCKET s, const char* pBuf, int nLen, int nFlags, const sockaddr* pTo, int nToLen);
    int (*select)(int nfds, SOCKSET* pRead, SOCKSET* pWrite, SOCKSET* pExcept, const timeval* pTimeout);
    int (*bind)(SOCKET s, const sockaddr* pAddr, int nLen);
    int (*listen)(SOCKET s, int nBacklog);
    SOCKET (*accept)(SOCKET s, sockaddr* pAddr, int* pnLen);
    int (*setsockopt)(SOCKET s, int nLevel, int nName, const char* pValue, int nLen);
    int (*getsockname)(SOCKET s, sockaddr* pAddr, int* pnLen);
    int (*getpeername)(SOCKET s, sockaddr* pAddr, int* pnLen);
};

// The platform's own table; it never changes.
const SSocketApi* GetSystemSocketApi();

// The table a socket object uses when it is given none: the system table unless a test has
// installed another.
const SSocketApi* GetDefaultSocketApi();
// Installs the table that objects created from now on use by default; null restores the system
// table. Objects already built keep the table they were given.
void SetDefaultSocketApi(const SSocketApi* pApi);

// Host-name lookups (both socket variants) go through this function: SysLookupHost unless a test
// has installed a resolver of its own, so that no test ever sends a query off the machine.
typedef bool (*HostLookupProc)(const char* pszName, in_addr* pAddr);
void SetHostLookup(HostLookupProc pLookup);
// Resolves with the installed function. False when the name has no address.
bool LookupHost(const char* pszName, in_addr* pAddr);
// The hosts file's certain answer for the name (SysLookupHostInFiles), on the calling thread;
// false (ask LookupHost) whenever a test has installed a resolver of its own.
bool LookupHostInFiles(const char* pszName, in_addr* pAddr);
