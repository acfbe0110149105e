// CreateUniqueFileTest.cpp: a taken name is renumbered until a new file can be created.
#include <gtest/gtest.h>

#include <string>

#include "foundation/TextHelpers.h"
#include "tests/platform/TestFolder.h"

namespace
{
// Creates the file and returns the name that was actually used, relative to the folder.
std::string CreateIn(const CTestFolder& folder, const std::string& strName)
{
    CCArray strPath(folder.Join(strName).c_str());
    FILEHANDLE h = CreateUniqueFile(strPath, SYSFILE_WRITE, SYSFILE_SHARE_READ);
    EXPECT_NE(FILE_INVALID, h) << strName << ": error " << SysGetLastError();
    if (h == FILE_INVALID)
        return "";
    SysCloseFile(h);
    std::string strUsed = strPath.GetString();
    EXPECT_EQ(0u, strUsed.find(folder.Path() + PATH_SEPARATOR));
    return strUsed.substr(folder.Path().size() + 1);
}

TEST(CreateUniqueFile, NumbersBeforeTheExtension)
{
    CTestFolder folder;
    EXPECT_EQ("Log.txt", CreateIn(folder, "Log.txt"));
    EXPECT_EQ("Log[1].txt", CreateIn(folder, "Log.txt"));
    EXPECT_EQ("Log[2].txt", CreateIn(folder, "Log.txt"));
    EXPECT_EQ("Log[3].txt", CreateIn(folder, "Log[1].txt")) << "an existing number counts on";
    EXPECT_EQ("report[1].html", (CreateIn(folder, "report.html"), CreateIn(folder, "report.html")));
}

TEST(CreateUniqueFile, NamesWithoutExtensionOrWithOddBrackets)
{
    CTestFolder folder;
    EXPECT_EQ("noext", CreateIn(folder, "noext"));
    EXPECT_EQ("noext[1]", CreateIn(folder, "noext"));
    EXPECT_EQ("noext[2]", CreateIn(folder, "noext"));

    EXPECT_EQ("x[abc].txt", CreateIn(folder, "x[abc].txt"));
    EXPECT_EQ("x[abc][1].txt", CreateIn(folder, "x[abc].txt"));
    EXPECT_EQ("x[abc][2].txt", CreateIn(folder, "x[abc].txt"));

    EXPECT_EQ("y[-3].txt", CreateIn(folder, "y[-3].txt"));
    EXPECT_EQ("y[-3][1].txt", CreateIn(folder, "y[-3].txt")) << "a negative number is no counter";

    EXPECT_EQ("z[].txt", CreateIn(folder, "z[].txt"));
    EXPECT_EQ("z[][1].txt", CreateIn(folder, "z[].txt"));

    EXPECT_EQ(".hidden", CreateIn(folder, ".hidden"));
    EXPECT_EQ(".hidden[1]", CreateIn(folder, ".hidden")) << "a leading dot is no extension";

    EXPECT_EQ("w[2147483647]", CreateIn(folder, "w[2147483647]"));
    EXPECT_EQ("w[2147483648]", CreateIn(folder, "w[2147483647]")) << "the largest counter still counts on";
    EXPECT_EQ("w[2147483648][1]", CreateIn(folder, "w[2147483648]"));
}

TEST(CreateUniqueFile, DotInAFolderNameIsNoExtension)
{
    CTestFolder folder;
    ASSERT_TRUE(SysCreateDirectory(folder.Join("logs.d").c_str()));
    std::string strName = std::string("logs.d") + PATH_SEPARATOR + "ServerLog";
    EXPECT_EQ(strName, CreateIn(folder, strName));
    EXPECT_EQ(strName + "[1]", CreateIn(folder, strName));
}

TEST(CreateUniqueFile, AFolderOfTheSameNameIsATakenName)
{
    CTestFolder folder;
    ASSERT_TRUE(SysCreateDirectory(folder.Join("Log.txt").c_str()));
    EXPECT_EQ("Log[1].txt", CreateIn(folder, "Log.txt"));
    EXPECT_TRUE(SysIsDirectory(folder.Join("Log.txt").c_str()));
}

TEST(CreateUniqueFile, OtherFailuresReturnInvalidWithTheError)
{
    CTestFolder folder;
    CCArray strPath((folder.Join("missing") + PATH_SEPARATOR + "Log.txt").c_str());
    CCArray strBefore(strPath);
    EXPECT_EQ(FILE_INVALID, CreateUniqueFile(strPath, SYSFILE_WRITE, 0));
    EXPECT_EQ((uint32_t)ERROR_PATH_NOT_FOUND, SysGetLastError());
    EXPECT_STREQ(strBefore.GetString(), strPath.GetString());
}

TEST(CreateUniqueFile, NeverOpensAnExistingFile)
{
    CTestFolder folder;
    std::string strFile = folder.Join("keep.txt");
    FILEHANDLE h = SysCreateFile(strFile.c_str(), SYSFILE_WRITE, 0, SYSFILE_CREATE_NEW, 0);
    ASSERT_NE(FILE_INVALID, h);
    uint32_t n;
    SysWriteFile(h, "data", 4, &n);
    SysCloseFile(h);

    EXPECT_EQ("keep[1].txt", CreateIn(folder, "keep.txt"));
    h = SysCreateFile(strFile.c_str(), SYSFILE_READ, 0, SYSFILE_OPEN_EXISTING, 0);
    ASSERT_NE(FILE_INVALID, h);
    uint64_t nSize = 0;
    SysGetFileSize(h, &nSize);
    SysCloseFile(h);
    EXPECT_EQ(4u, nSize);
}
} // namespace
