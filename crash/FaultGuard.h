// FaultGuard.h: running a piece of the crash path so that a fault inside it ends only that piece.
//
// The crash path reads memory it cannot trust (frame pointers of a broken stack, image headers,
// the module list of a damaged process). GCC on 32-bit Windows has no __try/__except, so the guard
// registers a frame-based structured exception handler of its own on the thread's handler chain.
#pragma once

// Runs pfnBody(pArg). A structured exception (access violation, divide by zero...) raised on this
// thread while it runs and not handled further in ends the call at once: the result is then false.
// C++ exceptions pass through unchanged.
bool CallGuarded(void (*pfnBody)(void*), void* pArg);
