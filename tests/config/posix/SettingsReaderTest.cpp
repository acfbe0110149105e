// SettingsReaderTest.cpp: what the POSIX settings reader does with a path that is not a plain
// file: it never waits on a FIFO, never reads a device, leaves a link to
// nothing alone, and tells why it took none of the values.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "config/SettingsStore.h"
#include "tests/config/StoreFixture.h"

namespace fs = std::filesystem;

namespace
{
class SettingsReader : public StoreTest
{
protected:
    // Opens the key in a child process, which must answer within a few seconds: a reader that
    // waits on a FIFO would hang the test itself. The child's exit code: 0 no key, 1 a key
    // without values, 2 a key with values; 9 when it did not answer in time.
    int OpenInChild()
    {
        pid_t pid = fork();
        if (pid == 0)
        {
            alarm(10);
            int fdNull = open("/dev/null", O_WRONLY);
            dup2(fdNull, STDERR_FILENO);
            SETTINGSKEY hKey = OpenSettingsKey();
            CByteArray data;
            int nCode = hKey == nullptr ? 0 : ReadSettingsValue(hKey, "Socks4", data) ? 2 : 1;
            _exit(nCode);
        }
        int nStatus = 0;
        for (int i = 0; i < 500; i++)
        {
            if (waitpid(pid, &nStatus, WNOHANG) == pid)
                return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 9;
            usleep(10000);
        }
        kill(pid, SIGKILL);
        waitpid(pid, &nStatus, 0);
        return 9;
    }

    std::string Trouble()
    {
        CCArray str;
        GetSettingsStoreTrouble(str);
        return str.GetString();
    }

    std::string Load(SSettings& s)
    {
        ::testing::internal::CaptureStderr();
        LoadSettings(s);
        return ::testing::internal::GetCapturedStderr();
    }
};
} // namespace

TEST_F(SettingsReader, AFifoIsNeitherWaitedOnNorReadAndIsReportedAsNoPlainFile)
{
    ASSERT_EQ(mkfifo(strStore.c_str(), 0600), 0);
    EXPECT_EQ(OpenInChild(), 1) << "the open must not wait for a writer";
    SSettings s;
    std::string strErr = Load(s);
    EXPECT_NE(strErr.find("it is not a plain file"), std::string::npos) << strErr;
    EXPECT_EQ(Trouble(), "it is not a plain file");
    EXPECT_EQ(GetLoadedServiceAddressSize(), -1);
}

TEST_F(SettingsReader, ADeviceIsNotRead)
{
    fs::remove(strStore);
    fs::create_symlink("/dev/zero", strStore);
    EXPECT_EQ(OpenInChild(), 1);
    SSettings s;
    Load(s);
    EXPECT_EQ(Trouble(), "it is not a plain file");
}

TEST_F(SettingsReader, ALinkToNothingIsLeftAloneAndSaysWhereItPoints)
{
    const std::string strTarget = strScratch + "unmounted/tollgate.reg";
    fs::create_symlink(strTarget, strStore);
    SSettings s;
    std::string strErr = Load(s);
    EXPECT_NE(strErr.find("cannot be read now"), std::string::npos) << strErr;
    EXPECT_EQ(Trouble(), "it is a symbolic link to " + strTarget + ", which does not exist");
    EXPECT_EQ(GetLoadedServiceAddressSize(), -1);
    // Nothing is saved over it, and it stays a link.
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(SaveSettings(s));
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(fs::is_symlink(strStore));
    EXPECT_FALSE(fs::exists(strTarget));
}

TEST_F(SettingsReader, TheLoadedAddressSizeAndTheTroubleFollowEachLoad)
{
    SSettings s;
    EXPECT_EQ(Load(s), "");
    EXPECT_EQ(GetLoadedServiceAddressSize(), -1) << "no file";
    EXPECT_EQ(Trouble(), "");

    SeedBinary("Service Address", Bytes{2, 0, 4, 0x38});
    Load(s);
    EXPECT_EQ(GetLoadedServiceAddressSize(), 4);
    EXPECT_EQ(s.addrService.sin_addr.s_addr, 0u) << "the Windows default, which the headless proxy never serves";

    SeedBinary("Service Address", Bytes{2, 0, 4, 0x38, 127, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0});
    Load(s);
    EXPECT_EQ(GetLoadedServiceAddressSize(), 16);
    EXPECT_EQ(Trouble(), "");

    std::ofstream(strStore, std::ios::app) << "garbage\n";
    std::string strErr = Load(s);
    EXPECT_NE(strErr.find("none of its values are taken"), std::string::npos) << strErr;
    EXPECT_EQ(Trouble().rfind("line ", 0), 0u) << Trouble();
    EXPECT_EQ(GetLoadedServiceAddressSize(), -1);
}
