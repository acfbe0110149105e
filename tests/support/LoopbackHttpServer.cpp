// LoopbackHttpServer.cpp: the agent tests' HTTP server.
#include "tests/support/LoopbackHttpServer.h"

#include <cstdlib>
#include <cstring>

namespace
{

bool WaitReadable(SOCKET h, int nMs)
{
    SOCKSET set;
    SockSetClear(&set);
    SockSetAdd(&set, h);
    timeval tv = {nMs / 1000, (nMs % 1000) * 1000};
    return SysSelect(0, &set, nullptr, nullptr, &tv) == 1;
}

void SendAllBytes(SOCKET h, const std::string& str)
{
    for (size_t n = 0; n < str.size();)
    {
        int nSent = SysSend(h, str.data() + n, (int)(str.size() - n), 0);
        if (nSent <= 0)
            return;
        n += (size_t)nSent;
    }
}

} // namespace

CLoopbackHttpServer::CLoopbackHttpServer(const std::string& strReplyBytes, const std::string& strInterimBytes,
                                         bool bSilentServer)
    : strReply(strReplyBytes), strInterim(strInterimBytes), bSilent(bSilentServer), bStop(false)
{
    hListen = SysSocket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(0x7F000001);
    int nLength = sizeof(sa);
    if (SysBind(hListen, (const sockaddr*)&sa, sizeof(sa)) != 0 || SysListen(hListen, 8) != 0 ||
        SysGetSockName(hListen, (sockaddr*)&sa, &nLength) != 0)
        abort();
    nPort = ntohs(sa.sin_port);
    thread = std::thread(&CLoopbackHttpServer::Serve, this);
}

CLoopbackHttpServer::~CLoopbackHttpServer()
{
    bStop = true;
    thread.join();
    SysCloseSocket(hListen);
}

std::vector<CLoopbackHttpServer::SExchange> CLoopbackHttpServer::WaitExchanges(size_t n)
{
    for (uint64_t tEnd = SysTicksMs() + 10000;; SysSleep(5))
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (exchanges.size() >= n || SysTicksMs() >= tEnd)
            return exchanges;
    }
}

bool CLoopbackHttpServer::Receive(SOCKET h, std::string& strData)
{
    for (uint64_t tEnd = SysTicksMs() + 10000; !bStop && SysTicksMs() < tEnd;)
        if (WaitReadable(h, 50))
        {
            char buffer[4096];
            int n = SysRecv(h, buffer, sizeof(buffer), 0);
            strData.append(buffer, n > 0 ? (size_t)n : 0);
            return n > 0;
        }
    return false;
}

void CLoopbackHttpServer::Serve()
{
    while (!bStop)
    {
        if (!WaitReadable(hListen, 50))
            continue;
        SOCKET h = SysAccept(hListen, nullptr, nullptr);
        SExchange x;
        size_t nEnd;
        bool bOpen = true;
        while (bOpen && (nEnd = x.strBody.find("\r\n\r\n")) == std::string::npos)
            bOpen = Receive(h, x.strBody);
        if (bOpen)
        {
            x.strHead = x.strBody.substr(0, nEnd + 4);
            x.strBody.erase(0, nEnd + 4);
            SendAllBytes(h, strInterim);
            size_t nAt = x.strHead.find("\r\nContent-Length: ");
            size_t nLength =
                nAt == std::string::npos ? 0 : strtoul(x.strHead.c_str() + nAt + 18, nullptr, 10);
            while (x.strBody.size() < nLength && Receive(h, x.strBody))
            {
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                exchanges.push_back(x);
            }
            while (bSilent && !bStop)
                SysSleep(20);
            SendAllBytes(h, strReply);
        }
        SysCloseSocket(h);
    }
}

std::vector<std::string> HeadLines(const std::string& strHead)
{
    std::vector<std::string> lines;
    for (size_t n = 0, nEnd; (nEnd = strHead.find("\r\n", n)) != std::string::npos && nEnd > n; n = nEnd + 2)
        lines.push_back(strHead.substr(n, nEnd - n));
    return lines;
}
