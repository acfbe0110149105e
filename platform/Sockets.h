// Sockets.h: the socket functions of the platform, with Windows Sockets names and signatures.
//
// On Windows these are the Windows Sockets functions themselves. On POSIX they emulate them over
// BSD sockets: handles carry a generation, closing from another thread wakes every blocked call,
// every wait works for any descriptor number, and failures carry Windows Sockets error numbers.
#pragma once

#include <atomic>

#include "platform/Platform.h"

// Portable helpers for SOCKSET (FD_ZERO / FD_SET / FD_ISSET on Windows).
void SockSetClear(SOCKSET* pSet);
void SockSetAdd(SOCKSET* pSet, SOCKET s);
bool SockSetHas(const SOCKSET* pSet, SOCKET s);

// The calling thread's last Windows Sockets error (WSAGetLastError / WSASetLastError).
int SysGetSocketError();
void SysSetSocketError(int nError);

// Atomic exchange of a socket handle held in a record that several threads can reach, and the
// matching read: another thread may exchange the handle at any moment.
SOCKET SysExchangeSocket(volatile SOCKET* pHandle, SOCKET hNew);
SOCKET SysLoadSocket(const volatile SOCKET* pHandle);

// Stop flags (32-bit integers in the records) are raised by one thread and read by others
// without a lock: these keep both sides atomic.
void SysRaiseFlag(volatile int32_t* pFlag);
bool SysIsFlagRaised(const volatile int32_t* pFlag);

// Thread-safe IPv4 host-name lookup (gethostbyname on Windows): the first address of the list,
// in network order. False when the name has no IPv4 address; the socket error is then set.
bool SysLookupHost(const char* pszName, in_addr* pAddr);
// Stack reservation of a thread that calls SysLookupHost.
size_t SysLookupStackSize();
// The answer SysLookupHost would give for a name listed in the hosts file, without asking the
// resolver: reads only local files, never waits for the network, and so may run on any thread.
// True only when the answer is certain (the system consults that file first and lists exactly one
// IPv4 address for the name); false means "ask SysLookupHost". The paths default to the system's
// own files (tests pass others). Windows: always false.
bool SysLookupHostInFiles(const char* pszName, in_addr* pAddr, const char* pszHosts = nullptr,
                          const char* pszNsswitch = nullptr);

// A send flag of our own: send only what the socket's buffer takes at once, and fail with
// WSAEWOULDBLOCK instead of waiting when it takes nothing. A blocking send of a whole block waits
// until the last byte is queued, however long a peer that stopped reading takes; with this flag
// the caller waits for room again with its own time-out.
#ifdef _WIN32
const int SEND_NO_WAIT = 0x40000000; // outside the flags Windows Sockets defines
#else
const int SEND_NO_WAIT = MSG_DONTWAIT;
#endif
// The same for a receive: take what has arrived, or fail with WSAEWOULDBLOCK at once. Callers with
// a time-out of their own try the receive first and wait only when nothing is there yet.
const int RECV_NO_WAIT = SEND_NO_WAIT;

// One side of a relayed pair of stream sockets: its handle, how long a send to it may wait for
// room (milliseconds, -1: for ever), and the counter of the bytes received from it and sent to it.
struct SRelaySide
{
    SOCKET hSocket;
    int nSendTimeoutMs;
    std::atomic<uint64_t>* pTraffic;
};

// How SysRelayStreams returned.
enum ERelayEnd
{
    RELAY_UNAVAILABLE, // the platform has no relay of its own (Windows): the caller copies
    RELAY_ENDED,       // a side ended or failed, took nothing for its send time-out, or was closed
    RELAY_QUIET,       // nothing moved for nQuietMs and nothing is held: the tunnel stands, idle
};

// Relays bytes both ways between two connected stream sockets of the system socket functions,
// in the system's cheapest way, until either side ends or fails, a side takes no byte for its send
// time-out, or either handle is closed (which ends the relay at once, as it ends a blocked call).
// What a side sent before it ended still goes to the other within that side's send time-out. Each
// counter grows as its bytes move. With nQuietMs >= 0 it also returns once no byte has moved for
// that long; the relay holds nothing then, and a later call goes on where it left off.
ERelayEnd SysRelayStreams(const SRelaySide& a, const SRelaySide& b, int nQuietMs = -1);

// Watches two stream sockets, from one thread of the platform's for all watches, until either has
// data, an end or an error, or is closed from another thread; then calls pfnReady(pArg) once, on
// that thread (it must not block: typically it hands the work to a thread of its own). The watch
// holds both handles meanwhile, as a blocked call does. False when the platform has no watch or
// could not start one; pfnReady is not called then.
bool SysWatchStreams(SOCKET a, SOCKET b, void (*pfnReady)(void*), void* pArg);

// The Windows Sockets functions behind the default SSocketApi table (net/SocketApi.h).
SOCKET SysSocket(int af, int type, int protocol);
int SysCloseSocket(SOCKET s);
int SysConnect(SOCKET s, const sockaddr* pAddr, int nLen);
int SysRecv(SOCKET s, char* pBuf, int nLen, int nFlags);
int SysRecvFrom(SOCKET s, char* pBuf, int nLen, int nFlags, sockaddr* pFrom, int* pnFromLen);
int SysSend(SOCKET s, const char* pBuf, int nLen, int nFlags);
int SysSendTo(SOCKET s, const char* pBuf, int nLen, int nFlags, const sockaddr* pTo, int nToLen);
int SysSelect(int nfds, SOCKSET* pRead, SOCKSET* pWrite, SOCKSET* pExcept, const timeval* pTimeout);
int SysBind(SOCKET s, const sockaddr* pAddr, int nLen);
int SysListen(SOCKET s, int nBacklog);
SOCKET SysAccept(SOCKET s, sockaddr* pAddr, int* pnLen);
int SysSetSockOpt(SOCKET s, int nLevel, int nName, const char* pValue, int nLen);
int SysGetSockName(SOCKET s, sockaddr* pAddr, int* pnLen);
int SysGetPeerName(SOCKET s, sockaddr* pAddr, int* pnLen);

// Windows Sockets start-up (WSAStartup asking for 1.1, and WSACleanup). POSIX reports version 1.1
// granted; it raises the soft descriptor limit to the hard one, since a Winsock process has no
// 1024-handle ceiling and the proxy keeps two sockets per session.
bool SysSocketsStartup(int* pnMajor, int* pnMinor);
void SysSocketsCleanup();
