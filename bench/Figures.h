// Figures of the load generator: the tally of failed operations and the formatting of table cells.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

constexpr int kTimeoutMs = 5000; // bound of every single network wait of a measurement

// Failed operations of one figure, by reason; the reasons go to the log, the count into the cell.
class CErrorTally
{
public:
    void Add(const std::string& strReason);
    int Count() const { return m_nCount.load(); }
    std::string Reasons() const;

private:
    mutable std::mutex m_mutex;
    std::map<std::string, int> m_mapReasons;
    std::atomic<int> m_nCount{0};
};

std::string Fixed(double d, int nDecimals);
// The cell with " (N err)" appended when operations failed.
std::string WithErrors(const std::string& strCell, const CErrorTally& errors);
// One line of progress on the standard error, and the reasons of the failures if there were any.
void LogFigure(const std::string& strKey, const std::string& strCell, const CErrorTally* pErrors = nullptr);
void CloseAll(std::vector<int>& arrFds);
