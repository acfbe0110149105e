// Files.cpp (Win32): raw file handles and folders, each a direct call of its Win32 counterpart.
#include "platform/Platform.h"
#include <cstring>

uint32_t SysGetLastError()
{
    return GetLastError();
}

void SysSetLastError(uint32_t dwError)
{
    SetLastError(dwError);
}

FILEHANDLE SysCreateFile(const char* pszPath, unsigned nAccess, unsigned nShare, unsigned nDisposition,
                         unsigned nFlags)
{
    DWORD dwAccess = 0;
    if (nAccess & SYSFILE_READ)
        dwAccess |= GENERIC_READ;
    if (nAccess & SYSFILE_WRITE)
        dwAccess |= GENERIC_WRITE;
    DWORD dwShare = 0;
    if (nShare & SYSFILE_SHARE_READ)
        dwShare |= FILE_SHARE_READ;
    if (nShare & SYSFILE_SHARE_WRITE)
        dwShare |= FILE_SHARE_WRITE;
    DWORD dwDisposition;
    switch (nDisposition)
    {
    case SYSFILE_CREATE_NEW:
        dwDisposition = CREATE_NEW;
        break;
    case SYSFILE_CREATE_ALWAYS:
        dwDisposition = CREATE_ALWAYS;
        break;
    case SYSFILE_OPEN_ALWAYS:
        dwDisposition = OPEN_ALWAYS;
        break;
    default:
        dwDisposition = OPEN_EXISTING;
        break;
    }
    DWORD dwFlags = FILE_ATTRIBUTE_NORMAL;
    if (nFlags & SYSFILE_NO_BUFFERING)
        dwFlags |= FILE_FLAG_NO_BUFFERING;
    if (nFlags & SYSFILE_WRITE_THROUGH)
        dwFlags |= FILE_FLAG_WRITE_THROUGH;
    if (nFlags & SYSFILE_RANDOM_ACCESS)
        dwFlags |= FILE_FLAG_RANDOM_ACCESS;
    if (nFlags & SYSFILE_SEQUENTIAL)
        dwFlags |= FILE_FLAG_SEQUENTIAL_SCAN;

    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = NULL;
    sa.bInheritHandle = (nFlags & SYSFILE_NO_INHERIT) ? FALSE : TRUE;
    return CreateFileA(pszPath, dwAccess, dwShare, &sa, dwDisposition, dwFlags, NULL);
}

bool SysReadFile(FILEHANDLE h, void* pBuffer, uint32_t nCount, uint32_t* pnRead)
{
    DWORD dwRead = 0;
    BOOL bOk = ReadFile(h, pBuffer, nCount, &dwRead, NULL);
    if (pnRead)
        *pnRead = dwRead;
    return bOk != FALSE;
}

bool SysWriteFile(FILEHANDLE h, const void* pData, uint32_t nCount, uint32_t* pnWritten)
{
    DWORD dwWritten = 0;
    BOOL bOk = WriteFile(h, pData, nCount, &dwWritten, NULL);
    if (pnWritten)
        *pnWritten = dwWritten;
    return bOk != FALSE;
}

bool SysSeekFile(FILEHANDLE h, int64_t nDistance, int nOrigin, uint64_t* pnPosition)
{
    // SetFilePointer returns the low half; all ones is a valid low half unless the last error
    // says otherwise, so the error is cleared first.
    LONG nHigh = (LONG)(nDistance >> 32);
    SetLastError(NO_ERROR);
    DWORD dwLow = SetFilePointer(h, (LONG)(uint32_t)nDistance, &nHigh,
                                 nOrigin == 0   ? FILE_BEGIN
                                 : nOrigin == 1 ? FILE_CURRENT
                                                : FILE_END);
    if (dwLow == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
        return false;
    if (pnPosition)
        *pnPosition = ((uint64_t)(uint32_t)nHigh << 32) | dwLow;
    return true;
}

bool SysGetFileSize(FILEHANDLE h, uint64_t* pnSize)
{
    DWORD dwHigh = 0;
    SetLastError(NO_ERROR);
    DWORD dwLow = GetFileSize(h, &dwHigh);
    if (dwLow == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return false;
    *pnSize = ((uint64_t)dwHigh << 32) | dwLow;
    return true;
}

bool SysSetEndOfFile(FILEHANDLE h)
{
    return SetEndOfFile(h) != FALSE;
}

bool SysFlushFile(FILEHANDLE h)
{
    return FlushFileBuffers(h) != FALSE;
}

bool SysCloseFile(FILEHANDLE h)
{
    return CloseHandle(h) != FALSE;
}

bool SysCreateDirectory(const char* pszPath)
{
    return CreateDirectoryA(pszPath, NULL) != FALSE;
}

bool SysRemoveDirectory(const char* pszPath)
{
    return RemoveDirectoryA(pszPath) != FALSE;
}

bool SysDeleteFile(const char* pszPath)
{
    return DeleteFileA(pszPath) != FALSE;
}

bool SysRenameFile(const char* pszFrom, const char* pszTo)
{
    return MoveFileExA(pszFrom, pszTo, MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool SysIsDirectory(const char* pszPath)
{
    DWORD dw = GetFileAttributesA(pszPath);
    return dw != INVALID_FILE_ATTRIBUTES && (dw & FILE_ATTRIBUTE_DIRECTORY);
}

bool SysFileExists(const char* pszPath)
{
    return GetFileAttributesA(pszPath) != INVALID_FILE_ATTRIBUTES;
}

bool SysListFolder(const char* pszFolder, void (*pCallback)(const char* pszName, void* pContext),
                   void* pContext)
{
    char szPattern[MAX_PATH + 2];
    size_t nLen = strlen(pszFolder);
    if (nLen + 3 > sizeof(szPattern))
    {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    memcpy(szPattern, pszFolder, nLen);
    if (nLen == 0 || (szPattern[nLen - 1] != '\\' && szPattern[nLen - 1] != '/'))
        szPattern[nLen++] = '\\';
    szPattern[nLen++] = '*';
    szPattern[nLen] = 0;

    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA(szPattern, &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return false;
    do
        pCallback(fd.cFileName, pContext);
    while (FindNextFileA(hFind, &fd));
    FindClose(hFind);
    return true;
}
