// PlatformPaths.cpp (Windows): the temporary folder, the data folder and the logon Run entry.
#include "config/Paths.h"

#include <cstring>

void GetTempFolderLeaf(CCArray& strLeaf)
{
    strLeaf = "TollgateTempDir\\";
}

bool CreateTempFolder(const char* pszFolder)
{
    CreateDirectoryA(pszFolder, nullptr);
    return true;
}

void GetDataFolder(const CCArray& strProgramFolder, CCArray& strFolder)
{
    strFolder = strProgramFolder;
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
