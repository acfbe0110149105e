// Threads.cpp (Win32): threads, manual-reset events, critical sections, sleep and time, each a
// direct call of its Win32 counterpart.
#include "platform/Platform.h"

#include <ctime>
#include <new>

namespace
{
struct SThreadStart
{
    ThreadProc pProc;
    void* pArg;
};

// ThreadProc is a plain C function; CreateThread wants a WINAPI one.
DWORD WINAPI ThreadTrampoline(LPVOID p)
{
    SThreadStart start = *(SThreadStart*)p;
    delete (SThreadStart*)p;
    return start.pProc(start.pArg);
}

int Win32Priority(EThreadPriority ePriority)
{
    switch (ePriority)
    {
    case THREAD_PRIO_BELOW_NORMAL:
        return THREAD_PRIORITY_BELOW_NORMAL;
    case THREAD_PRIO_HIGHEST:
        return THREAD_PRIORITY_HIGHEST;
    default:
        return THREAD_PRIORITY_NORMAL;
    }
}
} // namespace

bool SysStartThread(ThreadProc pProc, void* pArg, size_t nStackSize, uint32_t* pThreadId,
                    EThreadPriority ePriority)
{
    SThreadStart* pStart = new SThreadStart{pProc, pArg};
    // Created suspended, so that the id is stored and the priority set before the thread runs.
    // The size is a reservation: only the pages the thread touches are committed.
    DWORD dwId = 0;
    HANDLE hThread =
        CreateThread(NULL, nStackSize, ThreadTrampoline, pStart,
                     CREATE_SUSPENDED | (nStackSize ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0), &dwId);
    if (!hThread)
    {
        DWORD dwError = GetLastError();
        delete pStart;
        SetLastError(dwError);
        return false;
    }
    if (pThreadId)
        *pThreadId = dwId;
    if (ePriority != THREAD_PRIO_NORMAL)
        SetThreadPriority(hThread, Win32Priority(ePriority));
    ResumeThread(hThread);
    // Detached: nothing waits for the thread through its handle.
    CloseHandle(hThread);
    return true;
}

void SysSetThreadPriority(EThreadPriority ePriority)
{
    SetThreadPriority(GetCurrentThread(), Win32Priority(ePriority));
}

uint32_t SysCurrentThreadId()
{
    return GetCurrentThreadId();
}

// ---------------------------------------------------------------------------------------------
CManualEvent::CManualEvent() : hEvent(NULL) {}

CManualEvent::~CManualEvent()
{
    Close();
}

bool CManualEvent::Create(bool bSignalled)
{
    Close();
    hEvent = CreateEventA(NULL, TRUE, bSignalled ? TRUE : FALSE, NULL);
    return hEvent != NULL;
}

void CManualEvent::Close()
{
    if (hEvent)
    {
        CloseHandle(hEvent);
        hEvent = NULL;
    }
}

bool CManualEvent::IsCreated() const
{
    return hEvent != NULL;
}

void CManualEvent::Set()
{
    if (hEvent)
        SetEvent(hEvent);
}

void CManualEvent::Reset()
{
    if (hEvent)
        ResetEvent(hEvent);
}

bool CManualEvent::Wait(int nTimeoutMs)
{
    if (!hEvent)
        return false;
    return WaitForSingleObject(hEvent, nTimeoutMs < 0 ? INFINITE : (DWORD)nTimeoutMs) == WAIT_OBJECT_0;
}

int SysWaitEither(CManualEvent& a, CManualEvent& b, int nTimeoutMs)
{
    if (!a.hEvent || !b.hEvent)
        return -1;
    HANDLE aHandles[2] = {a.hEvent, b.hEvent};
    // Wait-any reports the lowest signalled index, so the first event wins a tie.
    DWORD dw = WaitForMultipleObjects(2, aHandles, FALSE, nTimeoutMs < 0 ? INFINITE : (DWORD)nTimeoutMs);
    if (dw == WAIT_OBJECT_0)
        return 0;
    if (dw == WAIT_OBJECT_0 + 1)
        return 1;
    return -1;
}

// ---------------------------------------------------------------------------------------------
CCriticalSection::CCriticalSection()
{
    InitializeCriticalSection(&cs);
}

CCriticalSection::~CCriticalSection()
{
    DeleteCriticalSection(&cs);
}

void CCriticalSection::Enter()
{
    EnterCriticalSection(&cs);
}

void CCriticalSection::Leave()
{
    LeaveCriticalSection(&cs);
}

// ---------------------------------------------------------------------------------------------
void SysSleep(unsigned nMs)
{
    Sleep(nMs);
}

uint64_t SysTicksMs()
{
    // GetTickCount64 is not on the oldest supported systems; the performance counter is, and
    // never wraps.
    static LARGE_INTEGER s_frequency = {};
    if (s_frequency.QuadPart == 0)
        QueryPerformanceFrequency(&s_frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    uint64_t nCounter = (uint64_t)now.QuadPart;
    uint64_t nFrequency = (uint64_t)s_frequency.QuadPart;
    return nCounter / nFrequency * 1000u + nCounter % nFrequency * 1000u / nFrequency;
}

int64_t SysTimeNow()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    // 100 ns units since 1601 to seconds since 1970.
    uint64_t n = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    return (int64_t)(n / 10000000u) - 11644473600LL;
}

bool SysLocalTime(int64_t tTime, struct tm* pTm)
{
    // The run-time library's converter applies the daylight-saving rule of the given date; its
    // result lives in per-thread storage, copied out at once.
    __time64_t t = (__time64_t)tTime;
    struct tm* p = _localtime64(&t);
    if (!p)
        return false;
    *pTm = *p;
    return true;
}
