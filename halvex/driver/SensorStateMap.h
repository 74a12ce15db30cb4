// The process-wide map from an APPS sensor's registry "ID" to its providers,
// and the one way a sensor state is set from outside (IOCTL or watcher).
#pragma once

#include "platform/types.h"

#include <map>

class AppsDataProvider;

// Filled only during device add, before anything can read it, so it is read
// without a lock. Several providers under one ID keep their attachment order.
using SensorStateMap = std::multimap<ULONG, AppsDataProvider*>;
extern SensorStateMap gSensorStateMap;

SensorStateMap InitSensorStateMap();

// Sets every provider registered under `SensorId` to detected (State > 0) or
// not, signalling its channel when its value changed. FALSE when no provider
// has that ID.
BOOLEAN UpdateSensorState(ULONG SensorId, LONG State);
// Whether setting `SensorId` to `State` would change a provider registered
// under it (one holds the other on/off state), or no provider has that ID.
BOOLEAN SensorStateDiffers(ULONG SensorId, LONG State);
