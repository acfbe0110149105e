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
    Put("tp.up", Upload());
    Put("tp.both", BothWays());
    Put("tp.agg8", Download(8));
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

// The sink's count of one slot, read at both ends of the window: bytes that really arrived.
class CSinkSampler
{
public:
    CSinkSampler(SSinkSlot& slot, Clock::time_point tStart, Clock::time_point tEnd)
        : m_thread(
              [this, &slot, tStart, tEnd]
              {
                  SleepUntil(tStart);
                  m_nFirst = slot.nBytes.load();
                  m_tFirst = Clock::now();
                  SleepUntil(tEnd);
                  m_nLast = slot.nBytes.load();
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

std::string CMeasurements::Upload()
{
    CErrorTally errors;
    std::string strError;
    uint32_t nSlot = 0;
    int fd = OpenCountedTunnel(m_servers.SinkPort(), nSlot, strError);
    if (fd < 0)
    {
        LogFigure("tp.up", "failed: " + strError);
        return "failed";
    }
    SSinkSlot& slot = m_servers.Slot(nSlot);
    Clock::time_point tStart = AfterSeconds(Clock::now(), kWarmUpSeconds);
    Clock::time_point tEnd = AfterSeconds(tStart, m_options.dSeconds);
    CSinkSampler sampler(slot, tStart, tEnd);
    SendPatternUntil(fd, tEnd, errors);
    double dRate = sampler.MegabytesPerSecond();
    close(fd);
    for (uint64_t n = slot.nBadBlocks.load(); n > 0; n--)
        errors.Add("sink: data differ from what was sent");
    std::string strCell = WithErrors(Fixed(dRate, 0), errors);
    LogFigure("tp.up", strCell + " MB/s", &errors);
    return strCell;
}

// Download and upload at once through one tunnel, to a server that reads and writes independently.
std::string CMeasurements::BothWays()
{
    CErrorTally errors;
    std::string strError;
    uint32_t nSlot = 0;
    int fd = OpenCountedTunnel(m_servers.DuplexPort(), nSlot, strError);
    if (fd < 0)
    {
        LogFigure("tp.both", "failed: " + strError);
        return "failed";
    }
    SSinkSlot& slot = m_servers.Slot(nSlot);
    Clock::time_point tStart = AfterSeconds(Clock::now(), kWarmUpSeconds);
    Clock::time_point tEnd = AfterSeconds(tStart, m_options.dSeconds);
    CSinkSampler sampler(slot, tStart, tEnd);
    std::thread sender([&] { SendPatternUntil(fd, tEnd, errors); });
    uint64_t nDown = ReceivePatternUntil(fd, tStart, tEnd, errors);
    double dUp = sampler.MegabytesPerSecond();
    // The sender may still be blocked on a full window: shutting the socket down wakes it.
    shutdown(fd, SHUT_RDWR);
    sender.join();
    close(fd);
    for (uint64_t n = slot.nBadBlocks.load(); n > 0; n--)
        errors.Add("duplex: data differ from what was sent");
    std::string strCell =
        WithErrors(Fixed((double)nDown / 1e6 / m_options.dSeconds, 0) + " / " + Fixed(dUp, 0), errors);
    LogFigure("tp.both", strCell + " MB/s down / up", &errors);
    return strCell;
}
