// Platform.h: the only place where the portable core meets the operating system.
//
// Everything above this layer is written once: it sees Windows Sockets names and signatures,
// Win32 error numbers (ERROR_FILE_NOT_FOUND, WSAECONNREFUSED...) and backslash-or-slash paths
// through PATH_SEPARATOR. The Win32 backend maps each call straight onto its Win32 counterpart;
// the POSIX backend emulates the same semantics (see platform/posix/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <pthread.h>
#include <atomic>
#endif

// ---------------------------------------------------------------------------------------------
// Socket names the core uses.
#ifdef _WIN32
typedef fd_set SOCKSET;
#define PATH_SEPARATOR '\\'
#define PATH_SEPARATOR_STR "\\"
#else
// A POSIX socket handle is not the descriptor number: it also carries a generation, so that a
// thread still holding a closed handle can never reach a stranger's socket that reused the number.
typedef uint64_t SOCKET;
#define INVALID_SOCKET (~(SOCKET)0)
#define SOCKET_ERROR (-1)
// Same shape as the Windows Sockets fd_set: a count and an array of handles, no descriptor limit.
#define SOCKSET_SIZE 64
struct SOCKSET
{
    unsigned int fd_count;
    SOCKET fd_array[SOCKSET_SIZE];
};
#define PATH_SEPARATOR '/'
#define PATH_SEPARATOR_STR "/"

// Windows Sockets error numbers, so that codes and texts read the same on both targets.
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065
#define WSAEPROCLIM 10067
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSAEDISCON 10101
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004

// Win32 error numbers reported by the file and system functions below.
#define ERROR_SUCCESS 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_OUTOFMEMORY 14
#define ERROR_NO_MORE_FILES 18
#define ERROR_WRITE_PROTECT 19
#define ERROR_NOT_READY 21
#define ERROR_GEN_FAILURE 31
#define ERROR_SHARING_VIOLATION 32
#define ERROR_LOCK_VIOLATION 33
#define ERROR_HANDLE_EOF 38
#define ERROR_HANDLE_DISK_FULL 39
#define ERROR_NOT_SUPPORTED 50
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_INVALID_NAME 123
#define ERROR_NEGATIVE_SEEK 131
#define ERROR_SEEK_ON_DEVICE 132
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_BAD_PATHNAME 161
#define ERROR_BUSY 170
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_FILE_TOO_LARGE 223
#define ERROR_DIRECTORY 267
#define ERROR_OPERATION_ABORTED 995
#define ERROR_IO_DEVICE 1117
#define ERROR_CANT_RESOLVE_FILENAME 1921
#endif

// ---------------------------------------------------------------------------------------------
// Threads. All threads are detached: nothing joins them.
enum EThreadPriority
{
    THREAD_PRIO_BELOW_NORMAL,
    THREAD_PRIO_NORMAL,
    THREAD_PRIO_HIGHEST,
};

typedef unsigned (*ThreadProc)(void* pArg);

// Starts a detached thread with the given stack reservation (0: the system default) and
// priority. The new thread's 32-bit id is stored in *pThreadId (when not null) before the thread
// runs, so pThreadId may point into a record the thread itself reads. False when the thread could
// not be started (the error is then in SysGetLastError).
// Priorities on POSIX are best effort: below-normal raises the thread's nice value by one,
// highest is left at normal (raising needs privileges the program does not have).
bool SysStartThread(ThreadProc pProc, void* pArg, size_t nStackSize, uint32_t* pThreadId,
                    EThreadPriority ePriority = THREAD_PRIO_NORMAL);
// Sets the calling thread's priority; best effort on POSIX, as above.
void SysSetThreadPriority(EThreadPriority ePriority);
// The calling thread's 32-bit id; unique among live threads, the same value SysStartThread gave.
uint32_t SysCurrentThreadId();

// A stack reservation as the code states it (64 KB for a session), scaled for the build: the
// same frames need several times the room under AddressSanitizer or ThreadSanitizer. Callers pass
// SysScaledStack(n) to SysStartThread, which takes its size as given (rounded up to the system's
// minimum on POSIX).
size_t SysScaledStack(size_t nBytes);

