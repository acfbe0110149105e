// System.cpp (Win32): system message texts, the program's path and the temporary folder.
#include "platform/Platform.h"

bool SysErrorMessageIn(uint32_t dwError, uint16_t nLanguage, char* pszOut, size_t nSize)
{
    // No insert expanded: a message with %1 placeholders would otherwise read arguments that were
    // never passed.
    const DWORD dwFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD n = FormatMessageA(dwFlags, NULL, dwError, nLanguage, pszOut, (DWORD)nSize, NULL);
    // A Windows installed without that language has no texts in it (ERROR_RESOURCE_LANG_NOT_FOUND):
    // language 0 lets the system take its own.
    if (n == 0 && nLanguage != 0)
        n = FormatMessageA(dwFlags, NULL, dwError, 0, pszOut, (DWORD)nSize, NULL);
    if (n == 0)
    {
        if (nSize > 0)
            pszOut[0] = 0;
        return false;
    }
    return true;
}

bool SysErrorMessage(uint32_t dwError, char* pszOut, size_t nSize)
{
    // English (United States) whatever the user's language, where the system has it.
    return SysErrorMessageIn(dwError, 0x0409, pszOut, nSize);
}

size_t SysAnsiPath(const wchar_t* pszPath, char* pszOut, size_t nSize)
{
    BOOL bLost = FALSE;
    int n = WideCharToMultiByte(CP_ACP, 0, pszPath, -1, pszOut, (int)nSize, NULL, &bLost);
    if (n > 0 && !bLost)
        return (size_t)n - 1;
    // A character outside the code page would come out as '?', which no file name may hold. The
    // short name of an existing file or folder is plain ASCII, when the volume keeps short names.
    wchar_t szShort[MAX_PATH];
    DWORD nShort = GetShortPathNameW(pszPath, szShort, MAX_PATH);
    if (nShort == 0 || nShort >= MAX_PATH)
        return 0;
    bLost = FALSE;
    n = WideCharToMultiByte(CP_ACP, 0, szShort, -1, pszOut, (int)nSize, NULL, &bLost);
    if (n <= 0 || bLost)
        return 0;
    return (size_t)n - 1;
}

size_t SysModulePath(char* pszOut, size_t nSize)
{
    DWORD n = GetModuleFileNameA(NULL, pszOut, (DWORD)nSize);
    // A full buffer means the path was cut.
    if (n == 0 || n >= nSize)
        return 0;
    return n;
}

size_t SysTempFolder(char* pszOut, size_t nSize)
{
    // Asked in wide characters: a user name outside the code page makes the ANSI answer unusable.
    wchar_t szWide[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, szWide);
    if (n == 0 || n > MAX_PATH)
        return 0;
    size_t nLength = SysAnsiPath(szWide, pszOut, nSize);
    if (nLength == 0 || nLength >= nSize - 1)
        return 0;
    if (pszOut[nLength - 1] != '\\')
    {
        pszOut[nLength++] = '\\';
        pszOut[nLength] = 0;
    }
    return nLength;
}
