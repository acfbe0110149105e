// StopTriggers.h: what makes the headless proxy stop, reload and report, where its output goes,
// and how its settings store is named; one implementation per platform (posix/, win32/).
#pragma once

#include "foundation/CharArray.h"

// What the triggers call, each on an ordinary thread, never inside a signal handler; each may be
// called more than once. Null entries are left out.
struct SSignalActions
{
    void (*pfnStop)();      // SIGINT, SIGTERM; Windows: Ctrl+C, Ctrl+Break, the console's close
    void (*pfnReload)();    // SIGHUP (POSIX only)
    void (*pfnDumpState)(); // SIGUSR1 (POSIX only)
};

// Arms the triggers, and with bStdinStop also the end of standard input as a stop (signals do
// not reliably reach a console program under Wine). Called before any other thread starts: on
// POSIX the signals are then blocked in every thread but the one that waits for them, so that no
// engine thread is ever interrupted by one. False when the triggers cannot be armed.
bool InstallStopTriggers(bool bStdinStop, const SSignalActions& actions);

// Tells the triggers that the stop has run to its end (a console close on Windows waits for it).
void StopTriggersDone();

// Starts the system's sockets; false (with a message on stderr) when they cannot be used.
bool StartHeadlessSockets();
void StopHeadlessSockets();

// The settings store as a user would look for it: the file on POSIX, the registry key on Windows.
void DescribeSettingsStore(CCArray& strText);

// True when standard error is the systemd journal's stream: JOURNAL_STREAM names the device and
// inode of standard error ("<device>:<inode>", as systemd sets it for a service whose output goes
// to the journal). An inherited JOURNAL_STREAM whose stream is no longer standard error does not
// count. Windows: false.
bool StderrIsJournal();

// Writes the text to standard error whole, after what stdio holds: on POSIX as one write(2) (retried
// only for what is left), so that lines of different threads never mix in the journal; a text the
// stream cannot take is lost there. Windows: through stdio, flushed.
void WriteStderrWhole(const char* pText, size_t nLength);
