// FaultGuardTest.cpp: a fault inside a guarded call ends only that call, on 32-bit and x64 alike.
#include <gtest/gtest.h>

#include <stdexcept>

#include "crash/FaultGuard.h"

namespace
{
volatile int* volatile g_pNowhere = nullptr;

void Fault(void* pArg)
{
    *(int*)pArg += 1;
    *g_pNowhere = 1;
    *(int*)pArg += 100; // never reached
}

void Count(void* pArg)
{
    *(int*)pArg += 1;
}

// An inner guarded call that faults, then more work in the outer one.
void FaultInside(void* pArg)
{
    int nInner = 0;
    *(int*)pArg += CallGuarded(Fault, &nInner) ? 100 : 1;
    *(int*)pArg += nInner;
}

void Throw(void*)
{
    throw std::runtime_error("through");
}
} // namespace

TEST(FaultGuard, AFaultEndsOnlyTheGuardedCall)
{
    int n = 0;
    EXPECT_FALSE(CallGuarded(Fault, &n));
    EXPECT_EQ(1, n);
    // The thread goes on guarding: a second fault is caught as the first, a clean body runs whole.
    EXPECT_FALSE(CallGuarded(Fault, &n));
    EXPECT_TRUE(CallGuarded(Count, &n));
    EXPECT_EQ(3, n);
    // Nested: the inner call's fault leaves the outer one running to its end.
    int nOuter = 0;
    EXPECT_TRUE(CallGuarded(FaultInside, &nOuter));
    EXPECT_EQ(2, nOuter);
    // A C++ exception passes through unchanged, and the guard still works after it.
    EXPECT_THROW(CallGuarded(Throw, nullptr), std::runtime_error);
    EXPECT_FALSE(CallGuarded(Fault, &n));
}
