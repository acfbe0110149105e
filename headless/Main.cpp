// Main.cpp: tollgated, the proxy engine without the desktop shell.
//
// The same sources build the native Linux program (tollgated) and a Windows console program
// (tollgated.exe) that runs the Winsock build of the engine, under Wine for the tests. It loads
// the settings from the store, starts the server, serves until it is told to stop, then runs the
// stop flow so that the session log ends with "Server stopped".
//
// Command line: see PrintUsage (headless/Options.cpp). The settings options override the stored
// settings for this run, --save stores them too. --stdin-stop also stops the proxy when standard
// input reaches its end (signals do not reliably reach a Windows console program under Wine;
// closing its input does). SIGINT and SIGTERM stop the proxy (on Windows: Ctrl+C, Ctrl+Break,
// closing the console).
//
// Settings: on Linux the settings file (REGEDIT4 text; default $XDG_CONFIG_HOME/tollgate/
// tollgate.reg or ~/.config/tollgate/tollgate.reg), on Windows the key path under
// HKEY_CURRENT_USER (default "Software\Kestrel Co\Tollgate"); --config names another. The first
// start on Linux writes the file with every default and a comment above each value, serving
// 127.0.0.1:1080 only; later starts leave the file as the user left it unless --save is given.
//
// Output, each line flushed as it is written (the first "a.b.c.d:port" in the output is always
// the listening address):
//   stdout  "Tollgate listening on 127.0.0.1:40123"   the address and port actually bound (a
//                                                     setting of port 0 gets a free port)
//           "Settings: <store>"                       the file, or HKEY_CURRENT_USER\<key path>
//           "Log: <file>" or "Log: off"               the session log of this run
//           "Tollgate stopped"                        after the stop flow, just before exit 0
//   stderr  "Warning: open proxy: ..."                one line at start when the proxy serves every
//                                                     local address with neither the IP filter nor
//                                                     authentication in force
//           "Server startup failed:\n\n<error>"       the start failed, e.g. "Address already in use
//                                                     (10048)"; exit code 1
//           "Server went down:\n\n<error>"            the listener failed while serving; exit code 1
//           "Failed to create log file for this session:\n\n<system message>"
//                                                     the log could not be created; the proxy serves
//                                                     without it
// Exit codes: 0 after a stop, 1 when the server could not start or went down or the settings
// could not be saved, 2 for a bad command line (nothing is then written).
//
// Lifetime: the main thread always runs the stop flow and then waits until every engine thread
// has left, before it returns from main and the static objects are destroyed. The shell object
// and the stop triggers are left alive on purpose: a signal may still arrive at any moment.
#include <cstdio>
#include <cstring>
#include <atomic>

#include "config/Paths.h"
#include "config/Settings.h"
#include "config/SettingsStore.h"
#include "engine/Host.h"
#include "Version.h"
#include "headless/ConsoleShell.h"
#include "headless/HeadlessStore.h"
#include "headless/Options.h"
#include "headless/StopTriggers.h"
#include "logging/LogFile.h"
#include "net/ErrorText.h"

namespace
{
std::atomic<bool> g_bStopRequested(false);
CConsoleShell* g_pShell = nullptr;

void RequestStop()
{
    g_bStopRequested.store(true, std::memory_order_release);
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

void PrintServerError(const char* pszWhat)
{
    CCArray strError;
    ErrorText(g_server.nLastError, strError);
    fprintf(stderr, "%s:\n\n%s\n", pszWhat, strError.GetString());
    fflush(stderr);
}

// An open proxy (every local address, no address filter, no authentication) is the most common
// way such servers are abused: say so once, and say where to restrict it.
void WarnIfOpen()
{
    if (g_settings.addrService.sin_addr.s_addr != 0 || g_settings.bIpFilter)
        return;
    if (g_settings.bSocks5Auth && !g_settings.bSocks4)
        return;
    const char* pszWhy = g_settings.bSocks5Auth ? "SOCKS4 clients need no password"
                                                : "neither the IP filter nor authentication is on";
    fprintf(stderr,
            "Warning: open proxy: it serves every local address and %s, so anyone who can reach "
            "the port can use it; restrict it with --listen 127.0.0.1:1080, --allow, or --user with "
            "--no-socks4 (add --save to keep them), or in the settings file.\n",
            pszWhy);
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
    WarnIfOpen();
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

    if (!StartHeadlessSockets())
        return 1;
    InitPaths();
    if (opt.pszConfig != nullptr)
        SetSettingsStorePath(opt.pszConfig);
    bool bFirstStart = !SettingsStoreExists();
    LoadSettings(g_settings);
    if (bFirstStart)
    {
        // A Linux machine is often reachable from anywhere, and an open SOCKS proxy there is
        // found and abused within hours: the first start serves this machine only.
        g_settings.addrService.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        IsFirstRun(); // the first-run marker, as the Windows program's first run writes it
        SaveHeadlessSettings();
    }
    ApplyOptions(opt, g_settings);
    opt.strPassword.SetText("", 0);
    if (opt.bSave && !SaveHeadlessSettings())
    {
        fprintf(stderr, "tollgated: --save: the settings could not be saved\n");
        StopHeadlessSockets();
        return 1;
    }
    CLogFile::SetFailureReporter(PrintLogFailure);

    g_pShell = new CConsoleShell; // left alive: see the top of this file
    SetServerShell(g_pShell);
    if (!InstallStopTriggers(opt.bStdinStop, RequestStop))
    {
        fprintf(stderr, "tollgated: cannot install the stop signals\n");
        return 1;
    }
    if (StartServer() != FLOW_DONE)
    {
        PrintServerError("Server startup failed");
        StopHeadlessSockets();
        return 1;
    }
    PrintStarted();
    PrintUnreadableRestrictions();

    while (!g_bStopRequested.load(std::memory_order_acquire) && g_pShell->GetWentDownCount() == 0)
        g_pShell->WaitForEvents(-1);

    int nExitCode = 0;
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
