// The driver host's reusable callback threads, on their own: what a job
// finds, when a worker ends, and that a pool never waits for itself.
#include "platform/sim/callback_pool.h"
#include "tests/support/MachineTest.h"

#include <atomic>
#include <chrono>

namespace {

using halvex::testing::MachineTest;

class CallbackPoolTest : public MachineTest {};

TEST_F(CallbackPoolTest, ABusyWorkerEndsAfterItsJobOnceTrimmedAndClosedPoolsKeepNoWorker) {
    sim::CallbackPool pool;
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    pool.Run([&] {
        WaitForSingleObject(release, INFINITE);
        SetEvent(done);
    });
    // Blocked in a stand-in wait: settled, and not ended by a trim.
    ASSERT_TRUE(sim::Settle(std::chrono::seconds(5)));
    EXPECT_TRUE(pool.Trim(std::chrono::milliseconds(0)));
    EXPECT_EQ(pool.Workers(), 1u);
    SetEvent(release);
    ASSERT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(sim::WaitForThreadsToEnd(std::chrono::seconds(10)));
    EXPECT_EQ(pool.Workers(), 0u);

    // A trimmed pool still takes work.
    ResetEvent(done);
    pool.Run([&] { SetEvent(done); });
    ASSERT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(sim::Settle(std::chrono::seconds(5)));
    EXPECT_EQ(pool.Workers(), 1u);
    EXPECT_TRUE(pool.Close(std::chrono::seconds(10)));
    EXPECT_EQ(sim::LiveThreadCount(), 0u);

    // Work given to a closed pool still runs, on a thread that does not stay.
    ResetEvent(done);
    pool.Run([&] { SetEvent(done); });
    ASSERT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(sim::WaitForThreadsToEnd(std::chrono::seconds(10)));
    EXPECT_EQ(pool.Workers(), 0u);
    CloseHandle(release);
    CloseHandle(done);
}

TEST_F(CallbackPoolTest, AJobClosingItsOwnPoolDoesNotWaitForItselfAndLastErrorStartsClean) {
    sim::CallbackPool pool;
    std::atomic<bool> closed{false};
    std::atomic<DWORD> lastError{ERROR_INVALID_HANDLE};
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    pool.Run([&] { SetLastError(ERROR_NOT_FOUND); });
    ASSERT_TRUE(sim::Settle(std::chrono::seconds(5)));
    pool.Run([&] {
        lastError = GetLastError();
        closed = pool.Close(std::chrono::seconds(10));
        SetEvent(done);
    });
    ASSERT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(closed.load());
    EXPECT_EQ(lastError.load(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(sim::WaitForThreadsToEnd(std::chrono::seconds(10)));
    CloseHandle(done);
}

} // namespace
