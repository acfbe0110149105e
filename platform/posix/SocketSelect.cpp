// SocketSelect.cpp (POSIX): select over poll, and the wait of a call that would block.
//
// Any descriptor number, the sets rewritten to the ready handles and the total count returned, as
// Winsock does. A handle closed by another thread during the wait makes the call fail rather than
// report it ready. Time-outs are measured on the one monotonic clock of the platform (SysTicksMs).
#include "platform/posix/SocketInternals.h"

#include <climits>
#include <errno.h>
#include <poll.h>

namespace
{

// Milliseconds left until the deadline (-1: none).
int RemainingMs(int64_t nDeadline)
{
    if (nDeadline < 0)
        return -1;
    int64_t nNow = (int64_t)SysTicksMs();
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
    return (int64_t)SysTicksMs() + nMs;
}

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
        return SockFail(WSAEINVAL);

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
        return SockFail(WSAENOTSOCK);
    if (bCancelled)
        return SockFailCancelled();
    if (nResult < 0)
        return SockFailErrno(nErrno);

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
    SysSetSocketError(0);
    return nReady;
}

} // namespace

bool WaitForEvents(const CSocketUse& use, short nEvents)
{
    pollfd pfd;
    pfd.fd = use.Fd();
    pfd.events = nEvents;
    pfd.revents = 0;
    return poll(&pfd, 1, -1) >= 0 || errno == EINTR;
}

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
