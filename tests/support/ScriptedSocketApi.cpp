// ScriptedSocketApi.cpp: the scripted socket table.
#include "tests/support/ScriptedSocketApi.h"

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <chrono>
#include <cstring>

namespace
{

std::atomic<CScriptedSocketApi*> g_pActive(nullptr);

const int ADDR_LENGTH = (int)sizeof(sockaddr_in);

} // namespace

CScriptedSocketApi::CScriptedSocketApi() : nNextHandle(0x100), nNextPort(40000), bInstalled(false)
{
    CScriptedSocketApi* pExpected = nullptr;
    // Only one script can be the target of the table at a time.
    if (!g_pActive.compare_exchange_strong(pExpected, this))
        abort();
}

CScriptedSocketApi::~CScriptedSocketApi()
{
    if (bInstalled)
        SetDefaultSocketApi(nullptr);
    g_pActive.store(nullptr);
}

const SSocketApi* CScriptedSocketApi::GetTable() const
{
    static const SSocketApi table = {
        TableSocket, TableCloseSocket, TableConnect,     TableRecv,        TableRecvFrom,
        TableSend,   TableSendTo,      TableSelect,      TableBind,        TableListen,
        TableAccept, TableSetSockOpt,  TableGetSockName, TableGetPeerName,
    };
    return &table;
}

void CScriptedSocketApi::InstallAsDefault()
{
    SetDefaultSocketApi(GetTable());
    bInstalled = true;
}

CScriptedSocketApi* CScriptedSocketApi::Active()
{
    return g_pActive.load();
}

int CScriptedSocketApi::Fail(int nError)
{
    SysSetSocketError(nError);
    return SOCKET_ERROR;
}

// ---------------------------------------------------------------------------------------------
// Scripting

SOCKET CScriptedSocketApi::NewHandle(int nType)
{
    SOCKET s = nNextHandle++;
    SSocket& sock = sockets[s];
    sock.bOpen = true;
    sock.nType = nType;
    return s;
}

SOCKET CScriptedSocketApi::AddSocket()
{
    std::lock_guard<std::mutex> lock(mutex);
    return NewHandle(SOCK_STREAM);
}

SOCKET CScriptedSocketApi::NextHandle() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return nNextHandle;
}

std::vector<SOCKET> CScriptedSocketApi::CreatedSockets() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return created;
}

int CScriptedSocketApi::SocketType(SOCKET s) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sockets.find(s);
    return it == sockets.end() ? 0 : it->second.nType;
}

CScriptedSocketApi::SSocket& CScriptedSocketApi::Script(SOCKET s)
{
    return sockets[s];
}

CScriptedSocketApi::SSocket* CScriptedSocketApi::Live(SOCKET s)
{
    auto it = sockets.find(s);
    if (it == sockets.end() || !it->second.bOpen || it->second.bClosed)
        return nullptr;
    return &it->second;
}

void CScriptedSocketApi::QueueData(SOCKET s, const std::string& strBytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    SStep step{SStep::STEP_DATA, strBytes, 0, sockaddr_in{}, 0};
    Script(s).steps.push_back(step);
    cvChanged.notify_all();
}

void CScriptedSocketApi::QueueData(SOCKET s, const void* pData, int nLength)
{
    QueueData(s, std::string((const char*)pData, (size_t)nLength));
}

void CScriptedSocketApi::QueueChunks(SOCKET s, const std::string& strBytes, int nChunk)
{
    if (nChunk <= 0)
        nChunk = 1;
    for (size_t i = 0; i < strBytes.size(); i += (size_t)nChunk)
        QueueData(s, strBytes.substr(i, (size_t)nChunk));
}

void CScriptedSocketApi::QueueDatagram(SOCKET s, const std::string& strBytes, const sockaddr_in& saFrom)
{
    std::lock_guard<std::mutex> lock(mutex);
    SStep step{SStep::STEP_DATAGRAM, strBytes, 0, saFrom, 0};
    Script(s).steps.push_back(step);
    cvChanged.notify_all();
}

