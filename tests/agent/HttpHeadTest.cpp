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
