// DiskFile.cpp: CDiskFile over the platform's raw file functions.
#include "foundation/DiskFile.h"

namespace
{
[[noreturn]] void ThrowLastError()
{
    throw new CDiskFileException(SysGetLastError());
}
} // namespace

CDiskFile::CDiskFile() : hFile(FILE_INVALID), bOwnsHandle(0) {}

CDiskFile::CDiskFile(FILEHANDLE h) : hFile(h), bOwnsHandle(1) {}

CDiskFile::~CDiskFile()
{
    if (hFile != FILE_INVALID && bOwnsHandle)
        Close();
}

uint64_t CDiskFile::GetPosition()
{
    uint64_t nPos;
    if (!SysSeekFile(hFile, 0, current, &nPos))
        ThrowLastError();
    return nPos;
}

void CDiskFile::Open(const char* pszName, uint32_t nFlags)
{
    hFile = FILE_INVALID;
    bOwnsHandle = 0;
    nFlags &= ~(uint32_t)typeText;

    unsigned nAccess;
    switch (nFlags & modeAccessMask)
    {
    case modeRead:
        nAccess = SYSFILE_READ;
        break;
    case modeWrite:
        nAccess = SYSFILE_WRITE;
        break;
    case modeReadWrite:
        nAccess = SYSFILE_READ | SYSFILE_WRITE;
        break;
    default:
        nAccess = 0;
        break;
    }

    unsigned nShare;
    switch (nFlags & shareMask)
    {
    case shareDenyWrite:
        nShare = SYSFILE_SHARE_READ;
        break;
    case shareDenyRead:
        nShare = SYSFILE_SHARE_WRITE;
        break;
    case shareDenyNone:
        nShare = SYSFILE_SHARE_READ | SYSFILE_SHARE_WRITE;
        break;
    default:
        nShare = 0;
        break;
    }

    unsigned nDisposition;
    if (nFlags & modeCreate)
        nDisposition = (nFlags & modeNoTruncate) ? SYSFILE_OPEN_ALWAYS : SYSFILE_CREATE_ALWAYS;
    else
        nDisposition = SYSFILE_OPEN_EXISTING;

    unsigned nOsFlags = 0;
    if (nFlags & modeNoInherit)
        nOsFlags |= SYSFILE_NO_INHERIT;
    if (nFlags & osNoBuffer)
        nOsFlags |= SYSFILE_NO_BUFFERING;
    if (nFlags & osWriteThrough)
        nOsFlags |= SYSFILE_WRITE_THROUGH;
    if (nFlags & osRandomAccess)
        nOsFlags |= SYSFILE_RANDOM_ACCESS;
    if (nFlags & osSequentialScan)
        nOsFlags |= SYSFILE_SEQUENTIAL;

    FILEHANDLE h = SysCreateFile(pszName, nAccess, nShare, nDisposition, nOsFlags);
    if (h == FILE_INVALID)
        ThrowLastError();
    hFile = h;
    bOwnsHandle = 1;
}

uint64_t CDiskFile::Seek(int64_t nDistance, int nOrigin)
{
    uint64_t nPos;
    if (!SysSeekFile(hFile, nDistance, nOrigin, &nPos))
        ThrowLastError();
    return nPos;
}

void CDiskFile::SetLength(uint64_t nLength)
{
    Seek((int64_t)nLength, begin);
    if (!SysSetEndOfFile(hFile))
        ThrowLastError();
}

uint64_t CDiskFile::GetLength()
{
    uint64_t nSize;
    if (!SysGetFileSize(hFile, &nSize))
        ThrowLastError();
    return nSize;
}

uint32_t CDiskFile::Read(void* pBuffer, uint32_t nCount)
{
    if (nCount == 0)
        return 0;
    uint32_t nRead = 0;
    if (!SysReadFile(hFile, pBuffer, nCount, &nRead))
        ThrowLastError();
    return nRead;
}

void CDiskFile::Write(const void* pData, uint32_t nCount)
{
    if (nCount == 0)
        return;
    uint32_t nWritten = 0;
    if (!SysWriteFile(hFile, pData, nCount, &nWritten))
        ThrowLastError();
    // The system took part of the data without an error: the medium is full.
    if (nWritten < nCount)
        throw new CDiskFileException(ERROR_HANDLE_DISK_FULL);
}

void CDiskFile::Flush()
{
    if (hFile == FILE_INVALID)
        return;
    if (!SysFlushFile(hFile))
        ThrowLastError();
}

bool CDiskFile::Close()
{
    bool bOk = true;
    if (hFile != FILE_INVALID)
        bOk = SysCloseFile(hFile);
    hFile = FILE_INVALID;
    bOwnsHandle = 0;
    return bOk;
}
