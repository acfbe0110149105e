// Helpers of the load generator: clock, blocking socket calls, test pattern, /proc figures.
#include "BenchUtil.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

double SecondsBetween(Clock::time_point tFrom, Clock::time_point tTo)
{
    return std::chrono::duration<double>(tTo - tFrom).count();
}

Clock::time_point AfterSeconds(Clock::time_point t, double dSeconds)
{
    return t + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(dSeconds));
}

void SleepUntil(Clock::time_point t)
{
    std::this_thread::sleep_until(t);
}

namespace
{
struct SPatternBuffer
{
    unsigned char ab[kChunk + kPatternPeriod];
    SPatternBuffer()
    {
        for (size_t i = 0; i < sizeof(ab); i++)
            ab[i] = (unsigned char)(i % kPatternPeriod);
    }
};
const SPatternBuffer g_pattern;
} // namespace

const unsigned char* PatternAt(uint64_t nPos)
{
    return g_pattern.ab + nPos % kPatternPeriod;
}

bool CheckPattern(const unsigned char* pData, size_t nLen, uint64_t nPos)
{
    while (nLen > 0)
    {
        size_t n = nLen < kChunk ? nLen : kChunk;
        if (memcmp(pData, PatternAt(nPos), n) != 0)
            return false;
        pData += n;
        nPos += n;
        nLen -= n;
    }
    return true;
}

sockaddr_in LoopbackAddress(uint16_t nPort)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(nPort);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

bool ParseEndpoint(const char* pszText, sockaddr_in& sa)
{
    const char* pColon = strrchr(pszText, ':');
    if (!pColon || pColon == pszText)
        return false;
    std::string strHost(pszText, pColon - pszText);
    char* pEnd = nullptr;
    unsigned long nPort = strtoul(pColon + 1, &pEnd, 10);
    if (*pEnd || nPort == 0 || nPort > 65535)
        return false;
    sa = sockaddr_in{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)nPort);
    if (inet_pton(AF_INET, strHost.c_str(), &sa.sin_addr) != 1)
        return false;
    // The generator only ever talks to loopback.
    return (ntohl(sa.sin_addr.s_addr) >> 24) == 127;
}

std::string EndpointString(const sockaddr_in& sa)
{
    char sz[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &sa.sin_addr, sz, sizeof(sz));
    return std::string(sz) + ":" + std::to_string(ntohs(sa.sin_port));
}

