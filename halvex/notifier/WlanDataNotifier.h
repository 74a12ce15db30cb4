// The back-off channel of a WLAN channel: hands the channel's back-off index
// to the WLAN adapter through the SAR device service and reads it back; the
// merged setting of every WLAN channel is sent again periodically, on the
// adapter's SAR notifications and once when the device is removed.
#pragma once

#include "halvex/driver/ChannelConfig.h"
#include "halvex/notifier/DataNotifier.h"
#include "platform/wdf.h"
#include "platform/wlanapi.h"

#include <atomic>

class WlanSarCommand;

class WlanDataNotifier : public DataNotifier {
public:
    // How long Stop waits for the initialisation thread, in milliseconds.
    static constexpr DWORD kInitJoinTimeoutMs = 15000;
    // Provisioned periods below this make no refresh timer.
    static constexpr ULONG kMinRefreshPeriodMs = 3000;

    explicit WlanDataNotifier(WDFDEVICE device);
    ~WlanDataNotifier() override;
    WlanDataNotifier(const WlanDataNotifier&) = delete;
    WlanDataNotifier& operator=(const WlanDataNotifier&) = delete;

    bool Start() override;
    bool Stop() override;
    bool Notify(ULONG stateMask, LONG* backoffIndex) override;

    // The merged setting of every WLAN channel, under the wait lock:
    // STATUS_SUCCESS when the adapter accepted it, else STATUS_UNSUCCESSFUL
    // (also when the removal setting stays).
    static NTSTATUS SendMergedWlanBackoff();
    // This channel's own setting (state mask 0: back-off disabled), and the
    // adapter's setting read back: enabled 1 and the index of the entry for
    // this channel's antennas. Both give STATUS_SUCCESS or STATUS_UNSUCCESSFUL.
    NTSTATUS SendBackoff(ULONG stateMask, LONG backoffIndex);
    NTSTATUS QueryBackoff(int* enabled, int* backoffIndex);

    ULONG AntennaMask() const { return mAntennaMask.load(); }
    LONG ActiveBackoffIndex() const { return mActiveBackoffIndex.load(); }
    ULONG SensorState() const { return mSensorState.load(); }
    LONG BackoffIndex() const { return mBackoffIndex.load(); }

private:
    friend void AssignWlanAntennaMasks();

    // The merge rule over every WLAN notifier, into a zeroed command: Enable
    // 1 while a channel is active, and each antenna the highest index of the
    // active channels that hold it. A channel that has not been given an
    // index yet takes no part; false when none takes part (there is nothing
    // to send).
    static bool BuildMergedSetting(WlanSarCommand& command);
    // SendMergedWlanBackoff with the wait lock held by the caller.
    static NTSTATUS SendMergedWlanBackoffLocked();
    // The own send of Notify, under the wait lock: set, read back and
    // compare. Throws what refuses or fails the send (after asking for a
    // resend where one may cure it).
    void SendOwnSetting(ULONG stateMask);
    // The adapter's setting read back after an own send, compared with what
    // was sent: one channel's state and index, or the merged setting. A
    // mismatch is only traced.
    void CompareOwnReadBack(ULONG stateMask);
    static void CompareMergedReadBack(const WlanSarCommand& sent);
    // Every channel at its active state, for the adapter to keep once the
    // device is gone.
    static void SetRemovalState();
    // Under the wait lock, at a stop for the device's removal: the removal
    // setting, unless the adapter has accepted it already; one that does not
    // get through is owed to the next WLAN channel's stop.
    static void SendRemovalSettingLocked();

    // Read by the refresh timer and the notification callback without the wait lock.
    std::atomic<ULONG> mAntennaMask{0};
    std::atomic<LONG> mActiveBackoffIndex{0};
    std::atomic<ULONG> mSensorState{1};
    // None until the first Notify: the channel has no index for the adapter yet.
    std::atomic<LONG> mBackoffIndex{BACKOFF_INDEX_NONE};
    // The antenna mask and active index are taken from the channel record
    // once, whatever they are: a mask of 0 is a value like any other. Set
    // once they are, under the lock of their filling.
    std::atomic<bool> mAntennaMaskAssigned{false};
    // Cleared by Stop, set by Notify: until the channel has computed since
    // its start, the merged setting takes its sensors as detected.
    std::atomic<bool> mComputedSinceStart{false};
};

// The shared state's operations; gWlanMutex is taken inside where needed.
bool RegisterWlanNotifications();
void UnregisterWlanNotifications();
bool GetWlanInterfaceGuid();
// Fills the antenna mask and active index of every WLAN notifier not filled
// yet, each from its channel record.
void AssignWlanAntennaMasks();
DWORD WINAPI WlanInitThreadProc(LPVOID parameter);
void WlanRefreshTimerFunc(WDFTIMER timer);
void WINAPI WlanNotificationCallback(PWLAN_NOTIFICATION_DATA data, PVOID context);
