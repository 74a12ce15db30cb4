// A replacement of the program's allocator that fails one chosen allocation.
#pragma once

#include <cstddef>

namespace driver_test {

// The `nth` allocation of exactly `size` bytes from now on throws
// std::bad_alloc; 0 disarms.
void FailAllocation(std::size_t size, int nth);

} // namespace driver_test
