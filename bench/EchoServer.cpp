// The destination servers of the load generator, run in a forked child process.
//
// Echo connections (thousands of idle tunnels, thousands of short set-ups) are served by two worker
// threads that share the listening socket (EPOLLEXCLUSIVE wakes one of them per new connection) and use
// level-triggered epoll. An echo connection owns no buffer while it keeps up; only data the peer has not
// yet taken is copied aside, so that idle tunnels cost the server process almost nothing.
// The streaming servers (sink, source, duplex) see a handful of connections at a time and get a
// blocking thread per direction: each direction runs as fast as the path allows, and neither direction
// of a duplex connection waits for the other.
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
#include <memory>
#include <new>
#include <thread>
#include <vector>

namespace
{
enum EKind
{
    KIND_SINK,
    KIND_SOURCE,
    KIND_DUPLEX // a sink and a source at once on one connection
};

struct SHandle
{
    int fd;
    bool bListener;
    bool bCloseAtOnce; // a listener whose connections are closed as soon as they are accepted
};

struct SConn : SHandle
{
    std::vector<unsigned char> arrPending; // data the peer has not taken yet
    size_t nPendingOff = 0;
};

class CWorker
{
public:
    bool Init(SHandle* pEcho, SHandle* pCloser);
    void Run();

private:
    void Accept(SHandle* pListener);
    void Serve(SConn* pConn, uint32_t nEvents);
    bool ServeEcho(SConn* pConn, uint32_t nEvents);
    void Watch(SConn* pConn, uint32_t nEvents);
    void Drop(SConn* pConn);

