// System.cpp (POSIX): message texts for Win32 error numbers, the program's path and the temporary
// folder (the user's folders are in UserFolders.cpp).
#include "platform/Platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace
{
struct SErrorText
{
    uint32_t dwError;
    const char* pszText;
};

// The English texts Windows gives for the numbers this backend reports, with its line end, so
// that messages shown to the user read the same on both targets.
const SErrorText g_aErrorTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation.\r\n"},
    {ERROR_NO_MORE_FILES, "There are no more files.\r\n"},
    {ERROR_WRITE_PROTECT, "The media is write protected.\r\n"},
    {ERROR_NOT_READY, "The device is not ready.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {ERROR_HANDLE_EOF, "Reached the end of the file.\r\n"},
    {ERROR_HANDLE_DISK_FULL, "The disk is full.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_FILE_EXISTS, "The file exists.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_NEGATIVE_SEEK,
     "An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {ERROR_SEEK_ON_DEVICE, "The file pointer cannot be set on the specified device or file.\r\n"},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty.\r\n"},
    {ERROR_BAD_PATHNAME, "The specified path is invalid.\r\n"},
    {ERROR_BUSY, "The requested resource is in use.\r\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\r\n"},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved.\r\n"},
    {ERROR_DIRECTORY, "The directory name is invalid.\r\n"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error.\r\n"},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system.\r\n"},
};

size_t CopyOut(const char* psz, size_t nLen, char* pszOut, size_t nSize)
{
    if (nLen + 1 > nSize)
        return 0;
    memcpy(pszOut, psz, nLen);
    pszOut[nLen] = 0;
    return nLen;
}
} // namespace

bool SysErrorMessage(uint32_t dwError, char* pszOut, size_t nSize)
{
    for (const SErrorText& e : g_aErrorTexts)
    {
        if (e.dwError == dwError)
            return CopyOut(e.pszText, strlen(e.pszText), pszOut, nSize) != 0;
    }
    if (nSize > 0)
        pszOut[0] = 0;
    return false;
}

size_t SysModulePath(char* pszOut, size_t nSize)
{
    if (nSize == 0)
        return 0;
    ssize_t n = readlink("/proc/self/exe", pszOut, nSize);
    if (n <= 0 || (size_t)n >= nSize)
    {
        pszOut[0] = 0;
        return 0;
    }
    pszOut[n] = 0;
    return (size_t)n;
}

size_t SysTempFolder(char* pszOut, size_t nSize)
{
    const char* pszTemp = getenv("TMPDIR");
    if (!pszTemp || pszTemp[0] != '/')
        pszTemp = "/tmp";
    size_t nLen = strlen(pszTemp);
    bool bSlash = pszTemp[nLen - 1] == '/';
    if (nLen + (bSlash ? 1 : 2) > nSize)
        return 0;
    memcpy(pszOut, pszTemp, nLen);
    if (!bSlash)
        pszOut[nLen++] = '/';
    pszOut[nLen] = 0;
    return nLen;
}
