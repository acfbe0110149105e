// SettingsFileTest.cpp: the POSIX store file: its location and form, the fixture, and what
// happens with files that are cut short, corrupt, unreadable or cannot be written.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "config/SettingsStore.h"
#include "tests/config/FixtureRecord.h"
#include "tests/config/StoreFixture.h"

namespace fs = std::filesystem;

namespace
{
std::string ReadFile(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& strPath, const std::string& strText)
{
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out << strText;
}

// Sets or clears an environment variable for one test and puts the old value back afterwards.
class CEnvVar
{
public:
    CEnvVar(const char* pszName, const char* pszValue) : strName(pszName)
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
    ~CEnvVar()
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

class SettingsFile : public StoreTest
{
protected:
    // Loads into a fresh record and returns what was said on the standard error.
    std::string LoadCapturing(SSettings& settings)
    {
        ::testing::internal::CaptureStderr();
        LoadSettings(settings);
        return ::testing::internal::GetCapturedStderr();
    }

    static void ExpectDefaults(const SSettings& s)
    {
        EXPECT_EQ(s.bAutoStart, 1);
        EXPECT_EQ(ntohs(s.addrService.sin_port), 1080);
        EXPECT_EQ(s.bSocks4, 1);
        EXPECT_EQ(s.bSocks5, 1);
        EXPECT_EQ(s.arrIpRanges.GetSize(), 0);
        EXPECT_EQ(s.bSocks5Auth, 0);
        EXPECT_EQ(nConnectionLimit, 9999);
    }