void CScriptedSocketApi::QueueError(SOCKET s, int nWsaError)
{
    std::lock_guard<std::mutex> lock(mutex);
    SStep step{SStep::STEP_ERROR, std::string(), 0, sockaddr_in{}, nWsaError};
    Script(s).steps.push_back(step);
    cvChanged.notify_all();
}

void CScriptedSocketApi::QueueEnd(SOCKET s)
{
    std::lock_guard<std::mutex> lock(mutex);
    SStep step{SStep::STEP_END, std::string(), 0, sockaddr_in{}, 0};
    Script(s).steps.push_back(step);
    cvChanged.notify_all();
}

void CScriptedSocketApi::SetWhenEmpty(SOCKET s, EWhenEmpty eWhenEmpty)
{
    std::lock_guard<std::mutex> lock(mutex);
    Script(s).eWhenEmpty = eWhenEmpty;
    cvChanged.notify_all();
}

void CScriptedSocketApi::QueueAccept(SOCKET hListener, SOCKET hAccepted, const sockaddr_in& saPeer)
{
    std::lock_guard<std::mutex> lock(mutex);
    Script(hAccepted).saPeer = saPeer;
    Script(hListener).accepts.push_back(SAccept{hAccepted, saPeer});
    cvChanged.notify_all();
}

void CScriptedSocketApi::FailNext(ECall eCall, int nWsaError, SOCKET s)
{
    std::lock_guard<std::mutex> lock(mutex);
    failures.push_back(SFailure{eCall, s, nWsaError});
}

void CScriptedSocketApi::SetSendLimit(SOCKET s, int nMax)
{
    std::lock_guard<std::mutex> lock(mutex);
    Script(s).nSendLimit = nMax;
}

void CScriptedSocketApi::SetSockName(SOCKET s, const sockaddr_in& saAddr)
{
    std::lock_guard<std::mutex> lock(mutex);
    Script(s).saName = saAddr;
}

void CScriptedSocketApi::SetPeerName(SOCKET s, const sockaddr_in& saAddr)
{
    std::lock_guard<std::mutex> lock(mutex);
    Script(s).saPeer = saAddr;
}

void CScriptedSocketApi::SetCallHook(std::function<void(ECall, SOCKET)> hook)
{
    std::lock_guard<std::mutex> lock(mutex);
    callHook = hook;
}

// ---------------------------------------------------------------------------------------------
// Record

std::string CScriptedSocketApi::Sent(SOCKET s) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sockets.find(s);
    return it == sockets.end() ? std::string() : it->second.strSent;
}

std::vector<std::string> CScriptedSocketApi::SendCalls(SOCKET s) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sockets.find(s);
    return it == sockets.end() ? std::vector<std::string>() : it->second.sendCalls;
}

std::vector<int> CScriptedSocketApi::ReceiveSizes(SOCKET s) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sockets.find(s);
    return it == sockets.end() ? std::vector<int>() : it->second.receiveSizes;
}

std::vector<CScriptedSocketApi::SDatagram> CScriptedSocketApi::SentDatagrams(SOCKET s) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sockets.find(s);
    return it == sockets.end() ? std::vector<SDatagram>() : it->second.datagrams;
}

bool CScriptedSocketApi::IsConnected(SOCKET s) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sockets.find(s);
    return it != sockets.end() && it->second.bConnected;
}

sockaddr_in CScriptedSocketApi::ConnectedTo(SOCKET s) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sockets.find(s);
    return it == sockets.end() ? sockaddr_in{} : it->second.saConnected;
}

bool CScriptedSocketApi::IsListening(SOCKET s) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sockets.find(s);
    return it != sockets.end() && it->second.bListening;
}

std::vector<CScriptedSocketApi::SOption> CScriptedSocketApi::Options(SOCKET s) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sockets.find(s);
    return it == sockets.end() ? std::vector<SOption>() : it->second.options;
}

