// Results files of the generator and the side-by-side table.
#include "ResultTable.h"

#include "BenchUtil.h"
#include "Figures.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>

namespace
{
struct SRow
{
    const char* pszKey;
    const char* pszLabel;
};

const SRow g_aRows[] = {
    {"tp.down", "1 tunnel, download (MB/s)"},
    {"tp.up", "1 tunnel, upload (MB/s)"},
    {"tp.both", "1 tunnel, both ways at once (MB/s down / up)"},
    {"tp.agg8", "8 tunnels, download, total (MB/s)"},
    {"setup.s5.4", "SOCKS5 CONNECT set-up, 4 clients (/s)"},
    {"setup.s5.4.lat", "  latency p50 / p99 (ms)"},
    {"setup.s5.32", "SOCKS5 CONNECT set-up, 32 clients (/s)"},
    {"setup.s5.32.lat", "  latency p50 / p99 (ms)"},
    {"setup.s4.4", "SOCKS4 CONNECT set-up, 4 clients (/s)"},
    {"setup.s4.4.lat", "  latency p50 / p99 (ms)"},
    {"setup.s4.32", "SOCKS4 CONNECT set-up, 32 clients (/s)"},
    {"setup.s4.32.lat", "  latency p50 / p99 (ms)"},
    {"setup.name.4", "SOCKS5 CONNECT \"localhost\", 4 clients (/s)"},
    {"setup.name.4.lat", "  latency p50 / p99 (ms)"},
    {"setup.name.32", "SOCKS5 CONNECT \"localhost\", 32 clients (/s)"},
    {"setup.name.32.lat", "  latency p50 / p99 (ms)"},
    {"setup.auth.4", "SOCKS5 user/password set-up, 4 clients (/s)"},
    {"setup.auth.4.lat", "  latency p50 / p99 (ms)"},
    {"setup.auth.32", "SOCKS5 user/password set-up, 32 clients (/s)"},
    {"setup.auth.32.lat", "  latency p50 / p99 (ms)"},
    {"syscalls.s5", "System calls per SOCKS5 set-up, by address"},
    {"syscalls.name", "System calls per SOCKS5 set-up, \"localhost\""},
    {"udp.512", "UDP ASSOCIATE echoes, 512 B (/s)"},
    {"udp.1400", "UDP ASSOCIATE echoes, 1400 B (/s)"},
    {"idle.1000", "1000 idle tunnels: RSS each, threads"},
    {"idle.4000", "4000 idle tunnels: RSS each, threads"},
    {"idle.9000", "9000 idle tunnels: RSS each, threads"},
};

struct SColumn
{
    std::string strName;
    std::map<std::string, std::string> mapCells;
    std::vector<std::string> arrOrder; // the keys in the order of the file
};

bool ReadColumn(const std::string& strFile, SColumn& column)
{
    std::ifstream in(strFile);
    if (!in)
        return false;
    std::string strLine;
    while (std::getline(in, strLine))
    {
        size_t nTab = strLine.find('\t');
        if (nTab == std::string::npos)
            continue;
        std::string strKey = strLine.substr(0, nTab), strCell = strLine.substr(nTab + 1);
        if (strKey == "name")
            column.strName = strCell;
        else
        {
            if (column.mapCells.count(strKey) == 0)
                column.arrOrder.push_back(strKey);
            column.mapCells[strKey] = strCell;
        }
    }
    return !column.strName.empty();
}
// The number a cell starts with ("12345 (3 err)", "6.0 KiB, 1003 thr"); false when it starts
// with none ("failed", "n/a", "-").
bool LeadingNumber(const std::string& strCell, double& d)
{
    const char* psz = strCell.c_str();
    char* pEnd = nullptr;
    d = strtod(psz, &pEnd);
    return pEnd != psz;
}

// "p50 / p99" as two numbers.
bool LatencyPair(const std::string& strCell, double& d50, double& d99)
{
    return sscanf(strCell.c_str(), "%lf / %lf", &d50, &d99) == 2;
}

double Median(std::vector<double> arr)
{
    std::sort(arr.begin(), arr.end());
    return arr[(arr.size() - 1) / 2];
}

std::string MedianCell(const std::string& strKey, const std::vector<std::string>& arrCells)
{
    bool bLatency = strKey.size() > 4 && strKey.compare(strKey.size() - 4, 4, ".lat") == 0;
    if (bLatency)
    {
        std::vector<double> arr50, arr99;
        for (const std::string& strCell : arrCells)
        {
            double d50, d99;
            if (LatencyPair(strCell, d50, d99))
            {
                arr50.push_back(d50);
                arr99.push_back(d99);
            }
        }
        if (arr50.size() == arrCells.size())
            return Fixed(Median(arr50), 2) + " / " + Fixed(Median(arr99), 2);
        return arrCells.front();
    }
    std::vector<std::pair<double, size_t>> arrValues;
    for (size_t i = 0; i < arrCells.size(); i++)
    {
        double d;
        if (!LeadingNumber(arrCells[i], d))
            return arrCells.front();
        arrValues.push_back({d, i});
    }
    std::sort(arrValues.begin(), arrValues.end());
    return arrCells[arrValues[(arrValues.size() - 1) / 2].second];
}
} // namespace

