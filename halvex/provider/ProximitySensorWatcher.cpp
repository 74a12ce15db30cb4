// The proximity-sensor watcher.
#include "halvex/provider/ProximitySensorWatcher.h"

#include "halvex/driver/CaughtException.h"
#include "halvex/driver/DeviceContext.h"
#include "halvex/driver/SensorStateMap.h"
#include "halvex/provider/SuidPattern.h"
#include "platform/com.h"
#include "platform/trace.h"

#include <condition_variable>
#include <cwctype>
#include <stdexcept>
#include <string_view>

using winrt::hstring;
using winrt::Windows::Devices::Enumeration::DeviceWatcherStatus;

namespace {

// What the device id's separators and case may hide of a SUID pattern.
constexpr std::u16string_view kSeparators = u"\\?#{}-";

std::string Text(const hstring& text) {
    return NarrowString(text.str());
}

} // namespace

// Lets handlers in while the watcher lives. Close shuts them out and waits
// for those already inside, so that the watcher, and the providers its
// handlers update, may go.
class ProximitySensorWatcher::HandlerGate {
public:
    bool Enter() {
        std::lock_guard guard(mLock);
        if (mClosed) {
            return false;
        }
        ++mRunning;
        return true;
    }

    void Leave() {
        std::lock_guard guard(mLock);
        if (--mRunning == 0) {
            mIdle.notify_all();
        }
    }

    void Close() {
        std::unique_lock lock(mLock);
        mClosed = true;
        if (mRunning != 0) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                        "Waiting for %u running proximity handlers", mRunning);
        }
        mIdle.wait(lock, [this] { return mRunning == 0; });
    }

private:
    std::mutex mLock;
    std::condition_variable mIdle;
    unsigned mRunning = 0;
    bool mClosed = false;
};

namespace {

// A delegate body that runs `handler` only through the gate.
template <typename Gate, typename Handler> auto Gated(const Gate& gate, Handler handler) {
    return [gate, handler](const auto&... arguments) {
        if (gate->Enter()) {
            handler(arguments...);
            gate->Leave();
        }
    };
}

} // namespace

ProximitySensorWatcher::ProximitySensorWatcher(WDFDEVICE device)
    : mDevice(device), mGate(std::make_shared<HandlerGate>()) {}

ProximitySensorWatcher::~ProximitySensorWatcher() {
    ShutDown();
}

NTSTATUS ProximitySensorWatcher::RegisterEventHandlers() {
    FuncEntry(TRACE_PROVIDER);
    if (!mDeviceWatcher) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER, "No device watcher to register handlers on");
        FuncExit(TRACE_PROVIDER, "0x%08X", static_cast<unsigned>(STATUS_UNSUCCESSFUL));
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    try {
        // The tokens are kept: the subscriptions must end before the watcher does.
        mWatcherTokens.added = mDeviceWatcher.Added(
            Gated(mGate, [this](const auto& sender, const auto& info) { OnAdded(sender, info); }));
        mWatcherTokens.updated = mDeviceWatcher.Updated(Gated(
            mGate, [this](const auto& sender, const auto& update) { OnUpdated(sender, update); }));
        mWatcherTokens.removed = mDeviceWatcher.Removed(Gated(
            mGate, [this](const auto& sender, const auto& update) { OnRemoved(sender, update); }));
        mWatcherTokens.enumerationCompleted = mDeviceWatcher.EnumerationCompleted(
            Gated(mGate, [this](const auto& s, const auto& a) { OnEnumerationCompleted(s, a); }));
        mWatcherTokens.stopped = mDeviceWatcher.Stopped(
            Gated(mGate, [this](const auto& s, const auto& a) { OnStopped(s, a); }));
        status = STATUS_SUCCESS;
    } catch (...) {
        TraceCaughtException(TRACE_PROVIDER);
    }
    FuncExit(TRACE_PROVIDER, "0x%08X", static_cast<unsigned>(status));
    return status;
}

void ProximitySensorWatcher::LoadSensorPatterns() {
    std::vector<SensorPattern> patterns;
    PDEVICE_CONTEXT context = DeviceGetContext(mDevice);
    for (ULONG i = 0;
         context != nullptr && context->Channels != nullptr && i < context->ConfiguredCount; ++i) {
        const CHANNEL_INFO& channel = context->Channels[i];
        if (channel.Sensors == nullptr || channel.SensorCount == 0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                        "Channel %u has no sensors; no later channel is matched", i);
            break;
        }
        // Only the first sensor of a channel is matched, whatever its type.
        const SENSOR_INFO& first = channel.Sensors[0];
        if (first.Valid == 0) {
            continue;
        }
        if (first.SuidLow == 0 && first.SuidHigh == 0) {
            // Without a SUID the pattern would be "00", which the device ids
            // of sensors that belong to no channel hold as well.
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                        "No proximity sensor is taken for channel %u: its first sensor has no SUID",
                        i);
            continue;
        }
        std::string pattern = FormatSuidPattern(first.SuidLow, first.SuidHigh);
        patterns.push_back({std::u16string(pattern.begin(), pattern.end()), first.ID});
    }
    std::lock_guard guard(mPatternLock);
    mPatterns = std::move(patterns);
}

