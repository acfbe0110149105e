// WholeFiles.cpp (Win32): a file examined before it is opened and a file replaced whole. Windows
// programs here keep no symbolic links, so the link calls find none.
#include "platform/Platform.h"

#include <cstdio>

bool SysPathTaken(const char* pszPath)
{
    return GetFileAttributesA(pszPath) != INVALID_FILE_ATTRIBUTES;
}

size_t SysLinkText(const char*, char*, size_t)
{
    return 0;
}

size_t SysLinkTarget(const char*, char*, size_t)
{
    return 0;
}

int SysOpenPlainFile(const char* pszPath, FILEHANDLE* ph, uint64_t* pnSize)
{
    *ph = FILE_INVALID;
    *pnSize = 0;
    DWORD dwAttributes = GetFileAttributesA(pszPath);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES)
    {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
            return SYSOPEN_MISSING;
        return SYSOPEN_FAILED;
    }
    if (dwAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return SYSOPEN_NOT_PLAIN;
    HANDLE h = CreateFileA(pszPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
            return SYSOPEN_MISSING;
        return SYSOPEN_FAILED;
    }
    if (GetFileType(h) != FILE_TYPE_DISK)
    {
        CloseHandle(h);
        return SYSOPEN_NOT_PLAIN;
    }
    if (!SysGetFileSize(h, pnSize))
    {
        DWORD dwError = GetLastError();
        CloseHandle(h);
        SetLastError(dwError);
        return SYSOPEN_FAILED;
    }
    *ph = h;
    return SYSOPEN_PLAIN;
}

bool SysReplaceFile(const char* pszPath, const void* pData, size_t nSize, const char** ppszStep)
{
    char szNew[MAX_PATH];
    const char* pszStep = "create";
    HANDLE h = INVALID_HANDLE_VALUE;
    bool bOk = snprintf(szNew, sizeof(szNew), "%s.new-%lu", pszPath, (unsigned long)GetCurrentProcessId()) <
               (int)sizeof(szNew);
    if (!bOk)
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
    else
    {
        // Not inherited: a child started meanwhile must not hold the new file open.
        h = CreateFileA(szNew, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        bOk = h != INVALID_HANDLE_VALUE;
    }
    if (bOk)
    {
        pszStep = "write";
        const char* p = (const char*)pData;
        while (bOk && nSize > 0)
        {
            DWORD dwChunk = nSize > 0x40000000 ? 0x40000000 : (DWORD)nSize;
            DWORD dwWritten = 0;
            bOk = WriteFile(h, p, dwChunk, &dwWritten, nullptr) != FALSE;
            if (bOk && dwWritten == 0)
            {
                SetLastError(ERROR_DISK_FULL);
                bOk = false;
            }
            p += dwWritten;
            nSize -= dwWritten;
        }
        if (bOk)
        {
            pszStep = "flush";
            bOk = FlushFileBuffers(h) != FALSE;
        }
        DWORD dwError = GetLastError();
        if (!CloseHandle(h) && bOk)
        {
            pszStep = "close";
            bOk = false;
        }
        else
            SetLastError(dwError);
        if (bOk)
        {
            pszStep = "rename";
            bOk = MoveFileExA(szNew, pszPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
        }
    }
    if (!bOk)
    {
        DWORD dwError = GetLastError();
        if (h != INVALID_HANDLE_VALUE)
            DeleteFileA(szNew);
        SetLastError(dwError);
        if (ppszStep != nullptr)
            *ppszStep = pszStep;
        return false;
    }
    return true;
}

uint32_t SysProcessId()
{
    return (uint32_t)GetCurrentProcessId();
}
