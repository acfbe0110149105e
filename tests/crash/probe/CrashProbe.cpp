// CrashProbe.cpp: a program with Tollgate's version resource and crash handler that faults on
// purpose, for the crash tests. Arguments, in any order:
//   prev       install a previous unhandled-exception filter first; it ends the process with 42
//   own        report only crashes with a frame in this program
//   ask-send   confirm with a callback that keeps a copy of the report and answers "send"
//   ask-keep   the same callback, answering "don't send"
//   tag=N      SetCrashReportTag(N)
//   foreign    fault inside msvcrt on a thread of its own, with no frame of this program
// Like Tollgate, the probe starts Windows Sockets first: the upload agent relies on its host for that.
// Without foreign the main thread faults three calls deep: ProbeLevel1 -> 2 -> 3. Before the
// fault the probe writes probe-map.txt into its folder: its own path and the three functions'
// addresses, so that the tests can find them in the report's call stack.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <winsock2.h>
#include <windows.h>

#include "crash/CrashHandler.h"

namespace
{
int g_bAnswer;
char g_szFolder[MAX_PATH];

std::FILE* OpenInFolder(const char* pszName, const char* pszMode)
{
    char szPath[MAX_PATH];
    snprintf(szPath, sizeof(szPath), "%s%s", g_szFolder, pszName);
    return std::fopen(szPath, pszMode);
}

int ConfirmWithCopy(const char* pszReportPath)
{
    char szCopy[MAX_PATH];
    snprintf(szCopy, sizeof(szCopy), "%sconfirmed.txt", g_szFolder);
    CopyFileA(pszReportPath, szCopy, FALSE);
    if (std::FILE* f = OpenInFolder("confirmed-path.txt", "wb"))
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

void WriteMap()
{
    char szSelf[MAX_PATH];
    GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    if (std::FILE* f = OpenInFolder("probe-map.txt", "wb"))
    {
        std::fprintf(f, "%s\n%08X %08X %08X\n", szSelf, (unsigned)(uintptr_t)&ProbeLevel1,
                     (unsigned)(uintptr_t)&ProbeLevel2, (unsigned)(uintptr_t)&ProbeLevel3);
        std::fclose(f);
    }
}
} // namespace

int main(int argc, char** argv)
{
    GetModuleFileNameA(nullptr, g_szFolder, MAX_PATH);
    *(strrchr(g_szFolder, '\\') + 1) = 0;

    bool bPrevious = false, bOwn = false, bForeign = false, bTag = false;
    PFN_ConfirmCrashReport pfnConfirm = nullptr;
    int nTag = 0;
    for (int i = 1; i < argc; i++)
    {
        bPrevious |= strcmp(argv[i], "prev") == 0;
        bOwn |= strcmp(argv[i], "own") == 0;
        bForeign |= strcmp(argv[i], "foreign") == 0;
        if (strcmp(argv[i], "ask-send") == 0 || strcmp(argv[i], "ask-keep") == 0)
        {
            pfnConfirm = ConfirmWithCopy;
            g_bAnswer = strcmp(argv[i], "ask-send") == 0;
        }
        if (strncmp(argv[i], "tag=", 4) == 0)
        {
            bTag = true;
            nTag = atoi(argv[i] + 4);
        }
    }
    WSADATA wsaData;
    WSAStartup(MAKEWORD(2, 2), &wsaData);
    if (bPrevious)
        SetUnhandledExceptionFilter(PreviousFilter);
    InstallCrashHandler(bOwn, pfnConfirm);
    if (bTag)
        SetCrashReportTag(nTag);
    WriteMap();

    if (bForeign)
    {
        // strlen of address 1 faults inside msvcrt; the thread starts there, so no frame of the
        // probe is on its stack.
        LPTHREAD_START_ROUTINE pfnStrlen =
            (LPTHREAD_START_ROUTINE)(void*)GetProcAddress(LoadLibraryA("msvcrt.dll"), "strlen");
        HANDLE hThread = CreateThread(nullptr, 0, pfnStrlen, (void*)1, 0, nullptr);
        WaitForSingleObject(hThread, 20000);
        return 3;
    }
    return ProbeLevel1(argc);
}
