// LoopbackHttpServer.h: a small HTTP server on 127.0.0.1 for the upload agent's tests.
//
// One connection at a time: it reads the request head and the Content-Length body, records both,
// sends the interim reply (if any) right after the head and the reply after the body, and closes.
// A silent server reads the request and never answers. Every wait is bounded.
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
        std::string strHead, strBody;
    };
    explicit CLoopbackHttpServer(const std::string& strReply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
                                 const std::string& strInterim = "", bool bSilent = false);
    ~CLoopbackHttpServer();
    uint16_t GetPort() const { return nPort; }
    // Waits at most 10 s until n requests have been read; returns those recorded.
    std::vector<SExchange> WaitExchanges(size_t n);

private:
    void Serve();
    bool Receive(SOCKET h, std::string& strData); // false on close, error, stop or 10 s of silence

    SOCKET hListen;
    uint16_t nPort;
    std::string strReply, strInterim;
    bool bSilent;
    std::atomic<bool> bStop;
    std::mutex mutex;
    std::vector<SExchange> exchanges;
    std::thread thread;
};

// The lines of a head without their CR LF, up to the empty line.
std::vector<std::string> HeadLines(const std::string& strHead);