// ---------------------------------------------------------------------------------------------
// Manual-reset event.
class CManualEvent
{
public:
    CManualEvent();
    ~CManualEvent();
    bool Create(bool bSignalled);
    void Close();
    bool IsCreated() const;
    void Set();
    void Reset();
    // nTimeoutMs < 0 waits without limit. True when the event is signalled.
    bool Wait(int nTimeoutMs);
    bool IsSignalled() { return Wait(0); }

private:
    CManualEvent(const CManualEvent&) = delete;
    CManualEvent& operator=(const CManualEvent&) = delete;
    friend int SysWaitEither(CManualEvent&, CManualEvent&, int);
#ifdef _WIN32
    HANDLE hEvent;
#else
    // The whole state is one word that waiters sleep on (a futex): created, signalled, and
    // whether a waiter may be asleep on it or in SysWaitEither.
    std::atomic<uint32_t> nState;
#endif
};

// Waits until either event is signalled: 0 for the first, 1 for the second (the first wins when
// both are), -1 on time-out. nTimeoutMs < 0 waits without limit.
int SysWaitEither(CManualEvent& a, CManualEvent& b, int nTimeoutMs);

// ---------------------------------------------------------------------------------------------
// Critical section (recursive, like a Win32 critical section) and its scoped lock.
class CCriticalSection
{
public:
    CCriticalSection();
    ~CCriticalSection();
    void Enter();
    void Leave();

private:
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;
#ifdef _WIN32
    CRITICAL_SECTION cs;
#else
    pthread_mutex_t mutex;
#endif
};

class CScopedLock
{
public:
    explicit CScopedLock(CCriticalSection& cs) : csLock(cs) { csLock.Enter(); }
    ~CScopedLock() { csLock.Leave(); }

private:
    CScopedLock(const CScopedLock&) = delete;
    CScopedLock& operator=(const CScopedLock&) = delete;
    CCriticalSection& csLock;
};

// ---------------------------------------------------------------------------------------------
// Time.
void SysSleep(unsigned nMs);
uint64_t SysTicksMs();                            // monotonic milliseconds
int64_t SysTimeNow();                             // seconds since 1970, UTC
bool SysLocalTime(int64_t tTime, struct tm* pTm); // false when the time cannot be converted

// ---------------------------------------------------------------------------------------------
// Files. Failures return false / FILE_INVALID and leave a Win32 error number in SysGetLastError.
#ifdef _WIN32
typedef HANDLE FILEHANDLE;
#define FILE_INVALID INVALID_HANDLE_VALUE
#else
typedef intptr_t FILEHANDLE;
#define FILE_INVALID ((FILEHANDLE)-1)
#endif

enum
{
    SYSFILE_READ = 1,
    SYSFILE_WRITE = 2,

    // Ignored on POSIX: it has no mandatory share modes, so another opener is never refused.
    SYSFILE_SHARE_READ = 1,
    SYSFILE_SHARE_WRITE = 2,

    SYSFILE_CREATE_NEW = 1, // fails with ERROR_FILE_EXISTS when the file exists
    SYSFILE_CREATE_ALWAYS = 2,
    SYSFILE_OPEN_EXISTING = 3,
    SYSFILE_OPEN_ALWAYS = 4,

    SYSFILE_NO_INHERIT = 0x1,
    SYSFILE_NO_BUFFERING = 0x2,  // best effort on POSIX (O_DIRECT is not requested)
    SYSFILE_WRITE_THROUGH = 0x4, // O_DSYNC on POSIX
    SYSFILE_RANDOM_ACCESS = 0x8, // posix_fadvise hints on POSIX
    SYSFILE_SEQUENTIAL = 0x10,
};

uint32_t SysGetLastError();
void SysSetLastError(uint32_t dwError);

FILEHANDLE SysCreateFile(const char* pszPath, unsigned nAccess, unsigned nShare, unsigned nDisposition,
                         unsigned nFlags);
bool SysReadFile(FILEHANDLE h, void* pBuffer, uint32_t nCount, uint32_t* pnRead);
bool SysWriteFile(FILEHANDLE h, const void* pData, uint32_t nCount, uint32_t* pnWritten);
// nOrigin: 0 begin, 1 current, 2 end. Returns the new position.
bool SysSeekFile(FILEHANDLE h, int64_t nDistance, int nOrigin, uint64_t* pnPosition);
bool SysGetFileSize(FILEHANDLE h, uint64_t* pnSize);
bool SysSetEndOfFile(FILEHANDLE h); // at the current position
bool SysFlushFile(FILEHANDLE h);
bool SysCloseFile(FILEHANDLE h);

bool SysCreateDirectory(const char* pszPath); // ERROR_ALREADY_EXISTS when it exists
bool SysRemoveDirectory(const char* pszPath); // an empty folder
bool SysDeleteFile(const char* pszPath);
bool SysRenameFile(const char* pszFrom, const char* pszTo); // replaces the target
bool SysIsDirectory(const char* pszPath);
bool SysFileExists(const char* pszPath); // a file or a folder of that name exists

