// UserFolders.cpp (POSIX): the user's configuration and state folders, and the user's id.
#include "platform/Platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// The first nFirst bytes of pszFirst and then pszSecond into pszOut when they fit; the length,
// else 0.
size_t PutText(char* pszOut, size_t nSize, const char* pszFirst, size_t nFirst, const char* pszSecond)
{
    int n = snprintf(pszOut, nSize, "%.*s%s", (int)nFirst, pszFirst, pszSecond);
    return n > 0 && (size_t)n < nSize ? (size_t)n : 0;
}

// The user's home folder: $HOME when it is absolute, else the user's account's; null when neither
// is.
const char* HomeFolder()
{
    const char* pszHome = getenv("HOME");
    if (pszHome == nullptr || pszHome[0] != '/')
    {
        const passwd* pPw = getpwuid(getuid());
        pszHome = pPw != nullptr ? pPw->pw_dir : nullptr;
    }
    return pszHome != nullptr && pszHome[0] == '/' ? pszHome : nullptr;
}
} // namespace

size_t SysConfigFolder(char* pszOut, size_t nSize)
{
    const char* pszXdg = getenv("XDG_CONFIG_HOME");
    if (pszXdg && pszXdg[0] == '/')
    {
        size_t nLen = strlen(pszXdg);
        while (nLen > 1 && pszXdg[nLen - 1] == '/')
            nLen--;
        return PutText(pszOut, nSize, pszXdg, nLen, "");
    }
    const char* pszHome = HomeFolder();
    if (!pszHome)
        return 0;
    size_t nLen = strlen(pszHome);
    while (nLen > 1 && pszHome[nLen - 1] == '/')
        nLen--;
    return PutText(pszOut, nSize, pszHome, nLen, "/.config");
}

size_t SysStateFolder(char* pszOut, size_t nSize)
{
    const char* pszState = getenv("XDG_STATE_HOME");
    if (pszState != nullptr && pszState[0] == '/')
        return PutText(pszOut, nSize, pszState, strlen(pszState), "");
    const char* pszHome = HomeFolder();
    if (pszHome == nullptr)
        return 0;
    size_t nHome = strlen(pszHome);
    return PutText(pszOut, nSize, pszHome, nHome, pszHome[nHome - 1] == '/' ? ".local/state" : "/.local/state");
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
