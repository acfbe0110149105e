// FixtureRecord.cpp: the record behind fixtures/tollgate.reg.
#include "tests/config/FixtureRecord.h"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

std::string FixturePath()
{
    std::string strPath = __FILE__;
    strPath = strPath.substr(0, strPath.find_last_of("/\\") + 1) + "fixtures/tollgate.reg";
#ifdef _WIN32
    // The compiler saw the Unix path of the build machine; Wine shows the Unix root as drive Z:.
    if (!strPath.empty() && strPath[0] == '/')
        strPath = "Z:" + strPath;
    for (char& ch : strPath)
    {
        if (ch == '/')
            ch = '\\';
    }
#endif
    return strPath;
}

std::string ReadFixture()
{
    std::ifstream in(FixturePath(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void FillFixtureRecord(SSettings& settings, int32_t& nLimit)
{
    settings.bAutoStart = 0;
    settings.addrService.sin_family = AF_INET;
    settings.addrService.sin_port = htons(1081);
    settings.addrService.sin_addr.s_addr = htonl(0x7F000001);
    settings.bSocks5 = 1;
    settings.bSocks4 = 0;
    settings.strLogFolder = "C:\\Tollgate Logs";
    settings.bLog = 1;
    settings.arrIpRanges.RemoveAll();
    settings.arrIpRanges.Add(new IP_RANGE2{0xC0A80001u, 0xC0A800FEu});
    settings.arrIpRanges.Add(new IP_RANGE2{0x0A000001u, 0x0A000001u});
    settings.arrIpRanges.Add(new IP_RANGE2{0xAC100000u, 0xAC1FFFFFu});
    settings.bIpFilter = 1;
    settings.strSocks5Userid = "kestrel";
    settings.strSocks5Password = "Sesame 7!";
    settings.bSocks5Auth = 1;
    nLimit = 250;
}

void ExpectFixtureRecord(const SSettings& settings)
{
    EXPECT_EQ(settings.bAutoStart, 0);
    EXPECT_EQ(settings.addrService.sin_family, AF_INET);
    EXPECT_EQ(ntohs(settings.addrService.sin_port), 1081);
    EXPECT_EQ(ntohl(settings.addrService.sin_addr.s_addr), 0x7F000001u);
    EXPECT_EQ(settings.bSocks5, 1);
    EXPECT_EQ(settings.bSocks4, 0);
    EXPECT_STREQ(settings.strLogFolder.GetString(), "C:\\Tollgate Logs");
    EXPECT_EQ(settings.bLog, 1);
    ASSERT_EQ(settings.arrIpRanges.GetSize(), 3);
    EXPECT_EQ(settings.arrIpRanges[0]->dwFirst, 0xC0A80001u);
    EXPECT_EQ(settings.arrIpRanges[0]->dwLast, 0xC0A800FEu);
    EXPECT_EQ(settings.arrIpRanges[1]->dwFirst, 0x0A000001u);
    EXPECT_EQ(settings.arrIpRanges[1]->dwLast, 0x0A000001u);
    EXPECT_EQ(settings.arrIpRanges[2]->dwFirst, 0xAC100000u);
    EXPECT_EQ(settings.arrIpRanges[2]->dwLast, 0xAC1FFFFFu);
    EXPECT_EQ(settings.bIpFilter, 1);
    EXPECT_STREQ(settings.strSocks5Userid.GetString(), "kestrel");
    EXPECT_STREQ(settings.strSocks5Password.GetString(), "Sesame 7!");
    EXPECT_EQ(settings.bSocks5Auth, 1);
    EXPECT_EQ(nConnectionLimit, 250);
}
