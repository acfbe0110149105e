// Server.cpp: the server context, the listener thread, the accept loop with its two admission
// checks, and the engine's start, stop, restart and went-down steps.
#include "engine/Server.h"

#include <cstring>
#include <new>

#include "config/Settings.h"
#include "engine/AccessRules.h"
#include "engine/PasswordGuard.h"
#include "engine/Session.h"
#include "engine/SessionTable.h"
#include "foundation/TextHelpers.h"
#include "net/ErrorCode.h"
#include "net/ErrorText.h"
#include "net/SocketApi.h"
#include "platform/IdleThreads.h"
#include "platform/Sockets.h"

namespace
{
// The shell that runs before the program sets one, and for a program that never does: it has no
// messages, and it reports a server that went down by handling it on the listener's own thread.
class CNoShell : public IServerShell
{
public:
    CNoShell() { evStartIdle.Create(true); }
    bool PumpMessages() override { return true; }
    void SendServerDown() override { OnServerWentDown(); }
    CManualEvent& StartIdleEvent() override { return evStartIdle; }

private:
    CManualEvent evStartIdle;
};

IServerShell& Shell()
{
    static CNoShell* pNoShell = new CNoShell;
    IServerShell* pShell = GetServerShell();
    return pShell ? *pShell : *pNoShell;
}

// Session threads. A thread whose session has ended waits a little while for the next client
// before it ends, so that a busy server does not start and end a thread for every connection; a
// quiet one keeps none. The session's id is the id of the thread that serves it: a thread takes
// its next session only after removing its last record, and AdmitClient gives a session another
// key in the rare case that a live session holds its thread's id.
const int SESSION_THREAD_LINGER_MS = 2000;
const int SESSION_THREADS_MAX_IDLE = 64;

CIdleThreads& SessionThreads()
{
    static CIdleThreads* pThreads = new CIdleThreads(SysScaledStack(64 * 1024), THREAD_PRIO_NORMAL,
                                                     SESSION_THREAD_LINGER_MS, SESSION_THREADS_MAX_IDLE);
    return *pThreads;
}

// A server event line: every field "-" but the status and the error.
void LogServerEvent(const char* pszStatus, const char* pszError)
{
    if (g_server.logFile.IsOpen())
        g_server.logFile.LogEvent("-", "-", "-", "-", pszStatus, pszError);
}

void LogBlock(const sockaddr_in& saClient, const char* pszReason)
{
    if (!g_server.logFile.IsOpen())
        return;
    CCArray strSource;
    EndpointText(saClient, strSource);
    g_server.logFile.LogEvent("-", "-", strSource.GetString(), "-", "Block", pszReason);
}

// Steps 4 and 5 of the stop: marks and closes every session, then waits, pumping the shell's
// messages, until every session thread has removed its record. False when the shell quits.
bool EndAllSessions()
{
    {
        CScopedLock lock(g_csSessionTable);
        for (int32_t i = 0; i < g_sessionTable.GetSize(); i++)
        {
            SCSTask* pTask = g_sessionTable[i];
            SysRaiseFlag(&pTask->bStop);
            CloseSocketAt(&pTask->hClientSocket, GetDefaultSocketApi()->closesocket);
            CloseSocketAt(&pTask->hDestSocket, GetDefaultSocketApi()->closesocket);
        }
    }
    while (GetSessionCount() != 0)
    {
        SysSleep(1);
        if (!Shell().PumpMessages())
            return false;
    }
    return true;
}

// How the listener takes a failed Accept.
enum EAcceptFailure
{
    ACCEPT_FATAL, // the listening socket itself failed: the listener ends
    ACCEPT_SKIP,  // one client gave up before it was accepted: accept the next
    ACCEPT_RETRY, // one queued connection died of a network error: log it, accept the next
    ACCEPT_PAUSE, // the system is out of descriptors or buffers: log it, pause, accept again
};

EAcceptFailure ClassifyAcceptFailure(uint32_t nError)
{
    switch (ErrorWsa(nError))
    {
    // A client that reset its connection before it was accepted. Wine reports such a client as
    // 10057 (its accept asks for the peer's address, which a reset connection no longer has),
    // and a POSIX accept may report it as 10053.
    case WSAECONNRESET:
    case WSAENOTCONN:
    case WSAECONNABORTED:
        return ACCEPT_SKIP;
    // Linux hands the network errors of a connection that died in the queue to accept; so may
    // a firewall rule that refuses the connection (EPERM).
    case WSAENETDOWN:
    case WSAENETUNREACH:
    case WSAENETRESET:
    case WSAEHOSTDOWN:
    case WSAEHOSTUNREACH:
    case WSAENOPROTOOPT:
    case WSAEOPNOTSUPP:
    case WSAETIMEDOUT:
    case WSAEACCES:
        return ACCEPT_RETRY;
    // Any client can make the process run out of descriptors or buffers by opening connections:
    // that must not end the service for everybody. Sessions that end free what they held.
    case WSAEMFILE:
    case WSAENOBUFS:
        return ACCEPT_PAUSE;
    }
    return ACCEPT_FATAL;
}

// While descriptors or buffers are short, the connection that could not be accepted stays in
// the queue and Accept would fail again at once: wait a little for sessions to end. A stop
// raises bStop and is seen within one slice.
const int ACCEPT_PAUSE_MS = 100;
const int ACCEPT_PAUSE_SLICE_MS = 5;

void PauseAccepting(SServerContext* pServer)
{
    for (int nWaited = 0; nWaited < ACCEPT_PAUSE_MS && !SysIsFlagRaised(&pServer->bStop);
         nWaited += ACCEPT_PAUSE_SLICE_MS)
        SysSleep(ACCEPT_PAUSE_SLICE_MS);
}

// Sets the event it holds (if any) when it goes out of scope.
struct CWakeOnExit
{
    CManualEvent* pEvent = nullptr;
    ~CWakeOnExit()
    {
        if (pEvent != nullptr)
            pEvent->Set();
    }
};

// The admission checks and the hand-over of an accepted client to a session thread. The handle
// is left INVALID_SOCKET once it is closed or handed over.
void AdmitClient(SOCKET& hClient, const sockaddr_in& saClient)
{
    // Admission check 1, before the limit: a client outside the allowed ranges never counts.
    if (!IsAddressAllowed(saClient.sin_addr.s_addr))
    {
        CloseSocketAt(&hClient, GetDefaultSocketApi()->closesocket);
        LogBlock(saClient, "Connection not allowed by ruleset");
        return;
    }
    // An address that failed too many password checks is refused for a while.
    if (IsBlockedForGuessing(saClient.sin_addr.s_addr))
    {
        CloseSocketAt(&hClient, GetDefaultSocketApi()->closesocket);
        LogBlock(saClient, "Too many failed password checks");
        return;
    }
    // Admission check 2: the count is read without the lock.
    if (IsConnectionLimitReached())
    {
        CloseSocketAt(&hClient, GetDefaultSocketApi()->closesocket);
        LogBlock(saClient, "Maximum connection limit reached");
        return;
    }

    SCSTask* pTask = NewSessionRecord(hClient); // may throw std::bad_alloc: the caller refuses the client
    // An idle session thread is woken only once the lock is released: woken under it, it would
    // find the lock held by this thread (and sessions that are ending would wait for the wake).
    CWakeOnExit wake;
    {
        // The session goes to its thread while the lock is held, so the thread cannot remove
        // the record before it is in the table; the thread's id goes straight into the key.
        CScopedLock lock(g_csSessionTable);
        // Everything that can run out of memory happens before the thread exists: once it runs,
        // the record must get into the table.
        try
        {
            g_sessionTable.ReserveOne();
            EngineThreadStarting();
            bool bStarted;
            try
            {
                bStarted = SessionThreads().Start(SessionThreadProc, pTask, &pTask->dwSessionId, &wake.pEvent);
            }
            catch (const std::bad_alloc&)
            {
                EngineThreadEnded();
                throw;
            }
            CheckThreadCreated(bStarted);
        }
        catch (const std::bad_alloc&)
        {
            delete pTask;
            throw;
        }
        hClient = INVALID_SOCKET; // the session's now
        // A thread id is unique only among live threads, and on POSIX it comes from a 32-bit
        // counter that wraps: a live session may already hold this key. The record then takes the
        // next free one; the session thread removes its record by the key the record holds.
        while (!g_sessionTable.Insert(pTask))
            pTask->dwSessionId++;
    }
}
} // namespace

