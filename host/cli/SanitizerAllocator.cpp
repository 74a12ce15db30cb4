// In the AddressSanitizer build, memory the host cannot have ends the run as
// it does in the plain build: `new` throws std::bad_alloc, and the host says
// "ran out of memory" with status 2. The sanitizer's own throwing `new` ends
// the process in its allocator instead ("out of memory", "requested
// allocation size exceeds maximum supported size"), whatever its options say.
// So in that build the throwing forms of `new` take the sanitizer's
// non-throwing ones, which return null once allocator_may_return_null is set,
// and throw: the sanitizer still sees each allocation as one made by `new`
// (a `free` or a `delete[]` of it is still reported), and malloc returns null
// as the C library's does.
#include <cstddef>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define HVX_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HVX_ADDRESS_SANITIZER 1
#endif
#endif

#ifdef HVX_ADDRESS_SANITIZER

extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

void* OrThrow(void* allocated) {
    if (allocated == nullptr) {
        throw std::bad_alloc();
    }
    return allocated;
}

} // namespace

void* operator new(std::size_t size) {
    return OrThrow(::operator new(size, std::nothrow));
}

void* operator new[](std::size_t size) {
    return OrThrow(::operator new[](size, std::nothrow));
}

void* operator new(std::size_t size, std::align_val_t alignment) {
    return OrThrow(::operator new(size, alignment, std::nothrow));
}

void* operator new[](std::size_t size, std::align_val_t alignment) {
    return OrThrow(::operator new[](size, alignment, std::nothrow));
}

#endif
