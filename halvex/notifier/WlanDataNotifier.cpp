#include "halvex/notifier/WlanDataNotifier.h"

#include "halvex/driver/CaughtException.h"
#include "halvex/driver/ChannelConfig.h"
#include "halvex/driver/DeviceContext.h"
#include "halvex/notifier/SarProvisioningFile.h"
#include "halvex/notifier/WlanChannelState.h"
#include "halvex/notifier/WlanSarCommand.h"
#include "platform/com.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

std::list<WlanDataNotifier*> gWlanNotifiers;
std::mutex gWlanMutex;
std::atomic<WDFWAITLOCK> gWlanWaitLock{nullptr};
std::atomic<HANDLE> mWlanNotifHandle{INVALID_HANDLE_VALUE};
std::atomic<ULONG> gWlanDeviceServiceRegistered{0};
std::atomic<ULONG> gWlanNotificationRegistered{0};
std::atomic<BYTE> gWlanUp{1};
GUID gWlanInterfaceGuid{};
std::atomic<BYTE> gWlanInterfaceGuidValid{0};
std::atomic<ULONG> gWlanAntennaCount{0};
std::atomic<ULONG> gWlanRefreshPeriodMs{kWlanNoRefresh};
std::atomic<ULONG> gWlanTimerPeriodMs{0};
std::atomic<WDFTIMER> gWlanRefreshTimer{nullptr};
HANDLE gWlanInitThread = nullptr;
std::atomic<ULONG> gWlanSentOnRemoval{0};
WDFDEVICE gWlanDevice = nullptr;

namespace {

constexpr char kNotUp[] = " WLAN is not up, not sending backoff index";
constexpr char kMergedNotUp[] = " Wlan is not up, not sending backoff index";
constexpr char kNoInterface[] =
    " Could not retrieve WLAN interface GUID, not sending backoff index";
constexpr char kNoAntennaCount[] = " WLAN antenna count is not known, not sending backoff index";

// Held while antenna masks are filled; taken after gWlanWaitLock, and
// nothing else is taken under it.
std::mutex gWlanMaskLock;

// Set when Stop gave up waiting: gWlanInitThread then names a thread of an
// earlier start that may still register and read the device.
bool gWlanInitThreadKept = false;

bool HandleValid(HANDLE handle) {
    return handle != INVALID_HANDLE_VALUE && handle != nullptr;
}

PDEVICE_CONTEXT RequireDeviceContext() {
    PDEVICE_CONTEXT context = gWlanDevice != nullptr ? DeviceGetContext(gWlanDevice) : nullptr;
    if (context == nullptr) {
        throw std::runtime_error("Device Context is NULL");
    }
    return context;
}

// Once the adapter has accepted the removal setting it keeps it until the
// removal is over: the channels stop one at a time, and a worker, a reading,
// a refresh or a SAR notification in between would otherwise take an
// antenna's back-off away after the driver is gone. A D0 entry clears
// IsDeviceRemoval first thing, so a device that was not removed after all
// sends again at once.
bool RemovalSettingStays(const char* what) {
    PDEVICE_CONTEXT context = gWlanDevice != nullptr ? DeviceGetContext(gWlanDevice) : nullptr;
    if (context == nullptr || gWlanSentOnRemoval.load() == 0 ||
        InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(&context->IsDeviceRemoval), 0,
                                   0) != 1) {
        return false;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "The removal setting stays: %s not sent",
                what);
    return true;
}

std::string GuidText(const GUID& guid) {
    WCHAR text[39] = {};
    StringFromGUID2(guid, text, 39);
    return NarrowString(text);
}

// A relative due time in 100 ns units. Computed in 64 bits: in 32 the product
// wraps to an absolute time in the past and the timer fires over and over.
LONGLONG RelativeDueTime(ULONG milliseconds) {
    return -10000LL * static_cast<LONGLONG>(milliseconds);
}

void RestartRefreshTimer() {
    WDFTIMER timer = gWlanRefreshTimer.load();
    if (timer != nullptr) {
        WdfTimerStart(timer, RelativeDueTime(gWlanTimerPeriodMs.load()));
    }
}

