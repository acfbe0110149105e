// ProxyTest.cpp: transactions through real local proxies: Tollgate's own engine for SOCKS4 and
// SOCKS5 (with and without authentication), and a small SOCKS4a server of the test that resolves
// one made-up name to loopback; plus the SOCKS refusals over the scripted socket table.
#include <gtest/gtest.h>

#include <cstring>

#include "AgentTestSupport.h"
#include "config/Settings.h"
#include "tests/support/LoopbackHttpServer.h"

namespace
{

SProxySettings Proxy(int nType, uint16_t nPort, const char* pszUser = "", const char* pszPassword = "",
                     int bAuthenticate = 0, int bRemote = 0)
{
    SProxySettings proxy;
    memset(&proxy, 0, sizeof(proxy));
    proxy.enabled = 1;
    proxy.type = nType;
    strcpy(proxy.host, "127.0.0.1");
    proxy.port = nPort;
    proxy.authenticate = bAuthenticate;
    snprintf(proxy.user, sizeof(proxy.user), "%s", pszUser);
    snprintf(proxy.password, sizeof(proxy.password), "%s", pszPassword);
    proxy.remoteResolve = bRemote;
    return proxy;
}

// One GET of http://HOST:PORT/through-proxy through the proxy; the body goes to a temporary file.
struct SProxiedGet
{
    int nResult;
    std::string strError;
};

SProxiedGet Get(const char* pszHost, uint16_t nPort, const SProxySettings& proxy)
{
    CTempFolder folder;
    char szUrl[300];
    snprintf(szUrl, sizeof(szUrl), "http://%s:%u/through-proxy", pszHost, (unsigned)nPort);
    SUrl* pUrl = ParseUrl(szUrl);
    SHttpRequest request;
    request.url = pUrl;
    request.responseFile = (folder.GetPath() + PATH_SEPARATOR + "body").c_str();
    CSTBlockingSocket sock(10, 10);
    SProxiedGet get;
    get.nResult = RunHttpTransaction(request, sock, &proxy, "Proxy Test", nullptr, nullptr, nullptr);
    get.strError = request.errorText.GetString();
    if (get.nResult == 0 && request.response.status != 200)
        get.nResult = -request.response.status;
    sock.Close();
    FreeUrl(pUrl);
    return get;
}

// A SOCKS4a server that knows one name, "upload.test", which it connects to 127.0.0.1; any
// other request is refused with 91. It serves one client at a time and relays until either side
// closes.
class CSocks4aServer
{
public:
    CSocks4aServer() : listener(SOCK_STREAM)
    {
        EXPECT_TRUE(listener.Bind(0));
        EXPECT_EQ(SysListen(listener.hSocket, 4), 0);
        nPort = ntohs(listener.LocalAddress().sin_port);
        thread = std::thread(&CSocks4aServer::Serve, this);
    }
    ~CSocks4aServer()
    {
        bStop = true;
        thread.join();
    }
    uint16_t nPort;
    std::string strLastName;

private:
    bool WaitReadable(SOCKET h)
    {
        SOCKSET set;
        SockSetClear(&set);
        SockSetAdd(&set, h);
        timeval tv = {0, 50000};
        return SysSelect(0, &set, nullptr, nullptr, &tv) == 1;
    }
    // One byte, or false on close or stop.
    bool ReadByte(SOCKET h, char& ch)
    {
        while (!bStop)
            if (WaitReadable(h))
                return SysRecv(h, &ch, 1, 0) == 1;
        return false;
    }
    void Serve()
    {
        while (!bStop)
        {
            if (!WaitReadable(listener.hSocket))
                continue;
            CTestSocket client(SOCK_STREAM);
            SysCloseSocket(client.hSocket);
            client.hSocket = SysAccept(listener.hSocket, nullptr, nullptr);
            std::string strHead, strUser, strName;
            char ch;
            while (strHead.size() < 8 && ReadByte(client.hSocket, ch))
                strHead += ch;
            while (ReadByte(client.hSocket, ch) && ch != 0)
                strUser += ch;
            while (ReadByte(client.hSocket, ch) && ch != 0)
                strName += ch;
            strLastName = strName;
            bool bPlaceholder = strHead.size() == 8 && strHead.compare(4, 3, std::string(3, '\0')) == 0 &&
                                strHead[7] != 0;
            CTestSocket target;
            if (!bPlaceholder || strName != "upload.test" ||
                !target.Connect((uint16_t)((unsigned char)strHead[2] << 8 | (unsigned char)strHead[3])))
            {
                client.Send(SOCKS4_REJECTED);
                continue;
            }
            client.Send(SOCKS4_GRANTED);
            Relay(client, target);
        }
    }
    void Relay(CTestSocket& a, CTestSocket& b)
    {
        while (!bStop)
        {
            SOCKSET set;
            SockSetClear(&set);
            SockSetAdd(&set, a.hSocket);
            SockSetAdd(&set, b.hSocket);
            timeval tv = {0, 50000};
            if (SysSelect(0, &set, nullptr, nullptr, &tv) <= 0)
                continue;
            char buffer[4096];
            for (CTestSocket* p : {&a, &b})
                if (SockSetHas(&set, p->hSocket))
                {
                    int n = SysRecv(p->hSocket, buffer, sizeof(buffer), 0);
                    if (n <= 0 || !(p == &a ? b : a).Send(std::string(buffer, (size_t)n)))
                        return;
                }
        }
    }

    CTestSocket listener;
    std::atomic<bool> bStop{false};
    std::thread thread;
};

class ThroughTollgate : public LiveServer
{
};

} // namespace

