// SocketCalls.cpp (POSIX): the Windows Sockets calls over BSD sockets (see SocketInternals.h).
#include "platform/posix/SocketInternals.h"

#include <cstring>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>

namespace
{

int RecvCommon(SOCKET s, char* pBuf, int nLen, int nFlags, sockaddr* pFrom, int* pnFromLen)
{
    if (nLen < 0 || (pFrom && (!pnFromLen || *pnFromLen < (int)sizeof(sockaddr_in))))
        return SockFail(WSAEFAULT);
    CSocketUse use(s);
    if (!use.IsValid())
        return SockFail(WSAENOTSOCK);
    bool bNoWait = (nFlags & RECV_NO_WAIT) != 0;
    iovec iov;
    iov.iov_base = pBuf;
    iov.iov_len = (size_t)nLen;
    msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n;
    int nErrno = 0;
    for (;;)
    {
        if (pFrom)
        {
            msg.msg_name = pFrom;
            msg.msg_namelen = (socklen_t)*pnFromLen;
        }
        n = recvmsg(use.Fd(), &msg, (nFlags & ~RECV_NO_WAIT) | MSG_DONTWAIT);
        if (n >= 0)
            break;
        nErrno = errno;
        if (use.IsClosing() || (nErrno != EINTR && (nErrno != EAGAIN || bNoWait)))
            break;
        if (nErrno == EAGAIN && !WaitForEvents(use, POLLIN))
        {
            nErrno = errno;
            break;
        }
    }
    if (use.Leave() && n <= 0)
        return SockFailCancelled();
    if (n < 0)
        return SockFailErrno(nErrno);
    // A datagram longer than the buffer: Winsock fills the buffer, drops the rest and fails.
    if (msg.msg_flags & MSG_TRUNC)
        return SockFail(WSAEMSGSIZE);
    if (pFrom)
        *pnFromLen = (int)msg.msg_namelen;
    return (int)n;
}

// A send without SEND_NO_WAIT behaves as a blocking Winsock send: a stream send returns once the
// whole buffer is queued. With the flag it takes what the socket takes now.
int SendCommon(SOCKET s, const char* pBuf, int nLen, int nFlags, const sockaddr* pTo, int nToLen)
{
    if (nLen < 0)
        return SockFail(WSAEFAULT);
    CSocketUse use(s);
    if (!use.IsValid())
        return SockFail(WSAENOTSOCK);
    bool bNoWait = (nFlags & SEND_NO_WAIT) != 0;
    // MSG_NOSIGNAL: a peer that went away must give an error, never SIGPIPE.
    int nSysFlags = (nFlags & ~SEND_NO_WAIT) | MSG_NOSIGNAL | MSG_DONTWAIT;
    int nDone = 0;
    int nErrno = 0;
    for (;;)
    {
        ssize_t n = pTo ? sendto(use.Fd(), pBuf + nDone, (size_t)(nLen - nDone), nSysFlags, pTo, (socklen_t)nToLen)
                        : send(use.Fd(), pBuf + nDone, (size_t)(nLen - nDone), nSysFlags);
        if (n >= 0)
        {
            nDone += (int)n;
            if (bNoWait || pTo || nDone >= nLen)
                break;
        }
        else
        {
            nErrno = errno;
            if (nErrno != EINTR && (nErrno != EAGAIN || bNoWait))
                break;
            nErrno = 0;
        }
        if (use.IsClosing())
            break;
        if (!WaitForEvents(use, POLLOUT))
        {
            nErrno = errno;
            break;
        }
    }
    bool bClosing = use.Leave();
    // What went out is reported even when a later part failed: the caller counts every byte sent.
    bool bComplete = nErrno == 0 && (bNoWait || pTo || nDone >= nLen);
    if (bComplete || nDone > 0)
        return nDone;
    if (bClosing || nErrno == 0)
        return SockFailCancelled();
    return SockFailErrno(nErrno);
}

} // namespace

SOCKET SysExchangeSocket(volatile SOCKET* pHandle, SOCKET hNew)
{
    return __atomic_exchange_n(pHandle, hNew, __ATOMIC_SEQ_CST);
}

SOCKET SysLoadSocket(const volatile SOCKET* pHandle)
{
    return __atomic_load_n(pHandle, __ATOMIC_ACQUIRE);
}

