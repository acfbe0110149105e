// tgbench: the load generator that measures SOCKS proxies (or the bare loopback) on this machine.
//
//   tgbench run --name NAME [--proxy 127.0.0.1:PORT --pid PID] [--seconds S] [--no-socks4] [--no-udp]
//               [--idle 1000,4000,9000] [--only tp,setup,auth,syscalls,udp,idle] [--out FILE [--append]]
//       Starts its own destination servers, measures, prints "key<TAB>cell" lines (and writes them to
//       FILE). Without --proxy every figure is taken on direct connections.
//   tgbench table [--seconds S] [--load L] [--rounds N] FILE...
//                                           one table, a column per results file; L is the load
//                                           average taken before the run began
//   tgbench median --out FILE FILE...      combines the results files of several rounds against one
//                                           proxy: the median of each figure
//   tgbench free-port                       prints a loopback TCP port that was free a moment ago
//   tgbench wait-port 127.0.0.1:PORT SECS   waits until something accepts on PORT (exit 1 if not)
#include "BenchUtil.h"
#include "EchoServer.h"
#include "Measurements.h"
#include "ResultTable.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <thread>

namespace
{
int Usage()
{
    fprintf(stderr,
            "usage: tgbench run --name NAME [--proxy 127.0.0.1:PORT --pid PID] [--seconds S] [--no-socks4]\n"
            "                   [--no-udp] [--idle N,N,...] [--only tp,setup,auth,syscalls,udp,idle]\n"
            "                   [--out FILE [--append]]\n"
            "       tgbench table [--seconds S] [--load L] [--rounds N] FILE...\n"
            "       tgbench median --out FILE FILE...\n"
            "       tgbench free-port\n"
            "       tgbench wait-port 127.0.0.1:PORT SECONDS\n");
    return 2;
}

std::vector<std::string> Split(const std::string& str)
{
    std::vector<std::string> arr;
    std::stringstream in(str);
    std::string strItem;
    while (std::getline(in, strItem, ','))
        if (!strItem.empty())
            arr.push_back(strItem);
    return arr;
}

int Run(int argc, char** argv)
{
    SBenchOptions options;
    std::string strName, strOut;
    std::set<std::string> setOnly{"tp", "setup", "syscalls", "udp", "idle"};
    bool bAppend = false;
    for (int i = 2; i < argc; i++)
    {
        std::string strArg = argv[i];
        bool bHasValue = i + 1 < argc;
        if (strArg == "--name" && bHasValue)
            strName = argv[++i];
        else if (strArg == "--proxy" && bHasValue)
        {
            options.target.bDirect = false;
            if (!ParseEndpoint(argv[++i], options.target.saProxy))
            {
                fprintf(stderr, "--proxy wants a loopback address and port, e.g. 127.0.0.1:1080\n");
                return 2;
            }
        }
        else if (strArg == "--pid" && bHasValue)
            options.pidProxy = atoi(argv[++i]);
        else if (strArg == "--seconds" && bHasValue)
            options.dSeconds = atof(argv[++i]);
        else if (strArg == "--no-socks4")
            options.bSocks4 = false;
        else if (strArg == "--no-udp")
            options.bUdp = false;
        else if (strArg == "--idle" && bHasValue)
        {
            options.arrIdleLevels.clear();
            for (const std::string& str : Split(argv[++i]))
                options.arrIdleLevels.push_back(atoi(str.c_str()));
        }
        else if (strArg == "--only" && bHasValue)
        {
            std::vector<std::string> arr = Split(argv[++i]);
            setOnly = std::set<std::string>(arr.begin(), arr.end());
        }
        else if (strArg == "--out" && bHasValue)
            strOut = argv[++i];
        else if (strArg == "--append")
            bAppend = true;
        else
            return Usage();
    }
    if (strName.empty() || options.dSeconds <= 0 || options.dSeconds > 60)
        return Usage();

    long nLimit = RaiseDescriptorLimit();
    // The server process must be forked before any thread exists.
    CServerProcess servers;
    if (!servers.Start())
    {
        fprintf(stderr, "cannot start the destination servers: %s\n", strerror(errno));
        return 1;
    }
    fprintf(stderr, "%s: %s, descriptor limit %ld, echo %u sink %u source %u udp-echo %u\n", strName.c_str(),
            options.target.bDirect ? "no proxy" : EndpointString(options.target.saProxy).c_str(), nLimit,
            servers.EchoPort(), servers.SinkPort(), servers.SourcePort(), servers.UdpEchoPort());

    CResults results;
    CMeasurements measure(options, servers, results);
    if (setOnly.count("tp"))
        measure.Throughput();
    if (setOnly.count("setup"))
        measure.SetupRate();
    if (setOnly.count("auth"))
        measure.AuthSetupRate();
    if (setOnly.count("syscalls"))
        measure.SystemCalls();
    if (setOnly.count("udp"))
        measure.UdpEchoes();
    if (setOnly.count("idle"))
        measure.IdleTunnels();
    servers.Stop();

    for (const auto& entry : results)
        printf("%s\t%s\n", entry.first.c_str(), entry.second.c_str());
    if (!strOut.empty() && !WriteResults(strOut, strName, results, bAppend))
    {
        fprintf(stderr, "cannot write %s\n", strOut.c_str());
        return 1;
    }
    return 0;
}

int Table(int argc, char** argv)
{
    double dSeconds = 3;
    std::string strLoad = LoadAverage();
    int nRounds = 1;
    std::vector<std::string> arrFiles;
    for (int i = 2; i < argc; i++)
    {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            dSeconds = atof(argv[++i]);
        else if (strcmp(argv[i], "--load") == 0 && i + 1 < argc)
            strLoad = argv[++i];
        else if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            nRounds = atoi(argv[++i]);
        else
            arrFiles.push_back(argv[i]);
    }
    if (arrFiles.empty())
        return Usage();
    return PrintTable(arrFiles, dSeconds, strLoad, nRounds) ? 0 : 1;
}

int Median(int argc, char** argv)
{
    std::string strOut;
    std::vector<std::string> arrFiles;
    for (int i = 2; i < argc; i++)
    {
        if (strcmp(argv[i], "--out") == 0 && i + 1 < argc)
            strOut = argv[++i];
        else
            arrFiles.push_back(argv[i]);
    }
    if (strOut.empty() || arrFiles.empty())
        return Usage();
    return WriteMedians(strOut, arrFiles) ? 0 : 1;
}

int FreePort()
{
    uint16_t nPort = 0;
    int fd = ListenTcp(nPort);
    if (fd < 0)
        return 1;
    close(fd);
    printf("%u\n", nPort);
    return 0;
}

int WaitPort(int argc, char** argv)
{
    sockaddr_in sa{};
    if (argc != 4 || !ParseEndpoint(argv[2], sa))
        return Usage();
    Clock::time_point tGiveUp = AfterSeconds(Clock::now(), atof(argv[3]));
    do
    {
        int fd = ConnectTcp(sa, 1000);
        if (fd >= 0)
        {
            close(fd);
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (Clock::now() < tGiveUp);
    return 1;
}
} // namespace

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stderr, nullptr, _IOLBF, 0);
    if (argc < 2)
        return Usage();
    std::string strCommand = argv[1];
    if (strCommand == "run")
        return Run(argc, argv);
    if (strCommand == "table")
        return Table(argc, argv);
    if (strCommand == "median")
        return Median(argc, argv);
    if (strCommand == "free-port")
        return FreePort();
    if (strCommand == "wait-port")
        return WaitPort(argc, argv);
    return Usage();
}