bool CScriptedSocketApi::IsClosed(SOCKET s) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sockets.find(s);
    return it != sockets.end() && it->second.bClosed;
}

int CScriptedSocketApi::CloseCount(SOCKET s) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sockets.find(s);
    return it == sockets.end() ? 0 : it->second.nCloseCount;
}

int CScriptedSocketApi::CallCount(ECall eCall) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return callCounts[eCall];
}

size_t CScriptedSocketApi::PendingSteps(SOCKET s) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sockets.find(s);
    return it == sockets.end() ? 0 : it->second.steps.size();
}

// ---------------------------------------------------------------------------------------------
// Playing

bool CScriptedSocketApi::Enter(ECall eCall, SOCKET s, int* pnError)
{
    std::function<void(ECall, SOCKET)> hook;
    {
        std::lock_guard<std::mutex> lock(mutex);
        hook = callHook;
    }
    if (hook)
        hook(eCall, s);
    std::lock_guard<std::mutex> lock(mutex);
    callCounts[eCall]++;
    for (auto it = failures.begin(); it != failures.end(); ++it)
    {
        if (it->eCall == eCall && (it->s == INVALID_SOCKET || it->s == s))
        {
            *pnError = it->nError;
            failures.erase(it);
            return true;
        }
    }
    return false;
}

bool CScriptedSocketApi::IsReadable(const SSocket& sock) const
{
    if (sock.bListening)
        return !sock.accepts.empty() || sock.eWhenEmpty == EMPTY_END;
    return !sock.steps.empty() || sock.eWhenEmpty == EMPTY_END;
}

int CScriptedSocketApi::Receive(ECall eCall, SOCKET s, char* pBuf, int nLen, int nFlags, sockaddr* pFrom,
                                int* pnFromLen)
{
    int nError;
    if (Enter(eCall, s, &nError))
        return Fail(nError);
    std::unique_lock<std::mutex> lock(mutex);
    SSocket* pSock = Live(s);
    if (!pSock)
        return Fail(WSAENOTSOCK);
    // A receive that must not wait finds nothing yet wherever a blocking one would wait, and where
    // a select would report a time-out.
    if ((nFlags & RECV_NO_WAIT) && pSock->steps.empty() && pSock->eWhenEmpty != EMPTY_END && !pSock->bClosed)
        return Fail(WSAEWOULDBLOCK);
    pSock->receiveSizes.push_back(nLen);
    while (pSock->steps.empty() && pSock->eWhenEmpty == EMPTY_BLOCK && !pSock->bClosed)
        cvChanged.wait(lock);
    if (pSock->bClosed)
        return Fail(WSAEINTR); // closed by another thread while this call waited
    if (pSock->steps.empty())
        return 0;
    SStep& step = pSock->steps.front();
    if (pFrom && pnFromLen)
    {
        memcpy(pFrom, &step.saFrom, std::min(ADDR_LENGTH, *pnFromLen));
        *pnFromLen = ADDR_LENGTH;
    }
    switch (step.eKind)
    {
    case SStep::STEP_DATA:
    {
        size_t n = std::min((size_t)nLen, step.strData.size() - step.nTaken);
        memcpy(pBuf, step.strData.data() + step.nTaken, n);
        step.nTaken += n;
        if (step.nTaken == step.strData.size())
            pSock->steps.pop_front();
        return (int)n;
    }
    case SStep::STEP_DATAGRAM:
    {
        std::string strData = step.strData;
        pSock->steps.pop_front();
        memcpy(pBuf, strData.data(), std::min((size_t)nLen, strData.size()));
        if (strData.size() > (size_t)nLen)
            return Fail(WSAEMSGSIZE);
        return (int)strData.size();
    }
    case SStep::STEP_ERROR:
    {
        int nStepError = step.nError;
        pSock->steps.pop_front();
        return Fail(nStepError);
    }
    case SStep::STEP_END:
        pSock->steps.pop_front();
        return 0;
    }
    return 0;
}

