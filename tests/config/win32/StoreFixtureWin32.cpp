// StoreFixtureWin32.cpp: the test store as a registry key of its own, seeded with RegSetValueExA.
//
// Each test process gets HKEY_CURRENT_USER\Software\Tollgate Tests\<pid>\Tollgate, so that tests
// running side by side (and other programs' tests in the same Wine prefix) never share a key. The
// key is deleted before and after every test.
#include "tests/config/StoreFixture.h"

#include <cstdio>
#include <filesystem>

#include "config/Paths.h"
#include "config/SettingsStore.h"

namespace
{
std::string TestRoot()
{
    char sz[64];
    snprintf(sz, sizeof(sz), "Software\\Tollgate Tests\\%lu", (unsigned long)GetCurrentProcessId());
    return sz;
}

void DeleteTree(HKEY hParent, const char* pszName)
{
    HKEY hKey;
    if (RegOpenKeyExA(hParent, pszName, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS)
        return;
    char szChild[256];
    for (;;)
    {
        DWORD dwLen = sizeof(szChild);
        if (RegEnumKeyExA(hKey, 0, szChild, &dwLen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        DeleteTree(hKey, szChild);
    }
    RegCloseKey(hKey);
    RegDeleteKeyA(hParent, pszName);
}

HKEY OpenTestKey(bool bCreate, const std::string& strPath)
{
    HKEY hKey = nullptr;
    LONG n = bCreate ? RegCreateKeyExA(HKEY_CURRENT_USER, strPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                       nullptr, &hKey, nullptr)
                     : RegOpenKeyExA(HKEY_CURRENT_USER, strPath.c_str(), 0, KEY_READ, &hKey);
    return n == ERROR_SUCCESS ? hKey : nullptr;
}
} // namespace

void StoreTest::SetUp()
{
    DeleteTree(HKEY_CURRENT_USER, TestRoot().c_str());
    strStore = TestRoot() + "\\Tollgate";
    SetSettingsStorePath(strStore.c_str());

    static int nCounter = 0;
    char sz[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof(sz), sz), 0u);
    char szName[64];
    snprintf(szName, sizeof(szName), "tgcfg-%lu-%d\\", (unsigned long)GetCurrentProcessId(), ++nCounter);
    strScratch = std::string(sz) + szName;
    std::error_code ec;
    std::filesystem::remove_all(strScratch, ec);
    ASSERT_TRUE(CreateDirectoryA(strScratch.c_str(), nullptr));
    g_paths.strDataFolder = (strScratch + "data\\").c_str();
}

void StoreTest::TearDown()
{
    SetSettingsStorePath(nullptr);
    g_paths.strDataFolder = "";
    DeleteTree(HKEY_CURRENT_USER, TestRoot().c_str());
    // Gone only when no other test process still has its key in there.
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Tollgate Tests");
    std::error_code ec;
    std::filesystem::remove_all(strScratch, ec);
}

void StoreTest::SeedValue(const char* pszName, uint32_t nType, const Bytes& data)
{
    HKEY hKey = OpenTestKey(true, strStore);
    ASSERT_NE(hKey, nullptr);
    static const BYTE bNone = 0;
    LONG n = RegSetValueExA(hKey, pszName, 0, nType, data.empty() ? &bNone : data.data(), (DWORD)data.size());
    RegCloseKey(hKey);
    ASSERT_EQ(n, ERROR_SUCCESS);
}

bool StoreTest::ReadRawValue(const char* pszName, uint32_t* pnType, Bytes& data)
{
    HKEY hKey = OpenTestKey(false, strStore);
    if (hKey == nullptr)
        return false;
    DWORD dwType = 0, dwSize = 0;
    bool bOk = RegQueryValueExA(hKey, pszName, nullptr, &dwType, nullptr, &dwSize) == ERROR_SUCCESS;
    if (bOk)
    {
        data.resize(dwSize);
        bOk = RegQueryValueExA(hKey, pszName, nullptr, &dwType, data.empty() ? nullptr : data.data(),
                               &dwSize) == ERROR_SUCCESS;
        data.resize(dwSize);
        *pnType = dwType;
    }
    RegCloseKey(hKey);
    return bOk;
}

bool StoreTest::StoreExists()
{
    HKEY hKey = OpenTestKey(false, strStore);
    if (hKey != nullptr)
        RegCloseKey(hKey);
    return hKey != nullptr;
}
