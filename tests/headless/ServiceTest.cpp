// ServiceTest.cpp: the headless proxy's warnings and how a reloaded settings record is applied.
// The reload through SIGHUP, the state on SIGUSR1 and the journal copy of the log are checked on
// the running program by tests/integration/service_test.py.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/Host.h"
#include "headless/Service.h"
#include "net/SocksWire.h"

namespace
{
void Serve(SSettings& s, const char* pszAddress, int nPort)
{
    s.addrService.sin_family = AF_INET;
    s.addrService.sin_addr.s_addr = inet_addr(pszAddress);
    s.addrService.sin_port = htons((unsigned short)nPort);
}

std::string Warnings(const char* pszAddress, bool bFilter, bool bAuth, bool bSocks4, bool bSocks5 = true)
{
    SSettings s;
    Serve(s, pszAddress, 1080);
    s.bIpFilter = bFilter;
    s.bSocks5Auth = bAuth;
    s.bSocks4 = bSocks4;
    s.bSocks5 = bSocks5;
    CCArray str;
    GetExposureWarnings(s, str);
    return str.GetString();
}

bool StartsWith(const std::string& str, const char* pszStart)
{
    return str.compare(0, strlen(pszStart), pszStart) == 0;
}

// A record that restricts everything a reload can restrict at once: 127.0.0.1 only, a user
// name and password, no SOCKS4.
void MakeClosed(SSettings& s)
{
    Serve(s, "127.0.0.1", 1080);
    s.strLogFolder = "/var/log/a";
    s.arrIpRanges.Add(new IP_RANGE2{0x7F000001u, 0x7F000001u});
    s.bIpFilter = 1;
    s.strSocks5Userid = "alice";
    s.strSocks5Password = "Open Sesame";
    s.bSocks5Auth = 1;
    s.bSocks4 = 0;
    s.bSocks5 = 1;
}

// A record that restricts nothing, at the same address and log folder.
void MakeOpen(SSettings& s)
{
    Serve(s, "127.0.0.1", 1080);
    s.strLogFolder = "/var/log/a";
    s.bSocks4 = s.bSocks5 = 1;
}

const char szOpen[] = "Warning: open proxy: it serves ";
const char szSocks4[] = "Warning: SOCKS4 is on while SOCKS5 clients must give a password";

// Puts the live settings back as a test found them.
class ReloadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        nLimitBefore = nConnectionLimit;
        ReplaceIpRanges(nullptr, 0);
        ReplaceCredentials("", "");
        g_settings.bIpFilter = g_settings.bSocks5Auth = 0;
        g_settings.bSocks4 = g_settings.bSocks5 = 1;
        g_settings.bLog = 0;
        g_settings.strLogFolder = "/var/log/a";
        Serve(g_settings, "127.0.0.1", 1080);
    }
    void TearDown() override
    {
        SetUp();
        nConnectionLimit = nLimitBefore;
    }
    int32_t nLimitBefore = 0;
};
} // namespace

// The open-proxy warning: any address outside 127.0.0.0/8, not only 0.0.0.0.
TEST(HeadlessWarnings, AnOpenProxyIsAnyAddressOutsideLoopbackWithoutFilterOrAuthentication)
{
    std::string str = Warnings("0.0.0.0", false, false, true);
    EXPECT_TRUE(StartsWith(str, "Warning: open proxy: it serves every local address and neither the IP filter nor "
                                "authentication is on"))
        << str;
    str = Warnings("192.168.1.5", false, false, true);
    EXPECT_TRUE(StartsWith(str, "Warning: open proxy: it serves 192.168.1.5, which other machines can reach, and"))
        << str;
    EXPECT_TRUE(StartsWith(Warnings("10.0.0.1", false, false, false), szOpen));
    EXPECT_TRUE(StartsWith(Warnings("128.0.0.1", false, false, true), szOpen));
    // One line, ending in its line end.
    EXPECT_EQ(str.find('\n'), str.size() - 1);

    // Restricted: by the filter, by a password that SOCKS4 cannot walk around, or by the address.
    EXPECT_EQ(Warnings("192.168.1.5", true, false, true), "");
    EXPECT_EQ(Warnings("192.168.1.5", false, true, false), "");
    EXPECT_EQ(Warnings("127.0.0.1", false, false, true), "");
    EXPECT_EQ(Warnings("127.255.255.254", false, false, true), "");
    // Nothing served, nothing to warn about.
    EXPECT_EQ(Warnings("0.0.0.0", false, false, false, false), "");
}

TEST(HeadlessWarnings, Socks4BesideARequiredPasswordIsWarnedAboutEverywhere)
{
    // Outside 127.0.0.0/8 without the filter the password is no restriction at all: open proxy.
    std::string str = Warnings("0.0.0.0", false, true, true);
    EXPECT_TRUE(StartsWith(str, "Warning: open proxy: it serves every local address and SOCKS4 clients need no "
                                "password"))
        << str;
    // Elsewhere it is a password that one kind of client passes without.
    EXPECT_TRUE(StartsWith(Warnings("127.0.0.1", false, true, true), szSocks4));
    EXPECT_TRUE(StartsWith(Warnings("192.168.1.5", true, true, true), szSocks4));
    EXPECT_EQ(Warnings("127.0.0.1", false, true, false), "");
}

