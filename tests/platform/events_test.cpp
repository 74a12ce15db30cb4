// Events, waits, threads, per-thread errors and the clock of the stand-in.
#include "tests/support/MachineTest.h"

#include <chrono>

namespace {

using halvex::testing::MachineTest;
using halvex::testing::StartStandInThread;
using std::chrono::steady_clock;

HANDLE NewEvent(bool manualReset, bool signalled = false) {
    return CreateEventW(nullptr, manualReset ? TRUE : FALSE, signalled ? TRUE : FALSE, nullptr);
}

using Events = MachineTest;

TEST_F(Events, LowestSignalledIndexWinsAndOnlyAnAutoResetEventIsConsumed) {
    HANDLE events[3] = {NewEvent(false), NewEvent(false), NewEvent(false)};
    ASSERT_TRUE(SetEvent(events[2]));
    ASSERT_TRUE(SetEvent(events[1]));
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);
    // A signal is remembered once, however often it was given.
    SetEvent(events[0]);
    SetEvent(events[0]);
    EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_TIMEOUT);

    // A signalled manual-reset event at index 0 keeps winning until reset.
    HANDLE manual = NewEvent(true, true);
    HANDLE both[] = {manual, events[1]};
    SetEvent(events[1]);
    EXPECT_EQ(WaitForSingleObjectEx(manual, 0, FALSE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForMultipleObjectsEx(2, both, FALSE, 0, FALSE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    SetEvent(events[1]);
    EXPECT_TRUE(ResetEvent(events[1]));
    EXPECT_EQ(WaitForSingleObject(events[1], 0), WAIT_TIMEOUT);
    for (HANDLE event : {events[0], events[1], events[2], manual}) {
        EXPECT_TRUE(CloseHandle(event));
    }
}

TEST_F(Events, BadHandlesFailAtOnceWithTheLastErrorSetEvenBesideASignalledOne) {
    HANDLE signalled = NewEvent(true, true);
    HANDLE closed = NewEvent(false);
    ASSERT_TRUE(CloseHandle(closed));
    EXPECT_FALSE(CloseHandle(closed));
    for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, closed}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(SetEvent(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(ResetEvent(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(WaitForSingleObject(bad, INFINITE), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(CloseHandle(bad));

        HANDLE handles[] = {signalled, bad};
        SetLastError(ERROR_SUCCESS);
        auto start = steady_clock::now();
        EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, INFINITE), WAIT_FAILED);
        EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(WaitForMultipleObjects(0, &signalled, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, &signalled, TRUE, 0), WAIT_FAILED);
    CloseHandle(signalled);
}

using Threads = MachineTest;

TEST_F(Threads, HandleIsSignalledWhenTheThreadEndsAndStaysSignalled) {
    HANDLE gate = NewEvent(false);
    DWORD threadId = 0;
    HANDLE thread = StartStandInThread(
        [&] {
            WaitForSingleObject(gate, INFINITE);
            return 42u;
        },
        &threadId);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(threadId, GetCurrentThreadId());
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    DWORD exitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(exitCode, STILL_ACTIVE);
    EXPECT_EQ(sim::LiveThreadCount(), 1u);
    SetEvent(gate);
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    HANDLE handles[] = {gate, thread};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(exitCode, 42u);
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
    CloseHandle(thread);
    CloseHandle(gate);
}

TEST_F(Threads, ABadStartSetsTheLastErrorWhichBelongsToEachThread) {
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seenByThread = 0;
    HANDLE thread = StartStandInThread([&] {
        seenByThread = GetLastError();
        SetLastError(ERROR_NOT_FOUND);
        return GetLastError();
    });
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    GetExitCodeThread(thread, &exitCode);
    EXPECT_EQ(seenByThread, ERROR_SUCCESS);
    EXPECT_EQ(exitCode, ERROR_NOT_FOUND);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(thread);
}

using Clock = MachineTest;

TEST_F(Clock, LongTimeOutsPassQuicklyUnderTheScaleAndTimeNeverGoesBack) {
    sim::SetTimeScale(0.001);
    HANDLE never = NewEvent(false);
    ULONGLONG ticksBefore = GetTickCount64();
    std::uint64_t machineBefore = sim::NowMs();
    auto realBefore = steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(never, 10000), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(1, &never, FALSE, 10000), WAIT_TIMEOUT);
    Sleep(10000);
    EXPECT_LT(steady_clock::now() - realBefore, std::chrono::seconds(3));
    EXPECT_GE(sim::NowMs() - machineBefore, 30000u);
    EXPECT_GE(GetTickCount64() - ticksBefore, 30000u);
    CloseHandle(never);

    std::uint64_t fast = sim::NowMs();
    sim::SetTimeScale(1.0);
    EXPECT_GE(sim::NowMs(), fast);
    sim::SetTimeScale(0.0); // ignored, as is a negative scale
    sim::SetTimeScale(-1.0);
    EXPECT_EQ(sim::TimeScale(), 1.0);
}

} // namespace
