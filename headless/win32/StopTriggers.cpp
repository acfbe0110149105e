// StopTriggers.cpp (Windows): Ctrl+C, Ctrl+Break, the console's close and the end of standard
// input stop the proxy.
//
// The console control handler runs on a thread of its own that the system starts, so it may
// pass the stop on directly. Under Wine a console program does not reliably receive those
// events, which is why the end of standard input can stop it too: a thread reads standard input
// until it ends.
#include "headless/StopTriggers.h"

#include <cstdio>

#include "config/SettingsStore.h"
#include "platform/Sockets.h"

namespace
{
void (*g_pfnStop)() = nullptr;
CManualEvent* g_pStopDone = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD dwEvent)
{
    g_pfnStop();
    // The process ends as soon as the handler of a close, logoff or shutdown event returns: give
    // the stop flow a few seconds to end the sessions and write "Server stopped".
    if (dwEvent == CTRL_CLOSE_EVENT || dwEvent == CTRL_LOGOFF_EVENT || dwEvent == CTRL_SHUTDOWN_EVENT)
        g_pStopDone->Wait(4000);
    return TRUE;
}

unsigned StdinThreadProc(void*)
{
    HANDLE hInput = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[256];
    DWORD dwRead = 0;
    // Input is read and dropped; its end (or a failure to read it) is the stop request.
    while (hInput != NULL && hInput != INVALID_HANDLE_VALUE &&
           ReadFile(hInput, buffer, sizeof(buffer), &dwRead, NULL) && dwRead != 0)
    {
    }
    g_pfnStop();
    return 0;
}
} // namespace

bool InstallStopTriggers(bool bStdinStop, const SSignalActions& actions)
{
    // Windows has no reload or state signal: only the stop is armed.
    g_pfnStop = actions.pfnStop;
    g_pStopDone = new CManualEvent; // left alive: the handler may run while the process exits
    g_pStopDone->Create(false);
    if (!SetConsoleCtrlHandler(OnConsoleEvent, TRUE))
        return false;
    if (bStdinStop)
        return SysStartThread(StdinThreadProc, nullptr, SysScaledStack(64 * 1024), nullptr);
    return true;
}

void StopTriggersDone()
{
    g_pStopDone->Set();
}

bool StartHeadlessSockets()
{
    int nMajor = 0, nMinor = 0;
    if (!SysSocketsStartup(&nMajor, &nMinor))
    {
        fprintf(stderr, "Windows sockets initialization failed.\n");
        return false;
    }
    return true;
}

void StopHeadlessSockets()
{
    SysSocketsCleanup();
}

void DescribeSettingsStore(CCArray& strText)
{
    CCArray strKey;
    GetSettingsStorePath(strKey);
    strText = "HKEY_CURRENT_USER\\";
    strText += strKey;
}

bool StderrIsJournal()
{
    return false;
}

void WriteStderrWhole(const char* pText, size_t nLength)
{
    fflush(stderr);
    fwrite(pText, 1, nLength, stderr);
    fflush(stderr);
}
