// SessionTable.cpp: the session table, its lock, the traffic counters and the endpoint texts.
#include "engine/SessionTable.h"

#include <cstdio>
#include <cstring>

CSessionTable g_sessionTable;
CCriticalSection g_csSessionTable;
STrafficCounters g_traffic = {};

SCSTask* NewSessionRecord(SOCKET hClient)
{
    SCSTask* pTask = new SCSTask;
    memset(pTask, 0, sizeof(*pTask));
    pTask->hClientSocket = hClient;
    pTask->hDestSocket = INVALID_SOCKET;
    pTask->tStart = SysTimeNow();
    return pTask;
}

bool CSessionTable::Insert(SCSTask* pTask)
{
    bool bInserted = Base::Insert(pTask);
    PublishCount();
    return bInserted;
}

void CSessionTable::ReserveOne()
{
    if (GetSize() >= nAlloc)
        Base::SetAllocSize(GetSize() + 1);
}

bool CSessionTable::Remove(unsigned long dwSessionId)
{
    bool bRemoved = Base::Remove(dwSessionId);
    PublishCount();
    return bRemoved;
}

void CSessionTable::RemoveAt(int32_t nIndex, int32_t n)
{
    Base::RemoveAt(nIndex, n);
    PublishCount();
}

void CSessionTable::RemoveAll()
{
    Base::RemoveAll();
    PublishCount();
}

int GetSessionCount()
{
    return g_sessionTable.GetLiveCount();
}

void ResetTraffic()
{
    g_traffic.nTcpClient.store(0, std::memory_order_relaxed);
    g_traffic.nUdpClient.store(0, std::memory_order_relaxed);
    g_traffic.nTcpDest.store(0, std::memory_order_relaxed);
    g_traffic.nUdpDest.store(0, std::memory_order_relaxed);
}

void EndpointText(const sockaddr_in& sa, CCArray& strOut, const char* pszNone, bool bAssociateMark)
{
    // The address is read byte by byte in network order, as inet_ntoa would print it, without
    // inet_ntoa's shared buffer.
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(&sa.sin_addr);
    if (bAssociateMark && pb[0] == 0xFF && pb[1] == 0xFF && pb[2] == 0xFF && pb[3] == 0xFF)
    {
        strOut = "(UDP ASSOCIATE)";
        return;
    }
    if (pb[0] == 0 && pb[1] == 0 && pb[2] == 0 && pb[3] == 0)
    {
        strOut = pszNone;
        return;
    }
    char szAddr[16];
    snprintf(szAddr, sizeof(szAddr), "%u.%u.%u.%u", pb[0], pb[1], pb[2], pb[3]);
    strOut.Format("%s:%d", szAddr, (int)ntohs(sa.sin_port));
}

const char* SessionStateText(int nState)
{
    switch (nState)
    {
    case SESSION_IDLE:
        return "idle";
    case SESSION_NEGOTIATING:
        return "negotiating with client...";
    case SESSION_TCP_SETUP:
        return "setting up TCP tunnel...";
    case SESSION_TCP_READY:
        return "TCP tunnel ready";
    case SESSION_UDP_READY:
        return "UDP relay ready";
    }
    return "-";
}
