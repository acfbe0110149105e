// UploadAgent.h: the run-time binding of the upload agent dumpsend.
//
// The agent is loaded only on the crash path, by file name, so that a process that never crashes
// never loads it and a missing agent costs nothing but the report.
#pragma once

// dumpsend's export: uploads the report at pszReportPath for the product pszProductName; 1 when
// the endpoint accepted it. The caller cleans the arguments off the stack.
typedef int(__cdecl* PFN_SubmitCrashReport)(const char* pszReportPath, const char* pszProductName);

// Loads "dumpsend.dll" through the system's library search and looks up "SubmitCrashReport".
// Null when either is missing. The library is never freed: the process ends right after.
PFN_SubmitCrashReport BindUploadAgent();
