// Windows.Foundation as the system uses it: the asynchronous pattern
// (IAsyncInfo, IAsyncAction, IAsyncOperation<T> with their Completed
// delegates) and TimeSpan. Completions arrive on a thread of the
// implementation; registering a handler on an object that has already finished
// invokes it at once, on the registering thread.
#pragma once

#include "platform/winrt/base.h"

#include <chrono>
#include <concepts>
#include <cstdint>
#include <new>

namespace winrt::Windows::Foundation {

enum class AsyncStatus : std::int32_t { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

// 100-nanosecond ticks.
using TimeSpan = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;

class IAsyncAction;
template <typename TResult> class IAsyncOperation;

namespace abi {

struct IAsyncInfo : ref_counted {
    virtual HRESULT get_Status(AsyncStatus* status) = 0;
    virtual HRESULT get_ErrorCode(HRESULT* code) = 0;
    virtual HRESULT Cancel() = 0;
    virtual HRESULT Close() = 0;
};

struct IAsyncAction;
template <typename TResult> struct IAsyncOperation;

struct IAsyncActionCompletedHandler : ref_counted {
    virtual HRESULT Invoke(IAsyncAction* sender, AsyncStatus status) = 0;
};

template <typename TResult> struct IAsyncOperationCompletedHandler : ref_counted {
    virtual HRESULT Invoke(IAsyncOperation<TResult>* sender, AsyncStatus status) = 0;
};

struct IAsyncAction : IAsyncInfo {
    // The object keeps a reference to the handler; a second assignment fails.
    virtual HRESULT put_Completed(IAsyncActionCompletedHandler* handler) = 0;
    virtual HRESULT GetResults() = 0;
};

template <typename TResult> struct IAsyncOperation : IAsyncInfo {
    virtual HRESULT put_Completed(IAsyncOperationCompletedHandler<TResult>* handler) = 0;
    virtual HRESULT GetResults(TResult* result) = 0;
};

} // namespace abi

// The IAsyncInfo face of any asynchronous object.
class IAsyncInfo {
public:
    IAsyncInfo(std::nullptr_t = nullptr) {}
    explicit IAsyncInfo(com_ptr<abi::IAsyncInfo> object) : mInfo(std::move(object)) {}

    AsyncStatus Status() const {
        AsyncStatus status = AsyncStatus::Started;
        check_hresult(Info()->get_Status(&status));
        return status;
    }
    hresult ErrorCode() const {
        HRESULT code = S_OK;
        check_hresult(Info()->get_ErrorCode(&code));
        return hresult{code};
    }
    void Cancel() const { check_hresult(Info()->Cancel()); }
    void Close() const { check_hresult(Info()->Close()); }
    explicit operator bool() const { return static_cast<bool>(mInfo); }

protected:
    abi::IAsyncInfo* Info() const {
        if (!mInfo) {
            throw_null_object();
        }
        return mInfo.get();
    }

    com_ptr<abi::IAsyncInfo> mInfo;
};

namespace impl {

// A delegate around a callable; what the callable raises stays on the
// implementation's side as an HRESULT.
template <typename Abi, typename Sender, typename F> class delegate final : public Abi {
public:
    explicit delegate(F function) : mFunction(std::move(function)) {}

    HRESULT Invoke(typename Sender::abi_type* sender, AsyncStatus status) override {
        try {
            com_ptr<typename Sender::abi_type> object;
            object.copy_from(sender);
            mFunction(Sender(std::move(object)), status);
            return S_OK;
        } catch (...) {
            return to_hresult();
        }
    }

private:
    F mFunction;
};

} // namespace impl

class AsyncActionCompletedHandler {
public:
    AsyncActionCompletedHandler(std::nullptr_t = nullptr) {}
    template <typename F>
    requires std::invocable<F&, const IAsyncAction&, AsyncStatus>
    AsyncActionCompletedHandler(F function);

    abi::IAsyncActionCompletedHandler* get() const { return mHandler.get(); }
    explicit operator bool() const { return static_cast<bool>(mHandler); }

private:
    com_ptr<abi::IAsyncActionCompletedHandler> mHandler;
};

template <typename TResult> class AsyncOperationCompletedHandler {
public:
    AsyncOperationCompletedHandler(std::nullptr_t = nullptr) {}
    template <typename F>
    requires std::invocable < F&, const IAsyncOperation<TResult>
    &, AsyncStatus > AsyncOperationCompletedHandler(F function);

    abi::IAsyncOperationCompletedHandler<TResult>* get() const { return mHandler.get(); }
    explicit operator bool() const { return static_cast<bool>(mHandler); }

private:
    com_ptr<abi::IAsyncOperationCompletedHandler<TResult>> mHandler;
};

class IAsyncAction : public IAsyncInfo {
public:
    using abi_type = abi::IAsyncAction;

    IAsyncAction(std::nullptr_t = nullptr) {}
    explicit IAsyncAction(com_ptr<abi::IAsyncAction> object)
        : IAsyncInfo(com_ptr<abi::IAsyncInfo>(object)) {}

    void Completed(const AsyncActionCompletedHandler& handler) const {
        check_hresult(Abi()->put_Completed(handler.get()));
    }
    // Raises the object's error after Error, HRESULT_ERROR_CANCELLED after Canceled.
    void GetResults() const { check_hresult(Abi()->GetResults()); }

private:
    abi::IAsyncAction* Abi() const { return static_cast<abi::IAsyncAction*>(Info()); }
};

template <typename TResult> class IAsyncOperation : public IAsyncInfo {
public:
    using abi_type = abi::IAsyncOperation<TResult>;

    IAsyncOperation(std::nullptr_t = nullptr) {}
    explicit IAsyncOperation(com_ptr<abi_type> object)
        : IAsyncInfo(com_ptr<abi::IAsyncInfo>(object)) {}

    void Completed(const AsyncOperationCompletedHandler<TResult>& handler) const {
        check_hresult(Abi()->put_Completed(handler.get()));
    }
    TResult GetResults() const {
        TResult result{nullptr};
        check_hresult(Abi()->GetResults(&result));
        return result;
    }

private:
    abi_type* Abi() const { return static_cast<abi_type*>(Info()); }
};

template <typename F>
requires std::invocable<F&, const IAsyncAction&, AsyncStatus>
AsyncActionCompletedHandler::AsyncActionCompletedHandler(F function) {
    mHandler = make_self<impl::delegate<abi::IAsyncActionCompletedHandler, IAsyncAction, F>>(
        std::move(function));
}

template <typename TResult> template <typename F>
requires std::invocable < F&, const IAsyncOperation<TResult>
&, AsyncStatus >
       AsyncOperationCompletedHandler<TResult>::AsyncOperationCompletedHandler(F function) {
    mHandler = make_self<
        impl::delegate<abi::IAsyncOperationCompletedHandler<TResult>, IAsyncOperation<TResult>, F>>(
        std::move(function));
}

} // namespace winrt::Windows::Foundation
