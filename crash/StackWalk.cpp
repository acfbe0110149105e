// StackWalk.cpp: the walk of a faulting thread's stack (by frame pointers on 32-bit Windows, by the
// images' unwind descriptions on x64) and the module and section of an address.
#include "crash/StackWalk.h"

#include <cstring>

#include "crash/FaultGuard.h"

namespace
{
struct SWalk
{
    CInsAddrArray* pFrames;
    uintptr_t stackLow; // the thread's stack: frames lie in [stackLow, stackHigh)
    uintptr_t stackHigh;
#if defined(__x86_64__)
    CONTEXT context; // unwound one frame at a time
#else
    uintptr_t address;
    uintptr_t frame;
#endif
};

// Whether nCount words from nFrame lie inside the thread's stack. A frame outside it is a broken
// chain: reading on would follow whatever words the heap holds.
bool OnStack(const SWalk& walk, uintptr_t nFrame, uintptr_t nCount)
{
    return nFrame >= walk.stackLow && nFrame < walk.stackHigh &&
           (walk.stackHigh - nFrame) / sizeof(uintptr_t) >= nCount;
}

void AddFrame(SWalk& walk, uintptr_t nAddress, uintptr_t nFrame)
{
    SInsAddr record;
    memset(&record, 0, sizeof(record));
    record.address = nAddress;
    record.frame = nFrame;
    // A path without a section is still worth listing, so the result is not looked at.
    FindModuleSection(record.address, record.module, sizeof(record.module), record.section, record.offset);
    walk.pFrames->Add(record);
}

#if defined(__x86_64__)
// x64 code keeps no chain of frame pointers that a walk can trust (a function that saves other
// registers points Rbp into the middle of its frame, and leaf functions set none), but every
// image describes how each of its functions unwinds: the walk unwinds the context one frame at a
// time, as the system's own exception dispatch does. A function without such a description is a
// leaf, whose return address is at the stack pointer.
const int MAX_FRAMES = 256;

void WalkFrames(void* pArg)
{
    SWalk& walk = *(SWalk*)pArg;
    CONTEXT& context = walk.context;
    for (int i = 0; i < MAX_FRAMES; i++)
    {
        AddFrame(walk, (uintptr_t)context.Rip, (uintptr_t)context.Rsp);
        uintptr_t nStack = (uintptr_t)context.Rsp;
        if (!OnStack(walk, nStack, 1))
            return;
        DWORD64 nImageBase = 0;
        PRUNTIME_FUNCTION pFunction = RtlLookupFunctionEntry(context.Rip, &nImageBase, nullptr);
        if (pFunction)
        {
            void* pHandlerData = nullptr;
            DWORD64 nEstablisherFrame = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, nImageBase, context.Rip, pFunction, &context, &pHandlerData,
                             &nEstablisherFrame, nullptr);
        }
        else
        {
            context.Rip = *(const DWORD64*)nStack;
            context.Rsp += sizeof(DWORD64);
        }
        // The caller's frame lies higher on the same stack; anything else is the end or garbage.
        if (context.Rip == 0 || (uintptr_t)context.Rsp <= nStack || !OnStack(walk, (uintptr_t)context.Rsp, 1))
            return;
    }
}
#else
void WalkFrames(void* pArg)
{
    SWalk& walk = *(SWalk*)pArg;
    for (;;)
    {
        AddFrame(walk, walk.address, walk.frame);
        if (!OnStack(walk, walk.frame, 2))
            return;

        const uintptr_t* pFrame = (const uintptr_t*)walk.frame;
        uintptr_t nNextAddress = pFrame[1];
        uintptr_t nNextFrame = pFrame[0];
        // Frames lie ever higher on the stack; anything else is the end of the chain or garbage.
        if ((nNextFrame & (sizeof(uintptr_t) - 1)) != 0 || nNextFrame <= walk.frame || !OnStack(walk, nNextFrame, 2) ||
            IsBadWritePtr((void*)nNextFrame, 2 * sizeof(uintptr_t)))
            return;
        walk.address = nNextAddress;
        walk.frame = nNextFrame;
    }
}
#endif
} // namespace

void WalkStack(const CONTEXT& context, CInsAddrArray& arrFrames)
{
    // The context is the calling thread's own (the crash handler runs on the faulting thread), so
    // its stack is the one the thread's information block describes.
    // (GCC 12 takes the segment-relative read inside NtCurrentTeb for an access to a zero-length
    // array and warns.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
    const NT_TIB* pTib = (const NT_TIB*)NtCurrentTeb();
#pragma GCC diagnostic pop
    SWalk walk;
    walk.pFrames = &arrFrames;
    walk.stackLow = (uintptr_t)pTib->StackLimit;
    walk.stackHigh = (uintptr_t)pTib->StackBase;
#if defined(__x86_64__)
    walk.context = context;
#else
    walk.address = (uintptr_t)context.Eip;
    walk.frame = (uintptr_t)context.Ebp;
#endif
    // A fault while reading a frame ends the walk where it stands.
    CallGuarded(WalkFrames, &walk);
}

bool FindModuleSection(uintptr_t nAddress, char* pszModule, uint32_t nModuleSize, uint32_t& nSection,
                       uint32_t& nOffset)
{
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery((const void*)nAddress, &info, sizeof(info)) == 0)
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
    uintptr_t nRva = nAddress - (uintptr_t)pBase;
    for (uint32_t i = 0; i < nSections; i++, pEntry += 40)
    {
        uint32_t nVirtualSize = *(const uint32_t*)(pEntry + 8);
        uint32_t nStart = *(const uint32_t*)(pEntry + 12);
        uint32_t nRawSize = *(const uint32_t*)(pEntry + 16);
        uint32_t nLength = nVirtualSize > nRawSize ? nVirtualSize : nRawSize;
        if (nStart <= nRva && nRva <= nStart + nLength)
        {
            nSection = i + 1;
            nOffset = (uint32_t)(nRva - nStart);
            return true;
        }
    }
    return false;
}
