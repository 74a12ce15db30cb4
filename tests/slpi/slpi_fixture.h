// A device with one MODEM channel (mask 0 -> index 1, mask 1 -> index 3)
// whose one sensor is an SLPI sensor, on a machine whose sensor hub lists one
// SAR sensor. The display starts dimmed, so that the display-on the driver
// hears at its start does not re-open a client still waiting for its
// lookup's answer; tests that follow the display set it themselves.
#pragma once

#include "tests/driver/driver_core_fixture.h"

#include "halvex/driver/EventHandler.h"
#include "halvex/provider/SlpiDataProvider.h"
#include "hmx/hmx_cci_startup.h"
#include "platform/sim/clock.h"
#include "platform/sim/sensor_client_service.h"
#include "platform/win32.h"

#include <string>

namespace slpi_test {

using sim::hub::Kind;
using sim::hub::Suid;

constexpr Suid kOther{0x1111111111111111ull, 0x2222222222222222ull};

// Machine time a power call may take while the service is away: a worker
// that only waits for the service ends within a slice of its stop, far inside
// the 15000 ms a stop waits for it.
constexpr std::uint64_t kPromptMs = 2000;

inline std::string Slpi(Suid suid) {
    char text[256];
    std::snprintf(
        text, sizeof text,
        "\"Type\"=\"SLPI\"\n\"ID\"=dword:9\n\"SUID_LOW_H\"=dword:%08x\n"
        "\"SUID_LOW_L\"=dword:%08x\n\"SUID_HIGH_H\"=dword:%08x\n\"SUID_HIGH_L\"=dword:%08x\n",
        static_cast<unsigned>(suid.low >> 32), static_cast<unsigned>(suid.low),
        static_cast<unsigned>(suid.high >> 32), static_cast<unsigned>(suid.high));
    return text;
}

class SlpiTest : public driver_test::DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        sim::SetTraceLevel(TRACE_LEVEL_VERBOSE);
        ASSERT_EQ(hmx_cci_library_start(), 0);
        Prepare();
    }

    void Prepare() {
        sim::hub::Reset();
        sim::ResetUptime();
        sim::display::SetState(sim::display::State::Dimmed);
        sim::modem::Install(2, 0);
        sim::ip::AddInterface();
    }

    // A fresh device and hub for the next row of a table.
    void Fresh() {
        FreshMachine();
        Prepare();
    }

    void TearDown() override {
        host.reset();
        EXPECT_EQ(sim::hub::Clients(), 0u) << "a hub client outlived its provider";
        EXPECT_FALSE(sim::TraceContains("hmx_client_release failed"));
        EXPECT_TRUE(sim::WaitForThreadsToEnd());
        sim::ResetUptime();
        DriverTest::TearDown();
    }

    // Adds the device with its SLPI sensor configured for `suid` (or with
    // the sensor given); starts it when asked.
    void AddDevice(Suid configured = {}, bool start = true, std::string sensor = {}) {
        Configure(
            driver_test::DeviceKey(1) +
            driver_test::Channel("channel0", {sensor.empty() ? Slpi(configured) : sensor}, 1, 3));
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        ASSERT_EQ(ChannelCount(), 1u);
        if (start) {
            ASSERT_EQ(host->Start(), STATUS_SUCCESS);
            ASSERT_TRUE(sim::Settle());
        }
    }

    // Holds the worker, which waits for an absent service, at the start of
    // its next slice (the transport's open of the watch for the service)
    // until the test lets "SensorHub.Open" go.
    static void HoldTheWorkerInItsWait() {
        sim::ArmFault("SensorHub.Open", sim::FaultSpec::Hold());
        ASSERT_TRUE(sim::WaitForHeldCall("SensorHub.Open"));
    }

    SlpiDataProvider* Provider() {
        return static_cast<SlpiDataProvider*>(
            Context()->ChannelObjects[0]->GetSensorList().front());
    }

    // The SUID the attribute requests went to, in order.
    static std::vector<Suid> AttributeTargets() {
        std::vector<Suid> targets;
        for (const auto& request : sim::hub::Requests()) {
            if (request.kind == Kind::Attribute) {
                targets.push_back(request.suid);
            }
        }
        return targets;
    }

    static float ValueAfter(SlpiDataProvider* provider) {
        EXPECT_TRUE(sim::Settle());
        return provider->mValue.load();
    }
};

} // namespace slpi_test
