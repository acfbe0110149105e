// SettingsStoreTest.cpp: loading and saving the settings, every default, size rule and derived
// rule, on both targets (the registry under Wine, the text file store on POSIX).
#include <climits>
#include <cstring>

#include "config/Paths.h"
#include "config/Rc5.h"
#include "config/SettingsStore.h"
#include "tests/config/StoreFixture.h"

namespace
{
Bytes ServiceAddressBytes(uint16_t nFamily, uint16_t nPort, const unsigned char (&abAddr)[4])
{
    Bytes b{(unsigned char)nFamily,
            (unsigned char)(nFamily >> 8),
            (unsigned char)(nPort >> 8),
            (unsigned char)nPort,
            abAddr[0],
            abAddr[1],
            abAddr[2],
            abAddr[3]};
    b.resize(16, 0);
    return b;
}

// A 33-byte password value as the program writes it.
Bytes EncipheredPassword(const char* pszPassword)
{
    Bytes b(33, 0);
    memcpy(b.data(), pszPassword, strlen(pszPassword));
    EncipherBlocks(g_szPasswordKey, b.data(), 4);
    return b;
}

std::string Text(const CCArray& str)
{
    return std::string(str.GetString(), (size_t)str.GetLength());
}

class SettingsStore : public StoreTest
{
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        nConnectionLimit = 1234;
    }

    // Loads into a fresh record.
    void Load() { LoadSettings(settings); }

    SSettings settings;
};
} // namespace

