// CrashHandler.h: the process's unhandled-exception handler and its crash report.
//
// When a fault reaches no handler of the faulting thread, the handler writes a plain-text report
// (time, exception, system version, modules, call stack) into the user's temporary folder, lets
// the host ask the user, hands the file to the upload agent, deletes it and lets the process end
// without the system's fault dialog. It is installed once, before any other work of the host.
#pragma once

#include <cstdint>

#include <windows.h>

// Asked with the report's full path before sending; nonzero means send.
typedef int (*PFN_ConfirmCrashReport)(const char* pszReportPath);

// Installs CrashExceptionFilter as the process's unhandled-exception filter and keeps the filter
// installed before it. The host module, whose version resource names the product, is the module
// this handler is linked into. bOwnModuleOnly: report only crashes with a frame in the host
// module. pfnConfirm: asked before sending; null sends without asking. The report tag becomes 0.
void InstallCrashHandler(int bOwnModuleOnly, PFN_ConfirmCrashReport pfnConfirm);

// Puts the filter that was installed before back, when CrashExceptionFilter is still the installed
// one. For a library that installed the handler and is being unloaded: the process must not keep
// a filter that points into code that is gone.
void RemoveCrashHandler();

// The number placed in the report's file name.
void SetCrashReportTag(int32_t nTag);

// The installed filter: runs the crash path, then either hands the crash on to the filter that
// was installed before or ends the process (EXCEPTION_EXECUTE_HANDLER).
LONG WINAPI CrashExceptionFilter(EXCEPTION_POINTERS* pPointers);

// The crash path. *pbChain tells the filter whether the previous filter is still to be asked: it
// stays 1 while the crash is not the handler's to report (switch off, no version resource...).
void WriteAndSubmitCrashReport(EXCEPTION_POINTERS* pPointers, int* pbChain);
