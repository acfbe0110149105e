// ProxyTest.cpp: transactions through real local proxies: Tollgate's own engine for SOCKS4 and
// SOCKS5 (with and without authentication), and a small SOCKS4a server of the test that resolves
// one made-up name to loopback; plus malformed SOCKS replies over the scripted socket table.
#include <gtest/gtest.h>

#include "AgentTestSupport.h"
#include "config/Settings.h"
#include "tests/support/LoopbackHttpServer.h"

namespace
{

SProxySettings Proxy(int nType, uint16_t nPort, const char* pszUser = "", const char* pszPassword = "",
                     int bRemote = 0)
{
    SProxySettings proxy = {1, nType, "127.0.0.1", nPort, *pszPassword != 0, "", "", bRemote};
    snprintf(proxy.user, sizeof(proxy.user), "%s", pszUser);
    snprintf(proxy.password, sizeof(proxy.password), "%s", pszPassword);
    return proxy;
}

// The error text of a GET through the proxy; "" when it got status 200.
std::string Get(const char* pszHost, uint16_t nPort, const SProxySettings& proxy)
{
    CTempFolder folder;
    std::string strUrl = "http://" + std::string(pszHost) + ":" + std::to_string(nPort) + "/through-proxy";
    SUrl* pUrl = ParseUrl(strUrl.c_str());
    SHttpRequest request;
    request.url = pUrl;
    request.responseFile = (folder.GetPath() + PATH_SEPARATOR + "body").c_str();
    CSTBlockingSocket sock(10, 10);
    int nResult = RunHttpTransaction(request, sock, &proxy, "Proxy Test", nullptr, nullptr, nullptr);
    sock.Close();
    FreeUrl(pUrl);
    EXPECT_TRUE(nResult == 0 || nResult == (HTTP_FAILED | HTTP_FAILED_CONNECT)) << nResult;
    return nResult == 0 && request.response.status == 200 ? "" : request.errorText.GetString();
}

// A SOCKS4a server that knows one name, "upload.test", which it connects to 127.0.0.1; every
// other request gets 91. It serves one client: passes its request head on and the answer back.
class CSocks4aServer
{
public:
    CSocks4aServer()
    {
        listener.Bind(0);
        SysListen(listener.hSocket, 4);
        thread = std::thread(
            [this]
            {
                CTestSocket client, target;
                SysCloseSocket(client.hSocket);
                client.hSocket = SysAccept(listener.hSocket, nullptr, nullptr);
                std::string strHead = client.Receive(8, 2000), strUser = ReadText(client);
                strName = ReadText(client);
                uint16_t nPort =
                    (uint16_t)(strHead.size() == 8 ? (uint8_t)strHead[2] << 8 | (uint8_t)strHead[3] : 0);
                if (strHead.compare(4, 4, std::string("\0\0\0\x01", 4)) != 0 || strName != "upload.test" ||
                    !target.Connect(nPort))
                    return (void)client.Send(SOCKS4_REJECTED);
                client.Send(SOCKS4_GRANTED);
                std::string strRequest;
                for (std::string strByte; strRequest.find("\r\n\r\n") == std::string::npos &&
                                          (strByte = client.Receive(1, 2000)).size() == 1;)
                    strRequest += strByte;
                std::string strAnswer;
                target.Send(strRequest);
                target.WaitClosed(5000, &strAnswer);
                client.Send(strAnswer);
            });
    }
    ~CSocks4aServer() { Finish(); }
    uint16_t GetPort() const { return ntohs(listener.LocalAddress().sin_port); }
    // Ends the server (a client that never came is stood in for); the name it was asked for.
    std::string Finish()
    {
        if (thread.joinable())
        {
            CTestSocket().Connect(GetPort());
            thread.join();
        }
        return strName;
    }

private:
    static std::string ReadText(CTestSocket& client)
    {
        std::string str, strByte;
        while ((strByte = client.Receive(1, 2000)).size() == 1 && strByte[0] != 0)
            str += strByte;
        return str;
    }

    CTestSocket listener;
    std::string strName;
    std::thread thread;
};

class ThroughTollgate : public LiveServer
{
};

} // namespace