TEST_F(SettingsStore, EmptyStoreLoadsEveryDefaultAndCreatesTheLogFolder)
{
    // Fields the store leaves alone when their value is absent keep what the record held.
    settings.strSocks5Userid = "kept";
    settings.strSocks5Password = "kept too";
    settings.arrIpRanges.Add(new IP_RANGE2{1, 2});
    Load();

    EXPECT_EQ(settings.bAutoStart, 1);
    EXPECT_EQ(settings.addrService.sin_family, AF_INET);
    EXPECT_EQ(ntohs(settings.addrService.sin_port), 1080);
    EXPECT_EQ(settings.addrService.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(settings.bSocks5, 1);
    EXPECT_EQ(settings.bSocks4, 1);
    EXPECT_EQ(settings.bLog, 0);
    EXPECT_EQ(Text(settings.strLogFolder), Text(g_paths.strDataFolder) + "Log");
    EXPECT_TRUE(SysIsDirectory(settings.strLogFolder.GetString()));
    EXPECT_EQ(settings.arrIpRanges.GetSize(), 0);
    EXPECT_EQ(settings.bIpFilter, 0);
    EXPECT_EQ(Text(settings.strSocks5Userid), "kept");
    EXPECT_EQ(Text(settings.strSocks5Password), "kept too");
    EXPECT_EQ(settings.bSocks5Auth, 0);
    EXPECT_EQ(nConnectionLimit, 9999);
}

TEST_F(SettingsStore, FirstRunIsTrueOnceThenFalseAndLeavesTheMarker)
{
    EXPECT_TRUE(IsFirstRun());
    EXPECT_FALSE(IsFirstRun());
    EXPECT_FALSE(IsFirstRun());
    uint32_t nType = 0;
    Bytes data;
    ASSERT_TRUE(ReadRawValue("setonce", &nType, data));
    EXPECT_EQ(nType, 3u);
    EXPECT_EQ(data, Le32(1));
}

TEST_F(SettingsStore, FirstRunIsFalseWhenTheMarkerExistsWithAnySize)
{
    SeedBinary("setonce", Bytes{});
    EXPECT_FALSE(IsFirstRun());
}

TEST_F(SettingsStore, IntegersAreTakenOnlyFromValuesOfExactlyFourBytes)
{
    struct SCase
    {
        const char* pszName;
        int32_t SSettings::*pField;
        int32_t nDefault;
    };
    const SCase aCases[] = {
        {"Auto Start", &SSettings::bAutoStart, 1},
        {"Socks5", &SSettings::bSocks5, 1},
        {"Socks4", &SSettings::bSocks4, 1},
    };
    for (const SCase& c : aCases)
    {
        for (size_t nSize : {0, 3, 5, 16, 33})
        {
            SCOPED_TRACE(std::string(c.pszName) + " of " + std::to_string(nSize) + " bytes");
            SeedBinary(c.pszName, Bytes(nSize, 0));
            Load();
            EXPECT_EQ(settings.*c.pField, c.nDefault);
        }
        SCOPED_TRACE(std::string(c.pszName) + " of 4 bytes");
        SeedInt(c.pszName, 0);
        Load();
        EXPECT_EQ(settings.*c.pField, 0);
        SeedInt(c.pszName, 7);
        Load();
        EXPECT_EQ(settings.*c.pField, 7) << "any non-zero value is kept as it is";
    }
}

TEST_F(SettingsStore, IntegersAreReadFromTheirStoredBytesWhateverTheStoredType)
{
    // The type is not checked: a REG_DWORD of 4 bytes reads like a REG_BINARY of 4 bytes.
    SeedValue("Connection Limit", 4, Le32(42));
    Load();
    EXPECT_EQ(nConnectionLimit, 42);
}

TEST_F(SettingsStore, ConnectionLimitOutsideOneTo9999Becomes9999)
{
    const struct
    {
        int32_t nStored;
        int32_t nLoaded;
    } aCases[] = {{0, 9999}, {-1, 9999}, {INT_MIN, 9999}, {10000, 9999}, {1, 1}, {9999, 9999}, {500, 500}};
    for (auto c : aCases)
    {
        SCOPED_TRACE(c.nStored);
        SeedInt("Connection Limit", c.nStored);
        Load();
        EXPECT_EQ(nConnectionLimit, c.nLoaded);
    }
    SeedBinary("Connection Limit", Bytes{5, 0, 0});
    Load();
    EXPECT_EQ(nConnectionLimit, 9999);
}

TEST_F(SettingsStore, ServiceAddressKeepsStoredPortAndAddressButAlwaysFamily2)
{
    const unsigned char abAddr[4] = {192, 168, 7, 9};
    SeedBinary("Service Address", ServiceAddressBytes(23, 8080, abAddr));
    Load();
    EXPECT_EQ(settings.addrService.sin_family, AF_INET);
    EXPECT_EQ(ntohs(settings.addrService.sin_port), 8080);
    EXPECT_EQ(ntohl(settings.addrService.sin_addr.s_addr), 0xC0A80709u);

    for (size_t nSize : {0, 4, 15, 17, 33})
    {
        SCOPED_TRACE(nSize);
        Bytes b = ServiceAddressBytes(2, 8080, abAddr);
        b.resize(nSize, 0);
        SeedBinary("Service Address", b);
        Load();
        EXPECT_EQ(settings.addrService.sin_family, AF_INET);
        EXPECT_EQ(ntohs(settings.addrService.sin_port), 1080);
        EXPECT_EQ(settings.addrService.sin_addr.s_addr, htonl(INADDR_ANY));
    }
}

TEST_F(SettingsStore, LogIsForcedOffWithAnEmptyFolderAndAStoredFolderIsNotCreated)
{
    SeedInt("Log", 1);
    SeedString("Log Folder", std::string(1, '\0'));
    Load();
    EXPECT_EQ(Text(settings.strLogFolder), "");
    EXPECT_EQ(settings.bLog, 0);

    std::string strFolder = strScratch + "elsewhere";
    SeedString("Log Folder", strFolder + '\0');
    Load();
    EXPECT_EQ(Text(settings.strLogFolder), strFolder);
    EXPECT_EQ(settings.bLog, 1);
    EXPECT_FALSE(SysIsDirectory(strFolder.c_str()));
}

TEST_F(SettingsStore, StringsAreTakenWholeUpToTheirFirstZeroOrTheirEnd)
{
    // Longer than any fixed read buffer, and without a terminator: taken whole.
    std::string strLong(700, 'u');
    SeedString("Socks5 Userid", strLong);
    Load();
    EXPECT_EQ(Text(settings.strSocks5Userid), strLong);

    SeedString("Socks5 Userid", std::string("first\0second", 12));
    Load();
    EXPECT_EQ(Text(settings.strSocks5Userid), "first");

    SeedString("Log Folder", "no terminator");
    Load();
    EXPECT_EQ(Text(settings.strLogFolder), "no terminator");

    SeedString("Socks5 Userid", "");
    Load();
    EXPECT_EQ(Text(settings.strSocks5Userid), "");
}

TEST_F(SettingsStore, IpRangesLoadInStoredOrderFromLittleEndianPairs)
{
    SeedBinary("IP Ranges", Bytes{0x01, 0x00, 0xA8, 0xC0, 0xFE, 0x00, 0xA8, 0xC0,   // 192.168.0.1-254
                                  0x09, 0x00, 0x00, 0x0A, 0x01, 0x00, 0x00, 0x0A}); // 10.0.0.9-10.0.0.1
    SeedInt("IP Filter", 1);
    Load();
    ASSERT_EQ(settings.arrIpRanges.GetSize(), 2);
    EXPECT_EQ(settings.arrIpRanges[0]->dwFirst, 0xC0A80001u);
    EXPECT_EQ(settings.arrIpRanges[0]->dwLast, 0xC0A800FEu);
    // Nothing checks the order within a range.
    EXPECT_EQ(settings.arrIpRanges[1]->dwFirst, 0x0A000009u);
    EXPECT_EQ(settings.arrIpRanges[1]->dwLast, 0x0A000001u);
    EXPECT_EQ(settings.bIpFilter, 1);
}

// An empty list is a list that restricts nothing: the filter goes off.
TEST_F(SettingsStore, EmptyIpRangesSwitchTheFilterOff)
{
    settings.arrIpRanges.Add(new IP_RANGE2{1, 2});
    SeedBinary("IP Ranges", Bytes{});
    SeedInt("IP Filter", 1);
    Load();
    EXPECT_EQ(settings.arrIpRanges.GetSize(), 0);
    EXPECT_EQ(settings.bIpFilter, 0);
    EXPECT_EQ(settings.bIpRangesUnreadable, 0);
}

// A list that cannot be read is no reason to admit everybody: the filter stays on with no range,
// so that it admits nobody, and saving leaves the stored value alone (written as an empty list it
// would switch the filter off at the next start).
TEST_F(SettingsStore, IpRangesThatCannotBeReadKeepTheFilterOnAndAreNotSavedOver)
{
    for (size_t nSize : {12, 7})
    {
        SCOPED_TRACE(nSize);
        settings.arrIpRanges.Add(new IP_RANGE2{1, 2});
        SeedBinary("IP Ranges", Bytes(nSize, 0x11));
        SeedInt("IP Filter", 1);
        Load();
        EXPECT_EQ(settings.arrIpRanges.GetSize(), 0);
        EXPECT_EQ(settings.bIpFilter, 1);
        EXPECT_EQ(settings.bIpRangesUnreadable, 1);
        EXPECT_TRUE(IsRangesValueKept(settings));

        ASSERT_TRUE(SaveSettings(settings));
        uint32_t nType;
        Bytes b;
        ASSERT_TRUE(ReadRawValue("IP Ranges", &nType, b));
        EXPECT_EQ(b, Bytes(nSize, 0x11));
        SSettings loaded;
        LoadSettings(loaded);
        EXPECT_EQ(loaded.bIpFilter, 1);
        EXPECT_EQ(loaded.arrIpRanges.GetSize(), 0);
    }

    // Once a list is set, it is saved; with the filter off, the unreadable list does not matter.
    settings.arrIpRanges.Add(new IP_RANGE2{0x0A000001u, 0x0A000002u});
    EXPECT_FALSE(IsRangesValueKept(settings));
    ASSERT_TRUE(SaveSettings(settings));
    SSettings loaded;
    LoadSettings(loaded);
    EXPECT_EQ(loaded.arrIpRanges.GetSize(), 1);
    EXPECT_EQ(loaded.bIpRangesUnreadable, 0);

    SeedBinary("IP Ranges", Bytes(12, 0x11));
    SeedInt("IP Filter", 0);
    Load();
    EXPECT_EQ(settings.bIpFilter, 0);
    EXPECT_FALSE(IsRangesValueKept(settings));
}

TEST_F(SettingsStore, MoreThan64RangesLoadBackWhole)
{
    for (uint32_t i = 0; i < 300; i++)
        settings.arrIpRanges.Add(new IP_RANGE2{0x0A000000u + i, 0x0A000000u + i * 2});
    settings.bIpFilter = 1;
    ASSERT_TRUE(SaveSettings(settings));

    SSettings loaded;
    LoadSettings(loaded);
    ASSERT_EQ(loaded.arrIpRanges.GetSize(), 300);
    for (uint32_t i = 0; i < 300; i++)
    {
        EXPECT_EQ(loaded.arrIpRanges[i]->dwFirst, 0x0A000000u + i);
        EXPECT_EQ(loaded.arrIpRanges[i]->dwLast, 0x0A000000u + i * 2);
    }
    EXPECT_EQ(loaded.bIpFilter, 1);
}

// A password value of a wrong size cannot be read: authentication stays on with the empty
// password, which no client can give, and saving leaves the stored value alone.
TEST_F(SettingsStore, PasswordOfAnySizeBut33Or0LoadsAsEmptyAndKeepsAuthOn)
{
    SeedString("Socks5 Userid", std::string("user") + '\0');
    for (size_t nSize : {3, 4, 16, 32, 34})
    {
        SCOPED_TRACE(nSize);
        SeedInt("Socks5 Auth", 1);
        settings.strSocks5Password = "before";
        Bytes b = EncipheredPassword("secret");
        b.resize(nSize, 0);
        SeedBinary("Socks5 Password", b);
        Load();
        EXPECT_EQ(Text(settings.strSocks5Password), "");
        EXPECT_EQ(settings.bSocks5Auth, 1);
        EXPECT_EQ(settings.bPasswordUnreadable, 1);
        EXPECT_TRUE(IsPasswordValueKept(settings));

        ASSERT_TRUE(SaveSettings(settings));
        uint32_t nType;
        Bytes stored;
        ASSERT_TRUE(ReadRawValue("Socks5 Password", &nType, stored));
        EXPECT_EQ(stored, b);
        SSettings loaded;
        LoadSettings(loaded);
        EXPECT_EQ(loaded.bSocks5Auth, 1);
    }
    // With authentication off the value does not matter: the empty password is saved.
    SeedInt("Socks5 Auth", 0);
    Load();
    EXPECT_EQ(settings.bSocks5Auth, 0);
    EXPECT_FALSE(IsPasswordValueKept(settings));
}

// A value of 0 bytes is the empty password the program writes: authentication goes off.
TEST_F(SettingsStore, EmptyPasswordValueSwitchesAuthOff)
{
    SeedString("Socks5 Userid", std::string("user") + '\0');
    SeedInt("Socks5 Auth", 1);
    SeedBinary("Socks5 Password", Bytes{});
    settings.strSocks5Password = "before";
    Load();
    EXPECT_EQ(Text(settings.strSocks5Password), "");
    EXPECT_EQ(settings.bSocks5Auth, 0);
    EXPECT_EQ(settings.bPasswordUnreadable, 0);
}

TEST_F(SettingsStore, PasswordOf33BytesIsDeciphered)
{
    SeedString("Socks5 Userid", std::string("user") + '\0');
    SeedBinary("Socks5 Password", EncipheredPassword("open sesame"));
    SeedInt("Socks5 Auth", 1);
    Load();
    EXPECT_EQ(Text(settings.strSocks5Password), "open sesame");
    EXPECT_EQ(settings.bSocks5Auth, 1);

    // 32 characters: the terminator is the 33rd byte, stored as it is.
    std::string strLongest(32, 'p');
    Bytes b = EncipheredPassword(strLongest.c_str());
    EXPECT_EQ(b[32], 0);
    SeedBinary("Socks5 Password", b);
    Load();
    EXPECT_EQ(Text(settings.strSocks5Password), strLongest);
}

TEST_F(SettingsStore, PasswordWithoutAZeroByteAfterDecipheringLoadsAsEmptyAndKeepsAuthOn)
{
    Bytes b(33, 'x');
    EncipherBlocks(g_szPasswordKey, b.data(), 4);
    SeedString("Socks5 Userid", std::string("user") + '\0');
    SeedBinary("Socks5 Password", b);
    SeedInt("Socks5 Auth", 1);
    settings.strSocks5Password = "before";
    Load();
    EXPECT_EQ(Text(settings.strSocks5Password), "");
    EXPECT_EQ(settings.bSocks5Auth, 1);
    EXPECT_EQ(settings.bPasswordUnreadable, 1);
}

TEST_F(SettingsStore, AuthNeedsBothUserNameAndPassword)
{
    SeedInt("Socks5 Auth", 1);
    SeedBinary("Socks5 Password", EncipheredPassword("pw"));
    SeedString("Socks5 Userid", std::string(1, '\0'));
    Load();
    EXPECT_EQ(settings.bSocks5Auth, 0);

    SeedString("Socks5 Userid", std::string("u") + '\0');
    SeedBinary("Socks5 Password", Bytes{});
    Load();
    EXPECT_EQ(settings.bSocks5Auth, 0);

    SeedBinary("Socks5 Password", EncipheredPassword("pw"));
    Load();
    EXPECT_EQ(settings.bSocks5Auth, 1);
}

TEST_F(SettingsStore, SaveWritesEveryValueWithItsTypeAndBytes)
{
    settings.bAutoStart = 0;
    settings.addrService.sin_family = AF_INET;
    settings.addrService.sin_port = htons(1081);
    settings.addrService.sin_addr.s_addr = htonl(0x7F000001);
    settings.bSocks5 = 1;
    settings.bSocks4 = 0;
    settings.bLog = 1;
    settings.strLogFolder = "C:\\Logs";
    settings.arrIpRanges.Add(new IP_RANGE2{0xC0A80001u, 0xC0A800FEu});
    settings.bIpFilter = 1;
    settings.strSocks5Userid = "kestrel";
    settings.strSocks5Password = "pw";
    settings.bSocks5Auth = 1;
    nConnectionLimit = 250;
    ASSERT_TRUE(SaveSettings(settings));

    uint32_t nType;
    Bytes b;
    const unsigned char abLoopback[4] = {127, 0, 0, 1};
    const struct
    {
        const char* pszName;
        uint32_t nType;
        Bytes data;
    } aExpected[] = {
        {"Auto Start", 3, Le32(0)},
        {"Service Address", 3, ServiceAddressBytes(2, 1081, abLoopback)},
        {"Socks5", 3, Le32(1)},
        {"Socks4", 3, Le32(0)},
        {"Log Folder", 1, Bytes{'C', ':', '\\', 'L', 'o', 'g', 's', 0}},
        {"Log", 3, Le32(1)},
        {"IP Ranges", 3, Bytes{0x01, 0x00, 0xA8, 0xC0, 0xFE, 0x00, 0xA8, 0xC0}},
        {"IP Filter", 3, Le32(1)},
        {"Socks5 Userid", 1, Bytes{'k', 'e', 's', 't', 'r', 'e', 'l', 0}},
        {"Socks5 Password", 3, EncipheredPassword("pw")},
        {"Socks5 Auth", 3, Le32(1)},
        {"Connection Limit", 3, Le32(250)},
    };
    for (const auto& e : aExpected)
    {
        SCOPED_TRACE(e.pszName);
        ASSERT_TRUE(ReadRawValue(e.pszName, &nType, b));
        EXPECT_EQ(nType, e.nType);
        EXPECT_EQ(b, e.data);
    }
}

TEST_F(SettingsStore, SavedSettingsLoadBackUnchanged)
{
    settings.bAutoStart = 0;
    settings.addrService.sin_family = AF_INET;
    settings.addrService.sin_port = htons(65535);
    settings.addrService.sin_addr.s_addr = htonl(0x0A0B0C0D);
    settings.bSocks5 = 0;
    settings.bSocks4 = 1;
    settings.bLog = 1;
    settings.strLogFolder = (strScratch + "logs \"quoted\" \\ here").c_str();
    settings.arrIpRanges.Add(new IP_RANGE2{0x01020304u, 0x01020304u});
    settings.arrIpRanges.Add(new IP_RANGE2{0xFFFFFFFFu, 0u});
    settings.bIpFilter = 1;
    std::string strUser(255, 'U');
    settings.strSocks5Userid = strUser.c_str();
    settings.strSocks5Password = "\"\\ 32 characters of password 012";
    ASSERT_EQ(settings.strSocks5Password.GetLength(), 32);
    settings.bSocks5Auth = 1;
    nConnectionLimit = 1;
    ASSERT_TRUE(SaveSettings(settings));

    nConnectionLimit = 77;
    SSettings loaded;
    LoadSettings(loaded);
    EXPECT_EQ(loaded.bAutoStart, 0);
    EXPECT_EQ(memcmp(&loaded.addrService, &settings.addrService, sizeof(sockaddr_in)), 0);
    EXPECT_EQ(loaded.bSocks5, 0);
    EXPECT_EQ(loaded.bSocks4, 1);
    EXPECT_EQ(loaded.bLog, 1);
    EXPECT_EQ(Text(loaded.strLogFolder), Text(settings.strLogFolder));
    ASSERT_EQ(loaded.arrIpRanges.GetSize(), 2);
    EXPECT_EQ(loaded.arrIpRanges[1]->dwFirst, 0xFFFFFFFFu);
    EXPECT_EQ(loaded.arrIpRanges[1]->dwLast, 0u);
    EXPECT_EQ(loaded.bIpFilter, 1);
    EXPECT_EQ(Text(loaded.strSocks5Userid), strUser);
    EXPECT_EQ(Text(loaded.strSocks5Password), Text(settings.strSocks5Password));
    EXPECT_EQ(loaded.bSocks5Auth, 1);
    EXPECT_EQ(nConnectionLimit, 1);
}

TEST_F(SettingsStore, EmptyPasswordIsSavedAsZeroBytesAndLoadsBackEmpty)
{
    settings.strSocks5Userid = "user";
    settings.bSocks5Auth = 1;
    ASSERT_TRUE(SaveSettings(settings));
    uint32_t nType;
    Bytes b{1};
    ASSERT_TRUE(ReadRawValue("Socks5 Password", &nType, b));
    EXPECT_EQ(nType, 3u);
    EXPECT_TRUE(b.empty());

    SSettings loaded;
    loaded.strSocks5Password = "before";
    LoadSettings(loaded);
    EXPECT_EQ(Text(loaded.strSocks5Password), "");
    EXPECT_EQ(loaded.bSocks5Auth, 0);
}

TEST_F(SettingsStore, PasswordLongerThan32IsCutTo32OnSave)
{
    settings.strSocks5Userid = "user";
    settings.strSocks5Password = "0123456789abcdef0123456789ABCDEF-and-more";
    settings.bSocks5Auth = 1;
    ASSERT_TRUE(SaveSettings(settings));
    uint32_t nType;
    Bytes b;
    ASSERT_TRUE(ReadRawValue("Socks5 Password", &nType, b));
    EXPECT_EQ(b.size(), 33u);

    SSettings loaded;
    LoadSettings(loaded);
    EXPECT_EQ(Text(loaded.strSocks5Password), "0123456789abcdef0123456789ABCDEF");
    EXPECT_EQ(loaded.bSocks5Auth, 1);
}

TEST_F(SettingsStore, SavingKeepsValuesOfOtherNames)
{
    SeedString("Someone Else's", std::string("value") + '\0');
    ASSERT_TRUE(SaveSettings(settings));
    uint32_t nType;
    Bytes b;
    ASSERT_TRUE(ReadRawValue("Someone Else's", &nType, b));
    EXPECT_EQ(b, (Bytes{'v', 'a', 'l', 'u', 'e', 0}));
    ASSERT_TRUE(ReadRawValue("Auto Start", &nType, b));
}
