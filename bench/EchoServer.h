// The destination servers of the load generator on 127.0.0.1: TCP echo, closer (closes every
// connection as soon as it is accepted), sink, source and duplex (sink and source at once on one
// connection), and UDP echo.
//
// The set-up measurements connect to the closer so that the destination, not the proxy, closes first:
// the TIME_WAIT state then stays with the destination's listening port instead of holding one of the
// proxy's ephemeral ports for a minute. Tens of thousands of set-ups would otherwise exhaust the
// ephemeral range of a proxy that binds its outgoing sockets (Dante does) and skew every later figure.
//
// They run in a child process of the generator so that the descriptors of thousands of idle tunnels
// are split between two processes (client ends here, server ends there), each under the limit.
// A sink or duplex connection begins with a 4-byte slot number; the sink adds every byte it receives (and
// every block that breaks the pattern) to that slot in memory shared with the generator, so that upload
// figures count bytes that really arrived, not bytes that merely left the generator.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>

struct SSinkSlot
{
    std::atomic<uint64_t> nBytes;
    std::atomic<uint64_t> nBadBlocks;
};

class CServerProcess
{
public:
    static constexpr int kSlots = 256;

    // Opens the sockets, forks the server process and closes the parent's copies. Call it before
    // the generator starts any thread.
    bool Start();
    void Stop();

    uint16_t EchoPort() const { return m_nEcho; }
    uint16_t CloserPort() const { return m_nCloser; }
    uint16_t SinkPort() const { return m_nSink; }
    uint16_t SourcePort() const { return m_nSource; }
    uint16_t DuplexPort() const { return m_nDuplex; }
    uint16_t UdpEchoPort() const { return m_nUdpEcho; }
    pid_t Pid() const { return m_pid; }

    // A fresh sink slot, zeroed; slots are reused round-robin.
    uint32_t AllocSlot();
    SSinkSlot& Slot(uint32_t nSlot) { return m_pSlots[nSlot % kSlots]; }

private:
    uint16_t m_nEcho = 0, m_nCloser = 0, m_nSink = 0, m_nSource = 0, m_nDuplex = 0, m_nUdpEcho = 0;
    pid_t m_pid = -1;
    int m_fdLife = -1; // the server process ends when this pipe closes
    SSinkSlot* m_pSlots = nullptr;
    uint32_t m_nNextSlot = 0;
};
