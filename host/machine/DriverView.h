// What the host can see of the driver's device from outside: the driver's
// DEVICE_CONTEXT and the framework's module collection on the WDF device, read
// in place (the driver library exports
// nothing but its entry; the framework stand-in finds a context by its type
// name, so the host's declaration of the type reaches the driver's context).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {

class Machine;

struct SensorView {
    std::uint32_t slot = 0;
    std::uint32_t type = 0; // 0 SLPI, 1 APPS, 2 invalid
    std::uint32_t id = 0;
    bool valid = false;
    std::uint64_t suidLow = 0;
    std::uint64_t suidHigh = 0;
};

struct ChannelView {
    std::uint32_t type = 0; // 0 MODEM, 1 WLAN, 2 invalid
    bool valid = false;
    std::vector<std::pair<std::uint32_t, std::int32_t>> mapping;
    std::vector<SensorView> sensors;
    std::optional<std::uint32_t> wlanAntennaMask;
};

struct DeviceView {
    std::uint32_t numberOfChannels = 0;
    std::uint32_t wlanAntCount = 0;
    std::uint32_t configuredCount = 0;
    std::vector<ChannelView> channels; // records 0 .. ConfiguredCount - 1
    std::size_t channelObjects = 0;    // non-empty slots of the channel-object table
    std::vector<std::string> modules;  // the framework's module collection, in its order
};

// Empty when the device is not there or its context cannot be inspected.
std::optional<DeviceView> ReadDeviceView(Machine& machine);

} // namespace host
