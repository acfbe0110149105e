// SocksWire.h: the bytes of the SOCKS4, SOCKS4a and SOCKS5 wire forms, as both sides of the
// program speak them: the proxy's sessions (engine/) and the upload agent when it reaches its
// endpoint through a proxy (agent/Proxy.cpp).
#pragma once

// The version byte that opens every request (and every SOCKS5 reply).
enum
{
    SOCKS_VERSION_4 = 4,
    SOCKS_VERSION_5 = 5,
};

// SOCKS4 commands and reply statuses. The reply's first byte is the reply version, 0.
enum
{
    SOCKS4_CMD_CONNECT = 1,
    SOCKS4_CMD_BIND = 2,
    SOCKS4_REPLY_VERSION = 0x00,
    SOCKS4_STATUS_GRANTED = 0x5A,        // 90
    SOCKS4_STATUS_REJECTED = 0x5B,       // 91: rejected or failed
    SOCKS4_STATUS_NO_IDENTD = 0x5C,      // 92: the client's identd cannot be reached
    SOCKS4_STATUS_IDENT_MISMATCH = 0x5D, // 93: identd gave another user id
};

// SOCKS4a: a request for address 0.0.0.x (x not 0) carries a host name after the user id, for the
// proxy to resolve. Clients send 0.0.0.1.
const unsigned SOCKS4A_PLACEHOLDER = 0x00000001;

// SOCKS5 methods, and the user name and password sub-negotiation.
enum
{
    SOCKS5_METHOD_NONE = 0x00,
    SOCKS5_METHOD_USERPASS = 0x02,
    SOCKS5_METHOD_REFUSED = 0xFF,
    SOCKS5_AUTH_VERSION = 0x01,
    SOCKS5_AUTH_SUCCESS = 0x00,
    SOCKS5_AUTH_FAILURE = 0x01,
};

// SOCKS5 commands, address types and reply codes.
enum
{
    SOCKS5_CMD_CONNECT = 1,
    SOCKS5_CMD_BIND = 2,
    SOCKS5_CMD_UDP_ASSOCIATE = 3,

    SOCKS5_RESERVED = 0x00, // the byte after the command or reply code

    SOCKS5_ATYP_IPV4 = 1,
    SOCKS5_ATYP_NAME = 3,
    SOCKS5_ATYP_IPV6 = 4,

    SOCKS5_REP_SUCCEEDED = 0x00,
    SOCKS5_REP_SERVER_FAILURE = 0x01,
    SOCKS5_REP_NOT_ALLOWED = 0x02,
    SOCKS5_REP_NETWORK_UNREACHABLE = 0x03,
    SOCKS5_REP_HOST_UNREACHABLE = 0x04,
    SOCKS5_REP_CONNECTION_REFUSED = 0x05,
    SOCKS5_REP_TTL_EXPIRED = 0x06,
    SOCKS5_REP_COMMAND_NOT_SUPPORTED = 0x07,
    SOCKS5_REP_ADDRTYPE_NOT_SUPPORTED = 0x08,
};

// The longest host name the SOCKS5 name form carries: its length is one byte.
const unsigned SOCKS5_MAX_NAME = 255;