// The wait lock, made now if an earlier attempt failed: a send never goes on
// without it, and the lock is never acquired while it does not exist.
WDFWAITLOCK WlanWaitLock() {
    WDFWAITLOCK lock = gWlanWaitLock.load();
    if (lock != nullptr) {
        return lock;
    }
    std::lock_guard guard(gWlanMutex);
    lock = gWlanWaitLock.load();
    if (lock == nullptr) {
        NTSTATUS status = WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "WdfWaitLockCreate failed 0x%08X",
                        static_cast<unsigned>(status));
            return nullptr;
        }
        gWlanWaitLock.store(lock);
    }
    return lock;
}

// The registration and the handle are dropped under the mutex and ended
// after it: ending them waits for a running callback, which may itself be
// waiting for the mutex.
void CloseClientHandle(HANDLE handle) {
    if (!HandleValid(handle)) {
        return;
    }
    DWORD result = WlanRegisterNotification(handle, WLAN_NOTIFICATION_SOURCE_NONE, FALSE, nullptr,
                                            nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "Stopping WLAN notifications failed %u",
                    result);
    }
    result = WlanCloseHandle(handle, nullptr);
    if (result != ERROR_SUCCESS) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "WlanCloseHandle failed %u", result);
    }
}

// Under gWlanMutex.
HANDLE TakeClientHandleLocked() {
    gWlanDeviceServiceRegistered.store(0);
    gWlanNotificationRegistered.store(0);
    return mWlanNotifHandle.exchange(INVALID_HANDLE_VALUE);
}

void WlanRefreshTimerCleanup(WDFOBJECT timer) {
    // The framework deletes the timer with its device; nothing may start it afterwards.
    WDFTIMER expected = static_cast<WDFTIMER>(timer);
    gWlanRefreshTimer.compare_exchange_strong(expected, nullptr);
}

void CreateRefreshTimer() {
    NTSTATUS status = ReadSarProvisioningFile();
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                    "ReadSarProvisioningFile failed 0x%08X: no refresh timer",
                    static_cast<unsigned>(status));
        return;
    }
    ULONG period = gWlanRefreshPeriodMs.load();
    if (period == kWlanNoRefresh) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "No refresh period provisioned");
        return;
    }
    if (period < WlanDataNotifier::kMinRefreshPeriodMs) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                    "Refresh period %u ms is below %u ms: no refresh timer", period,
                    WlanDataNotifier::kMinRefreshPeriodMs);
        return;
    }
    // The file's period stays as it was read: a later pass, after a failed
    // timer creation, takes 0.9 of it again and not of its own result.
    gWlanTimerPeriodMs.store(static_cast<ULONG>(static_cast<double>(period) * 0.9));

    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, WlanRefreshTimerFunc);
    config.Period = 0;
    config.AutomaticSerialization = TRUE;
    config.TolerableDelay = 0;
    config.UseHighResolutionTimer = FALSE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = WdfExecutionLevelInheritFromParent;
    attributes.SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
    attributes.ParentObject = gWlanDevice;
    attributes.EvtCleanupCallback = WlanRefreshTimerCleanup;
    WDFTIMER timer = nullptr;
    status = WdfTimerCreate(&config, &attributes, &timer);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "WdfTimerCreate failed 0x%08X",
                    static_cast<unsigned>(status));
        return;
    }
    gWlanRefreshTimer.store(timer);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "Refresh timer every %u ms",
                gWlanTimerPeriodMs.load());
    WdfTimerStart(timer, RelativeDueTime(gWlanTimerPeriodMs.load()));
}

// Stop waits for the initialisation thread before unregistering, so a thread
// that is merely slow cannot register again after the device left D0. One
// that outlasts the wait is kept, to be waited for before another starts and
// before the notifiers go.
void JoinInitThread(DWORD milliseconds) {
    if (gWlanInitThread == nullptr) {
        return;
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_NOTIFIER, "Waiting for the WLAN initialisation thread");
    DWORD result = WaitForSingleObject(gWlanInitThread, milliseconds);
    if (result != WAIT_OBJECT_0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                    "WLAN initialisation thread still running (wait returned %u)", result);
        gWlanInitThreadKept = true;
        return;
    }
    if (!CloseHandle(gWlanInitThread)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                    "Closing the WLAN initialisation thread failed (last error %u)",
                    GetLastError());
    }
    gWlanInitThread = nullptr;
    gWlanInitThreadKept = false;
}

