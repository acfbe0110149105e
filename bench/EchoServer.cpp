// The destination servers of the load generator, run in a forked child process.
//
// Two worker threads share the three listening sockets (EPOLLEXCLUSIVE wakes one of them per new
// connection) and serve their connections with level-triggered epoll. An echo connection owns no
// buffer while it keeps up; only data the peer has not yet taken is copied aside, so that thousands of
// idle tunnels cost the server process almost nothing.
#include "EchoServer.h"

#include "BenchUtil.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

namespace
{
enum EKind
{
    KIND_ECHO,
    KIND_SINK,
    KIND_SOURCE
};

struct SHandle
{
    int fd;
    EKind nKind;
    bool bListener;
};

struct SConn : SHandle
{
    std::vector<unsigned char> arrPending;  // echo data the peer has not taken yet
    size_t nPendingOff = 0;
    uint64_t nPos = 0;                      // stream position of the sink or source
    unsigned char abSlot[4] = {};
    int nSlotBytes = 0;
    bool bBroken = false;                   // the sink saw the pattern break
};

class CWorker
{
public:
    CWorker(SSinkSlot* pSlots) : m_pSlots(pSlots) {}
    bool Init(const std::vector<SHandle*>& arrListeners);
    void Run();

private:
    void Accept(SHandle* pListener);
    void Serve(SConn* pConn, uint32_t nEvents);
    bool ServeEcho(SConn* pConn, uint32_t nEvents);
    bool ServeSink(SConn* pConn);
    bool ServeSource(SConn* pConn, uint32_t nEvents);
    void Watch(SConn* pConn, uint32_t nEvents);
    void Drop(SConn* pConn);

    int m_fdEpoll = -1;
    SSinkSlot* m_pSlots;
    unsigned char m_abBuffer[kChunk];
};

bool CWorker::Init(const std::vector<SHandle*>& arrListeners)
{
    m_fdEpoll = epoll_create1(EPOLL_CLOEXEC);
    if (m_fdEpoll < 0)
        return false;
    for (SHandle* pListener : arrListeners)
    {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLEXCLUSIVE;
        ev.data.ptr = pListener;
        if (epoll_ctl(m_fdEpoll, EPOLL_CTL_ADD, pListener->fd, &ev) != 0)
            return false;
    }
    return true;
}

void CWorker::Run()
{
    epoll_event aEvents[256];
    for (;;)
    {
        int n = epoll_wait(m_fdEpoll, aEvents, 256, -1);
        for (int i = 0; i < n; i++)
        {
            SHandle* pHandle = (SHandle*)aEvents[i].data.ptr;
            if (pHandle->bListener)
                Accept(pHandle);
            else
                Serve(static_cast<SConn*>(pHandle), aEvents[i].events);
        }
    }
}

void CWorker::Accept(SHandle* pListener)
{
    for (;;)
    {
        int fd = accept4(pListener->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;  // EAGAIN, or out of descriptors: the clients will see their tunnels fail
        int nOne = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
        SConn* pConn = new SConn;
        pConn->fd = fd;
        pConn->nKind = pListener->nKind;
        pConn->bListener = false;
        epoll_event ev{};
        ev.events = pConn->nKind == KIND_SOURCE ? EPOLLIN | EPOLLOUT : EPOLLIN;
        ev.data.ptr = pConn;
        if (epoll_ctl(m_fdEpoll, EPOLL_CTL_ADD, fd, &ev) != 0)
        {
            close(fd);
            delete pConn;
        }
    }
}

void CWorker::Serve(SConn* pConn, uint32_t nEvents)
{
    bool bKeep = false;
    if (!(nEvents & EPOLLERR))
    {
        switch (pConn->nKind)
        {
        case KIND_ECHO: bKeep = ServeEcho(pConn, nEvents); break;
        case KIND_SINK: bKeep = ServeSink(pConn); break;
        case KIND_SOURCE: bKeep = ServeSource(pConn, nEvents); break;
        }
    }
    if (!bKeep)
        Drop(pConn);
}

bool CWorker::ServeEcho(SConn* pConn, uint32_t nEvents)
{
    if (!pConn->arrPending.empty())
    {
        if (!(nEvents & EPOLLOUT))
            return !(nEvents & EPOLLHUP);
        size_t nLeft = pConn->arrPending.size() - pConn->nPendingOff;
        ssize_t n = send(pConn->fd, pConn->arrPending.data() + pConn->nPendingOff, nLeft, MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        pConn->nPendingOff += (size_t)n;
        if (pConn->nPendingOff < pConn->arrPending.size())
            return true;
        std::vector<unsigned char>().swap(pConn->arrPending);
        pConn->nPendingOff = 0;
        Watch(pConn, EPOLLIN);
        return true;
    }
    ssize_t nRead = recv(pConn->fd, m_abBuffer, sizeof(m_abBuffer), 0);
    if (nRead <= 0)
        return nRead < 0 && (errno == EAGAIN || errno == EINTR);
    ssize_t nSent = send(pConn->fd, m_abBuffer, (size_t)nRead, MSG_NOSIGNAL);
    if (nSent < 0)
    {
        if (errno != EAGAIN)
            return false;
        nSent = 0;
    }
    if (nSent < nRead)
    {
        // The peer is not taking its echo: hold the rest and stop reading until it is gone.
        pConn->arrPending.assign(m_abBuffer + nSent, m_abBuffer + nRead);
        pConn->nPendingOff = 0;
        Watch(pConn, EPOLLOUT);
    }
    return true;
}

bool CWorker::ServeSink(SConn* pConn)
{
    ssize_t nRead = recv(pConn->fd, m_abBuffer, sizeof(m_abBuffer), 0);
    if (nRead <= 0)
        return nRead < 0 && (errno == EAGAIN || errno == EINTR);
    const unsigned char* p = m_abBuffer;
    size_t nLen = (size_t)nRead;
    while (pConn->nSlotBytes < 4 && nLen > 0)
    {
        pConn->abSlot[pConn->nSlotBytes++] = *p++;
        nLen--;
    }
    if (nLen == 0)
        return true;
    uint32_t nSlot = pConn->abSlot[0] | pConn->abSlot[1] << 8 | pConn->abSlot[2] << 16 |
                     (uint32_t)pConn->abSlot[3] << 24;
    SSinkSlot& slot = m_pSlots[nSlot % CServerProcess::kSlots];
    if (!pConn->bBroken && !CheckPattern(p, nLen, pConn->nPos))
    {
        // Once the pattern breaks the stream position means nothing: count the stream once.
        pConn->bBroken = true;
        slot.nBadBlocks.fetch_add(1);
    }
    pConn->nPos += nLen;
    slot.nBytes.fetch_add(nLen);
    return true;
}

bool CWorker::ServeSource(SConn* pConn, uint32_t nEvents)
{
    if (nEvents & EPOLLIN)
    {
        ssize_t nRead = recv(pConn->fd, m_abBuffer, sizeof(m_abBuffer), 0);
        if (nRead == 0 || (nRead < 0 && errno != EAGAIN && errno != EINTR))
            return false;
    }
    if (nEvents & EPOLLOUT)
    {
        ssize_t n = send(pConn->fd, PatternAt(pConn->nPos), kChunk, MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        pConn->nPos += (uint64_t)n;
    }
    return true;
}

void CWorker::Watch(SConn* pConn, uint32_t nEvents)
{
    epoll_event ev{};
    ev.events = nEvents;
    ev.data.ptr = pConn;
    epoll_ctl(m_fdEpoll, EPOLL_CTL_MOD, pConn->fd, &ev);
}

void CWorker::Drop(SConn* pConn)
{
    epoll_ctl(m_fdEpoll, EPOLL_CTL_DEL, pConn->fd, nullptr);
    close(pConn->fd);
    delete pConn;
}

void RunUdpEcho(int fd)
{
    int nSize = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nSize, sizeof(nSize));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &nSize, sizeof(nSize));
    unsigned char ab[65536];
    for (;;)
    {
        sockaddr_in saFrom{};
        socklen_t nFromLen = sizeof(saFrom);
        ssize_t n = recvfrom(fd, ab, sizeof(ab), 0, (sockaddr*)&saFrom, &nFromLen);
        if (n >= 0)
            sendto(fd, ab, (size_t)n, 0, (sockaddr*)&saFrom, nFromLen);
    }
}

[[noreturn]] void RunServerProcess(int fdEcho, int fdSink, int fdSource, int fdUdp, int fdLife,
                                   SSinkSlot* pSlots)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    static SHandle aListeners[3] = {{fdEcho, KIND_ECHO, true}, {fdSink, KIND_SINK, true},
                                    {fdSource, KIND_SOURCE, true}};
    std::vector<SHandle*> arrListeners;
    for (SHandle& h : aListeners)
    {
        fcntl(h.fd, F_SETFL, fcntl(h.fd, F_GETFL) | O_NONBLOCK);
        arrListeners.push_back(&h);
    }
    for (int i = 0; i < 2; i++)
    {
        CWorker* pWorker = new CWorker(pSlots);
        if (!pWorker->Init(arrListeners))
            _exit(2);
        std::thread([pWorker] { pWorker->Run(); }).detach();
    }
    std::thread([fdUdp] { RunUdpEcho(fdUdp); }).detach();
    // Live as long as the generator holds the other end of the pipe.
    char c;
    while (read(fdLife, &c, 1) != 0 && (errno == EINTR || errno == EAGAIN))
        ;
    _exit(0);
}
}