NTSTATUS ProximitySensorWatcher::GetSensorIdFromDeviceId(const WCHAR* deviceId,
                                                         uint32_t* sensorId) {
    *sensorId = 0;
    std::u16string normalised;
    for (const WCHAR* c = deviceId; c != nullptr && *c != 0; ++c) {
        if (kSeparators.find(*c) == std::u16string_view::npos) {
            normalised += static_cast<WCHAR>(std::towlower(static_cast<wint_t>(*c)));
        }
    }
    std::lock_guard guard(mPatternLock);
    for (const SensorPattern& candidate : mPatterns) {
        if (normalised.find(candidate.pattern) != std::u16string::npos) {
            *sensorId = candidate.sensorId;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

bool ProximitySensorWatcher::UpdateReadingState(const hstring& deviceId, bool detected) {
    if (mDisplayOn.load() != 1) {
        // The display forcing stands in for the sensor meanwhile. Dropping the
        // reading would leave the channel, once the display is on, with the
        // state from before it went off for as long as the sensor stays.
        mKeptReadings.insert_or_assign(deviceId, detected);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                    "Display is off: reading of %s kept until it comes on", Text(deviceId).c_str());
        return false;
    }
    mKeptReadings.erase(deviceId);
    mReadingStates.insert_or_assign(deviceId, detected ? 1u : 0u);
    // Compared with what the providers hold, not with the last reading passed
    // on: an IOCTL may have set the same sensor ID since. An id that matches
    // no sensor ID goes on, to be reported.
    uint32_t sensorId = 0;
    return !NT_SUCCESS(GetSensorIdFromDeviceId(deviceId.c_str(), &sensorId)) ||
           SensorStateDiffers(sensorId, detected ? 1 : 0);
}

void ProximitySensorWatcher::PassKeptReadings() {
    FuncEntry(TRACE_PROVIDER);
    // Shut out with the handlers: the device cleanup waits for it, too,
    // before the providers go.
    if (mGate->Enter()) {
        try {
            std::lock_guard reading(mReadingMutex);
            std::lock_guard maps(mMapLock);
            // A display that went off again meanwhile keeps them.
            if (mDisplayOn.load() == 1) {
                std::map<hstring, bool> kept;
                kept.swap(mKeptReadings);
                for (const auto& [id, detected] : kept) {
                    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                                "Display is on: the reading of %s kept while it was off goes on",
                                Text(id).c_str());
                    PassReadingLocked(id, detected);
                }
            }
        } catch (...) {
            TraceCaughtException(TRACE_PROVIDER);
        }
        mGate->Leave();
    }
    FuncExitVoid(TRACE_PROVIDER);
}

void ProximitySensorWatcher::PassReadingLocked(const hstring& id, bool detected) {
    if (!UpdateReadingState(id, detected)) {
        return;
    }
    uint32_t sensorId = 0;
    if (!NT_SUCCESS(GetSensorIdFromDeviceId(id.c_str(), &sensorId))) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                    "Proximity sensor %s matches no configured sensor", Text(id).c_str());
    } else if (!UpdateSensorState(sensorId, detected ? 1 : 0)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                    "UpdateSensorState found no provider for sensor %u", sensorId);
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                    "Proximity sensor %s reads %s: sensor %u set to %u", Text(id).c_str(),
                    detected ? "near" : "far", sensorId, detected ? 1u : 0u);
    }
}

void ProximitySensorWatcher::StartWatching() {
    FuncEntry(TRACE_PROVIDER);
    LoadSensorPatterns();
    // A watcher that did not start must not cost the D0 entry what follows
    // it (the display-state registration): the failure ends here.
    try {
        std::lock_guard guard(mStartLock);
        mStartWanted = true;
        switch (mDeviceWatcher.Status()) {
        case DeviceWatcherStatus::Started:
        case DeviceWatcherStatus::EnumerationCompleted:
            // Its stop failed: it has reported all along, and a second start
            // would only be refused.
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                        "Proximity sensor watcher still runs: not started again");
            break;
        case DeviceWatcherStatus::Stopping:
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                        "Proximity sensor watcher still stopping: started once it has stopped");
            break;
        default:
            StartDeviceWatcherLocked();
            break;
        }
    } catch (...) {
        TraceCaughtException(TRACE_PROVIDER);
    }
    FuncExitVoid(TRACE_PROVIDER);
}

