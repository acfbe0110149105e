// RegistryTest.cpp: the settings key in the real registry, the fixture imported into it, the
// logon Run entry and the program's paths, under Windows (Wine in the build).
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <shlobj.h>

#include "config/Paths.h"
#include "config/RegText.h"
#include "config/SettingsStore.h"
#include "tests/config/FixtureRecord.h"
#include "tests/config/StoreFixture.h"

namespace
{
const char szRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char szFixtureKey[] = "[HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate]";

bool KeyExists(const char* pszPath)
{
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, pszPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

// The fixture's settings key, parsed.
const SRegKeyText* FixtureKey(CRegText& text)
{
    std::string s = ReadFixture();
    CCArray strError;
    EXPECT_TRUE(text.Parse(s.data(), s.size(), strError)) << FixturePath() << ": " << strError.GetString();
    return text.FindKey("HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate", false);
}

class Registry : public StoreTest
{
};

// The Run entry under a name of this process's own, removed before and after.
class AutoStart : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char sz[64];
        snprintf(sz, sizeof(sz), "Tollgate Test %lu", (unsigned long)GetCurrentProcessId());
        strName = sz;
        HKEY hKey;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, szRunKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                                  nullptr),
                  ERROR_SUCCESS);
        RegDeleteValueA(hKey, strName.c_str());
        RegCloseKey(hKey);
    }
    void TearDown() override
    {
        HKEY hKey;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, szRunKey, 0, KEY_SET_VALUE, &hKey) == ERROR_SUCCESS)
        {
            RegDeleteValueA(hKey, strName.c_str());
            RegCloseKey(hKey);
        }
    }

    // The entry's type and bytes; false when it is absent.
    bool ReadEntry(DWORD* pType, std::string& strData)
    {
        HKEY hKey;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, szRunKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
            return false;
        char sz[1024];
        DWORD dwSize = sizeof(sz);
        bool bOk =
            RegQueryValueExA(hKey, strName.c_str(), nullptr, pType, (BYTE*)sz, &dwSize) == ERROR_SUCCESS;
        RegCloseKey(hKey);
        if (bOk)
            strData.assign(sz, dwSize);
        return bOk;
    }

    std::string strName;
};
} // namespace

TEST_F(Registry, TheStoreIsTheKestrelCoTollgateKeyOfTheCurrentUser)
{
    SetSettingsStorePath(nullptr);
    CCArray strPath;
    GetSettingsStorePath(strPath);
    EXPECT_STREQ(strPath.GetString(), "Software\\Kestrel Co\\Tollgate");

    // A probe value of this process's own, so that nothing else in the key is disturbed.
    bool bCompanyExisted = KeyExists("Software\\Kestrel Co");
    bool bKeyExisted = KeyExists("Software\\Kestrel Co\\Tollgate");
    char szProbe[64];
    snprintf(szProbe, sizeof(szProbe), "config test probe %lu", (unsigned long)GetCurrentProcessId());
    SETTINGSKEY hKey = OpenSettingsKey();
    ASSERT_NE(hKey, nullptr);
    EXPECT_TRUE(WriteSettingsValue(hKey, szProbe, SETTINGS_TYPE_BINARY, "\x01\x02\x03", 3));
    EXPECT_TRUE(CloseSettingsKey(hKey));

    HKEY hReal;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Kestrel Co\\Tollgate", 0, KEY_ALL_ACCESS, &hReal),
              ERROR_SUCCESS);
    BYTE ab[8];
    DWORD dwType = 0, dwSize = sizeof(ab);
    EXPECT_EQ(RegQueryValueExA(hReal, szProbe, nullptr, &dwType, ab, &dwSize), ERROR_SUCCESS);
    EXPECT_EQ(dwType, (DWORD)REG_BINARY);
    EXPECT_EQ(dwSize, 3u);
    RegDeleteValueA(hReal, szProbe);
    RegCloseKey(hReal);
    if (!bKeyExisted)
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Kestrel Co\\Tollgate");
    if (!bCompanyExisted)
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Kestrel Co");
}

TEST_F(Registry, LoadingCreatesTheKeyLevelByLevel)
{
    ASSERT_FALSE(StoreExists());
    SSettings s;
    LoadSettings(s);
    EXPECT_TRUE(StoreExists());
    EXPECT_EQ(s.bAutoStart, 1);
}

