// The power-setting stand-in as the driver relies on it: the current display
// state arrives once right after a registration, every change after that on
// the notification thread, and nothing once the unregistration has returned.
#include "platform/power_notify.h"
#include "platform/sim/display.h"
#include "platform/sim/faults.h"
#include "platform/sim/quiescence.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Received {
    std::mutex lock;
    std::vector<DWORD> states;
    std::vector<DWORD> threads;
    ULONG lastType = 0;
    bool guidMatched = true;
    DWORD lastLength = 0;
};

ULONG CALLBACK Record(PVOID context, ULONG type, PVOID setting) {
    auto* received = static_cast<Received*>(context);
    auto* record = static_cast<POWERBROADCAST_SETTING*>(setting);
    DWORD state = 0;
    std::memcpy(&state, record->Data, sizeof(state));
    std::lock_guard guard(received->lock);
    received->states.push_back(state);
    received->threads.push_back(GetCurrentThreadId());
    received->lastType = type;
    received->guidMatched =
        received->guidMatched && record->PowerSetting == GUID_CONSOLE_DISPLAY_STATE;
    received->lastLength = record->DataLength;
    return 0;
}

class DisplayStandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ResetFaults();
        sim::display::Reset();
    }
    void TearDown() override {
        sim::ResetFaults();
        sim::display::Reset();
    }

    DWORD Register(Received& received, HPOWERNOTIFY& handle) {
        params = {Record, &received};
        return PowerSettingRegisterNotification(&GUID_CONSOLE_DISPLAY_STATE, DEVICE_NOTIFY_CALLBACK,
                                                &params, &handle);
    }

    DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS params{};
};

TEST_F(DisplayStandInTest, DeliversTheCurrentStateOnceThenEveryChangeUntilUnregistered) {
    sim::display::SetState(sim::display::State::Dimmed);
    Received received;
    HPOWERNOTIFY handle = nullptr;
    ASSERT_EQ(Register(received, handle), ERROR_SUCCESS);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(sim::Settle());
    sim::display::SetState(sim::display::State::Off);
    sim::display::SetState(sim::display::State::On);
    ASSERT_TRUE(sim::Settle());

    // Nothing arrives once the unregistration has returned.
    ASSERT_EQ(PowerSettingUnregisterNotification(handle), ERROR_SUCCESS);
    EXPECT_EQ(sim::display::RegistrationCount(), 0u);
    sim::display::SetState(sim::display::State::Off);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(PowerSettingUnregisterNotification(handle), ERROR_INVALID_HANDLE);

    std::lock_guard guard(received.lock);
    EXPECT_EQ(received.states, (std::vector<DWORD>{2, 0, 1}));
    EXPECT_EQ(received.lastType, PBT_POWERSETTINGCHANGE);
    EXPECT_TRUE(received.guidMatched);
    EXPECT_EQ(received.lastLength, sizeof(DWORD));
    for (DWORD thread : received.threads) {
        EXPECT_NE(thread, GetCurrentThreadId());
    }
}

TEST_F(DisplayStandInTest, UnregistrationWaitsForACallbackThatIsRunning) {
    struct Blocking {
        HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::atomic<bool> returned{false};
    } blocking;
    params = {[](PVOID context, ULONG, PVOID) -> ULONG {
                  auto* b = static_cast<Blocking*>(context);
                  SetEvent(b->entered);
                  WaitForSingleObject(b->release, INFINITE);
                  b->returned = true;
                  return 0;
              },
              &blocking};
    HPOWERNOTIFY handle = nullptr;
    ASSERT_EQ(PowerSettingRegisterNotification(&GUID_CONSOLE_DISPLAY_STATE, DEVICE_NOTIFY_CALLBACK,
                                               &params, &handle),
              ERROR_SUCCESS);
    ASSERT_EQ(WaitForSingleObject(blocking.entered, 10000), WAIT_OBJECT_0);

    std::atomic<bool> sawReturned{false};
    std::thread unregister([&] {
        EXPECT_EQ(PowerSettingUnregisterNotification(handle), ERROR_SUCCESS);
        sawReturned = blocking.returned.load();
    });
    SetEvent(blocking.release);
    unregister.join();
    EXPECT_TRUE(sawReturned);
    CloseHandle(blocking.entered);
    CloseHandle(blocking.release);
}

} // namespace
