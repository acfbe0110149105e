// ServerShell.cpp: the host program's shell as the engine sees it.
#include "engine/ServerShell.h"

#include <atomic>

namespace
{
std::atomic<IServerShell*> g_pShell(nullptr);
} // namespace

void SetServerShell(IServerShell* pShell)
{
    g_pShell.store(pShell, std::memory_order_release);
}

IServerShell* GetServerShell()
{
    return g_pShell.load(std::memory_order_acquire);
}
