// UserFolders.cpp (POSIX): the user's folders and id.
#include "platform/Platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
size_t CopyOut(const char* psz, size_t nLen, char* pszOut, size_t nSize)
{
    if (nLen + 1 > nSize)
        return 0;
    memcpy(pszOut, psz, nLen);
    pszOut[nLen] = 0;
    return nLen;
}
} // namespace

size_t SysStateFolder(char* pszOut, size_t nSize)
{
    const char* pszState = getenv("XDG_STATE_HOME");
    if (pszState != nullptr && pszState[0] == '/')
        return CopyOut(pszState, strlen(pszState), pszOut, nSize);
    const char* pszHome = getenv("HOME");
    if (pszHome == nullptr || pszHome[0] != '/')
    {
        const passwd* pPw = getpwuid(getuid());
        pszHome = pPw != nullptr ? pPw->pw_dir : nullptr;
    }
    if (pszHome == nullptr || pszHome[0] != '/')
        return 0;
    size_t nLen = strlen(pszHome);
    char szPath[4096];
    int n = snprintf(szPath, sizeof(szPath), "%s%s.local/state", pszHome, pszHome[nLen - 1] == '/' ? "" : "/");
    if (n <= 0 || (size_t)n >= sizeof(szPath))
        return 0;
    return CopyOut(szPath, (size_t)n, pszOut, nSize);
}

bool SysIsOwnFolder(const char* pszPath)
{
    struct stat st;
    return lstat(pszPath, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid();
}

uint32_t SysUserId()
{
    return (uint32_t)getuid();
}
