// VersionInfoTest.cpp: SVersionInfo::Read on this executable and on sample modules.
#include <gtest/gtest.h>

#include <windows.h>

#include "crash/VersionInfo.h"
#include "Version.h"

namespace
{
std::string ModuleBesideTests(const char* pszName)
{
    char szPath[MAX_PATH];
    GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string path(szPath);
    return path.substr(0, path.rfind('\\') + 1) + pszName;
}
} // namespace

TEST(VersionInfo, ReadsTheProductVersionAndStrings)
{
    char szPath[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameA(nullptr, szPath, MAX_PATH));
    SVersionInfo info;
    ASSERT_TRUE(info.Read(szPath));
    int nExpected = ((TG_VERSION_MAJOR * 10 + TG_VERSION_MINOR) * 10 + TG_VERSION_PATCH) * 10 + TG_VERSION_BUILD;
    EXPECT_EQ(nExpected, info.number);
    EXPECT_STREQ("crash_tests.exe", info.originalFilename.GetString());
    EXPECT_STREQ("Tollgate", info.productName.GetString());
}

TEST(VersionInfo, ShortTextDropsTheLastDigitAndATrailingZero)
{
    SVersionInfo info;
    ASSERT_TRUE(info.Read(ModuleBesideTests("Version1234.dll").c_str()));
    EXPECT_EQ(1234, info.number);
    EXPECT_STREQ("1.23", info.text.GetString());
    EXPECT_STREQ("version1234.dll", info.originalFilename.GetString());

    ASSERT_TRUE(info.Read(ModuleBesideTests("Version1000.dll").c_str()));
    EXPECT_EQ(1000, info.number);
    EXPECT_STREQ("1.0", info.text.GetString());
}

TEST(VersionInfo, RefusesAVersionBeyondFourDigits)
{
    SVersionInfo info;
    EXPECT_FALSE(info.Read(ModuleBesideTests("Version10000.dll").c_str()));
}

TEST(VersionInfo, RefusesATranslationOtherThanOneWithCodePageZero)
{
    SVersionInfo info;
    EXPECT_FALSE(info.Read(ModuleBesideTests("VersionCodePage.dll").c_str()));
    EXPECT_FALSE(info.Read(ModuleBesideTests("VersionTwoLanguages.dll").c_str()));
}

TEST(VersionInfo, FailsForAFileWithoutVersionResource)
{
    SVersionInfo info;
    EXPECT_FALSE(info.Read(ModuleBesideTests("no-such-module.dll").c_str()));
}
