// PlatformPaths.cpp (POSIX): the per-user temporary folder, the data folder, and no Run entry.
#include "config/Paths.h"

#include <cstdio>

void GetTempFolderLeaf(CCArray& strLeaf)
{
    strLeaf.Format("TollgateTempDir-%u/", (unsigned)SysUserId());
}

bool CreateTempFolder(const char* pszFolder)
{
    // A folder that cannot be created for another reason is left to the writes that follow.
    if (SysCreateDirectory(pszFolder) || SysGetLastError() != ERROR_ALREADY_EXISTS)
        return true;
    // Anyone can create a name in /tmp first. A folder that is not the user's own (or not a
    // folder at all, or a link) is not used: another user could read what is written there.
    if (SysIsOwnFolder(pszFolder))
        return true;
    fprintf(stderr, "tollgate: %s does not belong to this user and is not used as the temporary folder\n",
            pszFolder);
    return false;
}

void GetDataFolder(const CCArray& strProgramFolder, CCArray& strFolder)
{
    char szState[4096];
    if (SysStateFolder(szState, sizeof(szState)) == 0)
    {
        // No home at all (a bare service account): the program's folder, as on Windows.
        strFolder = strProgramFolder;
        return;
    }
    strFolder = szState;
    if (strFolder.GetString()[strFolder.GetLength() - 1] != '/')
        strFolder += '/';
    strFolder += "tollgate/";
}

void SetAutoStart(AUTOSTARTROOT, const char*, const char*, int32_t) {}
