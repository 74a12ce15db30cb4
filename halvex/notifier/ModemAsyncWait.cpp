// Waiting for the modem's asynchronous steps: a bounded wait on a manual-reset
// event that the step's completion signals.
#include "halvex/notifier/ModemDataNotifier.h"

#include "halvex/driver/CaughtException.h"
#include "platform/com.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <atomic>
#include <exception>

using winrt::Windows::Foundation::AsyncStatus;
using winrt::Windows::Foundation::IAsyncAction;
using winrt::Windows::Foundation::IAsyncOperation;
using winrt::Windows::Networking::NetworkOperators::MobileBroadbandModemConfiguration;

namespace {

// Shared by the waiter and the asynchronous object, which may complete long
// after the waiter gave up: the event lives as long as the last reference.
class CompletionHandler final : public winrt::ref_counted {
public:
    explicit CompletionHandler(HANDLE event) : mEvent(event) {}

    void Invoke(AsyncStatus status) {
        mStatus.store(status);
        SetEvent(mEvent);
    }
    HANDLE Event() const { return mEvent; }
    AsyncStatus Status() const { return mStatus.load(); }

private:
    ~CompletionHandler() override { CloseHandle(mEvent); }

    const HANDLE mEvent;
    std::atomic<AsyncStatus> mStatus{AsyncStatus::Started};
};

template <typename Async, typename Handler> bool WaitForAsync(const Async& async) {
    FuncEntry(TRACE_NOTIFIER);
    Async object = async;
    bool result = false;
    try {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (event == nullptr) {
            winrt::throw_hresult(HRESULT_FROM_WIN32(GetLastError()));
        }
        winrt::com_ptr<CompletionHandler> handler;
        try {
            handler = winrt::make_self<CompletionHandler>(event);
        } catch (...) {
            // The handler would have owned the event: without one, it is ours to close.
            CloseHandle(event);
            throw;
        }
        object.Completed(
            Handler([handler](const Async&, AsyncStatus status) { handler->Invoke(status); }));

        const auto timeoutMs = static_cast<DWORD>(ModemDataNotifier::kAsyncTimeout.count() / 10000);
        DWORD waitResult = WaitForSingleObject(handler->Event(), timeoutMs);
        AsyncStatus status = handler->Status();
        handler = nullptr;

        switch (status) {
        case AsyncStatus::Started:
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                        "No completion within %u ms (wait result 0x%x), cancelling", timeoutMs,
                        waitResult);
            object.Cancel();
            result = false;
            break;
        case AsyncStatus::Completed:
            object.GetResults();
            result = true;
            break;
        default:
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "Asynchronous call ended with status %d",
                        static_cast<int>(status));
            object.GetResults();
            result = true;
            break;
        }
    } catch (...) {
        TraceCaughtException(TRACE_NOTIFIER);
        result = false;
    }
    object = nullptr;
    FuncExit(TRACE_NOTIFIER, "%d", result ? 1 : 0);
    return result;
}

} // namespace

bool ModemDataNotifier::WaitForAsyncOperation(
    const IAsyncOperation<MobileBroadbandModemConfiguration>& operation) {
    using Handler = winrt::Windows::Foundation::AsyncOperationCompletedHandler<
        MobileBroadbandModemConfiguration>;
    return WaitForAsync<IAsyncOperation<MobileBroadbandModemConfiguration>, Handler>(operation);
}

bool ModemDataNotifier::WaitForAsyncAction(const IAsyncAction& action) {
    using Handler = winrt::Windows::Foundation::AsyncActionCompletedHandler;
    return WaitForAsync<IAsyncAction, Handler>(action);
}
