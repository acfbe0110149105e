// SetupTest.cpp: tgsetup's Install against an older Tollgate's uninstall entry, called directly
// and in a session of the real package, and the package itself under msiexec.
#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <shlobj.h>

#include "Version.h"
#include "tests/support/win32/ChildProcess.h"
#include "tests/support/win32/GuiDriver.h"

namespace
{
const char OLDER_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tollgate";
typedef UINT(__stdcall* PFN_Install)(MSIHANDLE);
std::vector<std::string> g_errors;

int __stdcall CollectError(void*, UINT nType, const char* pszMessage)
{
    if ((nType & 0xFF000000) == INSTALLMESSAGE_ERROR)
        g_errors.push_back(pszMessage);
    return IDOK;
}

class Setup : public testing::Test
{
protected:
    void SetUp() override
    {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, OLDER_KEY);
        // Install as the installer finds it: by its plain name.
        hSetup = LoadLibraryA(gui::WindowsPath(TG_SETUP_DLL).c_str());
        pfnInstall = (PFN_Install)(void*)GetProcAddress(hSetup, "Install");
        ASSERT_NE(nullptr, pfnInstall);
        MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        ASSERT_EQ(0u, MsiOpenPackageA(strPackage.c_str(), &hPackage));
        char szCode[64];
        DWORD nSize = sizeof(szCode);
        MsiGetPropertyA(hPackage, "ProductCode", szCode, &nSize);
        strOwnKey = std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") + szCode;
        char szFolder[MAX_PATH];
        ExpandEnvironmentStringsA("%ProgramFiles%\\Tollgate", szFolder, MAX_PATH);
        strFolder = szFolder;
    }
    void TearDown() override
    {
        MsiCloseHandle(hPackage);
        FreeLibrary(hSetup);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, OLDER_KEY);
        if (Registered())
            Msiexec("/x");
        std::string strNext = gui::WindowsPath(TG_NEXT_PACKAGE);
        if (Registered(nullptr, UninstallKeyOf(strNext)))
            Msiexec("/x", strNext);
    }

    void SetOlder(DWORD nType, const void* pData, DWORD nSize, const char* pszValue = "UninstallString")
    {
        HKEY hKey = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, OLDER_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                        nullptr);
        RegSetValueExA(hKey, pszValue, 0, nType, (const BYTE*)pData, nSize);
        RegCloseKey(hKey);
    }
    int64_t Msiexec(const char* pszVerb, const std::string& strMsi = std::string())
    {
        return RunChildProcess(std::string("msiexec ") + pszVerb + " \"" + (strMsi.empty() ? strPackage : strMsi) +
                                   "\" /qn",
                               "", 60000);
    }
    // The package's own uninstall entry (or that of the package with the product code), with the
    // version it shows.
    bool Registered(std::string* pstrVersion = nullptr, const std::string& strKey = std::string())
    {
        char szVersion[64] = "";
        DWORD nSize = sizeof(szVersion);
        bool bFound = RegGetValueA(HKEY_LOCAL_MACHINE, (strKey.empty() ? strOwnKey : strKey).c_str(),
                                   "DisplayVersion", RRF_RT_REG_SZ, nullptr, szVersion, &nSize) == ERROR_SUCCESS;
        if (pstrVersion)
            *pstrVersion = szVersion;
        return bFound;
    }

    // The version the package shows: the product's last two fields folded into the third.
    static std::string PackageVersion()
    {
        return std::to_string(TG_VERSION_MAJOR) + "." + std::to_string(TG_VERSION_MINOR) + "." +
               std::to_string(TG_VERSION_PATCH * 1000 + TG_VERSION_BUILD);
    }
    // The uninstall key of a package file, named by its product code.
    static std::string UninstallKeyOf(const std::string& strMsi)
    {
        MSIHANDLE hOther = 0;
        char szCode[64] = "";
        DWORD nSize = sizeof(szCode);
        if (MsiOpenPackageA(strMsi.c_str(), &hOther) == 0)
        {
            MsiGetPropertyA(hOther, "ProductCode", szCode, &nSize);
            MsiCloseHandle(hOther);
        }
        return std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") + szCode;
    }
    // The package's shortcut in the Start menu's Programs: all users' for a per-machine package on
    // Windows; Wine's installer puts it into the user's own.
    static std::string ShortcutIn(int nFolder)
    {
        char szFolder[MAX_PATH] = "";
        SHGetFolderPathA(nullptr, nFolder, nullptr, SHGFP_TYPE_CURRENT, szFolder);
        return std::string(szFolder) + "\\Tollgate.lnk";
    }
    static std::string StartMenuShortcut()
    {
        std::string strCommon = ShortcutIn(CSIDL_COMMON_PROGRAMS);
        return FileExists(strCommon) ? strCommon : ShortcutIn(CSIDL_PROGRAMS);
    }

    HMODULE hSetup = nullptr;
    PFN_Install pfnInstall = nullptr;
    MSIHANDLE hPackage = 0;
    std::string strPackage = gui::WindowsPath(TG_PACKAGE), strOwnKey, strFolder;
};
} // namespace

