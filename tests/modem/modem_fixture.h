// Shared set-up for the modem channel tests: a clean simulated machine with a
// scaled clock, the test thread in the multithreaded apartment (as a MODEM
// channel's worker is), and helpers to build channels.
#pragma once

#include "halvex/driver/ChannelConfig.h"
#include "halvex/driver/EventHandler.h"
#include "halvex/notifier/ModemChannelState.h"
#include "halvex/notifier/ModemDataNotifier.h"
#include "halvex/notifier/WwanInterfaceTracking.h"
#include "platform/com.h"
#include "platform/sim/clock.h"
#include "platform/sim/faults.h"
#include "platform/sim/ip_interfaces.h"
#include "platform/sim/modem.h"
#include "platform/sim/quiescence.h"
#include "platform/sim/trace_recorder.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace modem_test {

using sim::modem::Antenna;
using sim::modem::Behaviour;
using sim::modem::Outcome;
using sim::modem::Step;

constexpr char kTimedOut[] = " Timed out while waiting for modem response ";

// Polls a condition with a bound; for states that quiescence cannot see
// (a test thread blocked inside Notify).
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A sensor whose state the test sets.
class FakeSensor : public DataProvider {
public:
    bool Start() override { return true; }
    bool Stop() override { return true; }
    bool IsActive() override { return mActive.load(); }
    void OnPowerSettingChange(ULONG, const POWERBROADCAST_SETTING*) override {}
    std::atomic<bool> mActive{false};
};

// One running MODEM channel: worker, one fake sensor, a table {0: idle, 1: active}.
struct Channel {
    Channel(LONG idleIndex, LONG activeIndex) {
        auto* table = new Interpreter;
        table->SetMapping(0, idleIndex);
        table->SetMapping(1, activeIndex);
        notifier = new ModemDataNotifier;
        handler = std::make_unique<EventHandler>(notifier, table, ChannelTypeModem);
        sensor = new FakeSensor;
        handler->AddSensor(sensor);
        notifier->ResendDataEvent = handler->GetNotifierEvent();
    }
    ~Channel() { handler->Stop(); }
    void SetActive(bool active) {
        sensor->mActive = active;
        SetEvent(handler->GetSensorEvent());
    }

    ModemDataNotifier* notifier = nullptr; // owned by the handler
    FakeSensor* sensor = nullptr;
    std::unique_ptr<EventHandler> handler;
};

class ModemTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::SetTimeScale(0.02); // a 10000 ms modem wait lasts 200 ms
        sim::ResetFaults();
        sim::modem::Reset();
        sim::ip::Reset();
        ASSERT_TRUE(sim::Settle());
        sim::ClearTrace();
        ResetModemState();
        ASSERT_TRUE(gModemNotifiers.empty());
        ASSERT_EQ(gIpInterfaceChangeHandle, nullptr);
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        mResendEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }

    void TearDown() override {
        mNotifiers.clear();
        EXPECT_TRUE(sim::Settle());
        CloseHandle(mResendEvent);
        CoUninitialize();
        EXPECT_EQ(sim::ip::RegistrationCount(), 0u);
        EXPECT_EQ(sim::ip::OutstandingTables(), 0u);
        sim::SetTimeScale(1.0);
    }

    // A notifier driven directly from the test thread, resending through mResendEvent.
    ModemDataNotifier& AddNotifier() {
        mNotifiers.push_back(std::make_unique<ModemDataNotifier>());
        mNotifiers.back()->ResendDataEvent = mResendEvent;
        return *mNotifiers.back();
    }

    // A modem with `count` antennas at `index` and a WWAN interface in place.
    void ModemWithWwan(int count, LONG index = 0) {
        sim::modem::Install(count, index);
        sim::ip::AddInterface(IF_TYPE_WWANPP);
        ScanForWwanInterface();
        ASSERT_EQ(gWwanInterfacePresent.load(), 1);
    }

    bool Send(ModemDataNotifier& notifier, LONG index) { return notifier.Notify(1, &index); }

    bool ResendRequested() { return WaitForSingleObject(mResendEvent, 0) == WAIT_OBJECT_0; }

    HANDLE mResendEvent = nullptr;
    std::vector<std::unique_ptr<ModemDataNotifier>> mNotifiers;
};

} // namespace modem_test
