// Session.cpp: the session thread, the SOCKS4 and SOCKS5 negotiations and their replies.
#include "engine/Session.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "config/Settings.h"
#include "engine/AccessRules.h"
#include "engine/PasswordGuard.h"
#include "engine/ServerContext.h"
#include "engine/TcpRelay.h"
#include "engine/UdpRelay.h"
#include "net/ErrorCode.h"
#include "net/ErrorText.h"

namespace
{
#ifdef __GNUC__
#define NOINLINE __attribute__((noinline))
#else
#define NOINLINE
#endif

[[noreturn]] void ThrowEngineError(int nCondition)
{
    throw MakeErrorCode(0, nCondition);
}

unsigned char ReceiveByte(CClientSessionThread& client)
{
    unsigned char nByte;
    client.ReceiveAll(&nByte, 1);
    return nByte;
}

// A length byte and that many bytes, kept zero-terminated (psz holds 256 bytes). Returns the
// length: the bytes may hold a zero of their own.
int ReceiveCounted(CClientSessionThread& client, char* psz)
{
    unsigned char nLength = ReceiveByte(client);
    client.ReceiveAll(psz, nLength);
    psz[nLength] = 0;
    return nLength;
}

void LogDisconnect(SCSTask* pTask, uint32_t nError)
{
    LogSessionEvent(pTask, "Disconnect", nError != 0 ? ErrorText(nError).GetString() : "-");
}

// The destination side of a CONNECT, from the socket's creation to the relay, for both versions.
// Whatever leaves it by throwing closes the destination socket first. pfnRefuse answers the
// client when the connect fails; the grant is sent by pfnGrant.
void ConnectAndRelay(CClientSessionThread& client, CDestinationTcpSocket& dest,
                     void (*pfnRefuse)(CClientSessionThread&), void (*pfnGrant)(CClientSessionThread&))
{
    SCSTask* pTask = client.pTask;
    try
    {
        dest.Create(SOCK_STREAM);
        // The stop path may have swept the record between the start of Create and the moment
        // the new handle was stored; a stopping session must not go on to a connect that nothing
        // would interrupt.
        if (SysIsFlagRaised(&pTask->bStop))
            ThrowEngineError(COND_SERVER);
        SetNoDelay(dest);
        pTask->nState = SESSION_TCP_SETUP;
        try
        {
            dest.Connect(pTask->saDest);
        }
        catch (uint32_t)
        {
            pfnRefuse(client);
            throw;
        }
        pfnGrant(client);
        RelayTcp(client, dest);
    }
    catch (uint32_t)
    {
        dest.Close();
        throw;
    }
}

void RefuseSocks4(CClientSessionThread& client)
{
    SendSocks4Reply(client, SOCKS4_STATUS_REJECTED);
    client.SetLinger(NEGATIVE_REPLY_LINGER);
}

void GrantSocks4(CClientSessionThread& client)
{
    SendSocks4Reply(client, SOCKS4_STATUS_GRANTED);
}

void RefuseSocks5(CClientSessionThread& client)
{
    SendSocks5Failure(client, SOCKS5_REP_HOST_UNREACHABLE);
}

// The success reply carries the proxy's own end of the client connection as the bound address.
void GrantSocks5(CClientSessionThread& client)
{
    sockaddr_in saProxy;
    client.GetSockName(&saProxy);
    SendSocks5Success(client, saProxy);
}

// The negotiation steps that need large buffers live in frames of their own, which are gone
// again before the relay runs: the stack pages a session touches stay resident for as long as
// its tunnel lives.

// A SOCKS4 text (the user id, the SOCKS4a host name) one byte at a time up to its zero byte, so
// that whatever follows it (the client's first data) stays unread for the relay. 256 bytes
// without a zero are refused. Returns the length.
int ReceiveSocks4Text(CClientSessionThread& client, char (&szText)[256])
{
    int nLength = 0;
    for (;;)
    {
        if (nLength == (int)sizeof(szText))
            ThrowEngineError(COND_SOCKS_NEGOTIATE);
        client.ReceiveAll(&szText[nLength], 1);
        if (szText[nLength] == 0)
            return nLength;
        nLength++;
    }
}

NOINLINE void ReceiveSocks4UserId(CClientSessionThread& client)
{
    char szUserId[256];
    int nLength = ReceiveSocks4Text(client, szUserId);
    memcpy(client.pTask->szUser, szUserId, (size_t)nLength + 1);
}

// SOCKS4a: a destination of 0.0.0.x, never a real host, means that the client sends the host name
// after the user id and leaves the lookup to the proxy. The name is resolved as a SOCKS5 host
// name is (a lookup that a stop abandons); a request without a name is refused.
bool IsSocks4aAddress(const unsigned char* pAddress)
{
    return pAddress[0] == 0 && pAddress[1] == 0 && pAddress[2] == 0;
}

NOINLINE void ResolveSocks4aName(CClientSessionThread& client, CDestinationTcpSocket& dest, in_addr* pAddr)
{
    char szName[256];
    int nLength = ReceiveSocks4Text(client, szName);
    try
    {
        if (nLength == 0)
            throw MakeErrorCode(0, COND_RESOLVE);
        dest.ResolveAddress(szName, pAddr);
    }
    catch (uint32_t)
    {
        RefuseSocks4(client);
        throw;
    }
}

// The method selection: the offered methods, then 0x05 and the chosen method.
NOINLINE unsigned char SelectSocks5Method(CClientSessionThread& client)
{
    unsigned char methods[256];
    unsigned char nMethods = ReceiveByte(client);
    client.ReceiveAll(methods, nMethods);
    unsigned char nMethod = ChooseMethod(methods, nMethods);
    SendSocks5Pair(client, SOCKS_VERSION_5, nMethod);
    if (nMethod == SOCKS5_METHOD_REFUSED)
    {
        client.SetLinger(NEGATIVE_REPLY_LINGER);
        ThrowEngineError(COND_SOCKS_AUTH);
    }
    return nMethod;
}

// The user name and password sub-negotiation; the reply is 0x01 and the status byte.
NOINLINE void AuthenticateSocks5(CClientSessionThread& client)
{
    if (ReceiveByte(client) != SOCKS5_AUTH_VERSION)
        ThrowEngineError(COND_SOCKS_NEGOTIATE);
    char szUser[256], szPassword[256];
    int nUserLength = ReceiveCounted(client, szUser);
    int nPasswordLength = ReceiveCounted(client, szPassword);
    // An address that has guessed too often fails whatever it sends, with the answer any wrong
    // password gets: a guess that happens to be right tells it nothing.
    uint32_t addrClient = client.pTask->saClient.sin_addr.s_addr;
    unsigned char nStatus = IsBlockedForGuessing(addrClient)
                                ? (unsigned char)SOCKS5_AUTH_FAILURE
                                : CheckCredentials(szUser, nUserLength, szPassword, nPasswordLength);
    if (nStatus != SOCKS5_AUTH_SUCCESS)
        RecordFailedPasswordCheck(addrClient);
    SendSocks5Pair(client, SOCKS5_AUTH_VERSION, nStatus);
    if (nStatus != SOCKS5_AUTH_SUCCESS)
    {
        client.SetLinger(NEGATIVE_REPLY_LINGER);
        ThrowEngineError(COND_SOCKS_AUTH);
    }
    memcpy(client.pTask->szUser, szUser, sizeof(client.pTask->szUser));
}

// Reads the whole request, refuses what is not served, and for a CONNECT to a host name
// resolves it (a dotted name without a lookup). Returns CONNECT or UDP ASSOCIATE with the
// destination in saDest.
NOINLINE unsigned char ReceiveSocks5Request(CClientSessionThread& client, CDestinationTcpSocket& dest,
                                            sockaddr_in& saDest)
{
    // Version, then command, reserved byte and address type.
    if (ReceiveByte(client) != SOCKS_VERSION_5)
        ThrowEngineError(COND_SOCKS_NEGOTIATE);
    unsigned char header[3];
    client.ReceiveAll(header, sizeof(header));
    unsigned char nCommand = header[0];
    unsigned char nAddressType = header[2];

    memset(&saDest, 0, sizeof(saDest));
    saDest.sin_family = AF_INET;
    char szName[256];
    int nNameLength = 0;
    if (nAddressType == SOCKS5_ATYP_IPV4)
    {
        unsigned char addressAndPort[6];
        client.ReceiveAll(addressAndPort, sizeof(addressAndPort));
        memcpy(&saDest.sin_addr, &addressAndPort[0], 4);
        memcpy(&saDest.sin_port, &addressAndPort[4], 2);
    }
    else if (nAddressType == SOCKS5_ATYP_NAME)
    {
        nNameLength = ReceiveCounted(client, szName);
        client.ReceiveAll(&saDest.sin_port, 2);
    }
    else if (nAddressType == SOCKS5_ATYP_IPV6)
    {
        unsigned char addressAndPort[18];
        client.ReceiveAll(addressAndPort, sizeof(addressAndPort));
        SendSocks5Failure(client, SOCKS5_REP_ADDRTYPE_NOT_SUPPORTED);
        ThrowEngineError(COND_ADDRESS_TYPE);
    }
    else
        ThrowEngineError(COND_SOCKS_NEGOTIATE);

    // The command is looked at only now that the whole request has been read.
    if (nCommand == SOCKS5_CMD_BIND)
    {
        SendSocks5Failure(client, SOCKS5_REP_COMMAND_NOT_SUPPORTED);
        ThrowEngineError(COND_METHOD_NOT_ALLOWED);
    }
    if (nCommand != SOCKS5_CMD_CONNECT && nCommand != SOCKS5_CMD_UDP_ASSOCIATE)
        ThrowEngineError(COND_SOCKS_NEGOTIATE);

    if (nCommand == SOCKS5_CMD_CONNECT && nAddressType == SOCKS5_ATYP_NAME)
    {
        try
        {
            // A zero byte would end the name early: "localhost\0junk" is no name of localhost.
            if (memchr(szName, 0, (size_t)nNameLength) != nullptr)
                ThrowEngineError(COND_RESOLVE);
            dest.ResolveAddress(szName, &saDest.sin_addr);
        }
        catch (uint32_t)
        {
            SendSocks5Failure(client, SOCKS5_REP_HOST_UNREACHABLE);
            throw;
        }
    }
    return nCommand;
}
// The relay of a quiet tunnel that stays on its thread: to the end, without going quiet again.
uint32_t RelayOnThisThread(CClientSessionThread& client)
{
    try
    {
        ResumeTcpRelay(client, false);
    }
    catch (uint32_t nCode)
    {
        return nCode;
    }
    return 0;
}

// The session's end, whichever thread it came to: closes both sockets, writes the Disconnect line
// unless the server is stopping, and removes the record.
unsigned EndSession(CClientSessionThread& client, uint32_t nError)
{
    SCSTask* pTask = client.pTask;
    // The destination socket is closed by the negotiation's own handler, unless the session ran
    // out of memory on the way; closing an invalid handle does nothing.
    CloseSocketAt(&pTask->hDestSocket, client.GetApi()->closesocket);
    client.Close();
    // A session ended by the server's stop writes no line: the log ends with "Server stopped".
    if (!SysIsFlagRaised(&pTask->bStop) && g_server.logFile.IsOpen())
    {
        try
        {
            LogDisconnect(pTask, nError);
        }
        catch (const std::bad_alloc&)
        {
            // The line is lost; the record must still go.
        }
    }
    {
        // The key is read under the lock: the listener may have given the record another one
        // while inserting it (see AdmitClient in Server.cpp).
        CScopedLock lock(g_csSessionTable);
        g_sessionTable.Remove(pTask->dwSessionId); // releases the record
    }
    EngineThreadEnded();
    return 0;
}
// A tunnel that went quiet goes to the watch; one the watch could not take stays on this thread,
// which relays it to the end.
unsigned ParkOrRelay(CClientSessionThread& client)
{
    if (ParkTunnel(client.pTask))
        return 0; // the watch has it now: nothing here may touch the record any more
    return EndSession(client, RelayOnThisThread(client));
}
} // namespace

