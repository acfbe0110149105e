// FilesTest.cpp: raw files and folders report Win32 error numbers on every target; system texts,
// the program's path and the temporary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "tests/platform/TestFolder.h"

namespace
{
FILEHANDLE CreateNew(const std::string& strPath)
{
    return SysCreateFile(strPath.c_str(), SYSFILE_READ | SYSFILE_WRITE, 0, SYSFILE_CREATE_NEW,
                         SYSFILE_NO_INHERIT);
}

TEST(SysFile, CreateAndOpenFailuresCarryWin32Numbers)
{
    CTestFolder folder;
    std::string strFile = folder.Join("a.txt");

    FILEHANDLE h = SysCreateFile(strFile.c_str(), SYSFILE_READ, 0, SYSFILE_OPEN_EXISTING, 0);
    EXPECT_EQ(FILE_INVALID, h);
    EXPECT_EQ((uint32_t)ERROR_FILE_NOT_FOUND, SysGetLastError());

    h = SysCreateFile(folder.Join("no-such-folder").append(1, PATH_SEPARATOR).append("a.txt").c_str(),
                      SYSFILE_READ, 0, SYSFILE_OPEN_EXISTING, 0);
    EXPECT_EQ(FILE_INVALID, h);
    EXPECT_EQ((uint32_t)ERROR_PATH_NOT_FOUND, SysGetLastError());

    h = CreateNew(strFile);
    ASSERT_NE(FILE_INVALID, h);
    EXPECT_TRUE(SysCloseFile(h));
    EXPECT_EQ(FILE_INVALID, CreateNew(strFile));
    EXPECT_EQ((uint32_t)ERROR_FILE_EXISTS, SysGetLastError());

    // A folder is not a file: opening it is "access denied". Creating a new file over it is
    // "access denied" on Windows and POSIX, "file exists" under Wine; both mean the name is taken.
    EXPECT_EQ(FILE_INVALID, CreateNew(folder.Path()));
    uint32_t dwError = SysGetLastError();
    EXPECT_TRUE(dwError == ERROR_ACCESS_DENIED || dwError == ERROR_FILE_EXISTS) << dwError;
    EXPECT_EQ(FILE_INVALID, SysCreateFile(folder.Path().c_str(), SYSFILE_READ, 0, SYSFILE_OPEN_EXISTING, 0));
    EXPECT_EQ((uint32_t)ERROR_ACCESS_DENIED, SysGetLastError());
}

TEST(SysFile, ReadWriteSeekAndSize)
{
    CTestFolder folder;
    FILEHANDLE h = CreateNew(folder.Join("data.bin"));
    ASSERT_NE(FILE_INVALID, h);

    uint32_t n = 0;
    ASSERT_TRUE(SysWriteFile(h, "hello world", 11, &n));
    EXPECT_EQ(11u, n);
    uint64_t nSize = 0;
    ASSERT_TRUE(SysGetFileSize(h, &nSize));
    EXPECT_EQ(11u, nSize);

    uint64_t nPos = 99;
    ASSERT_TRUE(SysSeekFile(h, -5, 2, &nPos));
    EXPECT_EQ(6u, nPos);
    char sz[16] = {};
    ASSERT_TRUE(SysReadFile(h, sz, sizeof(sz), &n));
    EXPECT_EQ(5u, n);
    EXPECT_STREQ("world", sz);
    ASSERT_TRUE(SysReadFile(h, sz, sizeof(sz), &n));
    EXPECT_EQ(0u, n) << "at the end a read succeeds with nothing";

    EXPECT_FALSE(SysSeekFile(h, -1, 0, &nPos));
    EXPECT_EQ((uint32_t)ERROR_NEGATIVE_SEEK, SysGetLastError());

    ASSERT_TRUE(SysSeekFile(h, 5, 0, &nPos));
    ASSERT_TRUE(SysSetEndOfFile(h));
    ASSERT_TRUE(SysGetFileSize(h, &nSize));
    EXPECT_EQ(5u, nSize);
    EXPECT_TRUE(SysFlushFile(h));
    EXPECT_TRUE(SysCloseFile(h));
}

TEST(SysFile, AccessModesAreEnforced)
{
    CTestFolder folder;
    std::string strFile = folder.Join("ro.txt");
    FILEHANDLE h = CreateNew(strFile);
    ASSERT_NE(FILE_INVALID, h);
    SysCloseFile(h);

    h = SysCreateFile(strFile.c_str(), SYSFILE_READ, SYSFILE_SHARE_READ, SYSFILE_OPEN_EXISTING, 0);
    ASSERT_NE(FILE_INVALID, h);
    uint32_t n = 0;
    EXPECT_FALSE(SysWriteFile(h, "x", 1, &n));
    EXPECT_EQ((uint32_t)ERROR_ACCESS_DENIED, SysGetLastError());
    SysCloseFile(h);

    h = SysCreateFile(strFile.c_str(), SYSFILE_WRITE, 0, SYSFILE_OPEN_EXISTING, 0);
    ASSERT_NE(FILE_INVALID, h);
    char c;
    EXPECT_FALSE(SysReadFile(h, &c, 1, &n));
    EXPECT_EQ((uint32_t)ERROR_ACCESS_DENIED, SysGetLastError());
    SysCloseFile(h);
}

TEST(SysFile, DispositionsCreateTruncateAndKeep)
{
    CTestFolder folder;
    std::string strFile = folder.Join("d.txt");
    FILEHANDLE h = SysCreateFile(strFile.c_str(), SYSFILE_WRITE, 0, SYSFILE_OPEN_ALWAYS, 0);
    ASSERT_NE(FILE_INVALID, h);
    uint32_t n;
    SysWriteFile(h, "abc", 3, &n);
    SysCloseFile(h);

    uint64_t nSize = 0;
    h = SysCreateFile(strFile.c_str(), SYSFILE_READ, 0, SYSFILE_OPEN_ALWAYS, 0);
    ASSERT_NE(FILE_INVALID, h);
    SysGetFileSize(h, &nSize);
    EXPECT_EQ(3u, nSize) << "open-always keeps an existing file";
    SysCloseFile(h);

    h = SysCreateFile(strFile.c_str(), SYSFILE_WRITE, 0, SYSFILE_CREATE_ALWAYS, 0);
    ASSERT_NE(FILE_INVALID, h);
    SysGetFileSize(h, &nSize);
    EXPECT_EQ(0u, nSize) << "create-always replaces it";
    SysCloseFile(h);
}

void CollectName(const char* pszName, void* pContext)
{
    ((std::vector<std::string>*)pContext)->push_back(pszName);
}

TEST(SysFolder, CreateListRenameDelete)
{
    CTestFolder folder;
    std::string strSub = folder.Join("sub");
    EXPECT_TRUE(SysCreateDirectory(strSub.c_str()));
    EXPECT_FALSE(SysCreateDirectory(strSub.c_str()));
    EXPECT_EQ((uint32_t)ERROR_ALREADY_EXISTS, SysGetLastError());
    EXPECT_TRUE(SysIsDirectory(strSub.c_str()));
    EXPECT_TRUE(SysFileExists(strSub.c_str()));

    std::string strA = folder.Join("a.txt"), strB = folder.Join("b.txt");
    SysCloseFile(CreateNew(strA));
    SysCloseFile(CreateNew(strB));
    EXPECT_TRUE(SysFileExists(strA.c_str()));
    EXPECT_FALSE(SysIsDirectory(strA.c_str()));

    std::vector<std::string> names;
    ASSERT_TRUE(SysListFolder(folder.Path().c_str(), CollectName, &names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{".", "..", "a.txt", "b.txt", "sub"}), names);

    EXPECT_TRUE(SysRenameFile(strA.c_str(), strB.c_str())) << "a rename replaces its target";
    EXPECT_FALSE(SysFileExists(strA.c_str()));
    EXPECT_TRUE(SysDeleteFile(strB.c_str()));
    EXPECT_FALSE(SysDeleteFile(strB.c_str()));
    EXPECT_EQ((uint32_t)ERROR_FILE_NOT_FOUND, SysGetLastError());
    EXPECT_TRUE(SysRemoveDirectory(strSub.c_str()));
    EXPECT_FALSE(SysIsDirectory(strSub.c_str()));

    std::vector<std::string> none;
    EXPECT_FALSE(SysListFolder(strSub.c_str(), CollectName, &none));
}

TEST(SysSystem, MessagesPathsAndLastError)
{
    char sz[1024];
    ASSERT_TRUE(SysErrorMessage(ERROR_FILE_NOT_FOUND, sz, sizeof(sz)));
    EXPECT_GT(strlen(sz), 5u);
    ASSERT_TRUE(SysErrorMessage(ERROR_ACCESS_DENIED, sz, sizeof(sz)));
    EXPECT_NE(nullptr, strstr(sz, "ccess")) << sz;
    EXPECT_FALSE(SysErrorMessage(0x20001234u, sz, sizeof(sz)));
    EXPECT_STREQ("", sz);

    SysSetLastError(ERROR_DISK_FULL);
    EXPECT_EQ((uint32_t)ERROR_DISK_FULL, SysGetLastError());

    size_t n = SysModulePath(sz, sizeof(sz));
    ASSERT_GT(n, 0u);
    EXPECT_EQ(strlen(sz), n);
    EXPECT_NE(nullptr, strstr(sz, "platform_tests")) << sz;
    EXPECT_EQ(0u, SysModulePath(sz, 4)) << "a path that does not fit is not returned cut";

    n = SysTempFolder(sz, sizeof(sz));
    ASSERT_GT(n, 1u);
    EXPECT_EQ(PATH_SEPARATOR, sz[n - 1]);
    EXPECT_TRUE(SysIsDirectory(sz));
}
} // namespace