TEST_F(ThroughTollgate, Socks4AndSocks5CarryTheRequest)
{
    CLoopbackHttpServer target;
    EXPECT_EQ(Get("127.0.0.1", target.GetPort(), Proxy(PROXY_SOCKS4, nPort, "ann")), "");
    EXPECT_EQ(Get("127.0.0.1", target.GetPort(), Proxy(PROXY_SOCKS5, nPort)), "");
    EXPECT_EQ(Get("127.0.0.1", target.GetPort(), Proxy(PROXY_SOCKS5, nPort, "", "", 1)), "");
    std::vector<CLoopbackHttpServer::SExchange> exchanges = target.WaitExchanges(3);
    ASSERT_EQ(exchanges.size(), 3u);
    EXPECT_EQ(HeadLines(exchanges[2].strHead)[1], "Host: 127.0.0.1:" + std::to_string(target.GetPort()));
}

TEST_F(ThroughTollgate, Socks5UserNameAndPassword)
{
    g_settings.bSocks5Auth = 1;
    g_settings.strSocks5Userid = "agent";
    g_settings.strSocks5Password = "s3cret";
    CLoopbackHttpServer target;
    EXPECT_EQ(Get("127.0.0.1", target.GetPort(), Proxy(PROXY_SOCKS5, nPort, "agent", "s3cret")), "");
    EXPECT_EQ(Get("127.0.0.1", target.GetPort(), Proxy(PROXY_SOCKS5, nPort, "agent", "wrong")),
              "Socks proxy auth. error");
    // Not offering the method leaves the proxy no acceptable one.
    EXPECT_EQ(Get("127.0.0.1", target.GetPort(), Proxy(PROXY_SOCKS5, nPort)), "Socks proxy auth. error");
}

TEST(Socks4a, TheProxyResolvesTheNameItIsGiven)
{
    CLoopbackHttpServer target;
    {
        CSocks4aServer proxy;
        EXPECT_EQ(Get("upload.test", target.GetPort(), Proxy(PROXY_SOCKS4, proxy.GetPort(), "", "", 1)), "");
    }
    ASSERT_EQ(target.WaitExchanges(1).size(), 1u);
    EXPECT_EQ(HeadLines(target.WaitExchanges(1)[0].strHead)[1],
              "Host: upload.test:" + std::to_string(target.GetPort()));
    CSocks4aServer proxy;
    EXPECT_EQ(Get("elsewhere.test", target.GetPort(), Proxy(PROXY_SOCKS4, proxy.GetPort(), "", "", 1)),
              "Socks proxy connect error");
    EXPECT_EQ(proxy.Finish(), "elsewhere.test");
}

TEST(SocksReplies, MalformedRepliesAreConnectErrors)
{
    std::pair<int, std::string> cases[] = {
        {PROXY_SOCKS4, std::string("\x00\x5B\0\0\0\0\0\0", 8)},
        {PROXY_SOCKS4, std::string("\x04\x5A\0\0\0\0\0\0", 8)},
        {PROXY_SOCKS5, std::string("\x05\x01", 2)},
        {PROXY_SOCKS5, std::string("\x04\x00", 2)},
        {PROXY_SOCKS5, std::string("\x05\x00\x05\x00\x00\x07", 6)},
        {PROXY_SOCKS5, std::string("\x05\xFF", 2)},
    };
    for (const auto& c : cases)
    {
        CScriptedExchange x("http://10.0.0.1/", c.second);
        SProxySettings proxy = Proxy(c.first, 1080);
        EXPECT_EQ(x.Run(&proxy), HTTP_FAILED | HTTP_FAILED_CONNECT) << HexOf(c.second);
        EXPECT_EQ(x.Error(),
                  c.second == "\x05\xFF" ? "Socks proxy auth. error" : "Socks proxy connect error");
    }
}

TEST(SocksReplies, Socks5DomainRequestAndBoundAddressAreRead)
{
    CScriptedExchange x("http://files.test:8081/a",
                        std::string("\x05\x02\x01\x00\x05\x00\x00\x03\x04host\x1F\x90", 15) +
                            "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    SProxySettings proxy = Proxy(PROXY_SOCKS5, 1080, "u", "pw", 1);
    ASSERT_EQ(x.Run(&proxy), 0) << x.Error();
    EXPECT_EQ(x.Body(), "ok");
    EXPECT_EQ(x.Sent().substr(0, 27), std::string("\x05\x02\x00\x02\x01\x01u\x02pw\x05\x01\x00\x03\x0A"
                                                  "files.test\x1F\x91",
                                                  27));
}
