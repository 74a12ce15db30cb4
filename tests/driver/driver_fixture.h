// A clean simulated machine for every driver test, a host that runs the
// driver through its framework callbacks, and the configurations the tests
// build on.
#pragma once

#include "platform/sim/clock.h"
#include "platform/sim/debugger.h"
#include "platform/sim/display.h"
#include "platform/sim/driver_host.h"
#include "platform/sim/faults.h"
#include "platform/sim/ip_interfaces.h"
#include "platform/sim/modem.h"
#include "platform/sim/proximity.h"
#include "platform/sim/quiescence.h"
#include "platform/sim/registry.h"
#include "platform/sim/trace_recorder.h"
#include "platform/sim/wdf_control.h"
#include "platform/sim/wpp_control.h"
#include "platform/trace.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace driver_test {

constexpr ULONG kIoctlSetSensorState = 0x81290804u;
constexpr char16_t kSymbolicLink[] = u"\\DosDevices\\Global\\HALVEX";

// The value lines of an APPS sensor subkey.
inline std::string Apps(ULONG id) {
    return "\"Type\"=\"APPS\"\n\"ID\"=dword:" + std::to_string(id) + "\n";
}

// A channel mapping mask 0 to `idle` and 1 to `active`, with sensor subkeys
// 0, 1, ... holding the value lines given.
inline std::string Channel(const std::string& key, const std::vector<std::string>& sensors,
                           int idle = 2, int active = 7, const char* type = "MODEM") {
    std::string text = "[Device Parameters\\" + key + "]\n\"ChannelType\"=\"" + type +
                       "\"\n\"SarMappingCount\"=dword:2\n\"0\"=dword:" + std::to_string(idle) +
                       "\n\"1\"=dword:" + std::to_string(active) + "\n";
    for (std::size_t i = 0; i < sensors.size(); ++i) {
        text += "[Device Parameters\\" + key + "\\" + std::to_string(i) + "]\n" + sensors[i];
    }
    return text;
}

// One MODEM channel with one APPS sensor: mask 0 -> 2, mask 1 -> 7.
inline std::string ModemChannel(const std::string& key, ULONG sensorId) {
    return Channel(key, {Apps(sensorId)});
}

inline std::string DeviceKey(ULONG numberOfChannels, ULONG wlanAntCount = 1) {
    return "Windows Registry Editor Version 5.00\n[Device Parameters]\n"
           "\"NumberOfChannels\"=dword:" +
           std::to_string(numberOfChannels) +
           "\n\"WlanAntCount\"=dword:" + std::to_string(wlanAntCount) + "\n";
}

using winrt::Windows::Devices::Enumeration::DeviceWatcherStatus;

inline std::vector<std::int32_t> Indexes(std::int32_t both) {
    return {both, both};
}

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override { ResetMachine(); }
    void TearDown() override {
        host.reset();
        sim::SetTraceSink(nullptr);
        // Deliveries the device's end set off (a watcher's Stopped) run out
        // here, not into the next test or past the end of the program.
        sim::Settle();
        sim::WaitForThreadsToEnd();
        ResetMachine();
    }

    static void ResetMachine() {
        sim::wdf::ResetForTest();
        sim::registry::Reset();
        sim::ResetFaults();
        sim::display::Reset();
        sim::modem::Reset();
        sim::proximity::Reset();
        sim::ip::Reset();
        sim::wpp::Reset();
        sim::ClearTrace();
        sim::ClearDebugger();
        sim::SetTimeScale(1.0);
    }

    // Ends the device and driver of this test and starts over on a fresh machine.
    void FreshMachine() {
        host.reset();
        ResetMachine();
        host = std::make_unique<sim::DriverHost>();
    }

    static void Configure(const std::string& regText) {
        auto result = sim::registry::ImportRegText(regText);
        ASSERT_TRUE(result.ok) << result.error;
    }

    // Whether a message holds `text`; a text ending in '$' must end the message.
    static bool Matches(const std::string& message, std::string text) {
        if (!text.empty() && text.back() == '$') {
            text.pop_back();
            return message.size() >= text.size() &&
                   message.compare(message.size() - text.size(), text.size(), text) == 0;
        }
        return message.find(text) != std::string::npos;
    }

    // Whether `first` was traced before `second` (both must have been).
    static bool TracedBefore(const std::string& first, const std::string& second) {
        auto records = sim::TraceSnapshot();
        std::size_t a = records.size(), b = records.size();
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (a == records.size() && Matches(records[i].message, first)) {
                a = i;
            }
            if (b == records.size() && Matches(records[i].message, second)) {
                b = i;
            }
        }
        return a < records.size() && b < records.size() && a < b;
    }

    sim::IoResult SetSensorState(ULONG id, ULONG state) {
        std::vector<std::uint8_t> input(8);
        for (int i = 0; i < 4; ++i) {
            input[i] = static_cast<std::uint8_t>(id >> (8 * i));
            input[4 + i] = static_cast<std::uint8_t>(state >> (8 * i));
        }
        sim::HostFile file = host->OpenFile();
        EXPECT_TRUE(file);
        sim::IoResult result = host->DeviceIoControl(file, kIoctlSetSensorState, input, 0);
        host->CloseFile(file);
        return result;
    }

    // Sets a sensor state, lets the channels settle and returns the modem's indexes.
    std::vector<std::int32_t> ModemAfter(ULONG id, ULONG state) {
        EXPECT_EQ(SetSensorState(id, state).status, STATUS_SUCCESS) << id;
        EXPECT_TRUE(sim::Settle());
        return sim::modem::BackoffIndexes();
    }

    std::unique_ptr<sim::DriverHost> host = std::make_unique<sim::DriverHost>();
};

} // namespace driver_test
