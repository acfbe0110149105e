// DiskFileTest.cpp: CDiskFile's operations, its thrown exceptions and its handle ownership.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "foundation/DiskFile.h"
#include "foundation/TextHelpers.h"
#include "tests/platform/TestFolder.h"

namespace
{
// Runs the operation and returns the error number it threw, or 0 when it did not throw.
template <class F> uint32_t ThrownError(F operation)
{
    try
    {
        operation();
    }
    catch (CDiskFileException* pEx)
    {
        std::unique_ptr<CDiskFileException> owner(pEx);
        return pEx->dwError == 0 ? 0xFFFFFFFFu : pEx->dwError;
    }
    return 0;
}

TEST(DiskFile, OpenOfAMissingFileThrowsAndStaysClosed)
{
    CTestFolder folder;
    CDiskFile file;
    EXPECT_EQ((uint32_t)ERROR_FILE_NOT_FOUND,
              ThrownError([&] { file.Open(folder.Join("missing.txt").c_str(), CDiskFile::modeRead); }));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(FILE_INVALID, file.hFile);
    EXPECT_EQ(0, file.bOwnsHandle);

    std::string strDeep = folder.Join("nope") + PATH_SEPARATOR + "x.txt";
    EXPECT_EQ((uint32_t)ERROR_PATH_NOT_FOUND,
              ThrownError([&] { file.Open(strDeep.c_str(), CDiskFile::modeWrite | CDiskFile::modeCreate); }));
    EXPECT_EQ((uint32_t)ERROR_ACCESS_DENIED,
              ThrownError([&] { file.Open(folder.Path().c_str(), CDiskFile::modeRead); }))
        << "a folder is not a file";
    EXPECT_FALSE(file.IsOpen());
}

TEST(DiskFile, WriteReadSeekAndLength)
{
    CTestFolder folder;
    std::string strPath = folder.Join("f.bin");
    CDiskFile file;
    file.Open(strPath.c_str(), CDiskFile::modeReadWrite | CDiskFile::modeCreate | CDiskFile::shareDenyWrite |
                                   CDiskFile::modeNoInherit | CDiskFile::typeText);
    ASSERT_TRUE(file.IsOpen());
    EXPECT_EQ(1, file.bOwnsHandle);

    file.Write("0123456789", 10);
    EXPECT_EQ(10u, file.GetPosition());
    EXPECT_EQ(10u, file.GetLength());

    EXPECT_EQ(4u, file.Seek(4, CDiskFile::begin));
    char sz[32] = {};
    EXPECT_EQ(3u, file.Read(sz, 3));
    EXPECT_STREQ("456", sz);
    EXPECT_EQ(9u, file.Seek(2, CDiskFile::current));
    EXPECT_EQ(8u, file.Seek(-2, CDiskFile::end));
    memset(sz, 0, sizeof(sz));
    EXPECT_EQ(2u, file.Read(sz, sizeof(sz))) << "a read past the end returns what there is";
    EXPECT_STREQ("89", sz);
    EXPECT_EQ(0u, file.Read(sz, sizeof(sz))) << "at the end of the file a read gives 0";
    EXPECT_EQ(0u, file.Read(sz, 0));

    EXPECT_EQ((uint32_t)ERROR_NEGATIVE_SEEK, ThrownError([&] { file.Seek(-11, CDiskFile::current); }));
    EXPECT_EQ(10u, file.GetPosition()) << "a failed seek leaves the position";

    file.SetLength(4);
    EXPECT_EQ(4u, file.GetLength());
    EXPECT_EQ(4u, file.GetPosition());
    file.SetLength(5000000000ull);
    EXPECT_EQ(5000000000ull, file.GetLength()) << "64-bit lengths";
    EXPECT_EQ(5000000000ull, file.Seek(0, CDiskFile::end));
    file.SetLength(2);
    file.Flush();
    EXPECT_TRUE(file.Close());
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(0, file.bOwnsHandle);

    file.Open(strPath.c_str(), CDiskFile::modeRead);
    memset(sz, 0, sizeof(sz));
    EXPECT_EQ(2u, file.Read(sz, sizeof(sz)));
    EXPECT_STREQ("01", sz);
}

TEST(DiskFile, CreateReplacesUnlessNoTruncate)
{
    CTestFolder folder;
    std::string strPath = folder.Join("t.txt");
    {
        CDiskFile file;
        file.Open(strPath.c_str(), CDiskFile::modeWrite | CDiskFile::modeCreate);
        file.Write("abcdef", 6);
    }
    {
        CDiskFile file;
        file.Open(strPath.c_str(),
                  CDiskFile::modeReadWrite | CDiskFile::modeCreate | CDiskFile::modeNoTruncate);
        EXPECT_EQ(6u, file.GetLength()) << "open always keeps the contents";
        EXPECT_EQ(0u, file.GetPosition());
    }
    {
        CDiskFile file;
        file.Open(strPath.c_str(), CDiskFile::modeWrite | CDiskFile::modeCreate);
        EXPECT_EQ(0u, file.GetLength()) << "create always replaces the file";
    }
    {
        CDiskFile file;
        file.Open(folder.Join("new.txt").c_str(),
                  CDiskFile::modeWrite | CDiskFile::modeCreate | CDiskFile::modeNoTruncate |
                      CDiskFile::osSequentialScan | CDiskFile::osWriteThrough);
        file.Write("x", 1);
        EXPECT_EQ(1u, file.GetLength());
    }
}

TEST(DiskFile, AccessModesAreEnforcedWithExceptions)
{
    CTestFolder folder;
    std::string strPath = folder.Join("r.txt");
    {
        CDiskFile file;
        file.Open(strPath.c_str(), CDiskFile::modeWrite | CDiskFile::modeCreate);
        char c;
        EXPECT_EQ((uint32_t)ERROR_ACCESS_DENIED, ThrownError([&] { file.Read(&c, 1); }));
        EXPECT_TRUE(file.IsOpen()) << "a failed read leaves the file open";
    }
    CDiskFile file;
    file.Open(strPath.c_str(), CDiskFile::modeRead | CDiskFile::shareDenyNone);
    EXPECT_EQ((uint32_t)ERROR_ACCESS_DENIED, ThrownError([&] { file.Write("x", 1); }));
    EXPECT_TRUE(file.IsOpen());
}

TEST(DiskFile, ClosedObjectsAreHarmless)
{
    CDiskFile file;
    EXPECT_TRUE(file.Close());
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(0u, ThrownError([&] { file.Flush(); }));
    // A write of nothing makes no system call, so even a closed object does not fail.
    EXPECT_EQ(0u, ThrownError([&] { file.Write("x", 0); }));
    EXPECT_EQ(0u, ThrownError([&] { file.Read(nullptr, 0); }));
    EXPECT_NE(0u, ThrownError([&] { file.Write("x", 1); }));
    EXPECT_NE(0u, ThrownError([&] { file.GetLength(); }));
    EXPECT_NE(0u, ThrownError([&] { file.GetPosition(); }));

    CDiskFile* pNever = new CDiskFile;
    delete pNever;
}

TEST(DiskFile, AnAttachedHandleIsClosedByTheObject)
{
    CTestFolder folder;
    CCArray strPath(folder.Join("owned.txt").c_str());
    FILEHANDLE h = CreateUniqueFile(strPath, SYSFILE_WRITE, 0);
    ASSERT_NE(FILE_INVALID, h);

    CDiskFile* pFile = new CDiskFile(h);
    EXPECT_EQ(h, pFile->hFile);
    EXPECT_EQ(1, pFile->bOwnsHandle);
    pFile->Write("log line\r\n", 10);
    delete pFile;

    // Closed: the file opens again without sharing, and the old handle is gone.
    CDiskFile again;
    again.Open(strPath.GetString(), CDiskFile::modeReadWrite | CDiskFile::shareExclusive);
    EXPECT_EQ(10u, again.GetLength());
    again.Close();
    EXPECT_FALSE(SysCloseFile(h));

    // Close also releases a handle the object does not own.
    FILEHANDLE h2 =
        SysCreateFile(strPath.GetString(), SYSFILE_READ, SYSFILE_SHARE_READ, SYSFILE_OPEN_EXISTING, 0);
    ASSERT_NE(FILE_INVALID, h2);
    CDiskFile borrowed(h2);
    borrowed.bOwnsHandle = 0;
    EXPECT_TRUE(borrowed.Close());
    EXPECT_FALSE(SysCloseFile(h2));
}
} // namespace
