// StackWalk.cpp: the frame-pointer walk and the module and section of an address.
#include "crash/StackWalk.h"

#include <cstring>

#include "crash/FaultGuard.h"

namespace
{
struct SWalk
{
    uint32_t address;
    uint32_t frame;
    CInsAddrArray* pFrames;
};

void WalkFrames(void* pArg)
{
    SWalk& walk = *(SWalk*)pArg;
    for (;;)
    {
        SInsAddr record;
        memset(&record, 0, sizeof(record));
        record.address = walk.address;
        record.frame = walk.frame;
        // A path without a section is still worth listing, so the result is not looked at.
        FindModuleSection(record.address, record.module, sizeof(record.module), record.section,
                          record.offset);
        walk.pFrames->Add(record);

        const uint32_t* pFrame = (const uint32_t*)(uintptr_t)walk.frame;
        uint32_t nNextAddress = pFrame[1];
        uint32_t nNextFrame = pFrame[0];
        // Frames lie ever higher on the stack; anything else is the end of the chain or garbage.
        if ((nNextFrame & 3) != 0 || nNextFrame <= walk.frame ||
            IsBadWritePtr((void*)(uintptr_t)nNextFrame, 8))
            return;
        walk.address = nNextAddress;
        walk.frame = nNextFrame;
    }
}
} // namespace

void WalkStack(const CONTEXT& context, CInsAddrArray& arrFrames)
{
    SWalk walk = {(uint32_t)context.Eip, (uint32_t)context.Ebp, &arrFrames};
    // A fault while reading a frame ends the walk where it stands.
    CallGuarded(WalkFrames, &walk);
}

bool FindModuleSection(uint32_t nAddress, char* pszModule, uint32_t nModuleSize, uint32_t& nSection,
                       uint32_t& nOffset)
{
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery((const void*)(uintptr_t)nAddress, &info, sizeof(info)) == 0)
        return false;
    const uint8_t* pBase = (const uint8_t*)info.AllocationBase;
    if (!pBase || GetModuleFileNameA((HMODULE)pBase, pszModule, nModuleSize) == 0)
        return false;

    // The image headers as the loader mapped them: the PE header's offset at 0x3C, the section
    // count and the optional header's size in the file header, then 40-byte section entries.
    const uint8_t* pHeader = pBase + *(const uint32_t*)(pBase + 0x3C);
    uint32_t nSections = *(const uint16_t*)(pHeader + 6);
    uint32_t nOptionalSize = *(const uint16_t*)(pHeader + 20);
    const uint8_t* pEntry = pHeader + 24 + nOptionalSize;
    uint32_t nRva = nAddress - (uint32_t)(uintptr_t)pBase;
    for (uint32_t i = 0; i < nSections; i++, pEntry += 40)
    {
        uint32_t nVirtualSize = *(const uint32_t*)(pEntry + 8);
        uint32_t nStart = *(const uint32_t*)(pEntry + 12);
        uint32_t nRawSize = *(const uint32_t*)(pEntry + 16);
        uint32_t nLength = nVirtualSize > nRawSize ? nVirtualSize : nRawSize;
        if (nStart <= nRva && nRva <= nStart + nLength)
        {
            nSection = i + 1;
            nOffset = nRva - nStart;
            return true;
        }
    }
    return false;
}
