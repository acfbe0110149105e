// PathsPosixTest.cpp: where the program, its temporary folder and its data folder are on POSIX.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "config/Paths.h"
#include "tests/config/StoreFixture.h"

namespace fs = std::filesystem;

namespace
{
class ScopedEnv
{
public:
    ScopedEnv(const char* pszName, const char* pszValue) : strName(pszName)
    {
        const char* pszOld = getenv(pszName);
        bHad = pszOld != nullptr;
        if (bHad)
            strOld = pszOld;
        if (pszValue)
            setenv(pszName, pszValue, 1);
        else
            unsetenv(pszName);
    }
    ~ScopedEnv()
    {
        if (bHad)
            setenv(strName.c_str(), strOld.c_str(), 1);
        else
            unsetenv(strName.c_str());
    }

private:
    std::string strName, strOld;
    bool bHad;
};

class PathsPosix : public StoreTest
{
protected:
    std::string Leaf() { return "TollgateTempDir-" + std::to_string(getuid()) + "/"; }
};
} // namespace

TEST_F(PathsPosix, ProgramTemporaryAndDataFoldersFollowTheConventions)
{
    ScopedEnv tmp("TMPDIR", strScratch.c_str());
    ScopedEnv state("XDG_STATE_HOME", (strScratch + "state").c_str());
    ASSERT_TRUE(InitPaths());

    std::string strExe = fs::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(std::string(g_paths.strModulePath.GetString()), strExe);
    EXPECT_EQ(std::string(g_paths.strProgramFolder.GetString()), strExe.substr(0, strExe.rfind('/') + 1));

    EXPECT_EQ(std::string(g_paths.strTempFolder.GetString()), strScratch + Leaf());
    struct stat st;
    ASSERT_EQ(lstat(g_paths.strTempFolder.GetString(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "the temporary folder is private to its user";

    EXPECT_EQ(std::string(g_paths.strDataFolder.GetString()), strScratch + "state/tollgate/");
    EXPECT_FALSE(fs::exists(strScratch + "state")) << "the data folder is made only when needed";
}

TEST_F(PathsPosix, DataFolderFallsBackToTheHomeFolder)
{
    ScopedEnv tmp("TMPDIR", strScratch.c_str());
    ScopedEnv state("XDG_STATE_HOME", nullptr);
    ScopedEnv home("HOME", (strScratch + "home").c_str());
    ASSERT_TRUE(InitPaths());
    EXPECT_EQ(std::string(g_paths.strDataFolder.GetString()), strScratch + "home/.local/state/tollgate/");
}

TEST_F(PathsPosix, ATemporaryFolderOfAnotherUserIsNotUsed)
{
    // Someone else made the name first; root can make that happen here by handing it over.
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a folder to another user";
    std::string strForeign = strScratch + Leaf();
    ASSERT_EQ(mkdir(strForeign.c_str(), 0777), 0);
    ASSERT_EQ(chown(strForeign.c_str(), getuid() + 1, (gid_t)-1), 0);

    ScopedEnv tmp("TMPDIR", strScratch.c_str());
    ScopedEnv state("XDG_STATE_HOME", (strScratch + "state").c_str());
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(InitPaths());
    std::string strErr = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(strErr.find(strForeign), std::string::npos) << strErr;
    EXPECT_EQ(std::string(g_paths.strTempFolder.GetString()), strScratch + "state/tollgate/" + Leaf());
    EXPECT_TRUE(fs::is_directory(g_paths.strTempFolder.GetString()));
}
