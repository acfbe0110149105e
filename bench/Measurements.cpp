// The measurements of the load generator besides throughput: tunnel set-up rate and latency, UDP
// echoes through an association, and idle tunnels held open together.
#include "Measurements.h"

#include "BenchUtil.h"
#include "Figures.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <thread>

namespace
{
double Percentile(const std::vector<double>& arrSorted, double dFraction)
{
    if (arrSorted.empty())
        return 0;
    size_t n = (size_t)(dFraction * (double)arrSorted.size());
    return arrSorted[std::min(n, arrSorted.size() - 1)];
}

} // namespace

std::string CMeasurements::Get(const std::string& strKey) const
{
    for (const auto& entry : m_results)
    {
        if (entry.first == strKey)
            return entry.second;
    }
    return "-";
}

void CMeasurements::Put(const std::string& strKey, const std::string& strCell)
{
    m_results.emplace_back(strKey, strCell);
}

void CMeasurements::SetupRate()
{
    for (int nClients : {4, 32})
    {
        std::string strClients = std::to_string(nClients);
        SetupFigures(("setup.s5." + strClients).c_str(), SOCKS5_BY_ADDRESS, nClients);
        if (m_options.target.bDirect)
        {
            // Without a proxy there is only the plain connect: the reference of every set-up row.
            for (const char* pszRow : {"setup.s4.", "setup.name.", "setup.auth."})
            {
                Put(pszRow + strClients, Get("setup.s5." + strClients));
                Put(pszRow + strClients + ".lat", Get("setup.s5." + strClients + ".lat"));
            }
            continue;
        }
        if (m_options.bSocks4)
            SetupFigures(("setup.s4." + strClients).c_str(), SOCKS4_BY_ADDRESS, nClients);
        else
        {
            Put("setup.s4." + strClients, "n/a");
            Put("setup.s4." + strClients + ".lat", "n/a");
        }
        SetupFigures(("setup.name." + strClients).c_str(), SOCKS5_BY_NAME, nClients);
    }
}

void CMeasurements::AuthSetupRate()
{
    for (int nClients : {4, 32})
    {
        std::string strKey = "setup.auth." + std::to_string(nClients);
        SetupFigures(strKey.c_str(), SOCKS5_USER_PASSWORD, nClients);
    }
}

namespace
{
const int kCountedSetups = 1000;

// True once every thread of every process is traced (within 5 s).
bool AllTraced(const std::vector<int>& arrPids)
{
    for (int pid : arrPids)
    {
        std::string strTasks = "/proc/" + std::to_string(pid) + "/task";
        DIR* pDir = opendir(strTasks.c_str());
        if (!pDir)
            continue;
        bool bAll = true;
        while (dirent* pEntry = readdir(pDir))
        {
            if (pEntry->d_name[0] == '.')
                continue;
            std::ifstream in(strTasks + "/" + pEntry->d_name + "/status");
            std::string strLine;
            while (std::getline(in, strLine))
            {
                if (strLine.compare(0, 10, "TracerPid:") == 0)
                {
                    if (atoi(strLine.c_str() + 10) == 0)
                        bAll = false;
                    break;
                }
            }
        }
        closedir(pDir);
        if (!bAll)
            return false;
    }
    return true;
}

// The "calls" column of the total line of strace -c; -1 when there is none.
long TotalCalls(const std::string& strFile)
{
    std::ifstream in(strFile);
    std::string strLine;
    long nCalls = -1;
    while (std::getline(in, strLine))
    {
        std::istringstream fields(strLine);
        std::vector<std::string> arr;
        std::string strField;
        while (fields >> strField)
            arr.push_back(strField);
        if (arr.size() >= 5 && arr.back() == "total")
            nCalls = atol(arr[3].c_str());
    }
    return nCalls;
}
} // namespace

