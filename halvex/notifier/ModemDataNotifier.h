// The back-off channel of a MODEM channel: hands the highest index that any
// modem channel requests to every antenna of the default modem, through the
// WinRT SAR manager, while a WWAN interface exists.
#pragma once

#include "halvex/notifier/DataNotifier.h"
#include "platform/winrt/foundation.h"
#include "platform/winrt/mobile_broadband.h"

#include <atomic>

class ModemDataNotifier : public DataNotifier {
public:
    // No index to ask for until the channel computes.
    static constexpr LONG kNoIndex = -1;
    // How long each asynchronous modem step may take: 10 s in 100 ns ticks.
    static constexpr winrt::Windows::Foundation::TimeSpan kAsyncTimeout{100000000};

    ModemDataNotifier();
    ~ModemDataNotifier() override;
    ModemDataNotifier(const ModemDataNotifier&) = delete;
    ModemDataNotifier& operator=(const ModemDataNotifier&) = delete;

    bool Start() override;
    bool Stop() override;
    bool Notify(ULONG stateMask, LONG* backoffIndex) override;

    // What the channel's table gives a detected sensor, if anything: what the
    // channel asks for from its start until it has computed.
    void SetIndexUntilComputed(LONG index) { mIndexUntilComputed = index; }
    // What the channel asks the modem for now. Under gModemMutex.
    LONG RequestedIndex() const;
    // Makes the channel's worker compute and notify again, with the sensors'
    // states as they are then; spends nothing of the retry budget.
    void RequestRecompute() const;

    // True only when the object completed and its result could be fetched
    // within kAsyncTimeout; a time-out cancels it.
    static bool WaitForAsyncOperation(
        const winrt::Windows::Foundation::IAsyncOperation<
            winrt::Windows::Networking::NetworkOperators::MobileBroadbandModemConfiguration>&
            operation);
    static bool WaitForAsyncAction(const winrt::Windows::Foundation::IAsyncAction& action);

private:
    void SendUnderLock();
    void EnableBackoff();
    void SendBackoffIndex();
    void ScheduleResend();

    LONG mLastBackoffIndex = 0;
    LONG mIndexUntilComputed = kNoIndex;
    // Cleared by Stop, set by Notify: a channel that has not computed since
    // its start has not read its sensors yet.
    std::atomic<bool> mComputedSinceStart{false};
};