bool WriteMedians(const std::string& strOut, const std::vector<std::string>& arrFiles)
{
    std::vector<SColumn> arrRounds(arrFiles.size());
    for (size_t i = 0; i < arrFiles.size(); i++)
    {
        if (!ReadColumn(arrFiles[i], arrRounds[i]))
        {
            fprintf(stderr, "cannot read results file %s\n", arrFiles[i].c_str());
            return false;
        }
    }
    std::vector<std::string> arrKeys;
    for (const SColumn& round : arrRounds)
    {
        for (const std::string& strKey : round.arrOrder)
        {
            if (std::find(arrKeys.begin(), arrKeys.end(), strKey) == arrKeys.end())
                arrKeys.push_back(strKey);
        }
    }
    CResults results;
    for (const std::string& strKey : arrKeys)
    {
        std::vector<std::string> arrCells;
        for (const SColumn& round : arrRounds)
        {
            auto it = round.mapCells.find(strKey);
            if (it != round.mapCells.end())
                arrCells.push_back(it->second);
        }
        results.push_back({strKey, MedianCell(strKey, arrCells)});
    }
    return WriteResults(strOut, arrRounds.front().strName, results);
}

bool WriteResults(const std::string& strFile, const std::string& strName, const CResults& results, bool bAppend)
{
    std::ofstream out(strFile, bAppend ? std::ios::app : std::ios::trunc);
    if (!out)
        return false;
    if (!bAppend)
        out << "name\t" << strName << "\n";
    for (const auto& entry : results)
        out << entry.first << "\t" << entry.second << "\n";
    return (bool)out;
}

bool PrintTable(const std::vector<std::string>& arrFiles, double dSeconds, const std::string& strLoad,
                int nRounds)
{
    std::vector<SColumn> arrColumns(arrFiles.size());
    for (size_t i = 0; i < arrFiles.size(); i++)
    {
        if (!ReadColumn(arrFiles[i], arrColumns[i]))
        {
            fprintf(stderr, "cannot read results file %s\n", arrFiles[i].c_str());
            return false;
        }
    }
    size_t nLabelWidth = 11;
    for (const SRow& row : g_aRows)
        nLabelWidth = std::max(nLabelWidth, std::string(row.pszLabel).size());
    std::vector<size_t> arrWidths;
    for (const SColumn& column : arrColumns)
    {
        size_t nWidth = column.strName.size();
        for (const SRow& row : g_aRows)
        {
            auto it = column.mapCells.find(row.pszKey);
            nWidth = std::max(nWidth, it == column.mapCells.end() ? 1 : it->second.size());
        }
        arrWidths.push_back(nWidth);
    }

    char szDate[64];
    time_t tNow = time(nullptr);
    strftime(szDate, sizeof(szDate), "%Y-%m-%d %H:%M %Z", localtime(&tNow));
    printf("Tollgate benchmark, %s\n", szDate);
    printf("Machine: %s\n", MachineDescription().c_str());
    printf("Load average (1 min) before the run: %s\n\n", strLoad.c_str());

    auto printLine = [&](const std::string& strLabel, const std::vector<std::string>& arrCells)
    {
        printf("%-*s", (int)nLabelWidth, strLabel.c_str());
        for (size_t i = 0; i < arrCells.size(); i++)
            printf("  %*s", (int)arrWidths[i], arrCells[i].c_str());
        printf("\n");
    };
    std::vector<std::string> arrNames;
    for (const SColumn& column : arrColumns)
        arrNames.push_back(column.strName);
    printLine("Measurement", arrNames);
    size_t nRule = nLabelWidth;
    for (size_t nWidth : arrWidths)
        nRule += 2 + nWidth;
    printf("%s\n", std::string(nRule, '-').c_str());
    for (const SRow& row : g_aRows)
    {
        std::vector<std::string> arrCells;
        for (const SColumn& column : arrColumns)
        {
            auto it = column.mapCells.find(row.pszKey);
            arrCells.push_back(it == column.mapCells.end() ? "-" : it->second);
        }
        printLine(row.pszLabel, arrCells);
    }
    printf(
        "\nEach timed figure runs %g s on 127.0.0.1 (throughput after a %.2f s warm-up); MB = 10^6 bytes.\n"
        "Timed figures are the median of %d round(s); in each round every column is measured in turn.\n"
        "The system calls and idle tunnels are taken in the first round only.\n"
        "Throughput counts only bytes that arrived intact (the pattern is checked at the receiving end;\n"
        "upload bytes are counted by the sink). \"(N err)\": operations that failed, not counted;\n"
        "\"failed\": no figure at all. The reasons are in the generator's log of the column.\n"
        "Set-up: connect to the proxy, handshake, request, reply received, close; no proxy: TCP connect.\n"
        "UDP: 8 datagrams in flight through the relay to a UDP echo server; no proxy: straight to it;\n"
        "\"lost\": not back within 100 ms. Idle tunnels: SOCKS5 CONNECTs held open together, each\n"
        "checked with a one-byte echo; RSS each = growth of the proxy's VmRSS (summed over its processes)\n"
        "divided by the count; thr/proc = its threads and processes; \"failed at N\": the next open "
        "failed.\n",
        dSeconds, kWarmUpSeconds, nRounds);
    return true;
}
