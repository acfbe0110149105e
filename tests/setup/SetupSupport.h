// SetupSupport.h: the uninstall entry of an older Tollgate, and paths for the setup tests.
#pragma once

#include <windows.h>
#include <msi.h>

#include <string>

#include "tests/support/win32/ChildProcess.h"

static const char OLDER_TOLLGATE_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tollgate";

// An older Tollgate's "UninstallString" of the given type and bytes.
inline void SetOlderTollgate(DWORD nType, const void* pData, DWORD nSize)
{
    HKEY hKey = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, OLDER_TOLLGATE_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                        nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(hKey, "UninstallString", 0, nType, (const BYTE*)pData, nSize);
    RegCloseKey(hKey);
}

inline void RemoveOlderTollgate()
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, OLDER_TOLLGATE_KEY);
}

typedef UINT(__stdcall* PFN_Install)(MSIHANDLE);

// tgsetup's Install, looked up by its plain name as the installer does; null when missing.
inline PFN_Install LoadInstall()
{
    HMODULE hSetup = LoadLibraryA(WindowsPath(TG_SETUP_DLL).c_str());
    return hSetup ? (PFN_Install)(void*)GetProcAddress(hSetup, "Install") : nullptr;
}
