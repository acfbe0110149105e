// StreamRelayTest.cpp: the system's relay between two stream sockets: bytes exact and counted
// both ways at once, nothing lost when a side ends, the ends that a close or a peer that stops
// reading bring, and no pipe kept by a tunnel that has gone quiet.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "tests/net/LoopbackHelpers.h"

namespace
{

// The byte at a position of the test stream: not periodic in any block size the relay uses.
char PatternByte(size_t nPos)
{
    return (char)((nPos * 7 + nPos / 251) & 0xFF);
}

// Sends nBytes of the pattern through the platform's blocking send.
bool SendPattern(SOCKET h, size_t nBytes)
{
    std::vector<char> block(48 * 1024 + 13);
    for (size_t nDone = 0; nDone < nBytes;)
    {
        size_t nPart = std::min(block.size(), nBytes - nDone);
        for (size_t i = 0; i < nPart; i++)
            block[i] = PatternByte(nDone + i);
        int nSent = SysSend(h, block.data(), (int)nPart, 0);
        if (nSent <= 0)
            return false;
        nDone += (size_t)nSent;
    }
    return true;
}

// Receives until the peer closes or nLimit bytes have come, checking the pattern; the count, or
// -1 on a wrong byte or a wait longer than 10 s.
long long ReceivePattern(SOCKET h, size_t nLimit)
{
    std::vector<char> block(64 * 1024);
    size_t nDone = 0;
    while (nDone < nLimit)
    {
        SOCKSET set;
        SockSetClear(&set);
        SockSetAdd(&set, h);
        timeval tv = {10, 0};
        if (SysSelect(0, &set, nullptr, nullptr, &tv) != 1)
            return -1;
        int n = SysRecv(h, block.data(), (int)std::min(block.size(), nLimit - nDone), 0);
        if (n <= 0)
            break;
        for (int i = 0; i < n; i++)
        {
            if (block[(size_t)i] != PatternByte(nDone + (size_t)i))
                return -1;
        }
        nDone += (size_t)n;
    }
    return (long long)nDone;
}

bool WaitUntilTrue(const std::function<bool()>& condition)
{
    for (int i = 0; i < 200 && !condition(); i++) // 10 s at most
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return condition();
}

int OpenDescriptors()
{
    int nCount = 0;
    DIR* pDir = opendir("/proc/self/fd");
    if (!pDir)
        return -1;
    while (readdir(pDir))
        nCount++;
    closedir(pDir);
    return nCount;
}

// What a watch reports: how often it was handed back.
struct SWatchCount
{
    std::atomic<int> nReady{0};
    static void Ready(void* pArg) { static_cast<SWatchCount*>(pArg)->nReady++; }
};

// Two loopback connections, and the relay between the inner ends on a thread of its own:
// outer A <-> inner A == relay == inner B <-> outer B.
class StreamRelay : public ::testing::Test
{
protected:
    void StartRelay(int nSendTimeoutMs = 10000, int nQuietMs = -1)
    {
        sideA = {left.hServer, nSendTimeoutMs, &nTrafficA};
        sideB = {right.hClient, nSendTimeoutMs, &nTrafficB};
        relay = std::async(std::launch::async, [this, nQuietMs] { return SysRelayStreams(sideA, sideB, nQuietMs); });
    }
    // True when the relay has returned within nMs, with eEnd.
    bool RelayEnded(int nMs, ERelayEnd eEnd = RELAY_ENDED)
    {
        return relay.wait_for(std::chrono::milliseconds(nMs)) == std::future_status::ready && relay.get() == eEnd;
    }
    void TearDown() override
    {
        // A relay that failed to end is ended by its handles' close, before the pairs go.
        if (relay.valid() && relay.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        {
            SysCloseSocket(left.hServer);
            left.hServer = INVALID_SOCKET;
            relay.wait();
        }
    }

    SLoopbackPair left;  // hClient: outer A, hServer: inner A
    SLoopbackPair right; // hClient: inner B, hServer: outer B
    std::atomic<uint64_t> nTrafficA{0};
    std::atomic<uint64_t> nTrafficB{0};
    SRelaySide sideA;
    SRelaySide sideB;
    std::future<ERelayEnd> relay;
};

} // namespace

TEST_F(StreamRelay, MovesBothWaysAtOnceByteForByteAndCountsEachSide)
{
    const size_t nBytes = 6 * 1024 * 1024 + 4321;
    StartRelay();
    auto sendA = std::async(std::launch::async, [&] { return SendPattern(left.hClient, nBytes); });
    auto sendB = std::async(std::launch::async, [&] { return SendPattern(right.hServer, nBytes); });
    auto receiveA = std::async(std::launch::async, [&] { return ReceivePattern(left.hClient, nBytes); });
    EXPECT_EQ(ReceivePattern(right.hServer, nBytes), (long long)nBytes);
    EXPECT_EQ(receiveA.get(), (long long)nBytes);
    EXPECT_TRUE(sendA.get());
    EXPECT_TRUE(sendB.get());
    // Each side's counter holds what came from it and what went to it.
    EXPECT_EQ(nTrafficA.load(), 2 * nBytes);
    EXPECT_EQ(nTrafficB.load(), 2 * nBytes);

    SysCloseSocket(left.hClient);
    left.hClient = INVALID_SOCKET;
    EXPECT_TRUE(RelayEnded(5000));
}

// A side that ends its sending while the other direction's pipe still holds data for it, because
// it had stopped reading: what the relay took from the other side still reaches it.
TEST_F(StreamRelay, WhatTheRelayTookBeforeASideEndedStillArrives)
{
    StartRelay();
    auto sender = std::async(std::launch::async, [&] { return SendPattern(right.hServer, 32 * 1024 * 1024); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // every queue on the way fills
    shutdown((int)(uint32_t)left.hClient, SHUT_WR);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the relay meets the end first
    auto receiver = std::async(std::launch::async, [&] { return ReceivePattern(left.hClient, 64 * 1024 * 1024); });
    ASSERT_TRUE(RelayEnded(10000));
    SysCloseSocket(left.hServer); // what the session does once the relay has returned
    left.hServer = INVALID_SOCKET;
    SysCloseSocket(right.hClient);
    right.hClient = INVALID_SOCKET;
    long long nArrived = receiver.get();
    EXPECT_GT(nArrived, 0);
    EXPECT_EQ((uint64_t)nArrived, nTrafficB.load()); // all it took from B
    EXPECT_EQ((uint64_t)nArrived, nTrafficA.load()); // and counted as sent to A
    EXPECT_FALSE(sender.get());
}

// A peer that has stopped reading: the relay waits for room, and a close of either handle from
// another thread (the server's stop) ends it at once.
TEST_F(StreamRelay, ACloseFromAnotherThreadEndsARelayWaitingForRoom)
{
    StartRelay();
    auto sender = std::async(std::launch::async, [&] { return SendPattern(left.hClient, 64 * 1024 * 1024); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(RelayEnded(0));
    SysCloseSocket(left.hServer);
    left.hServer = INVALID_SOCKET;
    EXPECT_TRUE(RelayEnded(2000));
    SysCloseSocket(left.hClient); // ends the sender, whose peer is gone
    left.hClient = INVALID_SOCKET;
    EXPECT_FALSE(sender.get());
}

TEST_F(StreamRelay, APeerThatTakesNothingForItsSendTimeOutEndsTheRelay)
{
    const int nBefore = OpenDescriptors();
    StartRelay(300);
    auto sender = std::async(std::launch::async, [&] { return SendPattern(left.hClient, 64 * 1024 * 1024); });
    EXPECT_TRUE(RelayEnded(10000));
    EXPECT_EQ(OpenDescriptors(), nBefore); // the pipe that held the rest is closed too
    SysCloseSocket(left.hServer);
    left.hServer = INVALID_SOCKET;
    SysCloseSocket(left.hClient);
    left.hClient = INVALID_SOCKET;
    EXPECT_FALSE(sender.get());
}

// Pipes cost descriptors, and thousands of idle tunnels must fit under the process's limit: a
// tunnel that has moved bulk data gives its pipes back once it has been quiet for a while.
TEST_F(StreamRelay, AQuietTunnelKeepsNoPipe)
{
    const int nBefore = OpenDescriptors();
    StartRelay();
    const size_t nBytes = 2 * 1024 * 1024;
    auto sender = std::async(std::launch::async, [&] { return SendPattern(left.hClient, nBytes); });
    ASSERT_EQ(ReceivePattern(right.hServer, nBytes), (long long)nBytes);
    ASSERT_TRUE(sender.get());
    int nAfter = -1;
    for (int i = 0; i < 60 && nAfter != nBefore; i++) // the relay's linger is a second
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        nAfter = OpenDescriptors();
    }
    EXPECT_EQ(nAfter, nBefore);
    EXPECT_FALSE(RelayEnded(0));
    // It still relays afterwards.
    ASSERT_TRUE(SendPattern(right.hServer, 5000));
    EXPECT_EQ(ReceivePattern(left.hClient, 5000), 5000);
}

// A quiet tunnel returns from the relay holding nothing; the watch hands it back once when a side
// has data, and a relay called again carries on byte for byte.
TEST_F(StreamRelay, AQuietTunnelIsWatchedAndGoesOnWhereItLeftOff)
{
    StartRelay(10000, 200);
    ASSERT_TRUE(SendPattern(left.hClient, 3000));
    ASSERT_EQ(ReceivePattern(right.hServer, 3000), 3000);
    ASSERT_TRUE(RelayEnded(5000, RELAY_QUIET));

    SWatchCount watch;
    ASSERT_TRUE(SysWatchStreams(left.hServer, right.hClient, SWatchCount::Ready, &watch));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(watch.nReady.load(), 0); // nothing to report yet
    ASSERT_TRUE(SendPattern(right.hServer, 5000));
    EXPECT_TRUE(WaitUntilTrue([&] { return watch.nReady.load() == 1; }));

    StartRelay();
    EXPECT_EQ(ReceivePattern(left.hClient, 5000), 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(watch.nReady.load(), 1); // handed back once only
    EXPECT_EQ(nTrafficB.load(), 3000u + 5000u);
}

// The server's stop closes the handles of every session: a watched tunnel is handed back at once,
// and its relay ends.
TEST_F(StreamRelay, ACloseFromAnotherThreadHandsAWatchedTunnelBack)
{
    SWatchCount watch;
    ASSERT_TRUE(SysWatchStreams(left.hServer, right.hClient, SWatchCount::Ready, &watch));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(watch.nReady.load(), 0);
    SysCloseSocket(right.hClient);
    right.hClient = INVALID_SOCKET;
    EXPECT_TRUE(WaitUntilTrue([&] { return watch.nReady.load() == 1; }));
    sideA = {left.hServer, 1000, &nTrafficA};
    sideB = {right.hClient, 1000, &nTrafficB};
    EXPECT_EQ(SysRelayStreams(sideA, sideB, -1), RELAY_ENDED);
}