int CScriptedSocketApi::SendBytes(ECall eCall, SOCKET s, const char* pBuf, int nLen, const sockaddr* pTo)
{
    int nError;
    if (Enter(eCall, s, &nError))
        return Fail(nError);
    std::lock_guard<std::mutex> lock(mutex);
    SSocket* pSock = Live(s);
    if (!pSock)
        return Fail(WSAENOTSOCK);
    if (pSock->nSendLimit == 0)
        return 0;
    if (pTo)
    {
        SDatagram datagram;
        datagram.strData.assign(pBuf, (size_t)nLen);
        memcpy(&datagram.saAddr, pTo, sizeof(sockaddr_in));
        pSock->datagrams.push_back(datagram);
        return nLen;
    }
    int n = pSock->nSendLimit < 0 ? nLen : std::min(nLen, pSock->nSendLimit);
    pSock->sendCalls.push_back(std::string(pBuf, (size_t)n));
    pSock->strSent.append(pBuf, (size_t)n);
    return n;
}

SOCKET CScriptedSocketApi::TableSocket(int af, int type, int protocol)
{
    CScriptedSocketApi* p = Active();
    int nError;
    if (p->Enter(CALL_SOCKET, INVALID_SOCKET, &nError))
    {
        Fail(nError);
        return INVALID_SOCKET;
    }
    std::lock_guard<std::mutex> lock(p->mutex);
    SOCKET s = p->NewHandle(type);
    p->created.push_back(s);
    return s;
}

int CScriptedSocketApi::TableCloseSocket(SOCKET s)
{
    CScriptedSocketApi* p = Active();
    int nError;
    if (p->Enter(CALL_CLOSESOCKET, s, &nError))
        return Fail(nError);
    std::lock_guard<std::mutex> lock(p->mutex);
    SSocket* pSock = p->Live(s);
    if (!pSock)
        return Fail(WSAENOTSOCK);
    pSock->bClosed = true;
    pSock->nCloseCount++;
    p->cvChanged.notify_all();
    return 0;
}

int CScriptedSocketApi::TableConnect(SOCKET s, const sockaddr* pAddr, int nLen)
{
    CScriptedSocketApi* p = Active();
    int nError;
    if (p->Enter(CALL_CONNECT, s, &nError))
        return Fail(nError);
    std::lock_guard<std::mutex> lock(p->mutex);
    SSocket* pSock = p->Live(s);
    if (!pSock)
        return Fail(WSAENOTSOCK);
    if (nLen < ADDR_LENGTH)
        return Fail(WSAEFAULT);
    memcpy(&pSock->saConnected, pAddr, sizeof(sockaddr_in));
    pSock->bConnected = true;
    return 0;
}

int CScriptedSocketApi::TableRecv(SOCKET s, char* pBuf, int nLen, int nFlags)
{
    return Active()->Receive(CALL_RECV, s, pBuf, nLen, nFlags, nullptr, nullptr);
}

int CScriptedSocketApi::TableRecvFrom(SOCKET s, char* pBuf, int nLen, int nFlags, sockaddr* pFrom,
                                      int* pnFromLen)
{
    return Active()->Receive(CALL_RECVFROM, s, pBuf, nLen, nFlags, pFrom, pnFromLen);
}

int CScriptedSocketApi::TableSend(SOCKET s, const char* pBuf, int nLen, int nFlags)
{
    return Active()->SendBytes(CALL_SEND, s, pBuf, nLen, nullptr);
}

int CScriptedSocketApi::TableSendTo(SOCKET s, const char* pBuf, int nLen, int nFlags, const sockaddr* pTo,
                                    int nToLen)
{
    return Active()->SendBytes(CALL_SENDTO, s, pBuf, nLen, pTo);
}

