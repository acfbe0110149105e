// The measurements of the load generator. Each one is bounded in time and writes its figures as
// (key, cell) pairs; failed operations are counted and shown in the cell, never dropped silently.
#pragma once

#include "EchoServer.h"
#include "SocksClient.h"

#include <string>
#include <utility>
#include <vector>

// Data flows this long before a throughput window opens: slow start and the first filled buffers
// stay out of the figure.
constexpr double kWarmUpSeconds = 0.25;

struct SBenchOptions
{
    STarget target;
    int pidProxy = 0;      // whose memory and threads the idle test reads (0: none)
    double dSeconds = 3.0; // length of every timed figure
    bool bSocks4 = true;
    bool bUdp = true;
    std::vector<int> arrIdleLevels{1000, 4000, 9000};
};

using CResults = std::vector<std::pair<std::string, std::string>>;

class CMeasurements
{
public:
    CMeasurements(const SBenchOptions& options, CServerProcess& servers, CResults& results)
        : m_options(options), m_servers(servers), m_results(results)
    {
    }

    void Throughput();
    void SetupRate();
    // SOCKS5 set-ups with user name and password (the proxy must know kBenchUser).
    void AuthSetupRate();
    // System calls of the proxy (and its children) per SOCKS5 set-up, counted with strace over a
    // fixed number of set-ups made one after the other.
    void SystemCalls();
    void UdpEchoes();
    void IdleTunnels();

private:
    std::string Download(int nTunnels);
    std::string Upload(int nTunnels);
    std::string BothWays(int nTunnels);
    int OpenCountedTunnel(uint16_t nPort, uint32_t& nSlot, std::string& strError);
    bool OpenCountedTunnels(const std::string& strKey, bool bDuplex, int nTunnels, std::vector<int>& arrFds,
                            std::vector<SSinkSlot*>& arrSlots);
    void SetupFigures(const char* pszKey, ESocksRequest nRequest, int nClients);
    std::string SystemCallsPerSetup(ESocksRequest nRequest);
    std::string UdpFigure(size_t nPayload);
    void WaitForQuietProxy();
    void Put(const std::string& strKey, const std::string& strCell);
    std::string Get(const std::string& strKey) const; // a figure put before ("-": none)

    const SBenchOptions& m_options;
    CServerProcess& m_servers;
    CResults& m_results;
};
