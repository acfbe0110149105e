// DiskFile.h: CDiskFile, the one file class of the system, and its exception.
//
// A thin object around a platform file handle with 64-bit positions. Every failing operation
// except Close throws a CDiskFileException allocated with new; whoever catches it deletes it.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

class CDiskFileException
{
public:
    explicit CDiskFileException(uint32_t dwErr) : dwError(dwErr) {}

    uint32_t dwError; // the Win32 error number of the failure
};

class CDiskFile
{
public:
    // Mode flags of Open. Bits outside these are ignored.
    enum
    {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        modeAccessMask = 0x0007, // 3 to 7: neither read nor write

        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020, // others may read
        shareDenyRead = 0x0030,  // others may write
        shareDenyNone = 0x0040,  // others may read and write
        shareMask = 0x0070,      // 0x00, 0x10 and 0x50 to 0x70: no sharing

        modeNoInherit = 0x0080,  // the handle is not inherited by child processes
        modeCreate = 0x1000,     // create; alone it replaces an existing file
        modeNoTruncate = 0x2000, // with modeCreate: open an existing file as it is
        typeText = 0x8000,       // cleared before use, no effect

        osNoBuffer = 0x10000,       // no intermediate buffering (POSIX: ignored)
        osWriteThrough = 0x20000,   // write through
        osRandomAccess = 0x40000,   // optimise for random access
        osSequentialScan = 0x80000, // optimise for a sequential scan
    };

    // Origins of Seek.
    enum
    {
        begin = 0,
        current = 1,
        end = 2,
    };

    // Closed; the destructor then does nothing.
    CDiskFile();
    // Attaches an open handle and owns it: destroying the object closes it.
    explicit CDiskFile(FILEHANDLE h);

    virtual uint64_t GetPosition();
    // Opens or creates the file (see the mode flags); on failure the object stays closed.
    virtual void Open(const char* pszName, uint32_t nFlags);
    virtual uint64_t Seek(int64_t nDistance, int nOrigin);
    // Seeks to nLength from the beginning and ends the file there.
    virtual void SetLength(uint64_t nLength);
    virtual uint64_t GetLength();
    // Up to nCount bytes; 0 at the end of the file.
    virtual uint32_t Read(void* pBuffer, uint32_t nCount);
    // All nCount bytes, or a throw (ERROR_HANDLE_DISK_FULL when the system wrote fewer).
    virtual void Write(const void* pData, uint32_t nCount);
    // The system's buffers to the disk; nothing when closed.
    virtual void Flush();
    // Closes the handle if one is open; false only when the system failed to close it. Never
    // throws.
    virtual bool Close();
    virtual ~CDiskFile();

    bool IsOpen() const { return hFile != FILE_INVALID; }

    FILEHANDLE hFile;    // FILE_INVALID while closed
    int32_t bOwnsHandle; // 1 when the destructor closes the handle

private:
    CDiskFile(const CDiskFile&) = delete;
    CDiskFile& operator=(const CDiskFile&) = delete;
};
