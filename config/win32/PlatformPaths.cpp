// PlatformPaths.cpp (Windows): the temporary folder, the data folder and the logon Run entry (a
// registry value, written here as the settings are in config/win32/SettingsKey.cpp).
#include "config/Paths.h"

#include "foundation/TextHelpers.h"

#include <cstring>

void GetTempFolderLeaf(CCArray& strLeaf)
{
    strLeaf = "TollgateTempDir\\";
}

bool CreateTempFolder(const char* pszFolder)
{
    // Normally it exists already, from an earlier run.
    return SysCreateDirectory(pszFolder) || SysIsDirectory(pszFolder);
}

void GetDataFolder(const CCArray& strProgramFolder, CCArray& strFolder)
{
    // Only when the system names no local application data folder does the program's own folder
    // stand in.
    char szFolder[MAX_PATH];
    if (SysStateFolder(szFolder, sizeof(szFolder)) == 0)
    {
        strFolder = strProgramFolder;
        return;
    }
    strFolder = szFolder;
    AddTrailingBackslash(strFolder);
    strFolder += "Kestrel Co\\Tollgate\\";
}

void SetAutoStart(AUTOSTARTROOT hRoot, const char* pszValueName, const char* pszProgramPath, int32_t bEnable)
{
    // Only a path on a drive letter: a network path may not be there at the next logon.
    if (pszProgramPath == nullptr || strlen(pszProgramPath) < 3 || pszProgramPath[1] != ':' ||
        pszProgramPath[2] != '\\')
        return;
    char szShort[MAX_PATH];
    DWORD dwShort = GetShortPathNameA(pszProgramPath, szShort, sizeof(szShort));
    const char* pszValue = (dwShort > 0 && dwShort < sizeof(szShort)) ? szShort : pszProgramPath;

    HKEY hKey;
    if (RegOpenKeyExA(hRoot, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0, KEY_SET_VALUE, &hKey) !=
        ERROR_SUCCESS)
        return;
    if (bEnable == 0)
        RegDeleteValueA(hKey, pszValueName);
    else
        RegSetValueExA(hKey, pszValueName, 0, REG_SZ, (const BYTE*)pszValue, (DWORD)strlen(pszValue) + 1);
    RegCloseKey(hKey);
}
