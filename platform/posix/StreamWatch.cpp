// StreamWatch.cpp (POSIX): the watch over quiet tunnels.
//
// A tunnel that has gone quiet needs no thread of its own while it waits: one thread waits in
// epoll for all of them, and hands a tunnel back to its caller the moment either side has data,
// ends, fails or is closed. Thousands of idle tunnels then cost a small record each instead of a
// thread's stack. Each watch holds both handles, as a blocked call does, so that a close from
// another thread (the server's stop) shuts the sockets down, which wakes the watch, instead of
// releasing the descriptors under it.
#include "platform/posix/SocketInternals.h"

#include <errno.h>
#include <mutex>
#include <new>
#include <sys/epoll.h>
#include <vector>

namespace
{
struct SWatch
{
    CSocketUse useA;
    CSocketUse useB;
    void (*pfnReady)(void*);
    void* pArg;
};

const int WATCH_BATCH = 64;

int g_nEpoll = -1;
// Held while a watch is registered and while the watch thread hands a batch back: a watch whose
// first socket reports at once is not handed back before its second is registered too.
std::mutex g_mutexWatches;

unsigned WatchThreadProc(void*)
{
    epoll_event events[WATCH_BATCH];
    std::vector<SWatch*> arrDone;
    for (;;)
    {
        int n = epoll_wait(g_nEpoll, events, WATCH_BATCH, -1);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            SysSleep(10); // cannot happen with a valid epoll; never spin
            continue;
        }
        // Both sockets of a watch may report in one batch: a watch is handed back once, and freed
        // only after the batch.
        std::lock_guard<std::mutex> lock(g_mutexWatches);
        for (int i = 0; i < n; i++)
        {
            SWatch* pWatch = static_cast<SWatch*>(events[i].data.ptr);
            bool bSeen = false;
            for (SWatch* p : arrDone)
                bSeen = bSeen || p == pWatch;
            if (bSeen)
                continue;
            epoll_ctl(g_nEpoll, EPOLL_CTL_DEL, pWatch->useA.Fd(), nullptr);
            epoll_ctl(g_nEpoll, EPOLL_CTL_DEL, pWatch->useB.Fd(), nullptr);
            arrDone.push_back(pWatch);
        }
        for (SWatch* pWatch : arrDone)
        {
            pWatch->useA.Leave();
            pWatch->useB.Leave();
            pWatch->pfnReady(pWatch->pArg);
            delete pWatch;
        }
        arrDone.clear();
    }
    return 0;
}

bool StartWatchThread()
{
    g_nEpoll = epoll_create1(EPOLL_CLOEXEC);
    if (g_nEpoll < 0)
        return false;
    if (!SysStartThread(WatchThreadProc, nullptr, SysScaledStack(64 * 1024), nullptr))
    {
        close(g_nEpoll);
        g_nEpoll = -1;
        return false;
    }
    return true;
}

bool Watch(int fd, SWatch* pWatch)
{
    epoll_event ev;
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.ptr = pWatch;
    return epoll_ctl(g_nEpoll, EPOLL_CTL_ADD, fd, &ev) == 0;
}
} // namespace

bool SysWatchStreams(SOCKET a, SOCKET b, void (*pfnReady)(void*), void* pArg)
{
    static std::once_flag once;
    static bool bStarted = false;
    std::call_once(once, [] { bStarted = StartWatchThread(); });
    if (!bStarted)
        return false;
    SWatch* pWatch = new (std::nothrow) SWatch;
    if (!pWatch)
        return false;
    pWatch->pfnReady = pfnReady;
    pWatch->pArg = pArg;
    if (!pWatch->useA.Enter(a) || !pWatch->useB.Enter(b))
    {
        // A handle closed already: the tunnel has ended, and its caller learns so at once.
        delete pWatch;
        return false;
    }
    std::lock_guard<std::mutex> lock(g_mutexWatches);
    if (!Watch(pWatch->useA.Fd(), pWatch))
    {
        delete pWatch;
        return false;
    }
    if (!Watch(pWatch->useB.Fd(), pWatch))
    {
        epoll_ctl(g_nEpoll, EPOLL_CTL_DEL, pWatch->useA.Fd(), nullptr);
        delete pWatch;
        return false;
    }
    return true;
}