    int m_fdEpoll = -1;
    unsigned char m_abBuffer[kChunk];
};

bool CWorker::Init(SHandle* pEcho, SHandle* pCloser)
{
    m_fdEpoll = epoll_create1(EPOLL_CLOEXEC);
    if (m_fdEpoll < 0)
        return false;
    for (SHandle* pListener : {pEcho, pCloser})
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
            return; // EAGAIN, or out of descriptors: the clients will see their tunnels fail
        if (pListener->bCloseAtOnce)
        {
            close(fd);
            continue;
        }
        int nOne = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
        SConn* pConn = new SConn;
        pConn->fd = fd;
        pConn->bListener = false;
        pConn->bCloseAtOnce = false;
        epoll_event ev{};
        ev.events = EPOLLIN;
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
    // A hang-up means both directions are gone: nothing left to send or to wait for.
    if ((nEvents & (EPOLLERR | EPOLLHUP)) || !ServeEcho(pConn, nEvents))
        Drop(pConn);
}

bool CWorker::ServeEcho(SConn* pConn, uint32_t nEvents)
{
    if (!pConn->arrPending.empty())
    {
        if (!(nEvents & EPOLLOUT))
            return true;
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

// One connection of a streaming server, shared by its one or two direction threads; the last of them
// to finish closes the socket.
struct SStream
{
    int fd;
    SSinkSlot* pSlots;
    ~SStream() { close(fd); }
};

void ReceiveIntoSlot(const std::shared_ptr<SStream>& pStream)
{
    static thread_local unsigned char abBuffer[kChunk];
    unsigned char abSlot[4];
    if (RecvAll(pStream->fd, abSlot, 4))
    {
        uint32_t nSlot = abSlot[0] | abSlot[1] << 8 | abSlot[2] << 16 | (uint32_t)abSlot[3] << 24;
        SSinkSlot& slot = pStream->pSlots[nSlot % CServerProcess::kSlots];
        uint64_t nPos = 0;
        bool bBroken = false;
        for (;;)
        {
            ssize_t n = recv(pStream->fd, abBuffer, sizeof(abBuffer), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            if (bBroken)
                continue;
            if (!CheckPattern(abBuffer, (size_t)n, nPos))
            {
                // From here on nothing that arrives can be trusted: count the stream once as bad and
                // none of its later bytes.
                bBroken = true;
                slot.nBadBlocks.fetch_add(1);
                continue;
            }
            nPos += (uint64_t)n;
            slot.nBytes.fetch_add((uint64_t)n);
        }
    }
    // Wakes a sending thread of the same connection.
    shutdown(pStream->fd, SHUT_RDWR);
}

void SendPattern(const std::shared_ptr<SStream>& pStream)
{
    uint64_t nPos = 0;
    for (;;)
    {
        ssize_t n = send(pStream->fd, PatternAt(nPos), kChunk, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        nPos += (uint64_t)n;
    }
    shutdown(pStream->fd, SHUT_RDWR);
}

void RunStreamServer(int fdListen, EKind nKind, SSinkSlot* pSlots)
{
    for (;;)
    {
        int fd = accept4(fdListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
        {
            if (errno == EMFILE || errno == ENFILE)
                usleep(10000);
            continue;
        }
        auto pStream = std::make_shared<SStream>();
        pStream->fd = fd;
        pStream->pSlots = pSlots;
        if (nKind == KIND_SINK || nKind == KIND_DUPLEX)
            std::thread(ReceiveIntoSlot, pStream).detach();
        if (nKind == KIND_SOURCE || nKind == KIND_DUPLEX)
            std::thread(SendPattern, pStream).detach();
    }
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

[[noreturn]] void RunServerProcess(int fdEcho, int fdCloser, int fdSink, int fdSource, int fdDuplex,
                                   int fdUdp, int fdLife, SSinkSlot* pSlots)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    static SHandle echoListener{fdEcho, true, false}, closerListener{fdCloser, true, true};
    fcntl(fdEcho, F_SETFL, fcntl(fdEcho, F_GETFL) | O_NONBLOCK);
    fcntl(fdCloser, F_SETFL, fcntl(fdCloser, F_GETFL) | O_NONBLOCK);
    for (int i = 0; i < 2; i++)
    {
        CWorker* pWorker = new CWorker;
        if (!pWorker->Init(&echoListener, &closerListener))
            _exit(2);
        std::thread([pWorker] { pWorker->Run(); }).detach();
    }
    std::thread(RunStreamServer, fdSink, KIND_SINK, pSlots).detach();
    std::thread(RunStreamServer, fdSource, KIND_SOURCE, pSlots).detach();
    std::thread(RunStreamServer, fdDuplex, KIND_DUPLEX, pSlots).detach();
    std::thread([fdUdp] { RunUdpEcho(fdUdp); }).detach();
    // Live as long as the generator holds the other end of the pipe.
    char c;
    while (read(fdLife, &c, 1) != 0 && (errno == EINTR || errno == EAGAIN))
        ;
    _exit(0);
}
} // namespace

bool CServerProcess::Start()
{
    void* pShared =
        mmap(nullptr, sizeof(SSinkSlot) * kSlots, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (pShared == MAP_FAILED)
        return false;
    m_pSlots = (SSinkSlot*)pShared;
    for (int i = 0; i < kSlots; i++)
        new (&m_pSlots[i]) SSinkSlot{{0}, {0}};

    int fdEcho = ListenTcp(m_nEcho);
    int fdCloser = ListenTcp(m_nCloser);
    int fdSink = ListenTcp(m_nSink);
    int fdSource = ListenTcp(m_nSource);
    int fdDuplex = ListenTcp(m_nDuplex);
    int fdUdp = BindUdp(m_nUdpEcho);
    int afdLife[2];
    if (fdEcho < 0 || fdCloser < 0 || fdSink < 0 || fdSource < 0 || fdDuplex < 0 || fdUdp < 0 ||
        pipe2(afdLife, O_CLOEXEC) != 0)
        return false;
    m_pid = fork();
    if (m_pid < 0)
        return false;
    if (m_pid == 0)
    {
        close(afdLife[1]);
        RunServerProcess(fdEcho, fdCloser, fdSink, fdSource, fdDuplex, fdUdp, afdLife[0], m_pSlots);
    }
    close(afdLife[0]);
    m_fdLife = afdLife[1];
    close(fdEcho);
    close(fdCloser);
    close(fdSink);
    close(fdSource);
    close(fdDuplex);
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
