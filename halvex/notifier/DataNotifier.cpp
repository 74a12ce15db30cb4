#include "halvex/notifier/DataNotifier.h"

#include "platform/trace.h"
#include "platform/win32.h"

bool DataNotifier::RequestResend() {
    if (mRetryCount <= 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                    "Resend budget spent, waiting for the next change");
        mRetryCount = kRetryBudget;
        return false;
    }
    if (ResendDataEvent == nullptr || ResendDataEvent == INVALID_HANDLE_VALUE) {
        return false;
    }
    --mRetryCount;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "Requesting resend, %d left", mRetryCount);
    SetEvent(ResendDataEvent);
    return true;
}
