// Server.cpp: the server context, the listener thread, the accept loop with its two admission
// checks, and the engine's start, stop, restart and went-down steps.
#include "engine/Server.h"

#include <cstring>

#include "config/Settings.h"
#include "engine/AccessRules.h"
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
// quiet one keeps none. The session's id is the id of the thread that serves it, unique among the
// live sessions because a thread takes its next session only after removing its last record.
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
    // No socket option on the listening socket, address reuse included: a port that another
    // program holds makes the start fail instead of sharing it.
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
            // A client that reset its connection before it was accepted is not the listener's
            // failure: accept the next one. Anything else ends the loop. Wine reports such a
            // client as 10057 (its accept asks for the peer's address, which a reset connection
            // no longer has), and a POSIX accept may report it as 10053.
            int nWsa = ErrorWsa(nError);
            if (nWsa == WSAECONNRESET || nWsa == WSAENOTCONN || nWsa == WSAECONNABORTED)
                continue;
            throw;
        }

        // Admission check 1, before the limit: a client outside the allowed ranges never counts.
        if (!IsAddressAllowed(saClient.sin_addr.s_addr))
        {
            CloseSocketAt(&hClient, GetDefaultSocketApi()->closesocket);
            LogBlock(saClient, "Connection not allowed by ruleset");
            continue;
        }
        // Admission check 2: the count is read without the lock.
        if (IsConnectionLimitReached())
        {
            CloseSocketAt(&hClient, GetDefaultSocketApi()->closesocket);
            LogBlock(saClient, "Maximum connection limit reached");
            continue;
        }

        SCSTask* pTask = NewSessionRecord(hClient);
        {
            // The session goes to its thread while the lock is held, so the thread cannot remove
            // the record before it is in the table; the thread's id goes straight into the key.
            CScopedLock lock(g_csSessionTable);
            EngineThreadStarting();
            CheckThreadCreated(SessionThreads().Start(SessionThreadProc, pTask, &pTask->dwSessionId));
            g_sessionTable.Insert(pTask);
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
