// EngineTestSupport.cpp: loopback peers, SOCKS request builders, session-log reading and the
// server fixture of the engine's end-to-end tests.
#include "tests/support/EngineTestSupport.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "config/Settings.h"
#include "engine/AccessRules.h"
#include "engine/ServerContext.h"
#include "engine/SessionTable.h"

std::string ByteString(std::initializer_list<int> bytes)
{
    std::string str;
    for (int b : bytes)
        str += (char)(unsigned char)b;
    return str;
}

std::string HexOf(const std::string& strBytes)
{
    std::string str;
    char sz[4];
    for (unsigned char ch : strBytes)
    {
        snprintf(sz, sizeof(sz), "%02X", ch);
        if (!str.empty())
            str += ' ';
        str += sz;
    }
    return str;
}

sockaddr_in LoopbackAddress(uint16_t nPort)
{
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(nPort);
    sa.sin_addr.s_addr = htonl(0x7F000001);
    return sa;
}

std::string EndpointOf(const sockaddr_in& sa)
{
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(&sa.sin_addr);
    char sz[32];
    snprintf(sz, sizeof(sz), "%u.%u.%u.%u:%u", pb[0], pb[1], pb[2], pb[3], (unsigned)ntohs(sa.sin_port));
    return sz;
}

uint16_t ClosedLoopbackPort()
{
    CTestSocket probe;
    EXPECT_TRUE(probe.Bind(0));
    return ntohs(probe.LocalAddress().sin_port);
}

