// DiskFullTest.cpp (POSIX): a full device reports the Windows "disk full" number.
#include <gtest/gtest.h>

#include <memory>

#include "foundation/DiskFile.h"
#include "foundation/TextHelpers.h"

namespace
{
TEST(DiskFile, FullDeviceThrowsDiskFull)
{
    if (!SysFileExists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    CDiskFile file;
    file.Open("/dev/full", CDiskFile::modeWrite);
    uint32_t dwError = 0;
    try
    {
        file.Write("abc", 3);
    }
    catch (CDiskFileException* pEx)
    {
        std::unique_ptr<CDiskFileException> owner(pEx);
        dwError = pEx->dwError;
    }
    EXPECT_EQ((uint32_t)ERROR_DISK_FULL, dwError);

    CCArray strText;
    EXPECT_TRUE(GetSystemErrorText(strText, dwError));
    EXPECT_STREQ("There is not enough space on the disk.", strText.GetString());
}
} // namespace
