// The power-setting stand-in as the driver relies on it: nothing arrives once
// the unregistration has returned, even from a callback already running.
// Delivery itself is the power tests' and the display scenarios' to show.
#include "platform/power_notify.h"
#include "platform/sim/display.h"
#include "platform/sim/faults.h"
#include "platform/sim/quiescence.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

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

    DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS params{};
};

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
