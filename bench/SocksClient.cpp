// The SOCKS client side of the load generator.
#include "SocksClient.h"

#include "BenchUtil.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace
{
// Reads a SOCKS5 reply (any address type) and checks its status.
bool ReadSocks5Reply(int fd, sockaddr_in* pBound, std::string& strError)
{
    unsigned char ab[262];
    if (!RecvAll(fd, ab, 4))
    {
        strError = ErrnoReason("reply");
        return false;
    }
    if (ab[0] != 5)
    {
        strError = "reply: bad version " + std::to_string(ab[0]);
        return false;
    }
    if (ab[1] != 0)
    {
        strError = "reply: status " + std::to_string(ab[1]);
        return false;
    }
    size_t nRest;
    switch (ab[3])
    {
    case 1:
        nRest = 6;
        break;
    case 4:
        nRest = 18;
        break;
    case 3:
        if (!RecvAll(fd, ab + 4, 1))
        {
            strError = ErrnoReason("reply");
            return false;
        }
        nRest = (size_t)ab[4] + 2;
        break;
    default:
        strError = "reply: address type " + std::to_string(ab[3]);
        return false;
    }
    unsigned char* pRest = ab + (ab[3] == 3 ? 5 : 4);
    if (!RecvAll(fd, pRest, nRest))
    {
        strError = ErrnoReason("reply");
        return false;
    }
    if (pBound)
    {
        if (ab[3] != 1)
        {
            strError = "reply: bound address is not IPv4";
            return false;
        }
        *pBound = sockaddr_in{};
        pBound->sin_family = AF_INET;
        memcpy(&pBound->sin_addr, pRest, 4);
        memcpy(&pBound->sin_port, pRest + 4, 2);
    }
    return true;
}

bool Socks5Greeting(int fd, bool bUserPassword, std::string& strError)
{
    const unsigned char abGreeting[3] = {5, 1, (unsigned char)(bUserPassword ? 2 : 0)};
    unsigned char abChoice[2];
    if (!SendAll(fd, abGreeting, sizeof(abGreeting)))
    {
        strError = ErrnoReason("greeting");
        return false;
    }
    if (!RecvAll(fd, abChoice, 2))
    {
        strError = ErrnoReason("method");
        return false;
    }
    if (abChoice[0] != 5 || abChoice[1] != abGreeting[2])
    {
        strError = "method: refused";
        return false;
    }
    if (!bUserPassword)
        return true;
    unsigned char abAuth[3 + 2 * 255];
    size_t nUser = strlen(kBenchUser), nPassword = strlen(kBenchPassword), nLen = 0;
    abAuth[nLen++] = 1;
    abAuth[nLen++] = (unsigned char)nUser;
    memcpy(abAuth + nLen, kBenchUser, nUser);
    nLen += nUser;
    abAuth[nLen++] = (unsigned char)nPassword;
    memcpy(abAuth + nLen, kBenchPassword, nPassword);
    nLen += nPassword;
    if (!SendAll(fd, abAuth, nLen))
    {
        strError = ErrnoReason("authentication");
        return false;
    }
    if (!RecvAll(fd, abChoice, 2))
    {
        strError = ErrnoReason("authentication reply");
        return false;
    }
    if (abChoice[0] != 1 || abChoice[1] != 0)
    {
        strError = "authentication: refused";
        return false;
    }
    return true;
}

bool Negotiate(int fd, ESocksRequest nRequest, const sockaddr_in& saDest, std::string& strError)
{
    unsigned char ab[32];
    size_t nLen = 0;
    if (nRequest == SOCKS4_BY_ADDRESS)
    {
        ab[nLen++] = 4;
        ab[nLen++] = 1;
        memcpy(ab + nLen, &saDest.sin_port, 2);
        nLen += 2;
        memcpy(ab + nLen, &saDest.sin_addr, 4);
        nLen += 4;
        ab[nLen++] = 0; // empty user id
        if (!SendAll(fd, ab, nLen))
        {
            strError = ErrnoReason("request");
            return false;
        }
        if (!RecvAll(fd, ab, 8))
        {
            strError = ErrnoReason("reply");
            return false;
        }
        if (ab[0] != 0 || ab[1] != 0x5A)
        {
            strError = "reply: status " + std::to_string(ab[1]);
            return false;
        }
        return true;
    }
    if (!Socks5Greeting(fd, nRequest == SOCKS5_USER_PASSWORD, strError))
        return false;
    ab[nLen++] = 5;
    ab[nLen++] = 1;
    ab[nLen++] = 0;
    if (nRequest == SOCKS5_BY_NAME)
    {
        static const char szName[] = "localhost";
        ab[nLen++] = 3;
        ab[nLen++] = sizeof(szName) - 1;
        memcpy(ab + nLen, szName, sizeof(szName) - 1);
        nLen += sizeof(szName) - 1;
    }
    else
    {
        ab[nLen++] = 1;
        memcpy(ab + nLen, &saDest.sin_addr, 4);
        nLen += 4;
    }
    memcpy(ab + nLen, &saDest.sin_port, 2);
    nLen += 2;
    if (!SendAll(fd, ab, nLen))
    {
        strError = ErrnoReason("request");
        return false;
    }
    return ReadSocks5Reply(fd, nullptr, strError);
}
} // namespace