TEST_F(Registry, FixtureValuesSetWithRegSetValueLoadToTheFixtureRecord)
{
    CRegText text;
    const SRegKeyText* pKey = FixtureKey(text);
    ASSERT_NE(pKey, nullptr);
    ASSERT_EQ(pKey->arrValues.GetSize(), 12);
    for (int i = 0; i < pKey->arrValues.GetSize(); i++)
    {
        const SRegValue* p = pKey->arrValues[i];
        SeedValue(p->strName.GetString(), p->nType, Bytes(p->data.pData, p->data.pData + p->data.GetSize()));
    }
    SSettings s;
    LoadSettings(s);
    ExpectFixtureRecord(s);
}

TEST_F(Registry, SavingTheFixtureRecordStoresTheFixtureBytes)
{
    SSettings s;
    FillFixtureRecord(s, nConnectionLimit);
    ASSERT_TRUE(SaveSettings(s));

    CRegText text;
    const SRegKeyText* pKey = FixtureKey(text);
    ASSERT_NE(pKey, nullptr);
    for (int i = 0; i < pKey->arrValues.GetSize(); i++)
    {
        const SRegValue* p = pKey->arrValues[i];
        SCOPED_TRACE(p->strName.GetString());
        uint32_t nType = 0;
        Bytes data;
        ASSERT_TRUE(ReadRawValue(p->strName.GetString(), &nType, data));
        EXPECT_EQ(nType, p->nType);
        EXPECT_EQ(data, Bytes(p->data.pData, p->data.pData + p->data.GetSize()));
    }
}

TEST_F(Registry, FixtureImportedByRegeditLoadsToTheFixtureRecord)
{
    // The file as it is, only with the test's key in place of the program's: regedit must take
    // the signature and end comments, the escapes and the wrapped hex lists.
    std::string s = ReadFixture();
    size_t nAt = s.find(szFixtureKey);
    ASSERT_NE(nAt, std::string::npos);
    s.replace(nAt, strlen(szFixtureKey), "[HKEY_CURRENT_USER\\" + strStore + "]");
    std::string strFile = strScratch + "import.reg";
    {
        std::ofstream out(strFile, std::ios::binary);
        out << s;
    }

    std::string strCommand = "regedit.exe /S \"" + strFile + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(
        CreateProcessA(nullptr, &strCommand[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    uint32_t nType = 0;
    Bytes data;
    ASSERT_TRUE(ReadRawValue("Socks5 Password", &nType, data));
    EXPECT_EQ(nType, (uint32_t)REG_BINARY);
    EXPECT_EQ(data.size(), 33u);
    SSettings settings;
    LoadSettings(settings);
    ExpectFixtureRecord(settings);
}

TEST_F(AutoStart, EnablingWritesTheShortPathAndDisablingRemovesIt)
{
    char szModule[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, szModule, sizeof(szModule)), 0u);
    ASSERT_EQ(szModule[1], ':');
    char szShort[MAX_PATH];
    ASSERT_GT(GetShortPathNameA(szModule, szShort, sizeof(szShort)), 0u);

    SetAutoStart(HKEY_CURRENT_USER, strName.c_str(), szModule, 1);
    DWORD dwType = 0;
    std::string strData;
    ASSERT_TRUE(ReadEntry(&dwType, strData));
    EXPECT_EQ(dwType, (DWORD)REG_SZ);
    EXPECT_EQ(strData, std::string(szShort) + '\0') << "the short path, with its terminator counted";

    SetAutoStart(HKEY_CURRENT_USER, strName.c_str(), szModule, 0);
    EXPECT_FALSE(ReadEntry(&dwType, strData));
    SetAutoStart(HKEY_CURRENT_USER, strName.c_str(), szModule, 0); // absent already: no harm
    EXPECT_FALSE(ReadEntry(&dwType, strData));
}

TEST_F(AutoStart, APathWithoutShortFormIsWrittenAsItIs)
{
    const char szMissing[] = "C:\\No Such Folder\\Tollgate Program.exe";
    SetAutoStart(HKEY_CURRENT_USER, strName.c_str(), szMissing, 1);
    DWORD dwType = 0;
    std::string strData;
    ASSERT_TRUE(ReadEntry(&dwType, strData));
    EXPECT_EQ(strData, std::string(szMissing) + '\0');
}

TEST_F(AutoStart, OnlyPathsOnADriveLetterAreEverRegistered)
{
    for (const char* psz : {"\\\\server\\share\\Tollgate.exe", "Tollgate.exe", "C:Tollgate.exe", "C:", ""})
    {
        SCOPED_TRACE(psz);
        SetAutoStart(HKEY_CURRENT_USER, strName.c_str(), psz, 1);
        DWORD dwType;
        std::string strData;
        EXPECT_FALSE(ReadEntry(&dwType, strData));
    }
}

TEST(PathsWin32, ProgramAndTemporaryFoldersComeFromTheSystem)
{
    ASSERT_TRUE(InitPaths());
    char sz[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, sz, sizeof(sz)), 0u);
    EXPECT_STREQ(g_paths.strModulePath.GetString(), sz);
    std::string strModule = sz;
    EXPECT_EQ(std::string(g_paths.strProgramFolder.GetString()),
              strModule.substr(0, strModule.rfind('\\') + 1));
    // The data folder is the user's: an installed program's folder is not writable for its user.
    char szLocal[MAX_PATH];
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, szLocal)));
    std::string strData = std::string(szLocal) + "\\Kestrel Co\\Tollgate\\";
    EXPECT_EQ(strData, std::string(g_paths.strDataFolder.GetString()));

    ASSERT_GT(GetTempPathA(sizeof(sz), sz), 0u);
    std::string strTemp = sz;
    if (strTemp.back() != '\\')
        strTemp += '\\';
    EXPECT_EQ(std::string(g_paths.strTempFolder.GetString()), strTemp + "TollgateTempDir\\");
    DWORD dwAttributes = GetFileAttributesA(g_paths.strTempFolder.GetString());
    ASSERT_NE(dwAttributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(dwAttributes & FILE_ATTRIBUTE_DIRECTORY);

    CCArray strLog;
    GetDefaultLogFolder(strLog);
    EXPECT_EQ(strData + "Log", std::string(strLog.GetString()));
}

