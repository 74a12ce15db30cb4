// The WLAN channel tests: the real driver with WLAN channels in its
// configuration, the simulated WLAN adapter, and the clock scaled so that
// the 15000 ms joins pass in 15 ms.
#pragma once

#include "halvex/driver/SensorStateMap.h"
#include "halvex/notifier/WlanChannelState.h"
#include "halvex/notifier/WlanDataNotifier.h"
#include "platform/sim/debugger.h"
#include "platform/sim/partition_service.h"
#include "platform/sim/wlan.h"
#include "platform/win32.h"
#include "tests/driver/driver_core_fixture.h"
#include "tests/support/MachineTest.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>
#include <ostream>

namespace sim::wlan {
// Settings in a failed expectation read as the scenarios write them: "1 1:3 2:5".
inline void PrintTo(const Setting& setting, std::ostream* out) {
    *out << SettingText(setting);
}
} // namespace sim::wlan

namespace wlan_test {

using driver_test::Apps;
using halvex::testing::WaitUntil;
using sim::wlan::Setting;

// A WLAN channel with one sensor (its subkey's value lines): antenna `mask`,
// state 0 -> idle, 1 -> active.
inline std::string WlanChannelOf(int number, const std::string& sensor, ULONG mask, int idle,
                                 int active) {
    auto dword = [](int value) {
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(value));
        return std::string(text);
    };
    std::string key = "[Device Parameters\\channel" + std::to_string(number);
    return key + "]\n\"ChannelType\"=\"WLAN\"\n\"SarMappingCount\"=dword:2\n\"0\"=" + dword(idle) +
           "\n\"1\"=" + dword(active) + "\n" + key + "\\0]\n" + sensor +
           "\"WlanAntMask\"=" + dword(static_cast<int>(mask)) + "\n";
}

// A WLAN channel with APPS sensor `id`.
inline std::string WlanChannel(int number, ULONG id, ULONG mask, int idle, int active) {
    return WlanChannelOf(number, Apps(id), mask, idle, active);
}

// Three channels on two antennas, masks 1, 2 and 3, APPS sensors 5, 6 and 7.
// Every channel at its active index: antenna 1 from the third channel (4
// against the first's 3), antenna 2 from the second (5 against 4).
inline const std::vector<std::string>& ThreeChannels() {
    static const std::vector<std::string> channels = {
        WlanChannel(0, 5, 1, 1, 3),
        WlanChannel(1, 6, 2, 2, 5),
        WlanChannel(2, 7, 3, 1, 4),
    };
    return channels;
}

inline std::size_t NotifyExits() {
    return sim::TraceCount("Notify Exit");
}

// Runs each action once, on the thread that traces a message of the WLAN
// notifier (or of `file`) holding its text, before that thread goes on; for
// as long as the hooks live.
class TraceHooks {
public:
    void At(std::string text, std::function<void()> action,
            std::string file = "WlanDataNotifier.cpp") {
        auto hook = std::make_shared<Hook>();
        hook->text = std::move(text);
        hook->file = std::move(file);
        hook->action = std::move(action);
        mHooks.push_back(hook);
        sim::SetTraceSink([hooks = mHooks](const sim::TraceRecord& record) {
            for (const auto& hook : hooks) {
                if (record.file == hook->file &&
                    record.message.find(hook->text) != std::string::npos &&
                    !hook->done.exchange(true)) {
                    hook->action();
                }
            }
        });
    }
    ~TraceHooks() { sim::SetTraceSink(nullptr); }

private:
    struct Hook {
        std::string text;
        std::string file;
        std::function<void()> action;
        std::atomic<bool> done{false};
    };
    std::vector<std::shared_ptr<Hook>> mHooks;
};

// A sensor reading, as the proximity watcher hands it on, and the channel's
// worker done with it.
inline void Reading(ULONG id, LONG state) {
    std::size_t exits = NotifyExits();
    ASSERT_TRUE(UpdateSensorState(id, state));
    ASSERT_TRUE(WaitUntil([&] { return NotifyExits() > exits; }));
}

class WlanTest : public driver_test::DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        sim::wlan::Reset();
        sim::partition::Reset();
        sim::SetTimeScale(0.001);
    }

    void TearDown() override {
        host.reset(); // the device goes, and with it every WLAN notifier
        EXPECT_TRUE(gWlanNotifiers.empty());
        EXPECT_EQ(gWlanDevice, nullptr);
        EXPECT_EQ(sim::wlan::OpenHandles(), 0u);
        EXPECT_EQ(sim::wlan::OutstandingLists(), 0u);
        EXPECT_TRUE(sim::DebuggerOutput().empty());
        sim::wlan::Reset();
        sim::partition::Reset();
        DriverTest::TearDown();
    }

    void FreshMachine() {
        DriverTest::FreshMachine();
        sim::wlan::Reset();
        sim::partition::Reset();
        sim::SetTimeScale(0.001);
    }

    // The provisioning file asks for this refresh period (none: no file).
    static void Provision(std::optional<ULONG> periodMs) {
        if (periodMs) {
            sim::partition::PutFile(std::u16string(sim::partition::kProvisioningPath),
                                    sim::partition::ProvisioningFile(*periodMs, false));
        }
    }

    // A device with these channels and N antennas, added and (unless told
    // otherwise) started, settled.
    void Build(ULONG antennas, const std::vector<std::string>& channels, bool start = true) {
        std::string reg = driver_test::DeviceKey(static_cast<ULONG>(channels.size()), antennas);
        for (const std::string& channel : channels) {
            reg += channel;
        }
        Configure(reg);
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        if (start) {
            ASSERT_EQ(host->Start(), STATUS_SUCCESS);
        }
        ASSERT_TRUE(sim::Settle());
    }

    static WlanDataNotifier& Notifier(std::size_t i) {
        return **std::next(gWlanNotifiers.begin(), static_cast<long>(i));
    }

    // The meaning of every set command the adapter received from command
    // `from` on (queries counted too), accepted or not.
    static std::vector<Setting> SetsFrom(std::size_t from) {
        std::vector<Setting> sets;
        auto commands = sim::wlan::Commands();
        for (std::size_t i = from; i < commands.size(); ++i) {
            if (commands[i].opcode == sim::wlan::kOpSet) {
                sets.push_back(
                    sim::wlan::DecodeSetting(commands[i].payload).value_or(Setting{99, {}}));
            }
        }
        return sets;
    }

    // The meaning of the last set command the adapter received.
    static Setting LastSet() {
        auto command = sim::wlan::LastSet();
        return command ? sim::wlan::DecodeSetting(command->payload).value_or(Setting{99, {}})
                       : Setting{99, {}};
    }

    static bool ResendRequested(WlanDataNotifier& notifier) {
        return WaitForSingleObject(notifier.ResendDataEvent, 0) == WAIT_OBJECT_0;
    }

    // Sets a sensor through the IOCTL and lets the channels settle.
    void Sense(ULONG id, ULONG state) {
        EXPECT_EQ(SetSensorState(id, state).status, STATUS_SUCCESS);
        EXPECT_TRUE(sim::Settle());
    }
};

} // namespace wlan_test
