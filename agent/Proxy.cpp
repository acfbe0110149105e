// Proxy.cpp: the SOCKS4, SOCKS4a and SOCKS5 client handshakes.
#include "agent/Proxy.h"

#include <cstring>

#include "net/SocksWire.h"

namespace
{

[[noreturn]] void Refuse(int nCondition)
{
    throw MakeErrorCode(0, nCondition);
}

void ConnectToProxy(const SProxySettings& proxy, CBlockingSocket& sock)
{
    sockaddr_in sa;
    sock.ConnectTo(sa, proxy.host, (unsigned short)proxy.port);
}

uint32_t ConnectSocks4(const SProxySettings& proxy, CBlockingSocket& sock, const char* pszHost,
                       unsigned short nPort)
{
    in_addr addr;
    if (proxy.remoteResolve)
        addr.s_addr = htonl(SOCKS4A_PLACEHOLDER);
    else
        sock.ResolveAddress(pszHost, &addr);
    ConnectToProxy(proxy, sock);

    size_t nUser = strnlen(proxy.user, sizeof(proxy.user) - 1);
    size_t nHost = proxy.remoteResolve ? strlen(pszHost) : 0;
    CCArray strRequest;
    unsigned char head[8] = {SOCKS_VERSION_4, SOCKS4_CMD_CONNECT, (unsigned char)(nPort >> 8), (unsigned char)nPort};
    memcpy(head + 4, &addr.s_addr, 4);
    strRequest.SetText((const char*)head, 8);
    strRequest.Append(proxy.user, (int32_t)nUser);
    strRequest.Append("", 1);
    if (proxy.remoteResolve)
    {
        strRequest.Append(pszHost, (int32_t)nHost);
        strRequest.Append("", 1);
    }
    sock.SendAll(strRequest.GetString(), strRequest.GetLength());

    unsigned char reply[8];
    sock.ReceiveAll(reply, 8);
    if (reply[0] != SOCKS4_REPLY_VERSION || reply[1] != SOCKS4_STATUS_GRANTED)
        Refuse(COND_SOCKS_NEGOTIATE);
    return proxy.remoteResolve ? 0 : addr.s_addr;
}

uint32_t ConnectSocks5(const SProxySettings& proxy, CBlockingSocket& sock, const char* pszHost,
                       unsigned short nPort)
{
    in_addr addr;
    addr.s_addr = 0;
    size_t nHost = strlen(pszHost);
    // The domain-name form carries the name's length in one byte.
    if (proxy.remoteResolve && nHost > SOCKS5_MAX_NAME)
        Refuse(COND_SOCKS_NEGOTIATE);
    if (!proxy.remoteResolve)
        sock.ResolveAddress(pszHost, &addr);
    ConnectToProxy(proxy, sock);

    // The greeting: the version, the number of methods, the methods.
    if (proxy.authenticate)
    {
        const unsigned char greeting[4] = {SOCKS_VERSION_5, 2, SOCKS5_METHOD_NONE, SOCKS5_METHOD_USERPASS};
        sock.SendAll(greeting, 4);
    }
    else
    {
        const unsigned char greeting[3] = {SOCKS_VERSION_5, 1, SOCKS5_METHOD_NONE};
        sock.SendAll(greeting, 3);
    }
    unsigned char method[2];
    sock.ReceiveAll(method, 2);
    if (method[0] != SOCKS_VERSION_5)
        Refuse(COND_SOCKS_NEGOTIATE);
    if (method[1] == SOCKS5_METHOD_REFUSED)
        Refuse(COND_SOCKS_AUTH);
    if (method[1] == SOCKS5_METHOD_USERPASS)
    {
        unsigned char nUser = (unsigned char)strnlen(proxy.user, sizeof(proxy.user) - 1);
        unsigned char nPassword = (unsigned char)strnlen(proxy.password, sizeof(proxy.password) - 1);
        CCArray strAuth;
        const char nAuthVersion = SOCKS5_AUTH_VERSION;
        strAuth.SetText(&nAuthVersion, 1);
        strAuth.Append((const char*)&nUser, 1);
        strAuth.Append(proxy.user, nUser);
        strAuth.Append((const char*)&nPassword, 1);
        strAuth.Append(proxy.password, nPassword);
        sock.SendAll(strAuth.GetString(), strAuth.GetLength());
        unsigned char status[2];
        sock.ReceiveAll(status, 2);
        if (status[0] != SOCKS5_AUTH_VERSION)
            Refuse(COND_SOCKS_NEGOTIATE);
        if (status[1] != SOCKS5_AUTH_SUCCESS)
            Refuse(COND_SOCKS_AUTH);
    }
    else if (method[1] != SOCKS5_METHOD_NONE)
        Refuse(COND_SOCKS_NEGOTIATE);

    unsigned char port[2] = {(unsigned char)(nPort >> 8), (unsigned char)nPort};
    CCArray strRequest;
    if (proxy.remoteResolve)
    {
        unsigned char head[5] = {SOCKS_VERSION_5, SOCKS5_CMD_CONNECT, SOCKS5_RESERVED, SOCKS5_ATYP_NAME,
                                 (unsigned char)nHost};
        strRequest.SetText((const char*)head, 5);
        strRequest.Append(pszHost, (int32_t)nHost);
    }
    else
    {
        unsigned char head[4] = {SOCKS_VERSION_5, SOCKS5_CMD_CONNECT, SOCKS5_RESERVED, SOCKS5_ATYP_IPV4};
        strRequest.SetText((const char*)head, 4);
        strRequest.Append((const char*)&addr.s_addr, 4);
    }
    strRequest.Append((const char*)port, 2);
    sock.SendAll(strRequest.GetString(), strRequest.GetLength());

    unsigned char reply[4];
    sock.ReceiveAll(reply, 4);
    if (reply[0] != SOCKS_VERSION_5 || reply[1] != SOCKS5_REP_SUCCEEDED)
        Refuse(COND_SOCKS_NEGOTIATE);
    int nAddress;
    switch (reply[3])
    {
    case SOCKS5_ATYP_IPV4:
        nAddress = 4;
        break;
    case SOCKS5_ATYP_NAME:
    {
        unsigned char nLength;
        sock.ReceiveAll(&nLength, 1);
        nAddress = nLength;
        break;
    }
    case SOCKS5_ATYP_IPV6:
        nAddress = 16;
        break;
    default:
        Refuse(COND_SOCKS_NEGOTIATE);
    }
    unsigned char bound[SOCKS5_MAX_NAME + 2];
    sock.ReceiveAll(bound, nAddress + 2);
    return addr.s_addr;
}

} // namespace

uint32_t ConnectThroughProxy(const SProxySettings* pProxy, CBlockingSocket& sock, const char* pszHost,
                             unsigned short nPort)
{
    if (pProxy && pProxy->enabled && pProxy->type == PROXY_SOCKS4)
        return ConnectSocks4(*pProxy, sock, pszHost, nPort);
    if (pProxy && pProxy->enabled && pProxy->type == PROXY_SOCKS5)
        return ConnectSocks5(*pProxy, sock, pszHost, nPort);
    sockaddr_in sa;
    sock.ConnectTo(sa, pszHost, nPort);
    return sa.sin_addr.s_addr;
}