// Nothing may read the notifiers while one of them goes: the initialisation
// thread, the notification callback and the refresh timer all walk them
// without the wait lock.
void QuiesceWlanChannels() {
    JoinInitThread(INFINITE);
    UnregisterWlanNotifications();
    WDFTIMER timer = gWlanRefreshTimer.exchange(nullptr);
    if (timer != nullptr) {
        WdfTimerStop(timer, TRUE);
        // A run that read the handle before it was forgotten may have armed
        // the timer again on its way out.
        WdfTimerStop(timer, TRUE);
    }
}

// A device added again in this process starts as the first one did.
void ResetWlanChannelState() {
    gWlanDevice = nullptr;
    gWlanInterfaceGuidValid.store(0);
    gWlanAntennaCount.store(0);
    gWlanRefreshPeriodMs.store(kWlanNoRefresh);
    gWlanTimerPeriodMs.store(0);
    gWlanSentOnRemoval.store(0);
    gWlanUp.store(1);
}

} // namespace

WlanDataNotifier::WlanDataNotifier(WDFDEVICE device) {
    FuncEntry(TRACE_NOTIFIER);
    ResendDataEvent = nullptr;
    mRetryCount = kRetryBudget;
    if (gWlanDevice == nullptr) {
        gWlanDevice = device;
    }
    // Every command has N entry slots from the first send on: the channels'
    // workers may send before the initialisation thread has run.
    PDEVICE_CONTEXT context = gWlanDevice != nullptr ? DeviceGetContext(gWlanDevice) : nullptr;
    if (context != nullptr) {
        gWlanAntennaCount.store(context->WlanAntCount);
    }
    WlanWaitLock();
    gWlanNotifiers.push_back(this);
    FuncExitVoid(TRACE_NOTIFIER);
}

WlanDataNotifier::~WlanDataNotifier() {
    FuncEntry(TRACE_NOTIFIER);
    QuiesceWlanChannels();
    WDFWAITLOCK lock = gWlanWaitLock.exchange(nullptr);
    if (lock != nullptr) {
        WdfObjectDelete(lock);
    }
    gWlanNotifiers.remove(this);
    if (gWlanNotifiers.empty()) {
        ResetWlanChannelState();
    }
    FuncExitVoid(TRACE_NOTIFIER);
}

bool WlanDataNotifier::Start() {
    FuncEntry(TRACE_NOTIFIER);
    bool started = true;
    // Here and not on the initialisation thread: a thread that runs late
    // would clear it in the middle of the next removal.
    gWlanSentOnRemoval.store(0);
    if (gWlanInitThread != nullptr && gWlanInitThreadKept) {
        JoinInitThread(kInitJoinTimeoutMs);
    }
    if (gWlanInitThread == nullptr) {
        gWlanInitThread = CreateThread(nullptr, 0, WlanInitThreadProc, this, 0, nullptr);
        if (gWlanInitThread == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                        "Creating the WLAN initialisation thread failed (last error %u)",
                        GetLastError());
            started = false;
        }
    }
    AssignWlanAntennaMasks();
    FuncExit(TRACE_NOTIFIER, "%s", started ? "true" : "false");
    return started;
}

void WlanDataNotifier::SetRemovalState() {
    for (WlanDataNotifier* notifier : gWlanNotifiers) {
        LONG active = notifier->mActiveBackoffIndex.load();
        // -1 is "send nothing", not an index to leave the adapter with: such a
        // channel keeps its latest state.
        if (active == BACKOFF_INDEX_NONE) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER,
                        "Channel with antenna mask %u has no active index, kept as it is",
                        notifier->mAntennaMask.load());
            continue;
        }
        notifier->mSensorState.store(1);
        notifier->mBackoffIndex.store(active);
    }
}

void WlanDataNotifier::SendRemovalSettingLocked() {
    if (gWlanSentOnRemoval.load() == 1) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "Removal setting sent already");
        return;
    }
    SetRemovalState();
    // A stop after one whose removal setting did not get through finds the
    // client handle closed and the interface forgotten: the handle is opened
    // again (or for the first time) and the send finds the interface.
    if (!HandleValid(mWlanNotifHandle.load()) && !RegisterWlanNotifications()) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "RegisterWlanNotifications failed");
    }
    if (NT_SUCCESS(SendMergedWlanBackoffLocked())) {
        gWlanSentOnRemoval.store(1);
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "Sending the removal setting failed");
    }
}