bool WaitUntil(const std::function<bool()>& condition, int nTimeoutMs)
{
    uint64_t tEnd = SysTicksMs() + (uint64_t)nTimeoutMs;
    while (!condition())
    {
        if (SysTicksMs() >= tEnd)
            return condition();
        SysSleep(1);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// CTestSocket

// No assertion here: sockets are also made on helper threads, and a socket that could not be
// created fails the first call the test makes on it.
CTestSocket::CTestSocket(int nType)
{
    hSocket = SysSocket(AF_INET, nType, 0);
}

CTestSocket::~CTestSocket()
{
    Close();
}

void CTestSocket::Close()
{
    SOCKET h = SysExchangeSocket(&hSocket, INVALID_SOCKET);
    if (h != INVALID_SOCKET)
        SysCloseSocket(h);
}

bool CTestSocket::Connect(uint16_t nPort)
{
    sockaddr_in sa = LoopbackAddress(nPort);
    if (SysConnect(hSocket, (const sockaddr*)&sa, sizeof(sa)) != 0)
        return false;
    // The tests send requests piece by piece and expect each piece to leave at once.
    int nOn = 1;
    SysSetSockOpt(hSocket, IPPROTO_TCP, TCP_NODELAY, (const char*)&nOn, sizeof(nOn));
    return true;
}

bool CTestSocket::Bind(uint16_t nPort)
{
    sockaddr_in sa = LoopbackAddress(nPort);
    return SysBind(hSocket, (const sockaddr*)&sa, sizeof(sa)) == 0;
}

bool CTestSocket::Send(const std::string& strBytes)
{
    size_t nDone = 0;
    while (nDone < strBytes.size())
    {
        int n = SysSend(hSocket, strBytes.data() + nDone, (int)(strBytes.size() - nDone), 0);
        if (n <= 0)
            return false;
        nDone += (size_t)n;
    }
    return true;
}

int CTestSocket::WaitReadable(int nTimeoutMs)
{
    SOCKSET set;
    SockSetClear(&set);
    SockSetAdd(&set, hSocket);
    timeval tv;
    tv.tv_sec = nTimeoutMs / 1000;
    tv.tv_usec = (nTimeoutMs % 1000) * 1000;
    return SysSelect(0, &set, nullptr, nullptr, &tv);
}

std::string CTestSocket::Receive(size_t nCount, int nTimeoutMs)
{
    std::string str;
    uint64_t tEnd = SysTicksMs() + (uint64_t)nTimeoutMs;
    while (str.size() < nCount)
    {
        uint64_t tNow = SysTicksMs();
        if (tNow >= tEnd || WaitReadable((int)(tEnd - tNow)) <= 0)
            break;
        char buffer[65536];
        size_t nWant = nCount - str.size();
        int n = SysRecv(hSocket, buffer, (int)(nWant < sizeof(buffer) ? nWant : sizeof(buffer)), 0);
        if (n <= 0)
            break;
        str.append(buffer, (size_t)n);
    }
    return str;
}

bool CTestSocket::WaitClosed(int nTimeoutMs, std::string* pstrReceived)
{
    uint64_t tEnd = SysTicksMs() + (uint64_t)nTimeoutMs;
    for (;;)
    {
        uint64_t tNow = SysTicksMs();
        if (tNow >= tEnd || WaitReadable((int)(tEnd - tNow)) <= 0)
            return false;
        char buffer[4096];
        int n = SysRecv(hSocket, buffer, sizeof(buffer), 0);
        if (n <= 0)
            return true;
        if (pstrReceived)
            pstrReceived->append(buffer, (size_t)n);
    }
}

bool CTestSocket::StaysSilent(int nMs)
{
    return WaitReadable(nMs) == 0;
}

bool CTestSocket::SendTo(const std::string& strBytes, const sockaddr_in& saTo)
{
    return SysSendTo(hSocket, strBytes.data(), (int)strBytes.size(), 0, (const sockaddr*)&saTo,
                     sizeof(saTo)) == (int)strBytes.size();
}

bool CTestSocket::ReceiveFrom(std::string& strData, sockaddr_in* pFrom, int nTimeoutMs)
{
    if (WaitReadable(nTimeoutMs) <= 0)
        return false;
    std::vector<char> buffer(65536);
    sockaddr_in saFrom;
    int nLen = sizeof(saFrom);
    int n = SysRecvFrom(hSocket, buffer.data(), (int)buffer.size(), 0, (sockaddr*)&saFrom, &nLen);
    if (n < 0)
        return false;
    strData.assign(buffer.data(), (size_t)n);
    if (pFrom)
        *pFrom = saFrom;
    return true;
}

sockaddr_in CTestSocket::LocalAddress() const
{
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    int nLen = sizeof(sa);
    SysGetSockName(hSocket, (sockaddr*)&sa, &nLen);
    return sa;
}

// ---------------------------------------------------------------------------------------------
// CEchoServer

CEchoServer::CEchoServer(bool bClose) : bCloseAtOnce(bClose), nPort(0), nAccepted(0)
{
    hListen = SysSocket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = LoopbackAddress(0);
    EXPECT_EQ(SysBind(hListen, (const sockaddr*)&sa, sizeof(sa)), 0);
    EXPECT_EQ(SysListen(hListen, 256), 0);
    int nLen = sizeof(sa);
    SysGetSockName(hListen, (sockaddr*)&sa, &nLen);
    nPort = ntohs(sa.sin_port);
    acceptThread = std::thread([this] { AcceptLoop(); });
}

CEchoServer::~CEchoServer()
{
    SOCKET h = SysExchangeSocket(&hListen, INVALID_SOCKET);
    SysCloseSocket(h);
    acceptThread.join();
    CloseConnections();
    for (std::thread& t : echoThreads)
        t.join();
    for (volatile SOCKET* p : connections)
        delete p;
}

void CEchoServer::CloseConnections()
{
    std::lock_guard<std::mutex> lock(mutex);
    for (volatile SOCKET* p : connections)
    {
        SOCKET h = SysExchangeSocket(p, INVALID_SOCKET);
        if (h != INVALID_SOCKET)
            SysCloseSocket(h);
    }
}

void CEchoServer::AcceptLoop()
{
    for (;;)
    {
        SOCKET h = SysAccept(SysLoadSocket(&hListen), nullptr, nullptr);
        if (h == INVALID_SOCKET)
        {
            if (SysLoadSocket(&hListen) == INVALID_SOCKET)
                return;
            continue;
        }
        nAccepted++;
        if (bCloseAtOnce)
        {
            SysCloseSocket(h);
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex);
        connections.push_back(new volatile SOCKET(h));
        size_t nIndex = connections.size() - 1;
        echoThreads.emplace_back([this, nIndex] { EchoLoop(nIndex); });
    }
}

void CEchoServer::EchoLoop(size_t nIndex)
{
    volatile SOCKET* pHandle;
    {
        std::lock_guard<std::mutex> lock(mutex);
        pHandle = connections[nIndex];
    }
    std::vector<char> buffer(65536);
    for (;;)
    {
        SOCKET h = SysLoadSocket(pHandle);
        if (h == INVALID_SOCKET)
            return;
        int n = SysRecv(h, buffer.data(), (int)buffer.size(), 0);
        if (n <= 0)
            break;
        int nDone = 0;
        while (nDone < n)
        {
            int nSent = SysSend(h, buffer.data() + nDone, n - nDone, 0);
            if (nSent <= 0)
                break;
            nDone += nSent;
        }
        if (nDone < n)
            break;
    }
    SOCKET h = SysExchangeSocket(pHandle, INVALID_SOCKET);
    if (h != INVALID_SOCKET)
        SysCloseSocket(h);
}

// ---------------------------------------------------------------------------------------------
// CUdpEcho

CUdpEcho::CUdpEcho() : nPort(0), nReceived(0)
{
    hSocket = SysSocket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = LoopbackAddress(0);
    EXPECT_EQ(SysBind(hSocket, (const sockaddr*)&sa, sizeof(sa)), 0);
    int nLen = sizeof(sa);
    SysGetSockName(hSocket, (sockaddr*)&sa, &nLen);
    nPort = ntohs(sa.sin_port);
    thread = std::thread(
        [this]
        {
            std::vector<char> buffer(65536);
            for (;;)
            {
                SOCKET h = SysLoadSocket(&hSocket);
                if (h == INVALID_SOCKET)
                    return;
                sockaddr_in saFrom;
                int nFromLen = sizeof(saFrom);
                int n = SysRecvFrom(h, buffer.data(), (int)buffer.size(), 0, (sockaddr*)&saFrom, &nFromLen);
                if (n < 0)
                {
                    if (SysLoadSocket(&hSocket) == INVALID_SOCKET)
                        return;
                    continue;
                }
                nReceived++;
                SysSendTo(h, buffer.data(), n, 0, (const sockaddr*)&saFrom, nFromLen);
            }
        });
}

CUdpEcho::~CUdpEcho()
{
    SOCKET h = SysExchangeSocket(&hSocket, INVALID_SOCKET);
    SysCloseSocket(h);
    thread.join();
}

// ---------------------------------------------------------------------------------------------
// SOCKS requests

std::string Socks4Request(int nCommand, uint16_t nPort, const std::string& strAddress4,
                          const std::string& strUserId)
{
    std::string str = ByteString({4, nCommand, nPort >> 8, nPort & 0xFF});
    str += strAddress4;
    str += strUserId;
    str += '\0';
    return str;
}

std::string Socks4Connect(uint16_t nPort, const std::string& strUserId)
{
    return Socks4Request(1, nPort, ByteString({127, 0, 0, 1}), strUserId);
}

std::string Socks5Request(int nCommand, uint16_t nPort)
{
    return ByteString({5, nCommand, 0, 1, 127, 0, 0, 1, nPort >> 8, nPort & 0xFF});
}

std::string Socks5NameRequest(int nCommand, const std::string& strName, uint16_t nPort)
{
    std::string str = ByteString({5, nCommand, 0, 3, (int)strName.size()});
    str += strName;
    str += ByteString({nPort >> 8, nPort & 0xFF});
    return str;
}

std::string Socks5Auth(const std::string& strUser, const std::string& strPassword)
{
    std::string str = ByteString({1, (int)strUser.size()});
    str += strUser;
    str += (char)strPassword.size();
    str += strPassword;
    return str;
}

std::string Socks5Failure(int nCode)
{
    return ByteString({5, nCode, 0, 1, 0, 0, 0, 0, 0, 0});
}

std::string Socks5Success(const sockaddr_in& saBound)
{
    std::string str = ByteString({5, 0, 0, 1});
    str.append(reinterpret_cast<const char*>(&saBound.sin_addr), 4);
    str.append(reinterpret_cast<const char*>(&saBound.sin_port), 2);
    return str;
}

// ---------------------------------------------------------------------------------------------
// The session log

std::vector<SLogLine> ReadLog(const std::string& strPath)
{
    static const std::string strLegend = "#\r\n# Legend: \"Date\" \"Version\" \"User\" \"Source\" "
                                         "\"Destination\" \"Status\" \"Error\"\r\n#\r\n\r\n";
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string strText = ss.str();
    std::vector<SLogLine> lines;
    if (strText.compare(0, strLegend.size(), strLegend) != 0)
    {
        ADD_FAILURE() << "log " << strPath << " does not start with the legend";
        return lines;
    }
    size_t nPos = strLegend.size();
    for (;;)
    {
        size_t nEnd = strText.find("\r\n", nPos);
        if (nEnd == std::string::npos)
            break;
        std::string strLine = strText.substr(nPos, nEnd - nPos);
        nPos = nEnd + 2;
        std::vector<std::string> fields;
        if (strLine.size() >= 2 && strLine.front() == '"' && strLine.back() == '"')
        {
            std::string strInner = strLine.substr(1, strLine.size() - 2);
            size_t nStart = 0;
            for (;;)
            {
                size_t nSep = strInner.find("\" \"", nStart);
                fields.push_back(
                    strInner.substr(nStart, nSep == std::string::npos ? std::string::npos : nSep - nStart));
                if (nSep == std::string::npos)
                    break;
                nStart = nSep + 3;
            }
        }
        if (fields.size() != 7)
        {
            ADD_FAILURE() << "malformed log line: " << strLine;
            continue;
        }
        lines.push_back({fields[0], fields[1], fields[2], fields[3], fields[4], fields[5], fields[6]});
    }
    return lines;
}

std::vector<SLogLine> WaitLog(const std::string& strPath, const std::function<bool(const SLogLine&)>& match,
                              size_t nCount, int nTimeoutMs)
{
    std::vector<SLogLine> found;
    WaitUntil(
        [&]
        {
            found.clear();
            for (const SLogLine& line : ReadLog(strPath))
                if (match(line))
                    found.push_back(line);
            return found.size() >= nCount;
        },
        nTimeoutMs);
    return found;
}

// ---------------------------------------------------------------------------------------------
// CTempFolder

namespace
{
std::atomic<int> g_nFolders(0);

void DeleteEntry(const char* pszName, void* pContext)
{
    if (strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0)
        return;
    std::string strPath = *static_cast<std::string*>(pContext) + PATH_SEPARATOR + pszName;
    SysDeleteFile(strPath.c_str());
}
} // namespace

CTempFolder::CTempFolder()
{
    char szTemp[1024];
    size_t nLen = SysTempFolder(szTemp, sizeof(szTemp));
    EXPECT_GT(nLen, 0u);
    // Test processes run side by side and may start within the same millisecond: a name that
    // exists already belongs to another process, so the next number is tried.
    bool bCreated = false;
    for (int nTry = 0; nTry < 1000 && !bCreated; ++nTry)
    {
        char szLeaf[64];
        snprintf(szLeaf, sizeof(szLeaf), "tg-engine-%llu-%d", (unsigned long long)SysTicksMs(), g_nFolders++);
        strPath = std::string(szTemp) + szLeaf;
        bCreated = SysCreateDirectory(strPath.c_str());
    }
    EXPECT_TRUE(bCreated) << strPath;
}

CTempFolder::~CTempFolder()
{
    SysListFolder(strPath.c_str(), DeleteEntry, &strPath);
    SysRemoveDirectory(strPath.c_str());
}

namespace
{
// Windows Sockets must be started before the first socket of the process.
class CSocketsEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        int nMajor = 0, nMinor = 0;
        ASSERT_TRUE(SysSocketsStartup(&nMajor, &nMinor));
    }
    void TearDown() override { SysSocketsCleanup(); }
};

::testing::Environment* const g_pSocketsEnvironment =
    ::testing::AddGlobalTestEnvironment(new CSocketsEnvironment);
} // namespace

