#include "failing_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

namespace {

std::atomic<std::size_t> gFailSize{0};
std::atomic<int> gFailCountdown{0};
std::atomic<driver_test::AllocationForm> gFailForm{driver_test::AllocationForm::Any};
// No id: every thread's allocations count.
std::atomic<std::thread::id> gFailThread{};

} // namespace

namespace driver_test {

namespace {

void Arm(std::size_t size, int nth, AllocationForm form, std::thread::id thread) {
    gFailCountdown = 0;
    gFailSize = size;
    gFailForm = form;
    gFailThread = thread;
    gFailCountdown = nth;
}

} // namespace

void FailAllocation(std::size_t size, int nth, AllocationForm form) {
    Arm(size, nth, form, std::thread::id());
}

void FailAllocationOnThisThread(std::size_t size, int nth) {
    Arm(size, nth, AllocationForm::Any, std::this_thread::get_id());
}

} // namespace driver_test

namespace {

void* Allocate(std::size_t size,
               driver_test::AllocationForm form = driver_test::AllocationForm::Any) {
    bool formMatches =
        gFailForm.load() == driver_test::AllocationForm::Any || gFailForm.load() == form;
    std::thread::id thread = gFailThread.load();
    bool threadMatches = thread == std::thread::id() || thread == std::this_thread::get_id();
    if (size == gFailSize.load() && formMatches && threadMatches && gFailCountdown.load() > 0 &&
        gFailCountdown.fetch_sub(1) == 1) {
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}

void* AllocateOrThrow(std::size_t size) {
    if (void* memory = Allocate(size)) {
        return memory;
    }
    throw std::bad_alloc();
}

} // namespace

// Every unaligned form goes through the one allocator, so that any new meets
// its delete.
void* operator new(std::size_t size) {
    return AllocateOrThrow(size);
}
void* operator new[](std::size_t size) {
    return AllocateOrThrow(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size, driver_test::AllocationForm::NothrowArray);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
