// FakeAgent.cpp: a dumpsend.dll stand-in for the crash tests. SubmitCrashReport appends its two
// arguments to agent-calls.txt in its own folder and keeps a copy of the report as sent.txt.
#include <cstdio>
#include <cstring>

#include <windows.h>

namespace
{
HMODULE g_hSelf;
}

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD nReason, void*)
{
    if (nReason == DLL_PROCESS_ATTACH)
        g_hSelf = hInstance;
    return TRUE;
}

extern "C" __declspec(dllexport) int SubmitCrashReport(const char* pszReportPath, const char* pszProductName)
{
    char szFolder[MAX_PATH];
    GetModuleFileNameA(g_hSelf, szFolder, MAX_PATH);
    *(strrchr(szFolder, '\\') + 1) = 0;
    char szPath[MAX_PATH];
    snprintf(szPath, sizeof(szPath), "%sagent-calls.txt", szFolder);
    if (std::FILE* f = std::fopen(szPath, "ab"))
    {
        std::fprintf(f, "%s|%s\n", pszReportPath ? pszReportPath : "(null)",
                     pszProductName ? pszProductName : "(null)");
        std::fclose(f);
    }
    snprintf(szPath, sizeof(szPath), "%ssent.txt", szFolder);
    CopyFileA(pszReportPath, szPath, FALSE);
    return 1;
}
