#include "failing_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> gFailSize{0};
std::atomic<int> gFailCountdown{0};

} // namespace

namespace driver_test {

void FailAllocation(std::size_t size, int nth) {
    gFailCountdown = 0;
    gFailSize = size;
    gFailCountdown = nth;
}

} // namespace driver_test

void* operator new(std::size_t size) {
    if (size == gFailSize.load() && gFailCountdown.load() > 0 && gFailCountdown.fetch_sub(1) == 1) {
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