TEST_F(ReloadTest, AccessRulesApplyAtOnceAndNeedNoRestart)
{
    SSettings next;
    MakeClosed(next);
    CCArray strWhy;
    EXPECT_FALSE(ApplyReloadedSettings(next, 7, strWhy));
    EXPECT_TRUE(strWhy.IsEmpty()) << strWhy.GetString();

    EXPECT_TRUE(IsAddressAllowed(inet_addr("127.0.0.1")));
    EXPECT_FALSE(IsAddressAllowed(inet_addr("127.0.0.2")));
    // Swapped in by ReplaceCredentials, as the Options sheet does it.
    EXPECT_STREQ(g_settings.strSocks5Userid.GetString(), "alice");
    EXPECT_STREQ(g_settings.strSocks5Password.GetString(), "Open Sesame");
    EXPECT_EQ(g_settings.bSocks5Auth, 1);
    EXPECT_EQ(ChooseMethod((const unsigned char*)"\x00", 1), 0xFF);
    EXPECT_FALSE(IsVersionAllowed(4));
    EXPECT_TRUE(IsVersionAllowed(5));
    EXPECT_EQ(nConnectionLimit, 7);

    // And back: the filter off admits everybody again.
    SSettings open;
    MakeOpen(open);
    EXPECT_FALSE(ApplyReloadedSettings(open, 9999, strWhy));
    EXPECT_TRUE(IsAddressAllowed(inet_addr("10.1.1.1")));
    EXPECT_TRUE(IsVersionAllowed(4));
    EXPECT_EQ(g_settings.arrIpRanges.GetSize(), 0);
}

TEST_F(ReloadTest, TheServiceAddressAndTheLogSettingsNeedARestart)
{
    SSettings next;
    Serve(next, "127.0.0.1", 1081);
    next.strLogFolder = "/var/log/a";
    next.bSocks4 = next.bSocks5 = 1;
    CCArray strWhy;
    EXPECT_TRUE(ApplyReloadedSettings(next, 9999, strWhy));
    EXPECT_STREQ(strWhy.GetString(), "the service address changed from 127.0.0.1:1080 to 127.0.0.1:1081");
    EXPECT_EQ(ntohs(g_settings.addrService.sin_port), 1081);

    next.bLog = 1;
    EXPECT_TRUE(ApplyReloadedSettings(next, 9999, strWhy));
    EXPECT_STREQ(strWhy.GetString(), "the session log was switched on");
    next.strLogFolder = "/var/log/b";
    EXPECT_TRUE(ApplyReloadedSettings(next, 9999, strWhy));
    EXPECT_STREQ(strWhy.GetString(), "the log folder changed to /var/log/b");
    EXPECT_STREQ(g_settings.strLogFolder.GetString(), "/var/log/b");
    EXPECT_FALSE(ApplyReloadedSettings(next, 9999, strWhy)) << "the same settings again change nothing";
    // Another folder while the log is off is no change that matters.
    next.bLog = 0;
    EXPECT_TRUE(ApplyReloadedSettings(next, 9999, strWhy));
    next.strLogFolder = "/var/log/c";
    EXPECT_FALSE(ApplyReloadedSettings(next, 9999, strWhy)) << strWhy.GetString();
}

TEST_F(ReloadTest, ChecksOnOtherThreadsRunWhileReloadsFlipEverySwitch)
{
    // The listener and the sessions read the switches and the limit while a reload writes them;
    // under ThreadSanitizer (the tsan tree) a plain store on either side fails this test.
    SSettings closed, open;
    MakeClosed(closed);
    MakeOpen(open);

    std::atomic<bool> bDone(false);
    std::atomic<int> nLimitReached(0), nSocks5Refused(0), nReading(0);
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; t++)
        readers.emplace_back([&] {
            const unsigned char methods[2] = {SOCKS5_METHOD_NONE, SOCKS5_METHOD_USERPASS};
            for (int i = 0; i < 2000000 && !bDone.load(); i++)
            {
                // Both records serve SOCKS5, and neither limit is reached by an empty table:
                // whatever mix of the two a check sees, these answers never change. (The address
                // check may refuse 127.0.0.1 for a moment: the list is emptied before the filter
                // that reads it is switched off.)
                nLimitReached += IsConnectionLimitReached() ? 1 : 0;
                nSocks5Refused += IsVersionAllowed(SOCKS_VERSION_5) ? 0 : 1;
                IsAddressAllowed(inet_addr("127.0.0.1"));
                IsVersionAllowed(SOCKS_VERSION_4);
                ChooseMethod(methods, 2);
                if (i == 0)
                    nReading++;
            }
        });
    // The reloads start once both readers are reading (within a bounded wait).
    for (int nWait = 0; nWait < 5000 && nReading.load() < 2; nWait++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(nReading.load(), 2);
    CCArray strWhy;
    int nRestarts = 0;
    for (int i = 0; i < 200; i++)
        nRestarts += ApplyReloadedSettings(i % 2 == 0 ? closed : open, i % 2 == 0 ? 7 : 9999, strWhy) ? 1 : 0;
    nRestarts += ApplyReloadedSettings(closed, 7, strWhy) ? 1 : 0;
    bDone.store(true);
    for (std::thread& reader : readers)
        reader.join();

    EXPECT_EQ(nRestarts, 0) << strWhy.GetString();
    EXPECT_EQ(nLimitReached.load(), 0);
    EXPECT_EQ(nSocks5Refused.load(), 0);
    // The last reload is the one in force.
    EXPECT_FALSE(IsVersionAllowed(SOCKS_VERSION_4));
    EXPECT_FALSE(IsAddressAllowed(inet_addr("127.0.0.2")));
    const unsigned char none[1] = {SOCKS5_METHOD_NONE};
    EXPECT_EQ(ChooseMethod(none, 1), SOCKS5_METHOD_REFUSED);
    EXPECT_EQ(nConnectionLimit, 7);
}
