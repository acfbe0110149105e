// SocketApi.cpp: the system socket table and the two replaceable defaults.
#include "net/SocketApi.h"

#include <atomic>

namespace
{

const SSocketApi g_systemApi = {
    SysSocket, SysCloseSocket, SysConnect, SysRecv,   SysRecvFrom,   SysSend,        SysSendTo,
    SysSelect, SysBind,        SysListen,  SysAccept, SysSetSockOpt, SysGetSockName, SysGetPeerName,
};

// Read by every socket constructor on every thread, replaced only by tests: atomics keep the
// replacement visible without a lock.
std::atomic<const SSocketApi*> g_pDefaultApi(&g_systemApi);
std::atomic<HostLookupProc> g_pHostLookup(&SysLookupHost);

} // namespace

const SSocketApi* GetSystemSocketApi()
{
    return &g_systemApi;
}

const SSocketApi* GetDefaultSocketApi()
{
    return g_pDefaultApi.load(std::memory_order_acquire);
}

void SetDefaultSocketApi(const SSocketApi* pApi)
{
    g_pDefaultApi.store(pApi ? pApi : &g_systemApi, std::memory_order_release);
}

void SetHostLookup(HostLookupProc pLookup)
{
    g_pHostLookup.store(pLookup ? pLookup : &SysLookupHost, std::memory_order_release);
}

bool LookupHost(const char* pszName, in_addr* pAddr)
{
    return g_pHostLookup.load(std::memory_order_acquire)(pszName, pAddr);
}

bool LookupHostInFiles(const char* pszName, in_addr* pAddr)
{
    // A resolver installed by a test answers every name itself.
    if (g_pHostLookup.load(std::memory_order_acquire) != &SysLookupHost)
        return false;
    return SysLookupHostInFiles(pszName, pAddr);
}
