// Channel construction: one EventHandler per valid channel record, with the
// record's notifier, mapping table and sensor providers.
#include "halvex/driver/Channels.h"

#include "halvex/driver/CaughtException.h"
#include "halvex/driver/SensorStateMap.h"
#include "halvex/notifier/ModemDataNotifier.h"
#include "halvex/notifier/WlanDataNotifier.h"
#include "halvex/notifier/WwanInterfaceTracking.h"
#include "halvex/provider/AppsDataProvider.h"
#include "halvex/provider/SlpiDataProvider.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>

namespace {

const char* ChannelTypeName(ULONG type) {
    return type == ChannelTypeModem ? "MODEM" : "WLAN";
}
const char* SensorTypeName(ULONG type) {
    return type == SensorTypeSlpi ? "SLPI" : "APPS";
}

// A channel whose construction raised part-way takes no slot and must leave
// nothing behind: no map entry may point at a provider that is about to go.
void ReleasePartialChannel(std::unique_ptr<EventHandler>& handler,
                           std::unique_ptr<DataNotifier>& notifier,
                           std::unique_ptr<Interpreter>& table) {
    if (handler) {
        RemoveSensorStateEntries(handler.get());
        handler.reset(); // deletes its providers, table and notifier
    }
    table.reset();
    notifier.reset();
}

// The modem is shared among the MODEM channels: one that has not read its
// sensors since its start asks for what its table gives a detected sensor.
void AskForDetectedUntilComputed(ModemDataNotifier& notifier, const Interpreter& table) {
    constexpr ULONG kSomeSensorActive = 1;
    LONG detected = BACKOFF_INDEX_NONE;
    if (table.GetBackoffIndex(kSomeSensorActive, &detected) && detected != BACKOFF_INDEX_NONE) {
        notifier.SetIndexUntilComputed(detected);
    }
}

} // namespace

BOOLEAN AllocateChannelObjects(ULONG Count, PDEVICE_CONTEXT DeviceContext) {
    FuncEntry(TRACE_DEVICE);
    if (Count == 0 || DeviceContext == nullptr) {
        FuncExit(TRACE_DEVICE, "FALSE");
        return FALSE;
    }
    // Not raised: device add reports a table it cannot get as a failure of its own.
    DeviceContext->ChannelObjects = new (std::nothrow) EventHandler* [Count] {};
    if (DeviceContext->ChannelObjects == nullptr) {
        FuncExit(TRACE_DEVICE, "FALSE");
        return FALSE;
    }
    FuncExit(TRACE_DEVICE, "TRUE");
    return TRUE;
}

DataNotifier* CreateNotifier(PCHANNEL_INFO Channel, WDFDEVICE Device) {
    switch (Channel->ChannelType) {
    case ChannelTypeModem:
        return new ModemDataNotifier();
    case ChannelTypeWlan:
        return new WlanDataNotifier(Device);
    default:
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "Invalid channel type %u",
                    Channel->ChannelType);
        return nullptr;
    }
}

Interpreter* CreateInterpreter(PCHANNEL_INFO Channel) {
    auto* table = new Interpreter();
    for (ULONG i = 0; i < Channel->SarMappingCount; ++i) {
        const SAR_DATA_MAPPING& entry = Channel->SarDataMapping[i];
        table->SetMapping(entry.StateMask, entry.BackoffIndex);
    }
    return table;
}

NTSTATUS AttachSensors(PCHANNEL_INFO Channel, EventHandler* Handler, WDFDEVICE Device) {
    FuncEntry(TRACE_DEVICE);
    for (ULONG i = 0; i < Channel->SensorCount; ++i) {
        const SENSOR_INFO& sensor = Channel->Sensors[i];
        if (sensor.Valid == 0) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "Sensor %u is not valid, skipped",
                        i);
            continue;
        }
        switch (sensor.Type) {
        case SensorTypeApps: {
            auto provider =
                std::make_unique<AppsDataProvider>(sensor.ID, Handler->GetSensorEvent(), Device);
            // The handler takes it first: should the map's growth fail, the
            // half-built channel still deletes the provider with its own.
            Handler->AddSensor(provider.get());
            AppsDataProvider* attached = provider.release();
            gSensorStateMap.insert({sensor.ID, attached});
            break;
        }
        case SensorTypeSlpi: {
            auto provider = std::make_unique<SlpiDataProvider>(
                sensor.ID, Handler->GetSensorEvent(), sensor.SuidLow, sensor.SuidHigh, Device);
            Handler->AddSensor(provider.get());
            provider.release();
            break;
        }
        default:
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "Sensor %u has unknown type %u", i,
                        sensor.Type);
            break;
        }
    }
    FuncExit(TRACE_DEVICE, "STATUS_SUCCESS");
    return STATUS_SUCCESS;
}

