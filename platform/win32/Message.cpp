// Message.cpp (Windows): a message box with no owner and the default caption.
#include "platform/Message.h"

#include "platform/Platform.h"

void SysShowMessage(const char* pszText, unsigned nFlags)
{
    MessageBoxA(NULL, pszText, NULL, nFlags);
}

void SysExitProcess(int nExitCode)
{
    ExitProcess((UINT)nExitCode);
}
