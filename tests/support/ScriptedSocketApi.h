// ScriptedSocketApi.h: an SSocketApi table that plays a script instead of using the network.
//
// The code under test runs unchanged over GetTable(): every socket it opens gets a fake handle
// with its own script of what the peer sends, and everything it sends, connects to, binds or sets
// is recorded for the test to check. Any call can be made to fail with a chosen Windows Sockets
// error. Typical use:
//
//     CScriptedSocketApi script;            // one at a time; it is the target of GetTable()
//     script.InstallAsDefault();            // objects built with no table now use it
//     SOCKET h = script.AddSocket();        // or script.NextHandle() before the code creates one
//     script.QueueData(h, "\x05\x01\x00");  // one recv chunk (a recv for less takes part of it)
//     script.QueueChunks(h, request, 1);    // the same bytes, one byte per recv
//     script.QueueError(h, WSAECONNRESET);  // then a failing recv
//     ... run the code ...
//     EXPECT_EQ(script.Sent(h), "\x05\x00");
//
// Receiving: recv and recvfrom hand out the queued steps in order. A data chunk is consumed by as
// many calls as it takes; a datagram is consumed by one call (longer than the buffer: the buffer
// is filled and the call fails with WSAEMSGSIZE, as Winsock does). When a socket's script is used
// up, what happens depends on SetWhenEmpty: EMPTY_END (default) reads as the peer's orderly close
// (recv returns 0), EMPTY_BLOCK makes recv, recvfrom, accept and select wait until more is queued
// or the handle is closed, EMPTY_TIMEOUT makes select report a time-out. A receive with
// RECV_NO_WAIT on a used-up script fails with WSAEWOULDBLOCK unless it reads as a close.
//
// Closing: closesocket marks the handle closed (counted per handle). Calls blocked on it wake and
// fail with WSAEINTR; later calls on it fail with WSAENOTSOCK, like a handle that no longer exists.
//
// Threads: every method may be called from any thread; the code under test may block in one
// thread while the test queues data or closes handles from another.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "net/SocketApi.h"

class CScriptedSocketApi
{
public:
    enum ECall
    {
        CALL_SOCKET,
        CALL_CLOSESOCKET,
        CALL_CONNECT,
        CALL_RECV,
        CALL_RECVFROM,
        CALL_SEND,
        CALL_SENDTO,
        CALL_SELECT,
        CALL_BIND,
        CALL_LISTEN,
        CALL_ACCEPT,
        CALL_SETSOCKOPT,
        CALL_GETSOCKNAME,
        CALL_GETPEERNAME,
        CALL_COUNT
    };

    enum EWhenEmpty
    {
        EMPTY_END,
        EMPTY_BLOCK,
        EMPTY_TIMEOUT,
    };

    struct SDatagram
    {
        std::string strData;
        sockaddr_in saAddr;
    };

    struct SOption
    {
        int nLevel;
        int nName;
        std::string strValue;
    };

    CScriptedSocketApi();
    // Restores the system table if this script was installed as the default.
    ~CScriptedSocketApi();

    // The table whose functions play this script.
    const SSocketApi* GetTable() const;
    // SetDefaultSocketApi(GetTable()); undone by the destructor.
    void InstallAsDefault();

    // A new open handle, as if the code had created or accepted it.
    SOCKET AddSocket();
    // The handle the next socket() or AddSocket will return, so that its script can be written
    // before the code under test creates it.
    SOCKET NextHandle() const;
    // Handles created through socket(), in order, and the type each was created with.
    std::vector<SOCKET> CreatedSockets() const;
    int SocketType(SOCKET s) const;

    // The peer's side of the script.
    void QueueData(SOCKET s, const std::string& strBytes);
    void QueueData(SOCKET s, const void* pData, int nLength);
    // The bytes as consecutive chunks of nChunk bytes (the last may be shorter).
    void QueueChunks(SOCKET s, const std::string& strBytes, int nChunk);
    void QueueDatagram(SOCKET s, const std::string& strBytes, const sockaddr_in& saFrom);
    // The next receive on the handle fails with the error.
    void QueueError(SOCKET s, int nWsaError);
    // The next receive on the handle returns 0 (the peer closed its side), even in EMPTY_BLOCK.
    void QueueEnd(SOCKET s);
    void SetWhenEmpty(SOCKET s, EWhenEmpty eWhenEmpty);
    // A connection for accept on the listening handle to return.
    void QueueAccept(SOCKET hListener, SOCKET hAccepted, const sockaddr_in& saPeer);

    // The next call of this kind (on the handle, or on any handle when s is INVALID_SOCKET) fails
    // with the error. Failures queue up in order. For select, an error of 0 means a time-out.
    void FailNext(ECall eCall, int nWsaError, SOCKET s = INVALID_SOCKET);
    // Each send or sendto on the handle takes at most nMax bytes; 0 makes send return 0.
    void SetSendLimit(SOCKET s, int nMax);

