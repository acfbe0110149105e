// PlatformPaths.cpp (Windows): the temporary folder, the data folder and the logon Run entry.
#include "config/Paths.h"

#include "foundation/TextHelpers.h"

#include <cstring>

#include <shlobj.h>

void GetTempFolderLeaf(CCArray& strLeaf)
{
    strLeaf = "TollgateTempDir\\";
}

bool CreateTempFolder(const char* pszFolder)
{
    // Normally it exists already, from an earlier run.
    if (CreateDirectoryA(pszFolder, nullptr))
        return true;
    DWORD dwAttributes = GetFileAttributesA(pszFolder);
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

void GetDataFolder(const CCArray& strProgramFolder, CCArray& strFolder)
{
    // Per user, in the user's local application data: an installed program's folder is not
    // writable for its user. Only when the system names no such folder does the program's own
    // folder stand in.
    wchar_t szWide[MAX_PATH];
    char szFolder[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                                szWide)) ||
        SysAnsiPath(szWide, szFolder, sizeof(szFolder)) == 0)
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
