// StackWalkTest.cpp: the frame-pointer walk on made-up frame chains, the module and section of an
// address, and the fault guard the walk relies on.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include <windows.h>

#include "crash/FaultGuard.h"
#include "crash/StackWalk.h"

namespace
{
uint32_t Address(const void* p)
{
    return (uint32_t)(uintptr_t)p;
}

// A made-up stack: each frame holds the next frame pointer and a return address.
struct SFakeStack
{
    alignas(16) uint32_t words[16] = {};
    CONTEXT context = {};

    SFakeStack()
    {
        context.Eip = 0x11111111;
        context.Ebp = Address(&words[0]);
        Link(0, Address(&words[4]), 0x22222222);
    }
    void Link(int nFrame, uint32_t nNextFrame, uint32_t nReturn)
    {
        words[nFrame] = nNextFrame;
        words[nFrame + 1] = nReturn;
    }
    int32_t Walk(CInsAddrArray& frames)
    {
        WalkStack(context, frames);
        return frames.GetSize();
    }
};

void WriteNowhere(void*)
{
    *(volatile int*)nullptr = 1;
}

void DoNothing(void*) {}

void ThrowText(void*)
{
    throw std::runtime_error("passes");
}
} // namespace

TEST(StackWalk, FollowsTheChainUntilTheNextFrameIsNotHigher)
{
    SFakeStack stack;
    stack.Link(4, Address(&stack.words[8]), 0x33333333);
    stack.Link(8, Address(&stack.words[2]), 0x44444444);
    CInsAddrArray frames;
    ASSERT_EQ(3, stack.Walk(frames));
    EXPECT_EQ(0x11111111u, frames.pData[0].address);
    EXPECT_EQ(Address(&stack.words[0]), frames.pData[0].frame);
    EXPECT_EQ(0x22222222u, frames.pData[1].address);
    EXPECT_EQ(Address(&stack.words[4]), frames.pData[1].frame);
    EXPECT_EQ(0x33333333u, frames.pData[2].address);
    // Addresses in no module: no path, no section.
    EXPECT_STREQ("", frames.pData[0].module);
    EXPECT_EQ(0u, frames.pData[0].section);
}

TEST(StackWalk, EndsAtAMisalignedOrUnwritableNextFrame)
{
    SFakeStack misaligned;
    misaligned.Link(0, Address(&misaligned.words[4]) + 2, 0x22222222);
    CInsAddrArray frames;
    EXPECT_EQ(1, misaligned.Walk(frames));

    // Code of kernel32 lies above the stack and cannot be written.
    SFakeStack readOnly;
    uint32_t nCode = Address((void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount")) & ~3u;
    ASSERT_GT(nCode, Address(&readOnly.words[0]));
    readOnly.Link(0, nCode, 0x22222222);
    CInsAddrArray moreFrames;
    EXPECT_EQ(1, readOnly.Walk(moreFrames));
}

TEST(StackWalk, AFaultWhileReadingEndsTheWalkWithTheFramesFound)
{
    SFakeStack stack;
    stack.context.Ebp = 0x10;
    CInsAddrArray frames;
    ASSERT_EQ(1, stack.Walk(frames));
    EXPECT_EQ(0x11111111u, frames.pData[0].address);
}

TEST(StackWalk, FindModuleSectionPlacesCodeInItsSection)
{
    uint32_t nAddress = Address((void*)&WriteNowhere);
    char szModule[260] = "";
    uint32_t nSection = 0, nOffset = 0;
    ASSERT_TRUE(FindModuleSection(nAddress, szModule, sizeof(szModule), nSection, nOffset));
    char szSelf[MAX_PATH];
    GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    EXPECT_STREQ(szSelf, szModule);

    HMODULE hSelf = GetModuleHandleA(nullptr);
    IMAGE_NT_HEADERS* pNt = (IMAGE_NT_HEADERS*)((char*)hSelf + ((IMAGE_DOS_HEADER*)hSelf)->e_lfanew);
    ASSERT_GE(nSection, 1u);
    ASSERT_LE(nSection, (uint32_t)pNt->FileHeader.NumberOfSections);
    IMAGE_SECTION_HEADER* pSection = IMAGE_FIRST_SECTION(pNt) + (nSection - 1);
    EXPECT_EQ(0, memcmp(pSection->Name, ".text", 5));
    EXPECT_EQ(nAddress - Address(hSelf) - pSection->VirtualAddress, nOffset);
}

TEST(StackWalk, FindModuleSectionOutsideSectionsKeepsOnlyThePath)
{
    char szModule[260] = "";
    uint32_t nSection = 0, nOffset = 0;
    // The image headers belong to the module but to none of its sections.
    EXPECT_FALSE(FindModuleSection(Address(GetModuleHandleA(nullptr)) + 0x10, szModule, sizeof(szModule),
                                   nSection, nOffset));
    EXPECT_NE('\0', szModule[0]);
    EXPECT_EQ(0u, nSection);

    char* pHeap = new char[64];
    szModule[0] = 0;
    EXPECT_FALSE(FindModuleSection(Address(pHeap), szModule, sizeof(szModule), nSection, nOffset));
    EXPECT_STREQ("", szModule);
    delete[] pHeap;
}

TEST(FaultGuard, AFaultEndsOnlyTheGuardedCall)
{
    EXPECT_FALSE(CallGuarded(WriteNowhere, nullptr));
    // The handler chain is whole again: a second fault is caught the same way.
    EXPECT_FALSE(CallGuarded(WriteNowhere, nullptr));
    EXPECT_TRUE(CallGuarded(DoNothing, nullptr));
    EXPECT_THROW(CallGuarded(ThrowText, nullptr), std::runtime_error);
    EXPECT_FALSE(CallGuarded(WriteNowhere, nullptr));
}
