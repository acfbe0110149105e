// Platform.cpp: the parts of the platform layer that are the same on every target.
#include "platform/Platform.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TG_SANITIZED_STACKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TG_SANITIZED_STACKS 1
#endif
#endif

size_t SysScaledStack(size_t nBytes)
{
#ifdef TG_SANITIZED_STACKS
    // Instrumented frames carry red zones and shadow bookkeeping: a 64 KB session stack that is
    // ample in a normal build overflows in a sanitized one.
    return nBytes * 8;
#else
    return nBytes;
#endif
}
