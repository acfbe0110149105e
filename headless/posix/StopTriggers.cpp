// StopTriggers.cpp (POSIX): SIGINT, SIGTERM and the end of standard input stop the proxy.
//
// A signal handler may only do async-signal-safe work, so it writes one byte into a pipe and
// returns. A watcher thread waits on that pipe (and on standard input when asked to) and passes
// the stop on to the main thread, which runs the stop flow itself.
#include "headless/StopTriggers.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "config/SettingsStore.h"
#include "platform/Sockets.h"

namespace
{
int g_signalPipe[2] = {-1, -1};
bool g_bWatchStdin = false;
void (*g_pfnStop)() = nullptr;

void OnStopSignal(int)
{
    int nSavedErrno = errno;
    char ch = 1;
    // A full pipe already holds a stop request: the byte may be dropped.
    ssize_t nIgnored = write(g_signalPipe[1], &ch, 1);
    (void)nIgnored;
    errno = nSavedErrno;
}

unsigned WatchThreadProc(void*)
{
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
            g_pfnStop();
        }
        if (bStdin && fds[1].revents != 0)
        {
            // Input is read and dropped; its end (or a failure to read it) is the stop request.
            char buffer[256];
            ssize_t nRead = read(STDIN_FILENO, buffer, sizeof(buffer));
            if (nRead == 0 || (nRead < 0 && errno != EINTR && errno != EAGAIN))
            {
                bStdin = false;
                g_pfnStop();
            }
        }
    }
}
} // namespace

bool InstallStopTriggers(bool bStdinStop, void (*pfnStop)())
{
    g_pfnStop = pfnStop;
    g_bWatchStdin = bStdinStop;
    if (pipe(g_signalPipe) != 0)
        return false;
    fcntl(g_signalPipe[0], F_SETFD, FD_CLOEXEC);
    fcntl(g_signalPipe[1], F_SETFD, FD_CLOEXEC);
    fcntl(g_signalPipe[1], F_SETFL, O_NONBLOCK);

    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0)
        return false;
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