// Anything at all stands at the name: a file, a folder, or a symbolic link even to nothing (POSIX).
bool SysPathTaken(const char* pszPath);
// When pszPath is a symbolic link (POSIX only), the link's own text into pszOut and its length;
// 0 when it is not a link (always on Windows) or the text does not fit.
size_t SysLinkText(const char* pszPath, char* pszOut, size_t nSize);
// When pszPath is a symbolic link (POSIX only), the full path of the file it finally points to;
// 0 when it is not a link (always on Windows), the target cannot be resolved or does not fit.
size_t SysLinkTarget(const char* pszPath, char* pszOut, size_t nSize);

// What SysOpenPlainFile found at a path.
enum
{
    SYSOPEN_FAILED = -1,   // it could not be opened or examined this time (SysGetLastError says why)
    SYSOPEN_MISSING = 0,   // nothing of that name, or a folder on the way is missing
    SYSOPEN_PLAIN = 1,     // a plain file, now open for reading
    SYSOPEN_NOT_PLAIN = 2, // a folder, a FIFO, a device...: nothing was opened
    SYSOPEN_LINK_TO_NOTHING = 3, // a symbolic link whose target is not there (POSIX only)
};
// Opens an existing plain file for reading, without ever waiting: a FIFO or a device at the path
// must not hang the caller, and only a plain file is opened. On SYSOPEN_PLAIN *ph is the open
// handle (the caller closes it) and *pnSize its size; for every other result *ph is FILE_INVALID.
int SysOpenPlainFile(const char* pszPath, FILEHANDLE* ph, uint64_t* pnSize);

// Replaces a file whole, so that a crash or a full disk at any moment leaves either the old file or
// the new one, never a mix. The data go to a new file beside the target,
// "<pszPath>.new-<SysProcessId()>" (this process's own, so that two programs saving at once each
// write a whole file and the later rename wins whole), which is the user's alone, is not followed
// when a link stands at its name, is flushed to the disk and is then renamed over pszPath; on POSIX
// the folder is flushed too, so that the rename itself survives a crash. On a failure the new file
// is removed and the target left as it was; the error is in SysGetLastError, and *ppszStep (when
// not null) names the step that failed: "create", "write", "flush", "close" or "rename".
bool SysReplaceFile(const char* pszPath, const void* pData, size_t nSize, const char** ppszStep);

// The running process's id.
uint32_t SysProcessId();

// Calls pCallback for every entry name of a folder ("." and ".." included, as Windows lists them).
// False when the folder cannot be searched.
bool SysListFolder(const char* pszFolder, void (*pCallback)(const char* pszName, void* pContext),
                   void* pContext);

// The system's message text for a Win32 error number, in English; false when there is none.
bool SysErrorMessage(uint32_t dwError, char* pszOut, size_t nSize);

// Full path of the running program; 0 when it cannot be obtained, else the length.
size_t SysModulePath(char* pszOut, size_t nSize);
// The system's temporary folder with its trailing separator; 0 when the system reports none (on
// Windows also when its path cannot be written in the code page, even in its short form).
size_t SysTempFolder(char* pszOut, size_t nSize);
#ifdef _WIN32
// The message text in the language asked for, or else in the system's own; false when there is
// none in either.
bool SysErrorMessageIn(uint32_t dwError, uint16_t nLanguage, char* pszOut, size_t nSize);
// A path in the code page: as it is when every character fits, else the short path of the (then
// existing) file or folder; 0 when neither fits in pszOut or can be written in the code page.
size_t SysAnsiPath(const wchar_t* pszPath, char* pszOut, size_t nSize);
#endif
// The user's configuration folder (POSIX only: $XDG_CONFIG_HOME or ~/.config), without a trailing
// separator; 0 when there is none.
size_t SysConfigFolder(char* pszOut, size_t nSize);
// The user's folder for what a program keeps between runs: POSIX $XDG_STATE_HOME as it is given
// when it is absolute, else ~/.local/state (the home from $HOME, else from the user's account);
// Windows the local application data folder, created when missing, in the code page (see
// SysAnsiPath). 0 when there is none (a bare service account without a home).
size_t SysStateFolder(char* pszOut, size_t nSize);
// True when the path is a folder that only its user's programs should write into: POSIX a folder,
// not a link, that belongs to the running user (anyone can make a name in /tmp first); Windows
// a folder.
bool SysIsOwnFolder(const char* pszPath);
#ifndef _WIN32
// The running user's id (POSIX only).
uint32_t SysUserId();
#endif