CServerListenThread::CServerListenThread(SServerContext* pContext)
    : CTollgateSocket(&pContext->hListenSocket, &pContext->bStop), pServer(pContext)
{
}

// ---------------------------------------------------------------------------------------------
// The listener.

void BindServiceAddress(CServerListenThread& listener)
{
    listener.Create(SOCK_STREAM);
    // Every accepted client socket inherits Nagle's algorithm switched off from the listening
    // socket (see SetNoDelay), which saves each session a call. No address reuse: a port that
    // another program holds makes the start fail instead of sharing it.
    SetNoDelay(listener);
    sockaddr_in sa = listener.pServer->saListen;
    listener.Bind(sa);
    listener.pServer->saListen = sa;
}

void ListenForClients(CServerListenThread& listener)
{
    listener.Listen(0x7FFFFFFF); // the Windows Sockets value for the system's maximum backlog
}

void AcceptLoop(CServerListenThread& listener)
{
    bool bFailing = false; // within a burst of accept failures that the listener survives
    for (;;)
    {
        sockaddr_in saClient;
        memset(&saClient, 0, sizeof(saClient));
        SOCKET hClient;
        try
        {
            hClient = listener.Accept(&saClient);
        }
        catch (uint32_t nError)
        {
            EAcceptFailure eFailure = ClassifyAcceptFailure(nError);
            if (eFailure == ACCEPT_FATAL || SysIsFlagRaised(&listener.pServer->bStop))
                throw;
            if (eFailure == ACCEPT_SKIP)
                continue;
            // One line for a whole burst: a flood must not flood the log as well.
            if (!bFailing)
            {
                CCArray strError;
                ErrorText(nError, strError);
                LogServerEvent("Accept failed, still listening", strError.GetString());
                bFailing = true;
            }
            if (eFailure == ACCEPT_PAUSE)
                PauseAccepting(listener.pServer);
            continue;
        }
        bFailing = false;
        try
        {
            AdmitClient(hClient, saClient);
        }
        catch (const std::bad_alloc&)
        {
            // No memory for this client's record or log line: refuse the one client, go on.
            CloseSocketAt(&hClient, GetDefaultSocketApi()->closesocket);
        }
    }
}

