// PlatformPaths.cpp (POSIX): the per-user temporary folder, the data folder, and no Run entry.
#include "config/Paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

void GetTempFolderLeaf(CCArray& strLeaf)
{
    strLeaf.Format("TollgateTempDir-%u/", (unsigned)getuid());
}

bool CreateTempFolder(const char* pszFolder)
{
    if (mkdir(pszFolder, 0700) == 0 || errno != EEXIST)
        return true;
    // Anyone can create a name in /tmp first. A folder that is not the user's own (or not a
    // folder at all, or a link) is not used: another user could read what is written there.
    struct stat st;
    if (lstat(pszFolder, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid())
        return true;
    fprintf(stderr, "tollgate: %s does not belong to this user and is not used as the temporary folder\n",
            pszFolder);
    return false;
}

void GetDataFolder(const CCArray& strProgramFolder, CCArray& strFolder)
{
    const char* pszState = getenv("XDG_STATE_HOME");
    if (pszState != nullptr && pszState[0] == '/')
    {
        strFolder = pszState;
    }
    else
    {
        const char* pszHome = getenv("HOME");
        if (pszHome == nullptr || pszHome[0] != '/')
        {
            const passwd* pPw = getpwuid(getuid());
            pszHome = pPw != nullptr ? pPw->pw_dir : nullptr;
        }
        if (pszHome == nullptr || pszHome[0] != '/')
        {
            // No home at all (a bare service account): the program's folder, as on Windows.
            strFolder = strProgramFolder;
            return;
        }
        strFolder = pszHome;
        if (strFolder.GetString()[strFolder.GetLength() - 1] != '/')
            strFolder += '/';
        strFolder += ".local/state";
    }
    if (strFolder.GetString()[strFolder.GetLength() - 1] != '/')
        strFolder += '/';
    strFolder += "tollgate/";
}

void SetAutoStart(AUTOSTARTROOT, const char*, const char*, int32_t) {}
