// OpenDocument.cpp: registered open commands, executable types and the folder chooser.
#include "ui/OpenDocument.h"

#include <shlobj.h>

#include <cstdio>
#include <cstring>

#include "foundation/TextHelpers.h"
#include "ui/CommandTemplate.h"

namespace
{
// Registry values are read into buffers of this size; a command line is one character shorter
// at most, and the placeholder expansion one shorter again.
const DWORD nValueSize = 1024;
const size_t nExpansionSize = 1023;

IMalloc* g_pShellMalloc = nullptr;

// The default value of hKey\pszSubKey as text; false when the key or value is missing.
bool ReadDefaultValue(HKEY hKey, const char* pszSubKey, char* pszOut)
{
    HKEY hSub;
    if (RegOpenKeyExA(hKey, pszSubKey, 0, KEY_QUERY_VALUE, &hSub) != ERROR_SUCCESS)
        return false;
    DWORD dwType = 0, dwSize = nValueSize - 1;
    LONG nResult =
        RegQueryValueExA(hSub, nullptr, nullptr, &dwType, reinterpret_cast<BYTE*>(pszOut), &dwSize);
    RegCloseKey(hSub);
    if (nResult != ERROR_SUCCESS || (dwType != REG_SZ && dwType != REG_EXPAND_SZ))
        return false;
    pszOut[dwSize] = 0;
    return true;
}

bool IsNtFamily()
{
    static int nNt = -1;
    if (nNt < 0)
    {
        OSVERSIONINFOA info;
        memset(&info, 0, sizeof(info));
        info.dwOSVersionInfoSize = sizeof(info);
        nNt = GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT ? 1 : 0;
    }
    return nNt == 1;
}

// The signature of an .exe file: "MZ" unless its new header says "NE" or "PE".
uint32_t InspectExecutable(const char* pszProgram)
{
    HANDLE hFile =
        CreateFileA(pszProgram, GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        hFile = CreateFileA(pszProgram, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return 0;

    // Looking at a viewer must not count as using it: its last-access time is put back.
    FILETIME ftAccess;
    if (GetFileTime(hFile, nullptr, &ftAccess, nullptr))
        SetFileTime(hFile, nullptr, &ftAccess, nullptr);

    uint32_t dwType = 0;
    unsigned char header[64];
    DWORD dwRead = 0;
    if (ReadFile(hFile, header, sizeof(header), &dwRead, nullptr) && dwRead == sizeof(header) &&
        header[0] == 'M' && header[1] == 'Z')
    {
        dwType = EXETYPE_MZ;
        LONG nOffset;
        memcpy(&nOffset, header + 60, sizeof(nOffset));
        unsigned char newHeader[64];
        memset(newHeader, 0, sizeof(newHeader));
        if (SetFilePointer(hFile, nOffset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
            ReadFile(hFile, newHeader, sizeof(newHeader), &dwRead, nullptr))
        {
            if (newHeader[0] == 'N' && newHeader[1] == 'E')
            {
                WORD wVersion = (WORD)(newHeader[62] | (newHeader[63] << 8));
                if ((newHeader[54] == 2 || newHeader[54] == 0) && wVersion != 0)
                    dwType = MAKELONG(EXETYPE_NE, wVersion);
            }
            else if (newHeader[0] == 'P' && newHeader[1] == 'E')
                dwType = EXETYPE_PE;
        }
    }
    CloseHandle(hFile);
    return dwType;
}

int CALLBACK BrowseCallback(HWND hwnd, UINT uMsg, LPARAM lParam, LPARAM lpData)
{
    if (uMsg == BFFM_INITIALIZED && lpData != 0)
        SendMessageA(hwnd, BFFM_SETSELECTIONA, TRUE, lpData);
    return 0;
}
} // namespace

bool OpenDocument(const char* pszDocument, const char* pszType)
{
    CCArray strTemplate;
    FindOpenCommand(pszType, strTemplate);
    if (strTemplate.IsEmpty())
        return false;
    return RunOpenCommand(pszDocument, strTemplate.GetString());
}

void FindOpenCommand(const char* pszType, CCArray& strTemplate)
{
    strTemplate.SetText("");
    char szClass[nValueSize];
    if (!ReadDefaultValue(HKEY_CLASSES_ROOT, pszType, szClass))
        return;
    HKEY hClass, hShell;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, szClass, 0, KEY_READ, &hClass) != ERROR_SUCCESS)
        return;
    if (RegOpenKeyExA(hClass, "Shell", 0, KEY_READ, &hShell) == ERROR_SUCCESS)
    {
        char szCommand[nValueSize];
        if (ReadDefaultValue(hShell, "opennew\\Command", szCommand) ||
            ReadDefaultValue(hShell, "Open\\Command", szCommand))
            strTemplate = szCommand;
        RegCloseKey(hShell);
    }
    RegCloseKey(hClass);
}

bool RunOpenCommand(const char* pszDocument, const char* pszTemplate)
{
    char szExpanded[nValueSize];
    DWORD nNeeded = ExpandEnvironmentStringsA(pszTemplate, szExpanded, nValueSize);
    if (nNeeded != 0 && nNeeded <= nValueSize)
        pszTemplate = szExpanded;

    CCArray strProgram;
    bool bHasProgram = GetProgramFromCommand(pszTemplate, strProgram);
    bool bLongNames = bHasProgram ? AcceptsLongFileNames(strProgram.GetString()) : true;

    char szShort[MAX_PATH];
    DWORD nShort = bLongNames ? 0 : GetShortPathNameA(pszDocument, szShort, sizeof(szShort));
    const char* pszShort = nShort != 0 && nShort < sizeof(szShort) ? szShort : nullptr;

    char szCommand[nValueSize];
    bool bInserted = false;
    if (ExpandCommandTemplate(pszTemplate, szCommand, nExpansionSize, pszDocument, pszShort, SW_SHOWNORMAL,
                              bLongNames, &bInserted) != EXPAND_OK)
        return false;
    if (!bInserted)
    {
        // No placeholder: the document goes after the command, in quotes.
        if (!bHasProgram)
            return false;
        char szLine[nValueSize];
        int nLength = snprintf(szLine, sizeof(szLine), "%s \"%s\"", szCommand,
                               pszShort != nullptr ? pszShort : pszDocument);
        if (nLength < 0 || nLength >= (int)sizeof(szLine))
            return false;
        memcpy(szCommand, szLine, nLength + 1);
    }

    STARTUPINFOA si;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(nullptr, szCommand, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    // The viewer runs on its own; its handles are of no further use.
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

bool AcceptsLongFileNames(const char* pszProgram)
{
    uint32_t dwType = GetExeType(pszProgram);
    WORD wSignature = LOWORD(dwType);
    if (!(wSignature == EXETYPE_PE || (wSignature == EXETYPE_NE && HIWORD(dwType) >= 0x0400)))
        return false;

    char szKey[520];
    int nLength =
        snprintf(szKey, sizeof(szKey), "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\%s",
                 GetFileNamePart(pszProgram));
    if (nLength < 0 || nLength >= (int)sizeof(szKey))
        return true;
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, szKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return true;
    bool bShort = RegQueryValueExA(hKey, "UseShortName", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(hKey);
    return !bShort;
}

uint32_t GetExeType(const char* pszProgram)
{
    const char* pszExtension = GetExtensionPart(GetFileNamePart(pszProgram));
    if (strlen(pszExtension) != 3)
        return 0;
    if (IsNtFamily())
    {
        if (_stricmp(pszExtension, "cmd") == 0 || _stricmp(pszExtension, "bat") == 0)
            return EXETYPE_PE;
        if (_stricmp(pszExtension, "com") == 0)
            return EXETYPE_MZ;
    }
    else if (_stricmp(pszExtension, "com") == 0 || _stricmp(pszExtension, "bat") == 0)
        return EXETYPE_MZ;
    if (_stricmp(pszExtension, "exe") == 0)
        return InspectExecutable(pszProgram);
    return 0;
}

bool InitShellAllocator()
{
    if (g_pShellMalloc == nullptr && FAILED(SHGetMalloc(&g_pShellMalloc)))
        g_pShellMalloc = nullptr;
    return g_pShellMalloc != nullptr;
}

bool BrowseForFolder(HWND hOwner, const char* pszTitle, const char* pszInitial, CCArray& strFolder)
{
    if (!InitShellAllocator())
        return false;
    char szDisplayName[MAX_PATH];
    BROWSEINFOA info;
    memset(&info, 0, sizeof(info));
    info.hwndOwner = hOwner;
    info.pszDisplayName = szDisplayName;
    info.lpszTitle = pszTitle;
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_RETURNFSANCESTORS | BIF_NEWDIALOGSTYLE;
    info.lpfn = BrowseCallback;
    info.lParam = reinterpret_cast<LPARAM>(pszInitial);
    LPITEMIDLIST pItem = SHBrowseForFolderA(&info);
    if (pItem == nullptr)
        return false;
    char szPath[MAX_PATH];
    bool bPath = SHGetPathFromIDListA(pItem, szPath) != FALSE;
    g_pShellMalloc->Free(pItem);
    if (bPath)
        strFolder = szPath;
    return bPath;
}