unsigned ListenThreadProc(void* pArg)
{
    SServerContext* pContext = static_cast<SServerContext*>(pArg);
    SysSetThreadPriority(THREAD_PRIO_HIGHEST);
    CServerListenThread listener(pContext);
    bool bAccepting = false;
    try
    {
        BindServiceAddress(listener);
        // Listening before the start is reported: a client that connects the moment the shell
        // says "Server started" must find the port open, and a socket that cannot listen is a
        // failed start rather than a server that goes down at once.
        ListenForClients(listener);
        pContext->hStartedEvent.Set();
        bAccepting = true;
        AcceptLoop(listener);
    }
    catch (uint32_t nError)
    {
        listener.Close();
        pContext->nLastError = nError;
        if (!SysIsFlagRaised(&pContext->bStop) && bAccepting)
        {
            // The listener died on its own. Wait until no start is in progress, then have the
            // shell tear the sessions down; the server counts as running until that has run.
            IServerShell& shell = Shell();
            shell.StartIdleEvent().Wait(-1);
            shell.SendServerDown();
        }
    }
    pContext->hStoppedEvent.Set();
    EngineThreadEnded();
    return 0;
}

// ---------------------------------------------------------------------------------------------
// The main thread's flows.

bool IsServerRunning()
{
    return !g_server.hStoppedEvent.IsSignalled();
}

