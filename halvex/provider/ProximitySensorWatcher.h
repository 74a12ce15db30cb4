// Follows the proximity sensors the operating system exposes, matches each to
// the channel whose first sensor's SUID its device id carries, and passes
// every change of its detected state to UpdateSensorState while the display
// is on; the latest reading of each sensor while it is off is kept, and
// passed on when it comes on. A sensor that goes away counts as detected,
// display or not.
#pragma once

#include "platform/types.h"
#include "platform/wdf.h"
#include "platform/winrt/device_enumeration.h"
#include "platform/winrt/proximity_sensor.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ProximitySensorWatcher {
public:
    using DeviceWatcher = winrt::Windows::Devices::Enumeration::DeviceWatcher;
    using DeviceInformation = winrt::Windows::Devices::Enumeration::DeviceInformation;
    using DeviceInformationUpdate = winrt::Windows::Devices::Enumeration::DeviceInformationUpdate;
    using ProximitySensor = winrt::Windows::Devices::Sensors::ProximitySensor;
    using ReadingChangedEventArgs =
        winrt::Windows::Devices::Sensors::ProximitySensorReadingChangedEventArgs;
    using IInspectable = winrt::Windows::Foundation::IInspectable;

    explicit ProximitySensorWatcher(WDFDEVICE device);
    // Shuts the handlers out first, should the device cleanup not have.
    ~ProximitySensorWatcher();
    ProximitySensorWatcher(const ProximitySensorWatcher&) = delete;
    ProximitySensorWatcher& operator=(const ProximitySensorWatcher&) = delete;

    // Subscribes the device watcher's five events; 0xC0000001 without a
    // device watcher or when a subscription fails.
    NTSTATUS RegisterEventHandlers();
    // For a starting D0 entry: takes the channels' SUID patterns from the
    // configuration and starts the device watcher. One that still runs (its
    // stop failed) is left running; one still stopping starts once it has
    // stopped. Never raises: a failure is traced.
    void StartWatching();
    // For a stopping D0 exit; a failure of the device watcher's stop is raised.
    void StopWatching();
    // 0 and the configured "ID" of the first channel whose first sensor's
    // SUID pattern occurs in the device id (separators "\?#{}-" removed, lower
    // case); 0xC0000001 otherwise.
    NTSTATUS GetSensorIdFromDeviceId(const WCHAR* deviceId, uint32_t* sensorId);
    // Under mMapLock: whether a reading is passed on. While the display is off
    // it is kept, the latest per sensor, for when it comes on; otherwise it is
    // passed on when it differs from what the sensor's providers hold now
    // (an IOCTL may have set the same sensor ID since the last reading).
    bool UpdateReadingState(const winrt::hstring& deviceId, bool detected);
    // Called by an APPS provider once it has opened the display gate: the
    // readings kept while the display was off are passed on.
    void PassKeptReadings();

    // For the device cleanup, before the providers go: stops the device
    // watcher, revokes every subscription and waits until no handler runs.
    // No handler reaches this object afterwards. Safe to call again.
    void ShutDown();

    void OnAdded(const DeviceWatcher& sender, const DeviceInformation& information);
    void OnUpdated(const DeviceWatcher& sender, const DeviceInformationUpdate& update);
    void OnRemoved(const DeviceWatcher& sender, const DeviceInformationUpdate& update);
    void OnEnumerationCompleted(const DeviceWatcher& sender, const IInspectable& arguments);
    void OnStopped(const DeviceWatcher& sender, const IInspectable& arguments);
    void OnReadingChanged(const ProximitySensor& sensor, const ReadingChangedEventArgs& arguments,
                          const std::u16string& deviceId);

    std::mutex mAddedMutex;
    std::mutex mRemovedMutex;
    std::mutex mReadingMutex;
    WDFDEVICE mDevice;
    DeviceWatcher mDeviceWatcher{nullptr}; // null until created, and after a failed creation
    // 1 while readings are accepted; written by the APPS providers on display
    // changes, read by the reading handler.
    std::atomic<uint32_t> mDisplayOn{0};
    std::map<std::u16string, ProximitySensor> mSensors;
    std::map<winrt::hstring, uint32_t> mReadingStates;
    // Under mMapLock: the latest reading of each sensor that came while the
    // display was off, until the display comes on or the sensor goes.
    std::map<winrt::hstring, bool> mKeptReadings;
    ProximitySensor mLastSensor{nullptr};

private:
    class HandlerGate;
    struct WatcherTokens {
        winrt::event_token added, updated, removed, enumerationCompleted, stopped;
    };
    struct ReadingSubscription {
        ProximitySensor sensor;
        winrt::event_token token;
    };
    struct SensorPattern {
        std::u16string pattern;
        uint32_t sensorId;
    };

    // Takes each channel's first-sensor SUID pattern from the configuration,
    // before the device watcher starts and any handler can run.
    void LoadSensorPatterns();
    // Under mStartLock, with the device watcher stopped: starts an enumeration.
    void StartDeviceWatcherLocked();
    // Under mRemovedMutex and mMapLock: the sensor counts as detected, its
    // entries and its subscription go.
    void RemoveSensorLocked(const winrt::hstring& deviceId);
    // Under mReadingMutex and mMapLock: a reading of the sensor `deviceId`
    // goes through the display gate to the sensor ID it stands for.
    void PassReadingLocked(const winrt::hstring& deviceId, bool detected);

    // The three handlers share both maps, so one lock guards them, taken after
    // the handler's own mutex and held across UpdateSensorState (watcher, then
    // provider: nothing takes them the other way round).
    std::mutex mMapLock;
    // Outlives this object in every subscribed delegate: a delegate the
    // platform calls after its revocation finds it closed.
    std::shared_ptr<HandlerGate> mGate;
    WatcherTokens mWatcherTokens;
    // One ReadingChanged subscription per device id, under mMapLock.
    std::map<std::u16string, ReadingSubscription> mReadingSubscriptions;
    // The channel records are the device's memory and go before the device
    // cleanup shuts the handlers out: the handlers match against this copy.
    std::mutex mPatternLock;
    std::vector<SensorPattern> mPatterns;
    // Serialises the device watcher's start and stop between the D0 callbacks
    // and the Stopped handler.
    std::mutex mStartLock;
    bool mStartWanted = false; // under mStartLock: a D0 entry came, no D0 exit since
    // Counts the device watcher's starts. A start's enumeration reports every
    // sensor present, and its handlers run before the watcher is Stopped, so
    // they always see the count of their own start.
    std::atomic<unsigned> mEnumeration{0};
    // Under mMapLock: for each id of mSensors, the enumeration that last
    // reported it.
    std::map<std::u16string, unsigned> mReportedIn;
};

// Creates the device's watcher into DEVICE_CONTEXT.ProximityWatcher and its
// device watcher. On a failure (0xC0000001) the watcher stays, without a
// device watcher.
NTSTATUS CreateProximitySensorWatcher(WDFDEVICE device);
