// Main.cpp: tollgated, the proxy engine without the desktop shell.
//
// The same sources build the native Linux program (tollgated) and a Windows console program
// (tollgated.exe) that runs the Winsock build of the engine, under Wine for the tests. It loads
// the settings from the store, starts the server, serves until it is told to stop, then runs the
// stop flow so that the session log ends with "Server stopped".
//
// Command line: see PrintUsage (headless/Options.cpp) and the manual page headless/tollgated.8.
// The settings options override the stored settings for this run (and at every reload), --save
// stores them too. --stdin-stop also stops the proxy when standard input reaches its end (signals
// do not reliably reach a Windows console program under Wine; closing its input does). SIGINT and
// SIGTERM stop the proxy (on Windows: Ctrl+C, Ctrl+Break, closing the console). On POSIX, SIGHUP
// reloads the settings file (headless/Service.h) and SIGUSR1 writes the state.
//
// Settings: on Linux the settings file (REGEDIT4 text; default $XDG_CONFIG_HOME/tollgate/
// tollgate.reg or ~/.config/tollgate/tollgate.reg), on Windows the key path under
// HKEY_CURRENT_USER (default "Software\Kestrel Co\Tollgate"); --config names another. The first
// start on Linux writes the file with every default and a comment above each value, serving
// 127.0.0.1:1080 only; later starts leave the file as the user left it unless --save is given. A
// file that gives no usable service address (it cannot be read or used, or its "Service Address"
// is missing or of the wrong size) serves 127.0.0.1:1080 too, never every address.
//
// Output, each line flushed as it is written (the first "a.b.c.d:port" in the output is always
// the listening address):
//   stdout  "Tollgate listening on 127.0.0.1:40123"   the address and port actually bound (a
//                                                     setting of port 0 gets a free port)
//           "Settings: <store>"                       the file, or HKEY_CURRENT_USER\<key path>
//           "Log: <file>" or "Log: off"               the session log of this run
//           "Tollgate stopped"                        after the stop flow, just before exit 0
//           "Settings reloaded from <file>"           after a SIGHUP whose file was applied (with
//                                                     ": <what changed>, restarting the server" and
//                                                     the three lines above again after a restart)
//   stderr  "Warning: open proxy: ..."                at start and after a reload, when the proxy
//                                                     serves an address outside 127.0.0.0/8 with
//                                                     neither the IP filter nor authentication in
//                                                     force
//           "Warning: SOCKS4 is on while ..."         SOCKS4 bypasses the required password
//           "tollgated: <why>; serving 127.0.0.1:1080 ..."
//                                                     the settings file gave no usable address
//           "tollgated: reload: ...; the running settings stay"
//                                                     a reload whose file cannot be used
//           "Statistics: started ...; snapshot <file>"
//                                                     after SIGUSR1 (headless/Service.h)
//           each session-log line                     under systemd (JOURNAL_STREAM) or with
//                                                     --log-stderr, while a log is open
//           "Server startup failed:\n\n<error>"       the start failed, e.g. "Address already in use
//                                                     (10048)"; exit code 1
//           "Server went down:\n\n<error>"            the listener failed while serving; exit code 1
//           "Failed to create log file for this session:\n\n<system message>"
//                                                     the log could not be created; the proxy serves
//                                                     without it
// Exit codes: 0 after a stop, 1 when the server could not start or went down or the settings
// could not be saved (or a restart after a reload could serve neither the new nor the old
// address), 2 for a bad command line or password (nothing is then written).
//
// Lifetime: the main thread always runs the stop flow and then waits until every engine thread
// has left, before it returns from main and the static objects are destroyed. The shell object
// and the stop triggers are left alive on purpose: a signal may still arrive at any moment.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "config/Paths.h"
#include "config/Settings.h"
#include "config/SettingsStore.h"
#include "engine/Host.h"
#include "Version.h"
#include "headless/ConsoleShell.h"
#include "headless/HeadlessStore.h"
#include "headless/Options.h"
#include "headless/Service.h"
#include "headless/StopTriggers.h"
#include "logging/LogFile.h"
#include "net/ErrorText.h"