bool WlanDataNotifier::Stop() {
    FuncEntry(TRACE_NOTIFIER);
    mComputedSinceStart.store(false);
    try {
        PDEVICE_CONTEXT context = RequireDeviceContext();
        WDFWAITLOCK lock = WlanWaitLock();
        if (lock == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "No WLAN wait lock: nothing sent");
        } else {
            WdfWaitLockAcquire(lock, nullptr);
            if (context->IsDeviceRemoval == 1) {
                SendRemovalSettingLocked();
            }
            WdfWaitLockRelease(lock);
        }
        JoinInitThread(kInitJoinTimeoutMs);
        UnregisterWlanNotifications();
        gWlanInterfaceGuidValid.store(0);
    } catch (...) {
        TraceCaughtException(TRACE_NOTIFIER);
    }
    FuncExit(TRACE_NOTIFIER, "true");
    return true;
}

bool WlanDataNotifier::Notify(ULONG stateMask, LONG* backoffIndex) {
    FuncEntry(TRACE_NOTIFIER);
    if (backoffIndex == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "Notify without a back-off index");
        return false;
    }
    WDFWAITLOCK lock = WlanWaitLock();
    if (lock != nullptr) {
        WdfWaitLockAcquire(lock, nullptr);
    }
    // The worker starts before the channel's Start: no setting goes out
    // before the channels' antennas are known.
    if (!mAntennaMaskAssigned.load()) {
        AssignWlanAntennaMasks();
    }
    // Kept even when nothing is sent: the next merged setting uses them.
    mSensorState.store(stateMask);
    mBackoffIndex.store(*backoffIndex);
    mComputedSinceStart.store(true);
    bool delivered = false;
    try {
        if (lock == nullptr) {
            throw std::runtime_error(" No WLAN wait lock, not sending backoff index");
        }
        if (!RemovalSettingStays("the channel's own setting")) {
            SendOwnSetting(stateMask);
            delivered = true;
        }
    } catch (...) {
        TraceCaughtException(TRACE_NOTIFIER);
    }
    // A completed or refused send alike postpones the next refresh by a whole period.
    RestartRefreshTimer();
    if (lock != nullptr) {
        WdfWaitLockRelease(lock);
    }
    FuncExit(TRACE_NOTIFIER, "%s", delivered ? "true" : "false");
    return delivered;
}

void WlanDataNotifier::SendOwnSetting(ULONG stateMask) {
    if (gWlanUp.load() == 0) {
        throw std::runtime_error(kNotUp);
    }
    if (gWlanAntennaCount.load() == 0) {
        throw std::runtime_error(kNoAntennaCount);
    }
    if (gWlanDeviceServiceRegistered.load() == 0 || gWlanNotificationRegistered.load() == 0) {
        if (!RegisterWlanNotifications()) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "RegisterWlanNotifications failed");
        }
    }
    if (!HandleValid(mWlanNotifHandle.load())) {
        throw std::runtime_error("mWlanNotifHandle is invalid");
    }
    if (gWlanInterfaceGuidValid.load() == 0 && !GetWlanInterfaceGuid()) {
        throw std::runtime_error(kNoInterface);
    }
    // With several WLAN channels the adapter holds one setting for all of
    // them: a channel's own setting would take back-off away from the
    // antennas the others hold, so each of its sends is the merged one.
    const bool merged = gWlanNotifiers.size() > 1;
    WlanSarCommand sent(gWlanAntennaCount.load());
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (merged) {
        BuildMergedSetting(sent);
        status = SendWlanSarSetting(sent, true);
    } else {
        status = SendBackoff(stateMask, mBackoffIndex.load());
    }
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "SendBackoff failed 0x%08X (last error %u)",
                    static_cast<unsigned>(status), GetLastError());
        RequestResend();
        throw std::runtime_error(
            " Send failed after all the retries/ResendDataEvent handler is invalid");
    }
    if (merged) {
        CompareMergedReadBack(sent);
    } else {
        CompareOwnReadBack(stateMask);
    }
    DeliveryCompleted();
}

