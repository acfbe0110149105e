// LoopbackHelpers.h: real sockets on 127.0.0.1 for the socket tests, and a call run on its own
// thread so that another thread can close its handle under it.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "net/BlockingSocket.h"

sockaddr_in LoopbackAddress(unsigned short nPort);

// A listening socket on 127.0.0.1 at a free port, a connected client and the accepted server
// side. Every handle is closed by the destructor unless a test has closed it already.
struct SLoopbackPair
{
    SLoopbackPair();
    ~SLoopbackPair();
    SOCKET hListen = INVALID_SOCKET;
    SOCKET hClient = INVALID_SOCKET;
    SOCKET hServer = INVALID_SOCKET;
    unsigned short nPort = 0;
};

// Whether Nagle's algorithm is off on the socket, read from the system itself.
bool IsNagleOff(SOCKET h);

// A UDP socket bound to 127.0.0.1 at a free port.
SOCKET BoundUdpSocket(sockaddr_in* pBound);

// The calling thread's identity for WaitUntilBlocked.
uint64_t CurrentThreadToken();
// Returns once the thread is asleep in the system (within a bounded time). Linux reads the
// thread's state; Windows has no such view, so there it gives the thread a fixed head start.
void WaitUntilBlocked(uint64_t nThreadToken);

// Runs a blocking call on its own thread and records when it ended and what it threw.
class CBlockedCall
{
public:
    typedef std::chrono::steady_clock Clock;

    explicit CBlockedCall(std::function<void()> call);
    ~CBlockedCall();

    // Returns when the call is blocked in the system.
    void WaitBlocked();
    // Joins the thread if it ends within nMs; false when it is still running.
    bool WaitEnded(int nMs);
    bool Threw() const { return bThrew; }
    uint32_t ThrownCode() const { return nThrown; }
    // Milliseconds from the given moment to the end of the call.
    long long MsFrom(Clock::time_point t) const;

private:
    std::thread thread;
    std::atomic<uint64_t> nToken;
    std::atomic<bool> bEnded;
    std::atomic<bool> bThrew;
    std::atomic<uint32_t> nThrown;
    Clock::time_point tEnded;
};