namespace
{
std::atomic<bool> g_bStopRequested(false);
std::atomic<bool> g_bReloadRequested(false);
std::atomic<bool> g_bStateRequested(false);
CConsoleShell* g_pShell = nullptr;

void RequestStop()
{
    g_bStopRequested.store(true, std::memory_order_release);
    g_pShell->Wake();
}

void RequestReload()
{
    g_bReloadRequested.store(true, std::memory_order_release);
    g_pShell->Wake();
}

void RequestState()
{
    g_bStateRequested.store(true, std::memory_order_release);
    g_pShell->Wake();
}

void PrintLogFailure(const char* pszMessage)
{
    fprintf(stderr, "%s\n", pszMessage);
    fflush(stderr);
}

// A restriction switched on over a setting that cannot be read admits nobody; the session log
// says so too (a "Block" line at start), but the log may be off. One line each on stderr:
// "Warning: IP Ranges setting unreadable, no client allowed".
void PrintUnreadableRestrictions()
{
    const char* apszReasons[2];
    for (int i = 0, n = GetUnreadableRestrictions(apszReasons); i < n; i++)
        fprintf(stderr, "Warning: %s\n", apszReasons[i]);
    fflush(stderr);
}

// The session log's lines on the standard error, for the journal: one write per line, so that
// lines of different threads never mix (the log's lock orders them as in the file).
void MirrorLogLine(const char* pszLine, int nLength)
{
    CCArray strLine;
    strLine.SetText(pszLine, nLength);
    strLine.AppendChar('\n');
    WriteStderrWhole(strLine.GetString(), (size_t)strLine.GetLength());
}

void PrintServerError(const char* pszWhat)
{
    CCArray strError;
    ErrorText(g_server.nLastError, strError);
    fprintf(stderr, "%s:\n\n%s\n", pszWhat, strError.GetString());
    fflush(stderr);
}

// An open proxy is the most common way such servers are abused, and a password that SOCKS4
// walks around is no protection: say so, and say where to restrict it.
void PrintWarnings()
{
    CCArray strWarnings;
    GetExposureWarnings(g_settings, strWarnings);
    if (strWarnings.IsEmpty())
        return;
    fputs(strWarnings.GetString(), stderr);
    fflush(stderr);
}

void PrintStarted()
{
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(&g_server.saListen.sin_addr);
    printf("Tollgate listening on %u.%u.%u.%u:%u\n", pb[0], pb[1], pb[2], pb[3],
           (unsigned)ntohs(g_server.saListen.sin_port));
    CCArray strStore;
    DescribeSettingsStore(strStore);
    printf("Settings: %s\n", strStore.GetString());
    if (g_server.logFile.IsOpen())
        printf("Log: %s\n", g_server.logFile.GetFileName().GetString());
    else
        printf("Log: off\n");
    fflush(stdout);
    PrintWarnings();
}

void ServeThisMachineOnly(SSettings& settings)
{
    settings.addrService.sin_family = AF_INET;
    settings.addrService.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    settings.addrService.sin_port = htons(SETTINGS_DEFAULT_PORT);
}

// SIGHUP, on the main thread. False when the server could not be started again after a restart
// (neither at the new address nor at the old one): the program then ends with exit code 1.
bool Reload(const SHeadlessOptions& opt)
{
    CCArray strPath;
    GetSettingsStorePath(strPath);
    // The file is read anew, and whatever is wrong with it is said again at each reload.
    SetSettingsStorePath(strPath.GetString());
    SSettings next;
    int32_t nNextLimit = 0;
    CCArray strWhy;
    if (!LoadForReload(opt, next, nNextLimit, strWhy))
    {
        fprintf(stderr, "tollgated: reload: %s; the running settings stay\n", strWhy.GetString());
        fflush(stderr);
        return true;
    }
    sockaddr_in saBefore = g_settings.addrService;
    int32_t bLogBefore = g_settings.bLog;
    CCArray strLogFolderBefore(g_settings.strLogFolder);
    CCArray strRestartWhy;
    bool bRestart = ApplyReloadedSettings(next, nNextLimit, strRestartWhy);
    if (!bRestart)
    {
        printf("Settings reloaded from %s\n", strPath.GetString());
        fflush(stdout);
        PrintWarnings();
        return true;
    }
    printf("Settings reloaded from %s: %s, restarting the server\n", strPath.GetString(), strRestartWhy.GetString());
    fflush(stdout);
    EServerFlow eFlow = RestartServer();
    if (eFlow == FLOW_FAILED)
    {
        PrintServerError("Server startup failed");
        // The new address cannot be served: the old one is, as it was before the reload.
        g_settings.addrService = saBefore;
        g_settings.bLog = bLogBefore;
        g_settings.strLogFolder = strLogFolderBefore;
        fprintf(stderr, "tollgated: reload: serving the previous address and log settings again\n");
        fflush(stderr);
        eFlow = StartServer();
        if (eFlow == FLOW_FAILED)
        {
            PrintServerError("Server startup failed");
            return false;
        }
    }
    if (eFlow == FLOW_DONE)
        PrintStarted();
    return true;
}

void PrintState()
{
    CCArray strLine;
    WriteState(strLine);
    fprintf(stderr, "%s\n", strLine.GetString());
    fflush(stderr);
}
} // namespace