void WlanDataNotifier::CompareOwnReadBack(ULONG stateMask) {
    int enabled = 0;
    int readBack = -1;
    // A channel without antennas sent no entry, and has no index to read back.
    const bool indexSent = mAntennaMask.load() != 0;
    if (!NT_SUCCESS(QueryBackoff(&enabled, &readBack))) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "QueryBackoff failed");
    } else if (enabled == 0 ? stateMask != 0 : indexSent && readBack != mBackoffIndex.load()) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                    "Read-back mismatch: sent state %u index %d, adapter has enabled %d "
                    "index %d",
                    stateMask, mBackoffIndex.load(), enabled, readBack);
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER,
                    "Read-back matches: enabled %d index %d", enabled, readBack);
    }
}

void WlanDataNotifier::CompareMergedReadBack(const WlanSarCommand& sent) {
    WlanSarCommand reply(sent.Slots());
    if (!NT_SUCCESS(QueryWlanSarSetting(reply))) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "QueryBackoff failed");
    } else if (!reply.SameSettingAs(sent)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                    "Read-back mismatch: sent %s, adapter has %s", sent.Text().c_str(),
                    reply.Text().c_str());
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "Read-back matches: %s",
                    reply.Text().c_str());
    }
}

NTSTATUS WlanDataNotifier::SendBackoff(ULONG stateMask, LONG backoffIndex) {
    FuncEntry(TRACE_NOTIFIER);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    try {
        WlanSarCommand command(gWlanAntennaCount.load());
        // A channel without antennas enables back-off and sets none: an entry
        // for mask 0 would name no antenna.
        if (stateMask != 0) {
            command.SetEnable(1);
            if (mAntennaMask.load() != 0 && !command.Append(mAntennaMask.load(), backoffIndex)) {
                throw std::runtime_error(kNoAntennaCount);
            }
        }
        status = SendWlanSarSetting(command, true);
    } catch (...) {
        TraceCaughtException(TRACE_NOTIFIER);
        status = STATUS_UNSUCCESSFUL;
    }
    FuncExit(TRACE_NOTIFIER, "0x%08X", static_cast<unsigned>(status));
    return status;
}

NTSTATUS WlanDataNotifier::QueryBackoff(int* enabled, int* backoffIndex) {
    FuncEntry(TRACE_NOTIFIER);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    try {
        WlanSarCommand reply(gWlanAntennaCount.load());
        status = QueryWlanSarSetting(reply);
        if (NT_SUCCESS(status)) {
            if (reply.Enable() == 1) {
                *enabled = 1;
            }
            if (*enabled == 0) {
                *backoffIndex = -1;
            } else {
                ULONG used = reply.UsedEntries();
                ULONG mine = mAntennaMask.load() & 3;
                for (ULONG i = 0; i < used; ++i) {
                    WlanSarEntry entry = reply.Entry(i);
                    if (entry.AntennaMask == mine) {
                        *backoffIndex = entry.BackoffIndex;
                        break;
                    }
                }
            }
        }
    } catch (...) {
        TraceCaughtException(TRACE_NOTIFIER);
        status = STATUS_UNSUCCESSFUL;
    }
    FuncExit(TRACE_NOTIFIER, "0x%08X", static_cast<unsigned>(status));
    return status;
}

bool WlanDataNotifier::BuildMergedSetting(WlanSarCommand& command) {
    // One consistent view: the workers go on storing while the merge runs.
    struct Channel {
        ULONG mask;
        bool active;
        LONG index;
    };
    std::vector<Channel> channels;
    bool anyActive = false;
    for (const WlanDataNotifier* notifier : gWlanNotifiers) {
        // Until a channel has read its sensors since its start they count as
        // detected: another channel that computes first must not take away
        // the back-off they may ask for.
        const LONG active = notifier->mActiveBackoffIndex.load();
        if (!notifier->mComputedSinceStart.load() && notifier->mAntennaMaskAssigned.load() &&
            active != BACKOFF_INDEX_NONE) {
            channels.push_back({notifier->mAntennaMask.load(), true, active});
            anyActive = true;
            continue;
        }
        // A channel with no index yet would give index 0, from no row of its
        // table.
        const LONG index = notifier->mBackoffIndex.load();
        if (index == BACKOFF_INDEX_NONE) {
            continue;
        }
        channels.push_back(
            {notifier->mAntennaMask.load(), notifier->mSensorState.load() != 0, index});
        anyActive = anyActive || channels.back().active;
    }
    if (!anyActive) {
        return !channels.empty();
    }
    for (ULONG i = 0; i < command.Slots() && i < 32; ++i) {
        ULONG bit = 1u << i;
        // An antenna gets the highest index its active holders ask for. A
        // holder that is not active asks for nothing, and must not take away
        // the back-off a near one asks for; one entry per antenna, so the
        // entries never outnumber the slots.
        std::optional<LONG> highest;
        for (const Channel& channel : channels) {
            if ((channel.mask & bit) != 0 && channel.active) {
                highest = std::max(highest.value_or(channel.index), channel.index);
            }
        }
        if (highest) {
            command.Append(bit, *highest);
        }
    }
    // A channel without antennas enables back-off too: its own setting says
    // so, and the merged one must not say otherwise.
    command.SetEnable(1);
    return true;
}

