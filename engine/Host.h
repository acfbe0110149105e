// Host.h: the engine as a host program sees it. A host (the Windows shell Tollgate.exe, the
// headless tollgated) includes this one header.
//
// A host implements:
//   - IServerShell (engine/ServerShell.h): PumpMessages, which handles the main thread's pending
//     events between the 1 ms slices of every wait of the flows below and says whether the
//     program quits; SendServerDown, which has OnServerWentDown run on the main thread and
//     returns once it has run (the Windows shell sends WM_SERVERDOWN to its hidden window); and
//     StartIdleEvent, a manual-reset event created signalled. SetServerShell before the first
//     StartServer; the shell outlives every engine thread.
//   - Start-up in this order: the system's sockets, InitPaths and LoadSettings (config/), then
//     IpRangesGate() once, so that the gate exists before the server does.
// A host calls, on its main thread only:
//   - StartServer, StopServer, RestartServer (engine/Server.h), each returning how the flow
//     ended (EServerFlow); IsServerRunning to choose its icon and menu;
//   - OnServerWentDown, from inside SendServerDown's hand-over to the main thread;
//   - ReplaceIpRanges (engine/AccessRules.h), the only way to change the allowed ranges while
//     the server may run;
//   - WaitEngineThreadsEnded (engine/ServerContext.h) after the last stop, before it returns from
//     main. A program that exits while the server runs ends the process at once instead.
// A host reads, from any thread:
//   - g_server (engine/ServerContext.h): tStarted (0 while stopped), nLastError with ErrorText
//     for the start-failed and went-down messages, logFile.IsOpen and logFile.GetFileName;
//   - the session table (engine/SessionTable.h): GetSessionCount without a lock; the records
//     themselves only while holding g_csSessionTable, for as short a time as a copy takes;
//   - the traffic counters g_traffic through ReadTraffic; StartServer zeroes them;
//   - the settings record g_settings and nConnectionLimit (config/Settings.h), which the host
//     changes and saves itself (config/SettingsStore.h). The engine reads every setting at each
//     use, except the service address and the two log settings, which StartServer captures:
//     changing those needs a restart.
#pragma once

#include "config/Settings.h"
#include "engine/AccessRules.h"
#include "engine/Server.h"
#include "engine/ServerContext.h"
#include "engine/ServerShell.h"
#include "engine/SessionTable.h"
