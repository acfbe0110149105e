// Sockets.cpp (POSIX): Windows Sockets semantics over BSD sockets.
//
// Three things differ from Winsock and are emulated here:
// - Closing a descriptor does not wake a thread blocked on it (poll, recv, accept, recvfrom all
//   stay blocked), and the number is handed to the very next socket() or open(), so a thread that
//   still holds it would act on a stranger's connection. Every SOCKET is therefore the descriptor
//   plus a generation, checked against a per-descriptor slot. A call holds the slot busy while it
//   runs; closing marks the slot, shuts the socket down (which wakes every blocked call at once) and
//   the last call to leave performs the real close(). A handle of an older generation fails with
//   WSAENOTSOCK and never reaches the descriptor.
// - select() cannot take descriptors above 1023: SysSelect is built on poll().
// - Failures carry errno values: one table turns them into Windows Sockets numbers.
#include "platform/Sockets.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

namespace
{

thread_local int t_nSocketError = 0;

int Fail(int nWsaError)
{
    t_nSocketError = nWsaError;
    return SOCKET_ERROR;
}

// The one errno-to-Windows-Sockets table.
struct SErrnoMap
{
    int nErrno;
    int nWsa;
};

const SErrnoMap g_errnoMap[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEINPROGRESS},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEAFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    // accept reports a queued connection that died of a protocol error as EPROTO, and one whose
    // network went away as ENONET: both are that connection's end, as Winsock would report them.
    {EPROTO, WSAECONNABORTED},
    {ENONET, WSAENETUNREACH},
    {ECONNRESET, WSAECONNRESET},
    // Nothing here shuts a socket down for sending except a close, so EPIPE means that the peer
    // reset or closed the connection: Winsock reports that as a reset.
    {EPIPE, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

// Unknown values pass through unchanged: a small number in a text still names its cause.
int WsaFromErrno(int nErrno)
{
    for (const SErrnoMap& m : g_errnoMap)
    {
        if (m.nErrno == nErrno)
            return m.nWsa;
    }
    return nErrno;
}

int FailErrno(int nErrno)
{
    return Fail(WsaFromErrno(nErrno));
}

// ---------------------------------------------------------------------------------------------
// Descriptor slots. One 64-bit word per descriptor: generation (high 32 bits), open and closing
// flags, and the number of calls in flight on it. The table is chunked and chunks are never freed
// or moved, so a reader needs no lock: it loads the chunk pointer and works on the word with
// atomics. Sized for a million descriptors, far above any hard limit the proxy meets.
const uint64_t SLOT_BUSY_MASK = (1ull << 30) - 1;
const uint64_t SLOT_CLOSING = 1ull << 30;
const uint64_t SLOT_OPEN = 1ull << 31;

struct SSlot
{
    std::atomic<uint64_t> nState;
};

const int SLOT_CHUNK_BITS = 10;
const int SLOT_CHUNK = 1 << SLOT_CHUNK_BITS;
const int SLOT_CHUNKS = 1024;

std::atomic<SSlot*> g_slotChunks[SLOT_CHUNKS];

SSlot* FindSlot(int fd)
{
    if (fd < 0 || fd >= SLOT_CHUNK * SLOT_CHUNKS)
        return nullptr;
    SSlot* pChunk = g_slotChunks[fd >> SLOT_CHUNK_BITS].load(std::memory_order_acquire);
    return pChunk ? &pChunk[fd & (SLOT_CHUNK - 1)] : nullptr;
}

SSlot* MakeSlot(int fd)
{
    if (fd < 0 || fd >= SLOT_CHUNK * SLOT_CHUNKS)
        return nullptr;
    std::atomic<SSlot*>& chunk = g_slotChunks[fd >> SLOT_CHUNK_BITS];
    SSlot* pChunk = chunk.load(std::memory_order_acquire);
    if (!pChunk)
    {
        SSlot* pNew = new SSlot[SLOT_CHUNK]();
        if (chunk.compare_exchange_strong(pChunk, pNew, std::memory_order_acq_rel))
            pChunk = pNew;
        else
            delete[] pNew; // another thread published this chunk first; pChunk holds it
    }
    return &pChunk[fd & (SLOT_CHUNK - 1)];
}

inline int HandleFd(SOCKET s)
{
    return (int)(uint32_t)s;
}

inline uint32_t HandleGeneration(SOCKET s)
{
    return (uint32_t)(s >> 32);
}

// Gives a fresh descriptor (from socket or accept) its handle. The slot is free: its last close
// marked it free before the number was released to the system.
SOCKET InstallSocket(int fd)
{
    SSlot* pSlot = MakeSlot(fd);
    if (!pSlot)
    {
        close(fd);
        Fail(WSAEMFILE);
        return INVALID_SOCKET;
    }
    uint32_t nGeneration = (uint32_t)(pSlot->nState.load(std::memory_order_relaxed) >> 32) + 1;
    if (nGeneration == 0)
        nGeneration = 1;
    pSlot->nState.store(((uint64_t)nGeneration << 32) | SLOT_OPEN, std::memory_order_release);
    return ((uint64_t)nGeneration << 32) | (uint32_t)fd;
}

// One call's hold on a handle: while it exists the descriptor cannot be closed under it.
class CSocketUse
{
public:
    CSocketUse() : pSlot(nullptr), fd(-1) {}
    explicit CSocketUse(SOCKET s) : pSlot(nullptr), fd(-1) { Enter(s); }

    // Takes the hold; false when the handle is invalid, stale or being closed.
    bool Enter(SOCKET s)
    {
        if (s == INVALID_SOCKET)
            return false;
        SSlot* p = FindSlot(HandleFd(s));
        if (!p)
            return false;
        uint64_t nState = p->nState.load(std::memory_order_acquire);
        for (;;)
        {
            if ((uint32_t)(nState >> 32) != HandleGeneration(s) || !(nState & SLOT_OPEN) ||
                (nState & SLOT_CLOSING))
                return false;
            if (p->nState.compare_exchange_weak(nState, nState + 1, std::memory_order_acq_rel))
                break;
        }
        pSlot = p;
        fd = HandleFd(s);
        return true;
    }

    ~CSocketUse() { Leave(); }

    bool IsValid() const { return pSlot != nullptr; }
    int Fd() const { return fd; }
    SSlot* Slot() const { return pSlot; }

    bool IsClosing() const { return (pSlot->nState.load(std::memory_order_acquire) & SLOT_CLOSING) != 0; }

    // Ends the hold; true when the handle was closed meanwhile. The last call to leave a closed
    // slot marks it free first and only then releases the number: once close() returns, the next
    // socket() may install the same descriptor in this slot.
    bool Leave()
    {
        if (!pSlot)
            return false;
        uint64_t nState = pSlot->nState.fetch_sub(1, std::memory_order_acq_rel) - 1;
        bool bClosing = (nState & SLOT_CLOSING) != 0;
        if (bClosing && (nState & SLOT_BUSY_MASK) == 0)
        {
            pSlot->nState.store(nState & ~(SLOT_OPEN | SLOT_CLOSING), std::memory_order_release);
            close(fd);
        }
        pSlot = nullptr;
        return bClosing;
    }

private:
    CSocketUse(const CSocketUse&) = delete;
    CSocketUse& operator=(const CSocketUse&) = delete;
    SSlot* pSlot;
    int fd;
};

// The result of a call that ran while its handle was closed by another thread: it fails, as a
// blocking Winsock call fails when closesocket cancels it.
int FailCancelled()
{
    return Fail(WSAEINTR);
}

int RecvCommon(SOCKET s, char* pBuf, int nLen, int nFlags, sockaddr* pFrom, int* pnFromLen)
{
    if (nLen < 0 || (pFrom && (!pnFromLen || *pnFromLen < (int)sizeof(sockaddr_in))))
        return Fail(WSAEFAULT);
    CSocketUse use(s);
    if (!use.IsValid())
        return Fail(WSAENOTSOCK);
    iovec iov;
    iov.iov_base = pBuf;
    iov.iov_len = (size_t)nLen;
    msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (pFrom)
    {
        msg.msg_name = pFrom;
        msg.msg_namelen = (socklen_t)*pnFromLen;
    }
    ssize_t n;
    do
        n = recvmsg(use.Fd(), &msg, nFlags);
    while (n < 0 && errno == EINTR && !use.IsClosing());
    int nErrno = errno;
    if (use.Leave() && n <= 0)
        return FailCancelled();
    if (n < 0)
        return FailErrno(nErrno);
    // A datagram longer than the buffer: Winsock fills the buffer, drops the rest and fails.
    if (msg.msg_flags & MSG_TRUNC)
        return Fail(WSAEMSGSIZE);
    if (pFrom)
        *pnFromLen = (int)msg.msg_namelen;
    return (int)n;
}

int SendCommon(SOCKET s, const char* pBuf, int nLen, int nFlags, const sockaddr* pTo, int nToLen)
{
    if (nLen < 0)
        return Fail(WSAEFAULT);
    CSocketUse use(s);
    if (!use.IsValid())
        return Fail(WSAENOTSOCK);
    ssize_t n;
    // MSG_NOSIGNAL: a peer that went away must give an error, never SIGPIPE.
    do
        n = pTo ? sendto(use.Fd(), pBuf, (size_t)nLen, nFlags | MSG_NOSIGNAL, pTo, (socklen_t)nToLen)
                : send(use.Fd(), pBuf, (size_t)nLen, nFlags | MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR && !use.IsClosing());
    int nErrno = errno;
    if (use.Leave() && n < 0)
        return FailCancelled();
    if (n < 0)
        return FailErrno(nErrno);
    return (int)n;
}

// Milliseconds left until the deadline (-1: none).
int RemainingMs(int64_t nDeadline)
{
    if (nDeadline < 0)
        return -1;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t nNow = (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
    return nDeadline > nNow ? (int)(nDeadline - nNow) : 0;
}

int64_t DeadlineAfter(const timeval* pTimeout)
{
    if (!pTimeout)
        return -1;
    int64_t nMs = (int64_t)pTimeout->tv_sec * 1000 + (pTimeout->tv_usec + 999) / 1000;
    if (nMs < 0)
        nMs = 0;
    if (nMs > INT_MAX)
        nMs = INT_MAX;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000 + nMs;
}

} // namespace

// ---------------------------------------------------------------------------------------------
void SockSetClear(SOCKSET* pSet)
{
    pSet->fd_count = 0;
}

void SockSetAdd(SOCKSET* pSet, SOCKET s)
{
    if (SockSetHas(pSet, s) || pSet->fd_count >= SOCKSET_SIZE)
        return;
    pSet->fd_array[pSet->fd_count++] = s;
}

bool SockSetHas(const SOCKSET* pSet, SOCKET s)
{
    for (unsigned i = 0; i < pSet->fd_count; i++)
    {
        if (pSet->fd_array[i] == s)
            return true;
    }
    return false;
}

int SysGetSocketError()
{
    return t_nSocketError;
}

void SysSetSocketError(int nError)
{
    t_nSocketError = nError;
}

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
            t_nSocketError = WSAHOST_NOT_FOUND;
            break;
        case EAI_AGAIN:
            t_nSocketError = WSATRY_AGAIN;
            break;
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
#endif
            t_nSocketError = WSANO_DATA;
            break;
        case EAI_MEMORY:
            t_nSocketError = WSAENOBUFS;
            break;
        case EAI_SYSTEM:
            t_nSocketError = WsaFromErrno(errno);
            break;
        default:
            t_nSocketError = WSANO_RECOVERY;
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
        t_nSocketError = WSANO_DATA;
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

SOCKET SysSocket(int af, int type, int protocol)
{
    int fd = socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0)
    {
        FailErrno(errno);
        return INVALID_SOCKET;
    }
    return InstallSocket(fd);
}

int SysCloseSocket(SOCKET s)
{
    CSocketUse use(s);
    if (!use.IsValid())
        return Fail(WSAENOTSOCK);
    SSlot* pSlot = use.Slot();
    uint64_t nState = pSlot->nState.load(std::memory_order_acquire);
    for (;;)
    {
        if (nState & SLOT_CLOSING)
        {
            use.Leave(); // another thread's close of this handle won
            return Fail(WSAENOTSOCK);
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

// A blocking connect that a close from another thread can always cancel: a shutdown that lands
// before connect() has entered the system would not stop a blocking connect, but it does make the
// poll below return at once.
int SysConnect(SOCKET s, const sockaddr* pAddr, int nLen)
{
    CSocketUse use(s);
    if (!use.IsValid())
        return Fail(WSAENOTSOCK);
    int fd = use.Fd();
    int nFlags = fcntl(fd, F_GETFL);
    if (nFlags < 0 || fcntl(fd, F_SETFL, nFlags | O_NONBLOCK) < 0)
        return FailErrno(errno);
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
            if (nPoll < 0)
                nErrno = errno;
            else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &nErrno, &nErrLen) < 0)
                nErrno = errno;
        }
    }
    fcntl(fd, F_SETFL, nFlags);
    bool bClosing = use.Leave();
    if (bClosing)
        return FailCancelled();
    if (nErrno != 0)
        return FailErrno(nErrno);
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

// select over poll: any descriptor number, the sets rewritten to the ready handles and the total
// count returned, as Winsock does. A handle closed by another thread during the wait makes the
// call fail rather than report it ready.
namespace
{
// The select of at most CAPACITY handles. Every session thread waits in here with one or two
// handles for as long as its tunnel lives, and the stack pages a thread has touched stay
// resident: the arrays for a full SOCKSET would make each of thousands of idle tunnels keep a
// page more of stack, so small waits take a small frame.
template <int CAPACITY> __attribute__((noinline)) int SelectUpTo(SOCKSET* sets[3], const timeval* pTimeout)
{
    const short events[3] = {POLLIN, POLLOUT, POLLPRI};
    pollfd pfds[CAPACITY];
    SOCKET handles[CAPACITY];
    int nPoll = 0;
    for (int k = 0; k < 3; k++)
    {
        if (!sets[k])
            continue;
        for (unsigned i = 0; i < sets[k]->fd_count && i < SOCKSET_SIZE; i++)
        {
            SOCKET s = sets[k]->fd_array[i];
            int j = 0;
            while (j < nPoll && handles[j] != s)
                j++;
            if (j == nPoll)
            {
                handles[nPoll] = s;
                pfds[nPoll].fd = HandleFd(s);
                pfds[nPoll].events = 0;
                pfds[nPoll].revents = 0;
                nPoll++;
            }
            pfds[j].events |= events[k];
        }
    }
    if (nPoll == 0)
        return Fail(WSAEINVAL);

    // Hold every handle for the whole wait, so that none can be closed and reused under poll.
    CSocketUse holds[CAPACITY];
    bool bStale = false;
    for (int i = 0; i < nPoll && !bStale; i++)
        bStale = !holds[i].Enter(handles[i]);

    int nResult = 0;
    int nErrno = 0;
    if (!bStale)
    {
        int64_t nDeadline = DeadlineAfter(pTimeout);
        for (;;)
        {
            nResult = poll(pfds, (nfds_t)nPoll, RemainingMs(nDeadline));
            if (nResult >= 0 || errno != EINTR)
                break;
            bool bClosing = false;
            for (int i = 0; i < nPoll; i++)
                bClosing = bClosing || holds[i].IsClosing();
            if (bClosing)
                break;
        }
        nErrno = nResult < 0 ? errno : 0;
    }
    bool bCancelled = false;
    for (int i = 0; i < nPoll; i++)
    {
        if (holds[i].Leave())
            bCancelled = true;
    }
    if (bStale)
        return Fail(WSAENOTSOCK);
    if (bCancelled)
        return FailCancelled();
    if (nResult < 0)
        return FailErrno(nErrno);

    int nReady = 0;
    for (int k = 0; k < 3; k++)
    {
        if (!sets[k])
            continue;
        unsigned nKept = 0;
        for (unsigned i = 0; i < sets[k]->fd_count && i < SOCKSET_SIZE; i++)
        {
            SOCKET s = sets[k]->fd_array[i];
            int j = 0;
            while (handles[j] != s)
                j++;
            short r = pfds[j].revents;
            // Winsock calls a socket readable when a read would not block: data, a pending
            // connection, or a closed or reset connection; writable likewise when a send would
            // fail at once rather than wait.
            bool bReady = k == 0   ? (r & (POLLIN | POLLHUP | POLLERR)) != 0
                          : k == 1 ? (r & (POLLOUT | POLLHUP | POLLERR)) != 0
                                   : (r & (POLLPRI | POLLERR)) != 0;
            if (bReady)
                sets[k]->fd_array[nKept++] = s;
        }
        sets[k]->fd_count = nKept;
        nReady += (int)nKept;
    }
    t_nSocketError = 0;
    return nReady;
}
} // namespace

int SysSelect(int nfds, SOCKSET* pRead, SOCKSET* pWrite, SOCKSET* pExcept, const timeval* pTimeout)
{
    SOCKSET* sets[3] = {pRead, pWrite, pExcept};
    unsigned nTotal = 0;
    for (SOCKSET* pSet : sets)
    {
        if (pSet)
            nTotal += pSet->fd_count < SOCKSET_SIZE ? pSet->fd_count : SOCKSET_SIZE;
    }
    if (nTotal <= 4)
        return SelectUpTo<4>(sets, pTimeout);
    return SelectUpTo<3 * SOCKSET_SIZE>(sets, pTimeout);
}

// Winsock lets a listener bind again at once to a port whose earlier connections still linger in
// TIME_WAIT; Linux needs SO_REUSEADDR for that, and still refuses a port with a live listener.
// Datagram sockets keep the strict rule: two relays must never share a port.
int SysBind(SOCKET s, const sockaddr* pAddr, int nLen)
{
    CSocketUse use(s);
    if (!use.IsValid())
        return Fail(WSAENOTSOCK);
    int nType = 0;
    socklen_t nTypeLen = sizeof(nType);
    if (getsockopt(use.Fd(), SOL_SOCKET, SO_TYPE, &nType, &nTypeLen) == 0 && nType == SOCK_STREAM)
    {
        int nOn = 1;
        setsockopt(use.Fd(), SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    }
    int nResult = bind(use.Fd(), pAddr, (socklen_t)nLen);
    return nResult < 0 ? FailErrno(errno) : 0;
}

int SysListen(SOCKET s, int nBacklog)
{
    CSocketUse use(s);
    if (!use.IsValid())
        return Fail(WSAENOTSOCK);
    return listen(use.Fd(), nBacklog) < 0 ? FailErrno(errno) : 0;
}

SOCKET SysAccept(SOCKET s, sockaddr* pAddr, int* pnLen)
{
    if (pAddr && (!pnLen || *pnLen < (int)sizeof(sockaddr_in)))
    {
        Fail(WSAEFAULT);
        return INVALID_SOCKET;
    }
    CSocketUse use(s);
    if (!use.IsValid())
    {
        Fail(WSAENOTSOCK);
        return INVALID_SOCKET;
    }
    socklen_t nLen = pnLen ? (socklen_t)*pnLen : 0;
    int fd;
    do
        fd = accept4(use.Fd(), pAddr, pAddr ? &nLen : nullptr, SOCK_CLOEXEC);
    while (fd < 0 && errno == EINTR && !use.IsClosing());
    int nErrno = errno;
    bool bClosing = use.Leave();
    if (fd < 0)
    {
        if (bClosing)
            FailCancelled();
        else
            FailErrno(nErrno);
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
        return Fail(WSAENOTSOCK);
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
    return nResult < 0 ? FailErrno(errno) : 0;
}

int SysGetSockName(SOCKET s, sockaddr* pAddr, int* pnLen)
{
    CSocketUse use(s);
    if (!use.IsValid())
        return Fail(WSAENOTSOCK);
    socklen_t nLen = (socklen_t)*pnLen;
    if (getsockname(use.Fd(), pAddr, &nLen) < 0)
        return FailErrno(errno);
    *pnLen = (int)nLen;
    return 0;
}

int SysGetPeerName(SOCKET s, sockaddr* pAddr, int* pnLen)
{
    CSocketUse use(s);
    if (!use.IsValid())
        return Fail(WSAENOTSOCK);
    socklen_t nLen = (socklen_t)*pnLen;
    if (getpeername(use.Fd(), pAddr, &nLen) < 0)
        return FailErrno(errno);
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
