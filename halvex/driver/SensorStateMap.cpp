// The sensor-state map and UpdateSensorState.
#include "halvex/driver/SensorStateMap.h"

#include "halvex/provider/AppsDataProvider.h"
#include "platform/trace.h"
#include "platform/win32.h"

SensorStateMap InitSensorStateMap() {
    return SensorStateMap{};
}

SensorStateMap gSensorStateMap = InitSensorStateMap();

BOOLEAN UpdateSensorState(ULONG SensorId, LONG State) {
    FuncEntry(TRACE_DRIVER);
    if (gSensorStateMap.empty()) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "No APPS sensor is configured");
        FuncExit(TRACE_DRIVER, "returnValue=%d", FALSE);
        return FALSE;
    }
    auto range = gSensorStateMap.equal_range(SensorId);
    if (range.first == range.second) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "No APPS sensor with ID %u",
                    static_cast<unsigned>(SensorId));
        FuncExit(TRACE_DRIVER, "returnValue=%d", FALSE);
        return FALSE;
    }
    const bool detected = State > 0;
    for (auto it = range.first; it != range.second; ++it) {
        AppsDataProvider* provider = it->second;
        if (provider == nullptr) {
            continue;
        }
        provider->AcquireLock();
        const float oldValue = provider->mValue.load();
        provider->mValue.store(detected ? 1.0f : 0.0f);
        // Compared with whether the old value was non-zero: a provider still at
        // its initial 1.0 does not signal a first "detected".
        if (provider->mSensorEvent != nullptr && detected != (oldValue != 0.0f)) {
            SetEvent(provider->mSensorEvent);
        }
        provider->ReleaseLock();
    }
    FuncExit(TRACE_DRIVER, "returnValue=%d", TRUE);
    return TRUE;
}

BOOLEAN SensorStateDiffers(ULONG SensorId, LONG State) {
    auto range = gSensorStateMap.equal_range(SensorId);
    if (range.first == range.second) {
        return TRUE;
    }
    const bool detected = State > 0;
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second != nullptr && detected != (it->second->mValue.load() != 0.0f)) {
            return TRUE;
        }
    }
    return FALSE;
}
