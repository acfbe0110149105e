// PathsTest.cpp: emptying the temporary folder and creating folder paths, on both targets.
#include <filesystem>
#include <fstream>

#include "config/Paths.h"
#include "tests/config/StoreFixture.h"

namespace fs = std::filesystem;

namespace
{
class Paths : public StoreTest
{
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        strSavedTemp = g_paths.strTempFolder;
    }
    void TearDown() override
    {
        g_paths.strTempFolder = strSavedTemp;
        StoreTest::TearDown();
    }

    static void Touch(const std::string& strPath)
    {
        std::ofstream out(strPath, std::ios::binary);
        out << "x";
    }

    CCArray strSavedTemp;
};
} // namespace

TEST_F(Paths, CleanTempFolderDeletesFilesAndKeepsSubfolders)
{
    std::string strTemp = strScratch + "TollgateTempDir" + PATH_SEPARATOR;
    fs::create_directory(strTemp);
    Touch(strTemp + "ausrep.html");
    Touch(strTemp + "ausrep[1].html");
    Touch(strTemp + ".hidden");
    fs::create_directory(strTemp + "kept");
    Touch(strTemp + "kept" + PATH_SEPARATOR + "inside.txt");
    Touch(strScratch + "beside.txt");

    g_paths.strTempFolder = strTemp.c_str();
    CleanTempFolder();

    EXPECT_FALSE(fs::exists(strTemp + "ausrep.html"));
    EXPECT_FALSE(fs::exists(strTemp + "ausrep[1].html"));
    EXPECT_FALSE(fs::exists(strTemp + ".hidden"));
    EXPECT_TRUE(fs::is_directory(strTemp + "kept"));
    EXPECT_TRUE(fs::exists(strTemp + "kept" + PATH_SEPARATOR + "inside.txt"));
    EXPECT_TRUE(fs::exists(strScratch + "beside.txt"));
}

TEST_F(Paths, CleanTempFolderWithoutAFolderDoesNothing)
{
    g_paths.strTempFolder = (strScratch + "missing" + PATH_SEPARATOR).c_str();
    CleanTempFolder();
    EXPECT_FALSE(fs::exists(strScratch + "missing"));
    g_paths.strTempFolder = "";
    CleanTempFolder();
    EXPECT_TRUE(fs::exists(strScratch));
}

TEST_F(Paths, CreateFolderPathCreatesEveryMissingLevel)
{
    std::string strDeep = strScratch + "a" + PATH_SEPARATOR + "b b" + PATH_SEPARATOR + "c";
    EXPECT_TRUE(CreateFolderPath(strDeep.c_str()));
    EXPECT_TRUE(fs::is_directory(strDeep));
    EXPECT_TRUE(CreateFolderPath(strDeep.c_str())); // already there

    // A level that is a file cannot become a folder.
    Touch(strScratch + "file");
    std::string strBlocked = strScratch + "file" + PATH_SEPARATOR + "sub";
    EXPECT_FALSE(CreateFolderPath(strBlocked.c_str()));
    EXPECT_FALSE(CreateFolderPath(""));
}

TEST_F(Paths, DefaultLogFolderIsLogInTheDataFolder)
{
    CCArray str;
    GetDefaultLogFolder(str);
    EXPECT_EQ(std::string(str.GetString()), strScratch + "data" + PATH_SEPARATOR + "Log");
}