// Like Windows Sockets, a select that succeeds or times out leaves the thread's last error as it
// was: the code under test must not read it after such a select.
int CScriptedSocketApi::TableSelect(int nfds, SOCKSET* pRead, SOCKSET* pWrite, SOCKSET* pExcept,
                                    const timeval* pTimeout)
{
    CScriptedSocketApi* p = Active();
    SOCKET hFirst = pRead && pRead->fd_count     ? pRead->fd_array[0]
                    : pWrite && pWrite->fd_count ? pWrite->fd_array[0]
                                                 : INVALID_SOCKET;
    int nError;
    if (p->Enter(CALL_SELECT, hFirst, &nError))
    {
        if (nError == 0)
            return 0; // a scripted time-out
        return Fail(nError);
    }
    SOCKSET* sets[3] = {pRead, pWrite, pExcept};
    std::unique_lock<std::mutex> lock(p->mutex);
    unsigned nTotal = 0;
    for (SOCKSET* pSet : sets)
    {
        if (!pSet)
            continue;
        nTotal += pSet->fd_count;
        for (unsigned i = 0; i < pSet->fd_count; i++)
        {
            if (!p->Live(pSet->fd_array[i]))
                return Fail(WSAENOTSOCK);
        }
    }
    if (nTotal == 0)
        return Fail(WSAEINVAL);

    bool bNoWait = pTimeout && pTimeout->tv_sec == 0 && pTimeout->tv_usec == 0;
    auto deadline = std::chrono::steady_clock::now();
    if (pTimeout)
        deadline += std::chrono::seconds(pTimeout->tv_sec) + std::chrono::microseconds(pTimeout->tv_usec);
    for (;;)
    {
        bool bTimeoutMode = false;
        bool bClosed = false;
        int nReady = 0;
        for (int k = 0; k < 2; k++)
        {
            if (!sets[k])
                continue;
            for (unsigned i = 0; i < sets[k]->fd_count; i++)
            {
                SSocket& sock = p->sockets[sets[k]->fd_array[i]];
                bClosed = bClosed || sock.bClosed;
                if (k == 0 && sock.eWhenEmpty == EMPTY_TIMEOUT)
                    bTimeoutMode = true;
                if (k == 1 || p->IsReadable(sock))
                    nReady++;
            }
        }
        if (bClosed)
            return Fail(WSAEINTR);
        if (nReady > 0)
        {
            for (int k = 0; k < 2; k++)
            {
                if (!sets[k])
                    continue;
                unsigned nKept = 0;
                for (unsigned i = 0; i < sets[k]->fd_count; i++)
                {
                    SOCKET s = sets[k]->fd_array[i];
                    if (k == 1 || p->IsReadable(p->sockets[s]))
                        sets[k]->fd_array[nKept++] = s;
                }
                sets[k]->fd_count = nKept;
            }
            if (pExcept)
                pExcept->fd_count = 0;
            return nReady;
        }
        if (bNoWait || bTimeoutMode)
            return 0;
        if (!pTimeout)
            p->cvChanged.wait(lock);
        else if (p->cvChanged.wait_until(lock, deadline) == std::cv_status::timeout)
            return 0;
    }
}

int CScriptedSocketApi::TableBind(SOCKET s, const sockaddr* pAddr, int nLen)
{
    CScriptedSocketApi* p = Active();
    int nError;
    if (p->Enter(CALL_BIND, s, &nError))
        return Fail(nError);
    std::lock_guard<std::mutex> lock(p->mutex);
    SSocket* pSock = p->Live(s);
    if (!pSock)
        return Fail(WSAENOTSOCK);
    if (nLen < ADDR_LENGTH)
        return Fail(WSAEFAULT);
    memcpy(&pSock->saName, pAddr, sizeof(sockaddr_in));
    if (pSock->saName.sin_port == 0)
        pSock->saName.sin_port = htons(p->nNextPort++);
    return 0;
}

