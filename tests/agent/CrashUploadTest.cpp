// CrashUploadTest.cpp: the whole upload against the loopback HTTP server: the request as it goes
// out, the result for each kind of answer, the response file, the bounds on a silent endpoint, and
// an upload that runs out of memory.
#include <gtest/gtest.h>

#include <new>

#include "AgentTestSupport.h"
#include "agent/CrashUpload.h"
#include "tests/support/AllocFailure.h"
#include "tests/support/LoopbackHttpServer.h"

namespace
{

bool g_bLookedUp = false;
bool RecordingLookup(const char*, in_addr*)
{
    g_bLookedUp = true;
    return false;
}

class CrashUpload : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (int i = 0; i < 300; i++)
            strBytes += (char)i;
        WriteFileBytes(strReport, strBytes);
    }
    int Submit(const CLoopbackHttpServer& server, SUploadLimits limits = {5, 10000},
               const char* pszReport = "")
    {
        char szUrl[128];
        MakeUploadUrl("127.0.0.1", server.GetPort(), szUrl, sizeof(szUrl));
        int nResult = SubmitReportTo(szUrl, pszReport ? strReport.c_str() : nullptr, "Tollgate", limits);
        EXPECT_FALSE(SysFileExists((strReport + ".resp").c_str()));
        EXPECT_EQ(ReadFileBytes(strReport), strBytes);
        return nResult;
    }

    CTempFolder folder;
    std::string strReport = folder.GetPath() + PATH_SEPARATOR + "V1_Tollgate_crash.txt";
    std::string strBytes = "Exception code: C0000005\r\n";
};

} // namespace

TEST_F(CrashUpload, SendsTheReportAndProductAsAMultipartPost)
{
    CLoopbackHttpServer server("HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nstored\n");
    ASSERT_EQ(Submit(server), 1);
    std::vector<CLoopbackHttpServer::SExchange> exchanges = server.WaitExchanges(1);
    ASSERT_EQ(exchanges.size(), 1u);
    std::vector<std::string> lines = HeadLines(exchanges[0].strHead);
    ASSERT_EQ(lines.size(), 8u) << exchanges[0].strHead;
    std::string strBoundary = lines[5].substr(44);
    EXPECT_EQ(lines,
              std::vector<std::string>({"POST /cgi-bin/crash_upload.cgi HTTP/1.1",
                                        "Host: 127.0.0.1:" + std::to_string(server.GetPort()), "Accept: */*",
                                        "Accept-Encoding: ", "User-Agent: Orvane Crash Report Agent",
                                        "Content-Type: multipart/form-data; boundary=" + strBoundary,
                                        "Content-Length: " + std::to_string(exchanges[0].strBody.size()),
                                        "Connection: Keep-Alive"}));
    CCArray strType;
    GetContentType("txt", strType);
    EXPECT_EQ(exchanges[0].strBody,
              "--" + strBoundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
                  strReport + "\"\r\nContent-Type: " + strType.GetString() + "\r\n\r\n" + strBytes +
                  "\r\n--" + strBoundary +
                  "\r\nContent-Disposition: form-data; name=\"app\"\r\n\r\nTollgate\r\n--" + strBoundary +
                  "--\r\n");
}