void SysRaiseFlag(volatile int32_t* pFlag)
{
    __atomic_store_n(pFlag, 1, __ATOMIC_SEQ_CST);
}

bool SysIsFlagRaised(const volatile int32_t* pFlag)
{
    return __atomic_load_n(pFlag, __ATOMIC_ACQUIRE) != 0;
}

SOCKET SysSocket(int af, int type, int protocol)
{
    int fd = socket(af, type | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
    if (fd < 0)
    {
        SockFailErrno(errno);
        return INVALID_SOCKET;
    }
    return InstallSocket(fd);
}

int SysCloseSocket(SOCKET s)
{
    CSocketUse use(s);
    if (!use.IsValid())
        return SockFail(WSAENOTSOCK);
    SSlot* pSlot = use.Slot();
    uint64_t nState = pSlot->nState.load(std::memory_order_acquire);
    for (;;)
    {
        if (nState & SLOT_CLOSING)
        {
            use.Leave(); // another thread's close of this handle won
            return SockFail(WSAENOTSOCK);
        }
        if (pSlot->nState.compare_exchange_weak(nState, nState | SLOT_CLOSING, std::memory_order_acq_rel))
            break;
    }
    // Other calls are in flight on it: wake them all. The shutdown state stays on the socket, so a
    // call that took its hold but has not yet entered the system returns at once too. With no other
    // call in flight the plain close below keeps the system's own close behaviour (linger, reset).
    if ((nState & SLOT_BUSY_MASK) > 1)
        shutdown(use.Fd(), SHUT_RDWR);
    use.Leave();
    return 0;
}

// A connect that a close from another thread can always cancel: the descriptor is non-blocking,
// so connect() returns at once and the wait happens in poll, which the close's shutdown wakes even
// when it landed before the wait began.
int SysConnect(SOCKET s, const sockaddr* pAddr, int nLen)
{
    CSocketUse use(s);
    if (!use.IsValid())
        return SockFail(WSAENOTSOCK);
    int fd = use.Fd();
    int nErrno = 0;
    if (connect(fd, pAddr, (socklen_t)nLen) < 0)
    {
        nErrno = errno;
        if (nErrno == EINPROGRESS || nErrno == EINTR)
        {
            pollfd pfd;
            pfd.fd = fd;
            pfd.events = POLLOUT;
            int nPoll;
            do
                nPoll = poll(&pfd, 1, -1);
            while (nPoll < 0 && errno == EINTR && !use.IsClosing());
            nErrno = 0;
            socklen_t nErrLen = sizeof(nErrno);
            // Writable without an error or hang-up: connected, nothing to ask the socket.
            if (nPoll < 0)
                nErrno = errno;
            else if ((pfd.revents & (POLLERR | POLLHUP)) != 0 || (pfd.revents & POLLOUT) == 0)
            {
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &nErrno, &nErrLen) < 0)
                    nErrno = errno;
            }
        }
    }
    bool bClosing = use.Leave();
    if (bClosing)
        return SockFailCancelled();
    if (nErrno != 0)
        return SockFailErrno(nErrno);
    return 0;
}

int SysRecv(SOCKET s, char* pBuf, int nLen, int nFlags)
{
    return RecvCommon(s, pBuf, nLen, nFlags, nullptr, nullptr);
}

int SysRecvFrom(SOCKET s, char* pBuf, int nLen, int nFlags, sockaddr* pFrom, int* pnFromLen)
{
    return RecvCommon(s, pBuf, nLen, nFlags, pFrom, pnFromLen);
}

int SysSend(SOCKET s, const char* pBuf, int nLen, int nFlags)
{
    return SendCommon(s, pBuf, nLen, nFlags, nullptr, 0);
}

int SysSendTo(SOCKET s, const char* pBuf, int nLen, int nFlags, const sockaddr* pTo, int nToLen)
{
    return SendCommon(s, pBuf, nLen, nFlags, pTo, nToLen);
}

