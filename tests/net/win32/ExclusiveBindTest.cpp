// ExclusiveBindTest.cpp (Windows): the listener holds its port for exclusive use.
#include <gtest/gtest.h>

#include <winsock2.h>

#include "engine/Server.h"
#include "engine/ServerContext.h"

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

} // namespace
