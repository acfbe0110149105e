// DiskFileShareTest.cpp (Win32): share modes of CDiskFile::Open reach the system.
#include <gtest/gtest.h>

#include <memory>

#include "foundation/DiskFile.h"
#include "tests/platform/TestFolder.h"

namespace
{
uint32_t OpenError(CDiskFile& file, const std::string& strPath, uint32_t nFlags)
{
    try
    {
        file.Open(strPath.c_str(), nFlags);
    }
    catch (CDiskFileException* pEx)
    {
        std::unique_ptr<CDiskFileException> owner(pEx);
        return pEx->dwError;
    }
    return 0;
}

TEST(DiskFile, ShareModesDecideWhoElseMayOpen)
{
    CTestFolder folder;
    std::string strPath = folder.Join("shared.txt");
    CDiskFile first;
    first.Open(strPath.c_str(), CDiskFile::modeWrite | CDiskFile::modeCreate | CDiskFile::shareExclusive);
    CDiskFile second;
    EXPECT_EQ((uint32_t)ERROR_SHARING_VIOLATION,
              OpenError(second, strPath, CDiskFile::modeRead | CDiskFile::shareDenyNone));
    first.Close();

    first.Open(strPath.c_str(), CDiskFile::modeWrite | CDiskFile::shareDenyWrite);
    EXPECT_EQ(0u, OpenError(second, strPath, CDiskFile::modeRead | CDiskFile::shareDenyNone))
        << "others may read";
    second.Close();
    CDiskFile third;
    EXPECT_EQ((uint32_t)ERROR_SHARING_VIOLATION,
              OpenError(third, strPath, CDiskFile::modeWrite | CDiskFile::shareDenyNone));
    first.Close();

    // 0x50 to 0x70 are no sharing either.
    first.Open(strPath.c_str(), CDiskFile::modeWrite | 0x60);
    EXPECT_EQ((uint32_t)ERROR_SHARING_VIOLATION,
              OpenError(second, strPath, CDiskFile::modeRead | CDiskFile::shareDenyNone));
}
} // namespace