unsigned SessionThreadProc(void* pArg)
{
    SCSTask* pTask = static_cast<SCSTask*>(pArg);
    CClientSessionThread client(pTask);
    uint32_t nError = 0;
    try
    {
        client.GetPeerName(&pTask->saClient); // Nagle's algorithm is already off: see BindServiceAddress
        if (g_server.logFile.IsOpen())
            LogSessionEvent(pTask, "Connect", "-"); // no version, user or destination yet
        pTask->nState = SESSION_NEGOTIATING;
        client.SetReceiveTimeout(15);
        unsigned char nVersion = ReceiveByte(client);
        // Throws "Socks negotiate error" for anything but 4 and 5.
        if (!IsVersionAllowed(nVersion))
            ThrowEngineError(COND_VERSION_NOT_ALLOWED);
        client.SetReceiveTimeout(200);
        client.BoundNegotiation(NEGOTIATION_BOUND_SECONDS);
        if (nVersion == SOCKS_VERSION_4)
            NegotiateSocks4(client);
        else
            NegotiateSocks5(client);
    }
    catch (uint32_t nCode)
    {
        nError = nCode;
    }
    catch (const std::bad_alloc&)
    {
        // No memory for a record, a lookup or a log line ends this session only.
        nError = MakeErrorCode(0, COND_SERVER);
    }
    catch (const STunnelQuiet&)
    {
        return ParkOrRelay(client);
    }
    return EndSession(client, nError);
}

