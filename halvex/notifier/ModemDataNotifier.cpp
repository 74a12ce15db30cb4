#include "halvex/notifier/ModemDataNotifier.h"

#include "halvex/driver/CaughtException.h"
#include "halvex/notifier/ModemChannelState.h"
#include "halvex/notifier/WwanInterfaceTracking.h"
#include "platform/com.h"
#include "platform/iphlpapi.h"
#include "platform/trace.h"
#include "platform/win32.h"
#include "platform/winrt/collections.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

using winrt::Windows::Foundation::Collections::single_threaded_vector_view;
using winrt::Windows::Networking::NetworkOperators::MobileBroadbandAntennaSar;
using winrt::Windows::Networking::NetworkOperators::MobileBroadbandModem;
using winrt::Windows::Networking::NetworkOperators::MobileBroadbandSarManager;

std::list<ModemDataNotifier*> gModemNotifiers;
std::mutex gModemNotifiersLock;
MobileBroadbandSarManager gSarManager{nullptr};
std::mutex gModemMutex;
std::atomic<BYTE> gBackoffEnabled{0};
std::atomic<BYTE> gSarSupported{1};
std::atomic<BYTE> gWwanInterfacePresent{0};
std::atomic<ULONG> gModemStateResets{0};
HANDLE gIpInterfaceChangeHandle = nullptr;

namespace {

constexpr char kTimedOut[] = " Timed out while waiting for modem response ";

} // namespace

ModemDataNotifier::ModemDataNotifier() {
    FuncEntry(TRACE_NOTIFIER);
    ResendDataEvent = nullptr;
    mRetryCount = kRetryBudget;
    mLastBackoffIndex = 0;
    std::lock_guard guard(gModemMutex);
    std::lock_guard listGuard(gModemNotifiersLock);
    gModemNotifiers.push_back(this);
    FuncExitVoid(TRACE_NOTIFIER);
}

ModemDataNotifier::~ModemDataNotifier() {
    FuncEntry(TRACE_NOTIFIER);
    std::lock_guard guard(gModemMutex);
    // Only this channel leaves: a channel released on its own (a failed
    // construction) must not take the other channels' requests with it. The
    // search stops at this channel (the device releases its channels in the
    // order they were made, so it is the first): a walk of the whole list for
    // each channel would make releasing many channels quadratic.
    bool last = false;
    {
        // Released before the cancellation below, which waits for a running
        // callback: the callback may be waiting for this lock.
        std::lock_guard listGuard(gModemNotifiersLock);
        auto self = std::find(gModemNotifiers.begin(), gModemNotifiers.end(), this);
        if (self != gModemNotifiers.end()) {
            gModemNotifiers.erase(self);
        }
        last = gModemNotifiers.empty();
    }
    if (last) {
        if (gIpInterfaceChangeHandle != nullptr) {
            NETIO_STATUS status = CancelMibChangeNotify2(gIpInterfaceChangeHandle);
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER,
                        "CancelMibChangeNotify2 returned %u", status);
            gIpInterfaceChangeHandle = nullptr;
        }
        // The last channel takes the SAR manager with it; back-off has to be
        // enabled again (with a fresh manager) before anything is sent.
        gSarManager = nullptr;
        gBackoffEnabled.store(0);
    }
    FuncExitVoid(TRACE_NOTIFIER);
}

bool ModemDataNotifier::Start() {
    FuncEntry(TRACE_NOTIFIER);
    NETIO_STATUS status = ScanForWwanInterface();
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "ScanForWwanInterface returned %u",
                status);
    FuncExit(TRACE_NOTIFIER, "true");
    return true;
}

LONG ModemDataNotifier::RequestedIndex() const {
    // Until the channel has read its sensors they count as detected: a shared
    // modem must not get less than they may ask for from another channel
    // that computed first.
    if (!mComputedSinceStart.load()) {
        return std::max(mLastBackoffIndex, mIndexUntilComputed);
    }
    return mLastBackoffIndex;
}

void ModemDataNotifier::RequestRecompute() const {
    if (ResendDataEvent != nullptr && ResendDataEvent != INVALID_HANDLE_VALUE) {
        SetEvent(ResendDataEvent);
    }
}

bool ModemDataNotifier::Stop() {
    FuncEntry(TRACE_NOTIFIER);
    // Until the next start's compute, and for good if the channel cannot
    // compute at all, its sensors count as detected.
    mComputedSinceStart.store(false);
    ResetModemState();
    FuncExit(TRACE_NOTIFIER, "true");
    return true;
}

