// ErrorText.cpp: the three text tables and the order in which they are searched.
#include "net/ErrorText.h"

#include "net/ErrorCode.h"
#include "platform/Message.h"
#include "platform/Sockets.h"

namespace
{

struct SErrorTextRow
{
    uint16_t nKey;
    const char* pszText;
};

// Each table ends with a 0 key.
const SErrorTextRow g_engineTexts[] = {
    {COND_SOCKS_NEGOTIATE, "Socks negotiate error"},
    {COND_SOCKS_AUTH, "Socks negotiate auth. error"},
    {COND_METHOD_NOT_ALLOWED, "Method not allowed"},
    {COND_RULESET, "Operation not allowed by ruleset"},
    {COND_VERSION_NOT_ALLOWED, "Socks version not allowed"},
    {COND_ADDRESS_TYPE, "Addresstype not supported"},
    {COND_SERVER, "Server error"},
    {0, nullptr},
};

const SErrorTextRow g_conditionTexts[] = {
    {COND_CREATE_SOCKET, "Create socket error"},
    {COND_CONNECT, "Connect error"},
    {COND_SELECT_TIMEOUT, "Select error timeout"},
    {COND_SELECT, "Select error"},
    {COND_SEND_0, "tcp_send_0"},
    {COND_SEND, "Send error"},
    {COND_CONNECTION_CLOSED, "Connection unexpectedly closed"},
    {COND_RECEIVE, "Receive error"},
    {COND_RESOLVE, "Cannot find server or DNS Error"},
    {COND_BIND, "Bind error"},
    {COND_LISTEN, "Listen error"},
    {COND_ACCEPT, "Accept error"},
    {COND_GET_SOCK_NAME, "Get socket name error"},
    {COND_GET_PEER_NAME, "Get peer name error"},
    {COND_LINGER, "Enable linger error"},
    {0, nullptr},
};

const SErrorTextRow g_wsaTexts[] = {
    {10013, "Permission denied"},
    {10048, "Address already in use"},
    {10049, "Cannot assign requested address"},
    {10047, "Address family not supported by protocol family"},
    {10037, "Operation already in progress"},
    {10053, "Software caused connection abort"},
    {10061, "Connection refused"},
    {10054, "Connection reset by peer"},
    {10039, "Destination address required"},
    {10014, "Bad address"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10036, "Operation now in progress"},
    {10004, "Interrupted function call"},
    {10022, "Invalid argument"},
    {10056, "Socket is already connected"},
    {10024, "Too many open files"},
    {10040, "Message too long"},
    {10050, "Network is down"},
    {10052, "Network dropped connection by reset"},
    {10051, "Network is unreachable"},
    {10055, "No buffer space available"},
    {10042, "Bad protocol option"},
    {10057, "Socket is not connected"},
    {10038, "Socket operation on non-socket"},
    {10045, "Operation not supported"},
    {10067, "Too many processes"},
    {10043, "Protocal not supported"},
    {10041, "Protocol wrong type for socket"},
    {10058, "Cannot send after socket shutdown"},
    {10044, "Socket type not supported"},
    {10060, "Connection timed out"},
    {10035, "Resource temporarily unavailable"},
    {11001, "Host not found"},
    {10093, "Successful WSAStartup not yet performed"},
    {11004, "Valid name, no data record of requested type"},
    {11003, "This is a non-recoverable error"},
    {10091, "Network subsystem is unavailable"},
    {11002, "Non-authoritative host not found"},
    {10092, "WINSOCK.DLL version out of range"},
    {10101, "Graceful shutdown in progress"},
    {0, nullptr},
};

const char* FindText(const SErrorTextRow* pTable, int nKey)
{
    for (; pTable->nKey != 0; pTable++)
    {
        if (pTable->nKey == nKey)
            return pTable->pszText;
    }
    return nullptr;
}

} // namespace

void SocketErrorText(uint32_t nCode, CCArray& strOut)
{
    int nWsa = ErrorWsa(nCode);
    int nCondition = ErrorCondition(nCode);
    if (const char* pszText = FindText(g_wsaTexts, nWsa))
        strOut.Format("%s (%d)", pszText, nWsa);
    else if (const char* pszCondition = FindText(g_conditionTexts, nCondition))
        strOut.SetText(pszCondition);
    else
        strOut.Format("Socket error: %d,%d", nCondition, nWsa);
}

CCArray SocketErrorText(uint32_t nCode)
{
    CCArray str;
    SocketErrorText(nCode, str);
    return str;
}

void ErrorText(uint32_t nCode, CCArray& strOut)
{
    const char* pszEngine = ErrorWsa(nCode) == 0 ? FindText(g_engineTexts, ErrorCondition(nCode)) : nullptr;
    if (pszEngine)
        strOut.SetText(pszEngine);
    else
        SocketErrorText(nCode, strOut);
}

CCArray ErrorText(uint32_t nCode)
{
    CCArray str;
    ErrorText(nCode, str);
    return str;
}

bool StartSockets()
{
    int nMajor = 0;
    int nMinor = 0;
    if (SysSocketsStartup(&nMajor, &nMinor))
    {
        if (nMajor == 1 && nMinor == 1)
            return true;
        SysSocketsCleanup();
    }
    SysShowMessage("Windows sockets initialization failed.", SYSMSG_ICON_ERROR);
    return false;
}

void StopSockets()
{
    SysSocketsCleanup();
}
