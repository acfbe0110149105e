// VersionInfoTest.cpp: SVersionInfo::Read on the probe (the program's resource) and on sample
// modules built with other versions and translations.
#include <gtest/gtest.h>

#include "crash/VersionInfo.h"
#include "Version.h"
#include "tests/support/win32/ChildProcess.h"

TEST(VersionInfo, ReadsTheNumberTheShortTextAndTheStrings)
{
    SVersionInfo info;
    ASSERT_TRUE(info.Read((TestExecutableFolder() + "probe\\CrashProbe.exe").c_str()));
    EXPECT_EQ(((TG_VERSION_MAJOR * 10 + TG_VERSION_MINOR) * 10 + TG_VERSION_PATCH) * 10 + TG_VERSION_BUILD,
              info.number);
    EXPECT_STREQ("Tollgate.EXE", info.originalFilename.GetString());
    EXPECT_STREQ("Tollgate", info.productName.GetString());

    ASSERT_TRUE(info.Read((TestExecutableFolder() + "Version1234.dll").c_str()));
    EXPECT_EQ(1234, info.number);
    EXPECT_STREQ("1.23", info.text.GetString());
    EXPECT_STREQ("sample.dll", info.originalFilename.GetString());
    ASSERT_TRUE(info.Read((TestExecutableFolder() + "Version1000.dll").c_str()));
    EXPECT_STREQ("1.0", info.text.GetString());
}

TEST(VersionInfo, RefusesFiveDigitsOtherTranslationsAndFilesWithoutResource)
{
    for (const char* pszName :
         {"Version10000.dll", "VersionCodePage.dll", "VersionTwoLanguages.dll", "none.dll"})
    {
        SVersionInfo info;
        EXPECT_FALSE(info.Read((TestExecutableFolder() + pszName).c_str())) << pszName;
    }
}