void ProximitySensorWatcher::StopWatching() {
    std::lock_guard guard(mStartLock);
    mStartWanted = false;
    mDeviceWatcher.Stop();
}

void ProximitySensorWatcher::StartDeviceWatcherLocked() {
    ++mEnumeration;
    mDeviceWatcher.Start();
}

void ProximitySensorWatcher::ShutDown() {
    FuncEntry(TRACE_PROVIDER);
    if (mDeviceWatcher) {
        try {
            std::lock_guard guard(mStartLock);
            mStartWanted = false;
            DeviceWatcherStatus status = mDeviceWatcher.Status();
            if (status == DeviceWatcherStatus::Started ||
                status == DeviceWatcherStatus::EnumerationCompleted) {
                mDeviceWatcher.Stop();
            }
        } catch (...) {
            TraceCaughtException(TRACE_PROVIDER);
        }
        mDeviceWatcher.Added(mWatcherTokens.added);
        mDeviceWatcher.Updated(mWatcherTokens.updated);
        mDeviceWatcher.Removed(mWatcherTokens.removed);
        mDeviceWatcher.EnumerationCompleted(mWatcherTokens.enumerationCompleted);
        mDeviceWatcher.Stopped(mWatcherTokens.stopped);
        mWatcherTokens = {};
    }
    // A handler in the middle of its run may still subscribe a sensor; once
    // none runs, none will, and the sensors' subscriptions can go.
    mGate->Close();
    std::map<std::u16string, ReadingSubscription> subscriptions;
    {
        std::lock_guard maps(mMapLock);
        subscriptions.swap(mReadingSubscriptions);
    }
    for (const auto& [id, subscription] : subscriptions) {
        subscription.sensor.ReadingChanged(subscription.token);
    }
    FuncExitVoid(TRACE_PROVIDER);
}

void ProximitySensorWatcher::OnAdded(const DeviceWatcher&, const DeviceInformation& information) {
    FuncEntry(TRACE_PROVIDER);
    try {
        std::lock_guard added(mAddedMutex);
        std::lock_guard maps(mMapLock);
        const hstring id = information.Id();
        uint32_t sensorId = 0;
        if (id.empty()) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER, "Added device has no device id");
        } else if (!(mLastSensor = ProximitySensor::FromId(id))) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER, "Device %s is not a proximity sensor",
                        Text(id).c_str());
        } else if (!NT_SUCCESS(GetSensorIdFromDeviceId(id.c_str(), &sensorId))) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                        "Proximity sensor %s matches no configured sensor", Text(id).c_str());
        } else {
            mSensors.try_emplace(id.str(), mLastSensor);
            mReportedIn[id.str()] = mEnumeration.load();
            // One subscription per sensor, on the object of its latest
            // arrival: a watcher started again reports the sensors it reported
            // before, and one that went and came back while the watcher was
            // stopped (no removal reached us) reads through its new object
            // only. The new subscription comes first, so no reading falls
            // between the two.
            std::u16string deviceId = id.str();
            winrt::event_token token = mLastSensor.ReadingChanged(
                Gated(mGate, [this, deviceId](const auto& sensor, const auto& arguments) {
                    OnReadingChanged(sensor, arguments, deviceId);
                }));
            auto [subscription, inserted] = mReadingSubscriptions.try_emplace(
                deviceId, ReadingSubscription{mLastSensor, token});
            if (!inserted) {
                subscription->second.sensor.ReadingChanged(subscription->second.token);
                subscription->second = {mLastSensor, token};
            }
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                        "Proximity sensor %s added as sensor %u", Text(id).c_str(), sensorId);
        }
    } catch (...) {
        TraceCaughtException(TRACE_PROVIDER);
    }
    FuncExitVoid(TRACE_PROVIDER);
}

void ProximitySensorWatcher::OnReadingChanged(const ProximitySensor&,
                                              const ReadingChangedEventArgs& arguments,
                                              const std::u16string& deviceId) {
    FuncEntry(TRACE_PROVIDER);
    try {
        std::lock_guard reading(mReadingMutex);
        std::lock_guard maps(mMapLock);
        auto sensor = mSensors.find(deviceId);
        if (sensor != mSensors.end() && arguments) {
            const bool detected = arguments.Reading().IsDetected();
            PassReadingLocked(sensor->second.DeviceId(), detected);
            for (const auto& [key, state] : mReadingStates) {
                TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_PROVIDER, "Reading state %s: %u",
                            Text(key).c_str(), state);
            }
        }
    } catch (...) {
        TraceCaughtException(TRACE_PROVIDER);
    }
    FuncExitVoid(TRACE_PROVIDER);
}

