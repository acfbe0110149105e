// HttpHeadTest.cpp: parsing of response heads and status lines.
#include <gtest/gtest.h>

#include "agent/HttpHead.h"

namespace
{

bool ParseHead(CHtRespHead& head, const char* psz)
{
    CCArray str(psz);
    return head.Parse(str);
}

} // namespace

TEST(HttpHead, ParsesHeadersInOrderUnfoldingContinuationLines)
{
    CHtRespHead head;
    ASSERT_TRUE(ParseHead(head,
                          "HTTP/1.1 404 Not Found\r\nX-A:  one \r\nX-Long: first\r\n  second\r\n\tthird\r\n"
                          "x-a:two\r\n\r\n"));
    EXPECT_EQ(head.version, 0x10001);
    EXPECT_EQ(head.status, 404);
    EXPECT_STREQ(head.statusText.GetString(), "404 Not Found");
    ASSERT_EQ(head.names.GetSize(), 3);
    EXPECT_STREQ(head.values[1].GetString(), "first  second\tthird");
    CCArray strValue;
    ASSERT_TRUE(head.GetHeader("x-A", strValue));
    EXPECT_STREQ(strValue.GetString(), "one");
    EXPECT_FALSE(head.GetHeader("X-Missing", strValue));
    EXPECT_STREQ(head.rawHeaders.GetString(), "X-A:  one \r\nX-Long: first  second\tthird\r\nx-a:two\r\n");
}

TEST(HttpHead, StatusLineForms)
{
    CHtRespHead head;
    ASSERT_TRUE(ParseHead(head, "http/1.0 200\r\n\r\n"));
    EXPECT_EQ(head.version, 0x10000);
    EXPECT_STREQ(head.statusText.GetString(), "200");
    for (const char* psz :
         {"HTTP/1 200 OK\r\n\r\n", "HTTP/1.1\r\n\r\n", "HTTP/1.1 -200 OK\r\n\r\n",
          "HTTP/65536.0 200 OK\r\n\r\n", "HTTP/1.x 200 OK\r\n\r\n", "HTXP/1.1 200 OK\r\n\r\n"})
        EXPECT_FALSE(ParseHead(head, psz)) << psz;
}

// The version is kept as major * 65536 + minor in an int: a major number of 32768 or more
// overflowed it (undefined behaviour). The numbers are bounded instead, and so is the status.
TEST(HttpHead, VersionAndStatusNumbersAreBounded)
{
    CHtRespHead head;
    for (const char* psz : {"HTTP/32768.0 200 OK\r\n\r\n", "HTTP/65535.65535 200 OK\r\n\r\n",
                            "HTTP/1000.1 200 OK\r\n\r\n", "HTTP/1.1000 200 OK\r\n\r\n",
                            "HTTP/1.1 2000000000 OK\r\n\r\n", "HTTP/1.1 1000 OK\r\n\r\n"})
        EXPECT_FALSE(ParseHead(head, psz)) << psz;
    ASSERT_TRUE(ParseHead(head, "HTTP/999.999 999 Largest\r\n\r\n"));
    EXPECT_EQ(head.version, 999 * 65536 + 999);
    EXPECT_EQ(head.status, 999);
}
