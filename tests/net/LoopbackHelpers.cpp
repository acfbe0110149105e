// LoopbackHelpers.cpp: loopback sockets and blocked calls for the socket tests.
#include "tests/net/LoopbackHelpers.h"

#include "net/ErrorText.h"

#include <cstring>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

sockaddr_in LoopbackAddress(unsigned short nPort)
{
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(nPort);
    sa.sin_addr.s_addr = inet_addr("127.0.0.1");
    return sa;
}

SLoopbackPair::SLoopbackPair()
{
    hListen = SysSocket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = LoopbackAddress(0);
    int nLen = sizeof(sa);
    if (hListen == INVALID_SOCKET || SysBind(hListen, (sockaddr*)&sa, sizeof(sa)) != 0 ||
        SysListen(hListen, 4) != 0 || SysGetSockName(hListen, (sockaddr*)&sa, &nLen) != 0)
    {
        ADD_FAILURE() << "listening socket: " << SysGetSocketError();
        return;
    }
    nPort = ntohs(sa.sin_port);
    hClient = SysSocket(AF_INET, SOCK_STREAM, 0);
    if (SysConnect(hClient, (sockaddr*)&sa, sizeof(sa)) != 0)
    {
        ADD_FAILURE() << "connect: " << SysGetSocketError();
        return;
    }
    nLen = sizeof(sa);
    hServer = SysAccept(hListen, (sockaddr*)&sa, &nLen);
    if (hServer == INVALID_SOCKET)
        ADD_FAILURE() << "accept: " << SysGetSocketError();
}

SLoopbackPair::~SLoopbackPair()
{
    CloseSocketAt(&hServer, SysCloseSocket);
    CloseSocketAt(&hClient, SysCloseSocket);
    CloseSocketAt(&hListen, SysCloseSocket);
}

SOCKET BoundUdpSocket(sockaddr_in* pBound)
{
    SOCKET h = SysSocket(AF_INET, SOCK_DGRAM, 0);
    *pBound = LoopbackAddress(0);
    int nLen = sizeof(*pBound);
    if (h == INVALID_SOCKET || SysBind(h, (sockaddr*)pBound, sizeof(*pBound)) != 0 ||
        SysGetSockName(h, (sockaddr*)pBound, &nLen) != 0)
        ADD_FAILURE() << "udp socket: " << SysGetSocketError();
    return h;
}

CBlockedCall::CBlockedCall(std::function<void()> call) : nToken(0), bEnded(false), bThrew(false), nThrown(0)
{
    thread = std::thread(
        [this, call]
        {
            nToken = CurrentThreadToken();
            try
            {
                call();
            }
            catch (uint32_t nCode)
            {
                nThrown = nCode;
                bThrew = true;
            }
            tEnded = Clock::now();
            bEnded = true;
        });
}

CBlockedCall::~CBlockedCall()
{
    if (thread.joinable())
        thread.join();
}

void CBlockedCall::WaitBlocked()
{
    while (nToken.load() == 0)
        std::this_thread::yield();
    WaitUntilBlocked(nToken.load());
}

bool CBlockedCall::WaitEnded(int nMs)
{
    Clock::time_point tDeadline = Clock::now() + std::chrono::milliseconds(nMs);
    while (!bEnded.load())
    {
        if (Clock::now() > tDeadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread.join();
    return true;
}

long long CBlockedCall::MsFrom(Clock::time_point t) const
{
    return (long long)std::chrono::duration_cast<std::chrono::microseconds>(tEnded - t).count() / 1000;
}

namespace
{

// Windows Sockets must be started before the first socket call of every test process.
class CSocketsEnvironment : public ::testing::Environment
{
public:
    void SetUp() override { ASSERT_TRUE(StartSockets()); }
    void TearDown() override { StopSockets(); }
};

::testing::Environment* const g_pSocketsEnvironment =
    ::testing::AddGlobalTestEnvironment(new CSocketsEnvironment);

} // namespace

bool IsNagleOff(SOCKET h)
{
#ifdef _WIN32
    BOOL bOn = FALSE;
    int nLength = sizeof(bOn);
    return getsockopt(h, IPPROTO_TCP, TCP_NODELAY, (char*)&bOn, &nLength) == 0 && bOn != FALSE;
#else
    int nOn = 0;
    socklen_t nLength = sizeof(nOn);
    // A handle is its descriptor in the low 32 bits and a generation above them.
    return getsockopt((int)(uint32_t)h, IPPROTO_TCP, TCP_NODELAY, &nOn, &nLength) == 0 && nOn != 0;
#endif
}
