// EngineTestSupport.h: loopback peers, SOCKS request builders, session-log reading and the server
// fixture shared by the end-to-end tests of the engine, the agent and the user interface.
//
// Everything here talks to 127.0.0.1 only, through the platform's socket functions, so the same
// tests drive the POSIX emulation natively and Windows Sockets under Wine. Every wait has a
// deadline.
#pragma once

#include <atomic>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/Server.h"
#include "headless/ConsoleShell.h"
#include "platform/Sockets.h"

// Time-outs of the tests: generous, since they only bound a wait that normally ends at once.
const int WAIT_MS = 10000;

std::string ByteString(std::initializer_list<int> bytes);
// Printable form of bytes for failure messages: "05 00 00 01".
std::string HexOf(const std::string& strBytes);

sockaddr_in LoopbackAddress(uint16_t nPort);
// "127.0.0.1:port" as the session log writes an endpoint.
std::string EndpointOf(const sockaddr_in& sa);
// A loopback port on which nothing listens (bound once, then closed again).
uint16_t ClosedLoopbackPort();

// A client or peer socket of the test, closed when destroyed.
class CTestSocket
{
public:
    explicit CTestSocket(int nType = SOCK_STREAM);
    ~CTestSocket();

    bool Connect(uint16_t nPort);
    bool Bind(uint16_t nPort); // to 127.0.0.1
    bool Send(const std::string& strBytes);
    // Up to nCount bytes, waiting at most nTimeoutMs for all of them; shorter when the peer
    // closed or the time ran out.
    std::string Receive(size_t nCount, int nTimeoutMs = WAIT_MS);
    // True when the peer closes (or resets) the connection within the time-out; whatever arrives
    // before goes to *pstrReceived.
    bool WaitClosed(int nTimeoutMs = WAIT_MS, std::string* pstrReceived = nullptr);
    // True when nothing arrives (and the connection stays open) for nMs.
    bool StaysSilent(int nMs);
    bool SendTo(const std::string& strBytes, const sockaddr_in& saTo);
    // One datagram, or false after nTimeoutMs.
    bool ReceiveFrom(std::string& strData, sockaddr_in* pFrom, int nTimeoutMs = WAIT_MS);
    sockaddr_in LocalAddress() const;
    void Close();

    SOCKET hSocket;

private:
    int WaitReadable(int nTimeoutMs);
};

// Echoes every byte it receives, on every connection it accepts, each on a thread of its own.
// With bCloseAtOnce it closes each connection right after accepting it instead.
class CEchoServer
{
public:
    explicit CEchoServer(bool bCloseAtOnce = false);
    ~CEchoServer();
    uint16_t GetPort() const { return nPort; }
    int GetAccepted() const { return nAccepted.load(); }
    // Closes every echo connection now (the listener stays).
    void CloseConnections();

private:
    void AcceptLoop();
    void EchoLoop(size_t nIndex);

    bool bCloseAtOnce;
    volatile SOCKET hListen;
    uint16_t nPort;
    std::atomic<int> nAccepted;
    std::thread acceptThread;
    std::mutex mutex;
    std::vector<volatile SOCKET*> connections;
    std::vector<std::thread> echoThreads;
};

// Sends every datagram back to its sender.
class CUdpEcho
{
public:
    CUdpEcho();
    ~CUdpEcho();
    uint16_t GetPort() const { return nPort; }
    int GetReceived() const { return nReceived.load(); }

private:
    volatile SOCKET hSocket;
    uint16_t nPort;
    std::atomic<int> nReceived;
    std::thread thread;
};

// SOCKS requests as a client sends them.
std::string Socks4Request(int nCommand, uint16_t nPort, const std::string& strAddress4,
                          const std::string& strUserId);
std::string Socks4Connect(uint16_t nPort, const std::string& strUserId = "");
std::string Socks5Request(int nCommand, uint16_t nPort); // address type 1, 127.0.0.1
std::string Socks5NameRequest(int nCommand, const std::string& strName, uint16_t nPort);
std::string Socks5Auth(const std::string& strUser, const std::string& strPassword);
const std::string SOCKS4_GRANTED = std::string("\x00\x5A\x00\x00\x00\x00\x00\x00", 8);
const std::string SOCKS4_REJECTED = std::string("\x00\x5B\x00\x00\x00\x00\x00\x00", 8);
std::string Socks5Failure(int nCode);
// The SOCKS5 success reply naming this address.
std::string Socks5Success(const sockaddr_in& saBound);

// One event line of the session log.
struct SLogLine
{
    std::string strDate, strVersion, strUser, strSource, strDest, strStatus, strError;
};
// The complete lines of a log file (a line still being written is left out). Fails the test when
// the file does not start with the legend.
std::vector<SLogLine> ReadLog(const std::string& strPath);
// Waits until nCount lines satisfy the predicate; returns those seen last.
std::vector<SLogLine> WaitLog(const std::string& strPath, const std::function<bool(const SLogLine&)>& match,
                              size_t nCount = 1, int nTimeoutMs = WAIT_MS);

// Polls (1 ms steps) until the condition holds; false after the time-out.
bool WaitUntil(const std::function<bool()>& condition, int nTimeoutMs = WAIT_MS);

// A fresh, empty folder for one test's files, removed with its files when destroyed.
class CTempFolder
{
public:
    CTempFolder();
    ~CTempFolder();
    const std::string& GetPath() const { return strPath; }

private:
    std::string strPath;
};

// The one console shell of the test process (the engine keeps a pointer to it for good).
CConsoleShell& TestShell();

// A running server on 127.0.0.1, port 0, with logging into a folder of its own. Each test
// starts from the defaults below; TearDown stops the server and checks that it ended cleanly.
class LiveServer : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Settings of every test: both versions, no filter, no authentication, no limit to speak of.
    void ResetSettings();
    // Starts the server and reads its port and log file back; fails the test if it does not run.
    void Start();
    // Runs the stop flow and checks its end: the table is empty and "Server stopped" is last.
    void Stop();

    // Connects a client to the proxy.
    void ConnectClient(CTestSocket& client);
    // Connects and runs a SOCKS5 CONNECT without authentication to the port on 127.0.0.1.
    void OpenSocks5Tunnel(CTestSocket& client, uint16_t nDestPort);
    // The Disconnect line of the session whose client had this address (EndpointOf the client's
    // LocalAddress, taken before it closes).
    SLogLine WaitDisconnect(const std::string& strSource);
    // Lines of the current log with this status.
    std::vector<SLogLine> LinesWithStatus(const char* pszStatus);

    CTempFolder folder;
    uint16_t nPort = 0;
    std::string strLogPath;
};