// Under the wait lock, as the removal send is: a merged setting built from
// the states before the removal must not reach the adapter after it.
NTSTATUS WlanDataNotifier::SendMergedWlanBackoff() {
    FuncEntry(TRACE_NOTIFIER);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    WDFWAITLOCK lock = WlanWaitLock();
    if (lock == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                    "No WLAN wait lock: merged setting not sent");
    } else {
        WdfWaitLockAcquire(lock, nullptr);
        if (!RemovalSettingStays("the merged setting")) {
            status = SendMergedWlanBackoffLocked();
        }
        WdfWaitLockRelease(lock);
    }
    FuncExit(TRACE_NOTIFIER, "0x%08X", static_cast<unsigned>(status));
    return status;
}

NTSTATUS WlanDataNotifier::SendMergedWlanBackoffLocked() {
    FuncEntry(TRACE_NOTIFIER);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    try {
        if (gWlanUp.load() == 0) {
            throw std::runtime_error(kMergedNotUp);
        }
        if (gWlanAntennaCount.load() == 0) {
            throw std::runtime_error(kNoAntennaCount);
        }
        if (gWlanInterfaceGuidValid.load() == 0 && !GetWlanInterfaceGuid()) {
            throw std::runtime_error(kNoInterface);
        }
        WlanSarCommand command(gWlanAntennaCount.load());
        if (BuildMergedSetting(command)) {
            status = SendWlanSarSetting(command, false);
        } else {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER,
                        "No WLAN channel has a back-off index yet: nothing sent");
            status = STATUS_SUCCESS;
        }
    } catch (...) {
        TraceCaughtException(TRACE_NOTIFIER);
        status = STATUS_UNSUCCESSFUL;
    }
    FuncExit(TRACE_NOTIFIER, "0x%08X", static_cast<unsigned>(status));
    return status;
}

bool RegisterWlanNotifications() {
    FuncEntry(TRACE_NOTIFIER);
    bool registered = false;
    {
        std::lock_guard guard(gWlanMutex);
        try {
            auto list = std::make_unique<WLAN_DEVICE_SERVICE_GUID_LIST>();
            list->dwNumberOfItems = 1;
            list->dwIndex = 0;
            list->DeviceService[0] = GUID_WLAN_SAR_DEVICE_SERVICE;
            if (!HandleValid(mWlanNotifHandle.load())) {
                DWORD negotiated = 0;
                HANDLE handle = INVALID_HANDLE_VALUE;
                DWORD result = WlanOpenHandle(WLAN_API_VERSION_2_0, nullptr, &negotiated, &handle);
                if (result != ERROR_SUCCESS) {
                    throw std::runtime_error(" WlanOpenHandle failed and returned :" +
                                             std::to_string(result));
                }
                mWlanNotifHandle.store(handle);
            }
            HANDLE handle = mWlanNotifHandle.load();
            if (gWlanDeviceServiceRegistered.load() == 0) {
                DWORD result = WlanRegisterDeviceServiceNotification(handle, list.get());
                if (result == ERROR_SUCCESS) {
                    gWlanDeviceServiceRegistered.store(1);
                } else {
                    TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                                "WlanRegisterDeviceServiceNotification failed %u (last error %u)",
                                result, GetLastError());
                }
            }
            if (gWlanNotificationRegistered.load() == 0) {
                DWORD result = WlanRegisterNotification(
                    handle, WLAN_NOTIFICATION_SOURCE_ACM | WLAN_NOTIFICATION_SOURCE_DEVICE_SERVICE,
                    FALSE, WlanNotificationCallback, nullptr, nullptr, nullptr);
                if (result == ERROR_SUCCESS) {
                    gWlanNotificationRegistered.store(1);
                } else {
                    TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                                "WlanRegisterNotification failed %u (last error %u)", result,
                                GetLastError());
                }
            }
            registered =
                gWlanDeviceServiceRegistered.load() == 1 && gWlanNotificationRegistered.load() == 1;
        } catch (...) {
            // The handle stays as it is: the flags say what is left to
            // register, and the next send or start tries again. Closing it
            // waits for a running notification callback, which may wait for
            // the wait lock a Notify holds around this call.
            TraceCaughtException(TRACE_NOTIFIER);
        }
    }
    FuncExit(TRACE_NOTIFIER, "%s", registered ? "true" : "false");
    return registered;
}