void ProximitySensorWatcher::OnRemoved(const DeviceWatcher&,
                                       const DeviceInformationUpdate& update) {
    FuncEntry(TRACE_PROVIDER);
    try {
        std::lock_guard removed(mRemovedMutex);
        std::lock_guard maps(mMapLock);
        RemoveSensorLocked(update.Id());
    } catch (...) {
        TraceCaughtException(TRACE_PROVIDER);
    }
    FuncExitVoid(TRACE_PROVIDER);
}

void ProximitySensorWatcher::RemoveSensorLocked(const hstring& id) {
    uint32_t sensorId = 0;
    if (!NT_SUCCESS(GetSensorIdFromDeviceId(id.c_str(), &sensorId))) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                    "Removed device %s matches no configured sensor", Text(id).c_str());
    } else if (!UpdateSensorState(sensorId, 1)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                    "UpdateSensorState found no provider for sensor %u", sensorId);
    } else {
        // Without its reading, the safe assumption is that something is near.
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                    "Proximity sensor %s removed: sensor %u set to 1", Text(id).c_str(), sensorId);
    }
    mSensors.erase(id.str());
    mReportedIn.erase(id.str());
    mReadingStates.erase(id);
    mKeptReadings.erase(id);
    auto subscription = mReadingSubscriptions.find(id.str());
    if (subscription != mReadingSubscriptions.end()) {
        subscription->second.sensor.ReadingChanged(subscription->second.token);
        mReadingSubscriptions.erase(subscription);
    }
}

void ProximitySensorWatcher::OnUpdated(const DeviceWatcher&,
                                       const DeviceInformationUpdate& update) {
    try {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER, "Device %s updated",
                    Text(update.Id()).c_str());
    } catch (...) {
        TraceCaughtException(TRACE_PROVIDER);
    }
}

void ProximitySensorWatcher::OnEnumerationCompleted(const DeviceWatcher&, const IInspectable&) {
    FuncEntry(TRACE_PROVIDER);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER, "Proximity sensor enumeration completed");
    try {
        std::lock_guard removed(mRemovedMutex);
        std::lock_guard maps(mMapLock);
        // A sensor that went while the watcher was stopped is not reported
        // again, and no removal tells of it: it is gone all the same.
        const unsigned enumeration = mEnumeration.load();
        std::vector<std::u16string> gone;
        for (const auto& [id, sensor] : mSensors) {
            auto reported = mReportedIn.find(id);
            if (reported == mReportedIn.end() || reported->second != enumeration) {
                gone.push_back(id);
            }
        }
        for (const std::u16string& id : gone) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                        "Proximity sensor %s was not reported again", NarrowString(id).c_str());
            RemoveSensorLocked(hstring(id));
        }
    } catch (...) {
        TraceCaughtException(TRACE_PROVIDER);
    }
    FuncExitVoid(TRACE_PROVIDER);
}

void ProximitySensorWatcher::OnStopped(const DeviceWatcher&, const IInspectable&) {
    FuncEntry(TRACE_PROVIDER);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER, "Proximity sensor watcher stopped");
    try {
        std::lock_guard guard(mStartLock);
        // A D0 entry found the watcher still stopping: its start was left to now.
        if (mStartWanted && mDeviceWatcher.Status() == DeviceWatcherStatus::Stopped) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                        "Proximity sensor watcher started now that it has stopped");
            StartDeviceWatcherLocked();
        }
    } catch (...) {
        TraceCaughtException(TRACE_PROVIDER);
    }
    FuncExitVoid(TRACE_PROVIDER);
}

NTSTATUS CreateProximitySensorWatcher(WDFDEVICE device) {
    FuncEntry(TRACE_PROVIDER);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDEVICE_CONTEXT context = nullptr;
    try {
        context = DeviceGetContext(device);
        if (context == nullptr) {
            throw std::runtime_error("Device Context is NULL");
        }
        context->ProximityWatcher = new ProximitySensorWatcher(device);
        const hstring selector =
            winrt::Windows::Devices::Sensors::ProximitySensor::GetDeviceSelector();
        if (selector.empty()) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                        "ProximitySensor::GetDeviceSelector returned an empty selector");
        } else {
            context->ProximityWatcher->mDeviceWatcher =
                winrt::Windows::Devices::Enumeration::DeviceInformation::CreateWatcher(selector);
            if (!context->ProximityWatcher->mDeviceWatcher) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                            "DeviceInformation::CreateWatcher returned no watcher");
            } else {
                status = STATUS_SUCCESS;
            }
        }
    } catch (...) {
        TraceCaughtException(TRACE_PROVIDER);
    }
    if (!NT_SUCCESS(status) && context != nullptr && context->ProximityWatcher != nullptr) {
        context->ProximityWatcher->mDeviceWatcher = nullptr;
    }
    FuncExit(TRACE_PROVIDER, "0x%08X", static_cast<unsigned>(status));
    return status;
}
