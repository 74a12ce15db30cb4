// Shared set-up for the modem channel tests: a clean simulated machine with a
// scaled clock, the test thread in the multithreaded apartment (as a MODEM
// channel's worker is), and notifiers driven from the test thread.
#pragma once

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

#include <memory>
#include <thread>
#include <vector>

namespace modem_test {

using sim::modem::Antenna;
using sim::modem::Behaviour;
using sim::modem::Outcome;
using sim::modem::Step;

constexpr char kTimedOut[] = " Timed out while waiting for modem response ";

class ModemTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::SetTimeScale(0.02); // a 10000 ms modem wait lasts 200 ms
        Restart();
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        mResendEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }

    // A clean machine and channel state, also between the cases of one test.
    void Restart() {
        mNotifiers.clear();
        sim::ResetFaults();
        sim::modem::Reset();
        sim::ip::Reset();
        ASSERT_TRUE(sim::Settle());
        sim::ClearTrace();
        ResetModemState();
        ASSERT_TRUE(gModemNotifiers.empty());
        ASSERT_EQ(gIpInterfaceChangeHandle, nullptr);
        if (mResendEvent != nullptr) {
            ResetEvent(mResendEvent);
        }
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

    // Sends from a thread of its own in the multithreaded apartment, as the
    // channel's worker does, so that the test can act while the send waits
    // for a step held at the modem. The send's result goes to `result`.
    std::thread SendOnAWorker(ModemDataNotifier& notifier, LONG index, bool* result = nullptr) {
        return std::thread([this, &notifier, index, result] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            bool sent = Send(notifier, index);
            if (result != nullptr) {
                *result = sent;
            }
            CoUninitialize();
        });
    }

    bool ResendRequested() { return WaitForSingleObject(mResendEvent, 0) == WAIT_OBJECT_0; }

    HANDLE mResendEvent = nullptr;
    std::vector<std::unique_ptr<ModemDataNotifier>> mNotifiers;
};

} // namespace modem_test
