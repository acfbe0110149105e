// WholeFilesTest.cpp: a file replaced whole leaves either the old text or the new one and no
// new file behind it; a plain file is opened for reading only when it is one.
#include <gtest/gtest.h>

#include <string>

#include "platform/Platform.h"
#include "tests/platform/TestFolder.h"
#include "tests/support/FileText.h"

namespace
{
std::string NewFileOf(const std::string& strPath)
{
    return strPath + ".new-" + std::to_string(SysProcessId());
}

TEST(SysReplaceFile, CreatesAMissingFileAndReplacesAnExistingOneWhole)
{
    CTestFolder folder;
    const std::string strFile = folder.Join("settings.reg");
    const std::string strFirst = "first\r\n";
    ASSERT_TRUE(SysReplaceFile(strFile.c_str(), strFirst.data(), strFirst.size(), nullptr));
    EXPECT_EQ(ReadFileText(strFile), strFirst);

    // A shorter text must not leave the tail of the longer one behind.
    WriteFileText(strFile, std::string(5000, 'x'));
    const std::string strSecond = "second";
    ASSERT_TRUE(SysReplaceFile(strFile.c_str(), strSecond.data(), strSecond.size(), nullptr));
    EXPECT_EQ(ReadFileText(strFile), strSecond);
    EXPECT_FALSE(SysPathTaken(NewFileOf(strFile).c_str())) << "the new file is renamed, not copied";

    ASSERT_TRUE(SysReplaceFile(strFile.c_str(), "", 0, nullptr));
    EXPECT_EQ(ReadFileText(strFile), "");
}

TEST(SysReplaceFile, AFailedCreateLeavesTheOldFileAndNamesTheStep)
{
    CTestFolder folder;
    const std::string strFile = folder.Join("settings.reg");
    WriteFileText(strFile, "old");
    // A folder where the new file would go: it cannot be created.
    ASSERT_TRUE(SysCreateDirectory(NewFileOf(strFile).c_str()));
    const char* pszStep = nullptr;
    EXPECT_FALSE(SysReplaceFile(strFile.c_str(), "new", 3, &pszStep));
    ASSERT_NE(pszStep, nullptr);
    EXPECT_STREQ(pszStep, "create");
    EXPECT_NE(SysGetLastError(), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(ReadFileText(strFile), "old");
    EXPECT_TRUE(SysIsDirectory(NewFileOf(strFile).c_str())) << "what was in the way is not removed";
}

TEST(SysReplaceFile, AFailedRenameRemovesTheNewFile)
{
    CTestFolder folder;
    // A non-empty folder at the target's name: the rename over it fails on every system.
    const std::string strTarget = folder.Join("target");
    ASSERT_TRUE(SysCreateDirectory(strTarget.c_str()));
    WriteFileText(strTarget + PATH_SEPARATOR + "inside", "x");
    const char* pszStep = nullptr;
    EXPECT_FALSE(SysReplaceFile(strTarget.c_str(), "new", 3, &pszStep));
    ASSERT_NE(pszStep, nullptr);
    EXPECT_STREQ(pszStep, "rename");
    EXPECT_FALSE(SysPathTaken(NewFileOf(strTarget).c_str()));
    EXPECT_EQ(ReadFileText(strTarget + PATH_SEPARATOR + "inside"), "x");
}

TEST(SysOpenPlainFile, OpensAPlainFileWithItsSizeAndRefusesAFolder)
{
    CTestFolder folder;
    const std::string strFile = folder.Join("plain.txt");
    WriteFileText(strFile, "twelve bytes");
    FILEHANDLE h = FILE_INVALID;
    uint64_t nSize = 0;
    ASSERT_EQ(SysOpenPlainFile(strFile.c_str(), &h, &nSize), SYSOPEN_PLAIN);
    EXPECT_EQ(nSize, 12u);
    char ab[32];
    uint32_t nRead = 0;
    EXPECT_TRUE(SysReadFile(h, ab, sizeof(ab), &nRead));
    EXPECT_EQ(std::string(ab, nRead), "twelve bytes");
    EXPECT_TRUE(SysCloseFile(h));

    EXPECT_EQ(SysOpenPlainFile(folder.Path().c_str(), &h, &nSize), SYSOPEN_NOT_PLAIN);
    EXPECT_EQ(h, FILE_INVALID);
    EXPECT_EQ(SysOpenPlainFile(folder.Join("missing").c_str(), &h, &nSize), SYSOPEN_MISSING);
    const std::string strUnder = folder.Join("missing") + PATH_SEPARATOR + "file";
    EXPECT_EQ(SysOpenPlainFile(strUnder.c_str(), &h, &nSize), SYSOPEN_MISSING);
    EXPECT_EQ(h, FILE_INVALID);
}

TEST(SysPathTaken, SeesFilesAndFoldersButNotMissingNames)
{
    CTestFolder folder;
    EXPECT_TRUE(SysPathTaken(folder.Path().c_str()));
    EXPECT_FALSE(SysPathTaken(folder.Join("missing").c_str()));
    WriteFileText(folder.Join("file"), "x");
    EXPECT_TRUE(SysPathTaken(folder.Join("file").c_str()));
}
} // namespace

namespace
{
TEST(SysIsOwnFolder, AFolderMadeHereIsOwnAndAFileOrNothingIsNot)
{
    CTestFolder folder;
    EXPECT_TRUE(SysIsOwnFolder(folder.Path().c_str()));
    WriteFileText(folder.Join("file"), "x");
    EXPECT_FALSE(SysIsOwnFolder(folder.Join("file").c_str()));
    EXPECT_FALSE(SysIsOwnFolder(folder.Join("missing").c_str()));
}
} // namespace
