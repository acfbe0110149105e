// PackageTest.cpp: the installation package under msiexec, silent: install, uninstall, and the
// refusal over an older Tollgate; and tgsetup's message in a session of the package.
#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "tests/setup/SetupSupport.h"
#include "Version.h"
#include "tests/support/win32/ChildProcess.h"

namespace
{
std::vector<std::string> g_messages;

int __stdcall CollectMessage(void*, UINT nType, const char* pszMessage)
{
    if ((nType & 0xFF000000) == INSTALLMESSAGE_ERROR && pszMessage)
        g_messages.push_back(pszMessage);
    return IDOK;
}

class Package : public testing::Test
{
protected:
    void SetUp() override
    {
        strPackage = WindowsPath(TG_PACKAGE);
        ASSERT_TRUE(FileExists(strPackage)) << strPackage;
        // The product code and the program folder, as the package itself states them.
        MSIHANDLE hPackage = 0;
        MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        ASSERT_EQ((UINT)ERROR_SUCCESS, MsiOpenPackageA(strPackage.c_str(), &hPackage));
        char szCode[64];
        DWORD nSize = sizeof(szCode);
        MsiGetPropertyA(hPackage, "ProductCode", szCode, &nSize);
        MsiCloseHandle(hPackage);
        strUninstallKey = std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") + szCode;
        char szProgramFiles[MAX_PATH];
        ExpandEnvironmentStringsA("%ProgramFiles%", szProgramFiles, MAX_PATH);
        strFolder = std::string(szProgramFiles) + "\\Tollgate";
        RemoveOlderTollgate();
        if (Registered())
            Msiexec("/x");
    }
    void TearDown() override
    {
        RemoveOlderTollgate();
        if (Registered())
            Msiexec("/x");
    }

    int64_t Msiexec(const char* pszVerb)
    {
        return RunChildProcess(std::string("msiexec ") + pszVerb + " \"" + strPackage + "\" /qn", "", 60000);
    }

    bool Registered(std::string* pstrVersion = nullptr)
    {
        HKEY hKey = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, strUninstallKey.c_str(), 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
            return false;
        char szText[100] = "";
        DWORD nSize = sizeof(szText);
        RegQueryValueExA(hKey, "DisplayName", nullptr, nullptr, (BYTE*)szText, &nSize);
        EXPECT_STREQ("Tollgate", szText);
        nSize = sizeof(szText);
        szText[0] = 0;
        RegQueryValueExA(hKey, "DisplayVersion", nullptr, nullptr, (BYTE*)szText, &nSize);
        if (pstrVersion)
            *pstrVersion = szText;
        RegCloseKey(hKey);
        return true;
    }

    std::string strPackage, strUninstallKey, strFolder;
};
} // namespace

TEST_F(Package, InstallsIntoTheProgramFolderAndUninstallsCleanly)
{
    ASSERT_EQ(0, Msiexec("/i"));
    EXPECT_TRUE(FileExists(strFolder + "\\Tollgate.exe"));
    EXPECT_TRUE(FileExists(strFolder + "\\dumpsend.dll"));
    EXPECT_FALSE(FileExists(strFolder + "\\tgsetup.dll"));
    std::string strVersion;
    EXPECT_TRUE(Registered(&strVersion));
    EXPECT_EQ(TG_VERSION_STRING, strVersion);

    EXPECT_EQ(0, Msiexec("/x"));
    EXPECT_FALSE(FileExists(strFolder + "\\Tollgate.exe"));
    EXPECT_FALSE(FileExists(strFolder));
    EXPECT_FALSE(Registered());
}

TEST_F(Package, RefusesOverAnOlderVersionAndLeavesNothing)
{
    SetOlderTollgate(REG_SZ, "C:\\Old\\uninst.exe", 17);
    EXPECT_EQ(1603, Msiexec("/i"));
    EXPECT_FALSE(FileExists(strFolder));
    EXPECT_FALSE(Registered());
}

TEST_F(Package, InstallRefusesThroughTheInstallerExceptForTheAllOnesHandle)
{
    PFN_Install pfnInstall = LoadInstall();
    ASSERT_NE(nullptr, pfnInstall);
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