BOOLEAN CreateChannelObjects(PCHANNEL_INFO Channels, ULONG Count, EventHandler** ChannelObjects,
                             WDFDEVICE Device) {
    FuncEntry(TRACE_DEVICE);
    if (ChannelObjects == nullptr || Channels == nullptr) {
        FuncExit(TRACE_DEVICE, "FALSE");
        return FALSE;
    }
    std::unique_ptr<DataNotifier> notifier;
    std::unique_ptr<Interpreter> table;
    std::unique_ptr<EventHandler> handler;
    try {
        PDEVICE_CONTEXT deviceContext = DeviceGetContext(Device);
        if (deviceContext == nullptr) {
            throw std::runtime_error("Device Context is NULL");
        }
        ULONG built = 0;
        bool modemBuilt = false;
        for (ULONG i = 0; i < Count; ++i) {
            PCHANNEL_INFO record = &Channels[i];
            if (record->ChannelType == ChannelTypeWlan &&
                (deviceContext->WlanAntCount == 0 || deviceContext->WlanAntCount > 2)) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                            "Channel %u is WLAN but WlanAntCount is %u", i,
                            deviceContext->WlanAntCount);
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                            "Skipping channel %u: WlanAntCount %u is not 1 or 2", i,
                            deviceContext->WlanAntCount);
                continue;
            }
            if (record->Valid == 0) {
                continue;
            }

            notifier.reset(CreateNotifier(record, Device));
            if (!notifier) {
                throw std::runtime_error("Failed to create notifier object!");
            }
            table.reset(CreateInterpreter(record));
            if (!table) {
                throw std::runtime_error("Failed to create interpreter object!");
            }
            if (record->ChannelType == ChannelTypeModem) {
                AskForDetectedUntilComputed(static_cast<ModemDataNotifier&>(*notifier), *table);
            }
            handler =
                std::make_unique<EventHandler>(notifier.get(), table.get(), record->ChannelType);
            // The handler owns both from here on.
            DataNotifier* channelNotifier = notifier.release();
            table.release();

            if (!NT_SUCCESS(AttachSensors(record, handler.get(), Device))) {
                RemoveSensorStateEntries(handler.get());
                handler.reset();
                continue;
            }
            channelNotifier->ResendDataEvent = handler->GetNotifierEvent();
            ChannelObjects[built++] = handler.release();
            if (record->ChannelType == ChannelTypeModem) {
                modemBuilt = true;
            }
        }
        if (modemBuilt && RegisterIpInterfaceChange() != 0) {
            throw std::runtime_error("Failed to Register for MBB Event!");
        }
    } catch (...) {
        TraceCaughtException(TRACE_DEVICE);
        ReleasePartialChannel(handler, notifier, table);
    }
    FuncExit(TRACE_DEVICE, "TRUE");
    return TRUE;
}

void RemoveSensorStateEntries(EventHandler* Handler) {
    if (Handler == nullptr) {
        return;
    }
    // Each provider is looked up under its own ID rather than the whole map
    // walked per channel: a device of many channels is released in time
    // linear in its sensors. Cleanup removes channels in attachment order, so
    // a provider's entry is the first under its ID.
    for (DataProvider* provider : Handler->GetSensorList()) {
        auto* apps = dynamic_cast<AppsDataProvider*>(provider);
        if (apps == nullptr) {
            continue;
        }
        auto [first, last] = gSensorStateMap.equal_range(apps->mSensorId);
        auto it =
            std::find_if(first, last, [&](const auto& entry) { return entry.second == apps; });
        if (it != last) {
            gSensorStateMap.erase(it);
        }
    }
}

BOOLEAN LogSarConfiguration(WDFDEVICE Device) {
    FuncEntry(TRACE_DEVICE);
    try {
        PDEVICE_CONTEXT deviceContext = DeviceGetContext(Device);
        if (deviceContext == nullptr) {
            throw std::runtime_error("Device Context is NULL");
        }
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE,
                    "NumberOfChannels %u, WlanAntCount %u, ConfiguredCount %u",
                    deviceContext->NumberOfChannels, deviceContext->WlanAntCount,
                    deviceContext->ConfiguredCount);
        if (deviceContext->Channels == nullptr) {
            throw std::runtime_error("Channel array is NULL");
        }
        for (ULONG i = 0; i < deviceContext->ConfiguredCount; ++i) {
            const CHANNEL_INFO& channel = deviceContext->Channels[i];
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE,
                        "Channel %u: type %s, SarMappingCount %u", i,
                        ChannelTypeName(channel.ChannelType), channel.SarMappingCount);
            for (ULONG m = 0; m < channel.SarMappingCount && channel.SarDataMapping != nullptr;
                 ++m) {
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE,
                            "Channel %u mapping: state mask %u -> back-off index %d", i,
                            channel.SarDataMapping[m].StateMask,
                            channel.SarDataMapping[m].BackoffIndex);
            }
            for (ULONG s = 0; s < channel.SensorCount && channel.Sensors != nullptr; ++s) {
                const SENSOR_INFO& sensor = channel.Sensors[s];
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE,
                            "Channel %u sensor %u: type %s, ID %u", i, s,
                            SensorTypeName(sensor.Type), sensor.ID);
                if (channel.ChannelType == ChannelTypeWlan && channel.WlanAntennaInfo != nullptr) {
                    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE,
                                "Channel %u sensor %u: WlanAntennaInfo 0x%X", i, s,
                                channel.WlanAntennaInfo[s]);
                }
            }
        }
    } catch (...) {
        TraceCaughtException(TRACE_DEVICE);
        FuncExit(TRACE_DEVICE, "FALSE");
        return FALSE;
    }
    FuncExit(TRACE_DEVICE, "TRUE");
    return TRUE;
}
