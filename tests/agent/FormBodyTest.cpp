// FormBodyTest.cpp: escaping, the boundary, and both bodies with the length they announce. The
// multipart body with a file is checked byte for byte by the upload tests.
#include <gtest/gtest.h>

#include "AgentTestSupport.h"

namespace
{

const char* const OK = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

// The head's Content-Length line and the body after the head.
std::string LengthAndBody(const std::string& strSent)
{
    size_t nLength = strSent.find("\r\nContent-Length: "), nBody = strSent.find("\r\n\r\n");
    return strSent.substr(nLength + 18, strSent.find("\r\n", nLength + 2) - nLength - 18) + "|" +
           strSent.substr(nBody + 4);
}

void AddVar(SHttpRequest& request, const char* pszName, const char* pszValue, const std::string& strPath = "")
{
    SFormVar var;
    var.name = pszName;
    var.value = pszValue;
    var.filePath = strPath.c_str();
    request.formVars.Add(var);
}

} // namespace

TEST(FormBody, UrlEscapeAndBoundary)
{
    CCArray str;
    UrlEscape("aZ09-._ ~+&=\xE9/", str);
    EXPECT_STREQ(str.GetString(), "aZ09-._%20%7E%2B%26%3D%E9%2F");
    std::string strBoundary = MakeBoundary().GetString();
    ASSERT_EQ(strBoundary.size(), 40u);
    size_t nDashes = strBoundary.find_first_not_of('-');
    EXPECT_GE(nDashes, 12u);
    EXPECT_EQ(strBoundary.find_first_not_of("0123456789abcdef", nDashes), std::string::npos);
}

TEST(FormBody, UrlEncodedBodies)
{
    CScriptedExchange x("http://10.0.0.1/f", OK);
    x.request.bodyKind = BODY_URLENCODED;
    AddVar(x.request, "a b", "x&y");
    AddVar(x.request, "n", "");
    ASSERT_EQ(x.Run(), 0);
    EXPECT_EQ(x.Sent().rfind("POST /f HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(x.Sent().find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"), std::string::npos);
    EXPECT_EQ(LengthAndBody(x.Sent()), "14|a%20b=x%26y&n=");
}

TEST(FormBody, MultipartLengthsMatchTheBytesSent)
{
    {
        CScriptedExchange x("http://10.0.0.1/up", OK);
        x.request.bodyKind = BODY_MULTIPART;
        AddVar(x.request, "app", "Tollgate");
        ASSERT_EQ(x.Run(), 0);
        EXPECT_EQ(LengthAndBody(x.Sent()).substr(0, 4), "146|");
        EXPECT_EQ(LengthAndBody(x.Sent()).size(), 4u + 146u);
    }
    CScriptedExchange y("http://10.0.0.1/up");
    y.request.bodyKind = BODY_MULTIPART;
    AddVar(y.request, "file", "missing.txt", y.folder.GetPath() + PATH_SEPARATOR + "missing.txt");
    EXPECT_EQ(y.Run(), HTTP_FAILED);
    EXPECT_EQ(y.Error(), "Couldn't retrieve file size");
    EXPECT_EQ(y.Sent(), "");
}

TEST(FormBody, UnknownExtensionsAreOctetStreams)
{
    CCArray str;
    for (const char* psz : {"", "no-such-extension-here"})
    {
        GetContentType(psz, str);
        EXPECT_STREQ(str.GetString(), "application/octet-stream");
    }
}
