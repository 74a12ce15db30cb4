// The implementation side of an asynchronous object, for the stand-in's
// runtime classes. The object finishes once: Finish() moves it out of Started,
// hands the Completed handler its reference-counted call on the finishing
// thread and then lets the handler go. Cancel() asks the implementation (the
// cancel hook decides whether and when the object ends as Canceled).
#pragma once

#include "platform/winrt/foundation.h"

#include <functional>
#include <mutex>
#include <type_traits>

namespace winrt::Windows::Foundation::impl {

template <typename Abi, typename Handler, typename Result> class async_object : public Abi {
public:
    // Moves the object to its final status; false when it had finished already.
    bool Finish(AsyncStatus status, HRESULT error = S_OK, Result result = Result{nullptr}) {
        com_ptr<Handler> handler;
        {
            std::lock_guard guard(mLock);
            if (mStatus != AsyncStatus::Started) {
                return false;
            }
            mStatus = status;
            mError = error;
            mResult = std::move(result);
            handler = std::move(mHandler);
        }
        if (handler) {
            handler->Invoke(this, status);
        }
        return true;
    }

    // What Cancel() does while the object is still running. Without a hook the
    // object ends as Canceled at once.
    void SetCancelHook(std::function<void()> hook) {
        std::lock_guard guard(mLock);
        mCancelHook = std::move(hook);
    }

    bool Finished() {
        std::lock_guard guard(mLock);
        return mStatus != AsyncStatus::Started;
    }

    HRESULT get_Status(AsyncStatus* status) override {
        std::lock_guard guard(mLock);
        *status = mStatus;
        return S_OK;
    }

    HRESULT get_ErrorCode(HRESULT* code) override {
        std::lock_guard guard(mLock);
        *code = mStatus == AsyncStatus::Error      ? mError
                : mStatus == AsyncStatus::Canceled ? HRESULT_ERROR_CANCELLED
                                                   : S_OK;
        return S_OK;
    }

    HRESULT Cancel() override {
        std::function<void()> hook;
        {
            std::lock_guard guard(mLock);
            if (mStatus != AsyncStatus::Started || mCancelRequested) {
                return S_OK;
            }
            mCancelRequested = true;
            hook = mCancelHook;
        }
        if (hook) {
            hook();
        } else {
            Finish(AsyncStatus::Canceled);
        }
        return S_OK;
    }

    HRESULT Close() override {
        std::lock_guard guard(mLock);
        if (mStatus == AsyncStatus::Started) {
            return E_ILLEGAL_STATE_CHANGE;
        }
        mClosed = true;
        return S_OK;
    }

    HRESULT put_Completed(Handler* handler) override {
        com_ptr<Handler> reference;
        reference.copy_from(handler);
        AsyncStatus finished;
        {
            std::lock_guard guard(mLock);
            if (mClosed) {
                return E_ILLEGAL_METHOD_CALL;
            }
            if (mHandlerAssigned) {
                return E_ILLEGAL_DELEGATE_ASSIGNMENT;
            }
            mHandlerAssigned = true;
            if (mStatus == AsyncStatus::Started) {
                mHandler = std::move(reference);
                return S_OK;
            }
            finished = mStatus;
        }
        if (reference) {
            reference->Invoke(this, finished);
        }
        return S_OK;
    }

protected:
    // The result, or the failure GetResults reports.
    HRESULT Results(Result* result) {
        std::lock_guard guard(mLock);
        if (mClosed || mStatus == AsyncStatus::Started) {
            return E_ILLEGAL_METHOD_CALL;
        }
        if (mStatus == AsyncStatus::Canceled) {
            return HRESULT_ERROR_CANCELLED;
        }
        if (mStatus == AsyncStatus::Error) {
            return mError;
        }
        if (result != nullptr) {
            *result = mResult;
        }
        return S_OK;
    }

private:
    std::mutex mLock;
    AsyncStatus mStatus = AsyncStatus::Started;
    HRESULT mError = S_OK;
    Result mResult{nullptr};
    com_ptr<Handler> mHandler;
    std::function<void()> mCancelHook;
    bool mHandlerAssigned = false;
    bool mCancelRequested = false;
    bool mClosed = false;
};

// An action has no result; nullptr_t stands in for it.
class async_action final
    : public async_object<abi::IAsyncAction, abi::IAsyncActionCompletedHandler, std::nullptr_t> {
public:
    HRESULT GetResults() override { return Results(nullptr); }
};

template <typename TResult>
class async_operation final
    : public async_object<abi::IAsyncOperation<TResult>,
                          abi::IAsyncOperationCompletedHandler<TResult>, TResult> {
public:
    HRESULT GetResults(TResult* result) override { return this->Results(result); }
};

} // namespace winrt::Windows::Foundation::impl