int main(int argc, char** argv)
{
    SHeadlessOptions opt;
    CCArray strError;
    if (!ParseOptions(argc, argv, opt, strError))
    {
        fprintf(stderr, "%s\n", strError.GetString());
        return 2;
    }
    if (opt.bHelp)
    {
        PrintUsage(stdout);
        return 0;
    }
    if (opt.bVersion)
    {
        printf("tollgated (Tollgate) %s\n", TG_VERSION_STRING);
        return 0;
    }
    if (!ReadPassword(opt, stdin, strError))
    {
        fprintf(stderr, "%s\n", strError.GetString());
        return 2;
    }

    // The triggers first, before any other thread exists (headless/StopTriggers.h). A request
    // that arrives during the start is handled once the server runs.
    g_pShell = new CConsoleShell; // left alive: see the top of this file
    SetServerShell(g_pShell);
    SSignalActions actions = {RequestStop, RequestReload, RequestState};
    if (!InstallStopTriggers(opt.bStdinStop, actions))
    {
        fprintf(stderr, "tollgated: cannot install the stop signals\n");
        return 1;
    }
    if (!StartHeadlessSockets())
        return 1;
    InitPaths();
    if (opt.pszConfig != nullptr)
        SetSettingsStorePath(opt.pszConfig);
    bool bFirstStart = !SettingsStoreExists();
    LoadSettings(g_settings);
    CCArray strWhy;
    if (!StoredAddressUsable(strWhy))
    {
        // A Linux machine is often reachable from anywhere, and an open SOCKS proxy there is
        // found and abused within hours: without a stored address it serves this machine only,
        // never the Windows program's default of every address.
        ServeThisMachineOnly(g_settings);
        if (!strWhy.IsEmpty() && !opt.bListen)
        {
            fprintf(stderr, "tollgated: %s; serving 127.0.0.1:1080, this machine only, not every address\n",
                    strWhy.GetString());
            fflush(stderr);
        }
    }
    if (bFirstStart)
    {
        IsFirstRun(); // the first-run marker, as the Windows program's first run writes it
        SaveHeadlessSettings();
    }
    // The password stays in the options as well as in the settings: a reload puts it over the
    // file again.
    ApplyOptions(opt, g_settings);
    if (opt.bSave && !SaveHeadlessSettings())
    {
        fprintf(stderr, "tollgated: --save: the settings could not be saved\n");
        StopHeadlessSockets();
        return 1;
    }
    CLogFile::SetFailureReporter(PrintLogFailure);
    if (opt.bLogStderr || StderrIsJournal())
        CLogFile::SetLineMirror(MirrorLogLine);

    if (StartServer() != FLOW_DONE)
    {
        PrintServerError("Server startup failed");
        StopHeadlessSockets();
        return 1;
    }
    PrintStarted();
    PrintUnreadableRestrictions();

    int nExitCode = 0;
    for (;;)
    {
        if (g_bStopRequested.load(std::memory_order_acquire) || g_pShell->GetWentDownCount() != 0)
            break;
        if (g_bReloadRequested.exchange(false, std::memory_order_acq_rel) && !Reload(opt))
        {
            nExitCode = 1;
            break;
        }
        if (g_bStateRequested.exchange(false, std::memory_order_acq_rel))
            PrintState();
        if (g_bStopRequested.load(std::memory_order_acquire) || g_pShell->GetWentDownCount() != 0)
            break;
        g_pShell->WaitForEvents(-1);
    }

    if (g_pShell->GetWentDownCount() != 0)
    {
        PrintServerError("Server went down");
        nExitCode = 1;
    }
    // After a server that went down this only waits for the listener to signal its end.
    StopServer();
    WaitEngineThreadsEnded(-1);
    if (nExitCode == 0)
    {
        printf("Tollgate stopped\n");
        fflush(stdout);
    }
    StopTriggersDone();
    StopHeadlessSockets();
    return nExitCode;
}