    void SaveFixtureRecord()
    {
        SSettings s;
        FillFixtureRecord(s, nConnectionLimit);
        ASSERT_TRUE(SaveSettings(s));
    }
};
} // namespace

TEST_F(SettingsFile, DefaultPathIsTollgateRegInTheConfigurationFolder)
{
    SetSettingsStorePath(nullptr);
    CCArray str;
    {
        CEnvVar xdg("XDG_CONFIG_HOME", "/xdg/config");
        GetSettingsStorePath(str);
        EXPECT_STREQ(str.GetString(), "/xdg/config/tollgate/tollgate.reg");
    }
    {
        CEnvVar xdg("XDG_CONFIG_HOME", nullptr);
        CEnvVar home("HOME", "/home/someone");
        GetSettingsStorePath(str);
        EXPECT_STREQ(str.GetString(), "/home/someone/.config/tollgate/tollgate.reg");
    }
    SetSettingsStorePath("/elsewhere/x.reg");
    GetSettingsStorePath(str);
    EXPECT_STREQ(str.GetString(), "/elsewhere/x.reg");
    SetSettingsStorePath("");
    CEnvVar xdg("XDG_CONFIG_HOME", "/xdg");
    GetSettingsStorePath(str);
    EXPECT_STREQ(str.GetString(), "/xdg/tollgate/tollgate.reg");
}

TEST_F(SettingsFile, SavingTheFixtureRecordWritesTheFixtureFileByteForByte)
{
    SaveFixtureRecord();
    EXPECT_EQ(ReadFile(strStore), ReadFixture());
}

TEST_F(SettingsFile, TheFixtureFileLoadsToItsRecord)
{
    const std::string strFixture = ReadFixture();
    ASSERT_FALSE(strFixture.empty()) << FixturePath();
    WriteFile(strStore, strFixture);
    SSettings s;
    EXPECT_EQ(LoadCapturing(s), "");
    ExpectFixtureRecord(s);
    EXPECT_EQ(ReadFile(strStore), strFixture) << "loading never writes";
}

TEST_F(SettingsFile, LoadingCreatesNoFileAndTheFirstWriteCreatesPrivateFolderAndFile)
{
    SetSettingsStorePath((strScratch + "new/folder/tollgate.reg").c_str());
    SSettings s;
    EXPECT_EQ(LoadCapturing(s), "");
    EXPECT_FALSE(fs::exists(strScratch + "new"));

    EXPECT_TRUE(IsFirstRun());
    struct stat st;
    ASSERT_EQ(stat((strScratch + "new/folder").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((strScratch + "new/folder/tollgate.reg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(fs::exists(strScratch + "new/folder/tollgate.reg.new-" + std::to_string(getpid())));
    EXPECT_FALSE(IsFirstRun());
}

TEST_F(SettingsFile, CutShortFilesLoadAsDefaultsAndAreKeptAtTheNextSave)
{
    SaveFixtureRecord();
    const std::string strWhole = ReadFile(strStore);
    for (size_t n = 0; n < strWhole.size(); n += 7)
    {
        SCOPED_TRACE(n);
        const std::string strCut = strWhole.substr(0, n);
        WriteFile(strStore, strCut);
        SetSettingsStorePath(strStore.c_str()); // a fresh path: its trouble is told again
        SSettings s;
        std::string strErr = LoadCapturing(s);
        ExpectDefaults(s);
        EXPECT_NE(strErr.find(strStore), std::string::npos) << strErr;
        EXPECT_NE(strErr.find("cannot be used"), std::string::npos) << strErr;
        EXPECT_EQ(ReadFile(strStore), strCut) << "a bad file is never written over on loading";
    }

    const std::string strCut = strWhole.substr(0, strWhole.size() / 2);
    WriteFile(strStore, strCut);
    SSettings s;
    LoadCapturing(s);
    s.bAutoStart = 0;
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(SaveSettings(s));
    std::string strErr = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(strErr.find(strStore + ".bad-1"), std::string::npos) << strErr;
    EXPECT_EQ(ReadFile(strStore + ".bad-1"), strCut);

    SSettings loaded;
    EXPECT_EQ(LoadCapturing(loaded), "");
    EXPECT_EQ(loaded.bAutoStart, 0);
}

TEST_F(SettingsFile, CorruptFilesAreToldOnceAndKeptUnderTheNextFreeName)
{
    WriteFile(strStore + ".bad-1", "an older bad file");
    const std::string strCorrupt = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate]\r\n"
                                   "\"Auto Start\"=hex:00,00,00,00\r\n\"Socks4\"=garbage\r\n";
    WriteFile(strStore, strCorrupt);

    SSettings s;
    std::string strErr = LoadCapturing(s);
    EXPECT_NE(strErr.find("line 5"), std::string::npos) << strErr;
    ExpectDefaults(s); // nothing of a bad file is taken, not even its good lines
    EXPECT_EQ(LoadCapturing(s), "") << "said once";

    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(IsFirstRun());
    strErr = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(strErr.find(".bad-2"), std::string::npos) << strErr;
    EXPECT_EQ(ReadFile(strStore + ".bad-1"), "an older bad file");
    EXPECT_EQ(ReadFile(strStore + ".bad-2"), strCorrupt);
    EXPECT_FALSE(IsFirstRun());
}

TEST_F(SettingsFile, AFolderInPlaceOfTheFileLoadsAsDefaultsAndIsMovedAside)
{
    fs::create_directory(strStore);
    WriteFile(strStore + "/inside", "x");
    SSettings s;
    std::string strErr = LoadCapturing(s);
    EXPECT_NE(strErr.find("not a plain file"), std::string::npos) << strErr;
    ExpectDefaults(s);

    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(SaveSettings(s));
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(fs::is_regular_file(strStore));
    EXPECT_EQ(ReadFile(strStore + ".bad-1/inside"), "x");
}

TEST_F(SettingsFile, ASaveThatCannotCreateTheFolderFailsAndSaysWhy)
{
    WriteFile(strScratch + "plainfile", "x");
    SetSettingsStorePath((strScratch + "plainfile/tollgate.reg").c_str());
    SSettings s;
    LoadCapturing(s);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(SaveSettings(s));
    std::string strErr = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(strErr.find("cannot be saved"), std::string::npos) << strErr;
    EXPECT_EQ(ReadFile(strScratch + "plainfile"), "x");
}

TEST_F(SettingsFile, ASaveThatCannotWriteLeavesTheOldFileIntact)
{
    SaveFixtureRecord();
    const std::string strOld = ReadFile(strStore);

    // Something in the way of the new file.
    const std::string strNew = strStore + ".new-" + std::to_string(getpid());
    fs::create_directory(strNew);
    SSettings s;
    s.strLogFolder = "changed";
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(SaveSettings(s));
    std::string strErr = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(strErr.find("left as it was"), std::string::npos) << strErr;
    EXPECT_EQ(ReadFile(strStore), strOld);
    fs::remove(strNew);

    // A disk that fills up in the middle of the write: a child process whose file size limit
    // is smaller than the new file. The write fails half-way (EFBIG, as ENOSPC would).
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
    {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
        SSettings big;
        for (uint32_t i = 0; i < 200; i++)
            big.arrIpRanges.Add(new IP_RANGE2{i, i});
        _exit(SaveSettings(big) ? 1 : 0);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0) << "the save must report its failure";
    EXPECT_EQ(ReadFile(strStore), strOld);
    EXPECT_FALSE(fs::exists(strStore + ".new-" + std::to_string(pid))) << "the half-written file is removed";

    SSettings loaded;
    EXPECT_EQ(LoadCapturing(loaded), "");
    ExpectFixtureRecord(loaded);
}

TEST_F(SettingsFile, OtherKeysOfAHandMadeFileSurviveASave)
{
    WriteFile(strStore,
              "REGEDIT4\n\n; mine\n[HKEY_CURRENT_USER\\Software\\Something Else]\n\"keep\"=\"me\"\n\n"
              "[HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate]\n\"Connection Limit\"=hex:0a,00,00,00\n");
    SSettings s;
    EXPECT_EQ(LoadCapturing(s), "");
    EXPECT_EQ(nConnectionLimit, 10);
    ASSERT_TRUE(SaveSettings(s));
    const std::string strText = ReadFile(strStore);
    EXPECT_NE(strText.find("[HKEY_CURRENT_USER\\Software\\Something Else]\r\n\"keep\"=\"me\"\r\n"),
              std::string::npos)
        << strText;
    EXPECT_NE(strText.find("\"Connection Limit\"=hex:0a,00,00,00\r\n"), std::string::npos) << strText;
}

TEST_F(SettingsFile, AStoreFileThatIsALinkStaysALink)
{
    fs::create_directory(strScratch + "dotfiles");
    WriteFile(strScratch + "dotfiles/tollgate.reg", "REGEDIT4\n");
    fs::create_symlink(strScratch + "dotfiles/tollgate.reg", strStore);
    SSettings s;
    s.bAutoStart = 0;
    ASSERT_TRUE(SaveSettings(s));
    EXPECT_TRUE(fs::is_symlink(strStore));
    EXPECT_NE(ReadFile(strScratch + "dotfiles/tollgate.reg").find("\"Auto Start\"=hex:00,00,00,00"),
              std::string::npos);
    SSettings loaded;
    EXPECT_EQ(LoadCapturing(loaded), "");
    EXPECT_EQ(loaded.bAutoStart, 0);
}

// A file that cannot be opened now (out of descriptors here; an I/O error or a missing permission
// alike) is not a bad file: the run takes the defaults and the file stays where it is, untouched.
TEST_F(SettingsFile, AFileThatCannotBeOpenedNowIsLeftAlone)
{
    SaveFixtureRecord();
    const std::string strOld = ReadFile(strStore);
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = {3, old.rlim_max};
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    SETTINGSKEY hKey = OpenSettingsKey();
    setrlimit(RLIMIT_NOFILE, &old);
    int32_t nValue = 5;
    WriteSettingsValue(hKey, "Connection Limit", SETTINGS_TYPE_BINARY, &nValue, 4);
    CloseSettingsKey(hKey);
    std::string strErr = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(hKey, nullptr);
    EXPECT_NE(strErr.find("left as it is"), std::string::npos) << strErr;
    EXPECT_EQ(ReadFile(strStore), strOld);
    EXPECT_FALSE(fs::exists(strStore + ".bad-1"));
}

// Another program saving at the same moment has its own new file: this save neither truncates
// nor takes it.
TEST_F(SettingsFile, ASaveLeavesAnotherSaversNewFileAlone)
{
    SaveFixtureRecord();
    const std::string strOther = strStore + ".new";
    WriteFile(strOther, "another saver's half-written text");
    SSettings s;
    s.strLogFolder = "changed";
    ASSERT_TRUE(SaveSettings(s));
    EXPECT_EQ(ReadFile(strOther), "another saver's half-written text");
    EXPECT_NE(ReadFile(strStore).find("changed"), std::string::npos);
}
