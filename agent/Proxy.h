// Proxy.h: reaching the server through an HTTP, SOCKS4, SOCKS4a or SOCKS5 proxy.
#pragma once

#include <cstdint>

#include "net/BlockingSocket.h"

enum EProxyType
{
    PROXY_HTTP = 0,
    PROXY_SOCKS5 = 1,
    PROXY_SOCKS4 = 2, // SOCKS4a when remoteResolve is set
};

struct SProxySettings
{
    int enabled;
    int type;
    char host[256];
    int port;
    int authenticate; // HTTP: a Proxy-Authorization line; SOCKS5: offer user name and password
    char user[80];    // SOCKS4 always sends it as its user id
    char password[80];
    int remoteResolve; // the proxy resolves the target's name (SOCKS4a, SOCKS5 domain name)
};

// Leaves the socket connected to the target, directly or through a SOCKS tunnel. Returns the
// target's address (network order) when it was resolved here, 0 when the proxy resolves it.
// Throws socket error codes, or COND_SOCKS_NEGOTIATE and COND_SOCKS_AUTH for the proxy's refusals.
uint32_t ConnectThroughProxy(const SProxySettings* pProxy, CBlockingSocket& sock, const char* pszHost,
                             unsigned short nPort);
