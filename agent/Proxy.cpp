// Proxy.cpp: the SOCKS4, SOCKS4a and SOCKS5 client handshakes.
#include "agent/Proxy.h"

#include <cstring>

namespace
{

// SOCKS4a's placeholder address 0.0.0.1: "the proxy resolves the name that follows".
const uint32_t SOCKS4A_PLACEHOLDER = 0x00000001;

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
    unsigned char head[8] = {4, 1, (unsigned char)(nPort >> 8), (unsigned char)nPort};
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
    if (reply[0] != 0 || reply[1] != 90)
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
    if (proxy.remoteResolve && nHost > 255)
        Refuse(COND_SOCKS_NEGOTIATE);
    if (!proxy.remoteResolve)
        sock.ResolveAddress(pszHost, &addr);
    ConnectToProxy(proxy, sock);

    if (proxy.authenticate)
        sock.SendAll("\x05\x02\x00\x02", 4);
    else
        sock.SendAll("\x05\x01\x00", 3);
    unsigned char method[2];
    sock.ReceiveAll(method, 2);
    if (method[0] != 5)
        Refuse(COND_SOCKS_NEGOTIATE);
    if (method[1] == 255)
        Refuse(COND_SOCKS_AUTH);
    if (method[1] == 2)
    {
        unsigned char nUser = (unsigned char)strnlen(proxy.user, sizeof(proxy.user) - 1);
        unsigned char nPassword = (unsigned char)strnlen(proxy.password, sizeof(proxy.password) - 1);
        CCArray strAuth;
        strAuth.SetText("\x01", 1);
        strAuth.Append((const char*)&nUser, 1);
        strAuth.Append(proxy.user, nUser);
        strAuth.Append((const char*)&nPassword, 1);
        strAuth.Append(proxy.password, nPassword);
        sock.SendAll(strAuth.GetString(), strAuth.GetLength());
        unsigned char status[2];
        sock.ReceiveAll(status, 2);
        if (status[0] != 1)
            Refuse(COND_SOCKS_NEGOTIATE);
        if (status[1] != 0)
            Refuse(COND_SOCKS_AUTH);
    }
    else if (method[1] != 0)
        Refuse(COND_SOCKS_NEGOTIATE);

    unsigned char port[2] = {(unsigned char)(nPort >> 8), (unsigned char)nPort};
    CCArray strRequest;
    if (proxy.remoteResolve)
    {
        unsigned char head[5] = {5, 1, 0, 3, (unsigned char)nHost};
        strRequest.SetText((const char*)head, 5);
        strRequest.Append(pszHost, (int32_t)nHost);
    }
    else
    {
        unsigned char head[4] = {5, 1, 0, 1};
        strRequest.SetText((const char*)head, 4);
        strRequest.Append((const char*)&addr.s_addr, 4);
    }
    strRequest.Append((const char*)port, 2);
    sock.SendAll(strRequest.GetString(), strRequest.GetLength());

    unsigned char reply[4];
    sock.ReceiveAll(reply, 4);
    if (reply[0] != 5 || reply[1] != 0)
        Refuse(COND_SOCKS_NEGOTIATE);
    int nAddress;
    switch (reply[3])
    {
    case 1:
        nAddress = 4;
        break;
    case 3:
    {
        unsigned char nLength;
        sock.ReceiveAll(&nLength, 1);
        nAddress = nLength;
        break;
    }
    case 4:
        nAddress = 16;
        break;
    default:
        Refuse(COND_SOCKS_NEGOTIATE);
    }
    unsigned char bound[255 + 2];
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
