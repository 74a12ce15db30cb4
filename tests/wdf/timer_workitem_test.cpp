#include "wdf_fixture.h"

#include <atomic>
#include <thread>

namespace {

// What the timers' and work items' callbacks saw. With gates, the first run
// signals `entered`, then blocks until `release`.
struct Callbacks {
    std::atomic<int> runs{0};
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::atomic<bool> finished{false};
    int restartUntil = 0;
    HANDLE entered = nullptr;
    HANDLE release = nullptr;

    int Run() {
        if (inside.fetch_add(1) != 0) {
            overlap = true;
        }
        int run = ++runs;
        if (run == 1 && entered != nullptr) {
            SetEvent(entered);
            WaitForSingleObject(release, INFINITE);
            finished = true;
        }
        inside.fetch_sub(1);
        return run;
    }
};
Callbacks* gCallbacks = nullptr;

void TimerCallback(WDFTIMER timer) {
    if (gCallbacks->Run() < gCallbacks->restartUntil) {
        WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(5));
    }
}
void WorkCallback(WDFWORKITEM) {
    gCallbacks->Run();
}

// Each test's timers and work items hang off one parent, deleted after the
// test with the gates its callbacks may block on.
class TimerTest : public WdfTest {
protected:
    void SetUp() override {
        WdfTest::SetUp();
        sim::SetTimeScale(0.001);
        gCallbacks = &mState;
        ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &mParent), STATUS_SUCCESS);
        WDF_OBJECT_ATTRIBUTES_INIT(&mChild);
        mChild.ParentObject = mParent;
    }
    void TearDown() override {
        if (sim::wdf::IsLiveHandle(mParent)) {
            WdfObjectDelete(mParent);
        }
        for (HANDLE event : {mState.entered, mState.release}) {
            if (event != nullptr) {
                CloseHandle(event);
            }
        }
        WdfTest::TearDown();
    }
    void UseGates() {
        mState.entered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        mState.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    WDFTIMER MakeTimer(ULONG period = 0) {
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT_PERIODIC(&config, TimerCallback, static_cast<LONG>(period));
        WDFTIMER timer = nullptr;
        EXPECT_EQ(WdfTimerCreate(&config, &mChild, &timer), STATUS_SUCCESS);
        return timer;
    }
    WDFWORKITEM MakeWorkItem() {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, WorkCallback);
        WDFWORKITEM item = nullptr;
        EXPECT_EQ(WdfWorkItemCreate(&config, &mChild, &item), STATUS_SUCCESS);
        return item;
    }
    Callbacks mState;
    WDFOBJECT mParent = nullptr;
    WDF_OBJECT_ATTRIBUTES mChild;
};
using WorkItemTest = TimerTest;

TEST_F(TimerTest, AOneShotTimerIsPendingWorkUntilFiredARestartMovesItAndAStopSaysIfQueued) {
    WDFTIMER timer = MakeTimer();
    EXPECT_EQ(WdfTimerGetParentObject(timer), mParent);
    EXPECT_FALSE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(1000)));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mState.runs, 1);

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_SEC(3600))); // an hour: 3.6 s real
    EXPECT_TRUE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(1)));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mState.runs, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));

    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_SEC(3600));
    EXPECT_TRUE(WdfTimerStop(timer, FALSE));
    EXPECT_FALSE(WdfTimerStop(timer, FALSE));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mState.runs, 2);
}

// A one-shot timer due later than a settle waits cannot be waited for: it
// does not hold the machine, while one due within the bound does, and is
// named among what the machine still owes.
TEST_F(TimerTest, AOneShotTimerDueBeyondTheSettleBoundIsNotOwedAndOneWithinItIsNamed) {
    using std::chrono::milliseconds;
    const auto boundMs = std::chrono::duration_cast<milliseconds>(sim::kSettleBound).count();
    WDFTIMER timer = MakeTimer();
    // At a thousandth of real time: machine milliseconds = 1000 x real ones.
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS((boundMs + 1000) * 1000));
    EXPECT_TRUE(sim::IsSettled());
    EXPECT_EQ(sim::OwedWork(), "");

    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS((boundMs - 1000) * 1000));
    EXPECT_FALSE(sim::IsSettled());
    EXPECT_NE(sim::OwedWork().find("WDF timer: 1 due, the next in "), std::string::npos)
        << sim::OwedWork();
    EXPECT_TRUE(WdfTimerStop(timer, FALSE));
    EXPECT_TRUE(sim::IsSettled());
    EXPECT_EQ(mState.runs, 0);
}

