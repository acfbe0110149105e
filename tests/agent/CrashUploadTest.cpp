// CrashUploadTest.cpp: the whole upload against the loopback HTTP server: the request as it goes
// out, the result for each kind of answer, the response file, and the bounds on a silent endpoint.
#include <gtest/gtest.h>

#include <atomic>

#include "AgentTestSupport.h"
#include "agent/CrashUpload.h"
#include "tests/support/LoopbackHttpServer.h"

namespace
{

const SUploadLimits TEST_LIMITS = {5, 10000};

std::string UrlOf(const CLoopbackHttpServer& server)
{
    char szUrl[128];
    MakeUploadUrl("127.0.0.1", server.GetPort(), szUrl, sizeof(szUrl));
    return szUrl;
}

class CrashUpload : public ::testing::Test
{
protected:
    void SetUp() override
    {
        strReport = folder.GetPath() + PATH_SEPARATOR + "V1_Tollgate_crash.txt";
        strReportBytes = "Exception code: C0000005\r\n";
        for (int i = 0; i < 300; i++)
            strReportBytes += (char)i;
        WriteFileBytes(strReport, strReportBytes);
    }
    int Submit(CLoopbackHttpServer& server, const char* pszReport, const SUploadLimits& limits = TEST_LIMITS)
    {
        return SubmitReportTo(UrlOf(server).c_str(), pszReport, "Tollgate", limits);
    }

    CTempFolder folder;
    std::string strReport;
    std::string strReportBytes;
};

std::atomic<int> g_nLookups(0);
bool CountingLookup(const char*, in_addr*)
{
    g_nLookups++;
    return false;
}

} // namespace

TEST_F(CrashUpload, SendsTheReportAndProductAsAMultipartPost)
{
    CLoopbackHttpServer server("HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nstored\n");
    ASSERT_EQ(Submit(server, strReport.c_str()), 1);
    std::vector<CLoopbackHttpServer::SExchange> exchanges = server.WaitExchanges(1);
    ASSERT_EQ(exchanges.size(), 1u);
    std::vector<std::string> lines = HeadLines(exchanges[0].strHead);
    ASSERT_EQ(lines.size(), 8u) << exchanges[0].strHead;
    EXPECT_EQ(lines[0], "POST /cgi-bin/crash_upload.cgi HTTP/1.1");
    EXPECT_EQ(lines[1], "Host: 127.0.0.1:" + std::to_string(server.GetPort()));
    EXPECT_EQ(lines[2], "Accept: */*");
    EXPECT_EQ(lines[3], "Accept-Encoding: ");
    EXPECT_EQ(lines[4], "User-Agent: Orvane Crash Report Agent");
    ASSERT_EQ(lines[5].rfind("Content-Type: multipart/form-data; boundary=", 0), 0u);
    std::string strBoundary = lines[5].substr(44);
    EXPECT_EQ(lines[6], "Content-Length: " + std::to_string(exchanges[0].strBody.size()));
    EXPECT_EQ(lines[7], "Connection: Keep-Alive");
    CCArray strType;
    GetContentType("txt", strType);
    EXPECT_EQ(exchanges[0].strBody,
              "--" + strBoundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + strReport +
                  "\"\r\nContent-Type: " + strType.GetString() + "\r\n\r\n" + strReportBytes +
                  "\r\n--" + strBoundary + "\r\nContent-Disposition: form-data; name=\"app\"\r\n\r\nTollgate\r\n--" +
                  strBoundary + "--\r\n");
    EXPECT_FALSE(FileExists(strReport + ".resp"));
    EXPECT_EQ(ReadFileBytes(strReport), strReportBytes);
}

TEST_F(CrashUpload, ResultIsOneOnlyForAFinal200)
{
    struct
    {
        const char* pszReply;
        const char* pszInterim;
        int nResult;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\ngood\r\n0\r\n\r\n", "", 1},
        {"HTTP/1.0 200 OK\r\n\r\nread to the close", "", 1},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 100 Continue\r\n\r\n", 1},
        {"HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n", "", 0},
        {"HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n", "", 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", "", 0},
    };
    for (const auto& c : cases)
    {
        CLoopbackHttpServer server(c.pszReply);
        server.SetInterimReply(c.pszInterim);
        EXPECT_EQ(Submit(server, strReport.c_str()), c.nResult) << c.pszReply;
        EXPECT_FALSE(FileExists(strReport + ".resp")) << c.pszReply;
    }
}

TEST_F(CrashUpload, WithoutAReportTheFileFieldIsEmpty)
{
    CLoopbackHttpServer server;
    ASSERT_EQ(SubmitReportTo(UrlOf(server).c_str(), nullptr, nullptr, TEST_LIMITS), 1);
    std::vector<CLoopbackHttpServer::SExchange> exchanges = server.WaitExchanges(1);
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_NE(exchanges[0].strBody.find("name=\"file\"\r\n\r\n\r\n--"), std::string::npos);
    EXPECT_NE(exchanges[0].strBody.find("name=\"app\"\r\n\r\n\r\n--"), std::string::npos);
}

TEST_F(CrashUpload, ASilentEndpointEndsTheUploadWithinItsBounds)
{
    // Once by the wait of a single receive, once by the bound on the whole exchange.
    for (SUploadLimits limits : {SUploadLimits{1, 60000}, SUploadLimits{60, 1000}})
    {
        CLoopbackHttpServer server;
        server.SetSilent(true);
        uint64_t tStart = SysTicksMs();
        EXPECT_EQ(Submit(server, strReport.c_str(), limits), 0);
        EXPECT_LT(SysTicksMs() - tStart, 30000u);
        EXPECT_EQ(server.WaitExchanges(1).size(), 1u);
        EXPECT_FALSE(FileExists(strReport + ".resp"));
    }
}

// The head is read a byte at a time: under Wine, where every call goes through the server, 64 KiB
// of it take seconds. The cap itself is tested over the scripted socket table.
#ifndef _WIN32
TEST_F(CrashUpload, AnEndlessResponseHeadFails)
{
    std::string strReply = "HTTP/1.1 200 OK\r\n";
    while (strReply.size() < 100000)
        strReply += "X-Filler: ffffffffffffffffffffffffffffffff\r\n";
    CLoopbackHttpServer server(strReply);
    EXPECT_EQ(Submit(server, strReport.c_str()), 0);
}
#endif

TEST_F(CrashUpload, AHostUnderInvalidIsNeverLookedUp)
{
    SetHostLookup(CountingLookup);
    EXPECT_EQ(SubmitReportTo("http://crash-upload.tollgate.invalid/cgi-bin/crash_upload.cgi", strReport.c_str(),
                             "Tollgate", TEST_LIMITS),
              0);
    EXPECT_EQ(SubmitReportTo("http://INVALID/x", strReport.c_str(), "Tollgate", TEST_LIMITS), 0);
    SetHostLookup(nullptr);
    EXPECT_EQ(g_nLookups.load(), 0);
}
