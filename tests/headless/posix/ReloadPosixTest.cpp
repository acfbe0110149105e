// ReloadPosixTest.cpp: the settings file as a reload and a start of the headless proxy read it,
// and the state page of SIGUSR1.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "config/Paths.h"
#include "config/SettingsStore.h"
#include "engine/Host.h"
#include "headless/HeadlessStore.h"
#include "headless/Service.h"
#include "tests/platform/TestFolder.h"

namespace
{
const char szGood[] = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate]\n"
                      "\"Service Address\"=hex:02,00,04,39,7f,00,00,01,00,00,00,00,00,00,00,00\n"
                      "\"Connection Limit\"=hex:05,00,00,00\n\"Socks4\"=hex:00,00,00,00\n";

void WriteFile(const std::string& strPath, const std::string& strText)
{
    std::ofstream(strPath, std::ios::binary | std::ios::trunc) << strText;
}

std::string ReadFile(const std::string& strPath)
{
    std::ostringstream out;
    out << std::ifstream(strPath, std::ios::binary).rdbuf();
    return out.str();
}

class HeadlessStoreFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        nLimitBefore = nConnectionLimit;
        nConnectionLimit = 42;
        strStore = folder.Join("tollgate.reg");
        SetSettingsStorePath(strStore.c_str());
        g_paths.strDataFolder = (folder.Path() + "/").c_str();
    }
    void TearDown() override
    {
        SetSettingsStorePath(nullptr);
        nConnectionLimit = nLimitBefore;
    }

    // LoadForReload with the given command line; what it said on the standard error.
    bool Reload(std::vector<std::string> args, SSettings& next, int32_t& nLimit, std::string& strWhy,
                std::string* pstrErr = nullptr)
    {
        SHeadlessOptions opt;
        args.insert(args.begin(), "tollgated");
        std::vector<char*> argv;
        for (std::string& str : args)
            argv.push_back(&str[0]);
        CCArray strError;
        EXPECT_TRUE(ParseOptions((int)argv.size(), argv.data(), opt, strError)) << strError.GetString();
        CCArray str;
        ::testing::internal::CaptureStderr();
        bool bOk = LoadForReload(opt, next, nLimit, str);
        std::string strErr = ::testing::internal::GetCapturedStderr();
        if (pstrErr)
            *pstrErr = strErr;
        strWhy = str.GetString();
        return bOk;
    }

    CTestFolder folder;
    std::string strStore;
    int32_t nLimitBefore = 0;
};
} // namespace

TEST_F(HeadlessStoreFile, AReloadTakesTheFileWithTheOptionsOverItAndLeavesTheLimitToTheApply)
{
    WriteFile(strStore, szGood);
    SSettings next;
    int32_t nLimit = 0;
    std::string strWhy;
    ASSERT_TRUE(Reload({}, next, nLimit, strWhy)) << strWhy;
    EXPECT_EQ(ntohs(next.addrService.sin_port), 1081);
    EXPECT_EQ(next.bSocks4, 0);
    EXPECT_EQ(nLimit, 5);
    EXPECT_EQ(nConnectionLimit, 42) << "the running limit stays until the reload is applied";

    SSettings over;
    ASSERT_TRUE(Reload({"--limit", "9", "--listen", "127.0.0.2:2000"}, over, nLimit, strWhy)) << strWhy;
    EXPECT_EQ(nLimit, 9);
    EXPECT_EQ(ntohs(over.addrService.sin_port), 2000);
    EXPECT_EQ(nConnectionLimit, 42);
}

TEST_F(HeadlessStoreFile, AReloadRefusesAFileThatCannotBeUsedAndSaysWhy)
{
    struct
    {
        const char* pszWhat;
        std::string strText;
        const char* pszReason;
    } cases[] = {
        {"malformed", std::string(szGood) + "junk\n", "cannot be used (line 7:"},
        {"short address", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate]\n"
                          "\"Service Address\"=hex:02,00,04,38\n",
         "has 4 bytes, not 16"},
        {"no address", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate]\n\"Socks4\"=hex:00,00,00,00\n",
         "has no \"Service Address\""},
    };
    for (const auto& c : cases)
    {
        WriteFile(strStore, c.strText);
        SSettings next;
        int32_t nLimit = -1;
        std::string strWhy;
        EXPECT_FALSE(Reload({}, next, nLimit, strWhy)) << c.pszWhat;
        EXPECT_NE(strWhy.find(c.pszReason), std::string::npos) << c.pszWhat << ": " << strWhy;
        EXPECT_EQ(nConnectionLimit, 42) << c.pszWhat;
        EXPECT_EQ(nLimit, -1) << c.pszWhat;
    }
    unlink(strStore.c_str());
    SSettings next;
    int32_t nLimit = -1;
    std::string strWhy;
    EXPECT_FALSE(Reload({}, next, nLimit, strWhy));
    EXPECT_NE(strWhy.find("is not there"), std::string::npos) << strWhy;
}

