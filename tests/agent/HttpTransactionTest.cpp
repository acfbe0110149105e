// HttpTransactionTest.cpp: RunHttpTransaction over the scripted socket table: the request head,
// persistence, chunked bodies, redirects, the result bits, and the limits on what a server can
// make the agent read. The body framings end to end: CrashUploadTest.
#include <gtest/gtest.h>

#include <algorithm>

#include "AgentTestSupport.h"
#include "net/ErrorText.h"

namespace
{

const char* const CHUNKED = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

int LargestReceive(const CScriptedExchange& x)
{
    std::vector<int> sizes = x.script.ReceiveSizes(x.hSocket);
    return sizes.empty() ? 0 : *std::max_element(sizes.begin(), sizes.end());
}

} // namespace

TEST(HttpTransaction, SendsTheHeadLinesInOrder)
{
    CCookieStore cookies;
    {
        CScriptedExchange first("http://10.1.2.3:8080/dir/",
                                "HTTP/1.1 200 OK\r\nSet-Cookie: sid=42; Path=/dir\r\n"
                                "Content-Length: 0\r\n\r\n");
        ASSERT_EQ(first.Run(nullptr, &cookies), 0);
    }
    CScriptedExchange x("http://ann:pw@10.1.2.3:8080/dir/get.cgi?q=1#top",
                        "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    x.request.extraHeaders = "X-One: 1\r\n";
    x.request.userName = "ignored";
    ASSERT_EQ(x.Run(nullptr, &cookies), 0) << x.Error();
    EXPECT_EQ(x.Sent(),
              "GET /dir/get.cgi?q=1 HTTP/1.1\r\nHost: 10.1.2.3:8080\r\nAccept: */*\r\nAccept-Encoding: \r\n"
              "User-Agent: Test Agent\r\nAuthorization: Basic YW5uOnB3\r\nCookie: sid=42\r\n"
              "Connection: Keep-Alive\r\nX-One: 1\r\n\r\n");
    EXPECT_EQ(ntohs(x.script.ConnectedTo(x.hSocket).sin_port), 8080);
    EXPECT_EQ(x.Body(), "hello");
}

TEST(HttpTransaction, ConnectionPersistenceFollowsVersionAndConnectionHeader)
{
    for (const char* pszHead :
         {"HTTP/1.0 200 OK\r\n", "HTTP/1.0 200 OK\r\nConnection: x, Keep-Alive\r\n", "HTTP/1.1 200 OK\r\n",
          "HTTP/1.1 200 OK\r\nConnection: foo , CLOSE\r\n", "HTTP/0.9 200 OK\r\nConnection: keep-alive\r\n"})
    {
        CScriptedExchange x("http://10.0.0.1/", std::string(pszHead) + "Content-Length: 0\r\n\r\n");
        ASSERT_EQ(x.Run(), 0) << pszHead;
        bool bOpen = strstr(pszHead, "Keep") || (strstr(pszHead, "1.1") && !strstr(pszHead, "CLOSE"));
        EXPECT_EQ(!x.script.IsClosed(x.hSocket), bOpen) << pszHead;
    }
}

TEST(HttpTransaction, ChunkedBodyArrivingByteByByteIsWrittenWithoutItsFraming)
{
    CScriptedExchange x("http://10.0.0.1/",
                        std::string(CHUNKED) + "5;ext=1\r\nhello\r\n3\r\n, w\r\n0\r\n\r\n", 1);
    x.script.QueueData(x.hSocket, "NEXT");
    ASSERT_EQ(x.Run(), 0) << x.Error();
    EXPECT_EQ(x.Body(), "hello, w");
    // The CR LF after the last chunk is consumed, the next response's bytes are not.
    EXPECT_EQ(x.script.PendingSteps(x.hSocket), 1u);
}

TEST(HttpTransaction, ChunkSizesThatDoNotFitAreRefusedAndHugeOnesMoveInBlocks)
{
    for (const char* pszSize : {"FFFFFFFF", "100000000", "-5", "zz", ""})
    {
        CScriptedExchange x("http://10.0.0.1/", std::string(CHUNKED) + pszSize + "\r\nabc");
        EXPECT_EQ(x.Run(), HTTP_FAILED) << pszSize;
        EXPECT_EQ(x.Error(), "Invalid chunked encoding") << pszSize;
    }
    // 2 GB announced, 5000 bytes sent, then the server closes.
    CScriptedExchange x("http://10.0.0.1/", std::string(CHUNKED) + "7FFFFFFF\r\n" + std::string(5000, 'z'));
    EXPECT_EQ(x.Run(), HTTP_FAILED | HTTP_FAILED_TRANSIENT);
    EXPECT_EQ(x.Body(), std::string(5000, 'z'));
    EXPECT_LE(LargestReceive(x), 1024);
}

TEST(HttpTransaction, AnEndlessResponseHeadFailsAtTheCap)
{
    std::string strHead = "HTTP/1.1 200 OK\r\n";
    while (strHead.size() < 2 * (size_t)MAX_RESPONSE_HEAD_BYTES)
        strHead += "X-Filler: " + std::string(90, 'f') + "\r\n";
    for (const std::string& strServed : {strHead, "HTTP/1.1 200 OK" + std::string(100000, 'x')})
    {
        CScriptedExchange x("http://10.0.0.1/", strServed);
        EXPECT_EQ(x.Run(), HTTP_FAILED);
        EXPECT_EQ(x.Error(), "Response headers too long");
        EXPECT_EQ(x.script.ReceiveSizes(x.hSocket).size(), (size_t)MAX_RESPONSE_HEAD_BYTES);
    }
}

TEST(HttpTransaction, RedirectTargetsAreResolvedButNotFollowed)
{
    {
        CScriptedExchange x(
            "http://10.0.0.1/a/b/form.cgi",
            "HTTP/1.1 302 Found\r\nLOCATION: ../next.cgi?x=1\r\nContent-Length: 4\r\n\r\nmove");
        ASSERT_EQ(x.Run(), 0);
        EXPECT_STREQ(x.request.redirectUrl.GetString(), "http://10.0.0.1/a/next.cgi?x=1");
        EXPECT_EQ(x.Body(), "move");
    }
    for (const char* pszLocation : {"", "Location: c:\\x\r\n"})
    {
        CScriptedExchange x("http://10.0.0.1/", std::string("HTTP/1.1 301 Moved\r\n") + pszLocation + "\r\n");
        EXPECT_EQ(x.Run(), HTTP_FAILED);
        EXPECT_EQ(x.Error(), *pszLocation ? "Invalid redirection address" : "Invalid redirection directive.");
    }
}

TEST(HttpTransaction, FailuresGiveTheirTextAndResultBits)
{
    {
        CScriptedExchange x("http://10.0.0.1/");
        x.script.FailNext(CScriptedSocketApi::CALL_CONNECT, WSAECONNREFUSED);
        EXPECT_EQ(x.Run(), HTTP_FAILED | HTTP_FAILED_CONNECT);
        EXPECT_EQ(x.Error(), SocketErrorText(MakeErrorCode(WSAECONNREFUSED, COND_CONNECT)).GetString());
    }
    {
        CScriptedExchange x("http://10.0.0.1/");
        x.script.SetWhenEmpty(x.hSocket, CScriptedSocketApi::EMPTY_TIMEOUT);
        EXPECT_EQ(x.Run(), HTTP_FAILED | HTTP_FAILED_TRANSIENT);
        EXPECT_TRUE(x.script.IsClosed(x.hSocket));
    }
    for (const char* pszServed : {"ICY 200 OK\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Length: -3\r\n\r\n"})
    {
        CScriptedExchange x("http://10.0.0.1/", pszServed);
        EXPECT_EQ(x.Run(), HTTP_FAILED);
        EXPECT_EQ(x.Error(),
                  pszServed[0] == 'I' ? "Invalid HTTP response headers" : "Invalid Content-Length");
    }
    CScriptedExchange x("http://10.0.0.1/", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    x.request.responseFile = (x.folder.GetPath() + PATH_SEPARATOR + "no" + PATH_SEPARATOR + "f").c_str();
    EXPECT_EQ(x.Run(), HTTP_FAILED);
    EXPECT_EQ(x.Error().rfind("File Error: ", 0), 0u);
}

// The response file takes at most 1 MiB, however the body is framed: a Content-Length above the
// cap is refused before a byte is read, a chunked or close-delimited body fails when it passes it.
TEST(HttpTransaction, ABodyAboveTheCapFailsTheTransaction)
{
    const size_t nCap = (size_t)MAX_RESPONSE_BODY_BYTES;
    EXPECT_EQ(nCap, 1024u * 1024u);
    {
        CScriptedExchange x("http://10.0.0.1/", "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(nCap + 1) +
                                                    "\r\n\r\n" + std::string(nCap + 1, 'b'));
        EXPECT_EQ(x.Run(), HTTP_FAILED);
        EXPECT_EQ(x.Error(), "Response body too long");
        EXPECT_EQ(x.Body(), "");
    }
    for (bool bChunked : {true, false})
    {
        std::string strBody(nCap + 1000, 'c');
        std::string strServed = bChunked ? std::string(CHUNKED) + "7FFFFFFF\r\n" + strBody
                                         : "HTTP/1.0 200 OK\r\n\r\n" + strBody;
        CScriptedExchange x("http://10.0.0.1/", strServed);
        EXPECT_EQ(x.Run(), HTTP_FAILED) << bChunked;
        EXPECT_EQ(x.Error(), "Response body too long") << bChunked;
        EXPECT_LE(x.Body().size(), nCap) << bChunked;
        EXPECT_TRUE(x.script.IsClosed(x.hSocket));
    }
    // A body of exactly the cap is taken whole.
    CScriptedExchange x("http://10.0.0.1/", "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(nCap) +
                                                "\r\n\r\n" + std::string(nCap, 'd'));
    EXPECT_EQ(x.Run(), 0) << x.Error();
    EXPECT_EQ(x.Body().size(), nCap);
}
