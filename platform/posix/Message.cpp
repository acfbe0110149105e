// Message.cpp (POSIX): the message is one line on stderr.
#include "platform/Message.h"

#include <cstdio>
#include <unistd.h>

void SysShowMessage(const char* pszText, unsigned nFlags)
{
    fprintf(stderr, "%s\n", pszText);
    fflush(stderr);
}

void SysExitProcess(int nExitCode)
{
    _exit(nExitCode);
}
