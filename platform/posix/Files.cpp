// Files.cpp (POSIX): raw file handles, folders and the last-error number, with Win32 semantics.
//
// The core reads failures as Win32 error numbers, so every errno is mapped here. Where POSIX and
// Win32 disagree about what fails, the Win32 behaviour is reproduced: a folder cannot be opened as
// a file (ERROR_ACCESS_DENIED), creating a new file over an existing folder is ERROR_ACCESS_DENIED
// (not "exists"), and a missing parent folder is ERROR_PATH_NOT_FOUND. Share modes are not
// emulated: POSIX has no mandatory locking, so another opener is never refused.
#include "platform/Platform.h"
#include "platform/posix/PosixError.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace
{
thread_local uint32_t t_dwLastError = 0;

// True when the folder that would hold pszPath exists (or the path has no folder part).
bool ParentExists(const char* pszPath)
{
    const char* pSlash = strrchr(pszPath, '/');
    if (!pSlash || pSlash == pszPath)
        return true;
    size_t nLen = (size_t)(pSlash - pszPath);
    char szParent[PATH_MAX];
    if (nLen >= sizeof(szParent))
        return false;
    memcpy(szParent, pszPath, nLen);
    szParent[nLen] = 0;
    struct stat st;
    return stat(szParent, &st) == 0 && S_ISDIR(st.st_mode);
}

// ENOENT names the file itself unless its folder is missing, as Windows tells the two apart.
uint32_t MissingError(const char* pszPath)
{
    return ParentExists(pszPath) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

bool Fail(uint32_t dwError)
{
    t_dwLastError = dwError;
    return false;
}

// A read or write refused by a descriptor opened without that access reports EBADF on POSIX and
// ERROR_ACCESS_DENIED on Windows; a descriptor that is not open at all is ERROR_INVALID_HANDLE.
bool FailIo(int fd)
{
    int nErrno = errno;
    if (nErrno == EBADF && fcntl(fd, F_GETFL) != -1)
        return Fail(ERROR_ACCESS_DENIED);
    return Fail(Win32ErrorFromErrno(nErrno));
}
} // namespace

uint32_t Win32ErrorFromErrno(int nErrno)
{
    switch (nErrno)
    {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return ERROR_DISK_FULL;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EAGAIN:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP:
        return ERROR_CANT_RESOLVE_FILENAME;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ESPIPE:
        return ERROR_SEEK_ON_DEVICE;
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case EBUSY:
        return ERROR_BUSY;
    case EIO:
        return ERROR_IO_DEVICE;
    case ENOSYS:
    case ENOTSUP:
        return ERROR_NOT_SUPPORTED;
    case ECANCELED:
        return ERROR_OPERATION_ABORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

bool FailWithErrno()
{
    return Fail(Win32ErrorFromErrno(errno));
}

uint32_t SysGetLastError()
{
    return t_dwLastError;
}

void SysSetLastError(uint32_t dwError)
{
    t_dwLastError = dwError;
}

FILEHANDLE SysCreateFile(const char* pszPath, unsigned nAccess, unsigned nShare, unsigned nDisposition,
                         unsigned nFlags)
{
    (void)nShare;
    int nOpen;
    switch (nAccess & (SYSFILE_READ | SYSFILE_WRITE))
    {
    case SYSFILE_READ | SYSFILE_WRITE:
        nOpen = O_RDWR;
        break;
    case SYSFILE_WRITE:
        nOpen = O_WRONLY;
        break;
    case SYSFILE_READ:
        nOpen = O_RDONLY;
        break;
    default:
        // Neither read nor write: a handle good for its size and position only.
#ifdef O_PATH
        nOpen = O_PATH;
#else
        nOpen = O_RDONLY;
#endif
        break;
    }
    switch (nDisposition)
    {
    case SYSFILE_CREATE_NEW:
        nOpen |= O_CREAT | O_EXCL;
        break;
    case SYSFILE_CREATE_ALWAYS:
        nOpen |= O_CREAT | O_TRUNC;
        break;
    case SYSFILE_OPEN_ALWAYS:
        nOpen |= O_CREAT;
        break;
    case SYSFILE_OPEN_EXISTING:
        break;
    default:
        Fail(ERROR_INVALID_PARAMETER);
        return FILE_INVALID;
    }
#ifdef O_PATH
    if ((nOpen & O_PATH) && (nOpen & (O_CREAT | O_TRUNC)))
        nOpen = (nOpen & ~O_PATH) | O_RDONLY;
#endif
    if (nFlags & SYSFILE_NO_INHERIT)
        nOpen |= O_CLOEXEC;
    if (nFlags & SYSFILE_WRITE_THROUGH)
        nOpen |= O_DSYNC;

    // Files and folders the program creates are its user's alone, whatever the umask: the session
    // log holds client addresses and user names, the settings the enciphered password. Windows
    // gives a new file in the user's profile the same protection.
    int fd;
    do
        fd = open(pszPath, nOpen, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
    {
        int nErrno = errno;
        struct stat st;
        if (nErrno == ENOENT)
            Fail(MissingError(pszPath));
        else if (nErrno == EEXIST && stat(pszPath, &st) == 0 && S_ISDIR(st.st_mode))
            Fail(ERROR_ACCESS_DENIED);
        else
            Fail(Win32ErrorFromErrno(nErrno));
        return FILE_INVALID;
    }

    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
    {
        close(fd);
        Fail(ERROR_ACCESS_DENIED);
        return FILE_INVALID;
    }
#ifdef POSIX_FADV_RANDOM
    if (nFlags & SYSFILE_RANDOM_ACCESS)
        posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    if (nFlags & SYSFILE_SEQUENTIAL)
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    t_dwLastError = ERROR_SUCCESS;
    return (FILEHANDLE)fd;
}

bool SysReadFile(FILEHANDLE h, void* pBuffer, uint32_t nCount, uint32_t* pnRead)
{
    int fd = (int)h;
    uint32_t nDone = 0;
    // A regular file gives everything up to its end in one call, as ReadFile does; the loop only
    // covers the kernel's per-call limit and interrupted calls.
    while (nDone < nCount)
    {
        ssize_t n = read(fd, (char*)pBuffer + nDone, nCount - nDone);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            if (pnRead)
                *pnRead = nDone;
            return FailIo(fd);
        }
        if (n == 0)
            break;
        nDone += (uint32_t)n;
    }
    if (pnRead)
        *pnRead = nDone;
    return true;
}

bool SysWriteFile(FILEHANDLE h, const void* pData, uint32_t nCount, uint32_t* pnWritten)
{
    int fd = (int)h;
    uint32_t nDone = 0;
    while (nDone < nCount)
    {
        ssize_t n = write(fd, (const char*)pData + nDone, nCount - nDone);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            if (nDone > 0)
                break; // report what was written; the caller sees the short count
            if (pnWritten)
                *pnWritten = 0;
            return FailIo(fd);
        }
        if (n == 0)
            break;
        nDone += (uint32_t)n;
    }
    if (pnWritten)
        *pnWritten = nDone;
    return true;
}

bool SysSeekFile(FILEHANDLE h, int64_t nDistance, int nOrigin, uint64_t* pnPosition)
{
    int nWhence = nOrigin == 0 ? SEEK_SET : nOrigin == 1 ? SEEK_CUR : nOrigin == 2 ? SEEK_END : -1;
    if (nWhence < 0)
        return Fail(ERROR_INVALID_PARAMETER);
    off_t nPos = lseek((int)h, (off_t)nDistance, nWhence);
    if (nPos < 0)
    {
        // A seek before the start is its own error on Windows.
        if (errno == EINVAL)
            return Fail(ERROR_NEGATIVE_SEEK);
        return FailWithErrno();
    }
    if (pnPosition)
        *pnPosition = (uint64_t)nPos;
    return true;
}

bool SysGetFileSize(FILEHANDLE h, uint64_t* pnSize)
{
    struct stat st;
    if (fstat((int)h, &st) != 0)
        return FailWithErrno();
    *pnSize = (uint64_t)st.st_size;
    return true;
}

bool SysSetEndOfFile(FILEHANDLE h)
{
    int fd = (int)h;
    off_t nPos = lseek(fd, 0, SEEK_CUR);
    if (nPos < 0)
        return FailWithErrno();
    int nResult;
    do
        nResult = ftruncate(fd, nPos);
    while (nResult != 0 && errno == EINTR);
    if (nResult != 0)
    {
        // ftruncate on a descriptor without write access is EINVAL or EBADF.
        if (errno == EINVAL || errno == EBADF)
            return Fail(fcntl(fd, F_GETFL) != -1 ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
        return FailWithErrno();
    }
    return true;
}

bool SysFlushFile(FILEHANDLE h)
{
    int fd = (int)h;
    if (fsync(fd) != 0)
    {
        // Windows flushes a read-only handle with ERROR_ACCESS_DENIED; Linux fsyncs it. Files and
        // pipes that cannot be synced (EINVAL) have nothing to flush.
        if (errno == EINVAL || errno == EROFS)
            return true;
        return FailWithErrno();
    }
    return true;
}

bool SysCloseFile(FILEHANDLE h)
{
    // close() is not retried on EINTR: on Linux the descriptor is gone either way.
    if (close((int)h) != 0 && errno != EINTR)
        return FailWithErrno();
    return true;
}

bool SysCreateDirectory(const char* pszPath)
{
    if (mkdir(pszPath, 0700) == 0)
        return true;
    if (errno == EEXIST)
        return Fail(ERROR_ALREADY_EXISTS);
    if (errno == ENOENT)
        return Fail(ERROR_PATH_NOT_FOUND);
    return FailWithErrno();
}

bool SysRemoveDirectory(const char* pszPath)
{
    if (rmdir(pszPath) == 0)
        return true;
    if (errno == ENOTDIR)
        return Fail(ERROR_DIRECTORY);
    if (errno == ENOENT)
        return Fail(MissingError(pszPath));
    return FailWithErrno();
}

bool SysDeleteFile(const char* pszPath)
{
    if (unlink(pszPath) == 0)
        return true;
    if (errno == ENOENT)
        return Fail(MissingError(pszPath));
    return FailWithErrno();
}

bool SysRenameFile(const char* pszFrom, const char* pszTo)
{
    if (rename(pszFrom, pszTo) == 0)
        return true;
    if (errno == ENOENT)
        return Fail(MissingError(pszFrom));
    return FailWithErrno();
}

bool SysIsDirectory(const char* pszPath)
{
    struct stat st;
    return stat(pszPath, &st) == 0 && S_ISDIR(st.st_mode);
}

bool SysFileExists(const char* pszPath)
{
    struct stat st;
    return stat(pszPath, &st) == 0;
}

bool SysListFolder(const char* pszFolder, void (*pCallback)(const char* pszName, void* pContext),
                   void* pContext)
{
    DIR* pDir = opendir(pszFolder);
    if (!pDir)
    {
        if (errno == ENOENT)
            return Fail(ERROR_PATH_NOT_FOUND);
        return FailWithErrno();
    }
    while (dirent* pEntry = readdir(pDir))
        pCallback(pEntry->d_name, pContext);
    closedir(pDir);
    return true;
}
