// The provider of an APPS sensor: a proximity sensor exposed to applications,
// or a sensor whose state a client sets through the IOCTL interface. Its value
// is pushed in through UpdateSensorState; it reads nothing itself.
#pragma once

#include "halvex/provider/DataProvider.h"
#include "platform/types.h"
#include "platform/wdf.h"

#include <cstdint>
#include <mutex>

class AppsDataProvider : public DataProvider {
public:
    // Never fails: a wait lock that cannot be created is traced, and the
    // provider then serialises on a lock of its own.
    AppsDataProvider(uint32_t sensorId, HANDLE sensorEvent, WDFDEVICE device);
    ~AppsDataProvider() override;

    bool Start() override;
    bool Stop() override;
    bool IsActive() override;
    // Display off forces the sensor active and closes the watcher's gate; on
    // releases it and opens the gate; both signal the channel. Dimmed and
    // other states are only remembered, but the first state since a start
    // counts as on unless it is off.
    void OnPowerSettingChange(ULONG type, const POWERBROADCAST_SETTING* setting) override;

    // The provider's lock, as UpdateSensorState takes it around a value change.
    void AcquireLock();
    void ReleaseLock();

    uint32_t mSensorId;
    HANDLE mSensorEvent; // the channel's sensor-changed event, owned by its EventHandler
    WDFWAITLOCK mLock;   // NULL when its creation failed

private:
    std::mutex mFallbackLock;
};