TEST_F(Setup, InstallRefusesOnlyWhenAnUninstallStringIsPresent)
{
    EXPECT_EQ(0u, pfnInstall((MSIHANDLE)-1));
    SetOlder(REG_SZ, "Tollgate", 9, "DisplayName"); // the key without the value
    EXPECT_EQ(0u, pfnInstall((MSIHANDLE)-1));
    const DWORD nNumber = 7;
    SetOlder(REG_DWORD, &nNumber, 4);
    EXPECT_EQ(1603u, pfnInstall((MSIHANDLE)-1));
    SetOlder(REG_SZ, "", 1);
    EXPECT_EQ(1603u, pfnInstall((MSIHANDLE)-1));
    SetOlder(REG_SZ, "C:\\Old\\uninst.exe", 17);
    EXPECT_EQ(1603u, pfnInstall((MSIHANDLE)-1));
}

TEST_F(Setup, RefusalIsShownThroughTheInstallerButNotForTheAllOnesHandle)
{
    MsiSetExternalUIA(CollectError, INSTALLLOGMODE_ERROR, nullptr);
    g_errors.clear();
    EXPECT_EQ(0u, pfnInstall(hPackage));
    SetOlder(REG_SZ, "x", 2);
    EXPECT_EQ(1603u, pfnInstall((MSIHANDLE)-1));
    EXPECT_TRUE(g_errors.empty());
    EXPECT_EQ(1603u, pfnInstall(hPackage));
    MsiSetExternalUIA(nullptr, 0, nullptr);
    EXPECT_EQ(
        std::vector<std::string>{"Setup has detected an older version of Tollgate on your system. Please "
                                 "uninstall it before installing this version."},
        g_errors);
}

TEST_F(Setup, PackageInstallsIntoTheProgramFolderAndUninstallsCleanly)
{
    ASSERT_EQ(0, Msiexec("/i"));
    EXPECT_TRUE(FileExists(strFolder + "\\Tollgate.exe"));
    EXPECT_TRUE(FileExists(strFolder + "\\dumpsend.dll"));
    std::string strVersion;
    EXPECT_TRUE(Registered(&strVersion));
    EXPECT_EQ(PackageVersion(), strVersion);
    std::string strShortcut = StartMenuShortcut();
    EXPECT_TRUE(FileExists(strShortcut)) << strShortcut;

    EXPECT_EQ(0, Msiexec("/x"));
    EXPECT_FALSE(FileExists(strFolder));
    EXPECT_FALSE(FileExists(ShortcutIn(CSIDL_COMMON_PROGRAMS)));
    EXPECT_FALSE(FileExists(ShortcutIn(CSIDL_PROGRAMS)));
    EXPECT_FALSE(Registered());
}

// The installer compares three fields: the next release replaces this one (one entry, not two
// beside each other), and this one is refused over the next.
TEST_F(Setup, NewerPackageReplacesTheOlderAndTheOlderIsRefusedOverIt)
{
    std::string strNext = gui::WindowsPath(TG_NEXT_PACKAGE);
    std::string strNextKey = UninstallKeyOf(strNext);
    ASSERT_NE(strOwnKey, strNextKey);
    ASSERT_EQ(0, Msiexec("/i"));
    ASSERT_TRUE(Registered());

    EXPECT_EQ(0, Msiexec("/i", strNext));
    std::string strVersion;
    EXPECT_TRUE(Registered(&strVersion, strNextKey));
    EXPECT_EQ(TG_NEXT_VERSION, strVersion);
    EXPECT_FALSE(Registered());
    EXPECT_TRUE(FileExists(strFolder + "\\Tollgate.exe"));

    EXPECT_NE(0, Msiexec("/i"));
    EXPECT_FALSE(Registered());
    EXPECT_TRUE(Registered(&strVersion, strNextKey));
    EXPECT_EQ(TG_NEXT_VERSION, strVersion);
    EXPECT_TRUE(FileExists(strFolder + "\\Tollgate.exe"));

    EXPECT_EQ(0, Msiexec("/x", strNext));
    EXPECT_FALSE(Registered(nullptr, strNextKey));
    EXPECT_FALSE(FileExists(strFolder));
}

TEST_F(Setup, PackageRollsBackOverAnOlderVersion)
{
    SetOlder(REG_SZ, "C:\\Old\\uninst.exe", 17);
    EXPECT_EQ(1603, Msiexec("/i"));
    EXPECT_FALSE(FileExists(strFolder));
    EXPECT_FALSE(Registered());
}

LONG WINAPI HostFilter(EXCEPTION_POINTERS*)
{
    return EXCEPTION_CONTINUE_SEARCH;
}

TEST(SetupLibrary, UnloadingPutsTheHostsFilterBack)
{
    LPTOP_LEVEL_EXCEPTION_FILTER pfnBefore = SetUnhandledExceptionFilter(HostFilter);
    HMODULE hSetup = LoadLibraryA(gui::WindowsPath(TG_SETUP_DLL).c_str());
    ASSERT_NE(nullptr, hSetup);
    // Peeking at the filter means installing another: the library's own goes back at once, so
    // that only the library's unloading can bring the host's filter back.
    LPTOP_LEVEL_EXCEPTION_FILTER pfnLibrary = SetUnhandledExceptionFilter(HostFilter);
    SetUnhandledExceptionFilter(pfnLibrary);
    EXPECT_NE((void*)HostFilter, (void*)pfnLibrary);
    EXPECT_NE(nullptr, (void*)pfnLibrary);
    FreeLibrary(hSetup);
    ASSERT_EQ(nullptr, GetModuleHandleA("tgsetup.dll"));
    // Whatever is installed now is only compared, never called: left in place by a library that
    // is gone, it would point into unmapped code.
    EXPECT_EQ((void*)HostFilter, (void*)SetUnhandledExceptionFilter(pfnBefore));
}
