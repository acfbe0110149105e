// SystemTextTest.cpp (Windows): system message texts in a language the system lacks, and paths
// that the code page cannot spell.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/Platform.h"

namespace
{
// A language whose message texts no system is likely to carry.
const WORD LANG_MISSING = MAKELANGID(LANG_INUKTITUT, SUBLANG_DEFAULT);

TEST(SystemText, AMissingLanguageFallsBackToTheSystemsOwn)
{
    char sz[512];
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_FILE_NOT_FOUND,
                       LANG_MISSING, sz, sizeof(sz), nullptr) != 0)
        GTEST_SKIP() << "this system has the language";
    ASSERT_TRUE(SysErrorMessageIn(ERROR_FILE_NOT_FOUND, LANG_MISSING, sz, sizeof(sz)));
    EXPECT_GT(strlen(sz), 5u);
    // An unknown number has no text in any language.
    EXPECT_FALSE(SysErrorMessageIn(0x20001234u, LANG_MISSING, sz, sizeof(sz)));
    EXPECT_STREQ("", sz);
}

TEST(SystemText, APathInTheCodePageStaysAsItIs)
{
    char sz[MAX_PATH];
    ASSERT_EQ(strlen("C:\\windows\\"), SysAnsiPath(L"C:\\windows\\", sz, sizeof(sz)));
    EXPECT_STREQ("C:\\windows\\", sz);
}

TEST(SystemText, AFolderOutsideTheCodePageGetsItsShortPath)
{
    wchar_t szTemp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, szTemp), 0u);
    // Cyrillic and CJK letters: no single-byte code page holds both.
    std::wstring strFolder = std::wstring(szTemp) + L"tg-\x0416\x0436-\x6771\x4eac-" +
                             std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(strFolder.c_str(), nullptr));
    char sz[MAX_PATH];
    size_t n = SysAnsiPath(strFolder.c_str(), sz, sizeof(sz));
    if (n > 0)
    {
        EXPECT_EQ(std::string::npos, std::string(sz).find('?')) << sz;
        DWORD dwAttributes = GetFileAttributesA(sz);
        EXPECT_TRUE(dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) << sz;
    }
    else
    {
        // A volume without short names: no usable path rather than one with '?' in it.
        wchar_t szShort[MAX_PATH];
        EXPECT_EQ(0u, GetShortPathNameW(strFolder.c_str(), szShort, MAX_PATH));
    }
    // A missing file has no short name either.
    EXPECT_EQ(0u, SysAnsiPath((strFolder + L"\\\x0416-missing").c_str(), sz, sizeof(sz)));
    RemoveDirectoryW(strFolder.c_str());
}
} // namespace
