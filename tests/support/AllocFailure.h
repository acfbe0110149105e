// AllocFailure.h: makes chosen allocations of the test process fail with std::bad_alloc.
//
// The test executable that uses these gets a global operator new and delete of its own (over
// malloc and free) that consult them; everything else allocates as usual.
#pragma once

#include <cstddef>

// False in a sanitized build, whose own allocator cannot be replaced: the others then do nothing.
bool CanFailAllocations();
// The next allocation of exactly nSize bytes, on any thread, fails once.
void FailNextAllocationOfSize(size_t nSize);
// The calling thread's next nCount allocations fail.
void FailNextAllocationsOnThisThread(int nCount);
// Whether an armed failure of FailNextAllocationOfSize is still waiting to be used.
bool IsAllocationFailurePending();