void SetSocketTimeouts(int fd, int nTimeoutMs)
{
    timeval tv{};
    tv.tv_sec = nTimeoutMs / 1000;
    tv.tv_usec = (nTimeoutMs % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

int ConnectTcp(const sockaddr_in& sa, int nTimeoutMs)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int nOne = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
    SetSocketTimeouts(fd, nTimeoutMs);
    while (connect(fd, (const sockaddr*)&sa, sizeof(sa)) != 0)
    {
        if (errno == EINTR)
            continue;
        int nErr = errno;
        close(fd);
        errno = nErr;
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const void* pData, size_t nLen)
{
    const char* p = (const char*)pData;
    while (nLen > 0)
    {
        ssize_t n = send(fd, p, nLen, MSG_NOSIGNAL);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        nLen -= (size_t)n;
    }
    return true;
}

bool RecvAll(int fd, void* pData, size_t nLen)
{
    char* p = (char*)pData;
    while (nLen > 0)
    {
        ssize_t n = recv(fd, p, nLen, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            if (n == 0)
                errno = 0;
            return false;
        }
        p += n;
        nLen -= (size_t)n;
    }
    return true;
}

std::string ErrnoReason(const char* pszWhat)
{
    if (errno == 0)
        return std::string(pszWhat) + ": closed by peer";
    if (errno == EAGAIN)
        return std::string(pszWhat) + ": timed out";
    return std::string(pszWhat) + ": " + strerror(errno);
}

namespace
{
int BindLoopback(int nType, uint16_t& nPort)
{
    int fd = socket(AF_INET, nType | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in sa = LoopbackAddress(nPort);
    socklen_t nLen = sizeof(sa);
    if (bind(fd, (sockaddr*)&sa, sizeof(sa)) != 0 || getsockname(fd, (sockaddr*)&sa, &nLen) != 0)
    {
        close(fd);
        return -1;
    }
    nPort = ntohs(sa.sin_port);
    return fd;
}
} // namespace

int ListenTcp(uint16_t& nPort)
{
    int fd = BindLoopback(SOCK_STREAM, nPort);
    if (fd >= 0 && listen(fd, 4096) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

int BindUdp(uint16_t& nPort)
{
    return BindLoopback(SOCK_DGRAM, nPort);
}

long RaiseDescriptorLimit()
{
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return -1;
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    getrlimit(RLIMIT_NOFILE, &rl);
    return (long)rl.rlim_cur;
}

namespace
{
bool ReadStatus(int pid, uint64_t& nRssKb, int& nThreads)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    if (!in)
        return false;
    std::string strLine;
    nRssKb = 0;
    nThreads = 0;
    while (std::getline(in, strLine))
    {
        if (strLine.compare(0, 6, "VmRSS:") == 0)
            nRssKb = strtoull(strLine.c_str() + 6, nullptr, 10);
        else if (strLine.compare(0, 8, "Threads:") == 0)
            nThreads = atoi(strLine.c_str() + 8);
    }
    return true;
}

// Parent of every process, from /proc/N/stat (the name in parentheses may hold spaces).
std::multimap<int, int> ReadChildren()
{
    std::multimap<int, int> mapChildren;
    DIR* pDir = opendir("/proc");
    if (!pDir)
        return mapChildren;
    while (dirent* pEntry = readdir(pDir))
    {
        int pid = atoi(pEntry->d_name);
        if (pid <= 0)
            continue;
        std::ifstream in(std::string("/proc/") + pEntry->d_name + "/stat");
        std::string strStat;
        if (!std::getline(in, strStat))
            continue;
        size_t nParen = strStat.rfind(')');
        if (nParen == std::string::npos)
            continue;
        char cState = 0;
        int nParent = 0;
        if (sscanf(strStat.c_str() + nParen + 1, " %c %d", &cState, &nParent) == 2)
            mapChildren.emplace(nParent, pid);
    }
    closedir(pDir);
    return mapChildren;
}
} // namespace

SProcStats ReadProcessTree(int pid)
{
    SProcStats stats;
    if (pid <= 0)
        return stats;
    std::multimap<int, int> mapChildren = ReadChildren();
    std::vector<int> arrPending{pid};
    while (!arrPending.empty())
    {
        int nPid = arrPending.back();
        arrPending.pop_back();
        uint64_t nRss = 0;
        int nThreads = 0;
        if (!ReadStatus(nPid, nRss, nThreads))
            continue;
        if (nPid == pid)
            stats.bAlive = true;
        stats.nRssKb += nRss;
        stats.nThreads += nThreads;
        stats.nProcesses++;
        auto range = mapChildren.equal_range(nPid);
        for (auto it = range.first; it != range.second; ++it)
            arrPending.push_back(it->second);
    }
    return stats;
}

std::vector<int> ProcessTreePids(int pid)
{
    std::vector<int> arrPids;
    if (pid <= 0)
        return arrPids;
    std::multimap<int, int> mapChildren = ReadChildren();
    arrPids.push_back(pid);
    for (size_t i = 0; i < arrPids.size(); i++)
    {
        auto range = mapChildren.equal_range(arrPids[i]);
        for (auto it = range.first; it != range.second; ++it)
            arrPids.push_back(it->second);
    }
    return arrPids;
}

std::string MachineDescription()
{
    std::string strCpu = "unknown CPU";
    std::ifstream in("/proc/cpuinfo");
    std::string strLine;
    while (std::getline(in, strLine))
    {
        if (strLine.compare(0, 10, "model name") == 0)
        {
            size_t nColon = strLine.find(':');
            if (nColon != std::string::npos)
                strCpu = strLine.substr(nColon + 2);
            break;
        }
    }
    utsname uts{};
    uname(&uts);
    return std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " CPUs (" + strCpu + "), " + uts.sysname + " " +
           uts.release + " " + uts.machine;
}

std::string LoadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string strLoad;
    in >> strLoad;
    return strLoad.empty() ? "?" : strLoad;
}
