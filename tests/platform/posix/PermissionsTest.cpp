// PermissionsTest.cpp (POSIX): files and folders the program creates are readable by their user
// only, even under a permissive umask.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "../TestFolder.h"
#include "logging/LogFile.h"

TEST(Permissions, NewLogFilesAndFoldersAreTheUsersAlone)
{
    CTestFolder folder;
    mode_t nOldMask = umask(0);
    std::string strSub = folder.Join("Log");
    bool bCreated = SysCreateDirectory(strSub.c_str());
    CLogFile log;
    CCArray strPath((strSub + "/ServerLog.txt").c_str());
    log.Open(strPath);
    bool bOpen = log.IsOpen();
    log.Close();
    umask(nOldMask);
    ASSERT_TRUE(bCreated);
    ASSERT_TRUE(bOpen);

    struct stat st;
    ASSERT_EQ(stat(strSub.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(strPath.GetString(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}