EServerFlow StartServer()
{
    if (IsServerRunning())
        return FLOW_NOTHING;
    IServerShell& shell = Shell();
    shell.StartIdleEvent().Reset();

    ResetTraffic();
    ForgetPasswordFailures();
    g_server.bStop = 0; // no listener runs yet
    SysExchangeSocket(&g_server.hListenSocket, INVALID_SOCKET);
    g_server.hStartedEvent.Reset();
    g_server.hStoppedEvent.Reset();
    g_server.nLastError = 0;
    // The service address and the log settings are taken now; changing them needs a restart.
    g_server.saListen = g_settings.addrService;
    if (g_settings.bLog)
    {
        CCArray strPath(g_settings.strLogFolder);
        AddTrailingBackslash(strPath);
        strPath += "ServerLog.txt";
        g_server.logFile.Open(strPath);
    }

    EngineThreadStarting();
    CheckThreadCreated(SysStartThread(ListenThreadProc, &g_server, 0, nullptr));

    EServerFlow eResult;
    for (;;)
    {
        int nEvent = SysWaitEither(g_server.hStartedEvent, g_server.hStoppedEvent, 1);
        if (nEvent == 0)
        {
            LogServerEvent("Server started", "-");
            // A restriction that fails closed says why once per run, where its refusals are logged.
            const char* apszReasons[2];
            for (int i = 0, n = GetUnreadableRestrictions(apszReasons); i < n; i++)
                LogServerEvent("Block", apszReasons[i]);
            g_server.tStarted = SysTimeNow();
            eResult = FLOW_DONE;
            break;
        }
        if (nEvent == 1)
        {
            if (g_server.logFile.IsOpen())
            {
                CCArray strError;
                ErrorText(g_server.nLastError, strError);
                LogServerEvent("Server startup failed", strError.GetString());
                g_server.logFile.Close();
            }
            eResult = FLOW_FAILED;
            break;
        }
        if (!shell.PumpMessages())
        {
            eResult = FLOW_ABANDONED;
            break;
        }
    }
    shell.StartIdleEvent().Set();
    return eResult;
}

EServerFlow StopServer()
{
    if (!IsServerRunning())
        return FLOW_NOTHING;
    IServerShell& shell = Shell();

    // The blocked Accept fails once its socket is closed; the listener sees bStop and ends quietly.
    SysRaiseFlag(&g_server.bStop);
    CloseSocketAt(&g_server.hListenSocket, GetDefaultSocketApi()->closesocket);
    while (!g_server.hStoppedEvent.Wait(1))
    {
        if (!shell.PumpMessages())
            return FLOW_ABANDONED;
    }

    if (!EndAllSessions())
        return FLOW_ABANDONED;
    if (g_server.logFile.IsOpen())
    {
        LogServerEvent("Server stopped", "-");
        g_server.logFile.Close();
    }
    g_server.tStarted = 0;
    return FLOW_DONE;
}

EServerFlow RestartServer()
{
    if (!IsServerRunning())
        return FLOW_NOTHING;
    EServerFlow eStop = StopServer();
    if (eStop == FLOW_ABANDONED)
        return eStop;
    return StartServer();
}

EServerFlow OnServerWentDown()
{
    // The listener has closed its socket and waits for this to return before it signals
    // hStoppedEvent.
    if (!EndAllSessions())
        return FLOW_ABANDONED;
    if (g_server.logFile.IsOpen())
    {
        CCArray strError;
        ErrorText(g_server.nLastError, strError);
        LogServerEvent("Server went down", strError.GetString());
        g_server.logFile.Close();
    }
    g_server.tStarted = 0;
    return FLOW_DONE;
}

bool StartSessionThread(ThreadProc pProc, SCSTask* pTask)
{
    return SessionThreads().Start(pProc, pTask, nullptr);
}
