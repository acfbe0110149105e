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

// Status of a GET of the target through a tinyproxy started with the extra configuration lines,
// for each set of credentials (null: none); -1 for a failed transaction.
std::vector<int> GetThroughTinyproxy(const CLoopbackHttpServer& target, const std::string& strExtra,
                                     std::vector<const char*> credentials)
{
    CTempFolder folder;
    uint16_t nPort = ClosedLoopbackPort();
    std::string strConfig = folder.GetPath() + "/tinyproxy.conf";
    WriteFileBytes(strConfig, "Port " + std::to_string(nPort) +
                                  "\nListen 127.0.0.1\nTimeout 10\nAllow 127.0.0.1\n" + "LogFile \"" +
                                  folder.GetPath() + "/log\"\n" + strExtra);
    const char* argv[] = {TINYPROXY, "-d", "-c", strConfig.c_str(), nullptr};
    pid_t pid = 0;
    std::vector<int> statuses;
    if (posix_spawn(&pid, TINYPROXY, nullptr, nullptr, (char* const*)argv, environ) == 0 &&
        WaitUntil([nPort] { return CTestSocket().Connect(nPort); }))
    {
        std::string strUrl = "http://127.0.0.1:" + std::to_string(target.GetPort()) + "/via/proxy?x=1";
        SUrl* pUrl = ParseUrl(strUrl.c_str());
        for (const char* pszCredentials : credentials)
        {
            SHttpRequest request;
            request.url = pUrl;
            request.responseFile = (folder.GetPath() + "/body").c_str();
            SProxySettings proxy = {1,  PROXY_HTTP, "127.0.0.1", nPort, pszCredentials != nullptr, "agent",
                                    "", 0};
            snprintf(proxy.password, sizeof(proxy.password), "%s", pszCredentials ? pszCredentials : "");
            CSTBlockingSocket sock(10, 10);
            int nResult = RunHttpTransaction(request, sock, &proxy, "Proxy Test", nullptr, nullptr, nullptr);
            sock.Close();
            statuses.push_back(nResult == 0 ? request.response.status : -1);
        }
        FreeUrl(pUrl);
    }
    if (pid > 0)
    {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    return statuses;
}

} // namespace

TEST(Tinyproxy, CarriesTheAbsoluteUrlRequestAndProxyCredentials)
{
    if (access(TINYPROXY, X_OK) != 0)
        GTEST_SKIP() << "tinyproxy is not installed";
    CLoopbackHttpServer target("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(GetThroughTinyproxy(target, "", {nullptr}), std::vector<int>({200}));
    std::vector<CLoopbackHttpServer::SExchange> exchanges = target.WaitExchanges(1);
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_EQ(exchanges[0].strHead.rfind("GET /via/proxy?x=1 HTTP/1.", 0), 0u) << exchanges[0].strHead;
    EXPECT_NE(exchanges[0].strHead.find("\r\nUser-Agent: Proxy Test\r\n"), std::string::npos);
    // tinyproxy answers missing credentials with 407 and wrong ones with 401.
    EXPECT_EQ(GetThroughTinyproxy(target, "BasicAuth agent s3cret\n", {nullptr, "wrong", "s3cret"}),
              std::vector<int>({407, 401, 200}));
    EXPECT_EQ(target.WaitExchanges(2).size(), 2u);
}
