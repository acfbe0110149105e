// FaultGuard.h: running a piece of the crash path so that a fault inside it ends only that piece.
//
// The crash path reads memory it cannot trust (frame pointers of a broken stack, image headers,
// the module list of a damaged process). GCC has no __try/__except, so the guard brings its own
// handler: on 32-bit Windows a frame-based structured exception handler on the thread's handler
// chain; on x64, where handlers are found through the images' unwind tables instead, a vectored
// handler that serves the threads running a guarded call.
#pragma once

// Runs pfnBody(pArg). A structured exception (access violation, divide by zero...) raised on this
// thread while it runs and not handled further in ends the call at once: the result is then false.
// C++ exceptions pass through unchanged.
bool CallGuarded(void (*pfnBody)(void*), void* pArg);
