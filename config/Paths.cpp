// Paths.cpp: the program's paths, its temporary folder and the default log folder.
#include "config/Paths.h"

#include <cstring>

#include "foundation/Array.h"
#include "foundation/TextHelpers.h"

SPaths g_paths;

namespace
{
// Long enough for any path either system hands out.
const size_t PATH_BUFFER = 4096;

void CollectName(const char* pszName, void* pContext)
{
    CArrayObj<CCArray, CCArray&>* pNames = (CArrayObj<CCArray, CCArray&>*)pContext;
    if (strcmp(pszName, ".") != 0 && strcmp(pszName, "..") != 0)
        pNames->Add(CCArray(pszName));
}
} // namespace

bool InitPaths()
{
    char szPath[PATH_BUFFER];
    if (SysModulePath(szPath, sizeof(szPath)) == 0)
        return false;
    g_paths.strModulePath = szPath;
    g_paths.strProgramFolder.Left(g_paths.strModulePath,
                                  g_paths.strModulePath.ReverseFind(PATH_SEPARATOR) + 1);

    GetDataFolder(g_paths.strProgramFolder, g_paths.strDataFolder);

    if (SysTempFolder(szPath, sizeof(szPath)) != 0)
        g_paths.strTempFolder = szPath;
    else
        g_paths.strTempFolder = g_paths.strProgramFolder;
    AddTrailingBackslash(g_paths.strTempFolder);
    CCArray strLeaf;
    GetTempFolderLeaf(strLeaf);
    g_paths.strTempFolder += strLeaf;
    if (!CreateTempFolder(g_paths.strTempFolder.GetString()))
    {
        g_paths.strTempFolder = g_paths.strDataFolder + strLeaf;
        CreateFolderPath(g_paths.strTempFolder.GetString());
    }
    return true;
}

void CleanTempFolder()
{
    if (g_paths.strTempFolder.IsEmpty())
        return;
    // The names are gathered first and deleted afterwards, so that no deletion runs while the
    // folder is being listed.
    CArrayObj<CCArray, CCArray&> arrNames;
    if (!SysListFolder(g_paths.strTempFolder.GetString(), CollectName, &arrNames))
        return;
    for (int32_t i = 0; i < arrNames.GetSize(); i++)
    {
        // Folders are not files: deleting one fails, so subfolders and their contents stay.
        CCArray strPath = g_paths.strTempFolder + arrNames[i];
        SysDeleteFile(strPath.GetString());
    }
}

void GetDefaultLogFolder(CCArray& strFolder)
{
    strFolder = g_paths.strDataFolder + "Log";
}

bool CreateFolderPath(const char* pszFolder)
{
    if (pszFolder == nullptr || *pszFolder == 0)
        return false;
    if (SysIsDirectory(pszFolder))
        return true;
    // Every level from the top down; levels that exist (or cannot exist, like "C:" or a server
    // name) simply fail.
    CCArray strPart;
    size_t nLength = strlen(pszFolder);
    for (size_t i = 1; i < nLength; i++)
    {
        if (pszFolder[i] != PATH_SEPARATOR || pszFolder[i - 1] == PATH_SEPARATOR || pszFolder[i - 1] == ':')
            continue;
        strPart.SetText(pszFolder, (int32_t)i);
        SysCreateDirectory(strPart.GetString());
    }
    SysCreateDirectory(pszFolder);
    return SysIsDirectory(pszFolder);
}