TEST_F(CrashUpload, ResultIsOneOnlyForAFinal200WhateverTheBodyFraming)
{
    std::pair<const char*, int> cases[] = {
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\ngood\r\n0\r\n\r\n", 1},
        {"HTTP/1.0 200 OK\r\n\r\nread to the close", 1},
        {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ngood", 1},
        {"HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n", 0},
        {"HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n", 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Submit(CLoopbackHttpServer(c.first)), c.second) << c.first;
    CLoopbackHttpServer server("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
                               "HTTP/1.1 100 Continue\r\n\r\n");
    EXPECT_EQ(Submit(server, {5, 10000}, nullptr), 1);
    EXPECT_NE(server.WaitExchanges(1).at(0).strBody.find("name=\"file\"\r\n\r\n\r\n--"), std::string::npos);
}

TEST_F(CrashUpload, ASilentEndpointEndsTheUploadWithinItsBounds)
{
    // Once by the wait of a single receive, once by the bound on the whole exchange.
    for (SUploadLimits limits : {SUploadLimits{1, 60000}, SUploadLimits{60, 1000}})
    {
        CLoopbackHttpServer server("", "", true);
        uint64_t tStart = SysTicksMs();
        EXPECT_EQ(Submit(server, limits), 0);
        EXPECT_LT(SysTicksMs() - tStart, 30000u);
        EXPECT_EQ(server.WaitExchanges(1).size(), 1u);
    }
}

TEST_F(CrashUpload, AConnectThatHangsEndsWithTheExchange)
{
    // A listener with a backlog of 0 that never accepts is full after one connection: the system
    // drops further SYNs, so the next connect waits for the system's own time-out, minutes away.
    CTestSocket listener;
    ASSERT_TRUE(listener.Bind(0));
    ASSERT_EQ(SysListen(listener.hSocket, 0), 0);
    uint16_t nPort = ntohs(listener.LocalAddress().sin_port);
    CTestSocket queued;
    ASSERT_TRUE(queued.Connect(nPort));
    char szUrl[128];
    MakeUploadUrl("127.0.0.1", nPort, szUrl, sizeof(szUrl));
    uint64_t tStart = SysTicksMs();
    EXPECT_EQ(SubmitReportTo(szUrl, strReport.c_str(), "Tollgate", {60, 1000}), 0);
    EXPECT_LT(SysTicksMs() - tStart, 30000u);
}

// The head is read a byte at a time: under Wine, where every call goes through the server, 64 KiB
// of it take seconds. The cap itself is tested over the scripted socket table.
#ifndef _WIN32
TEST_F(CrashUpload, AnEndlessResponseHeadFails)
{
    std::string strReply = "HTTP/1.1 200 OK\r\n";
    while (strReply.size() < 100000)
        strReply += "X-Filler: ffffffffffffffffffffffffffffffff\r\n";
    EXPECT_EQ(Submit(CLoopbackHttpServer(strReply)), 0);
}
#endif

TEST_F(CrashUpload, AHostUnderInvalidIsNeverLookedUp)
{
    SetHostLookup(RecordingLookup);
    for (const char* pszUrl :
         {"http://crash-upload.tollgate.invalid/cgi-bin/crash_upload.cgi", "http://INVALID/x"})
        EXPECT_EQ(SubmitReportTo(pszUrl, strReport.c_str(), "Tollgate", {5, 10000}), 0);
    SetHostLookup(nullptr);
    EXPECT_FALSE(g_bLookedUp);
}

// Running out of memory half-way through the exchange leaves nothing behind: the socket is closed
// at once (not when the watchdog's bound runs out), the response file is gone, and the exception
// goes on to the export's catch point, which answers 0.
TEST_F(CrashUpload, OutOfMemoryMidExchangeClosesTheSocketAtOnce)
{
    if (!CanFailAllocations())
        GTEST_SKIP() << "the sanitizers' allocator cannot be made to fail";
    CScriptedSocketApi script;
    script.InstallAsDefault();
    SOCKET h = script.NextHandle();
    script.QueueData(h, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nstored");
    bool bArmed = false;
    script.SetCallHook(
        [&](CScriptedSocketApi::ECall eCall, SOCKET s)
        {
            if (s == h && eCall == CScriptedSocketApi::CALL_RECV && !bArmed)
            {
                bArmed = true;
                FailNextAllocationsOnThisThread(1); // the next allocation while the head is read
            }
        });
    char szUrl[128];
    MakeUploadUrl("10.0.0.1", 80, szUrl, sizeof(szUrl));
    EXPECT_THROW(SubmitReportTo(szUrl, strReport.c_str(), "Tollgate", {5, 30000}), std::bad_alloc);
    FailNextAllocationsOnThisThread(0);
    script.SetCallHook(nullptr);
    EXPECT_TRUE(bArmed);
    EXPECT_TRUE(script.IsClosed(h));
    EXPECT_FALSE(SysFileExists((strReport + ".resp").c_str()));
}