TEST_F(TimerTest, StopWithWaitReturnsOnlyAfterARunningCallback) {
    UseGates();
    WDFTIMER timer = MakeTimer();
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(1));
    ASSERT_EQ(WaitForSingleObject(mState.entered, INFINITE), WAIT_OBJECT_0);
    std::atomic<bool> sawFinished{false};
    std::thread stopper([&] {
        EXPECT_FALSE(WdfTimerStop(timer, TRUE)); // it had fired: not queued
        sawFinished = mState.finished.load();
    });
    SetEvent(mState.release);
    stopper.join();
    EXPECT_TRUE(sawFinished);
}

TEST_F(TimerTest, TimersRestartedFromTheirCallbackOrPeriodicRunAgainWithoutHoldingQuiescence) {
    mState.restartUntil = 3;
    WDFTIMER timer = MakeTimer();
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(5));
    EXPECT_TRUE(WaitUntil([&] { return mState.runs.load() == 3; }));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mState.runs, 3);
    // From then on no start holds quiescence, whoever makes it.
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_SEC(36000)); // 36 s real
    EXPECT_TRUE(sim::Settle(std::chrono::seconds(5)));

    WDFTIMER periodic = MakeTimer(1000); // 1 ms real between runs
    WdfTimerStart(periodic, WDF_REL_TIMEOUT_IN_MS(1000));
    EXPECT_TRUE(WaitUntil([&] { return mState.runs.load() >= 6; }));
    EXPECT_TRUE(sim::Settle(std::chrono::seconds(5))); // periodic timers do not count
    WdfTimerStop(periodic, TRUE);
    int runs = mState.runs;
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mState.runs, runs);
}

TEST_F(TimerTest, DeletingTheParentStopsItsTimersAndWaitsForARunningWorkItem) {
    WDFTIMER timer = MakeTimer();
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_SEC(3600)); // well after the deletion
    UseGates();
    WDFWORKITEM item = MakeWorkItem();
    WdfWorkItemEnqueue(item);
    ASSERT_EQ(WaitForSingleObject(mState.entered, INFINITE), WAIT_OBJECT_0);
    // The run is let go once the deletion has returned, or after a while if
    // the deletion waits for it, as it must: then the run ends first.
    std::atomic<bool> deleted{false};
    std::thread releaser([&] {
        WaitUntil([&] { return deleted.load(); }, std::chrono::milliseconds(100));
        SetEvent(mState.release);
    });
    WdfObjectDelete(mParent);
    deleted = true;
    EXPECT_EQ(mState.inside, 0);
    releaser.join();
    EXPECT_FALSE(sim::wdf::IsLiveHandle(item));
    EXPECT_FALSE(sim::wdf::IsLiveHandle(timer));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mState.runs, 1); // the work item's only
    EXPECT_FALSE(WdfTimerStart(timer, 0));
    EXPECT_TRUE(sim::TraceContains("WdfTimerStart: invalid handle", TRACE_LEVEL_ERROR));
}

TEST_F(WorkItemTest, EnqueuesWhileRunningQueueOneMoreRunNeverAConcurrentOneAndFlushWaits) {
    WDFWORKITEM item = MakeWorkItem();
    EXPECT_EQ(WdfWorkItemGetParentObject(item), mParent);
    UseGates();
    WdfWorkItemEnqueue(item);
    ASSERT_EQ(WaitForSingleObject(mState.entered, INFINITE), WAIT_OBJECT_0);
    WdfWorkItemEnqueue(item);
    WdfWorkItemEnqueue(item); // already queued: nothing more
    SetEvent(mState.release);
    WdfWorkItemFlush(item);
    EXPECT_EQ(mState.runs, 2);
    EXPECT_FALSE(mState.overlap);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mState.runs, 2);
}

} // namespace