CConsoleShell& TestShell()
{
    static CConsoleShell* pShell = new CConsoleShell;
    return *pShell;
}

// ---------------------------------------------------------------------------------------------
// LiveServer

void LiveServer::SetUp()
{
    SetServerShell(&TestShell());
    ResetSettings();
    Start();
}

void LiveServer::TearDown()
{
    Stop();
    EXPECT_TRUE(WaitEngineThreadsEnded(WAIT_MS)) << "an engine thread outlived the stop";
    ReplaceIpRanges(nullptr, 0);
    SetEngineClock(nullptr); // a test that moved the clock and failed half-way
}

void LiveServer::ResetSettings()
{
    memset(&g_settings.addrService, 0, sizeof(g_settings.addrService));
    g_settings.addrService = LoopbackAddress(0);
    g_settings.bSocks4 = 1;
    g_settings.bSocks5 = 1;
    g_settings.bLog = 1;
    g_settings.strLogFolder = folder.GetPath().c_str();
    g_settings.bIpFilter = 0;
    g_settings.bSocks5Auth = 0;
    g_settings.strSocks5Userid = "";
    g_settings.strSocks5Password = "";
    nConnectionLimit = 9999;
}

void LiveServer::Start()
{
    ASSERT_EQ(StartServer(), FLOW_DONE);
    nPort = ntohs(g_server.saListen.sin_port);
    ASSERT_NE(nPort, 0);
    strLogPath = g_server.logFile.GetFileName().GetString();
    ASSERT_FALSE(strLogPath.empty());
}