TEST_F(ThroughTollgate, Socks4AndSocks5CarryTheRequest)
{
    CLoopbackHttpServer target;
    SProxiedGet get = Get("127.0.0.1", target.GetPort(), Proxy(PROXY_SOCKS4, nPort, "ann"));
    EXPECT_EQ(get.nResult, 0) << get.strError;
    get = Get("127.0.0.1", target.GetPort(), Proxy(PROXY_SOCKS5, nPort));
    EXPECT_EQ(get.nResult, 0) << get.strError;
    get = Get("127.0.0.1", target.GetPort(), Proxy(PROXY_SOCKS5, nPort, "", "", 0, 1));
    EXPECT_EQ(get.nResult, 0) << get.strError;
    std::vector<CLoopbackHttpServer::SExchange> exchanges = target.WaitExchanges(3);
    ASSERT_EQ(exchanges.size(), 3u);
    for (const auto& exchange : exchanges)
        EXPECT_EQ(HeadLines(exchange.strHead)[1], "Host: 127.0.0.1:" + std::to_string(target.GetPort()));
}

TEST_F(ThroughTollgate, Socks5UserNameAndPassword)
{
    g_settings.bSocks5Auth = 1;
    g_settings.strSocks5Userid = "agent";
    g_settings.strSocks5Password = "s3cret";
    CLoopbackHttpServer target;
    SProxiedGet get = Get("127.0.0.1", target.GetPort(), Proxy(PROXY_SOCKS5, nPort, "agent", "s3cret", 1));
    EXPECT_EQ(get.nResult, 0) << get.strError;
    get = Get("127.0.0.1", target.GetPort(), Proxy(PROXY_SOCKS5, nPort, "agent", "wrong", 1));
    EXPECT_EQ(get.nResult, HTTP_FAILED | HTTP_FAILED_CONNECT);
    EXPECT_EQ(get.strError, "Socks proxy auth. error");
    // Without offering the method: the proxy has no acceptable one left.
    get = Get("127.0.0.1", target.GetPort(), Proxy(PROXY_SOCKS5, nPort));
    EXPECT_EQ(get.nResult, HTTP_FAILED | HTTP_FAILED_CONNECT);
    EXPECT_EQ(get.strError, "Socks proxy auth. error");
    EXPECT_EQ(target.WaitExchanges(1, 100).size(), 1u);
}

TEST(Socks4a, TheProxyResolvesTheNameItIsGiven)
{
    CLoopbackHttpServer target;
    CSocks4aServer proxy;
    SProxiedGet get = Get("upload.test", target.GetPort(), Proxy(PROXY_SOCKS4, proxy.nPort, "", "", 0, 1));
    EXPECT_EQ(get.nResult, 0) << get.strError;
    EXPECT_EQ(proxy.strLastName, "upload.test");
    ASSERT_EQ(target.WaitExchanges(1).size(), 1u);
    EXPECT_EQ(HeadLines(target.WaitExchanges(1)[0].strHead)[1], "Host: upload.test:" + std::to_string(target.GetPort()));

    get = Get("elsewhere.test", target.GetPort(), Proxy(PROXY_SOCKS4, proxy.nPort, "", "", 0, 1));
    EXPECT_EQ(get.nResult, HTTP_FAILED | HTTP_FAILED_CONNECT);
    EXPECT_EQ(get.strError, "Socks proxy connect error");
}

TEST(SocksReplies, MalformedRepliesAreConnectErrors)
{
    struct
    {
        int nType;
        std::string strReply;
        const char* pszError;
    } cases[] = {
        {PROXY_SOCKS4, std::string("\x00\x5B\0\0\0\0\0\0", 8), "Socks proxy connect error"},
        {PROXY_SOCKS4, std::string("\x04\x5A\0\0\0\0\0\0", 8), "Socks proxy connect error"},
        {PROXY_SOCKS5, std::string("\x05\xFF", 2), "Socks proxy auth. error"},
        {PROXY_SOCKS5, std::string("\x05\x01", 2), "Socks proxy connect error"},
        {PROXY_SOCKS5, std::string("\x04\x00", 2), "Socks proxy connect error"},
        {PROXY_SOCKS5, std::string("\x05\x00\x05\x00\x00\x07", 6), "Socks proxy connect error"},
        {PROXY_SOCKS5, std::string("\x05\x00\x05\x04\x00\x01", 6), "Socks proxy connect error"},
    };
    for (const auto& c : cases)
    {
        CScriptedExchange x("http://10.0.0.1/");
        x.Serve(c.strReply);
        SProxySettings proxy = Proxy(c.nType, 1080);
        EXPECT_EQ(x.Run(&proxy), HTTP_FAILED | HTTP_FAILED_CONNECT) << HexOf(c.strReply);
        EXPECT_STREQ(x.request.errorText.GetString(), c.pszError) << HexOf(c.strReply);
    }
}

TEST(SocksReplies, Socks5DomainRequestAndBoundAddressAreRead)
{
    CScriptedExchange x("http://files.test:8081/a");
    x.Serve(std::string("\x05\x02\x01\x00\x05\x00\x00\x03\x04host\x1F\x90", 15));
    x.Serve("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    SProxySettings proxy = Proxy(PROXY_SOCKS5, 1080, "u", "pw", 1, 1);
    ASSERT_EQ(x.Run(&proxy), 0) << x.request.errorText.GetString();
    EXPECT_EQ(x.Body(), "ok");
    std::string strSent = x.Sent();
    EXPECT_EQ(strSent.substr(0, 4), std::string("\x05\x02\x00\x02", 4));
    EXPECT_EQ(strSent.substr(4, 6), std::string("\x01\x01u\x02pw", 6));
    EXPECT_EQ(strSent.substr(10, 19), std::string("\x05\x01\x00\x03\x0A" "files.test\x1F\x91", 17) + "GE");
    x.sock.Close();
}
