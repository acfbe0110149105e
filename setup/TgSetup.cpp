// TgSetup.cpp: the custom action, its error report and the library's entry point.
#include "setup/TgSetup.h"

#include <msiquery.h>

#include "crash/CrashHandler.h"

namespace
{
HMODULE g_hModule;

const char OLDER_VERSION_TEXT[] = "Setup has detected an older version of Tollgate on your system. Please "
                                  "uninstall it before installing this version.";
const char GENERIC_ERROR_TEXT[] = "Setup error. Restart Windows, close all programs, then run Setup again.";
} // namespace

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD nReason, void* pReserved)
{
    if (nReason == DLL_PROCESS_ATTACH)
    {
        g_hModule = hInstance;
        // Inside the installer's process only faults in this library's own code are ours to
        // report, and there is nobody to ask.
        InstallCrashHandler(1, nullptr);
    }
    // The installer unloads the library after the action while its process goes on: the
    // process's filter must not be left pointing into the unloaded code.
    if (nReason == DLL_PROCESS_DETACH && pReserved == nullptr)
        RemoveCrashHandler();
    return TRUE;
}

extern "C" UINT __stdcall Install(MSIHANDLE hInstall)
{
    if (RegistryValueExists(HKEY_LOCAL_MACHINE,
                            "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tollgate",
                            "UninstallString"))
        return ReportInstallError(hInstall, OLDER_VERSION_TEXT);
    return ERROR_SUCCESS;
}

UINT ReportInstallError(MSIHANDLE hInstall, const char* pszText)
{
    if (hInstall == (MSIHANDLE)-1)
        return ERROR_INSTALL_FAILURE;
    // Field 0 of a record is its template: the text is shown as it is.
    MSIHANDLE hRecord = MsiCreateRecord(0);
    MsiRecordSetStringA(hRecord, 0, pszText ? pszText : GENERIC_ERROR_TEXT);
    MsiProcessMessage(hInstall, INSTALLMESSAGE_ERROR, hRecord);
    if (hRecord)
        MsiCloseHandle(hRecord);
    return ERROR_INSTALL_FAILURE;
}

bool RegistryValueExists(HKEY hRoot, const char* pszSubKey, const char* pszValueName)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(hRoot, pszSubKey, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return false;
    // A one-byte buffer: any longer value answers ERROR_MORE_DATA, which means present as well.
    BYTE nByte = 0;
    DWORD nSize = sizeof(nByte);
    LONG nResult = RegQueryValueExA(hKey, pszValueName, nullptr, nullptr, &nByte, &nSize);
    RegCloseKey(hKey);
    return nResult == ERROR_SUCCESS || nResult == ERROR_MORE_DATA;
}
