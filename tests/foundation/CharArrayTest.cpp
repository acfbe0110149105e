// CharArrayTest.cpp: CCArray's representation, capacity steps, formatting, searching and editing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "foundation/CharArray.h"

namespace
{
TEST(CharArray, EmptyStringsAreValidTexts)
{
    CCArray str;
    EXPECT_EQ(0, str.nCount);
    EXPECT_EQ(0, str.nAlloc);
    EXPECT_EQ(1000, str.nGrowBy);
    EXPECT_EQ(nullptr, str.pData);
    ASSERT_NE(nullptr, str.GetString());
    EXPECT_STREQ("", str.GetString());
    EXPECT_EQ(0, str.GetLength());

    str.SetText("", 0);
    EXPECT_EQ(1, str.nCount);
    EXPECT_EQ(0, str.GetLength());
    EXPECT_STREQ("", str.GetString());

    CCArray strNull(nullptr);
    EXPECT_EQ(0, strNull.nCount);
    str = "abc";
    str = (const char*)nullptr;
    EXPECT_EQ(0, str.nCount);
    EXPECT_STREQ("", str.GetString()) << "a cleared string with storage still reads as empty";
}

TEST(CharArray, CapacityGrowsInThousandCharacterSteps)
{
    CCArray str;
    str.Append("ab", 2);
    EXPECT_EQ(3, str.nCount);
    EXPECT_EQ(1000, str.nAlloc);
    EXPECT_STREQ("ab", str.GetString());

    std::string s997(997, 'x');
    str.Append(s997.c_str(), 997);
    EXPECT_EQ(1000, str.nAlloc) << "999 characters and the terminator still fit";
    EXPECT_EQ(1000, str.nCount);
    str.Append("y", 1);
    EXPECT_EQ(2000, str.nAlloc);
    EXPECT_EQ(1001, str.nCount);

    CCArray strStep;
    strStep.Append("ab", 2);
    std::string s999(999, 'z');
    strStep.Append(s999.c_str(), 999);
    EXPECT_EQ(2000, strStep.nAlloc);
    EXPECT_EQ(1002, strStep.nCount);
    EXPECT_EQ("ab" + s999, strStep.GetString());

    // Shorter text keeps the capacity; only SetAllocSize(0) gives it back.
    strStep.SetText("q", 1);
    EXPECT_EQ(2000, strStep.nAlloc);
    strStep.SetSize(0);
    EXPECT_EQ(2000, strStep.nAlloc);
    strStep.RemoveAll();
    EXPECT_EQ(0, strStep.nAlloc);
    EXPECT_EQ(nullptr, strStep.pData);

    str.Append("", 0);
    EXPECT_EQ(1001, str.nCount) << "appending nothing changes nothing";
}

TEST(CharArray, AppendAndInsertMayUseTheirOwnText)
{
    CCArray str;
    std::string s600(600, 'a');
    s600[0] = 'b';
    str = s600.c_str();
    // The second half lands beyond the first allocation: the source must survive the move.
    str.Append(str.GetString(), str.GetLength());
    EXPECT_EQ(s600 + s600, str.GetString());
    EXPECT_EQ(2000, str.nAlloc);

    CCArray strSelf("12345");
    strSelf.Append(strSelf);
    EXPECT_STREQ("1234512345", strSelf.GetString());

    CCArray strIns("abcdef");
    strIns.Insert(3, "XY", 2);
    EXPECT_STREQ("abcXYdef", strIns.GetString());
    strIns.Insert(0, "<", 1);
    strIns.Insert(strIns.GetLength(), ">", 1);
    EXPECT_STREQ("<abcXYdef>", strIns.GetString());

    CCArray strOwn("abcdef");
    strOwn.Insert(2, strOwn.GetString() + 1, 3); // "bcd" taken across the insertion point
    EXPECT_STREQ("abbcdcdef", strOwn.GetString());
    CCArray strTail("abcdef");
    strTail.Insert(1, strTail.GetString() + 4, 2);
    EXPECT_STREQ("aefbcdef", strTail.GetString());

    CCArray strEmpty;
    strEmpty.Insert(0, "xy", 2);
    EXPECT_STREQ("xy", strEmpty.GetString());
    EXPECT_EQ(3, strEmpty.nCount);

    strIns.Delete(1, 3);
    EXPECT_STREQ("<XYdef>", strIns.GetString());
    EXPECT_EQ(8, strIns.nCount);
}

TEST(CharArray, FormatIsCutAt999Characters)
{
    CCArray str;
    std::string s1500(1500, 'k');
    str.Format("%s", s1500.c_str());
    EXPECT_EQ(999, str.GetLength());
    EXPECT_EQ(std::string(999, 'k'), str.GetString());

    str.Format("%s!", std::string(998, 'm').c_str());
    EXPECT_EQ(999, str.GetLength());
    EXPECT_EQ('!', str.GetString()[998]);

    str.Format("%d-%s-%u", -5, "x", 7u);
    EXPECT_STREQ("-5-x-7", str.GetString());
    EXPECT_EQ(7, str.nCount);

    str.Format("%s", "");
    EXPECT_EQ(0, str.GetLength());
    EXPECT_STREQ("", str.GetString());

    // The string's own text as an argument.
    str = "twice";
    str.Format("%s+%s", str.GetString(), str.GetString());
    EXPECT_STREQ("twice+twice", str.GetString());
}

TEST(CharArray, FindRespectsItsStartBounds)
{
    CCArray strNone;
    EXPECT_EQ(-1, strNone.Find("", 0));
    EXPECT_EQ(-1, strNone.Find("a", 0));
    EXPECT_EQ(-1, strNone.FindChar('a', 0));
    EXPECT_EQ(-1, strNone.ReverseFind('a'));

    CCArray str("abcabc");
    EXPECT_EQ(1, str.Find("bc", 0));
    EXPECT_EQ(4, str.Find("bc", 2));
    EXPECT_EQ(-1, str.Find("bc", 5));
    EXPECT_EQ(-1, str.Find("bc", -1));
    EXPECT_EQ(-1, str.Find("bc", 7));
    EXPECT_EQ(-1, str.Find("bc", 100));
    EXPECT_EQ(6, str.Find("", 6)) << "the position of the terminator is still inside nCount";
    EXPECT_EQ(-1, str.Find("zz", 0));

    EXPECT_EQ(2, str.FindChar('c', 0));
    EXPECT_EQ(5, str.FindChar('c', 3));
    EXPECT_EQ(-1, str.FindChar('c', -2));
    EXPECT_EQ(-1, str.FindChar('\0', 0)) << "the terminator is not part of the text";

    EXPECT_EQ(3, str.ReverseFind('a'));
    EXPECT_EQ(-1, str.ReverseFind('q'));
}

TEST(CharArray, ReplaceRebuildsLeftToRight)
{
    CCArray str("one\r\ntwo\r\n");
    EXPECT_TRUE(str.Replace("\r", nullptr));
    EXPECT_STREQ("one\ntwo\n", str.GetString());
    EXPECT_EQ(9, str.nCount);
    EXPECT_FALSE(str.Replace("\r", ""));
    EXPECT_STREQ("one\ntwo\n", str.GetString());

    EXPECT_FALSE(str.Replace("", "x"));
    EXPECT_FALSE(str.Replace(nullptr, "x"));

    CCArray strA("aaaa");
    EXPECT_TRUE(strA.Replace("aa", "b"));
    EXPECT_STREQ("bb", strA.GetString());

    CCArray strGrow("a.b.c");
    EXPECT_TRUE(strGrow.Replace(".", ".."));
    EXPECT_STREQ("a..b..c", strGrow.GetString()) << "the search goes on after each replacement";

    CCArray strAll("xx");
    EXPECT_TRUE(strAll.Replace("x", nullptr));
    EXPECT_STREQ("", strAll.GetString());
    EXPECT_EQ(0, strAll.GetLength());

    CCArray strChars("a-b-c");
    strChars.ReplaceChar('-', '+');
    EXPECT_STREQ("a+b+c", strChars.GetString());
}

TEST(CharArray, LeftMidAndRightEdges)
{
    CCArray src("hello");
    CCArray str;
    str.Left(src, 2);
    EXPECT_STREQ("he", str.GetString());
    str.Left(src, -1);
    EXPECT_STREQ("hello", str.GetString());
    str.Left(src, 6);
    EXPECT_STREQ("hello", str.GetString());
    str.Left(src, 0);
    EXPECT_STREQ("", str.GetString());
    str.Left(CCArray(), 3);
    EXPECT_EQ(0, str.GetLength());

    str = "keep";
    str.Mid(src, 1, 3);
    EXPECT_STREQ("ell", str.GetString());
    str.Mid(src, 3);
    EXPECT_STREQ("lo", str.GetString());
    str.Mid(src, 2, 100);
    EXPECT_STREQ("llo", str.GetString());
    str.Mid(src, 5);
    EXPECT_STREQ("", str.GetString()) << "a start at the length gives the empty tail";
    str = "keep";
    str.Mid(src, 6);
    EXPECT_STREQ("keep", str.GetString()) << "a start beyond the text leaves the string alone";
    str.Mid(src, -1);
    EXPECT_STREQ("keep", str.GetString());
    str.Mid(CCArray(), 0);
    EXPECT_STREQ("keep", str.GetString());

    str.Left(str, 2);
    EXPECT_STREQ("ke", str.GetString()) << "a string may be cut from itself";

    str.MidText("abcdef", 2, 2);
    EXPECT_STREQ("cd", str.GetString());
    str.MidText("abcdef", 4, -1);
    EXPECT_STREQ("ef", str.GetString());
    str.MidText("abcdef", 7, 1);
    EXPECT_STREQ("ef", str.GetString());
    str.MidText("abcdef", 1, -2);
    EXPECT_STREQ("ef", str.GetString());

    CCArray strR("abcdef");
    EXPECT_STREQ("ef", strR.RightPtr(2));
    EXPECT_STREQ("", strR.RightPtr(0));
    EXPECT_STREQ("abcdef", strR.RightPtr(7));
    EXPECT_STREQ("abcdef", strR.RightPtr(6));
    EXPECT_STREQ("", CCArray().RightPtr(3));
}

TEST(CharArray, TrimTruncateLowerAndLimitedSet)
{
    CCArray str(" \t\r\n text here \r\n\t ");
    str.Trim();
    EXPECT_STREQ("text here", str.GetString());
    EXPECT_EQ(10, str.nCount);

    CCArray strBlank(" \t ");
    strBlank.Trim();
    EXPECT_EQ(1, strBlank.nCount);

    CCArray strNone;
    strNone.Trim();
    EXPECT_EQ(0, strNone.nCount);

    str.Truncate(4);
    EXPECT_STREQ("text", str.GetString());
    EXPECT_EQ(5, str.nCount);
    str.Truncate(4);
    str.Truncate(-1);
    str.Truncate(10);
    EXPECT_STREQ("text", str.GetString());

    CCArray strCase("MiXeD 1-Z@[");
    strCase.MakeLower();
    EXPECT_STREQ("mixed 1-z@[", strCase.GetString());

    str.SetTextMax("abcdef", 3);
    EXPECT_STREQ("abc", str.GetString());
    str.SetTextMax("abcdef", -1);
    EXPECT_STREQ("abcdef", str.GetString());
    str.SetTextMax("ab", 10);
    EXPECT_STREQ("ab", str.GetString());
}

TEST(CharArray, AttachMovesStorage)
{
    CCArray a("first");
    CCArray b("second");
    const char* pStorage = b.pData;
    int32_t nAlloc = b.nAlloc;
    a.Attach(b);
    EXPECT_STREQ("second", a.GetString());
    EXPECT_EQ(pStorage, a.pData);
    EXPECT_EQ(nAlloc, a.nAlloc);
    EXPECT_EQ(0, b.nCount);
    EXPECT_EQ(0, b.nAlloc);
    EXPECT_EQ(nullptr, b.pData);
    EXPECT_EQ(1000, b.nGrowBy);
    EXPECT_STREQ("", b.GetString());

    b.Append("again");
    EXPECT_STREQ("again", b.GetString());
}

TEST(CharArray, CopiesAndConcatenationsOwnTheirCharacters)
{
    CCArray a("left");
    CCArray b(a);
    EXPECT_NE(a.pData, b.pData);
    b.Append("!");
    EXPECT_STREQ("left", a.GetString());
    b = b;
    EXPECT_STREQ("left!", b.GetString());
    b = CCArray();
    EXPECT_EQ(0, b.nCount);

    EXPECT_STREQ("left-right", (a + "-right").GetString());
    EXPECT_STREQ("pre-left", ("pre-" + a).GetString());
    EXPECT_STREQ("left?", (a + '?').GetString());
    EXPECT_STREQ("leftleft", (a + a).GetString());
    EXPECT_STREQ("left", (a + (const char*)nullptr).GetString());
    EXPECT_STREQ("left", ("" + a).GetString());
    EXPECT_STREQ("left", (CCArray() + a).GetString());
    EXPECT_STREQ("left", (a + CCArray("")).GetString());
    EXPECT_STREQ("?", (CCArray() + '?').GetString());

    CCArray strSum = a + "123";
    EXPECT_EQ(1000, strSum.nAlloc) << "reserved once for both parts";

    CCArray c;
    c += "x";
    c += a;
    c += 'y';
    EXPECT_STREQ("xlefty", c.GetString());

    CCArray d;
    d.AppendArray(a);
    d.AppendArray(a);
    EXPECT_STREQ("leftleft", d.GetString());
    EXPECT_EQ(9, d.nCount) << "no terminator inside the text";
}
} // namespace
