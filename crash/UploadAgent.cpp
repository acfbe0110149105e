// UploadAgent.cpp: loading dumpsend and finding its export.
#include "crash/UploadAgent.h"

#include <windows.h>

PFN_SubmitCrashReport BindUploadAgent()
{
    HMODULE hAgent = LoadLibraryA("dumpsend.dll");
    if (!hAgent)
        return nullptr;
    return (PFN_SubmitCrashReport)(void*)GetProcAddress(hAgent, "SubmitCrashReport");
}
