// SetupTest.cpp: tgsetup's Install called directly, against the uninstall entry of an older
// Tollgate and with the installer sessions of the real package.
#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "tests/setup/SetupSupport.h"

namespace
{
typedef UINT(__stdcall* PFN_Install)(MSIHANDLE);

std::vector<std::string> g_messages;

int __stdcall CollectMessage(void*, UINT nType, const char* pszMessage)
{
    if ((nType & 0xFF000000) == INSTALLMESSAGE_ERROR && pszMessage)
        g_messages.push_back(pszMessage);
    return IDOK;
}

class SetupInstall : public testing::Test
{
protected:
    void SetUp() override
    {
        RemoveOlderTollgate();
        hSetup = LoadLibraryA(WindowsPath(TG_SETUP_DLL).c_str());
        ASSERT_NE(nullptr, hSetup);
        pfnInstall = (PFN_Install)(void*)GetProcAddress(hSetup, "Install");
        ASSERT_NE(nullptr, pfnInstall);
    }
    void TearDown() override { RemoveOlderTollgate(); }

    HMODULE hSetup = nullptr;
    PFN_Install pfnInstall = nullptr;
};
} // namespace

TEST_F(SetupInstall, GoesOnWithoutAnOlderUninstallString)
{
    EXPECT_EQ(0u, pfnInstall((MSIHANDLE)-1));
    // The key alone, without the value, is no older installation.
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, OLDER_TOLLGATE_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &hKey, nullptr));
    RegSetValueExA(hKey, "DisplayName", 0, REG_SZ, (const BYTE*)"Tollgate", 9);
    RegCloseKey(hKey);
    EXPECT_EQ(0u, pfnInstall((MSIHANDLE)-1));
}

TEST_F(SetupInstall, RefusesWithAnyUninstallString)
{
    const DWORD nNumber = 7;
    struct
    {
        DWORD nType;
        const void* pData;
        DWORD nSize;
    } values[] = {{REG_SZ, "C:\\Old\\uninst.exe", 17}, {REG_SZ, "", 1}, {REG_DWORD, &nNumber, 4}};
    for (const auto& value : values)
    {
        SetOlderTollgate(value.nType, value.pData, value.nSize);
        EXPECT_EQ(1603u, pfnInstall((MSIHANDLE)-1)) << "value type " << value.nType;
    }
}

TEST_F(SetupInstall, RefusalIsShownThroughTheInstallerExceptForTheAllOnesHandle)
{
    std::string strPackage = WindowsPath(TG_PACKAGE);
    MSIHANDLE hPackage = 0;
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    ASSERT_EQ((UINT)ERROR_SUCCESS, MsiOpenPackageA(strPackage.c_str(), &hPackage)) << strPackage;
    MsiSetExternalUIA(CollectMessage, INSTALLLOGMODE_ERROR, nullptr);
    g_messages.clear();

    EXPECT_EQ(0u, pfnInstall(hPackage));
    EXPECT_TRUE(g_messages.empty());

    SetOlderTollgate(REG_SZ, "x", 2);
    EXPECT_EQ(1603u, pfnInstall((MSIHANDLE)-1));
    EXPECT_TRUE(g_messages.empty());
    EXPECT_EQ(1603u, pfnInstall(hPackage));
    ASSERT_EQ(1u, g_messages.size());
    EXPECT_EQ("Setup has detected an older version of Tollgate on your system. Please uninstall it before "
              "installing this version.",
              g_messages[0]);
    MsiSetExternalUIA(nullptr, 0, nullptr);
    MsiCloseHandle(hPackage);
}
