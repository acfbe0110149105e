// LoopbackHttpServer.h: a small HTTP server on 127.0.0.1 for the upload agent's tests.
//
// It serves one connection at a time: reads the request head and, when the head announces one, a
// Content-Length body; records both; then sends the reply the test chose and closes the
// connection. Behaviours a test can pick: a reply sent right after the head (before the body is
// read: "100 Continue"), and silence (the connection is accepted, read, and never answered until
// the server is destroyed). Every wait is bounded; the server runs on its own thread.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Sockets.h"

class CLoopbackHttpServer
{
public:
    struct SExchange
    {
        std::string strHead; // the request head, up to and including its empty line
        std::string strBody; // Content-Length bytes after it
    };

    // strReply: the bytes sent once the request has been read in full.
    explicit CLoopbackHttpServer(const std::string& strReply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    ~CLoopbackHttpServer();

    uint16_t GetPort() const { return nPort; }
    // Sent after the head, before the body is read.
    void SetInterimReply(const std::string& str);
    // Accept and read, but never answer.
    void SetSilent(bool bOn) { bSilent = bOn; }
    // Waits (bounded) until n requests have been read; returns those recorded.
    std::vector<SExchange> WaitExchanges(size_t n, int nTimeoutMs = 10000);
    int GetAccepted() const { return nAccepted.load(); }

private:
    void Serve();
    void HandleConnection(SOCKET h);
    // Up to n bytes with a deadline; false on close, error, stop or time-out.
    bool ReceiveSome(SOCKET h, std::string& strOut, size_t n);

    volatile SOCKET hListen;
    uint16_t nPort;
    std::string strReply;
    std::string strInterim;
    std::atomic<bool> bSilent;
    std::atomic<bool> bStop;
    std::atomic<int> nAccepted;
    std::mutex mutex;
    std::vector<SExchange> exchanges;
    std::thread thread;
};

// Splits a request head into its lines (without their CR LF; the empty last line left out).
std::vector<std::string> HeadLines(const std::string& strHead);