void UnregisterWlanNotifications() {
    FuncEntry(TRACE_NOTIFIER);
    HANDLE handle = INVALID_HANDLE_VALUE;
    {
        std::lock_guard guard(gWlanMutex);
        handle = TakeClientHandleLocked();
    }
    CloseClientHandle(handle);
    FuncExitVoid(TRACE_NOTIFIER);
}

bool GetWlanInterfaceGuid() {
    FuncEntry(TRACE_NOTIFIER);
    std::lock_guard guard(gWlanMutex);
    if (gWlanInterfaceGuidValid.load() != 0) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_NOTIFIER, "WLAN interface known already");
        return true;
    }
    HANDLE handle = mWlanNotifHandle.load();
    if (!HandleValid(handle)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                    "No WLAN client handle to enumerate interfaces with");
        return false;
    }
    PWLAN_INTERFACE_INFO_LIST list = nullptr;
    try {
        DWORD result = WlanEnumInterfaces(handle, nullptr, &list);
        if (result != ERROR_SUCCESS) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                        "WlanEnumInterfaces returned %u (last error %u)", result, GetLastError());
            throw std::runtime_error(" WlanEnumInterfaces failed");
        }
        if (list == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "WlanEnumInterfaces gave no list");
        } else if (list->dwNumberOfItems == 0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "No WLAN interface listed");
        } else {
            // The list's current index is the service's word: one outside the
            // list names no interface, and the first one stands in for it.
            DWORD index = list->dwIndex < list->dwNumberOfItems ? list->dwIndex : 0;
            if (index != list->dwIndex) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                            "Current index %u outside the %u listed interfaces, using 0",
                            list->dwIndex, list->dwNumberOfItems);
            }
            gWlanInterfaceGuid = list->InterfaceInfo[index].InterfaceGuid;
            gWlanInterfaceGuidValid.store(1);
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "WLAN interface %s",
                        GuidText(gWlanInterfaceGuid).c_str());
            for (DWORD i = 0; i < list->dwNumberOfItems; ++i) {
                TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_NOTIFIER, "Listed interface %u: %s", i,
                            GuidText(list->InterfaceInfo[i].InterfaceGuid).c_str());
            }
        }
    } catch (...) {
        TraceCaughtException(TRACE_NOTIFIER);
        gWlanInterfaceGuidValid.store(0);
    }
    if (list != nullptr) {
        WlanFreeMemory(list);
    }
    bool valid = gWlanInterfaceGuidValid.load() != 0;
    FuncExit(TRACE_NOTIFIER, "%s", valid ? "true" : "false");
    return valid;
}

void AssignWlanAntennaMasks() {
    FuncEntry(TRACE_NOTIFIER);
    try {
        PDEVICE_CONTEXT context = RequireDeviceContext();
        // A Start and a worker's Notify may fill them at once. Not under
        // gWlanMutex: an initialisation thread holds that across its calls
        // to the WLAN service, and a Start must not wait for them.
        std::lock_guard guard(gWlanMaskLock);
        auto instance = gWlanNotifiers.begin();
        for (ULONG r = 0; r < context->ConfiguredCount && context->Channels != nullptr &&
                          instance != gWlanNotifiers.end();
             ++r) {
            const CHANNEL_INFO& record = context->Channels[r];
            if (record.ChannelType != ChannelTypeWlan) {
                continue;
            }
            WlanDataNotifier* notifier = *instance++;
            if (notifier->mAntennaMaskAssigned.load()) {
                continue;
            }
            // Every channel at once, whatever its record holds: a worker may
            // send before its own channel's Start, and the merged setting
            // names the others' antennas too.
            if (record.WlanAntennaInfo == nullptr) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                            "Channel record %u has no WLAN antenna information", r);
            } else {
                notifier->mAntennaMask.store(record.WlanAntennaInfo[0]);
                for (ULONG m = 0; m < record.SarMappingCount && record.SarDataMapping != nullptr;
                     ++m) {
                    if (record.SarDataMapping[m].StateMask == 1) {
                        notifier->mActiveBackoffIndex.store(record.SarDataMapping[m].BackoffIndex);
                        break;
                    }
                }
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER,
                            "Channel record %u: antenna mask %u, active index %d", r,
                            notifier->mAntennaMask.load(), notifier->mActiveBackoffIndex.load());
            }
            notifier->mAntennaMaskAssigned.store(true);
        }
    } catch (...) {
        TraceCaughtException(TRACE_NOTIFIER);
    }
    FuncExitVoid(TRACE_NOTIFIER);
}