// Winsock lets a listener bind again at once to a port whose earlier connections still linger in
// TIME_WAIT; Linux needs SO_REUSEADDR for that, and still refuses a port with a live listener.
// Datagram sockets keep the strict rule: two relays must never share a port.
int SysBind(SOCKET s, const sockaddr* pAddr, int nLen)
{
    CSocketUse use(s);
    if (!use.IsValid())
        return SockFail(WSAENOTSOCK);
    int nType = 0;
    socklen_t nTypeLen = sizeof(nType);
    if (getsockopt(use.Fd(), SOL_SOCKET, SO_TYPE, &nType, &nTypeLen) == 0 && nType == SOCK_STREAM)
    {
        int nOn = 1;
        setsockopt(use.Fd(), SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    }
    int nResult = bind(use.Fd(), pAddr, (socklen_t)nLen);
    return nResult < 0 ? SockFailErrno(errno) : 0;
}

// A listener blocks in accept itself: a quiet listener then costs one system call per client
// instead of a try, a wait and a second try. The close's shutdown wakes the blocked accept.
int SysListen(SOCKET s, int nBacklog)
{
    CSocketUse use(s);
    if (!use.IsValid())
        return SockFail(WSAENOTSOCK);
    int nMode = fcntl(use.Fd(), F_GETFL);
    if (nMode < 0 || fcntl(use.Fd(), F_SETFL, nMode & ~O_NONBLOCK) < 0)
        return SockFailErrno(errno);
    return listen(use.Fd(), nBacklog) < 0 ? SockFailErrno(errno) : 0;
}

SOCKET SysAccept(SOCKET s, sockaddr* pAddr, int* pnLen)
{
    if (pAddr && (!pnLen || *pnLen < (int)sizeof(sockaddr_in)))
    {
        SockFail(WSAEFAULT);
        return INVALID_SOCKET;
    }
    CSocketUse use(s);
    if (!use.IsValid())
    {
        SockFail(WSAENOTSOCK);
        return INVALID_SOCKET;
    }
    socklen_t nLen = pnLen ? (socklen_t)*pnLen : 0;
    int fd;
    for (;;)
    {
        fd = accept4(use.Fd(), pAddr, pAddr ? &nLen : nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0 || use.IsClosing() || (errno != EINTR && errno != EAGAIN))
            break;
        if (errno == EAGAIN && !WaitForEvents(use, POLLIN))
            break;
    }
    int nErrno = errno;
    bool bClosing = use.Leave();
    if (fd < 0)
    {
        if (bClosing)
            SockFailCancelled();
        else
            SockFailErrno(nErrno);
        return INVALID_SOCKET;
    }
    if (pAddr)
        *pnLen = (int)nLen;
    return InstallSocket(fd);
}

int SysSetSockOpt(SOCKET s, int nLevel, int nName, const char* pValue, int nLen)
{
    CSocketUse use(s);
    if (!use.IsValid())
        return SockFail(WSAENOTSOCK);
    int nResult;
    if (nLevel == SOL_SOCKET && nName == SO_LINGER && nLen == 4 && pValue)
    {
        // Winsock's linger is two 16-bit fields; Linux's is two ints.
        uint16_t fields[2];
        memcpy(fields, pValue, sizeof(fields));
        linger lg;
        lg.l_onoff = fields[0];
        lg.l_linger = fields[1];
        nResult = setsockopt(use.Fd(), nLevel, nName, &lg, sizeof(lg));
    }
    else
        nResult = setsockopt(use.Fd(), nLevel, nName, pValue, (socklen_t)nLen);
    return nResult < 0 ? SockFailErrno(errno) : 0;
}

int SysGetSockName(SOCKET s, sockaddr* pAddr, int* pnLen)
{
    CSocketUse use(s);
    if (!use.IsValid())
        return SockFail(WSAENOTSOCK);
    socklen_t nLen = (socklen_t)*pnLen;
    if (getsockname(use.Fd(), pAddr, &nLen) < 0)
        return SockFailErrno(errno);
    *pnLen = (int)nLen;
    return 0;
}

int SysGetPeerName(SOCKET s, sockaddr* pAddr, int* pnLen)
{
    CSocketUse use(s);
    if (!use.IsValid())
        return SockFail(WSAENOTSOCK);
    socklen_t nLen = (socklen_t)*pnLen;
    if (getpeername(use.Fd(), pAddr, &nLen) < 0)
        return SockFailErrno(errno);
    *pnLen = (int)nLen;
    return 0;
}

bool SysSocketsStartup(int* pnMajor, int* pnMinor)
{
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max)
    {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    *pnMajor = 1;
    *pnMinor = 1;
    return true;
}

void SysSocketsCleanup() {}
