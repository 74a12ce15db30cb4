// Raw IOCTLs (code, input bytes, output length) through the device's
// IoctlHandler into the driver's handlers, on a device with two APPS sensors.
// Input layout: u8 code selector, u32 code (used when the selector is odd),
// u8 output length, then the input buffer.
#include "halvex/driver/Ioctl.h"
#include "halvex/driver/SensorStateMap.h"
#include "halvex/provider/AppsDataProvider.h"
#include "platform/sim/driver_host.h"
#include "platform/sim/trace_recorder.h"
#include "platform/trace.h"
#include "platform/win32.h"
#include "tests/config/HalvexTestDevice.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

struct Machine {
    std::unique_ptr<sim::DriverHost> host;
    sim::HostFile file;
    HANDLE event = nullptr;
    std::unique_ptr<AppsDataProvider> first;
    std::unique_ptr<AppsDataProvider> second;

    Machine() {
        sim::SetTraceLevel(TRACE_LEVEL_ERROR);
        configtest::ResetIoctlConfig();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        host = configtest::AddTestDevice(&status);
        Check(NT_SUCCESS(status), "device add of the test device");
        file = host->OpenFile();
        Check(static_cast<bool>(file), "open the device");
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        first = std::make_unique<AppsDataProvider>(7, event, host->Device());
        second = std::make_unique<AppsDataProvider>(7, nullptr, host->Device());
        gSensorStateMap.insert({7, first.get()});
        gSensorStateMap.insert({7, second.get()});
    }
};

Machine& TheMachine() {
    static Machine* machine = new Machine(); // lives for the whole run
    return *machine;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Machine& machine = TheMachine();
    if (size < 6) {
        return 0;
    }
    ULONG code = 0;
    std::memcpy(&code, data + 1, sizeof(code));
    switch (data[0] & 3) {
    case 0:
        code = IOCTL_HALVEX_GET_INFO;
        break;
    case 2:
        code = IOCTL_HALVEX_SET_SENSOR_STATE;
        break;
    default:
        break;
    }
    const std::size_t outputLength = data[5] % 33;
    std::vector<std::uint8_t> input(data + 6, data + size);

    sim::ClearTrace();
    sim::IoResult result = machine.host->DeviceIoControl(machine.file, code, input, outputLength);
    Check(result.bytes <= outputLength || code == IOCTL_HALVEX_SET_SENSOR_STATE,
          "more bytes returned than the output buffer holds");
    if (code == IOCTL_HALVEX_GET_INFO) {
        if (outputLength >= 8) {
            Check(result.status == STATUS_SUCCESS && result.bytes == 8, "get-info answer");
            Check(result.output.size() >= 8 && result.output[0] == 1 && result.output[4] == 1,
                  "get-info values");
        } else {
            Check(result.status == STATUS_BUFFER_TOO_SMALL, "short get-info buffer");
        }
    } else if (code == IOCTL_HALVEX_SET_SENSOR_STATE) {
        Check(result.bytes == 0, "set-state returns no bytes");
        if (input.size() < 8) {
            Check(result.status == STATUS_BUFFER_TOO_SMALL, "short set-state input");
        } else {
            ULONG id = 0, state = 0;
            std::memcpy(&id, input.data(), 4);
            std::memcpy(&state, input.data() + 4, 4);
            const bool accepted = id == 7 && state <= 1;
            Check(result.status == (accepted ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL),
                  "set-state status");
            if (accepted) {
                const float expected = state ? 1.0f : 0.0f;
                Check(machine.first->mValue.load() == expected &&
                          machine.second->mValue.load() == expected,
                      "both providers of the ID follow");
            }
        }
    } else {
        Check(result.status == STATUS_NOT_SUPPORTED, "an unknown code is not supported");
    }
    return 0;
}