// Every way a file can fail to give an address, and the first start.
TEST_F(HeadlessStoreFile, TheStoredAddressIsUsableOnlyWhenTheFileGaveOneOf16Bytes)
{
    CCArray strWhy;
    SSettings s;
    LoadSettings(s);
    EXPECT_FALSE(StoredAddressUsable(strWhy));
    EXPECT_TRUE(strWhy.IsEmpty()) << "no file: a first start, nothing to say";

    ASSERT_EQ(symlink(folder.Join("elsewhere").c_str(), strStore.c_str()), 0);
    ::testing::internal::CaptureStderr();
    LoadSettings(s);
    ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(StoredAddressUsable(strWhy));
    EXPECT_NE(std::string(strWhy.GetString()).find("symbolic link"), std::string::npos) << strWhy.GetString();
    unlink(strStore.c_str());

    ASSERT_EQ(mkfifo(strStore.c_str(), 0600), 0);
    ::testing::internal::CaptureStderr();
    LoadSettings(s);
    ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(StoredAddressUsable(strWhy));
    EXPECT_NE(std::string(strWhy.GetString()).find("not a plain file"), std::string::npos) << strWhy.GetString();
    unlink(strStore.c_str());

    WriteFile(strStore, szGood);
    LoadSettings(s);
    EXPECT_TRUE(StoredAddressUsable(strWhy)) << strWhy.GetString();
}

TEST_F(HeadlessStoreFile, TheHeadlessSaveWritesEachCommentOnceAboveItsValueAndOtherSavesNone)
{
    // g_settings is what the headless save writes; ctest runs every test in a process of its own.
    WriteFile(strStore, szGood);
    LoadSettings(g_settings);
    ASSERT_TRUE(SaveHeadlessSettings());
    const std::string strFirst = ReadFile(strStore);
    const std::string strSocks4 = "; 1 serves SOCKS4 clients, 0 refuses them (SOCKS4 clients cannot give a "
                                  "password).\r\n\"Socks4\"=hex:00,00,00,00\r\n";
    EXPECT_NE(strFirst.find(strSocks4), std::string::npos) << strFirst;
    EXPECT_NE(strFirst.find("; 8 zero bytes. 127.0.0.1:1080 (this machine only) is\r\n"), std::string::npos);
    EXPECT_FALSE(SysPathTaken((strStore + ".new-" + std::to_string(getpid())).c_str()));

    // Saved again, the comments read back as nothing and are written once more, not twice.
    LoadSettings(g_settings);
    ASSERT_TRUE(SaveHeadlessSettings());
    EXPECT_EQ(ReadFile(strStore), strFirst);

    // The store's own saves write no comments.
    ASSERT_TRUE(SaveSettings(g_settings));
    const std::string strPlain = ReadFile(strStore);
    EXPECT_EQ(strPlain.find("; 1 serves SOCKS4"), std::string::npos) << strPlain;
    EXPECT_NE(strPlain.find("\"Socks4\"=hex:00,00,00,00\r\n"), std::string::npos) << strPlain;
}

TEST_F(HeadlessStoreFile, TheStateLineAndItsPageGoIntoTheDataFolderWhileNoLogIsOpen)
{
    ASSERT_FALSE(g_server.logFile.IsOpen());
    CCArray strLine;
    WriteState(strLine);
    std::string str = strLine.GetString();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(str, m,
                                 std::regex("Statistics: started -; active connections 0; source TCP \\d+ bytes, "
                                            "UDP \\d+ bytes; destination TCP \\d+ bytes, UDP \\d+ bytes; "
                                            "snapshot (.*)")))
        << str;
    EXPECT_EQ(m[1].str(), folder.Join("Snapshot.html"));
    EXPECT_NE(ReadFile(m[1].str()).find("</TABLE>"), std::string::npos);

    g_paths.strDataFolder = (folder.Join("file") + "/").c_str();
    WriteFile(folder.Join("file"), "x"); // a file where the folder should be
    WriteState(strLine);
    str = strLine.GetString();
    EXPECT_NE(str.find("; snapshot not written (cannot create " + folder.Join("file/Snapshot.html") + ": "),
              std::string::npos)
        << str;
}
