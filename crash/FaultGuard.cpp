// FaultGuard.cpp: a structured exception handler that jumps back to CallGuarded: frame-based on
// 32-bit Windows, vectored on x64.
#include "crash/FaultGuard.h"

#include <windows.h>

#if defined(__i386__)
namespace
{
// One registration on the thread's handler chain (fs:[0]). The record must come first: the system
// passes the record's address to the handler as the establisher frame.
struct SGuardFrame
{
    EXCEPTION_REGISTRATION_RECORD record;
    void* jumpBuffer[5]; // __builtin_setjmp's buffer
};

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* pException, void* pEstablisherFrame, CONTEXT*,
                                           void*)
{
    // During an unwind the handler has nothing to clean up.
    if (pException->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    // Back to CallGuarded's frame; the dispatcher's frames below it are abandoned.
    __builtin_longjmp(((SGuardFrame*)pEstablisherFrame)->jumpBuffer, 1);
}

// The head of the thread's handler chain lives at fs:[0].
EXCEPTION_REGISTRATION_RECORD* GetHandlerChain()
{
    EXCEPTION_REGISTRATION_RECORD* pHead;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(pHead));
    return pHead;
}

void SetHandlerChain(volatile EXCEPTION_REGISTRATION_RECORD* pHead)
{
    __asm__ volatile("movl %0, %%fs:0" : : "r"(pHead) : "memory");
}
} // namespace

bool CallGuarded(void (*pfnBody)(void*), void* pArg)
{
    volatile SGuardFrame frame;
    frame.record.Next = GetHandlerChain();
    frame.record.Handler = (PEXCEPTION_ROUTINE)GuardHandler;
    if (__builtin_setjmp((void**)frame.jumpBuffer))
    {
        // A fault ended the body: whatever the dispatcher registered after us is gone with its
        // stack, so the chain goes back to what it was before the call.
        SetHandlerChain(frame.record.Next);
        return false;
    }
    SetHandlerChain(&frame.record);
    try
    {
        pfnBody(pArg);
    }
    catch (...)
    {
        // A C++ exception leaves the body: the registration must not outlive this frame.
        SetHandlerChain(frame.record.Next);
        throw;
    }
    SetHandlerChain(frame.record.Next);
    return true;
}

#else
namespace
{
// The innermost guarded call of a thread, in a thread-local slot: the vectored handler sees every
// exception of the process and acts only for a thread inside a guarded call.
struct SGuard
{
    void* jumpBuffer[5]; // __builtin_setjmp's buffer
    SGuard* pOuter;
};

DWORD g_nGuardSlot = TLS_OUT_OF_INDEXES;

// Faults of the code itself. Other exceptions (a C++ throw, a debugger's notice, a system call's
// own raise-and-handle) belong to handlers further in and pass unchanged.
bool IsFault(DWORD nCode)
{
    switch (nCode)
    {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
        return true;
    default:
        return false;
    }
}

LONG CALLBACK GuardHandler(EXCEPTION_POINTERS* pPointers)
{
    SGuard* pGuard = (SGuard*)TlsGetValue(g_nGuardSlot);
    if (!pGuard || !IsFault(pPointers->ExceptionRecord->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    // Back to CallGuarded's frame; the dispatcher's frames below it are abandoned.
    TlsSetValue(g_nGuardSlot, pGuard->pOuter);
    __builtin_longjmp(pGuard->jumpBuffer, 1);
}

bool InstallGuardHandler()
{
    g_nGuardSlot = TlsAlloc();
    return g_nGuardSlot != TLS_OUT_OF_INDEXES && AddVectoredExceptionHandler(1, GuardHandler) != nullptr;
}
} // namespace

bool CallGuarded(void (*pfnBody)(void*), void* pArg)
{
    // Installed once, by the first guarded call of the process.
    static const bool bInstalled = InstallGuardHandler();
    if (!bInstalled)
    {
        // Without its handler the guard cannot end the body early: run it unguarded.
        pfnBody(pArg);
        return true;
    }
    volatile SGuard guard;
    guard.pOuter = (SGuard*)TlsGetValue(g_nGuardSlot);
    if (__builtin_setjmp((void**)guard.jumpBuffer))
        return false; // the handler has put the outer guard back
    TlsSetValue(g_nGuardSlot, (void*)&guard);
    try
    {
        pfnBody(pArg);
    }
    catch (...)
    {
        // A C++ exception leaves the body: the guard must not outlive this frame.
        TlsSetValue(g_nGuardSlot, guard.pOuter);
        throw;
    }
    TlsSetValue(g_nGuardSlot, guard.pOuter);
    return true;
}
#endif
