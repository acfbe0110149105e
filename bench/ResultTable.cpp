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
    {"tp.up8", "8 tunnels, upload, total (MB/s)"},
    {"tp.both8", "8 tunnels, both ways at once, total (MB/s down / up)"},
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

int ColumnNamed(const std::vector<SColumn>& arrColumns, const char* pszName)
{
    for (size_t i = 0; i < arrColumns.size(); i++)
    {
        if (arrColumns[i].strName == pszName)
            return (int)i;
    }
    return -1;
}

std::string CellOf(const SColumn& column, const std::string& strKey)
{
    auto it = column.mapCells.find(strKey);
    return it == column.mapCells.end() ? "-" : it->second;
}

// Rows whose no-proxy figure is the same quantity: throughput, set-ups and UDP echoes.
bool HasRatio(const std::string& strKey)
{
    bool bLatency = strKey.size() > 4 && strKey.compare(strKey.size() - 4, 4, ".lat") == 0;
    return !bLatency && (strKey.rfind("tp.", 0) == 0 || strKey.rfind("setup.", 0) == 0 || strKey.rfind("udp.", 0) == 0);
}

// The figures of a cell: one, or two for "down / up" ("1234 / 987 (2 err)").
std::vector<double> FiguresOf(const std::string& strCell)
{
    std::vector<double> arr;
    double d1, d2;
    int n = sscanf(strCell.c_str(), "%lf / %lf", &d1, &d2);
    if (n >= 1)
        arr.push_back(d1);
    if (n == 2)
        arr.push_back(d2);
    return arr;
}

std::string RatioText(const std::string& strOurs, const std::string& strBare)
{
    std::vector<double> arrOurs = FiguresOf(strOurs), arrBare = FiguresOf(strBare);
    if (arrOurs.empty() || arrOurs.size() != arrBare.size())
        return "";
    std::string str = " (";
    for (size_t i = 0; i < arrOurs.size(); i++)
    {
        if (arrBare[i] <= 0)
            return "";
        str += (i ? " / " : "") + Fixed(arrOurs[i] / arrBare[i], 2);
    }
    return str + ")";
}

// The sum of a cell's figures (down and up together); false when it has none.
bool TotalOf(const SColumn* pColumn, const std::string& strKey, double& d)
{
    if (!pColumn)
        return false;
    std::vector<double> arr = FiguresOf(CellOf(*pColumn, strKey));
    d = 0;
    for (double dPart : arr)
        d += dPart;
    return !arr.empty();
}

