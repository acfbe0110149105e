// SystemTextTest.cpp (Windows): system message texts in a language the system lacks. (Paths that
// the code page cannot spell are tested through InitPaths, tests/config/win32/RegistryTest.cpp.)
#include <gtest/gtest.h>

#include <windows.h>

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

} // namespace
