// Events of runtime classes: typed event handlers, the token a subscription
// returns and revokes with, and the implementation side that keeps the
// subscribed delegates. A raise calls the delegates subscribed when it began,
// outside any lock, so a delegate revoked meanwhile may still see that one
// call, and several raises of one event may run at once on different threads.
#pragma once

#include "platform/winrt/base.h"

#include <concepts>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace winrt {

struct event_token {
    std::int64_t value = 0;
    explicit operator bool() const { return value != 0; }
    bool operator==(const event_token&) const = default;
};

namespace Windows::Foundation {

// The projection of an object whose type the receiver does not care about
// (the arguments of EnumerationCompleted and Stopped).
class IInspectable {
public:
    using abi_type = ref_counted;

    IInspectable(std::nullptr_t = nullptr) {}
    explicit IInspectable(com_ptr<ref_counted> object) : mAbi(std::move(object)) {}
    explicit operator bool() const { return static_cast<bool>(mAbi); }

private:
    com_ptr<ref_counted> mAbi;
};

namespace abi {

template <typename SenderAbi, typename ArgsAbi> struct ITypedEventHandler : ref_counted {
    virtual HRESULT Invoke(SenderAbi* sender, ArgsAbi* args) = 0;
};

} // namespace abi

// A delegate around a callable taking the sender's and the arguments'
// projections; what the callable raises stays on the delegate's side as an
// HRESULT, as it would at the ABI.
template <typename Sender, typename Args> class TypedEventHandler {
public:
    using abi_type = abi::ITypedEventHandler<typename Sender::abi_type, typename Args::abi_type>;

    TypedEventHandler(std::nullptr_t = nullptr) {}
    template <typename F>
    requires std::invocable<F&, const Sender&, const Args&> TypedEventHandler(F function)
        : mAbi(make_self<delegate<F>>(std::move(function))) {}

    abi_type* get() const { return mAbi.get(); }
    explicit operator bool() const { return static_cast<bool>(mAbi); }

private:
    template <typename F> class delegate final : public abi_type {
    public:
        explicit delegate(F function) : mFunction(std::move(function)) {}
        HRESULT Invoke(typename Sender::abi_type* sender, typename Args::abi_type* args) override {
            try {
                mFunction(Wrap<Sender>(sender), Wrap<Args>(args));
                return S_OK;
            } catch (...) {
                return to_hresult();
            }
        }

    private:
        template <typename T> static T Wrap(typename T::abi_type* object) {
            com_ptr<typename T::abi_type> reference;
            reference.copy_from(object);
            return T(std::move(reference));
        }

        F mFunction;
    };

    com_ptr<abi_type> mAbi;
};

} // namespace Windows::Foundation

namespace impl {

// The delegates subscribed to one event of one object.
template <typename Delegate> class event_source {
public:
    event_token add(Delegate* handler) {
        com_ptr<Delegate> reference;
        reference.copy_from(handler);
        std::lock_guard guard(mLock);
        event_token token{++mLastToken};
        mDelegates.emplace_back(token, std::move(reference));
        return token;
    }

    // False when the token is not (or no longer) subscribed.
    bool remove(event_token token) {
        com_ptr<Delegate> removed; // released after the lock
        std::lock_guard guard(mLock);
        for (auto it = mDelegates.begin(); it != mDelegates.end(); ++it) {
            if (it->first == token) {
                removed = std::move(it->second);
                mDelegates.erase(it);
                return true;
            }
        }
        return false;
    }

    // The delegates a raise beginning now calls.
    std::vector<com_ptr<Delegate>> snapshot() const {
        std::lock_guard guard(mLock);
        std::vector<com_ptr<Delegate>> delegates;
        for (const auto& entry : mDelegates) {
            delegates.push_back(entry.second);
        }
        return delegates;
    }

    std::size_t size() const {
        std::lock_guard guard(mLock);
        return mDelegates.size();
    }

private:
    mutable std::mutex mLock;
    std::int64_t mLastToken = 0;
    std::vector<std::pair<event_token, com_ptr<Delegate>>> mDelegates;
};

} // namespace impl
} // namespace winrt
