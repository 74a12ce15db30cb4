// A registry export, imported and then read as the driver's configuration on
// a fresh device. Whatever the text, the import either fails cleanly or the
// reader leaves a consistent DEVICE_CONTEXT, and no key stays open.
#include "halvex/driver/DeviceContext.h"
#include "halvex/driver/RegistryConfig.h"
#include "platform/sim/registry.h"
#include "platform/sim/trace_recorder.h"
#include "platform/sim/wdf_control.h"
#include "platform/trace.h"
#include "tests/config/HalvexTestDevice.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void CheckConfiguration(const DEVICE_CONTEXT& context) {
    if (context.Channels == nullptr) {
        Check(context.ConfiguredCount == 0, "no channels but a configured count");
        return;
    }
    Check(context.ConfiguredCount <= context.NumberOfChannels, "more valid records than channels");
    for (ULONG i = 0; i < context.ConfiguredCount; ++i) {
        const CHANNEL_INFO& channel = context.Channels[i];
        Check(channel.Valid == 1, "a counted record is not valid");
        Check(channel.ChannelType == ChannelTypeModem || channel.ChannelType == ChannelTypeWlan,
              "valid record with an invalid type");
        Check(channel.ChannelType != ChannelTypeWlan ||
                  (context.WlanAntCount >= 1 && context.WlanAntCount <= 2),
              "WLAN record without a valid antenna count");
        Check(channel.SarMappingCount >= 2 && channel.SarMappingCount <= 10,
              "mapping count out of range");
        for (ULONG m = 0; m < channel.SarMappingCount; ++m) {
            Check(channel.SarDataMapping[m].StateMask == m, "mapping entry out of place");
        }
        Check(channel.SensorCount > 0 && channel.Sensors != nullptr,
              "valid record without sensors");
        for (ULONG s = 0; s < channel.SensorCount; ++s) {
            const SENSOR_INFO& sensor = channel.Sensors[s];
            if (sensor.Valid) {
                Check(sensor.Type == SensorTypeSlpi || sensor.Type == SensorTypeApps,
                      "valid sensor with an invalid type");
                Check(sensor.ID != SENSOR_ID_NONE, "valid sensor without an ID");
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sim::SetTraceLevel(TRACE_LEVEL_ERROR);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sim::registry::Reset();
    sim::ClearTrace();
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto result = sim::registry::ImportRegText(text, "fuzz.reg");
    if (!result) {
        Check(!result.error.empty(), "an import error without a message");
        Check(sim::registry::SubkeyNames("Device Parameters").empty(),
              "a failed import left keys behind");
        return 0;
    }
    configtest::ResetIoctlConfig();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto host = configtest::AddTestDevice(&status);
    Check(NT_SUCCESS(status), "device add of the test device");
    const NTSTATUS readStatus = ReadSarConfiguration(host->Device());
    const DEVICE_CONTEXT& context = *DeviceGetContext(host->Device());
    if (!NT_SUCCESS(readStatus)) {
        Check(context.Channels == nullptr, "a failed read left channels");
    }
    CheckConfiguration(context);
    Check(sim::registry::OpenKeyCount() == 0, "a registry key was left open");
    host.reset();
    return 0;
}
