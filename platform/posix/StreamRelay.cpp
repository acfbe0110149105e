// StreamRelay.cpp (POSIX): the relay between two connected stream sockets.
//
// Through the proxy every byte crosses loopback twice; a relay that copies it through a buffer of
// its own adds two copies more, and a receive, a send and a wait per block. Here bulk data moves
// with splice() through a pipe per direction: the pages go from one socket's receive queue to the
// other's send queue without passing through user space. Every move is tried before the relay
// waits, and a side is waited for only after it said it would block: while both sides keep up, a
// busy tunnel costs two splices per pipe-full and no poll at all.
//
// Idle tunnels (there may be thousands) must not pay for the pipes: a direction starts by copying
// through a small block on the stack, and takes a pipe only when a receive fills that block (more
// is coming) or a send leaves part of a block behind (the pipe holds the rest while the peer
// catches up). A tunnel silent for a second gives its pipes back.
#include "platform/posix/SocketInternals.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>

namespace
{
const int COPY_BLOCK = 2048;
// What one splice into an empty pipe asks for: the pipe takes what fits.
const size_t SPLICE_ASK = 1 << 20;
const int IDLE_MS = 1000;
const int PIPE_BYTES = 256 * 1024;
const unsigned SPLICE_FLAGS = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;

enum EStep
{
    STEP_NONE,  // nothing to do, or the socket would block
    STEP_MOVED, // bytes moved: try again before waiting
    STEP_END,   // the side ended or failed: the tunnel ends
};

// One direction of the tunnel: from one side's socket to the other's.
struct SDirection
{
    int nFrom;
    int nTo;
    const SRelaySide* pFrom;
    const SRelaySide* pTo;
    int aPipe[2];       // -1 until the direction needs a pipe
    size_t nPiped;      // bytes in the pipe, not yet sent on
    bool bBulk;         // a receive filled the copy block: receives splice
    bool bReadable;     // false after a receive would block, until poll reports data
    bool bWritable;     // likewise for room to send
    int64_t nStalledMs; // when the pipe began to wait for room (-1: it does not wait)
};

void InitDirection(SDirection& d, int nFrom, int nTo, const SRelaySide& from, const SRelaySide& to)
{
    d.nFrom = nFrom;
    d.nTo = nTo;
    d.pFrom = &from;
    d.pTo = &to;
    d.aPipe[0] = d.aPipe[1] = -1;
    d.nPiped = 0;
    d.bBulk = false;
    // A fresh tunnel's sides have rarely sent anything yet (what came with the request was read
    // with it): the first move waits for data instead of trying a receive that would block.
    d.bReadable = false;
    d.bWritable = true;
    d.nStalledMs = -1;
}

void Count(const SRelaySide* pSide, ssize_t n)
{
    pSide->pTraffic->fetch_add((uint64_t)n, std::memory_order_relaxed);
}

bool WouldBlock(int nErrno)
{
    return nErrno == EAGAIN || nErrno == EWOULDBLOCK;
}

bool OpenPipe(SDirection& d)
{
    if (d.aPipe[0] >= 0)
        return true;
    if (pipe2(d.aPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    // A larger pipe moves more per splice; where the system refuses (a user over its pipe
    // allowance), the default size serves as well.
    fcntl(d.aPipe[0], F_SETPIPE_SZ, PIPE_BYTES);
    return true;
}

void ClosePipe(SDirection& d)
{
    if (d.aPipe[0] >= 0)
    {
        close(d.aPipe[0]);
        close(d.aPipe[1]);
    }
    d.aPipe[0] = d.aPipe[1] = -1;
    d.nPiped = 0;
    d.bBulk = false;
}

// Sends on what the pipe holds, as much as the receiving socket takes now.
EStep Drain(SDirection& d)
{
    EStep eStep = STEP_NONE;
    while (d.nPiped > 0 && d.bWritable)
    {
        ssize_t n = splice(d.aPipe[0], nullptr, d.nTo, nullptr, d.nPiped, SPLICE_FLAGS);
        if (n > 0)
        {
            Count(d.pTo, n);
            d.nPiped -= (size_t)n;
            d.nStalledMs = -1;
            eStep = STEP_MOVED;
        }
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && WouldBlock(errno))
            d.bWritable = false;
        else
            return STEP_END;
    }
    return eStep;
}

// Without a descriptor for a pipe the rest of a block waits here for room, as the copy loop's send
// does: the other direction waits meanwhile.
bool SendRest(SDirection& d, const char* pData, size_t nLength)
{
    int64_t nStart = (int64_t)SysTicksMs();
    while (nLength > 0)
    {
        ssize_t n = send(d.nTo, pData, nLength, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
        {
            Count(d.pTo, n);
            pData += n;
            nLength -= (size_t)n;
            nStart = (int64_t)SysTicksMs();
            continue;
        }
        if (n < 0 && errno != EINTR && !WouldBlock(errno))
            return false;
        int nLeft = -1;
        if (d.pTo->nSendTimeoutMs >= 0)
        {
            nLeft = (int)(d.pTo->nSendTimeoutMs - ((int64_t)SysTicksMs() - nStart));
            if (nLeft <= 0)
                return false;
        }
        pollfd pfd = {d.nTo, POLLOUT, 0};
        if (poll(&pfd, 1, nLeft) < 0 && errno != EINTR)
            return false;
    }
    return true;
}

// Takes the next data of the direction's source, when its pipe is empty: a splice into the pipe
// for bulk data, else a receive into the copy block that is sent on at once, whatever the socket
// does not take going into the pipe.
EStep Fill(SDirection& d, char* pBlock)
{
    if (d.nPiped > 0 || !d.bReadable)
        return STEP_NONE;
    if (d.bBulk)
    {
        ssize_t n = splice(d.nFrom, nullptr, d.aPipe[1], nullptr, SPLICE_ASK, SPLICE_FLAGS);
        if (n > 0)
        {
            Count(d.pFrom, n);
            d.nPiped = (size_t)n;
            return STEP_MOVED;
        }
        if (n < 0 && errno == EINTR)
            return STEP_MOVED;
        if (n < 0 && WouldBlock(errno))
        {
            d.bReadable = false;
            return STEP_NONE;
        }
        return STEP_END;
    }

    ssize_t n = recv(d.nFrom, pBlock, COPY_BLOCK, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR)
        return STEP_MOVED;
    if (n < 0 && WouldBlock(errno))
    {
        d.bReadable = false;
        return STEP_NONE;
    }
    if (n <= 0)
        return STEP_END;
    Count(d.pFrom, n);
    ssize_t nSent = send(d.nTo, pBlock, (size_t)n, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (nSent < 0 && !WouldBlock(errno) && errno != EINTR)
        return STEP_END;
    if (nSent < 0)
    {
        nSent = 0;
        d.bWritable = false;
    }
    if (nSent > 0)
        Count(d.pTo, nSent);
    if (nSent == n && n < COPY_BLOCK)
        return STEP_MOVED;
    if (!OpenPipe(d))
        return SendRest(d, pBlock + nSent, (size_t)(n - nSent)) ? STEP_MOVED : STEP_END;
    d.bBulk = n == COPY_BLOCK;
    if (nSent < n)
    {
        // An empty pipe always takes a block this small (it is below PIPE_BUF: written whole).
        ssize_t nKept = write(d.aPipe[1], pBlock + nSent, (size_t)(n - nSent));
        if (nKept != n - nSent)
            return STEP_END;
        d.nPiped = (size_t)nKept;
    }
    return STEP_MOVED;
}

// A splice into a socket whose peer has gone raises SIGPIPE (splice has no MSG_NOSIGNAL), and a
// Windows Sockets program never expects that signal: left at its default it would end the process.
// A handler the program installed itself stays.
bool IgnoreBrokenPipes()
{
    struct sigaction old;
    if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL && !(old.sa_flags & SA_SIGINFO))
        signal(SIGPIPE, SIG_IGN);
    return true;
}

} // namespace

ERelayEnd SysRelayStreams(const SRelaySide& a, const SRelaySide& b, int nQuietMs)
{
    // Both handles are held for the whole relay: neither descriptor can be closed and reused under
    // it, and a close from another thread shuts both ways down, which wakes the wait below.
    static const bool bSignalsReady = IgnoreBrokenPipes();
    (void)bSignalsReady;
    CSocketUse useA(a.hSocket);
    CSocketUse useB(b.hSocket);
    if (!useA.IsValid() || !useB.IsValid())
        return RELAY_ENDED;
    SDirection dirs[2];
    InitDirection(dirs[0], useA.Fd(), useB.Fd(), a, b);
    InitDirection(dirs[1], useB.Fd(), useA.Fd(), b, a);
    char block[COPY_BLOCK];
    bool bEnding = false; // a side ended: only what the pipes hold still moves
    for (;;)
    {
        bool bMoved = false;
        for (SDirection& d : dirs)
        {
            EStep eStep = Drain(d);
            if (eStep == STEP_END)
            {
                d.nPiped = 0; // its receiver failed: what it holds goes nowhere
                bEnding = true;
            }
            if (!bEnding && eStep != STEP_END)
            {
                EStep eFill = Fill(d, block);
                if (eFill == STEP_END)
                    bEnding = true;
                eStep = eFill == STEP_MOVED ? STEP_MOVED : eStep;
            }
            bMoved = bMoved || eStep == STEP_MOVED;
        }
        if (useA.IsClosing() || useB.IsClosing())
            break;
        if (bEnding && dirs[0].nPiped == 0 && dirs[1].nPiped == 0)
            break;
        if (bMoved)
            continue;

        // Nothing moved: wait for data where a pipe is empty and for room where one is not.
        pollfd pfds[2] = {{useA.Fd(), 0, 0}, {useB.Fd(), 0, 0}};
        int nWait = -1;
        bool bStalled = false;
        bool bTimedOut = false;
        int64_t nNow = (int64_t)SysTicksMs();
        for (int i = 0; i < 2; i++)
        {
            SDirection& d = dirs[i];
            if (d.nPiped == 0)
            {
                if (!bEnding)
                    pfds[i].events |= POLLIN;
                continue;
            }
            pfds[1 - i].events |= POLLOUT;
            bStalled = true;
            if (d.nStalledMs < 0)
                d.nStalledMs = nNow;
            if (d.pTo->nSendTimeoutMs < 0)
                continue;
            int64_t nLeft = d.pTo->nSendTimeoutMs - (nNow - d.nStalledMs);
            if (nLeft <= 0)
                bTimedOut = true; // the peer took nothing for its whole send time-out
            if (nWait < 0 || nLeft < nWait)
                nWait = (int)nLeft;
        }
        if (bTimedOut)
            break;
        bool bPipes = dirs[0].aPipe[0] >= 0 || dirs[1].aPipe[0] >= 0;
        if (!bStalled && bPipes)
            nWait = IDLE_MS;
        if (!bStalled && nQuietMs >= 0 && (nWait < 0 || nQuietMs < nWait))
            nWait = nQuietMs;
        int nReady = poll(pfds, 2, nWait);
        if (nReady < 0 && errno != EINTR)
            break;
        if (nReady == 0 && !bStalled)
        {
            ClosePipe(dirs[0]);
            ClosePipe(dirs[1]);
            if (nQuietMs >= 0 && nWait == nQuietMs)
                return RELAY_QUIET;
        }
        for (int i = 0; i < 2 && nReady > 0; i++)
        {
            short nIn = pfds[i].revents;
            if (nIn & (POLLIN | POLLHUP | POLLERR))
                dirs[i].bReadable = true;
            if (nIn & (POLLOUT | POLLHUP | POLLERR))
                dirs[1 - i].bWritable = true;
        }
    }
    ClosePipe(dirs[0]);
    ClosePipe(dirs[1]);
    return RELAY_ENDED;
}