bool ModemDataNotifier::Notify(ULONG stateMask, LONG* backoffIndex) {
    UNREFERENCED_PARAMETER(stateMask);
    FuncEntry(TRACE_NOTIFIER);
    if (backoffIndex == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "Notify without a back-off index");
        return false;
    }
    std::lock_guard guard(gModemMutex);
    mLastBackoffIndex = *backoffIndex;
    mComputedSinceStart.store(true);
    const ULONG resets = gModemStateResets.load();
    try {
        SendUnderLock();
        mRetryCount = kRetryBudget;
        FuncExit(TRACE_NOTIFIER, "true");
        return true;
    } catch (const winrt::hresult_error& error) {
        HRESULT code = error.code();
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "HRESULT 0x%08X: %s",
                    static_cast<unsigned>(code), NarrowString(error.message().str()).c_str());
        if (code == HRESULT_ERROR_NOT_SUPPORTED) {
            // A modem without SAR support will not gain it by retrying. An
            // answer to a call made before the WWAN interface went away is
            // about that interface's modem: kept, it would outlive the reset
            // and the interface's return would never get back-off.
            if (gModemStateResets.load() == resets) {
                gSarSupported.store(0);
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                            "Modem does not support SAR back-off (0x%08X)",
                            static_cast<unsigned>(code));
            } else {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                            "Not-supported answer from before the WWAN interface went away "
                            "ignored");
            }
            mRetryCount = kRetryBudget;
            FuncExit(TRACE_NOTIFIER, "true");
            return true;
        }
    } catch (...) {
        TraceCaughtException(TRACE_NOTIFIER);
    }
    ScheduleResend();
    FuncExit(TRACE_NOTIFIER, "false");
    return false;
}

// A NULL event still spends the budget (its SetEvent does nothing); only
// INVALID_HANDLE_VALUE means there is no way to resend at all.
void ModemDataNotifier::ScheduleResend() {
    if (mRetryCount > 0 && ResendDataEvent != INVALID_HANDLE_VALUE) {
        --mRetryCount;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "Requesting resend, %d left",
                    mRetryCount);
        SetEvent(ResendDataEvent);
        return;
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                "No resend scheduled, waiting for the next change");
    mRetryCount = kRetryBudget;
}

void ModemDataNotifier::SendUnderLock() {
    if (gIpInterfaceChangeHandle == nullptr && RegisterIpInterfaceChange() != NO_ERROR) {
        throw std::runtime_error("Failed to Register for IP Interface Change Event! will not "
                                 "send the bacoff index to Modem");
    }
    if (gWwanInterfacePresent.load() != 1) {
        // Once per send: a scan that failed at the start would otherwise
        // leave the modem without its index until the next arrival.
        ScanForWwanInterface();
    }
    if (gWwanInterfacePresent.load() != 1) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER,
                    "No WWAN interface: back-off index %d kept for later", mLastBackoffIndex);
        return;
    }
    EnableBackoff();
    if (gBackoffEnabled.load() != 1) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "Modem back-off not enabled, nothing sent");
        return;
    }
    SendBackoffIndex();
}

void ModemDataNotifier::EnableBackoff() {
    if (gSarSupported.load() == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "Modem does not support SAR back-off");
        return;
    }
    if (gBackoffEnabled.load() == 1) {
        return;
    }
    MobileBroadbandModem modem = MobileBroadbandModem::GetDefault();
    if (!modem) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "No default mobile-broadband modem");
        return;
    }
    auto operation = modem.GetCurrentConfigurationAsync();
    if (!WaitForAsyncOperation(operation)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "Modem configuration failed: 0x%08X",
                    static_cast<unsigned>(HRESULT(operation.ErrorCode())));
        throw std::runtime_error(kTimedOut);
    }
    auto configuration = operation.GetResults();
    if (!configuration) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "Modem has no current configuration");
    } else {
        gSarManager = configuration.SarManager();
        if (!gSarManager) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                        "Modem configuration has no SAR manager");
        } else {
            auto action = gSarManager.EnableBackoffAsync();
            if (!WaitForAsyncAction(action)) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "Enabling back-off failed: 0x%08X",
                            static_cast<unsigned>(HRESULT(action.ErrorCode())));
                throw std::runtime_error(kTimedOut);
            }
            gBackoffEnabled.store(1);
            // A removal of the WWAN interface during the wait has reset the
            // state already; keeping back-off enabled would make the next
            // arrival ignored and the modem would get no index.
            if (gWwanInterfacePresent.load() == 0) {
                gBackoffEnabled.store(0);
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                            "WWAN interface went away while enabling back-off");
            } else {
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "Modem back-off enabled");
            }
            action.Close();
        }
    }
    operation.Close();
}

void ModemDataNotifier::SendBackoffIndex() {
    LONG target = 0;
    for (const ModemDataNotifier* notifier : gModemNotifiers) {
        target = std::max(target, notifier->RequestedIndex());
    }

    auto antennas = gSarManager.Antennas();
    bool differs = false;
    for (std::uint32_t i = 0; i < antennas.Size() && !differs; ++i) {
        differs = antennas.GetAt(i).SarBackoffIndex() != target;
    }
    if (!differs) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER,
                    "Every antenna is at back-off index %d already", target);
        return;
    }

    auto current = gSarManager.Antennas();
    std::vector<MobileBroadbandAntennaSar> settings;
    for (std::uint32_t i = 0; i < current.Size(); ++i) {
        MobileBroadbandAntennaSar setting(current.GetAt(i).AntennaIndex(), target);
        if (!setting) {
            throw std::runtime_error(
                "Failed to Create NewSarDataObj! Cannot send the data to Modem");
        }
        settings.push_back(std::move(setting));
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "Setting %zu antennas to index %d",
                settings.size(), target);
    auto action =
        gSarManager.SetConfigurationAsync(single_threaded_vector_view(std::move(settings)));
    if (!WaitForAsyncAction(action)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "Setting the antennas failed: 0x%08X",
                    static_cast<unsigned>(HRESULT(action.ErrorCode())));
        throw std::runtime_error(kTimedOut);
    }
    action.Close();
}