int OpenTunnel(const STarget& target, ESocksRequest nRequest, const sockaddr_in& saDest, int nTimeoutMs,
               std::string& strError)
{
    int fd = ConnectTcp(target.bDirect ? saDest : target.saProxy, nTimeoutMs);
    if (fd < 0)
    {
        strError = ErrnoReason("connect");
        return -1;
    }
    if (!target.bDirect && !Negotiate(fd, nRequest, saDest, strError))
    {
        close(fd);
        return -1;
    }
    return fd;
}

bool UdpAssociate(const STarget& target, const sockaddr_in& saClientUdp, int nTimeoutMs,
                  SUdpAssociation& assoc, std::string& strError)
{
    strError.clear();
    int fd = ConnectTcp(target.saProxy, nTimeoutMs);
    if (fd < 0)
    {
        strError = ErrnoReason("connect");
        return false;
    }
    unsigned char ab[10] = {5, 3, 0, 1};
    memcpy(ab + 4, &saClientUdp.sin_addr, 4);
    memcpy(ab + 8, &saClientUdp.sin_port, 2);
    sockaddr_in saRelay{};
    if (!Socks5Greeting(fd, false, strError) || !SendAll(fd, ab, sizeof(ab)) ||
        !ReadSocks5Reply(fd, &saRelay, strError))
    {
        if (strError.empty())
            strError = ErrnoReason("request");
        close(fd);
        return false;
    }
    // A relay bound to every address answers on the proxy's own address; never send to 0.0.0.0.
    if (saRelay.sin_addr.s_addr == htonl(INADDR_ANY))
        saRelay.sin_addr = target.saProxy.sin_addr;
    if ((ntohl(saRelay.sin_addr.s_addr) >> 24) != 127 || saRelay.sin_port == 0)
    {
        strError = "reply: relay " + EndpointString(saRelay) + " is not a loopback endpoint";
        close(fd);
        return false;
    }
    assoc.fdControl = fd;
    assoc.saRelay = saRelay;
    return true;
}

void WriteUdpHeader(unsigned char* p, const sockaddr_in& saDest)
{
    p[0] = 0;
    p[1] = 0;
    p[2] = 0; // not a fragment
    p[3] = 1; // IPv4
    memcpy(p + 4, &saDest.sin_addr, 4);
    memcpy(p + 8, &saDest.sin_port, 2);
}

bool ReadUdpHeader(const unsigned char* p, size_t nLen, sockaddr_in& saFrom)
{
    if (nLen < kUdpHeader || p[0] != 0 || p[1] != 0 || p[2] != 0 || p[3] != 1)
        return false;
    saFrom = sockaddr_in{};
    saFrom.sin_family = AF_INET;
    memcpy(&saFrom.sin_addr, p + 4, 4);
    memcpy(&saFrom.sin_port, p + 8, 2);
    return true;
}
