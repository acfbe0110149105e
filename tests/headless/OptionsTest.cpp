// OptionsTest.cpp: the headless proxy's command line as it reaches the settings, and the comments
// of its settings file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "headless/HeadlessStore.h"
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

TEST(HeadlessOptions, ABadValueNamesItsOption)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--listen", "127.0.0.1:65536"}, "--listen \"127.0.0.1:65536\""},
        {{"--listen", "256.0.0.1:80"}, "--listen"},
        {{"--allow", "1.2.3.4/24/1"}, "--allow"},
        {{"--allow", "1.2.3.4-"}, "--allow"},
        {{"--limit", "12x"}, "--limit \"12x\""},
        {{"--user", ""}, "--user"},
        {{"--password-file", "f"}, "--password-file: needs --user"},
        {{"--no-log", "--log-folder", "x"}, "--no-log"},
    };
    for (const auto& c : cases)
    {
        SHeadlessOptions opt;
        std::string strError;
        EXPECT_FALSE(Parse(c.first, opt, &strError)) << c.second;
        EXPECT_EQ(strError.rfind("tollgated: " + c.second, 0), 0u) << strError;
    }
}

TEST(HeadlessOptions, PasswordIsTheFirstLineOfItsSource)
{
    SHeadlessOptions opt;
    ASSERT_TRUE(Parse({"--user", "alice"}, opt));
    FILE* pIn = tmpfile();
    ASSERT_NE(pIn, nullptr);
    fputs("Open Sesame\r\nsecond line\n", pIn);
    rewind(pIn);
    CCArray strError;
    EXPECT_TRUE(ReadPassword(opt, pIn, strError)) << strError.GetString();
    EXPECT_STREQ(opt.strPassword.GetString(), "Open Sesame");

    // Longer than the store's 32 characters: refused, not cut.
    rewind(pIn);
    fputs("123456789012345678901234567890123\n", pIn);
    rewind(pIn);
    SHeadlessOptions opt2;
    ASSERT_TRUE(Parse({"--user", "alice"}, opt2));
    EXPECT_FALSE(ReadPassword(opt2, pIn, strError));
    fclose(pIn);
}

TEST(HeadlessStore, EveryKnownValueGetsItsCommentAndNothingElseChanges)
{
    const char* pszText = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate]\r\n"
                          "\"Socks4\"=hex:01,00,00,00\r\n\"Other\"=\"x\"\r\n\"Socks4x\"=hex:00\r\n";
    CCArray strOut;
    AddSettingComments(pszText, strOut);
    std::string str = strOut.GetString();
    // Taking the comment lines out again gives the text back unchanged.
    std::string strWithout;
    size_t nComments = 0;
    for (size_t nPos = 0; nPos < str.size();)
    {
        size_t nEnd = str.find("\r\n", nPos) + 2;
        if (str[nPos] == ';')
            nComments++;
        else
            strWithout += str.substr(nPos, nEnd - nPos);
        nPos = nEnd;
    }
    EXPECT_EQ(strWithout, pszText);
    EXPECT_EQ(nComments, 1u);
    size_t nSocks4 = str.find("\"Socks4\"=");
    ASSERT_NE(nSocks4, std::string::npos);
    EXPECT_EQ(str[str.rfind("\r\n", nSocks4 - 3) + 2], ';');
}
