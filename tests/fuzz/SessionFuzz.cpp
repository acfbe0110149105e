// SessionFuzz.cpp: libFuzzer target for a whole client session, from the version byte to the end
// of its relay.
//
// One input is one session. It runs SessionThreadProc on the calling thread, on a session record
// in the session table, over the scripted socket table: the client's bytes arrive in chunks of a
// chosen size, the destination's connect is answered by the script (with the destination's own
// reply bytes, or a refusal), and a UDP association gets datagrams on both of its sockets. Host
// names go to a resolver of our own that knows only "localhost", so nothing ever leaves the
// process. Faults chosen by the input make single socket calls fail.
//
// Input layout (FuzzedDataProvider): from the end, a flags byte, a faults byte and the chunk size;
// from the front, backslash-terminated strings: the client's byte stream, the destination's reply,
// then datagrams, alternately from the client to the relay and from a destination to it.
//
// Besides what the sanitizers catch, every session must end with its record gone from the table,
// every socket it opened closed exactly once, and every engine thread ended.
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "config/Settings.h"
#include "engine/Server.h"
#include "engine/Session.h"
#include "engine/SessionTable.h"
#include "net/SocketApi.h"
#include "platform/Sockets.h"
#include "tests/support/ScriptedSocketApi.h"

namespace
{
// Flags byte.
const uint8_t FLAG_SOCKS4_OFF = 0x01;
const uint8_t FLAG_SOCKS5_OFF = 0x02;
const uint8_t FLAG_AUTH = 0x04;
const uint8_t FLAG_FOREIGN_DATAGRAMS = 0x08;  // every second client datagram from another host
const uint8_t FLAG_OVERSIZED_DATAGRAM = 0x10; // a destination datagram larger than the relay's room

// Faults byte: each bit makes one socket call fail.
const uint8_t FAULT_CONNECT = 0x01;     // the destination refuses
const uint8_t FAULT_SOCKET = 0x02;      // the first socket() fails
const uint8_t FAULT_BIND = 0x04;        // the first bind() fails (the UDP relay cannot start)
const uint8_t FAULT_CLIENT_SEND = 0x08; // the first send to the client fails
const uint8_t FAULT_DEST_RESET = 0x10;  // the destination resets after its reply
const uint8_t FAULT_SOCKNAME = 0x20;    // getsockname fails
const uint8_t FAULT_SLOW_CLIENT = 0x40; // the client takes one byte per send
const uint8_t FAULT_SETSOCKOPT = 0x80;  // the first setsockopt fails

CCArray g_strLogPath;
char g_szLogFolder[64];
unsigned g_nRuns = 0;

bool FakeLookup(const char* pszName, in_addr* pAddr)
{
    if (strcmp(pszName, "localhost") != 0)
        return false;
    pAddr->s_addr = htonl(INADDR_LOOPBACK);
    return true;
}

sockaddr_in Address(uint32_t nHostOrder, unsigned short nPort)
{
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(nHostOrder);
    sa.sin_port = htons(nPort);
    return sa;
}

void OpenLog()
{
    g_strLogPath = g_szLogFolder;
    g_strLogPath += "/ServerLog.txt";
    g_server.logFile.Open(g_strLogPath);
}

// The session log is written as in the real program, but started afresh now and then so that a
// long run does not fill the disk.
void RotateLog()
{
    if (++g_nRuns % 20000 != 0)
        return;
    CCArray strName = g_server.logFile.GetFileName();
    g_server.logFile.Close();
    unlink(strName.GetString());
    OpenLog();
}

void RemoveLog()
{
    CCArray strName = g_server.logFile.GetFileName();
    g_server.logFile.Close();
    unlink(strName.GetString());
    rmdir(g_szLogFolder);
}

void Require(bool bOk, const char* pszWhat)
{
    if (!bOk)
    {
        fprintf(stderr, "session invariant broken: %s\n", pszWhat);
        abort();
    }
}

// What the script's hook needs to see of the running session.
struct SRun
{
    CScriptedSocketApi* pScript;
    SCSTask* pTask;
    SOCKET hClient;
    uint32_t nMainThread;
    std::string strDestReply;
    bool bDestReset;
    std::vector<std::string> clientDatagrams;
    std::vector<std::string> destDatagrams;
    bool bForeign;
    bool bOversized;
    std::atomic<SOCKET> hUdpClient{INVALID_SOCKET};
    std::atomic<SOCKET> hUdpDest{INVALID_SOCKET};
    std::atomic<SOCKET> hDestTcp{INVALID_SOCKET};
    std::atomic<bool> bRelayIdle{false};
    bool bEndQueued = false;
};

// The peers' side of the script: the destination's reply once it is connected, the datagrams
// once the relay has bound its sockets, and whether the relay has taken them all.
void OnCall(SRun& run, CScriptedSocketApi::ECall eCall, SOCKET s)
{
    CScriptedSocketApi& script = *run.pScript;
    bool bMain = SysCurrentThreadId() == run.nMainThread;
    if (eCall == CScriptedSocketApi::CALL_CONNECT)
    {
        run.hDestTcp = s;
        if (!run.strDestReply.empty())
            script.QueueData(s, run.strDestReply);
        if (run.bDestReset)
            script.QueueError(s, WSAECONNRESET);
    }
    else if (eCall == CScriptedSocketApi::CALL_BIND && script.SocketType(s) == SOCK_DGRAM)
    {
        // The relay binds its client side first, then its destination side.
        if (run.hUdpClient == INVALID_SOCKET)
        {
            run.hUdpClient = s;
            for (size_t i = 0; i < run.clientDatagrams.size(); i++)
            {
                bool bForeign = run.bForeign && (i & 1);
                script.QueueDatagram(s, run.clientDatagrams[i],
                                     Address(bForeign ? 0x0A000001 : INADDR_LOOPBACK, (unsigned short)(6000 + i % 2)));
            }
        }
        else
        {
            run.hUdpDest = s;
            for (size_t i = 0; i < run.destDatagrams.size(); i++)
                script.QueueDatagram(s, run.destDatagrams[i], Address(0x7F000002, (unsigned short)(7000 + i)));
            if (run.bOversized)
                script.QueueDatagram(s, std::string(70000, 'D'), Address(0x7F000002, 7100));
        }
        script.SetWhenEmpty(s, CScriptedSocketApi::EMPTY_BLOCK);
    }
    else if (eCall == CScriptedSocketApi::CALL_SELECT && !bMain)
    {
        SOCKET hUdpClient = run.hUdpClient, hUdpDest = run.hUdpDest;
        if (hUdpClient != INVALID_SOCKET && hUdpDest != INVALID_SOCKET && script.PendingSteps(hUdpClient) == 0 &&
            script.PendingSteps(hUdpDest) == 0)
            run.bRelayIdle = true;
    }
}

SRun* g_pRun = nullptr;
SSocketApi g_fuzzApi;

// The scripted select, seen first by the client's side: when the session waits to read from a
// client whose bytes are used up, the client closes. A tunnel first takes what the destination
// still has to say; an association first lets the relay take every datagram.
int FuzzSelect(int nfds, SOCKSET* pRead, SOCKSET* pWrite, SOCKSET* pExcept, const timeval* pTimeout)
{
    SRun& run = *g_pRun;
    CScriptedSocketApi& script = *run.pScript;
    if (pRead != nullptr && !run.bEndQueued && SysCurrentThreadId() == run.nMainThread &&
        SockSetHas(pRead, run.hClient) && script.PendingSteps(run.hClient) == 0)
    {
        bool bEnd = true;
        if (run.pTask->nState == SESSION_UDP_READY)
        {
            for (int i = 0; i < 5000 && !run.bRelayIdle; i++)
                SysSleep(1);
        }
        else if (run.pTask->nState == SESSION_TCP_READY)
        {
            SOCKET hDest = run.hDestTcp;
            bEnd = hDest == INVALID_SOCKET || script.PendingSteps(hDest) == 0;
        }
        if (bEnd)
        {
            run.bEndQueued = true;
            script.QueueEnd(run.hClient);
        }
    }
    return script.GetTable()->select(nfds, pRead, pWrite, pExcept, pTimeout);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    SetHostLookup(FakeLookup);
    g_settings.strSocks5Userid = "User";
    g_settings.strSocks5Password = "Pass";
    nConnectionLimit = 9999;
    strcpy(g_szLogFolder, "/tmp/tgfuzz-XXXXXX");
    if (mkdtemp(g_szLogFolder) != nullptr)
    {
        OpenLog();
        atexit(RemoveLog);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    FuzzedDataProvider fdp(pData, nSize);
    uint8_t nFlags = fdp.ConsumeIntegral<uint8_t>();
    uint8_t nFaults = fdp.ConsumeIntegral<uint8_t>();
    int nChunk = fdp.ConsumeIntegralInRange<int>(0, 7);
    std::string strStream = fdp.ConsumeRandomLengthString(2048);

    SRun run;
    run.strDestReply = fdp.ConsumeRandomLengthString(2048);
    run.bDestReset = (nFaults & FAULT_DEST_RESET) != 0;
    run.bForeign = (nFlags & FLAG_FOREIGN_DATAGRAMS) != 0;
    run.bOversized = (nFlags & FLAG_OVERSIZED_DATAGRAM) != 0;
    for (int i = 0; fdp.remaining_bytes() > 0 && i < 8; i++)
        ((i & 1) ? run.destDatagrams : run.clientDatagrams).push_back(fdp.ConsumeRandomLengthString(1024));

    g_settings.bSocks4 = (nFlags & FLAG_SOCKS4_OFF) ? 0 : 1;
    g_settings.bSocks5 = (nFlags & FLAG_SOCKS5_OFF) ? 0 : 1;
    g_settings.bSocks5Auth = (nFlags & FLAG_AUTH) ? 1 : 0;

    CScriptedSocketApi script;
    g_fuzzApi = *script.GetTable();
    g_fuzzApi.select = FuzzSelect;
    SetDefaultSocketApi(&g_fuzzApi);
    SOCKET hClient = script.AddSocket();
    script.SetPeerName(hClient, Address(INADDR_LOOPBACK, 5555));
    script.SetSockName(hClient, Address(INADDR_LOOPBACK, 1080));
    script.SetWhenEmpty(hClient, CScriptedSocketApi::EMPTY_BLOCK);
    if (!strStream.empty())
    {
        if (nChunk == 0)
            script.QueueData(hClient, strStream);
        else
            script.QueueChunks(hClient, strStream, nChunk);
    }
    if (nFaults & FAULT_CONNECT)
        script.FailNext(CScriptedSocketApi::CALL_CONNECT, WSAECONNREFUSED);
    if (nFaults & FAULT_SOCKET)
        script.FailNext(CScriptedSocketApi::CALL_SOCKET, WSAEMFILE);
    if (nFaults & FAULT_BIND)
        script.FailNext(CScriptedSocketApi::CALL_BIND, WSAEADDRINUSE);
    if (nFaults & FAULT_CLIENT_SEND)
        script.FailNext(CScriptedSocketApi::CALL_SEND, WSAECONNRESET, hClient);
    if (nFaults & FAULT_SOCKNAME)
        script.FailNext(CScriptedSocketApi::CALL_GETSOCKNAME, WSAENOTSOCK);
    if (nFaults & FAULT_SLOW_CLIENT)
        script.SetSendLimit(hClient, 1);
    if (nFaults & FAULT_SETSOCKOPT)
        script.FailNext(CScriptedSocketApi::CALL_SETSOCKOPT, WSAENOPROTOOPT);

    SCSTask* pTask = NewSessionRecord(hClient);
    pTask->dwSessionId = 1;
    run.pScript = &script;
    run.pTask = pTask;
    run.hClient = hClient;
    run.nMainThread = SysCurrentThreadId();
    g_pRun = &run;
    script.SetCallHook([&run](CScriptedSocketApi::ECall eCall, SOCKET s) { OnCall(run, eCall, s); });
    {
        CScopedLock lock(g_csSessionTable);
        g_sessionTable.Insert(pTask);
    }

    EngineThreadStarting();
    SessionThreadProc(pTask);  // removes and releases the record
    Require(WaitEngineThreadsEnded(10000), "an engine thread is still running");
    script.SetCallHook(nullptr);
    SetDefaultSocketApi(nullptr);
    g_pRun = nullptr;

    Require(GetSessionCount() == 0, "the session record is still in the table");
    Require(script.CloseCount(hClient) == 1, "the client socket was not closed exactly once");
    std::vector<SOCKET> created = script.CreatedSockets();
    for (SOCKET s : created)
        Require(script.CloseCount(s) == 1, "a socket the session opened was not closed exactly once");
    Require(script.CallCount(CScriptedSocketApi::CALL_CLOSESOCKET) == (int)created.size() + 1,
            "a socket was closed twice");

    // What reached the client starts with a reply of the client's own version, and a refused
    // connect is never answered with a grant.
    std::string strSent = script.Sent(hClient);
    if (!strSent.empty())
    {
        Require(!strStream.empty() && (strStream[0] == 4 || strStream[0] == 5), "a reply to a client of no version");
        if (strStream[0] == 4)
        {
            Require(strSent.size() >= 8 && strSent[0] == 0 && (strSent[1] == 0x5A || strSent[1] == 0x5B) &&
                        strSent.compare(2, 6, std::string(6, '\0')) == 0,
                    "a SOCKS4 reply that is not 00 5A/5B and six zero bytes");
            Require(!(nFaults & FAULT_CONNECT) || strSent[1] == 0x5B, "a refused SOCKS4 connect was granted");
        }
        else
            Require(strSent[0] == 5, "a SOCKS5 reply that does not start with 05");
    }
    RotateLog();
    return 0;
}
