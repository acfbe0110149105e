// WholeFilesPosixTest.cpp: what only POSIX has at a file's name - FIFOs, links, and the mode of
// a replaced file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Platform.h"
#include "tests/platform/TestFolder.h"
#include "tests/support/FileText.h"

namespace
{
TEST(SysOpenPlainFilePosix, AFifoIsRefusedWithoutWaitingForAWriter)
{
    CTestFolder folder;
    const std::string strFifo = folder.Join("fifo");
    ASSERT_EQ(mkfifo(strFifo.c_str(), 0600), 0);
    FILEHANDLE h = FILE_INVALID;
    uint64_t nSize = 0;
    // A blocking open would wait here for ever (ctest's time-out ends it).
    EXPECT_EQ(SysOpenPlainFile(strFifo.c_str(), &h, &nSize), SYSOPEN_NOT_PLAIN);
    EXPECT_EQ(h, FILE_INVALID);
}

TEST(SysOpenPlainFilePosix, ALinkToNothingIsNotAMissingFile)
{
    CTestFolder folder;
    const std::string strLink = folder.Join("link");
    ASSERT_EQ(symlink("/nonexistent/target.reg", strLink.c_str()), 0);
    FILEHANDLE h = FILE_INVALID;
    uint64_t nSize = 0;
    EXPECT_EQ(SysOpenPlainFile(strLink.c_str(), &h, &nSize), SYSOPEN_LINK_TO_NOTHING);
    EXPECT_TRUE(SysPathTaken(strLink.c_str()));
    char szText[256];
    EXPECT_EQ(SysLinkText(strLink.c_str(), szText, sizeof(szText)), strlen("/nonexistent/target.reg"));
    EXPECT_STREQ(szText, "/nonexistent/target.reg");
    EXPECT_EQ(SysLinkTarget(strLink.c_str(), szText, sizeof(szText)), 0u) << "nothing to resolve to";
}

TEST(SysLinkTargetPosix, ResolvesALinkAndIgnoresAPlainFile)
{
    CTestFolder folder;
    const std::string strFile = folder.Join("real.reg");
    WriteFileText(strFile, "x");
    const std::string strLink = folder.Join("link.reg");
    ASSERT_EQ(symlink("real.reg", strLink.c_str()), 0);
    char szTarget[4096];
    char* pszReal = realpath(strFile.c_str(), nullptr);
    ASSERT_NE(pszReal, nullptr);
    EXPECT_EQ(SysLinkTarget(strLink.c_str(), szTarget, sizeof(szTarget)), strlen(pszReal));
    EXPECT_STREQ(szTarget, pszReal);
    free(pszReal);
    EXPECT_EQ(SysLinkTarget(strFile.c_str(), szTarget, sizeof(szTarget)), 0u);
    EXPECT_EQ(SysLinkText(strFile.c_str(), szTarget, sizeof(szTarget)), 0u);
    EXPECT_EQ(SysLinkTarget(strLink.c_str(), szTarget, 4), 0u) << "a target that does not fit";
}

TEST(SysReplaceFilePosix, TheNewFileIsTheUsersAloneWhateverTheUmask)
{
    CTestFolder folder;
    const std::string strFile = folder.Join("settings.reg");
    mode_t nOld = umask(0);
    bool bOk = SysReplaceFile(strFile.c_str(), "x", 1, nullptr);
    umask(nOld);
    ASSERT_TRUE(bOk);
    struct stat st;
    ASSERT_EQ(stat(strFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(SysReplaceFilePosix, ALinkAtTheNewFilesNameIsNotFollowed)
{
    CTestFolder folder;
    const std::string strFile = folder.Join("settings.reg");
    const std::string strVictim = folder.Join("victim");
    WriteFileText(strVictim, "untouched");
    ASSERT_EQ(symlink(strVictim.c_str(), (strFile + ".new-" + std::to_string(getpid())).c_str()), 0);
    const char* pszStep = nullptr;
    EXPECT_FALSE(SysReplaceFile(strFile.c_str(), "new", 3, &pszStep));
    EXPECT_STREQ(pszStep, "create");
    EXPECT_EQ(ReadFileText(strVictim), "untouched");
}
} // namespace

namespace
{
TEST(SysIsOwnFolderPosix, ALinkToTheUsersOwnFolderIsNotOne)
{
    CTestFolder folder;
    EXPECT_EQ(SysUserId(), (uint32_t)getuid());
    const std::string strLink = folder.Join("link");
    ASSERT_EQ(symlink(folder.Path().c_str(), strLink.c_str()), 0);
    EXPECT_TRUE(SysIsDirectory(strLink.c_str()));
    EXPECT_FALSE(SysIsOwnFolder(strLink.c_str())) << "the link could be swapped for another user's folder";
}
} // namespace
