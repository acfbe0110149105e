// Figures of the load generator: error tally and cell formatting.
#include "Figures.h"

#include <unistd.h>

#include <cstdio>

void CErrorTally::Add(const std::string& strReason)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mapReasons[strReason]++;
    m_nCount++;
}

std::string CErrorTally::Reasons() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string str;
    for (const auto& entry : m_mapReasons)
        str += (str.empty() ? "" : "; ") + entry.first + " x" + std::to_string(entry.second);
    return str;
}

std::string Fixed(double d, int nDecimals)
{
    char sz[64];
    snprintf(sz, sizeof(sz), "%.*f", nDecimals, d);
    return sz;
}

std::string WithErrors(const std::string& strCell, const CErrorTally& errors)
{
    if (errors.Count() == 0)
        return strCell;
    return strCell + " (" + std::to_string(errors.Count()) + " err)";
}

void LogFigure(const std::string& strKey, const std::string& strCell, const CErrorTally* pErrors)
{
    fprintf(stderr, "  %-16s %s\n", strKey.c_str(), strCell.c_str());
    if (pErrors && pErrors->Count() > 0)
        fprintf(stderr, "  %-16s errors: %s\n", "", pErrors->Reasons().c_str());
}

void CloseAll(std::vector<int>& arrFds)
{
    for (int fd : arrFds)
        close(fd);
    arrFds.clear();
}
