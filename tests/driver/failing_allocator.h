// A replacement of the program's allocator that fails one chosen allocation.
#pragma once

#include <cstddef>

namespace driver_test {

enum class AllocationForm { Any, NothrowArray };

// The `nth` allocation of exactly `size` bytes (of that form) from now on
// fails: std::bad_alloc, or NULL from a nothrow form. 0 disarms.
void FailAllocation(std::size_t size, int nth, AllocationForm form = AllocationForm::Any);
// The same, counting only the calling thread's allocations: the other
// threads of the machine allocate as they please meanwhile.
void FailAllocationOnThisThread(std::size_t size, int nth);

} // namespace driver_test
