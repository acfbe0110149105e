// CommandTemplateTest.cpp: placeholder expansion and program lookup of open command templates.
#include "ui/CommandTemplate.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
const std::string kDoc = "C:\\Long Folder\\ServerLog.txt";
const std::string kShort = "C:\\LONGFO~1\\SERVER~1.TXT";

// The expansion, "FAILED" when refused, with "+" appended when the document was inserted.
std::string Expand(const char* pszTemplate, bool bLongNames, size_t nSize = 1023, bool bHasShort = true)
{
    char szOut[1100];
    bool bInserted = false;
    if (ExpandCommandTemplate(pszTemplate, szOut, nSize, kDoc.c_str(), bHasShort ? kShort.c_str() : nullptr,
                              1, bLongNames, &bInserted) != EXPAND_OK)
        return "FAILED";
    return std::string(szOut) + (bInserted ? "+" : "");
}

TEST(ExpandCommandTemplate, EverySequence)
{
    EXPECT_EQ("\"v.exe\" \"" + kShort + "\"+", Expand("\"v.exe\" \"%1\"", false));
    EXPECT_EQ("\"v.exe\" \"" + kDoc + "\"+", Expand("\"v.exe\" \"%1\"", true));
    EXPECT_EQ("v " + kDoc + "+", Expand("v %L", false));
    EXPECT_EQ("v " + kDoc + "+", Expand("v %0", false, 1023, false));
    // Only double quotes before it: the document is the program and keeps its long name...
    EXPECT_EQ("\"\"" + kDoc + "\" /x+", Expand("\"\"%1\" /x", false));
    // ...but a sequence that writes nothing ends that state.
    EXPECT_EQ("\"" + kShort + "+", Expand("\"%*%1", false));
    EXPECT_EQ("v 1 0 :0    % q 100", Expand("v %S %h %I %* %2 %~3 %% %q 100%", true));
    EXPECT_EQ("v %~x %~1", Expand("v %~x %~1", true));
    EXPECT_EQ("FAILED", Expand("v %1 %d", true));
    // Five characters and the terminator need six bytes.
    EXPECT_EQ("abcde", Expand("abcde", true, 6));
    EXPECT_EQ("FAILED", Expand("abcdef", true, 6));
    EXPECT_EQ("FAILED", Expand("%1", true, kDoc.size()));
}

TEST(GetProgramFromCommand, QuotedBareAndMissing)
{
    CCArray str;
    ASSERT_TRUE(GetProgramFromCommand("  \"C:\\Program Files\\v.exe\" \"%1\"", str));
    EXPECT_STREQ("C:\\Program Files\\v.exe", str.GetString());
    ASSERT_TRUE(GetProgramFromCommand("C:\\V\\v.exe /open %1", str));
    EXPECT_STREQ("C:\\V\\v.exe", str.GetString());
    // A quote followed by "%" is no quoted program: the text up to the space is taken.
    ASSERT_TRUE(GetProgramFromCommand("\"%1\" /x", str));
    EXPECT_STREQ("\"%1\"", str.GetString());
    EXPECT_FALSE(GetProgramFromCommand("\"C:\\V\\v.exe %1", str));
    EXPECT_FALSE(GetProgramFromCommand(" %1", str));
    EXPECT_FALSE(GetProgramFromCommand("   ", str));
}
} // namespace
