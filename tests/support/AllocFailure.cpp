// AllocFailure.cpp: the replaced global operator new and delete behind AllocFailure.h. The array
// and sized forms of the library call these two.
#include "AllocFailure.h"

#include <atomic>
#include <cstdlib>
#include <new>

// The sanitizers bring their own operator new and delete and report a replaced pair as mismatched
// allocations: under them no allocation is made to fail, and the tests that need it skip.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TG_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TG_SANITIZED 1
#endif
#endif

#ifndef TG_SANITIZED
namespace
{
std::atomic<size_t> g_nFailSize(0);
thread_local int t_nFailCount = 0;

void* Allocate(size_t nSize)
{
    if (t_nFailCount > 0)
    {
        t_nFailCount--;
        throw std::bad_alloc();
    }
    size_t nArmed = nSize;
    if (nSize != 0 && g_nFailSize.load(std::memory_order_relaxed) == nSize &&
        g_nFailSize.compare_exchange_strong(nArmed, 0))
        throw std::bad_alloc();
    void* p = malloc(nSize ? nSize : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
} // namespace
#endif

bool CanFailAllocations()
{
#ifdef TG_SANITIZED
    return false;
#else
    return true;
#endif
}

#ifndef TG_SANITIZED
void FailNextAllocationOfSize(size_t nSize)
{
    g_nFailSize.store(nSize);
}

void FailNextAllocationsOnThisThread(int nCount)
{
    t_nFailCount = nCount;
}

bool IsAllocationFailurePending()
{
    return g_nFailSize.load() != 0;
}

void* operator new(size_t nSize)
{
    return Allocate(nSize);
}

void operator delete(void* p) noexcept
{
    free(p);
}

#else
void FailNextAllocationOfSize(size_t) {}

void FailNextAllocationsOnThisThread(int) {}

bool IsAllocationFailurePending()
{
    return false;
}
#endif
