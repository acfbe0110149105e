// Throughput through one tunnel and through several: download, upload and both ways at once.
//
// Every figure counts bytes that arrived intact within a window of fixed length that opens after a
// short warm-up: downloads are counted and checked by the receiving thread, uploads by the sink
// server (CServerProcess), which reads the same pattern.
#include "Measurements.h"

#include "BenchUtil.h"
#include "Figures.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace
{
// Sends the pattern until tEnd; a failure before tEnd is an error, after it the normal way out.
void SendPatternUntil(int fd, Clock::time_point tEnd, CErrorTally& errors)
{
    uint64_t nPos = 0;
    while (Clock::now() < tEnd)
    {
        ssize_t n = send(fd, PatternAt(nPos), kChunk, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            if (Clock::now() < tEnd)
                errors.Add(ErrnoReason("send"));
            return;
        }
        nPos += (uint64_t)n;
    }
}

// Receives and checks the pattern until tEnd; returns the bytes that arrived between tStart and tEnd.
uint64_t ReceivePatternUntil(int fd, Clock::time_point tStart, Clock::time_point tEnd, CErrorTally& errors)
{
    static thread_local unsigned char abBuffer[kChunk];
    uint64_t nPos = 0, nCounted = 0;
    for (;;)
    {
        ssize_t n = recv(fd, abBuffer, sizeof(abBuffer), 0);
        if (n < 0 && errno == EINTR)
            continue;
        Clock::time_point tNow = Clock::now();
        if (n <= 0)
        {
            if (n == 0)
                errno = 0;
            errors.Add(ErrnoReason("receive"));
            return nCounted;
        }
        if (!CheckPattern(abBuffer, (size_t)n, nPos))
        {
            errors.Add("receive: data differ from what was sent");
            return nCounted;
        }
        nPos += (uint64_t)n;
        if (tNow > tStart && tNow <= tEnd)
            nCounted += (uint64_t)n;
        if (tNow >= tEnd)
            return nCounted;
    }
}

} // namespace

void CMeasurements::Throughput()
{
    Put("tp.down", Download(1));
    Put("tp.up", Upload(1));
    Put("tp.both", BothWays(1));
    Put("tp.agg8", Download(8));
    Put("tp.up8", Upload(8));
    Put("tp.both8", BothWays(8));
}

std::string CMeasurements::Download(int nTunnels)
{
    const std::string strKey = nTunnels == 1 ? "tp.down" : "tp.agg" + std::to_string(nTunnels);
    CErrorTally errors;
    std::vector<int> arrFds;
    for (int i = 0; i < nTunnels; i++)
    {
        std::string strError;
        int fd = OpenTunnel(m_options.target, SOCKS5_BY_ADDRESS, LoopbackAddress(m_servers.SourcePort()),
                            kTimeoutMs, strError);
        if (fd < 0)
        {
            errors.Add(strError);
            LogFigure(strKey, "failed", &errors);
            CloseAll(arrFds);
            return "failed";
        }
        arrFds.push_back(fd);
    }
    Clock::time_point tStart = AfterSeconds(Clock::now(), kWarmUpSeconds);
    Clock::time_point tEnd = AfterSeconds(tStart, m_options.dSeconds);
    std::vector<uint64_t> arrBytes(nTunnels);
    std::vector<std::thread> arrThreads;
    for (int i = 0; i < nTunnels; i++)
        arrThreads.emplace_back([&, i]
                                { arrBytes[i] = ReceivePatternUntil(arrFds[i], tStart, tEnd, errors); });
    for (std::thread& t : arrThreads)
        t.join();
    CloseAll(arrFds);
    uint64_t nTotal = 0;
    for (uint64_t n : arrBytes)
        nTotal += n;
    std::string strCell = WithErrors(Fixed((double)nTotal / 1e6 / m_options.dSeconds, 0), errors);
    LogFigure(strKey, strCell + " MB/s", &errors);
    return strCell;
}

// The sink's count of some slots, read at both ends of the window: bytes that really arrived.
class CSinkSampler
{
public:
    CSinkSampler(std::vector<SSinkSlot*> arrSlots, Clock::time_point tStart, Clock::time_point tEnd)
        : m_thread(
              [this, arrSlots, tStart, tEnd]
              {
                  SleepUntil(tStart);
                  m_nFirst = Total(arrSlots);
                  m_tFirst = Clock::now();
                  SleepUntil(tEnd);
                  m_nLast = Total(arrSlots);
                  m_tLast = Clock::now();
              })
    {
    }
    double MegabytesPerSecond()
    {
        if (m_thread.joinable())
            m_thread.join();
        return (double)(m_nLast - m_nFirst) / 1e6 / SecondsBetween(m_tFirst, m_tLast);
    }

private:
    static uint64_t Total(const std::vector<SSinkSlot*>& arrSlots)
    {
        uint64_t n = 0;
        for (SSinkSlot* pSlot : arrSlots)
            n += pSlot->nBytes.load();
        return n;
    }

    uint64_t m_nFirst = 0, m_nLast = 0;
    Clock::time_point m_tFirst, m_tLast;
    std::thread m_thread;
};