std::string CMeasurements::SystemCallsPerSetup(ESocksRequest nRequest)
{
    std::vector<int> arrPids = ProcessTreePids(m_options.pidProxy);
    if (arrPids.empty())
        return "-";
    std::string strOut = "/tmp/tgbench-strace-" + std::to_string(getpid()) + "-" +
                         std::to_string((int)nRequest) + ".txt";
    std::vector<std::string> arrArgs{"strace", "-f", "-c", "-q", "-o", strOut};
    for (int pid : arrPids)
    {
        arrArgs.push_back("-p");
        arrArgs.push_back(std::to_string(pid));
    }
    std::vector<char*> argv;
    for (std::string& str : arrArgs)
        argv.push_back(&str[0]);
    argv.push_back(nullptr);
    pid_t pidStrace = -1;
    if (posix_spawnp(&pidStrace, "strace", nullptr, nullptr, argv.data(), environ) != 0)
        return "no strace";
    Clock::time_point tGiveUp = AfterSeconds(Clock::now(), 5.0);
    while (!AllTraced(arrPids) && Clock::now() < tGiveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    const sockaddr_in saCloser = LoopbackAddress(m_servers.CloserPort());
    int nDone = 0;
    std::string strError;
    for (int i = 0; i < kCountedSetups; i++)
    {
        int fd = OpenTunnel(m_options.target, nRequest, saCloser, kTimeoutMs, strError);
        if (fd < 0)
            break;
        close(fd);
        nDone++;
    }
    // The last sessions end when they see the close: give them the time to.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(pidStrace, SIGINT);
    int nStatus = 0;
    waitpid(pidStrace, &nStatus, 0);
    long nCalls = TotalCalls(strOut);
    // TGBENCH_STRACE_KEEP=1 leaves strace's table (which calls, how many) for a profile.
    const char* pszKeep = getenv("TGBENCH_STRACE_KEEP");
    if (pszKeep && strcmp(pszKeep, "1") == 0)
        fprintf(stderr, "  strace table kept in %s\n", strOut.c_str());
    else
        unlink(strOut.c_str());
    if (nDone < kCountedSetups)
        return "failed: " + strError;
    if (nCalls < 0)
        return "-";
    return Fixed((double)nCalls / kCountedSetups, 1);
}

void CMeasurements::SystemCalls()
{
    if (m_options.target.bDirect || m_options.pidProxy <= 0)
        return;
    std::string strAddress = SystemCallsPerSetup(SOCKS5_BY_ADDRESS);
    Put("syscalls.s5", strAddress);
    LogFigure("syscalls.s5", strAddress + " per set-up over " + std::to_string(kCountedSetups), nullptr);
    std::string strName = SystemCallsPerSetup(SOCKS5_BY_NAME);
    Put("syscalls.name", strName);
    LogFigure("syscalls.name", strName + " per set-up over " + std::to_string(kCountedSetups), nullptr);
}

void CMeasurements::SetupFigures(const char* pszKey, ESocksRequest nRequest, int nClients)
{
    CErrorTally errors;
    std::vector<std::vector<double>> arrLatencies(nClients);
    std::vector<Clock::time_point> arrFinished(nClients);
    const sockaddr_in saCloser = LoopbackAddress(m_servers.CloserPort());
    Clock::time_point tStart = Clock::now();
    Clock::time_point tEnd = AfterSeconds(tStart, m_options.dSeconds);
    std::vector<std::thread> arrThreads;
    for (int i = 0; i < nClients; i++)
    {
        arrThreads.emplace_back(
            [&, i]
            {
                std::vector<double>& arrMine = arrLatencies[i];
                arrMine.reserve(65536);
                while (Clock::now() < tEnd)
                {
                    Clock::time_point tBegin = Clock::now();
                    std::string strError;
                    int fd = OpenTunnel(m_options.target, nRequest, saCloser, kTimeoutMs, strError);
                    if (fd < 0)
                    {
                        errors.Add(strError);
                        // A proxy that refuses at once must not turn this loop into a busy spin.
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                        continue;
                    }
                    arrMine.push_back(SecondsBetween(tBegin, Clock::now()) * 1000.0);
                    close(fd);
                }
                arrFinished[i] = Clock::now();
            });
    }
    for (std::thread& t : arrThreads)
        t.join();
    Clock::time_point tLast = *std::max_element(arrFinished.begin(), arrFinished.end());
    std::vector<double> arrAll;
    for (const std::vector<double>& arr : arrLatencies)
        arrAll.insert(arrAll.end(), arr.begin(), arr.end());
    std::sort(arrAll.begin(), arrAll.end());
    std::string strRate = WithErrors(Fixed((double)arrAll.size() / SecondsBetween(tStart, tLast), 0), errors);
    std::string strLatency =
        arrAll.empty() ? "-"
                       : Fixed(Percentile(arrAll, 0.50), 2) + " / " + Fixed(Percentile(arrAll, 0.99), 2);
    Put(pszKey, strRate);
    Put(std::string(pszKey) + ".lat", strLatency);
    LogFigure(pszKey,
              strRate + " /s, p50/p99 " + strLatency + " ms, " + std::to_string(arrAll.size()) + " tunnels",
              &errors);
}

void CMeasurements::UdpEchoes()
{
    for (size_t nPayload : {(size_t)512, (size_t)1400})
    {
        std::string strKey = "udp." + std::to_string(nPayload);
        if (!m_options.bUdp)
            Put(strKey, "n/a");
        else
            Put(strKey, UdpFigure(nPayload));
    }
}

// Keeps a window of datagrams in flight through the relay to the UDP echo server and counts the
// echoes that come back intact. A window that stays silent for 100 ms counts as lost and is refilled.
std::string CMeasurements::UdpFigure(size_t nPayload)
{
    const std::string strKey = "udp." + std::to_string(nPayload);
    constexpr size_t kWindow = 8;
    const sockaddr_in saEcho = LoopbackAddress(m_servers.UdpEchoPort());
    uint16_t nPort = 0;
    int fd = BindUdp(nPort);
    if (fd < 0)
        return "failed";
    const bool bRelay = !m_options.target.bDirect;
    SUdpAssociation assoc;
    sockaddr_in saSendTo = saEcho;
    if (bRelay)
    {
        std::string strError;
        if (!UdpAssociate(m_options.target, LoopbackAddress(nPort), kTimeoutMs, assoc, strError))
        {
            close(fd);
            LogFigure(strKey, "failed: " + strError);
            return "failed";
        }
        saSendTo = assoc.saRelay;
    }
    const size_t nHeader = bRelay ? kUdpHeader : 0;
    std::vector<unsigned char> arrOut(nHeader + nPayload), arrIn(65536);
    if (bRelay)
        WriteUdpHeader(arrOut.data(), saEcho);

    uint64_t nSeq = 0, nGood = 0, nLost = 0, nBad = 0, nLate = 0;
    std::vector<uint64_t> arrInFlight;
    CErrorTally errors;
    Clock::time_point tStart = Clock::now();
    Clock::time_point tEnd = AfterSeconds(tStart, m_options.dSeconds);
    while (Clock::now() < tEnd && errors.Count() < 100)
    {
        while (arrInFlight.size() < kWindow)
        {
            unsigned char* pPayload = arrOut.data() + nHeader;
            memcpy(pPayload, &nSeq, 8);
            memcpy(pPayload + 8, PatternAt(nSeq), nPayload - 8);
            if (sendto(fd, arrOut.data(), arrOut.size(), 0, (const sockaddr*)&saSendTo, sizeof(saSendTo)) < 0)
            {
                errors.Add(ErrnoReason("send"));
                break;
            }
            arrInFlight.push_back(nSeq++);
        }
        pollfd pfd{fd, POLLIN, 0};
        int nReady = poll(&pfd, 1, 100);
        if (nReady == 0)
        {
            nLost += arrInFlight.size();
            arrInFlight.clear();
            continue;
        }
        ssize_t n = recv(fd, arrIn.data(), arrIn.size(), 0);
        if (n < 0)
        {
            errors.Add(ErrnoReason("receive"));
            continue;
        }
        const unsigned char* pPayload = arrIn.data() + nHeader;
        if (bRelay)
        {
            sockaddr_in saFrom{};
            if (!ReadUdpHeader(arrIn.data(), (size_t)n, saFrom) ||
                saFrom.sin_addr.s_addr != saEcho.sin_addr.s_addr || saFrom.sin_port != saEcho.sin_port)
            {
                nBad++;
                errors.Add("reply header missing or not naming the echo server");
                continue;
            }
        }
        if ((size_t)n != nHeader + nPayload)
        {
            nBad++;
            errors.Add("reply of the wrong length");
            continue;
        }
        uint64_t nReplySeq;
        memcpy(&nReplySeq, pPayload, 8);
        auto it = std::find(arrInFlight.begin(), arrInFlight.end(), nReplySeq);
        if (it == arrInFlight.end())
        {
            nLate++; // already counted as lost
            continue;
        }
        arrInFlight.erase(it);
        if (memcmp(pPayload + 8, PatternAt(nReplySeq), nPayload - 8) != 0)
        {
            nBad++;
            errors.Add("reply payload differs from what was sent");
            continue;
        }
        nGood++;
    }
    double dElapsed = SecondsBetween(tStart, Clock::now());
    close(fd);
    if (assoc.fdControl >= 0)
        close(assoc.fdControl);
    std::string strCell = Fixed((double)nGood / dElapsed, 0);
    if (nLost > 0 || errors.Count() > 0)
    {
        strCell += " (";
        if (nLost > 0)
            strCell += std::to_string(nLost) + " lost";
        int nOther = errors.Count();
        if (nOther > 0)
            strCell += std::string(nLost > 0 ? ", " : "") + std::to_string(nOther) + " err";
        strCell += ")";
    }
    LogFigure(strKey,
              strCell + " echoes/s, " + std::to_string(nGood) + " good, " + std::to_string(nLost) +
                  " lost, " + std::to_string(nLate) + " late, " + std::to_string(nBad) + " bad",
              &errors);
    return strCell;
}

// Thread-per-session proxies end their sessions a little after the clients close: wait until the
// proxy's thread count holds still, so that the idle test starts from a quiet proxy.
void CMeasurements::WaitForQuietProxy()
{
    Clock::time_point tGiveUp = AfterSeconds(Clock::now(), 5.0);
    int nLast = -1, nSame = 0;
    while (Clock::now() < tGiveUp && nSame < 5)
    {
        int nThreads = ReadProcessTree(m_options.pidProxy).nThreads;
        nSame = nThreads == nLast ? nSame + 1 : 0;
        nLast = nThreads;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

constexpr int kIdleSettleMs = 3000;

void CMeasurements::IdleTunnels()
{
    if (m_options.target.bDirect)
        return;
    WaitForQuietProxy();
    const SProcStats before = ReadProcessTree(m_options.pidProxy);
    fprintf(stderr, "  idle: proxy before: %llu KiB, %d threads, %d processes\n",
            (unsigned long long)before.nRssKb, before.nThreads, before.nProcesses);
    const sockaddr_in saEcho = LoopbackAddress(m_servers.EchoPort());
    constexpr int kOpeners = 8;
    std::vector<int> arrFds;
    std::mutex mutexFds;
    bool bFailed = false;
    for (int nLevel : m_options.arrIdleLevels)
    {
        const std::string strKey = "idle." + std::to_string(nLevel);
        if (bFailed)
        {
            Put(strKey, "-");
            continue;
        }
        // Open the tunnels this level adds to those already open.
        CErrorTally errors;
        std::atomic<int> nToOpen{nLevel - (int)arrFds.size()};
        std::atomic<bool> bStop{false};
        Clock::time_point tOpen = Clock::now();
        Clock::time_point tGiveUp = AfterSeconds(tOpen, 90.0);
        std::vector<std::thread> arrThreads;
        for (int i = 0; i < kOpeners; i++)
        {
            arrThreads.emplace_back(
                [&]
                {
                    while (!bStop.load() && nToOpen.fetch_sub(1) > 0)
                    {
                        std::string strError;
                        int fd =
                            OpenTunnel(m_options.target, SOCKS5_BY_ADDRESS, saEcho, kTimeoutMs, strError);
                        if (fd < 0 || Clock::now() > tGiveUp)
                        {
                            errors.Add(fd < 0 ? strError : "opening took longer than 90 s");
                            if (fd >= 0)
                                close(fd);
                            bStop.store(true);
                            return;
                        }
                        std::lock_guard<std::mutex> lock(mutexFds);
                        arrFds.push_back(fd);
                    }
                });
        }
        for (std::thread& t : arrThreads)
            t.join();
        double dOpenSeconds = SecondsBetween(tOpen, Clock::now());
        if (errors.Count() > 0)
        {
            bFailed = true;
            std::string strCell = "failed at " + std::to_string(arrFds.size());
            Put(strKey, strCell);
            LogFigure(strKey, strCell, &errors);
            continue;
        }

        // Every tunnel must still carry data: one byte there and back through each.
        CErrorTally dead;
        std::vector<std::thread> arrCheckers;
        for (int i = 0; i < kOpeners; i++)
        {
            arrCheckers.emplace_back(
                [&, i]
                {
                    for (size_t n = (size_t)i; n < arrFds.size(); n += kOpeners)
                    {
                        unsigned char cOut = (unsigned char)n, cIn = 0;
                        if (!SendAll(arrFds[n], &cOut, 1))
                            dead.Add(ErrnoReason("send"));
                        else if (!RecvAll(arrFds[n], &cIn, 1))
                            dead.Add(ErrnoReason("receive"));
                        else if (cIn != cOut)
                            dead.Add("echo differs");
                    }
                });
        }
        for (std::thread& t : arrCheckers)
            t.join();
        // Idle means idle: the tunnels stay silent for a while before the proxy's memory is read,
        // so that a proxy that sheds what a quiet tunnel does not need is seen doing so.
        std::this_thread::sleep_for(std::chrono::milliseconds(kIdleSettleMs));

        const SProcStats after = ReadProcessTree(m_options.pidProxy);
        std::string strCell;
        if (m_options.pidProxy <= 0)
            strCell = "open, no process to read";
        else if (!after.bAlive)
        {
            bFailed = true;
            strCell = "proxy died";
        }
        else
        {
            double dKibEach = ((double)after.nRssKb - (double)before.nRssKb) / nLevel;
            strCell = Fixed(dKibEach, 1) + " KiB, " + std::to_string(after.nThreads) + " thr";
            if (after.nProcesses > 1)
                strCell += ", " + std::to_string(after.nProcesses) + " proc";
            if (dead.Count() > 0)
                strCell += " (" + std::to_string(dead.Count()) + " dead)";
        }
        Put(strKey, strCell);
        LogFigure(strKey,
                  strCell + ", opened in " + Fixed(dOpenSeconds, 1) + " s, proxy " +
                      std::to_string(after.nRssKb) + " KiB",
                  &dead);
    }
    CloseAll(arrFds);
}