void LiveServer::Stop()
{
    if (!IsServerRunning())
        return;
    std::string strLog = g_server.logFile.GetFileName().GetString();
    ASSERT_EQ(StopServer(), FLOW_DONE);
    EXPECT_EQ(GetSessionCount(), 0);
    EXPECT_FALSE(g_server.logFile.IsOpen());
    if (!strLog.empty())
    {
        std::vector<SLogLine> lines = ReadLog(strLog);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().strStatus, "Server stopped");
    }
}

void LiveServer::ConnectClient(CTestSocket& client)
{
    ASSERT_TRUE(client.Connect(nPort));
}

void LiveServer::OpenSocks5Tunnel(CTestSocket& client, uint16_t nDestPort)
{
    ConnectClient(client);
    ASSERT_TRUE(client.Send(ByteString({5, 1, 0})));
    ASSERT_EQ(HexOf(client.Receive(2)), "05 00");
    ASSERT_TRUE(client.Send(Socks5Request(1, nDestPort)));
    ASSERT_EQ(HexOf(client.Receive(10)), HexOf(Socks5Success(LoopbackAddress(nPort))));
}

SLogLine LiveServer::WaitDisconnect(const std::string& strSource)
{
    std::vector<SLogLine> lines =
        WaitLog(strLogPath, [&](const SLogLine& line)
                { return line.strStatus == "Disconnect" && line.strSource == strSource; });
    if (lines.empty())
    {
        ADD_FAILURE() << "no Disconnect line for " << strSource;
        return SLogLine();
    }
    return lines.front();
}

std::vector<SLogLine> LiveServer::LinesWithStatus(const char* pszStatus)
{
    std::vector<SLogLine> found;
    for (const SLogLine& line : ReadLog(strLogPath))
        if (line.strStatus == pszStatus)
            found.push_back(line);
    return found;
}
