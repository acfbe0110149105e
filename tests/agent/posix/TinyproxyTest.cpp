// TinyproxyTest.cpp: the HTTP proxy path through Debian's tinyproxy, started by the test on a
// loopback port, with and without Basic proxy authentication.
#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

#include "../AgentTestSupport.h"
#include "tests/support/LoopbackHttpServer.h"

extern char** environ;

namespace
{

const char* const TINYPROXY = "/usr/bin/tinyproxy";

class CTinyproxy
{
public:
    // pszExtra: more configuration lines.
    explicit CTinyproxy(const char* pszExtra)
    {
        nPort = ClosedLoopbackPort();
        std::string strConfig = folder.GetPath() + "/tinyproxy.conf";
        WriteFileBytes(strConfig, "Port " + std::to_string(nPort) +
                                      "\nListen 127.0.0.1\nTimeout 10\nMaxClients 4\nAllow 127.0.0.1\n"
                                      "LogLevel Critical\nLogFile \"" +
                                      folder.GetPath() + "/tinyproxy.log\"\n" + pszExtra);
        const char* argv[] = {TINYPROXY, "-d", "-c", strConfig.c_str(), nullptr};
        if (posix_spawn(&pid, TINYPROXY, nullptr, nullptr, (char* const*)argv, environ) != 0)
            pid = 0;
        bool bUp = pid != 0 && WaitUntil([this] {
                       CTestSocket probe;
                       return probe.Connect(nPort);
                   });
        EXPECT_TRUE(bUp) << "tinyproxy did not start";
    }
    ~CTinyproxy()
    {
        if (pid > 0)
        {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    uint16_t nPort = 0;

private:
    CTempFolder folder;
    pid_t pid = 0;
};


// Status of a GET through the proxy, or -1 when the transaction failed.
int GetThrough(const CTinyproxy& proxy, const CLoopbackHttpServer& target, const char* pszUser,
               const char* pszPassword)
{
    CTempFolder folder;
    std::string strUrl = "http://127.0.0.1:" + std::to_string(target.GetPort()) + "/via/proxy?x=1";
    SUrl* pUrl = ParseUrl(strUrl.c_str());
    SHttpRequest request;
    request.url = pUrl;
    request.responseFile = (folder.GetPath() + "/body").c_str();
    SProxySettings settings;
    memset(&settings, 0, sizeof(settings));
    settings.enabled = 1;
    settings.type = PROXY_HTTP;
    strcpy(settings.host, "127.0.0.1");
    settings.port = proxy.nPort;
    settings.authenticate = pszUser != nullptr;
    snprintf(settings.user, sizeof(settings.user), "%s", pszUser ? pszUser : "");
    snprintf(settings.password, sizeof(settings.password), "%s", pszPassword ? pszPassword : "");
    CSTBlockingSocket sock(10, 10);
    int nResult = RunHttpTransaction(request, sock, &settings, "Proxy Test", nullptr, nullptr, nullptr);
    sock.Close();
    FreeUrl(pUrl);
    return nResult == 0 ? request.response.status : -1;
}

} // namespace

TEST(Tinyproxy, CarriesTheAbsoluteUrlRequestToTheServer)
{
    if (access(TINYPROXY, X_OK) != 0)
        GTEST_SKIP() << "tinyproxy is not installed";
    CLoopbackHttpServer target("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    CTinyproxy proxy("");
    EXPECT_EQ(GetThrough(proxy, target, nullptr, nullptr), 200);
    std::vector<CLoopbackHttpServer::SExchange> exchanges = target.WaitExchanges(1);
    ASSERT_EQ(exchanges.size(), 1u);
    std::vector<std::string> lines = HeadLines(exchanges[0].strHead);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("GET /via/proxy?x=1 HTTP/1.", 0), 0u) << lines[0];
    EXPECT_NE(exchanges[0].strHead.find("\r\nUser-Agent: Proxy Test\r\n"), std::string::npos);
}

TEST(Tinyproxy, SendsProxyCredentialsWhenAsked)
{
    if (access(TINYPROXY, X_OK) != 0)
        GTEST_SKIP() << "tinyproxy is not installed";
    CLoopbackHttpServer target("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
    CTinyproxy proxy("BasicAuth agent s3cret\n");
    // tinyproxy answers missing credentials with 407 and wrong ones with 401.
    EXPECT_EQ(GetThrough(proxy, target, nullptr, nullptr), 407);
    EXPECT_EQ(GetThrough(proxy, target, "agent", "wrong"), 401);
    EXPECT_EQ(GetThrough(proxy, target, "agent", "s3cret"), 200);
    EXPECT_EQ(target.WaitExchanges(1).size(), 1u);
}
