// BlockingSocket.h: blocking sockets whose every wait has a time-out, and whose every failure is
// thrown as one 32-bit error code (net/ErrorCode.h).
//
// A socket object does not own its handle's storage: it works on the handle at a location that
// may lie in a record other threads can reach (a session record, the server context), so that a
// stopping thread can close the handle there and make every call blocked on it fail at once.
// Destroying a socket object never closes its handle; owners call Close on their way out.
#pragma once

#include <cstdint>

#include "foundation/CharArray.h"
#include "net/ErrorCode.h"
#include "net/SocketApi.h"

class CBlockingSocket
{
public:
    // Virtual slot 0: closes the handle and leaves INVALID_SOCKET at the handle location.
    virtual void Close() = 0;
    // Virtual slot 1: the IPv4 address (network order) of a host name; false when it has none.
    virtual bool ResolveName(in_addr* pAddr, const char* pszName) = 0;

    SOCKET GetHandle() const { return SysLoadSocket(pHandle); }
    const SSocketApi* GetApi() const { return pApi; }
    int GetReceiveTimeout() const { return nReceiveTimeout; }
    int GetSendTimeout() const { return nSendTimeout; }
    // Seconds; negative waits without limit.
    void SetReceiveTimeout(int nSeconds) { nReceiveTimeout = nSeconds; }
    void SetSendTimeout(int nSeconds) { nSendTimeout = nSeconds; }

    // Opens an AF_INET socket of the type unless the location already holds a handle.
    void Create(int nType);
    // Blocks in the system's connect: only the system's own connect time-out applies.
    void Connect(const sockaddr_in& saAddr);
    // Waits until the socket is readable (receive time-out) or writable (send time-out).
    int WaitReady(bool bRead);
    int Send(const void* pData, int nLength);
    int Receive(void* pBuffer, int nLength);
    // A datagram count of 0 is returned, not thrown.
    int SendTo(const void* pData, int nLength, const sockaddr_in& saTo);
    int ReceiveFrom(void* pBuffer, int nLength, sockaddr_in* pFrom);
    // ReceiveFrom without the wait: false when no datagram is there now.
    bool TryReceiveFrom(void* pBuffer, int nLength, sockaddr_in* pFrom, int* pnReceived);
    // A negative length sends the zero-terminated text.
    void SendAll(const void* pData, int nLength);
    void ReceiveAll(void* pBuffer, int nLength);
    // A dotted address is used as it is; any other text is looked up with ResolveName.
    void ResolveAddress(const char* pszHost, in_addr* pAddr);
    // Binds, then reads back the address actually bound into saAddr; the bound port (host order).
    unsigned short Bind(sockaddr_in& saAddr);
    void Listen(int nBacklog);
    // Blocks without a time-out; returns the new connection.
    SOCKET Accept(sockaddr_in* pPeer);
    void GetSockName(sockaddr_in* pAddr);
    void GetPeerName(sockaddr_in* pAddr);
    void SetLinger(unsigned short nSeconds);
    // Any other socket option, through the table's setsockopt. A tuning option that does not take
    // is no reason to end a connection: false instead of a throw.
    bool SetOption(int nLevel, int nName, const void* pValue, int nLength);

    // Resolves the host, connects to it at the port and leaves the address used in saAddr.
    void ConnectTo(sockaddr_in& saAddr, const char* pszHost, unsigned short nPort);
    // Reads one line, byte by byte, into strLine (replacing its text). A zero byte is stored as
    // '^'; the line ends after its line feed, and a line feed without a carriage return before it
    // becomes CR LF. Returns the normalised length; *pnRawLength gets the bytes read.
    int ReceiveLine(CCArray& strLine, int* pnRawLength);
    // A lost or timed-out connection, worth another attempt.
    static bool IsTransientError(uint32_t nCode);

protected:
    CBlockingSocket(volatile SOCKET* pHandleAt, const SSocketApi* pTable, int nReceiveSeconds,
                    int nSendSeconds);
    // Objects are used by value on the stack and never deleted through the base.
    ~CBlockingSocket() {}

    // Throws the condition with the thread's current Windows Sockets error.
    [[noreturn]] void Fail(int nCondition) const;

    volatile SOCKET* pHandle;
    const SSocketApi* pApi;
    int32_t nReceiveTimeout;
    int32_t nSendTimeout;

private:
    CBlockingSocket(const CBlockingSocket&) = delete;
    CBlockingSocket& operator=(const CBlockingSocket&) = delete;
};

// The proxy program's socket: its handle may be closed by any thread, and its name lookups run on
// a lookup thread that the owner's stop flag abandons.
class CMTBlockingSocket : public CBlockingSocket
{
public:
    CMTBlockingSocket(volatile SOCKET* pHandleAt, volatile int32_t* pStopFlag, int nReceiveSeconds,
                      int nSendSeconds, const SSocketApi* pTable = nullptr);

    // Exchanges the handle with INVALID_SOCKET and closes the old one: of two threads closing at
    // once, exactly one calls closesocket.
    void Close() override;
    // Looks the name up on a lookup thread. Returns as soon as the lookup ends, or false within
    // 100 ms of the stop flag being raised; the lookup thread then finishes on its own.
    bool ResolveName(in_addr* pAddr, const char* pszName) override;

protected:
    volatile int32_t* pStop;
};

// The socket of every proxy engine class: time-outs of 200 seconds and the default table.
class CTollgateSocket : public CMTBlockingSocket
{
public:
    enum
    {
        DEFAULT_TIMEOUT = 200
    };
    CTollgateSocket(volatile SOCKET* pHandleAt, volatile int32_t* pStopFlag)
        : CMTBlockingSocket(pHandleAt, pStopFlag, DEFAULT_TIMEOUT, DEFAULT_TIMEOUT)
    {
    }
};

// The upload agent's socket: one thread, its own handle, lookups on the calling thread.
class CSTBlockingSocket : public CBlockingSocket
{
public:
    CSTBlockingSocket(int nReceiveSeconds, int nSendSeconds, const SSocketApi* pTable = nullptr);

    void Close() override;
    bool ResolveName(in_addr* pAddr, const char* pszName) override;

private:
    SOCKET hSocket;
};

// Exchanges the handle at the location with INVALID_SOCKET and, if it held a socket, closes that
// with pfnClose (null: the default table's closesocket).
void CloseSocketAt(volatile SOCKET* pHandle, int (*pfnClose)(SOCKET) = nullptr);

// Name-lookup requests not yet released by both sides: a lookup abandoned by a stop stays
// counted until its resolver returns (diagnostics and tests).
int LiveLookupCount();

// After every thread start: a thread that could not be started is fatal. Shows "Could not create
// thread - add virtual memory." and ends the process with exit code 1.
void CheckThreadCreated(bool bCreated);