DWORD WINAPI WlanInitThreadProc(LPVOID parameter) {
    UNREFERENCED_PARAMETER(parameter);
    FuncEntry(TRACE_NOTIFIER);
    try {
        gWlanUp.store(1);
        PDEVICE_CONTEXT context = RequireDeviceContext();
        gWlanAntennaCount.store(context->WlanAntCount);
        if (gWlanDeviceServiceRegistered.load() == 0 || gWlanNotificationRegistered.load() == 0) {
            if (!RegisterWlanNotifications()) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "RegisterWlanNotifications failed");
            }
        }
        if (gWlanInterfaceGuidValid.load() == 0 && !GetWlanInterfaceGuid()) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "GetWlanInterfaceGuid failed");
        }
        if (gWlanRefreshTimer.load() == nullptr) {
            CreateRefreshTimer();
        } else {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER,
                        "Refresh timer exists: provisioning file not read again");
        }
    } catch (...) {
        TraceCaughtException(TRACE_NOTIFIER);
    }
    FuncExit(TRACE_NOTIFIER, "0");
    return 0;
}

void WlanRefreshTimerFunc(WDFTIMER timer) {
    UNREFERENCED_PARAMETER(timer);
    FuncEntry(TRACE_NOTIFIER);
    NTSTATUS status = WlanDataNotifier::SendMergedWlanBackoff();
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "Refresh send failed 0x%08X",
                    static_cast<unsigned>(status));
    }
    // Through the shared handle: a timer the channels have forgotten stays stopped.
    RestartRefreshTimer();
    FuncExitVoid(TRACE_NOTIFIER);
}

void WINAPI WlanNotificationCallback(PWLAN_NOTIFICATION_DATA data, PVOID context) {
    UNREFERENCED_PARAMETER(context);
    FuncEntry(TRACE_NOTIFIER);
    try {
        if (data == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "WLAN notification without data");
        } else if (data->NotificationSource == WLAN_NOTIFICATION_SOURCE_ACM) {
            if (data->NotificationCode == WLAN_NOTIFICATION_ACM_INTERFACE_ARRIVAL) {
                gWlanUp.store(1);
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "WLAN interface arrived");
            } else if (data->NotificationCode == WLAN_NOTIFICATION_ACM_INTERFACE_REMOVAL) {
                gWlanUp.store(0);
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "WLAN interface removed");
            }
        } else if (data->pData == nullptr || data->dwDataSize < sizeof(GUID)) {
            // The service's GUID is the block's first 16 bytes; a shorter block has none.
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER,
                        "Device-service notification without a service (%u bytes of data)",
                        data->pData == nullptr ? 0u : data->dwDataSize);
        } else {
            GUID service;
            std::memcpy(&service, data->pData, sizeof service);
            if (service == GUID{}) {
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER,
                            "Device-service notification for GUID_NULL");
            } else if (service == GUID_WLAN_SAR_DEVICE_SERVICE) {
                NTSTATUS status = WlanDataNotifier::SendMergedWlanBackoff();
                if (!NT_SUCCESS(status)) {
                    TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                                "Merged send on SAR notification failed 0x%08X",
                                static_cast<unsigned>(status));
                } else {
                    RestartRefreshTimer();
                }
            } else {
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER,
                            "Device-service notification for %s", GuidText(service).c_str());
            }
        }
    } catch (...) {
        TraceCaughtException(TRACE_NOTIFIER);
    }
    FuncExitVoid(TRACE_NOTIFIER);
}
