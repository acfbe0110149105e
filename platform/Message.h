// Message.h: a last-resort message to the user, for failures met before or outside any window.
//
// On Windows a message box with no owner and the default caption; on POSIX a line on stderr.
#pragma once

// Icons, with the values of the Windows message-box flags.
enum
{
    SYSMSG_ICON_ERROR = 0x10,
    SYSMSG_ICON_EXCLAMATION = 0x30,
};

void SysShowMessage(const char* pszText, unsigned nFlags);

// Ends the process at once with the exit code: no destructors, no atexit handlers, since other
// threads may still be running.
[[noreturn]] void SysExitProcess(int nExitCode);
