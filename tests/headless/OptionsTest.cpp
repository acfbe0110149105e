// OptionsTest.cpp: the headless proxy's command line as it reaches the settings. Bad values, the
// password and the settings file are checked end to end by tests/integration/headless_test.py.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "headless/Options.h"

namespace
{
bool Parse(std::vector<std::string> args, SHeadlessOptions& opt, std::string* pstrError = nullptr)
{
    static std::vector<std::string> s_keep;
    s_keep = args;
    s_keep.insert(s_keep.begin(), "tollgated");
    std::vector<char*> argv;
    for (std::string& str : s_keep)
        argv.push_back(&str[0]);
    CCArray strError;
    bool bOk = ParseOptions((int)argv.size(), argv.data(), opt, strError);
    if (pstrError)
        *pstrError = strError.GetString();
    return bOk;
}
} // namespace

TEST(HeadlessOptions, RangesAreTakenInBothFormsAndStoredOrdered)
{
    SHeadlessOptions opt;
    ASSERT_TRUE(Parse({"--allow", "192.168.1.77/24", "--allow", "10.0.0.9-10.0.0.1", "--allow", "8.8.8.8/32",
                       "--allow", "0.0.0.0/0"},
                      opt));
    ASSERT_EQ(opt.arrAllow.GetSize(), 4);
    EXPECT_EQ(opt.arrAllow.pData[0].dwFirst, 0xC0A80100u);
    EXPECT_EQ(opt.arrAllow.pData[0].dwLast, 0xC0A801FFu);
    EXPECT_EQ(opt.arrAllow.pData[1].dwFirst, 0x0A000001u);
    EXPECT_EQ(opt.arrAllow.pData[1].dwLast, 0x0A000009u);
    EXPECT_EQ(opt.arrAllow.pData[2].dwFirst, opt.arrAllow.pData[2].dwLast);
    EXPECT_EQ(opt.arrAllow.pData[3].dwFirst, 0u);
    EXPECT_EQ(opt.arrAllow.pData[3].dwLast, 0xFFFFFFFFu);
}

TEST(HeadlessOptions, SettingOptionsOverrideTheRecordAndSwitchTheirFeaturesOn)
{
    SHeadlessOptions opt;
    ASSERT_TRUE(
        Parse({"--listen", "0.0.0.0:1081", "--allow", "127.0.0.1-127.0.0.1", "--user", "alice",
               "--password-file", "unused", "--no-socks4", "--limit", "12", "--log-folder", "/var/log/tg"},
              opt));
    opt.strPassword = "pw";
    SSettings settings;
    settings.bSocks4 = settings.bSocks5 = 1;
    ApplyOptions(opt, settings);
    EXPECT_EQ(ntohs(settings.addrService.sin_port), 1081);
    EXPECT_EQ(settings.addrService.sin_addr.s_addr, 0u);
    EXPECT_EQ(settings.bIpFilter, 1);
    ASSERT_EQ(settings.arrIpRanges.GetSize(), 1);
    EXPECT_EQ(settings.bSocks5Auth, 1);
    EXPECT_STREQ(settings.strSocks5Userid.GetString(), "alice");
    EXPECT_STREQ(settings.strSocks5Password.GetString(), "pw");
    EXPECT_EQ(settings.bSocks4, 0);
    EXPECT_EQ(settings.bSocks5, 1);
    EXPECT_EQ(nConnectionLimit, 12);
    EXPECT_EQ(settings.bLog, 1);
    EXPECT_STREQ(settings.strLogFolder.GetString(), "/var/log/tg");
    nConnectionLimit = SETTINGS_MAX_CONNECTIONS;
}
