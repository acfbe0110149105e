// NameLookup.cpp (POSIX): IPv4 host-name lookups through getaddrinfo, with Windows Sockets errors.
#include "platform/posix/SocketInternals.h"

#include <cstring>
#include <errno.h>
#include <netdb.h>

bool SysLookupHost(const char* pszName, in_addr* pAddr)
{
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pResult = nullptr;
    int nResult = getaddrinfo(pszName, nullptr, &hints, &pResult);
    if (nResult != 0)
    {
        switch (nResult)
        {
        case EAI_NONAME:
            SysSetSocketError(WSAHOST_NOT_FOUND);
            break;
        case EAI_AGAIN:
            SysSetSocketError(WSATRY_AGAIN);
            break;
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
#endif
            SysSetSocketError(WSANO_DATA);
            break;
        case EAI_MEMORY:
            SysSetSocketError(WSAENOBUFS);
            break;
        case EAI_SYSTEM:
            SysSetSocketError(WsaFromErrno(errno));
            break;
        default:
            SysSetSocketError(WSANO_RECOVERY);
            break;
        }
        return false;
    }
    bool bFound = false;
    for (addrinfo* p = pResult; p; p = p->ai_next)
    {
        if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in))
        {
            *pAddr = ((const sockaddr_in*)p->ai_addr)->sin_addr;
            bFound = true;
            break;
        }
    }
    freeaddrinfo(pResult);
    if (!bFound)
        SysSetSocketError(WSANO_DATA);
    return bFound;
}

// glibc's getaddrinfo goes through NSS modules (files, dns, mdns, systemd...) that are loaded on
// demand and keep large buffers on the stack: the DNS module alone formats and parses whole
// packets there, and dlopen of a module runs its constructors on this stack. 64 KB overflows in
// practice; 512 KB is only a reservation (pages are touched as used) and leaves ample room.
size_t SysLookupStackSize()
{
    return SysScaledStack(512 * 1024);
}