unsigned ResumedSessionProc(void* pArg)
{
    SCSTask* pTask = static_cast<SCSTask*>(pArg);
    CClientSessionThread client(pTask);
    uint32_t nError;
    try
    {
        ResumeTcpRelay(client, true);
        nError = 0;
    }
    catch (uint32_t nCode)
    {
        nError = nCode;
    }
    catch (const STunnelQuiet&)
    {
        return ParkOrRelay(client);
    }
    return EndSession(client, nError);
}

void NegotiateSocks4(CClientSessionThread& client)
{
    SCSTask* pTask = client.pTask;
    pTask->nVersion = SOCKS_VERSION_4;
    // Command, port and address; the port and address stay in network order.
    unsigned char request[7];
    client.ReceiveAll(request, sizeof(request));
    ReceiveSocks4UserId(client);

    unsigned char nCommand = request[0];
    if (nCommand == SOCKS4_CMD_BIND)
    {
        RefuseSocks4(client);
        ThrowEngineError(COND_METHOD_NOT_ALLOWED);
    }
    if (nCommand != SOCKS4_CMD_CONNECT)
        ThrowEngineError(COND_SOCKS_NEGOTIATE);

    sockaddr_in saDest;
    memset(&saDest, 0, sizeof(saDest));
    saDest.sin_family = AF_INET;
    memcpy(&saDest.sin_port, &request[1], 2);
    memcpy(&saDest.sin_addr, &request[3], 4);
    CDestinationTcpSocket dest(pTask);
    if (IsSocks4aAddress(&request[3]))
        ResolveSocks4aName(client, dest, &saDest.sin_addr);
    pTask->saDest = saDest;
    ConnectAndRelay(client, dest, RefuseSocks4, GrantSocks4);
}

void NegotiateSocks5(CClientSessionThread& client)
{
    SCSTask* pTask = client.pTask;
    pTask->nVersion = SOCKS_VERSION_5;
    unsigned char nMethod = SelectSocks5Method(client);
    if (nMethod == SOCKS5_METHOD_USERPASS)
        AuthenticateSocks5(client);

    CDestinationTcpSocket dest(pTask);
    sockaddr_in saDest;
    unsigned char nCommand = ReceiveSocks5Request(client, dest, saDest);
    if (nCommand == SOCKS5_CMD_UDP_ASSOCIATE)
        AssociateUdp(client); // the request's address and port are not used
    pTask->saDest = saDest;
    ConnectAndRelay(client, dest, RefuseSocks5, GrantSocks5);
}
