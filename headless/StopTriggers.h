// StopTriggers.h: what makes the headless proxy stop, and how its settings store is named; one
// implementation per platform (posix/, win32/).
#pragma once

#include "foundation/CharArray.h"

// Arms the stop triggers: SIGINT and SIGTERM on POSIX, Ctrl+C, Ctrl+Break and the console's
// close on Windows, and with bStdinStop also the end of standard input (signals do not reliably
// reach a console program under Wine). pfnStop is called on an ordinary thread, never inside a
// signal handler; it may be called more than once. False when the triggers cannot be armed.
bool InstallStopTriggers(bool bStdinStop, void (*pfnStop)());

// Tells the triggers that the stop has run to its end (a console close on Windows waits for it).
void StopTriggersDone();

// Starts the system's sockets; false (with a message on stderr) when they cannot be used.
bool StartHeadlessSockets();
void StopHeadlessSockets();

// The settings store as a user would look for it: the file on POSIX, the registry key on Windows.
void DescribeSettingsStore(CCArray& strText);