int CScriptedSocketApi::TableListen(SOCKET s, int nBacklog)
{
    CScriptedSocketApi* p = Active();
    int nError;
    if (p->Enter(CALL_LISTEN, s, &nError))
        return Fail(nError);
    std::lock_guard<std::mutex> lock(p->mutex);
    SSocket* pSock = p->Live(s);
    if (!pSock)
        return Fail(WSAENOTSOCK);
    pSock->bListening = true;
    return 0;
}

SOCKET CScriptedSocketApi::TableAccept(SOCKET s, sockaddr* pAddr, int* pnLen)
{
    CScriptedSocketApi* p = Active();
    int nError;
    if (p->Enter(CALL_ACCEPT, s, &nError))
    {
        Fail(nError);
        return INVALID_SOCKET;
    }
    std::unique_lock<std::mutex> lock(p->mutex);
    SSocket* pSock = p->Live(s);
    if (!pSock)
    {
        Fail(WSAENOTSOCK);
        return INVALID_SOCKET;
    }
    while (pSock->accepts.empty() && pSock->eWhenEmpty == EMPTY_BLOCK && !pSock->bClosed)
        p->cvChanged.wait(lock);
    if (pSock->bClosed || pSock->accepts.empty())
    {
        Fail(WSAEINTR);
        return INVALID_SOCKET;
    }
    SAccept accepted = pSock->accepts.front();
    pSock->accepts.pop_front();
    SSocket& sockNew = p->Script(accepted.s);
    sockNew.bOpen = true;
    sockNew.nType = SOCK_STREAM;
    if (pAddr && pnLen)
    {
        memcpy(pAddr, &accepted.saPeer, std::min(ADDR_LENGTH, *pnLen));
        *pnLen = ADDR_LENGTH;
    }
    return accepted.s;
}

int CScriptedSocketApi::TableSetSockOpt(SOCKET s, int nLevel, int nName, const char* pValue, int nLen)
{
    CScriptedSocketApi* p = Active();
    int nError;
    if (p->Enter(CALL_SETSOCKOPT, s, &nError))
        return Fail(nError);
    std::lock_guard<std::mutex> lock(p->mutex);
    SSocket* pSock = p->Live(s);
    if (!pSock)
        return Fail(WSAENOTSOCK);
    pSock->options.push_back(SOption{nLevel, nName, std::string(pValue, (size_t)nLen)});
    return 0;
}

int CScriptedSocketApi::TableGetSockName(SOCKET s, sockaddr* pAddr, int* pnLen)
{
    CScriptedSocketApi* p = Active();
    int nError;
    if (p->Enter(CALL_GETSOCKNAME, s, &nError))
        return Fail(nError);
    std::lock_guard<std::mutex> lock(p->mutex);
    SSocket* pSock = p->Live(s);
    if (!pSock)
        return Fail(WSAENOTSOCK);
    if (*pnLen < ADDR_LENGTH)
        return Fail(WSAEFAULT);
    memcpy(pAddr, &pSock->saName, sizeof(sockaddr_in));
    *pnLen = ADDR_LENGTH;
    return 0;
}

int CScriptedSocketApi::TableGetPeerName(SOCKET s, sockaddr* pAddr, int* pnLen)
{
    CScriptedSocketApi* p = Active();
    int nError;
    if (p->Enter(CALL_GETPEERNAME, s, &nError))
        return Fail(nError);
    std::lock_guard<std::mutex> lock(p->mutex);
    SSocket* pSock = p->Live(s);
    if (!pSock)
        return Fail(WSAENOTSOCK);
    if (*pnLen < ADDR_LENGTH)
        return Fail(WSAEFAULT);
    const sockaddr_in& sa =
        pSock->saPeer.sin_family == 0 && pSock->bConnected ? pSock->saConnected : pSock->saPeer;
    if (sa.sin_family == 0)
        return Fail(WSAENOTCONN);
    memcpy(pAddr, &sa, sizeof(sockaddr_in));
    *pnLen = ADDR_LENGTH;
    return 0;
}