    // What the code did.
    std::string Sent(SOCKET s) const;                     // every byte of every send, in order
    std::vector<std::string> SendCalls(SOCKET s) const;   // the bytes of each send call
    std::vector<int> ReceiveSizes(SOCKET s) const;        // the buffer size of each recv call
    std::vector<SDatagram> SentDatagrams(SOCKET s) const; // each sendto with its address
    bool IsConnected(SOCKET s) const;
    sockaddr_in ConnectedTo(SOCKET s) const;
    bool IsListening(SOCKET s) const;
    std::vector<SOption> Options(SOCKET s) const;
    bool IsClosed(SOCKET s) const;
    int CloseCount(SOCKET s) const; // closesocket calls that closed it (at most 1)
    int CallCount(ECall eCall) const;
    // Steps queued for the handle that no receive has taken yet.
    size_t PendingSteps(SOCKET s) const;

    // The addresses getsockname and getpeername report. bind sets the socket name; a bind to port
    // 0 is given a port of its own (40000 upward).
    void SetSockName(SOCKET s, const sockaddr_in& saAddr);
    void SetPeerName(SOCKET s, const sockaddr_in& saAddr);

    // Called on entry of every call, outside the script's lock: a test can block there (to hold
    // two closes together) or count calls of its own.
    void SetCallHook(std::function<void(ECall, SOCKET)> hook);

private:
    struct SStep
    {
        enum EKind
        {
            STEP_DATA,
            STEP_DATAGRAM,
            STEP_ERROR,
            STEP_END
        } eKind;
        std::string strData;
        size_t nTaken;
        sockaddr_in saFrom;
        int nError;
    };

    struct SFailure
    {
        ECall eCall;
        SOCKET s;
        int nError;
    };

    struct SAccept
    {
        SOCKET s;
        sockaddr_in saPeer;
    };

    struct SSocket
    {
        bool bOpen = false;
        bool bClosed = false;
        int nType = 0;
        int nCloseCount = 0;
        EWhenEmpty eWhenEmpty = EMPTY_END;
        int nSendLimit = -1;
        std::deque<SStep> steps;
        std::deque<SAccept> accepts;
        std::string strSent;
        std::vector<std::string> sendCalls;
        std::vector<int> receiveSizes;
        std::vector<SDatagram> datagrams;
        bool bConnected = false;
        bool bListening = false;
        sockaddr_in saConnected{};
        sockaddr_in saName{};
        sockaddr_in saPeer{};
        std::vector<SOption> options;
    };

    // The static functions of the table forward to the one live script.
    static CScriptedSocketApi* Active();
    static SOCKET TableSocket(int af, int type, int protocol);
    static int TableCloseSocket(SOCKET s);
    static int TableConnect(SOCKET s, const sockaddr* pAddr, int nLen);
    static int TableRecv(SOCKET s, char* pBuf, int nLen, int nFlags);
    static int TableRecvFrom(SOCKET s, char* pBuf, int nLen, int nFlags, sockaddr* pFrom, int* pnFromLen);
    static int TableSend(SOCKET s, const char* pBuf, int nLen, int nFlags);
    static int TableSendTo(SOCKET s, const char* pBuf, int nLen, int nFlags, const sockaddr* pTo, int nToLen);
    static int TableSelect(int nfds, SOCKSET* pRead, SOCKSET* pWrite, SOCKSET* pExcept,
                           const timeval* pTimeout);
    static int TableBind(SOCKET s, const sockaddr* pAddr, int nLen);
    static int TableListen(SOCKET s, int nBacklog);
    static SOCKET TableAccept(SOCKET s, sockaddr* pAddr, int* pnLen);
    static int TableSetSockOpt(SOCKET s, int nLevel, int nName, const char* pValue, int nLen);
    static int TableGetSockName(SOCKET s, sockaddr* pAddr, int* pnLen);
    static int TableGetPeerName(SOCKET s, sockaddr* pAddr, int* pnLen);

    // Entry of every call: hook, count, injected failure (true: fail with *pnError).
    bool Enter(ECall eCall, SOCKET s, int* pnError);
    SSocket& Script(SOCKET s);   // creates the entry; under the lock
    SSocket* Live(SOCKET s);     // an open, not closed handle, or null; under the lock
    SOCKET NewHandle(int nType); // under the lock
    bool IsReadable(const SSocket& sock) const;
    int Receive(ECall eCall, SOCKET s, char* pBuf, int nLen, int nFlags, sockaddr* pFrom, int* pnFromLen);
    int SendBytes(ECall eCall, SOCKET s, const char* pBuf, int nLen, const sockaddr* pTo);
    static int Fail(int nError);

    mutable std::mutex mutex;
    std::condition_variable cvChanged;
    std::map<SOCKET, SSocket> sockets;
    std::vector<SOCKET> created;
    std::deque<SFailure> failures;
    int callCounts[CALL_COUNT] = {};
    SOCKET nNextHandle;
    unsigned short nNextPort;
    bool bInstalled;
    std::function<void(ECall, SOCKET)> callHook;
};
