// FaultGuard.cpp: a frame-based structured exception handler that jumps back to CallGuarded.
#include "crash/FaultGuard.h"

#include <windows.h>

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
