// StackWalk.h: the call stack of a faulting thread, by its frame-pointer chain.
//
// Every deliverable keeps its frame pointers, so each frame starts with the caller's frame
// pointer followed by the return address; the walk follows that chain from the faulting
// context's Ebp. Each address is placed in its module and the section of the module's image.
#pragma once

#include <cstdint>

#include <windows.h>

#include "foundation/Array.h"

// One frame of the crash, copied by value.
struct SInsAddr
{
    uint32_t address; // the faulting address for the first frame, a return address for the others
    uint32_t frame;   // the frame pointer
    uint32_t section; // 1-based section of the module image holding address; 0 when none
    uint32_t offset;  // address less the start of that section; 0 when none
    char module[260]; // full path of the module holding address; empty when none
};

typedef CArrayObj<SInsAddr, SInsAddr&> CInsAddrArray;

// Appends one record per frame, innermost first, starting at the context's Eip and Ebp. The walk
// ends at a frame pointer that is misaligned, not above the current one or not writable, or at a
// fault while reading the stack; the frames found so far stay.
void WalkStack(const CONTEXT& context, CInsAddrArray& arrFrames);

// Fills pszModule (nModuleSize characters) with the path of the module holding nAddress, and
// nSection and nOffset with the section of its image that holds it. False when the address lies
// in no module or in none of its sections (the path may then be filled all the same).
bool FindModuleSection(uint32_t nAddress, char* pszModule, uint32_t nModuleSize, uint32_t& nSection,
                       uint32_t& nOffset);
