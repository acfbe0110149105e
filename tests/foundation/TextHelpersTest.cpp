// TextHelpersTest.cpp: the free text, number and file-name helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "foundation/TextHelpers.h"

namespace
{
std::string Sep(const char* psz)
{
    std::string s(psz);
    for (char& c : s)
    {
        if (c == '|')
            c = PATH_SEPARATOR;
    }
    return s;
}

TEST(TextHelpers, TrimWhitespaceWorksInPlace)
{
    char sz[] = "\t\r\n  a b \n\r\t ";
    EXPECT_EQ(3, TrimWhitespace(sz));
    EXPECT_STREQ("a b", sz);
    char szAll[] = " \t\r\n";
    EXPECT_EQ(0, TrimWhitespace(szAll));
    EXPECT_STREQ("", szAll);
    char szNone[] = "x";
    EXPECT_EQ(1, TrimWhitespace(szNone));
    char szOther[] = "\vx\f";
    EXPECT_EQ(3, TrimWhitespace(szOther)) << "only tab, LF, CR and space are stripped";
}

TEST(TextHelpers, FileNameAndExtensionParts)
{
    std::string strPath = Sep("C:|dir.d|Log.txt");
    EXPECT_STREQ("Log.txt", GetFileNamePart(strPath.c_str()));
    std::string strEnd = Sep("dir|");
    EXPECT_STREQ("", GetFileNamePart(strEnd.c_str()));

    EXPECT_STREQ("txt", GetExtensionPart("Log.txt"));
    EXPECT_STREQ("gz", GetExtensionPart("a.tar.gz"));
    EXPECT_STREQ("", GetExtensionPart("README"));
    EXPECT_STREQ("", GetExtensionPart(".profile")) << "a leading dot is no extension";
    EXPECT_STREQ("x", GetExtensionPart(".a.x"));
    EXPECT_STREQ("", GetExtensionPart("name."));
    const char* psz = "none";
    EXPECT_EQ(psz + 4, GetExtensionPart(psz));
}

TEST(TextHelpers, ParseIntTakesOnlyWholeNumbersThatFit)
{
    EXPECT_EQ(42, ParseInt("42", 10, -1));
    EXPECT_EQ(-42, ParseInt("-42", 10, 0));
    EXPECT_EQ(255, ParseInt("ff", 16, 0));
    EXPECT_EQ(INT32_MAX, ParseInt("2147483647", 10, 0));
    EXPECT_EQ(INT32_MIN, ParseInt("-2147483648", 10, 0));
    EXPECT_EQ(7, ParseInt("2147483648", 10, 7));
    EXPECT_EQ(7, ParseInt("-2147483649", 10, 7));
    EXPECT_EQ(7, ParseInt("99999999999999999999", 10, 7));
    EXPECT_EQ(7, ParseInt("", 10, 7));
    EXPECT_EQ(7, ParseInt(nullptr, 10, 7));
    EXPECT_EQ(7, ParseInt("12x", 10, 7));
    EXPECT_EQ(7, ParseInt("12 ", 10, 7));
    EXPECT_EQ(7, ParseInt("abc", 10, 7));
    EXPECT_EQ(7, ParseInt("-", 10, 7));

    EXPECT_EQ(4294967295u, ParseUnsigned("4294967295", 10, 1));
    EXPECT_EQ(1u, ParseUnsigned("4294967296", 10, 1));
    EXPECT_EQ(1u, ParseUnsigned("-1", 10, 1)) << "no sign wraps into a large value";
    EXPECT_EQ(1u, ParseUnsigned(" -1", 10, 1));
    EXPECT_EQ(0xDEADBEEFu, ParseUnsigned("DEADBEEF", 16, 1));
    EXPECT_EQ(1u, ParseUnsigned("", 16, 1));
    EXPECT_EQ(1u, ParseUnsigned("10z", 10, 1));
}

TEST(TextHelpers, AddTrailingSeparatorOnlyWhereMissing)
{
    CCArray str;
    AddTrailingBackslash(str);
    EXPECT_EQ(0, str.GetLength());
    str = "";
    AddTrailingBackslash(str);
    EXPECT_EQ(0, str.GetLength());
    str = "dir";
    AddTrailingBackslash(str);
    EXPECT_EQ(Sep("dir|"), str.GetString());
    AddTrailingBackslash(str);
    EXPECT_EQ(Sep("dir|"), str.GetString());
}

TEST(TextHelpers, FormatTimeUsesLocalTimeAndFailsToEmpty)
{
    CCArray str("old");
    EXPECT_TRUE(FormatTime(str, 1700000000, "%Y-%m")); // 14 November 2023 everywhere
    EXPECT_STREQ("2023-11", str.GetString());

    std::string strLong;
    for (int i = 0; i < 40; i++)
        strLong += "%Y";
    EXPECT_FALSE(FormatTime(str, 1700000000, strLong.c_str())) << "160 characters do not fit in 128";
    EXPECT_EQ(0, str.GetLength());
    EXPECT_STREQ("", str.GetString());
}

TEST(TextHelpers, SystemErrorTextOnOneLineOrRaw)
{
    CCArray strRaw, strLine;
    ASSERT_TRUE(GetSystemErrorText(strRaw, ERROR_FILE_NOT_FOUND, true));
    ASSERT_TRUE(GetSystemErrorText(strLine, ERROR_FILE_NOT_FOUND));
    EXPECT_GT(strLine.GetLength(), 5);
    EXPECT_EQ(-1, strLine.FindChar('\r'));
    EXPECT_EQ(-1, strLine.FindChar('\n'));
    const char* psz = strLine.GetString();
    EXPECT_NE(' ', psz[0]);
    EXPECT_NE(' ', psz[strLine.GetLength() - 1]);
    EXPECT_GE(strRaw.GetLength(), strLine.GetLength());
    EXPECT_EQ(0, strncmp(strRaw.GetString(), psz, (size_t)strLine.GetLength() - 1));

    CCArray strNone("x");
    EXPECT_FALSE(GetSystemErrorText(strNone, 0x20001234u));
    EXPECT_EQ(0, strNone.GetLength());
}

TEST(TextHelpers, FindStringExactOrIgnoringCase)
{
    CArrayObj<CCArray, CCArray&> arr;
    arr.Add(CCArray("Content-Type"));
    arr.Add(CCArray());
    arr.Add(CCArray("content-type"));
    arr.Add(CCArray("Host"));

    EXPECT_EQ(2, FindString(arr, "content-type", false, 0));
    EXPECT_EQ(0, FindString(arr, "CONTENT-TYPE", true, 0));
    EXPECT_EQ(2, FindString(arr, "CONTENT-TYPE", true, 1));
    EXPECT_EQ(1, FindString(arr, "", false, 0)) << "an element without text is the empty text";
    EXPECT_EQ(-1, FindString(arr, "Host", false, -1));
    EXPECT_EQ(-1, FindString(arr, "Host", false, 4));
    EXPECT_EQ(-1, FindString(arr, "Hos", true, 0));
}

TEST(TextHelpers, DuplicateTextCopiesAndTerminates)
{
    char* p = DuplicateText("abcdef", 3);
    EXPECT_STREQ("abc", p);
    delete[] p;
    p = DuplicateText("abcdef", -1);
    EXPECT_STREQ("abcdef", p);
    delete[] p;
    p = DuplicateText("abc", 0);
    EXPECT_STREQ("", p);
    delete[] p;
}
} // namespace
