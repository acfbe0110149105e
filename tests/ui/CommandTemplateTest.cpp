// CommandTemplateTest.cpp: placeholder expansion and program lookup of open command templates.
#include "ui/CommandTemplate.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
const char kDoc[] = "C:\\Long Folder\\ServerLog.txt";
const char kShort[] = "C:\\LONGFO~1\\SERVER~1.TXT";

struct SExpansion
{
    int nResult;
    std::string strOut;
    bool bInserted;
};

SExpansion Expand(const char* pszTemplate, bool bLongNames, size_t nSize = 1023,
                  const char* pszShort = kShort)
{
    char szOut[1100];
    SExpansion e;
    e.bInserted = false;
    e.nResult = ExpandCommandTemplate(pszTemplate, szOut, nSize, kDoc, pszShort, 1, bLongNames, &e.bInserted);
    e.strOut = e.nResult == EXPAND_OK ? szOut : "";
    return e;
}

TEST(ExpandCommandTemplate, DocumentPlaceholdersAndShortNames)
{
    SExpansion e = Expand("\"C:\\V\\view.exe\" \"%1\"", false);
    EXPECT_EQ(EXPAND_OK, e.nResult);
    EXPECT_TRUE(e.bInserted);
    EXPECT_EQ(std::string("\"C:\\V\\view.exe\" \"") + kShort + "\"", e.strOut);
    EXPECT_EQ(std::string("\"C:\\V\\view.exe\" \"") + kDoc + "\"",
              Expand("\"C:\\V\\view.exe\" \"%1\"", true).strOut);
    // %L always gives the path as given; without a short form %1 does too.
    EXPECT_EQ(std::string("v.exe ") + kDoc, Expand("v.exe %L", false).strOut);
    EXPECT_EQ(std::string("v.exe ") + kDoc, Expand("v.exe %0", false, 1023, nullptr).strOut);
    // Only double quotes before it: the document is the program and keeps its long name.
    SExpansion own = Expand("\"\"%1\" /x", false);
    EXPECT_EQ(std::string("\"\"") + kDoc + "\" /x", own.strOut);
    EXPECT_TRUE(own.bInserted);
}

TEST(ExpandCommandTemplate, OtherSequences)
{
    SExpansion e = Expand("v.exe %S %h %I %* %2 %~3 %% %q 100%", true);
    EXPECT_EQ(EXPAND_OK, e.nResult);
    EXPECT_FALSE(e.bInserted);
    EXPECT_EQ("v.exe 1 0 :0    % q 100", e.strOut);
    // "%~" not followed by 2..9 keeps its "%" and goes on with the "~".
    EXPECT_EQ("v %~x %~1", Expand("v %~x %~1", true).strOut);
    // A sequence that writes nothing still ends the quotes-only state.
    EXPECT_EQ(std::string("\"") + kShort, Expand("\"%*%1", false).strOut);
}

TEST(ExpandCommandTemplate, RefusesDirectoryPlaceholderAndOverflow)
{
    EXPECT_EQ(EXPAND_FAILED, Expand("v.exe %D", true).nResult);
    EXPECT_EQ(EXPAND_FAILED, Expand("v.exe %1 %d", true).nResult);
    // 5 characters plus the terminator need 6 bytes.
    EXPECT_EQ(EXPAND_OK, Expand("abcde", true, 6).nResult);
    EXPECT_EQ(EXPAND_FAILED, Expand("abcdef", true, 6).nResult);
    EXPECT_EQ(EXPAND_FAILED, Expand("%1", true, sizeof(kDoc) - 1).nResult);
    EXPECT_EQ(EXPAND_OK, Expand("%1", true, sizeof(kDoc)).nResult);
}

TEST(GetProgramFromCommand, QuotedBareAndMissing)
{
    CCArray str;
    ASSERT_TRUE(GetProgramFromCommand("  \"C:\\Program Files\\V\\v.exe\" \"%1\"", str));
    EXPECT_STREQ("C:\\Program Files\\V\\v.exe", str.GetString());
    ASSERT_TRUE(GetProgramFromCommand("C:\\V\\v.exe /open %1", str));
    EXPECT_STREQ("C:\\V\\v.exe", str.GetString());
    ASSERT_TRUE(GetProgramFromCommand("notepad.exe", str));
    EXPECT_STREQ("notepad.exe", str.GetString());
    EXPECT_FALSE(GetProgramFromCommand("\"C:\\V\\v.exe %1", str));
    EXPECT_FALSE(GetProgramFromCommand(" %1", str));
    EXPECT_FALSE(GetProgramFromCommand("   ", str));
    // A quote followed by "%" is not a quoted program: the text up to the space is taken.
    ASSERT_TRUE(GetProgramFromCommand("\"%1\" /x", str));
    EXPECT_STREQ("\"%1\"", str.GetString());
}
} // namespace