// One line per target: met or not, with the figures it was judged on.
void PrintTargets(const SColumn& ours, const SColumn* pBare, const SColumn* pMicrosocks)
{
    printf("\nTargets:\n");
    auto verdict = [](bool bMeasured, bool bMet) { return !bMeasured ? "not measured" : bMet ? "met" : "NOT met"; };
    for (const char* pszKey : {"tp.down", "tp.up", "tp.both", "tp.agg8", "tp.up8", "tp.both8", "udp.512", "udp.1400"})
    {
        const double dWanted = pszKey[0] == 'u' ? 0.55 : 0.5;
        double dOurs = 0, dBare = 0;
        bool bMeasured = TotalOf(&ours, pszKey, dOurs) && TotalOf(pBare, pszKey, dBare) && dBare > 0;
        double dRatio = bMeasured ? dOurs / dBare : 0;
        printf("- %s: %s at least %.2f of no proxy: %.0f against %.0f = %.2f\n", verdict(bMeasured, dRatio >= dWanted),
               pszKey, dWanted, dOurs, dBare, dRatio);
    }
    for (const char* pszKey : {"setup.s5.4", "setup.s5.32", "setup.name.4", "setup.name.32", "setup.auth.4", "setup.auth.32"})
    {
        double dOurs = 0, dPeer = 0;
        bool bMeasured = TotalOf(&ours, pszKey, dOurs) && TotalOf(pMicrosocks, pszKey, dPeer) && dPeer > 0;
        double dRatio = bMeasured ? dOurs / dPeer : 0;
        printf("- %s: %s at least 1.15 x microsocks: %.0f against %.0f = %.2f\n", verdict(bMeasured, dRatio >= 1.15),
               pszKey, dOurs, dPeer, dRatio);
    }
    for (const char* pszKey : {"setup.s5.32.lat", "setup.name.32.lat", "setup.auth.32.lat"})
    {
        double d50, dOurs = 0, dPeer = 0;
        bool bMeasured = LatencyPair(CellOf(ours, pszKey), d50, dOurs) && pMicrosocks &&
                         LatencyPair(CellOf(*pMicrosocks, pszKey), d50, dPeer);
        printf("- %s: %s p99 no higher than microsocks': %.2f against %.2f ms\n", verdict(bMeasured, dOurs <= dPeer),
               pszKey, dOurs, dPeer);
    }
    double dKib = 0;
    bool bIdle = LeadingNumber(CellOf(ours, "idle.9000"), dKib);
    printf("- idle.9000: %s at most 6 KiB per idle tunnel: %.1f KiB\n", verdict(bIdle, dKib <= 6.0), dKib);
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
    // Every cell first, the Tollgate column with its ratios to the no-proxy column, then the widths.
    int nOurs = ColumnNamed(arrColumns, "Tollgate");
    int nBare = ColumnNamed(arrColumns, "no proxy");
    std::vector<std::vector<std::string>> arrCells; // per row, per column
    for (const SRow& row : g_aRows)
    {
        std::vector<std::string> arrRow;
        for (const SColumn& column : arrColumns)
            arrRow.push_back(CellOf(column, row.pszKey));
        if (nOurs >= 0 && nBare >= 0 && HasRatio(row.pszKey))
            arrRow[(size_t)nOurs] += RatioText(arrRow[(size_t)nOurs], arrRow[(size_t)nBare]);
        arrCells.push_back(arrRow);
    }
    size_t nLabelWidth = 11;
    for (const SRow& row : g_aRows)
        nLabelWidth = std::max(nLabelWidth, std::string(row.pszLabel).size());
    std::vector<size_t> arrWidths;
    for (size_t i = 0; i < arrColumns.size(); i++)
    {
        size_t nWidth = arrColumns[i].strName.size();
        for (const std::vector<std::string>& arrRow : arrCells)
            nWidth = std::max(nWidth, arrRow[i].size());
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
    for (size_t i = 0; i < arrCells.size(); i++)
        printLine(g_aRows[i].pszLabel, arrCells[i]);
    printf(
        "\nEach timed figure runs %g s on 127.0.0.1 (throughput after a %.2f s warm-up); MB = 10^6 bytes.\n"
        "Timed figures are the median of %d round(s); in each round every column is measured in turn.\n"
        "The system calls and idle tunnels are taken in the first round only.\n"
        "Throughput counts only bytes that arrived intact (the pattern is checked at the receiving end;\n"
        "upload bytes are counted by the sink). \"(N err)\": operations that failed, not counted;\n"
        "\"failed\": no figure at all. The reasons are in the generator's log of the column.\n"
        "Set-up: connect to the proxy, handshake, request, reply received, close; no proxy: TCP connect\n"
        "(the same figure in every set-up row). \"(0.43)\" behind a Tollgate figure: its ratio to no proxy.\n"
        "UDP: 8 datagrams in flight through the relay to a UDP echo server; no proxy: straight to it;\n"
        "\"lost\": not back within 100 ms. Idle tunnels: SOCKS5 CONNECTs held open together, each\n"
        "checked with a one-byte echo, then left silent for 3 s; RSS each = growth of the proxy's VmRSS\n"
        "(summed over its processes) divided by the count; thr/proc = its threads and processes; \"failed at N\": the next open "
        "failed.\n",
        dSeconds, kWarmUpSeconds, nRounds);
    int nMicrosocks = ColumnNamed(arrColumns, "microsocks");
    if (nOurs >= 0)
        PrintTargets(arrColumns[(size_t)nOurs], nBare >= 0 ? &arrColumns[(size_t)nBare] : nullptr,
                     nMicrosocks >= 0 ? &arrColumns[(size_t)nMicrosocks] : nullptr);
    return true;
}
