// PasswordGuard.cpp: failed password checks per client address, in a small table of fixed size.
#include "engine/PasswordGuard.h"

#include <cstring>

#include "engine/ServerContext.h"
#include "platform/Platform.h"

namespace
{
// Enough for every client a desktop proxy serves. When the table is full, the entry whose last
// failure is oldest makes room, a blocked one only when every entry is blocked.
const int GUARD_ENTRIES = 512;

struct SGuessEntry
{
    uint32_t addr;         // network order; 0: a free entry
    int32_t nFailures;     // within the window that began at tWindowStartMs
    uint64_t tWindowStartMs;
    uint64_t tLastFailureMs;
    uint64_t tBlockedUntilMs; // 0: not blocked
};

struct SGuard
{
    CCriticalSection cs;
    SGuessEntry entries[GUARD_ENTRIES];
    SGuard() { memset(entries, 0, sizeof(entries)); }
};

SGuard& Guard()
{
    // Never destroyed: a detached session thread may still record a failure while the process exits.
    static SGuard* pGuard = new SGuard;
    return *pGuard;
}

bool IsBlockedAt(const SGuessEntry& e, uint64_t tNow)
{
    return e.tBlockedUntilMs != 0 && tNow < e.tBlockedUntilMs;
}

// The address's entry, or null; under the lock.
SGuessEntry* FindEntry(SGuard& guard, uint32_t addr)
{
    for (int i = 0; i < GUARD_ENTRIES; i++)
    {
        if (guard.entries[i].addr == addr)
            return &guard.entries[i];
    }
    return nullptr;
}

// A free entry, or the one that matters least; under the lock.
SGuessEntry* MakeRoom(SGuard& guard, uint64_t tNow)
{
    SGuessEntry* pBest = nullptr;
    for (int i = 0; i < GUARD_ENTRIES; i++)
    {
        SGuessEntry* p = &guard.entries[i];
        if (p->addr == 0)
            return p;
        if (pBest == nullptr || (IsBlockedAt(*pBest, tNow) && !IsBlockedAt(*p, tNow)) ||
            (IsBlockedAt(*pBest, tNow) == IsBlockedAt(*p, tNow) && p->tLastFailureMs < pBest->tLastFailureMs))
            pBest = p;
    }
    return pBest;
}
} // namespace

void RecordFailedPasswordCheck(uint32_t addrNetOrder)
{
    if (addrNetOrder == 0)
        return;
    uint64_t tNow = EngineTicksMs();
    SGuard& guard = Guard();
    CScopedLock lock(guard.cs);
    SGuessEntry* p = FindEntry(guard, addrNetOrder);
    if (p == nullptr)
    {
        p = MakeRoom(guard, tNow);
        memset(p, 0, sizeof(*p));
        p->addr = addrNetOrder;
    }
    if (IsBlockedAt(*p, tNow))
        return; // a session already past the listener: the block runs from the failure that set it
    if (p->nFailures == 0 || tNow - p->tWindowStartMs >= (uint64_t)PASSWORD_GUESS_WINDOW_SECONDS * 1000)
    {
        p->nFailures = 0;
        p->tWindowStartMs = tNow;
        p->tBlockedUntilMs = 0;
    }
    p->nFailures++;
    p->tLastFailureMs = tNow;
    if (p->nFailures >= PASSWORD_GUESS_LIMIT)
    {
        p->tBlockedUntilMs = tNow + (uint64_t)PASSWORD_BLOCK_SECONDS * 1000;
        p->nFailures = 0; // after the block, the count starts again
    }
}

bool IsBlockedForGuessing(uint32_t addrNetOrder)
{
    if (addrNetOrder == 0)
        return false;
    uint64_t tNow = EngineTicksMs();
    SGuard& guard = Guard();
    CScopedLock lock(guard.cs);
    const SGuessEntry* p = FindEntry(guard, addrNetOrder);
    return p != nullptr && IsBlockedAt(*p, tNow);
}

void ForgetPasswordFailures()
{
    SGuard& guard = Guard();
    CScopedLock lock(guard.cs);
    memset(guard.entries, 0, sizeof(guard.entries));
}
