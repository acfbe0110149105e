// System.cpp (Win32): system message texts, the program's path and the temporary folder.
#include "platform/Platform.h"

bool SysErrorMessage(uint32_t dwError, char* pszOut, size_t nSize)
{
    // English (United States) whatever the user's language, and no insert expanded: a message
    // with %1 placeholders would otherwise read arguments that were never passed.
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, dwError,
                             0x0409, pszOut, (DWORD)nSize, NULL);
    if (n == 0)
    {
        if (nSize > 0)
            pszOut[0] = 0;
        return false;
    }
    return true;
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
    DWORD n = GetTempPathA((DWORD)nSize, pszOut);
    if (n == 0 || n >= nSize)
        return 0;
    return n;
}

size_t SysConfigFolder(char* pszOut, size_t nSize)
{
    // The Windows program keeps its settings in the registry.
    if (nSize > 0)
        pszOut[0] = 0;
    return 0;
}
