// ThreadState.cpp (Windows): no portable view of a thread's wait state, so a fixed head start.
#include "tests/net/LoopbackHelpers.h"

uint64_t CurrentThreadToken()
{
    return (uint64_t)GetCurrentThreadId();
}

// The call only needs to be inside the system when the handle is closed; if it is not yet, it
// fails all the same on the closed handle, so the measurement stays valid either way.
void WaitUntilBlocked(uint64_t nThreadToken)
{
    Sleep(100);
}
