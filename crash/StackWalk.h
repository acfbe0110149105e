// StackWalk.h: the call stack of a faulting thread.
//
// On 32-bit Windows every deliverable keeps its frame pointers, so each frame starts with the
// caller's frame pointer followed by the return address; the walk follows that chain from the
// faulting context's Ebp. On x64 the walk unwinds the context by the images' unwind descriptions
// instead. Each address is placed in its module and the section of the module's image.
#pragma once

#include <cstdint>

#include <windows.h>

#include "foundation/Array.h"

// One frame of the crash, copied by value.
struct SInsAddr
{
    uintptr_t address; // the faulting address for the first frame, a return address for the others
    uintptr_t frame;   // the frame pointer (Ebp); on x64 the frame's stack pointer (Rsp)
    uint32_t section;  // 1-based section of the module image holding address; 0 when none
    uint32_t offset;   // address less the start of that section; 0 when none
    char module[260];  // full path of the module holding address; empty when none
};

typedef CArrayObj<SInsAddr, SInsAddr&> CInsAddrArray;

// Appends one record per frame, innermost first, starting at the context's instruction pointer.
// The context is the calling thread's: the walk ends where the next frame would lie outside this
// thread's stack or not above the current one, at a frame pointer that is misaligned or not
// writable (32-bit), or at a fault while reading the stack; the frames found so far stay.
void WalkStack(const CONTEXT& context, CInsAddrArray& arrFrames);

// Fills pszModule (nModuleSize characters) with the path of the module holding nAddress, and
// nSection and nOffset with the section of its image that holds it. False when the address lies
// in no module or in none of its sections (the path may then be filled all the same).
bool FindModuleSection(uintptr_t nAddress, char* pszModule, uint32_t nModuleSize, uint32_t& nSection,
                       uint32_t& nOffset);
