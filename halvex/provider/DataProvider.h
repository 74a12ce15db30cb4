// One configured sensor as its channel's worker sees it.
#pragma once

#include "platform/power.h"
#include "platform/types.h"
#include "platform/wdf/wdf_types.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

class DataProvider {
public:
    DataProvider() = default;
    DataProvider(const DataProvider&) = delete;
    DataProvider& operator=(const DataProvider&) = delete;

    // True when the provider runs. Called on D0 entry.
    virtual bool Start() = 0;
    // Safe more than once and after a failed Start. Called on D0 exit.
    virtual bool Stop() = 0;
    // Read by the channel's worker after every wake-up; no lock, no side effect.
    virtual bool IsActive() = 0;
    // The console display state arrives in the first DWORD of the record's Data.
    virtual void OnPowerSettingChange(ULONG type, const POWERBROADCAST_SETTING* setting) = 0;
    // Declared after the operations: its slot comes last.
    virtual ~DataProvider() = default;

    // Values are written on sensor, IOCTL and notification threads and read
    // lock-free by the worker, hence atomic words.
    std::atomic<int32_t> mDisplayState{3}; // 0 off, 1 on, 2 dimmed, 3 none delivered yet
    std::atomic<float> mValue{1.0f};       // a sensor that has not reported counts as detected
    std::atomic<int32_t> mForcedActive{0}; // non-zero while the display is off
    // Set by Start: the next display state delivered is the one the D0
    // entry's display-state registration delivers.
    std::atomic<bool> mAwaitingDisplayState{false};

    // The device of the latest provider constructed: every provider of the
    // module belongs to the one device, so they share one handle.
    static WDFDEVICE ModuleDevice();

protected:
    static void SetModuleDevice(WDFDEVICE device);

    // A provider's own wait lock; NULL (traced) when it cannot be created.
    static WDFWAITLOCK CreateWaitLock(uint32_t sensorId);
    // Takes `lock`, or `fallback` when the provider has no wait lock: the
    // provider stays in its channel and must still serialise its changes.
    static void AcquireWaitLock(WDFWAITLOCK lock, std::mutex& fallback);
    static void ReleaseWaitLock(WDFWAITLOCK lock, std::mutex& fallback);
    // The console display state in the first DWORD of the record's Data;
    // nothing (traced) for a record too short to carry one.
    static std::optional<DWORD> DisplayStateOf(const POWERBROADCAST_SETTING* setting);

    // Called by Start, before the D0 entry registers for the display state.
    void AwaitDisplayState() { mAwaitingDisplayState.store(true); }
    // Whether this delivery is the first since Start (the registration's).
    bool TakeFirstDisplayState() { return mAwaitingDisplayState.exchange(false); }
    // Sets the forcing for a delivered display state; true when the channel
    // must hear of it: off and on always, anything else only when `first`.
    bool ForceForDisplay(DWORD displayState, bool first);

    // The activity rule both implementations share: a reading strictly above
    // 0.0 (so not 0.0, a negative value or NaN), or the display forcing it.
    bool ValueOrForcedActive() const { return mValue.load() > 0.0f || mForcedActive.load() != 0; }
};
