// Turning the configured channel records into channel objects: a notifier, a
// mapping table and a worker per channel, with one provider per sensor.
#pragma once

#include "halvex/driver/ChannelConfig.h"
#include "halvex/driver/DeviceContext.h"
#include "halvex/driver/EventHandler.h"
#include "halvex/driver/Interpreter.h"
#include "halvex/notifier/DataNotifier.h"
#include "platform/types.h"
#include "platform/wdf.h"

// FALSE when count is 0; otherwise the table of `count` empty slots.
BOOLEAN AllocateChannelObjects(ULONG Count, PDEVICE_CONTEXT DeviceContext);
// FALSE only when the table or the records are missing.
BOOLEAN CreateChannelObjects(PCHANNEL_INFO Channels, ULONG Count, EventHandler** ChannelObjects,
                             WDFDEVICE Device);
DataNotifier* CreateNotifier(PCHANNEL_INFO Channel, WDFDEVICE Device);
Interpreter* CreateInterpreter(PCHANNEL_INFO Channel);
// Always STATUS_SUCCESS; an allocation failure is raised.
NTSTATUS AttachSensors(PCHANNEL_INFO Channel, EventHandler* Handler, WDFDEVICE Device);
// Traces the configuration; FALSE when it could not.
BOOLEAN LogSarConfiguration(WDFDEVICE Device);

// Takes the sensor-state entries of the handler's providers out of the map,
// before the providers are deleted.
void RemoveSensorStateEntries(EventHandler* Handler);