// With no "Log Folder" stored, the loaded settings name the per-user folder, which exists
// afterwards; a stored folder is kept as it is.
TEST(PathsWin32, SettingsWithoutALogFolderUseThePerUserOneAndKeepAStoredOne)
{
    ASSERT_TRUE(InitPaths());
    char sz[MAX_PATH];
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, sz)));
    std::string strExpected = std::string(sz) + "\\Kestrel Co\\Tollgate\\Log";
    const char szKey[] = "Software\\Kestrel Co\\Tollgate";
    HKEY hKey;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, szKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &hKey, nullptr));
    RegDeleteValueA(hKey, "Log Folder");
    SSettings settings;
    LoadSettings(settings);
    EXPECT_EQ(strExpected, std::string(settings.strLogFolder.GetString()));
    DWORD dwAttributes = GetFileAttributesA(strExpected.c_str());
    EXPECT_TRUE(dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY));

    const char szStored[] = "C:\\Program Files\\Tollgate\\Log";
    RegSetValueExA(hKey, "Log Folder", 0, REG_SZ, (const BYTE*)szStored, sizeof(szStored));
    LoadSettings(settings);
    EXPECT_STREQ(szStored, settings.strLogFolder.GetString());
    RegDeleteValueA(hKey, "Log Folder");
    RegCloseKey(hKey);
}

// A user name outside the code page puts characters into the temporary folder's path that the
// program's 8-bit paths cannot hold: the folder is reached by its short path instead.
TEST(PathsWin32, ATemporaryFolderOutsideTheCodePageIsTakenByItsShortPath)
{
    wchar_t szOld[MAX_PATH] = L"";
    bool bHadTmp = GetEnvironmentVariableW(L"TMP", szOld, MAX_PATH) > 0;
    wchar_t szTemp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, szTemp), 0u);
    std::wstring strFolder = std::wstring(szTemp) + L"tg-\x0416\x0436-\x6771\x4eac-" +
                             std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(strFolder.c_str(), nullptr));
    wchar_t szShort[MAX_PATH];
    bool bShortNames = GetShortPathNameW(strFolder.c_str(), szShort, MAX_PATH) > 0;
    SetEnvironmentVariableW(L"TMP", strFolder.c_str());
    bool bOk = InitPaths();
    SetEnvironmentVariableW(L"TMP", bHadTmp ? szOld : nullptr);
    ASSERT_TRUE(bOk);
    std::string strTemp = g_paths.strTempFolder.GetString();
    EXPECT_EQ(std::string::npos, strTemp.find('?')) << strTemp;
    DWORD dwAttributes = GetFileAttributesA(strTemp.c_str());
    EXPECT_TRUE(dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) << strTemp;
    if (bShortNames)
    {
        wchar_t szLong[MAX_PATH];
        std::wstring strWideTemp(strTemp.begin(), strTemp.end());
        ASSERT_GT(GetLongPathNameW(strWideTemp.c_str(), szLong, MAX_PATH), 0u);
        EXPECT_EQ(strFolder + L"\\TollgateTempDir\\", std::wstring(szLong));
    }
    RemoveDirectoryA(strTemp.c_str());
    RemoveDirectoryW(strFolder.c_str());
    ASSERT_TRUE(InitPaths());
}
