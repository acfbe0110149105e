// SocketSlots.cpp (POSIX): the table of descriptor slots behind every SOCKET handle.
//
// The table is chunked and chunks are never freed or moved, so a reader needs no lock: it loads
// the chunk pointer and works on the word with atomics. Sized for a million descriptors, far above
// any hard limit the proxy meets.
#include "platform/posix/SocketInternals.h"

namespace
{

const int SLOT_CHUNK_BITS = 10;
const int SLOT_CHUNK = 1 << SLOT_CHUNK_BITS;
const int SLOT_CHUNKS = 1024;

std::atomic<SSlot*> g_slotChunks[SLOT_CHUNKS];

SSlot* MakeSlot(int fd)
{
    if (fd < 0 || fd >= SLOT_CHUNK * SLOT_CHUNKS)
        return nullptr;
    std::atomic<SSlot*>& chunk = g_slotChunks[fd >> SLOT_CHUNK_BITS];
    SSlot* pChunk = chunk.load(std::memory_order_acquire);
    if (!pChunk)
    {
        SSlot* pNew = new SSlot[SLOT_CHUNK]();
        if (chunk.compare_exchange_strong(pChunk, pNew, std::memory_order_acq_rel))
            pChunk = pNew;
        else
            delete[] pNew; // another thread published this chunk first; pChunk holds it
    }
    return &pChunk[fd & (SLOT_CHUNK - 1)];
}

} // namespace

SSlot* FindSlot(int fd)
{
    if (fd < 0 || fd >= SLOT_CHUNK * SLOT_CHUNKS)
        return nullptr;
    SSlot* pChunk = g_slotChunks[fd >> SLOT_CHUNK_BITS].load(std::memory_order_acquire);
    return pChunk ? &pChunk[fd & (SLOT_CHUNK - 1)] : nullptr;
}

// The slot is free: its last close marked it free before the number was released to the system.
SOCKET InstallSocket(int fd)
{
    SSlot* pSlot = MakeSlot(fd);
    if (!pSlot)
    {
        close(fd);
        SockFail(WSAEMFILE);
        return INVALID_SOCKET;
    }
    uint32_t nGeneration = (uint32_t)(pSlot->nState.load(std::memory_order_relaxed) >> 32) + 1;
    if (nGeneration == 0)
        nGeneration = 1;
    pSlot->nState.store(((uint64_t)nGeneration << 32) | SLOT_OPEN, std::memory_order_release);
    return ((uint64_t)nGeneration << 32) | (uint32_t)fd;
}