// A tunnel to the sink or duplex server, announced with a fresh slot; -1 (and the reason) on failure.
int CMeasurements::OpenCountedTunnel(uint16_t nPort, uint32_t& nSlot, std::string& strError)
{
    int fd = OpenTunnel(m_options.target, SOCKS5_BY_ADDRESS, LoopbackAddress(nPort), kTimeoutMs, strError);
    if (fd < 0)
        return -1;
    nSlot = m_servers.AllocSlot();
    unsigned char abSlot[4] = {(unsigned char)nSlot, (unsigned char)(nSlot >> 8),
                               (unsigned char)(nSlot >> 16), (unsigned char)(nSlot >> 24)};
    if (!SendAll(fd, abSlot, sizeof(abSlot)))
    {
        strError = ErrnoReason("send");
        close(fd);
        return -1;
    }
    return fd;
}

// nTunnels tunnels to the sink (bDuplex: the duplex server), each with its slot; false (the
// tunnels closed, the reason logged) when one could not be opened.
bool CMeasurements::OpenCountedTunnels(const std::string& strKey, bool bDuplex, int nTunnels,
                                       std::vector<int>& arrFds, std::vector<SSinkSlot*>& arrSlots)
{
    for (int i = 0; i < nTunnels; i++)
    {
        std::string strError;
        uint32_t nSlot = 0;
        int fd = OpenCountedTunnel(bDuplex ? m_servers.DuplexPort() : m_servers.SinkPort(), nSlot, strError);
        if (fd < 0)
        {
            LogFigure(strKey, "failed: " + strError);
            CloseAll(arrFds);
            return false;
        }
        arrFds.push_back(fd);
        arrSlots.push_back(&m_servers.Slot(nSlot));
    }
    return true;
}

static void AddBadBlocks(const std::vector<SSinkSlot*>& arrSlots, const char* pszWho, CErrorTally& errors)
{
    for (SSinkSlot* pSlot : arrSlots)
    {
        for (uint64_t n = pSlot->nBadBlocks.load(); n > 0; n--)
            errors.Add(std::string(pszWho) + ": data differ from what was sent");
    }
}

std::string CMeasurements::Upload(int nTunnels)
{
    const std::string strKey = nTunnels == 1 ? "tp.up" : "tp.up" + std::to_string(nTunnels);
    CErrorTally errors;
    std::vector<int> arrFds;
    std::vector<SSinkSlot*> arrSlots;
    if (!OpenCountedTunnels(strKey, false, nTunnels, arrFds, arrSlots))
        return "failed";
    Clock::time_point tStart = AfterSeconds(Clock::now(), kWarmUpSeconds);
    Clock::time_point tEnd = AfterSeconds(tStart, m_options.dSeconds);
    CSinkSampler sampler(arrSlots, tStart, tEnd);
    std::vector<std::thread> arrSenders;
    for (int fd : arrFds)
        arrSenders.emplace_back([&, fd] { SendPatternUntil(fd, tEnd, errors); });
    for (std::thread& t : arrSenders)
        t.join();
    double dRate = sampler.MegabytesPerSecond();
    CloseAll(arrFds);
    AddBadBlocks(arrSlots, "sink", errors);
    std::string strCell = WithErrors(Fixed(dRate, 0), errors);
    LogFigure(strKey, strCell + " MB/s", &errors);
    return strCell;
}

// Download and upload at once through each tunnel, to a server that reads and writes
// independently.
std::string CMeasurements::BothWays(int nTunnels)
{
    const std::string strKey = nTunnels == 1 ? "tp.both" : "tp.both" + std::to_string(nTunnels);
    CErrorTally errors;
    std::vector<int> arrFds;
    std::vector<SSinkSlot*> arrSlots;
    if (!OpenCountedTunnels(strKey, true, nTunnels, arrFds, arrSlots))
        return "failed";
    Clock::time_point tStart = AfterSeconds(Clock::now(), kWarmUpSeconds);
    Clock::time_point tEnd = AfterSeconds(tStart, m_options.dSeconds);
    CSinkSampler sampler(arrSlots, tStart, tEnd);
    std::vector<uint64_t> arrDown(arrFds.size());
    std::vector<std::thread> arrThreads;
    for (size_t i = 0; i < arrFds.size(); i++)
    {
        arrThreads.emplace_back([&, i] { SendPatternUntil(arrFds[i], tEnd, errors); });
        arrThreads.emplace_back([&, i] { arrDown[i] = ReceivePatternUntil(arrFds[i], tStart, tEnd, errors); });
    }
    // Receivers end at tEnd; a sender may still be blocked on a full window then: shutting the
    // sockets down (once the window has closed) wakes it.
    SleepUntil(tEnd);
    double dUp = sampler.MegabytesPerSecond();
    for (size_t i = 1; i < arrThreads.size(); i += 2)
        arrThreads[i].join();
    for (int fd : arrFds)
        shutdown(fd, SHUT_RDWR);
    for (size_t i = 0; i < arrThreads.size(); i += 2)
        arrThreads[i].join();
    CloseAll(arrFds);
    uint64_t nDown = 0;
    for (uint64_t n : arrDown)
        nDown += n;
    AddBadBlocks(arrSlots, "duplex", errors);
    std::string strCell =
        WithErrors(Fixed((double)nDown / 1e6 / m_options.dSeconds, 0) + " / " + Fixed(dUp, 0), errors);
    LogFigure(strKey, strCell + " MB/s down / up", &errors);
    return strCell;
}