bool CServerProcess::Start()
{
    void* pShared = mmap(nullptr, sizeof(SSinkSlot) * kSlots, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                         -1, 0);
    if (pShared == MAP_FAILED)
        return false;
    m_pSlots = (SSinkSlot*)pShared;
    for (int i = 0; i < kSlots; i++)
        new (&m_pSlots[i]) SSinkSlot{{0}, {0}};

    int fdEcho = ListenTcp(m_nEcho);
    int fdSink = ListenTcp(m_nSink);
    int fdSource = ListenTcp(m_nSource);
    int fdUdp = BindUdp(m_nUdpEcho);
    int afdLife[2];
    if (fdEcho < 0 || fdSink < 0 || fdSource < 0 || fdUdp < 0 || pipe2(afdLife, O_CLOEXEC) != 0)
        return false;
    m_pid = fork();
    if (m_pid < 0)
        return false;
    if (m_pid == 0)
    {
        close(afdLife[1]);
        RunServerProcess(fdEcho, fdSink, fdSource, fdUdp, afdLife[0], m_pSlots);
    }
    close(afdLife[0]);
    m_fdLife = afdLife[1];
    close(fdEcho);
    close(fdSink);
    close(fdSource);
    close(fdUdp);
    return true;
}

void CServerProcess::Stop()
{
    if (m_pid <= 0)
        return;
    close(m_fdLife);
    m_fdLife = -1;
    for (int i = 0; i < 300; i++)
    {
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid)
        {
            m_pid = -1;
            return;
        }
        usleep(10000);
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

uint32_t CServerProcess::AllocSlot()
{
    uint32_t nSlot = m_nNextSlot++ % kSlots;
    m_pSlots[nSlot].nBytes.store(0);
    m_pSlots[nSlot].nBadBlocks.store(0);
    return nSlot;
}
