#include "host/machine/DriverView.h"
#include "host/machine/Machine.h"

#include "dmf/framework/DmfObject.h"
#include "halvex/driver/DeviceContext.h"

namespace host {

std::optional<DeviceView> ReadDeviceView(Machine& machine) {
    auto device = static_cast<WDFDEVICE>(machine.Device());
    if (device == nullptr) {
        return std::nullopt;
    }
    // The framework stand-in knows context types by name, so the host's own
    // declaration of DEVICE_CONTEXT finds the driver's context.
    const DEVICE_CONTEXT* context = DeviceGetContext(device);
    if (context == nullptr) {
        return std::nullopt;
    }
    DeviceView view;
    view.numberOfChannels = context->NumberOfChannels;
    view.wlanAntCount = context->WlanAntCount;
    view.configuredCount = context->ConfiguredCount;
    if (context->Channels != nullptr) {
        for (ULONG i = 0; i < context->ConfiguredCount; ++i) {
            const CHANNEL_INFO& record = context->Channels[i];
            ChannelView channel;
            channel.type = record.ChannelType;
            channel.valid = record.Valid != 0;
            if (record.SarDataMapping != nullptr) {
                for (ULONG m = 0; m < record.SarMappingCount; ++m) {
                    channel.mapping.emplace_back(record.SarDataMapping[m].StateMask,
                                                 record.SarDataMapping[m].BackoffIndex);
                }
            }
            if (record.Sensors != nullptr) {
                for (ULONG s = 0; s < record.SensorCount; ++s) {
                    const SENSOR_INFO& sensor = record.Sensors[s];
                    channel.sensors.push_back(SensorView{s, sensor.Type, sensor.ID,
                                                         sensor.Valid != 0, sensor.SuidLow,
                                                         sensor.SuidHigh});
                }
            }
            if (record.ChannelType == ChannelTypeWlan && record.WlanAntennaInfo != nullptr) {
                channel.wlanAntennaMask = record.WlanAntennaInfo[0];
            }
            view.channels.push_back(std::move(channel));
        }
    }
    if (context->ChannelObjects != nullptr) {
        for (ULONG i = 0; i < context->ConfiguredCount; ++i) {
            view.channelObjects += context->ChannelObjects[i] != nullptr ? 1 : 0;
        }
    }
    const DMF_DEVICE_CONTEXT* framework = DmfDeviceContextGet(device);
    if (framework != nullptr && framework->WdfModuleCollection != nullptr) {
        const auto* collection = static_cast<const DMF_MODULE_COLLECTION*>(
            WdfMemoryGetBuffer(framework->WdfModuleCollection, nullptr));
        for (LONG i = 0; i < collection->NumberOfClientDriverDmfModules; ++i) {
            view.modules.emplace_back(
                collection->ClientDriverDmfModules[i]->ClientModuleInstanceName);
        }
    }
    return view;
}

} // namespace host
