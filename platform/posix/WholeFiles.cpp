// WholeFiles.cpp (POSIX): a file examined before it is opened, a file replaced whole, and the
// links the settings file may be.
#include "platform/Platform.h"
#include "platform/posix/PosixError.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
bool WriteAll(int fd, const char* p, size_t n)
{
    while (n > 0)
    {
        ssize_t nWritten = write(fd, p, n);
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten <= 0)
        {
            if (nWritten == 0)
                errno = ENOSPC;
            return false;
        }
        p += nWritten;
        n -= (size_t)nWritten;
    }
    return true;
}

// Flushes the folder that holds pszPath, so that a rename in it survives a crash.
void SyncFolder(const char* pszPath)
{
    const char* pLast = strrchr(pszPath, '/');
    char szFolder[PATH_MAX];
    if (pLast == nullptr)
        strcpy(szFolder, ".");
    else
    {
        size_t n = pLast == pszPath ? 1 : (size_t)(pLast - pszPath);
        if (n >= sizeof(szFolder))
            return;
        memcpy(szFolder, pszPath, n);
        szFolder[n] = 0;
    }
    int fd = open(szFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0)
    {
        fsync(fd);
        close(fd);
    }
}
} // namespace

bool SysPathTaken(const char* pszPath)
{
    struct stat st;
    return lstat(pszPath, &st) == 0;
}

size_t SysLinkText(const char* pszPath, char* pszOut, size_t nSize)
{
    struct stat st;
    if (nSize == 0 || lstat(pszPath, &st) != 0 || !S_ISLNK(st.st_mode))
        return 0;
    ssize_t n = readlink(pszPath, pszOut, nSize - 1);
    if (n <= 0)
        return 0;
    pszOut[n] = 0;
    return (size_t)n;
}

size_t SysLinkTarget(const char* pszPath, char* pszOut, size_t nSize)
{
    struct stat st;
    if (lstat(pszPath, &st) != 0 || !S_ISLNK(st.st_mode))
        return 0;
    char* pszTarget = realpath(pszPath, nullptr);
    if (pszTarget == nullptr)
        return 0;
    size_t n = strlen(pszTarget);
    bool bFits = n < nSize;
    if (bFits)
        memcpy(pszOut, pszTarget, n + 1);
    free(pszTarget);
    return bFits ? n : 0;
}

int SysOpenPlainFile(const char* pszPath, FILEHANDLE* ph, uint64_t* pnSize)
{
    *ph = FILE_INVALID;
    *pnSize = 0;
    // Without O_NONBLOCK the open of a FIFO waits for a writer, for ever.
    int fd = open(pszPath, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
    {
        int nErrno = errno;
        struct stat stLink;
        // A link to a file that is not there (on a disk not mounted yet, say) is not a missing
        // file: its target may come back.
        if (nErrno == ENOENT && lstat(pszPath, &stLink) == 0 && S_ISLNK(stLink.st_mode))
            return SYSOPEN_LINK_TO_NOTHING;
        if (nErrno == ENOENT || nErrno == ENOTDIR)
            return SYSOPEN_MISSING;
        SysSetLastError(Win32ErrorFromErrno(nErrno));
        return SYSOPEN_FAILED;
    }
    struct stat st;
    if (fstat(fd, &st) != 0)
    {
        FailWithErrno();
        close(fd);
        return SYSOPEN_FAILED;
    }
    if (!S_ISREG(st.st_mode))
    {
        close(fd);
        return SYSOPEN_NOT_PLAIN;
    }
    // A plain file: read it as usual.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *ph = (FILEHANDLE)fd;
    *pnSize = (uint64_t)st.st_size;
    return SYSOPEN_PLAIN;
}

bool SysReplaceFile(const char* pszPath, const void* pData, size_t nSize, const char** ppszStep)
{
    char szNew[PATH_MAX];
    const char* pszStep = "create";
    int fd = -1;
    bool bOk = snprintf(szNew, sizeof(szNew), "%s.new-%ld", pszPath, (long)getpid()) < (int)sizeof(szNew);
    if (!bOk)
        errno = ENAMETOOLONG;
    else
    {
        fd = open(szNew, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        bOk = fd >= 0;
    }
    if (bOk)
    {
        pszStep = "write";
        bOk = WriteAll(fd, (const char*)pData, nSize);
        if (bOk)
        {
            pszStep = "flush";
            bOk = fsync(fd) == 0;
        }
        int nErrno = errno;
        if (close(fd) != 0 && bOk)
        {
            pszStep = "close";
            bOk = false;
        }
        else
            errno = nErrno;
        if (bOk)
        {
            pszStep = "rename";
            bOk = rename(szNew, pszPath) == 0;
        }
    }
    if (!bOk)
    {
        int nErrno = errno;
        if (fd >= 0)
            unlink(szNew);
        SysSetLastError(Win32ErrorFromErrno(nErrno));
        if (ppszStep != nullptr)
            *ppszStep = pszStep;
        return false;
    }
    SyncFolder(pszPath);
    return true;
}

uint32_t SysProcessId()
{
    return (uint32_t)getpid();
}
