// ErrorCode.h: the 32-bit error code thrown by the socket layer and the proxy engine.
//
// A failure is thrown as a plain uint32_t: the Windows Sockets error in force right after the
// failing call in the high 16 bits, a condition code naming what failed in the low 16 bits. The
// value 0 is an orderly end: the engine throws it to unwind a session that simply finished.
// Codes are built here and nowhere else.
#pragma once

#include <cstdint>

// Conditions of the socket layer (1 to 15) and of the proxy engine (16 to 22; their Windows
// Sockets half is always 0).
enum EErrorCondition
{
    COND_CREATE_SOCKET = 1,
    COND_CONNECT = 2,
    COND_SELECT_TIMEOUT = 3,
    COND_SELECT = 4,
    COND_SEND_0 = 5,
    COND_SEND = 6,
    COND_CONNECTION_CLOSED = 7,
    COND_RECEIVE = 8,
    COND_RESOLVE = 9,
    COND_BIND = 10,
    COND_LISTEN = 11,
    COND_ACCEPT = 12,
    COND_GET_SOCK_NAME = 13,
    COND_GET_PEER_NAME = 14,
    COND_LINGER = 15,

    COND_SOCKS_NEGOTIATE = 16,
    COND_SOCKS_AUTH = 17,
    COND_METHOD_NOT_ALLOWED = 18,
    COND_RULESET = 19,
    COND_VERSION_NOT_ALLOWED = 20,
    COND_ADDRESS_TYPE = 21,
    COND_SERVER = 22,
};

inline uint32_t MakeErrorCode(int nWsaError, int nCondition)
{
    return ((uint32_t)nWsaError & 0xFFFFu) << 16 | ((uint32_t)nCondition & 0xFFFFu);
}

inline int ErrorWsa(uint32_t nCode)
{
    return (int)(nCode >> 16);
}

inline int ErrorCondition(uint32_t nCode)
{
    return (int)(nCode & 0xFFFFu);
}
