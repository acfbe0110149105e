// SetupTest.cpp: tgsetup's Install called directly, against the uninstall entry of an older
// Tollgate.
#include <gtest/gtest.h>

#include "tests/setup/SetupSupport.h"

namespace
{
class SetupInstall : public testing::Test
{
protected:
    void SetUp() override
    {
        RemoveOlderTollgate();
        pfnInstall = LoadInstall();
        ASSERT_NE(nullptr, pfnInstall);
    }
    void TearDown() override { RemoveOlderTollgate(); }

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

namespace
{
LONG WINAPI HostFilter(EXCEPTION_POINTERS*)
{
    return EXCEPTION_CONTINUE_SEARCH;
}

// Unloads the library completely, whoever loaded it before.
void UnloadSetupLibrary()
{
    for (HMODULE hSetup; (hSetup = GetModuleHandleA("tgsetup.dll")) != nullptr && FreeLibrary(hSetup);)
    {
    }
}
} // namespace

TEST(SetupLibrary, UnloadingPutsTheHostsFilterBack)
{
    UnloadSetupLibrary();
    LPTOP_LEVEL_EXCEPTION_FILTER pfnBefore = SetUnhandledExceptionFilter(HostFilter);
    HMODULE hSetup = LoadLibraryA(WindowsPath(TG_SETUP_DLL).c_str());
    ASSERT_NE(nullptr, hSetup);
    // Loaded, the library's crash handler is the process's filter.
    LPTOP_LEVEL_EXCEPTION_FILTER pfnLoaded = SetUnhandledExceptionFilter(HostFilter);
    SetUnhandledExceptionFilter(pfnLoaded);
    EXPECT_NE((void*)HostFilter, (void*)pfnLoaded);
    UnloadSetupLibrary();
    EXPECT_EQ(nullptr, GetModuleHandleA("tgsetup.dll"));
    EXPECT_EQ((void*)HostFilter, (void*)SetUnhandledExceptionFilter(pfnBefore));
}
