// The channel's path to its radio.
#pragma once

#include "platform/types.h"

class DataNotifier {
public:
    static constexpr LONG kRetryBudget = 5;

    // Called after the worker was created; the worker's first Notify comes
    // once every channel has started.
    virtual bool Start() = 0;
    // Called after the worker was joined (or given up on).
    virtual bool Stop() = 0;
    // Worker thread only. `backoffIndex` is never -1 and valid only during the call.
    virtual bool Notify(ULONG stateMask, LONG* backoffIndex) = 0;
    // Declared after the operations: its slot comes last.
    virtual ~DataNotifier() = default;

    // The channel worker's resend event; not owned.
    HANDLE ResendDataEvent = nullptr;
    // Resends that failed deliveries may still ask for.
    LONG mRetryCount = kRetryBudget;

protected:
    // A delivery reached the radio: the budget is whole again.
    void DeliveryCompleted() { mRetryCount = kRetryBudget; }

    // A delivery failed in a way a later attempt may cure. While budget is
    // left, spend one resend on the worker's resend event; once it is spent,
    // restore it and ask for nothing, so the next attempt waits for the next
    // sensor change. Returns whether a resend was requested.
    bool RequestResend();
};
