// StackWalkTest.cpp: the frame-pointer walk over made-up frame chains, and the module and section
// of an address.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "crash/StackWalk.h"

namespace
{
uintptr_t Address(const void* p)
{
    return (uintptr_t)p;
}

// The faulting context of a made-up stack in words (on this thread's stack unless the caller
// gives others), with the instruction pointer 0x11111111.
CONTEXT MadeUpContext(uintptr_t nFrame)
{
    CONTEXT context = {};
#if defined(__x86_64__)
    context.Rip = 0x11111111;
    context.Rsp = nFrame;
#else
    context.Eip = 0x11111111;
    context.Ebp = nFrame;
#endif
    return context;
}

#if defined(__i386__)
// A made-up chain of frames, each the next frame pointer and a return address; how many frames
// the walk finds when frame 0 links to nNextFrame.
int32_t WalkFrom(uintptr_t nFramePointer, CInsAddrArray& frames, uintptr_t nNextFrame = 0, bool bLinkBack = false)
{
    uintptr_t words[16];
    CONTEXT context = MadeUpContext(nFramePointer ? nFramePointer : Address(&words[0]));
    words[0] = nNextFrame ? nNextFrame : Address(&words[4]);
    words[1] = 0x22222222;
    words[4] = bLinkBack ? Address(&words[2]) : Address(&words[8]);
    words[5] = 0x33333333;
    words[8] = Address(&words[2]); // lower than its own frame: the end
    words[9] = 0x44444444;
    WalkStack(context, frames);
    return frames.GetSize();
}
#endif

#if defined(__x86_64__)
// Return addresses in no module, each of a frame without unwind data (which x64 unwinds as a
// leaf: its return address at the stack pointer), ending in a zero.
int32_t WalkReturnAddresses(uintptr_t* words, CInsAddrArray& frames)
{
    words[0] = 0x22222222;
    words[1] = 0x33333333;
    words[2] = 0;
    WalkStack(MadeUpContext(Address(words)), frames);
    return frames.GetSize();
}
#endif
} // namespace

TEST(StackWalk, FollowsTheChainWhileFramesRise)
{
#if defined(__i386__)
    CInsAddrArray frames;
    ASSERT_EQ(3, WalkFrom(0, frames));
    EXPECT_EQ(0x11111111u, frames.pData[0].address);
    EXPECT_EQ(0x22222222u, frames.pData[1].address);
    EXPECT_EQ(0x33333333u, frames.pData[2].address);
    EXPECT_EQ(frames.pData[0].frame + 16, frames.pData[1].frame);
    // Addresses in no module: no path, no section.
    EXPECT_STREQ("", frames.pData[0].module);
    EXPECT_EQ(0u, frames.pData[0].section);

    CInsAddrArray back, misaligned, readOnly, unreadable;
    EXPECT_EQ(2, WalkFrom(0, back, 0, true));
    EXPECT_EQ(1, WalkFrom(0, misaligned, frames.pData[1].frame + 2));
    // kernel32's code lies above the stack and cannot be written.
    uintptr_t nCode = Address((void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount")) & ~3u;
    EXPECT_EQ(1, WalkFrom(0, readOnly, nCode));
    // A fault while reading the first frame ends the walk with what was found.
    EXPECT_EQ(1, WalkFrom(0x10, unreadable));
#else
    GTEST_SKIP() << "32-bit only: x64 code keeps no frame-pointer chain; its walk unwinds instead";
#endif
}

#if defined(__x86_64__)
TEST(StackWalk, UnwindsFramesWithoutUnwindDataByTheirReturnAddresses)
{
    uintptr_t words[4];
    CInsAddrArray frames;
    ASSERT_EQ(3, WalkReturnAddresses(words, frames));
    EXPECT_EQ(0x11111111u, frames.pData[0].address);
    EXPECT_EQ(0x22222222u, frames.pData[1].address);
    EXPECT_EQ(0x33333333u, frames.pData[2].address);
    EXPECT_EQ(frames.pData[0].frame + 8, frames.pData[1].frame);
    EXPECT_STREQ("", frames.pData[0].module);
}
#endif

TEST(StackWalk, EndsWhereTheChainLeavesTheThreadsStack)
{
    // The same words on the heap (as a frame pointer that a broken stack left pointing anywhere):
    // only the faulting address is listed, nothing is followed. On the stack they give more.
    uintptr_t stackWords[16];
    std::unique_ptr<uintptr_t[]> pHeapWords(new uintptr_t[16]);
    CInsAddrArray onStack, heap;
#if defined(__x86_64__)
    EXPECT_EQ(3, WalkReturnAddresses(stackWords, onStack));
    EXPECT_EQ(1, WalkReturnAddresses(pHeapWords.get(), heap));
#else
    stackWords[0] = Address(&stackWords[4]);
    stackWords[1] = 0x22222222;
    stackWords[4] = 0;
    WalkStack(MadeUpContext(Address(stackWords)), onStack);
    EXPECT_EQ(2, onStack.GetSize());
    uintptr_t* pHeap = pHeapWords.get();
    pHeap[0] = Address(&pHeap[4]);
    pHeap[1] = 0x22222222;
    pHeap[4] = 0;
    WalkStack(MadeUpContext(Address(pHeap)), heap);
    EXPECT_EQ(1, heap.GetSize());
#endif
}

TEST(StackWalk, FindModuleSectionPlacesAnAddressInItsModuleAndSection)
{
    uintptr_t nAddress = Address((void*)&Address);
    char szModule[260] = "", szSelf[MAX_PATH];
    uint32_t nSection = 0, nOffset = 0;
    ASSERT_TRUE(FindModuleSection(nAddress, szModule, sizeof(szModule), nSection, nOffset));
    GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    EXPECT_STREQ(szSelf, szModule);
    HMODULE hSelf = GetModuleHandleA(nullptr);
    IMAGE_NT_HEADERS* pNt = (IMAGE_NT_HEADERS*)((char*)hSelf + ((IMAGE_DOS_HEADER*)hSelf)->e_lfanew);
    ASSERT_GE(nSection, 1u);
    IMAGE_SECTION_HEADER* pSection = IMAGE_FIRST_SECTION(pNt) + (nSection - 1);
    EXPECT_EQ(0, memcmp(pSection->Name, ".text", 5));
    EXPECT_EQ(nAddress - Address(hSelf) - pSection->VirtualAddress, nOffset);

    // The image headers belong to the module but to none of its sections.
    nSection = 0;
    EXPECT_FALSE(FindModuleSection(Address(hSelf) + 0x10, szModule, sizeof(szModule), nSection, nOffset));
    EXPECT_STREQ(szSelf, szModule);
    EXPECT_EQ(0u, nSection);
    // Heap memory belongs to no module.
    std::unique_ptr<char[]> pHeap(new char[64]);
    szModule[0] = 0;
    EXPECT_FALSE(FindModuleSection(Address(pHeap.get()), szModule, sizeof(szModule), nSection, nOffset));
    EXPECT_STREQ("", szModule);
}
