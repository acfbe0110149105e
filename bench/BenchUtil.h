// Helpers of the load generator: clock, blocking socket calls with time-outs, the test pattern,
// and the memory and thread figures of a process tree read from /proc.
//
// Every byte the generator moves follows one pattern (the byte at stream position p is p % 251),
// so that both ends can check what arrived without keeping a copy of what was sent. 251 is prime:
// no buffer size lines up with it, so a lost or repeated block always shows.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

double SecondsBetween(Clock::time_point tFrom, Clock::time_point tTo);
Clock::time_point AfterSeconds(Clock::time_point t, double dSeconds);
void SleepUntil(Clock::time_point t);

constexpr size_t kPatternPeriod = 251;
constexpr size_t kChunk = 65536;

// The pattern from stream position nPos on; kChunk bytes are readable.
const unsigned char* PatternAt(uint64_t nPos);
bool CheckPattern(const unsigned char* pData, size_t nLen, uint64_t nPos);

sockaddr_in LoopbackAddress(uint16_t nPort);
bool ParseEndpoint(const char* pszText, sockaddr_in& sa);
std::string EndpointString(const sockaddr_in& sa);

// A blocking TCP socket connected to sa, with receive and send time-outs of nTimeoutMs (which also
// bound the connect). Returns -1 with errno set on failure.
int ConnectTcp(const sockaddr_in& sa, int nTimeoutMs);
void SetSocketTimeouts(int fd, int nTimeoutMs);
// Both return false on error, end of stream or time-out; errno is 0 at end of stream.
bool SendAll(int fd, const void* pData, size_t nLen);
bool RecvAll(int fd, void* pData, size_t nLen);

// "what: reason" for the errno of a failed call: "closed by peer" for 0 (end of stream, as RecvAll
// leaves it), "timed out" for a socket time-out.
std::string ErrnoReason(const char* pszWhat);

// Listening or bound loopback socket on an ephemeral port; returns -1 on failure.
int ListenTcp(uint16_t& nPort);
int BindUdp(uint16_t& nPort);

// Raises the soft descriptor limit to the hard one; returns the new soft limit.
long RaiseDescriptorLimit();

struct SProcStats
{
    bool bAlive = false;
    uint64_t nRssKb = 0; // VmRSS summed over the process and its descendants
    int nThreads = 0;    // Threads summed likewise
    int nProcesses = 0;
};
SProcStats ReadProcessTree(int pid);
// The process and its descendants, the process first.
std::vector<int> ProcessTreePids(int pid);

std::string MachineDescription();
// The one-minute load average, as /proc/loadavg gives it.
std::string LoadAverage();
