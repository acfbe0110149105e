// StopTriggers.cpp (POSIX): SIGINT, SIGTERM and the end of standard input stop the proxy, SIGHUP
// reloads its settings, SIGUSR1 writes its state.
//
// A signal handler may only do async-signal-safe work, so it raises the flag of its signal (a
// lock-free atomic) and writes one byte into a pipe, and returns. A watcher thread waits on that
// pipe (and on standard input when asked to) and passes each raised flag on to its action, which
// hands it to the main thread. The four signals are blocked in the main thread before any other
// thread exists, so every thread started later inherits the block; only the watcher unblocks
// them. A signal therefore never interrupts a session's system calls, and the handlers always run
// on the watcher.
#include "headless/StopTriggers.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/SettingsStore.h"
#include "platform/Sockets.h"

namespace
{
enum
{
    TRIGGER_STOP,
    TRIGGER_RELOAD,
    TRIGGER_DUMP,
    TRIGGER_COUNT,
};

int g_signalPipe[2] = {-1, -1};
bool g_bWatchStdin = false;
SSignalActions g_actions = {nullptr, nullptr, nullptr};
std::atomic<bool> g_abRaised[TRIGGER_COUNT];
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler may only use lock-free atomics");

const int g_anSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR1};

void BlockedSignals(sigset_t* pSet)
{
    sigemptyset(pSet);
    for (int nSignal : g_anSignals)
        sigaddset(pSet, nSignal);
}

void OnSignal(int nSignal)
{
    int nSavedErrno = errno;
    int nTrigger = nSignal == SIGHUP ? TRIGGER_RELOAD : nSignal == SIGUSR1 ? TRIGGER_DUMP : TRIGGER_STOP;
    g_abRaised[nTrigger].store(true);
    char ch = 1;
    // A full pipe already holds a wake-up: the byte may be dropped, the flag stays raised.
    ssize_t nIgnored = write(g_signalPipe[1], &ch, 1);
    (void)nIgnored;
    errno = nSavedErrno;
}

void Run(int nTrigger)
{
    void (*apfn[TRIGGER_COUNT])() = {g_actions.pfnStop, g_actions.pfnReload, g_actions.pfnDumpState};
    if (g_abRaised[nTrigger].exchange(false) && apfn[nTrigger] != nullptr)
        apfn[nTrigger]();
}

unsigned WatchThreadProc(void*)
{
    sigset_t set;
    BlockedSignals(&set);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    bool bStdin = g_bWatchStdin;
    for (;;)
    {
        pollfd fds[2];
        fds[0].fd = g_signalPipe[0];
        fds[0].events = POLLIN;
        fds[1].fd = STDIN_FILENO;
        fds[1].events = POLLIN;
        int nReady = poll(fds, bStdin ? 2 : 1, -1);
        if (nReady < 0)
        {
            if (errno == EINTR)
                continue;
            return 0;
        }
        if (fds[0].revents != 0)
        {
            char buffer[16];
            ssize_t nIgnored = read(g_signalPipe[0], buffer, sizeof(buffer));
            (void)nIgnored;
            for (int nTrigger = 0; nTrigger < TRIGGER_COUNT; nTrigger++)
                Run(nTrigger);
        }
        if (bStdin && fds[1].revents != 0)
        {
            // Input is read and dropped; its end (or a failure to read it) is the stop request.
            char buffer[256];
            ssize_t nRead = read(STDIN_FILENO, buffer, sizeof(buffer));
            if (nRead == 0 || (nRead < 0 && errno != EINTR && errno != EAGAIN))
            {
                bStdin = false;
                g_actions.pfnStop();
            }
        }
    }
}
} // namespace

bool InstallStopTriggers(bool bStdinStop, const SSignalActions& actions)
{
    g_actions = actions;
    g_bWatchStdin = bStdinStop;
    for (std::atomic<bool>& bRaised : g_abRaised)
        bRaised.store(false);
    if (pipe(g_signalPipe) != 0)
        return false;
    fcntl(g_signalPipe[0], F_SETFD, FD_CLOEXEC);
    fcntl(g_signalPipe[1], F_SETFD, FD_CLOEXEC);
    fcntl(g_signalPipe[0], F_SETFL, O_NONBLOCK);
    fcntl(g_signalPipe[1], F_SETFL, O_NONBLOCK);

    sigset_t set;
    BlockedSignals(&set);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    // Each handler runs with the others held back: one flag and one byte at a time.
    action.sa_mask = set;
    action.sa_flags = SA_RESTART;
    for (int nSignal : g_anSignals)
    {
        if ((nSignal == SIGHUP && actions.pfnReload == nullptr) ||
            (nSignal == SIGUSR1 && actions.pfnDumpState == nullptr))
            continue;
        if (sigaction(nSignal, &action, nullptr) != 0)
            return false;
    }
    // A client that goes away while the proxy sends to it must cost an error, not the process.
    signal(SIGPIPE, SIG_IGN);

    // The watcher sleeps in poll for the whole run; a small stack is plenty.
    return SysStartThread(WatchThreadProc, nullptr, SysScaledStack(64 * 1024), nullptr);
}

void StopTriggersDone() {}

bool StartHeadlessSockets()
{
    int nMajor = 0, nMinor = 0;
    return SysSocketsStartup(&nMajor, &nMinor);
}

void StopHeadlessSockets()
{
    SysSocketsCleanup();
}

void DescribeSettingsStore(CCArray& strText)
{
    GetSettingsStorePath(strText);
    if (strText.IsEmpty())
        strText = "(none: neither XDG_CONFIG_HOME nor HOME is set; defaults apply)";
}

bool StderrIsJournal()
{
    const char* pszStream = getenv("JOURNAL_STREAM");
    if (pszStream == nullptr || *pszStream == 0)
        return false;
    char* pEnd = nullptr;
    errno = 0;
    unsigned long long nDevice = strtoull(pszStream, &pEnd, 10);
    if (errno != 0 || pEnd == pszStream || *pEnd != ':')
        return false;
    const char* pszInode = pEnd + 1;
    unsigned long long nInode = strtoull(pszInode, &pEnd, 10);
    if (errno != 0 || pEnd == pszInode || *pEnd != 0)
        return false;
    struct stat st;
    if (fstat(STDERR_FILENO, &st) != 0)
        return false;
    return (unsigned long long)st.st_dev == nDevice && (unsigned long long)st.st_ino == nInode;
}

void WriteStderrWhole(const char* pText, size_t nLength)
{
    fflush(stderr);
    while (nLength > 0)
    {
        ssize_t n = write(STDERR_FILENO, pText, nLength);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // a line the journal cannot take is lost there; the log file still has it
        pText += n;
        nLength -= (size_t)n;
    }
}
