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

namespace
{
// ReadPassword over the bytes given as its standard input; the password or the error line.
bool ReadFrom(const std::string& bytes, std::string* pstrResult)
{
    SHeadlessOptions opt;
    opt.pszUser = "alice";
    FILE* pIn = tmpfile();
    if (pIn == nullptr)
        return false;
    fwrite(bytes.data(), 1, bytes.size(), pIn);
    rewind(pIn);
    CCArray strError;
    bool bOk = ReadPassword(opt, pIn, strError);
    fclose(pIn);
    *pstrResult = bOk ? opt.strPassword.GetString() : strError.GetString();
    return bOk;
}
} // namespace

// The password file: the password is the first line's bytes, never cut short at a NUL byte.
TEST(HeadlessOptions, APasswordWithANulByteOrInUtf16IsRefusedWithOneLine)
{
    std::string str;
    EXPECT_FALSE(ReadFrom(std::string("ab\0cdefgh\n", 10), &str));
    EXPECT_NE(str.find("NUL byte"), std::string::npos) << str;
    EXPECT_EQ(str.find('\n'), std::string::npos) << str;
    EXPECT_EQ(str.find("tollgated: --user: "), 0u) << str;

    // "secret" as a Windows editor saves "Unicode" text, and as big-endian UTF-16.
    EXPECT_FALSE(ReadFrom(std::string("\xFF\xFEs\0e\0c\0r\0e\0t\0\r\0\n\0", 18), &str));
    EXPECT_NE(str.find("UTF-16"), std::string::npos) << str;
    EXPECT_FALSE(ReadFrom(std::string("\xFE\xFF\0s\0e\0c\0r\0e\0t", 14), &str));
    EXPECT_NE(str.find("UTF-16"), std::string::npos) << str;
    // Without the byte order mark: the NUL bytes give it away.
    EXPECT_FALSE(ReadFrom(std::string("s\0e\0c\0r\0e\0t\0\n\0", 14), &str));
    EXPECT_NE(str.find("NUL byte"), std::string::npos) << str;
    // A NUL byte after the first line is no part of the password.
    EXPECT_TRUE(ReadFrom(std::string("secret\n\0junk", 12), &str));
    EXPECT_EQ(str, "secret");
}

TEST(HeadlessOptions, AUtf8ByteOrderMarkIsDroppedAndTheLineEndsAtCrOrLf)
{
    std::string str;
    EXPECT_TRUE(ReadFrom("\xEF\xBB\xBFOpen Sesame\r\nsecond line\n", &str));
    EXPECT_EQ(str, "Open Sesame");
    EXPECT_TRUE(ReadFrom("no line end", &str));
    EXPECT_EQ(str, "no line end");
    EXPECT_TRUE(ReadFrom(std::string(32, 'x') + "\n", &str));
    EXPECT_EQ(str.size(), 32u);
    EXPECT_FALSE(ReadFrom(std::string(33, 'x') + "\n", &str));
    EXPECT_NE(str.find("1 to 32 characters"), std::string::npos) << str;
    EXPECT_FALSE(ReadFrom("\xEF\xBB\xBF\n", &str)) << "a mark alone is an empty password";
    EXPECT_FALSE(ReadFrom("", &str));
}

TEST(HeadlessOptions, LogStderrIsAnOption)
{
    SHeadlessOptions opt;
    EXPECT_FALSE(opt.bLogStderr);
    ASSERT_TRUE(Parse({"--log-stderr"}, opt));
    EXPECT_TRUE(opt.bLogStderr);
}
