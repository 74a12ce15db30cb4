// The WLAN channel when memory runs out: a program of its own, with an
// allocator that fails one chosen allocation.
#include "wlan_fixture.h"

#include "tests/driver/failing_allocator.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace wlan_test {
namespace {

using AllocationTest = WlanTest;

// A registration that runs out of memory inside a Notify, which holds the
// wait lock, while a SAR notification's callback waits for that lock: the
// client handle stays open (closing it would wait for the callback, and the
// callback for the Notify), the channel's setting goes out, and the
// callback's merged setting after it.
TEST_F(AllocationTest, ARegistrationOutOfMemoryUnderTheWaitLockLeavesTheHandleOpen) {
    // The service's registration always fails, so that every Notify
    // registers; the notifications' registration stands and delivers.
    sim::ArmFault("WlanRegisterDeviceServiceNotification", sim::FaultSpec::Always());
    Build(1, {WlanChannel(0, 5, 1, 2, 4)});
    const std::size_t sets = sim::wlan::SetCount();
    const std::size_t merged = sim::TraceCount("SendMergedWlanBackoff Entry");
    std::atomic<bool> delivered{false};
    std::atomic<bool> done{false};
    HANDLE notifying = nullptr;
    {
        TraceHooks hooks;
        hooks.At("RegisterWlanNotifications Entry", [&] {
            sim::wlan::NotifyDeviceService(sim::wlan::kSarService);
            ASSERT_TRUE(
                WaitUntil([&] { return sim::TraceCount("SendMergedWlanBackoff Entry") > merged; }));
            driver_test::FailAllocationOnThisThread(sizeof(WLAN_DEVICE_SERVICE_GUID_LIST), 1);
        });
        notifying = halvex::testing::StartStandInThread([&]() -> DWORD {
            LONG index = 4;
            delivered = Notifier(0).Notify(1, &index);
            done = true;
            return 0;
        });
        ASSERT_NE(notifying, nullptr);
        if (!WaitUntil([&] { return done.load(); })) {
            // Nothing can end the wait: the device could not even be removed.
            std::fprintf(stderr, "The Notify and the SAR notification's callback deadlocked\n");
            std::_Exit(1);
        }
    }
    driver_test::FailAllocation(0, 0);
    WaitForSingleObject(notifying, INFINITE);
    CloseHandle(notifying);
    ASSERT_TRUE(sim::Settle());
    EXPECT_TRUE(delivered.load());
    EXPECT_TRUE(sim::TraceContains("std::bad_alloc", TRACE_LEVEL_ERROR));
    EXPECT_TRUE(sim::TraceContains("RegisterWlanNotifications failed", TRACE_LEVEL_ERROR));
    EXPECT_EQ(sim::wlan::OpenHandles(), 1u);
    EXPECT_EQ(sim::wlan::SetCount(), sets + 2);
    EXPECT_EQ(LastSet(), (Setting{1, {{1, 4}}}));
}

} // namespace
} // namespace wlan_test
