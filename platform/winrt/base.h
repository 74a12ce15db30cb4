// The core of our WinRT projection: reference-counted objects behind smart
// pointers, and the HRESULT a failed call turns into. Objects are created with
// one reference, which make_self hands to its com_ptr.
#pragma once

#include "platform/com.h"
#include "platform/types.h"

#include <atomic>
#include <cstdint>
#include <utility>

#ifndef E_BOUNDS
#define E_BOUNDS static_cast<HRESULT>(0x8000000B)
#endif
#ifndef E_ILLEGAL_STATE_CHANGE
#define E_ILLEGAL_STATE_CHANGE static_cast<HRESULT>(0x8000000D)
#endif
#ifndef E_ILLEGAL_DELEGATE_ASSIGNMENT
#define E_ILLEGAL_DELEGATE_ASSIGNMENT static_cast<HRESULT>(0x80000018)
#endif
// HRESULT_FROM_WIN32(ERROR_CANCELLED): what a canceled asynchronous object reports.
#ifndef HRESULT_ERROR_CANCELLED
#define HRESULT_ERROR_CANCELLED static_cast<HRESULT>(0x800704C7)
#endif

namespace winrt {

// Every object behind a projection derives from this once.
class ref_counted {
public:
    ref_counted() = default;
    ref_counted(const ref_counted&) = delete;
    ref_counted& operator=(const ref_counted&) = delete;

    std::uint32_t AddRef() noexcept { return mRefs.fetch_add(1) + 1; }
    // A reference only while the object still has one: an implementation
    // that lists its live objects (to raise events on them) must not revive
    // one whose last reference is already gone.
    bool TryAddRef() noexcept {
        std::uint32_t refs = mRefs.load();
        while (refs != 0) {
            if (mRefs.compare_exchange_weak(refs, refs + 1)) {
                return true;
            }
        }
        return false;
    }
    std::uint32_t Release() noexcept {
        std::uint32_t left = mRefs.fetch_sub(1) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

protected:
    virtual ~ref_counted() = default;

private:
    std::atomic<std::uint32_t> mRefs{1};
};

template <typename T> class com_ptr {
public:
    com_ptr() = default;
    com_ptr(std::nullptr_t) {}
    com_ptr(const com_ptr& other) : mPtr(other.mPtr) { AddRefIfAny(); }
    template <typename U>
    requires std::is_convertible_v<U*, T*> com_ptr(const com_ptr<U>& other) : mPtr(other.get()) {
        AddRefIfAny();
    }
    com_ptr(com_ptr&& other) noexcept : mPtr(std::exchange(other.mPtr, nullptr)) {}
    ~com_ptr() { ReleaseIfAny(); }
    com_ptr& operator=(com_ptr other) noexcept {
        std::swap(mPtr, other.mPtr);
        return *this;
    }

    T* get() const { return mPtr; }
    T* operator->() const { return mPtr; }
    T& operator*() const { return *mPtr; }
    explicit operator bool() const { return mPtr != nullptr; }

    // Takes over a reference the caller owns.
    void attach(T* value) {
        ReleaseIfAny();
        mPtr = value;
    }
    // Adds a reference of its own.
    void copy_from(T* value) {
        if (value != nullptr) {
            value->AddRef();
        }
        attach(value);
    }
    void reset() { attach(nullptr); }

    friend bool operator==(const com_ptr& a, const com_ptr& b) { return a.mPtr == b.mPtr; }

private:
    void AddRefIfAny() {
        if (mPtr != nullptr) {
            mPtr->AddRef();
        }
    }
    void ReleaseIfAny() {
        if (mPtr != nullptr) {
            std::exchange(mPtr, nullptr)->Release();
        }
    }

    T* mPtr = nullptr;
};

// Throws std::bad_alloc when the fault point "make_self" fires, as the
// allocation of a new object would.
void check_allocation();

template <typename T, typename... Args> com_ptr<T> make_self(Args&&... args) {
    check_allocation();
    com_ptr<T> result;
    result.attach(new T(std::forward<Args>(args)...));
    return result;
}

// For the simulated platform's own objects made on its own threads (event
// arguments it raises): no fault point, since nothing of the driver's could
// see that allocation fail.
template <typename T, typename... Args> com_ptr<T> make_platform_self(Args&&... args) {
    com_ptr<T> result;
    result.attach(new T(std::forward<Args>(args)...));
    return result;
}

// The HRESULT of the exception in flight, for code that must not let it pass
// (delegates, the ABI boundary).
HRESULT to_hresult() noexcept;

// A projected call on an empty object: the platform would crash, we raise.
[[noreturn]] void throw_null_object();

// The object behind a projection, for a projected call.
template <typename T> T* checked_abi(const com_ptr<T>& object) {
    if (!object) {
        throw_null_object();
    }
    return object.get();
}

} // namespace winrt
