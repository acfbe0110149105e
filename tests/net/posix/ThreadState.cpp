// ThreadState.cpp (POSIX): whether a thread sleeps in the kernel, read from /proc.
#include "tests/net/LoopbackHelpers.h"

#include <cstdio>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

uint64_t CurrentThreadToken()
{
    return (uint64_t)syscall(SYS_gettid);
}

// The state letter follows the command name in parentheses: 'S' is an interruptible sleep,
// which is where poll, recv and accept wait.
static char ThreadStateLetter(uint64_t nTid)
{
    char szPath[64];
    snprintf(szPath, sizeof(szPath), "/proc/self/task/%llu/stat", (unsigned long long)nTid);
    FILE* f = fopen(szPath, "r");
    if (!f)
        return 0;
    char szLine[512];
    size_t n = fread(szLine, 1, sizeof(szLine) - 1, f);
    fclose(f);
    szLine[n] = 0;
    const char* p = strrchr(szLine, ')');
    return p && p[1] == ' ' ? p[2] : 0;
}

void WaitUntilBlocked(uint64_t nThreadToken)
{
    // Two readings in a row, so that a thread passing through a short sleep on its way is not
    // taken for blocked.
    auto tDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int nSleeping = 0;
    while (nSleeping < 2 && std::chrono::steady_clock::now() < tDeadline)
    {
        nSleeping = ThreadStateLetter(nThreadToken) == 'S' ? nSleeping + 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}
