// CrashProbe.cpp: a program with Tollgate's version resource and crash handler that faults on
// purpose, for the crash tests; it is started in its own folder. Arguments, in any order:
//   prev       install a previous unhandled-exception filter first; it ends the process with 42
//   own        report only crashes with a frame in this program
//   ask-send   confirm with a callback that keeps confirmed-path.txt and a copy of the report,
//              confirmed.txt, and answers "send"; ask-keep the same, answering "don't send"
//   tag=N      SetCrashReportTag(N)
//   foreign    fault inside msvcrt on a thread of its own, with no frame of this program
// Without foreign the main thread faults three calls deep: ProbeLevel1 -> 2 -> 3; probe-map.txt
// gives the probe's path and the three functions' addresses. Like Tollgate, the probe starts
// Windows Sockets first: the upload agent relies on its host for that.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <winsock2.h>
#include <windows.h>

#include "crash/CrashHandler.h"

namespace
{
int g_bAnswer;

int ConfirmWithCopy(const char* pszReportPath)
{
    CopyFileA(pszReportPath, "confirmed.txt", FALSE);
    if (std::FILE* f = std::fopen("confirmed-path.txt", "wb"))
    {
        std::fputs(pszReportPath, f);
        std::fclose(f);
    }
    return g_bAnswer;
}

LONG WINAPI PreviousFilter(EXCEPTION_POINTERS*)
{
    ExitProcess(42);
}

volatile int* volatile g_pNowhere = nullptr;

__attribute__((noinline)) int ProbeLevel3(int n)
{
    *g_pNowhere = n;
    return n + 3;
}

__attribute__((noinline)) int ProbeLevel2(int n)
{
    return ProbeLevel3(n + 1) + 2;
}

__attribute__((noinline)) int ProbeLevel1(int n)
{
    return ProbeLevel2(n + 1) + 1;
}
} // namespace

int main(int argc, char** argv)
{
    WSADATA wsaData;
    WSAStartup(MAKEWORD(2, 2), &wsaData);
    bool bForeign = false;
    PFN_ConfirmCrashReport pfnConfirm = nullptr;
    int bOwn = 0, nTag = -1;
    for (int i = 1; i < argc; i++)
    {
        if (strcmp(argv[i], "prev") == 0)
            SetUnhandledExceptionFilter(PreviousFilter);
        bOwn |= strcmp(argv[i], "own") == 0;
        bForeign |= strcmp(argv[i], "foreign") == 0;
        if (strncmp(argv[i], "ask-", 4) == 0)
        {
            pfnConfirm = ConfirmWithCopy;
            g_bAnswer = strcmp(argv[i], "ask-send") == 0;
        }
        if (strncmp(argv[i], "tag=", 4) == 0)
            nTag = atoi(argv[i] + 4);
    }
    InstallCrashHandler(bOwn, pfnConfirm);
    if (nTag >= 0)
        SetCrashReportTag(nTag);

    char szSelf[MAX_PATH];
    GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    if (std::FILE* f = std::fopen("probe-map.txt", "wb"))
    {
        std::fprintf(f, "%s\n%08" PRIXPTR " %08" PRIXPTR " %08" PRIXPTR "\n", szSelf, (uintptr_t)&ProbeLevel1,
                     (uintptr_t)&ProbeLevel2, (uintptr_t)&ProbeLevel3);
        std::fclose(f);
    }
    if (bForeign)
    {
        // strlen of address 1 faults inside msvcrt; the thread starts there, so no frame of the
        // probe is on its stack.
        LPTHREAD_START_ROUTINE pfnStrlen =
            (LPTHREAD_START_ROUTINE)(void*)GetProcAddress(LoadLibraryA("msvcrt.dll"), "strlen");
        WaitForSingleObject(CreateThread(nullptr, 0, pfnStrlen, (void*)1, 0, nullptr), 20000);
        return 3;
    }
    return ProbeLevel1(argc);
}
