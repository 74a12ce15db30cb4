#include "wdf_fixture.h"

#include "platform/win32.h"

#include <atomic>
#include <functional>
#include <thread>

namespace {

using LockTest = WdfTest;

// The status of an acquire of `lock` by another thread, waiting `timeout`.
NTSTATUS AcquireElsewhere(WDFWAITLOCK lock, LONGLONG timeout, bool release = false) {
    NTSTATUS status = STATUS_PENDING;
    std::thread([&] {
        status = WdfWaitLockAcquire(lock, &timeout);
        if (release && NT_SUCCESS(status)) {
            WdfWaitLockRelease(lock);
        }
    }).join();
    return status;
}

TEST_F(LockTest, WaitLockTimesOutOnTheMachineClock) {
    sim::SetTimeScale(0.001);
    WDFWAITLOCK lock = nullptr;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);

    auto start = std::chrono::steady_clock::now();
    // 10 ms real at this scale.
    EXPECT_EQ(AcquireElsewhere(lock, WDF_REL_TIMEOUT_IN_MS(10000)), STATUS_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(AcquireElsewhere(lock, 0), STATUS_TIMEOUT);

    WdfWaitLockRelease(lock);
    EXPECT_EQ(AcquireElsewhere(lock, WDF_REL_TIMEOUT_IN_MS(10000), true), STATUS_SUCCESS);
    WdfObjectDelete(lock);
}

TEST_F(LockTest, ABlockedAcquireIsSettledAndReleasingALockNotHeldIsReportedAndIgnored) {
    WDFWAITLOCK wait = nullptr;
    WDFSPINLOCK spin = nullptr;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &wait), STATUS_SUCCESS);
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &spin), STATUS_SUCCESS);
    WdfSpinLockRelease(spin);
    EXPECT_TRUE(sim::TraceContains("released by thread", TRACE_LEVEL_ERROR));

    // Still one owner at a time afterwards, for both kinds.
    std::function<void()> acquire[] = {[&] { WdfWaitLockAcquire(wait, nullptr); },
                                       [&] { WdfSpinLockAcquire(spin); }};
    std::function<void()> release[] = {[&] { WdfWaitLockRelease(wait); },
                                       [&] { WdfSpinLockRelease(spin); }};
    for (int kind = 0; kind < 2; ++kind) {
        SCOPED_TRACE(kind);
        acquire[kind]();
        std::atomic<bool> got{false};
        HANDLE thread = StartThread([&] {
            acquire[kind]();
            got = true;
            release[kind]();
        });
        EXPECT_TRUE(sim::Settle(std::chrono::seconds(5)));
        EXPECT_FALSE(got);
        release[kind]();
        Join(thread);
        EXPECT_TRUE(got);
    }
    WdfObjectDelete(wait);
    WdfObjectDelete(spin);
}

} // namespace
