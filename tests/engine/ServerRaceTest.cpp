// ServerRaceTest.cpp: stop, restart and start again while many tunnels move data and new clients
// keep arriving. Every cycle must end every session without a Disconnect line, leave the table
// empty and write "Server stopped" last. Under ThreadSanitizer this is the engine's race test.
#include <memory>

#include "tests/support/EngineTestSupport.h"
#include "engine/SessionTable.h"

namespace
{
const int TUNNELS = 120;
const int PUMPS = 4;
const int CYCLES = 4;

// Moves data through its share of the tunnels until told to stop or until every one has failed.
// Each block is read back whole before the next is sent (a tunnel that does not echo in time is
// given up), so no send of the proxy ever waits for a reader: under Wine closing a socket does not
// cancel a send blocked on it, and the stop would wait for it.
void Pump(std::vector<std::unique_ptr<CTestSocket>>* pClients, int nFirst, int nStep,
          std::atomic<bool>* pbDone)
{
    std::string strBlock(1024, 'p');
    std::vector<bool> alive(pClients->size(), true);
    while (!*pbDone)
    {
        bool bAny = false;
        for (size_t i = (size_t)nFirst; i < pClients->size(); i += (size_t)nStep)
        {
            if (!alive[i])
                continue;
            CTestSocket& client = *(*pClients)[i];
            alive[i] = client.Send(strBlock) && client.Receive(strBlock.size()).size() == strBlock.size();
            bAny |= alive[i];
        }
        if (!bAny)
            SysSleep(1); // every tunnel is gone: wait for the end of the cycle
    }
}
} // namespace

TEST_F(LiveServer, StopAndRestartWhileManyTunnelsMoveDataAndClientsArrive)
{
    CEchoServer echo;
    for (int nCycle = 0; nCycle < CYCLES; nCycle++)
    {
        SCOPED_TRACE(nCycle);
        std::vector<std::unique_ptr<CTestSocket>> clients;
        for (int i = 0; i < TUNNELS; i++)
        {
            clients.emplace_back(new CTestSocket);
            OpenSocks5Tunnel(*clients.back(), echo.GetPort());
        }
        // A session can answer its client before the listener has put its record in the table.
        ASSERT_TRUE(WaitUntil([] { return GetSessionCount() == TUNNELS; }));

        std::atomic<bool> bDone(false);
        std::vector<std::thread> pumps;
        for (int i = 0; i < PUMPS; i++)
            pumps.emplace_back(Pump, &clients, i, PUMPS, &bDone);
        // Clients that keep arriving while the server stops, caught at every stage of their
        // negotiation. They are kept open until the cycle ends, so that every session that ends
        // is ended by the server.
        std::vector<std::unique_ptr<CTestSocket>> late;
        std::atomic<bool> bStopping(false);
        uint16_t nProxyPort = nPort;
        std::thread arrivals(
            [&]
            {
                // A few while data moves, then as many as get in while the server stops: until
                // the first refused connect, or a bound that keeps Wine's server responsive.
                const std::string strHandshake = ByteString({5, 1, 0}) + Socks5Request(1, echo.GetPort());
                int nStep = 0;
                while (late.size() < 300)
                {
                    if (late.size() >= 40 && !bStopping)
                    {
                        SysSleep(1); // pacing the arrivals, not waiting for a result
                        continue;
                    }
                    late.emplace_back(new CTestSocket);
                    CTestSocket& client = *late.back();
                    if (!client.Connect(nProxyPort))
                        break;
                    client.Send(strHandshake.substr(0, (size_t)(nStep++ % (int)strHandshake.size())));
                }
            });
        uint64_t nMoved = ReadTraffic(g_traffic.nTcpDest);
        // (Expectations only until the threads are joined: an assertion would leave them running.)
        EXPECT_TRUE(WaitUntil([&] { return ReadTraffic(g_traffic.nTcpDest) > nMoved + 200000; }));

        // Only lines from the stop on must be free of Disconnect lines: a late client of the last
        // cycle may have reached this run (its new port can be the old one again) and ended here.
        std::string strLog = strLogPath;
        size_t nEarlierLines = ReadLog(strLog).size();
        bStopping = true;
        if (nCycle % 2 == 0)
            EXPECT_EQ(RestartServer(), FLOW_DONE);
        else
        {
            EXPECT_EQ(StopServer(), FLOW_DONE);
            EXPECT_EQ(GetSessionCount(), 0);
            EXPECT_EQ(StartServer(), FLOW_DONE);
        }
        arrivals.join();
        // The pumps find every tunnel gone; only then is a client read from this thread.
        bDone = true;
        for (std::thread& pump : pumps)
            pump.join();
        for (auto& client : clients)
            EXPECT_TRUE(client->WaitClosed());
        if (HasFailure())
            return;

        std::vector<SLogLine> lines = ReadLog(strLog);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().strStatus, "Server stopped");
        for (size_t i = nEarlierLines; i < lines.size(); i++)
            EXPECT_NE(lines[i].strStatus, "Disconnect") << lines[i].strSource;

        nPort = ntohs(g_server.saListen.sin_port);
        strLogPath = g_server.logFile.GetFileName().GetString();
        late.clear();
        ASSERT_TRUE(WaitUntil([] { return GetSessionCount() == 0; }));
    }
}
