// FormBodyTest.cpp: escaping, the boundary, and both bodies with the length they announce.
#include <gtest/gtest.h>

#include "AgentTestSupport.h"

namespace
{

SFormVar Var(const char* pszName, const char* pszValue, const std::string& strPath = "")
{
    SFormVar var;
    var.name = pszName;
    var.value = pszValue;
    var.filePath = strPath.c_str();
    return var;
}

// The announced Content-Length of a request head.
int AnnouncedLength(const std::string& strSent)
{
    size_t n = strSent.find("\r\nContent-Length: ");
    return n == std::string::npos ? -1 : atoi(strSent.c_str() + n + 18);
}

std::string BodyOf(const std::string& strSent)
{
    size_t n = strSent.find("\r\n\r\n");
    return n == std::string::npos ? "" : strSent.substr(n + 4);
}

} // namespace

TEST(FormBody, UrlEscapeKeepsOnlyUnreservedBytes)
{
    CCArray str;
    UrlEscape("aZ09-._ ~+&=\xE9/", str);
    EXPECT_STREQ(str.GetString(), "aZ09-._%20%7E%2B%26%3D%E9%2F");
}

TEST(FormBody, BoundaryIsFortyCharactersPaddedWithDashes)
{
    CCArray str = MakeBoundary();
    ASSERT_EQ(str.GetLength(), 40);
    std::string strBoundary = str.GetString();
    size_t nDashes = strBoundary.find_first_not_of('-');
    EXPECT_GE(nDashes, 12u);
    ASSERT_LT(nDashes, 40u);
    EXPECT_EQ(strBoundary.find_first_not_of("0123456789abcdef", nDashes), std::string::npos);
}

TEST(FormBody, UrlEncodedBodyAndItsLength)
{
    {
        CScriptedExchange x("http://10.0.0.1/f");
        x.request.bodyKind = BODY_URLENCODED;
        x.request.formVars.Add(Var("a b", "x&y"));
        x.Serve("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
        ASSERT_EQ(x.Run(), 0);
        std::string strSent = x.Sent();
        EXPECT_EQ(strSent.rfind("POST /f HTTP/1.1\r\n", 0), 0u);
        EXPECT_NE(strSent.find("\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 11\r\n"),
                  std::string::npos);
        EXPECT_EQ(BodyOf(strSent), "a%20b=x%26y");
        x.sock.Close();
    }
    CScriptedExchange y("http://10.0.0.1/f");
    y.request.bodyKind = BODY_URLENCODED;
    y.Serve("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    ASSERT_EQ(y.Run(), 0);
    EXPECT_EQ(AnnouncedLength(y.Sent()), 0);
    EXPECT_EQ(BodyOf(y.Sent()), "");
    y.sock.Close();
}

TEST(FormBody, MultipartBodyIsSentByteForByteWithItsExactLength)
{
    CScriptedExchange x("http://10.0.0.1/up");
    std::string strFile = x.folder.GetPath() + PATH_SEPARATOR + "report";
    std::string strData(2500, '\0');
    for (size_t i = 0; i < strData.size(); i++)
        strData[i] = (char)(i * 7);
    WriteFileBytes(strFile, strData);
    x.request.bodyKind = BODY_MULTIPART;
    x.request.formVars.Add(Var("abc", "12345678"));
    x.request.formVars.Add(Var("file", strFile.c_str(), strFile));
    x.request.formVars.Add(Var("none", "", strFile));
    x.Serve("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    ASSERT_EQ(x.Run(), 0) << x.request.errorText.GetString();

    std::string strSent = x.Sent();
    size_t nAt = strSent.find("multipart/form-data; boundary=");
    ASSERT_NE(nAt, std::string::npos);
    std::string strBoundary = strSent.substr(nAt + 30, 40);
    std::string strExpected = "--" + strBoundary + "\r\nContent-Disposition: form-data; name=\"abc\"\r\n\r\n12345678\r\n" +
                              "--" + strBoundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
                              strFile + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + strData + "\r\n" +
                              "--" + strBoundary + "\r\nContent-Disposition: form-data; name=\"none\"; filename=\"\"\r\n" +
                              "Content-Type: application/octet-stream\r\n\r\n\r\n" + "--" + strBoundary + "--\r\n";
    EXPECT_EQ(BodyOf(strSent), strExpected);
    EXPECT_EQ(AnnouncedLength(strSent), (int)strExpected.size());
    x.sock.Close();
}

TEST(FormBody, OnePlainVariableMakesA146ByteBody)
{
    CScriptedExchange x("http://10.0.0.1/up");
    x.request.bodyKind = BODY_MULTIPART;
    x.request.formVars.Add(Var("app", "Tollgate"));
    x.Serve("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    ASSERT_EQ(x.Run(), 0);
    EXPECT_EQ(AnnouncedLength(x.Sent()), 146);
    EXPECT_EQ(BodyOf(x.Sent()).size(), 146u);
    x.sock.Close();
}

TEST(FormBody, AMissingFileFailsBeforeAnythingIsSent)
{
    CScriptedExchange x("http://10.0.0.1/up");
    x.request.bodyKind = BODY_MULTIPART;
    std::string strMissing = x.folder.GetPath() + PATH_SEPARATOR + "missing.txt";
    x.request.formVars.Add(Var("file", "missing.txt", strMissing));
    EXPECT_EQ(x.Run(), HTTP_FAILED);
    EXPECT_STREQ(x.request.errorText.GetString(), "Couldn't retrieve file size");
    EXPECT_EQ(x.Sent(), "");
}

TEST(FormBody, ContentTypeOfKnownAndUnknownExtensions)
{
    CCArray str;
    GetContentType("", str);
    EXPECT_STREQ(str.GetString(), "application/octet-stream");
    GetContentType("no-such-extension-here", str);
    EXPECT_STREQ(str.GetString(), "application/octet-stream");
#ifndef _WIN32
    GetContentType("TXT", str);
    EXPECT_STREQ(str.GetString(), "text/plain");
#endif
}
