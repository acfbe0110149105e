// UserFolders.cpp (Win32): the user's folders. A file of its own, so that only a program that asks
// for them links the shell (dumpsend.dll links the platform and must import system DLLs only).
#include "platform/Platform.h"

#include <shlobj.h>

size_t SysConfigFolder(char* pszOut, size_t nSize)
{
    // The Windows program keeps its settings in the registry.
    if (nSize > 0)
        pszOut[0] = 0;
    return 0;
}

size_t SysStateFolder(char* pszOut, size_t nSize)
{
    // Per user, in the user's local application data: an installed program's folder is not
    // writable for its user.
    wchar_t szWide[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                                szWide)))
        return 0;
    return SysAnsiPath(szWide, pszOut, nSize);
}

bool SysIsOwnFolder(const char* pszPath)
{
    return SysIsDirectory(pszPath);
}
