// ExclusiveBindTest.cpp (Windows): the listener holds its port for exclusive use.
#include <gtest/gtest.h>

#include <winsock2.h>

#include "engine/Server.h"
#include "engine/ServerContext.h"
#include "net/SocketApi.h"

namespace
{
bool IsExclusive(SOCKET s)
{
    BOOL bOn = FALSE;
    int nLen = sizeof(bOn);
    return getsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (char*)&bOn, &nLen) == 0 && bOn;
}

TEST(ExclusiveBind, TheListenersSocketIsBoundForExclusiveUse)
{
    SServerContext context;
    context.hListenSocket = INVALID_SOCKET;
    context.saListen.sin_family = AF_INET;
    context.saListen.sin_port = 0;
    context.saListen.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    CServerListenThread listener(&context);
    BindServiceAddress(listener);
    ASSERT_NE(INVALID_SOCKET, context.hListenSocket);
    EXPECT_NE(0, context.saListen.sin_port);
    EXPECT_TRUE(IsExclusive(context.hListenSocket));
    listener.Close();
}

// Datagram sockets of the relay bind port 0 and keep the system's default.
TEST(ExclusiveBind, DatagramSocketsAreLeftAlone)
{
    const SSocketApi* pApi = GetSystemSocketApi();
    SOCKET s = pApi->socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(INVALID_SOCKET, s);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, pApi->bind(s, (sockaddr*)&sa, sizeof(sa)));
    EXPECT_FALSE(IsExclusive(s));
    pApi->closesocket(s);
}
} // namespace
