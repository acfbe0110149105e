// The SOCKS client side of the load generator: CONNECT in SOCKS4 and SOCKS5 (by address or by host
// name, without authentication) and SOCKS5 UDP ASSOCIATE with the datagram header.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

enum ESocksRequest
{
    SOCKS5_BY_ADDRESS,
    SOCKS4_BY_ADDRESS,
    SOCKS5_BY_NAME,         // "localhost"
    SOCKS5_USER_PASSWORD    // by address, after user name and password (kBenchUser, kBenchPassword)
};

// The account of the user/password set-ups; the proxies of that measurement are started with it.
constexpr const char* kBenchUser = "bench";
constexpr const char* kBenchPassword = "loopback-only";

// Where the generator sends its traffic: straight to the destination, or through a proxy.
struct STarget
{
    bool bDirect = true;
    sockaddr_in saProxy{};
};

// A connected tunnel to saDest (through the proxy unless the target is direct), ready for data, as a
// blocking socket with time-outs of nTimeoutMs; -1 on failure with a short reason in strError.
int OpenTunnel(const STarget& target, ESocksRequest nRequest, const sockaddr_in& saDest, int nTimeoutMs,
               std::string& strError);

struct SUdpAssociation
{
    int fdControl = -1;    // the association lives as long as this connection
    sockaddr_in saRelay{}; // where the datagrams go
};

bool UdpAssociate(const STarget& target, const sockaddr_in& saClientUdp, int nTimeoutMs,
                  SUdpAssociation& assoc, std::string& strError);

// The SOCKS5 UDP request header for an IPv4 destination: 10 bytes.
constexpr size_t kUdpHeader = 10;
void WriteUdpHeader(unsigned char* p, const sockaddr_in& saDest);
bool ReadUdpHeader(const unsigned char* p, size_t nLen, sockaddr_in& saFrom);
