// LoopbackHttpServer.cpp: the agent tests' HTTP server.
#include "tests/support/LoopbackHttpServer.h"

#include <cstdlib>
#include <cstring>

namespace
{

const int SLICE_MS = 50;
const int REQUEST_TIMEOUT_MS = 10000;

// 1 readable, 0 not yet, -1 failure.
int WaitReadable(SOCKET h, int nMs)
{
    SOCKSET set;
    SockSetClear(&set);
    SockSetAdd(&set, h);
    timeval tv;
    tv.tv_sec = nMs / 1000;
    tv.tv_usec = (nMs % 1000) * 1000;
    int n = SysSelect(0, &set, nullptr, nullptr, &tv);
    return n < 0 ? -1 : n;
}

void SendAllBytes(SOCKET h, const std::string& str)
{
    size_t nDone = 0;
    while (nDone < str.size())
    {
        int n = SysSend(h, str.data() + nDone, (int)(str.size() - nDone), 0);
        if (n <= 0)
            return;
        nDone += (size_t)n;
    }
}

} // namespace

CLoopbackHttpServer::CLoopbackHttpServer(const std::string& strReplyBytes)
    : hListen(INVALID_SOCKET), nPort(0), strReply(strReplyBytes), bSilent(false), bStop(false), nAccepted(0)
{
    SOCKET h = SysSocket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(0x7F000001);
    int nLength = sizeof(sa);
    if (h == INVALID_SOCKET || SysBind(h, (const sockaddr*)&sa, sizeof(sa)) != 0 || SysListen(h, 8) != 0 ||
        SysGetSockName(h, (sockaddr*)&sa, &nLength) != 0)
        abort();
    nPort = ntohs(sa.sin_port);
    hListen = h;
    thread = std::thread(&CLoopbackHttpServer::Serve, this);
}

CLoopbackHttpServer::~CLoopbackHttpServer()
{
    bStop = true;
    thread.join();
    SysCloseSocket(hListen);
}

void CLoopbackHttpServer::SetInterimReply(const std::string& str)
{
    std::lock_guard<std::mutex> lock(mutex);
    strInterim = str;
}

std::vector<CLoopbackHttpServer::SExchange> CLoopbackHttpServer::WaitExchanges(size_t n, int nTimeoutMs)
{
    uint64_t tEnd = SysTicksMs() + (uint64_t)nTimeoutMs;
    for (;;)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (exchanges.size() >= n || SysTicksMs() >= tEnd)
                return exchanges;
        }
        SysSleep(5);
    }
}

void CLoopbackHttpServer::Serve()
{
    while (!bStop)
    {
        if (WaitReadable(hListen, SLICE_MS) != 1)
            continue;
        SOCKET h = SysAccept(hListen, nullptr, nullptr);
        if (h == INVALID_SOCKET)
            continue;
        nAccepted++;
        HandleConnection(h);
        SysCloseSocket(h);
    }
}

bool CLoopbackHttpServer::ReceiveSome(SOCKET h, std::string& strOut, size_t n)
{
    uint64_t tEnd = SysTicksMs() + REQUEST_TIMEOUT_MS;
    while (!bStop && SysTicksMs() < tEnd)
    {
        int nReady = WaitReadable(h, SLICE_MS);
        if (nReady < 0)
            return false;
        if (nReady == 0)
            continue;
        char buffer[4096];
        int nGot = SysRecv(h, buffer, (int)(n < sizeof(buffer) ? n : sizeof(buffer)), 0);
        if (nGot <= 0)
            return false;
        strOut.append(buffer, (size_t)nGot);
        return true;
    }
    return false;
}

void CLoopbackHttpServer::HandleConnection(SOCKET h)
{
    SExchange exchange;
    std::string strData;
    size_t nHeadEnd;
    while ((nHeadEnd = strData.find("\r\n\r\n")) == std::string::npos)
        if (!ReceiveSome(h, strData, 4096))
            return;
    exchange.strHead = strData.substr(0, nHeadEnd + 4);
    strData.erase(0, nHeadEnd + 4);

    std::string strInterimReply;
    {
        std::lock_guard<std::mutex> lock(mutex);
        strInterimReply = strInterim;
    }
    if (!strInterimReply.empty())
        SendAllBytes(h, strInterimReply);

    size_t nLength = 0;
    size_t nAt = exchange.strHead.find("\r\nContent-Length: ");
    if (nAt != std::string::npos)
        nLength = strtoul(exchange.strHead.c_str() + nAt + 18, nullptr, 10);
    while (strData.size() < nLength)
        if (!ReceiveSome(h, strData, nLength - strData.size()))
            break;
    exchange.strBody = strData;
    {
        std::lock_guard<std::mutex> lock(mutex);
        exchanges.push_back(exchange);
    }
    if (bSilent)
    {
        while (!bStop)
            SysSleep(SLICE_MS);
        return;
    }
    SendAllBytes(h, strReply);
}

std::vector<std::string> HeadLines(const std::string& strHead)
{
    std::vector<std::string> lines;
    size_t nStart = 0;
    for (;;)
    {
        size_t nEnd = strHead.find("\r\n", nStart);
        if (nEnd == std::string::npos || nEnd == nStart)
            break;
        lines.push_back(strHead.substr(nStart, nEnd - nStart));
        nStart = nEnd + 2;
    }
    return lines;
}
