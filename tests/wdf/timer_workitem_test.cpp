#include "wdf_fixture.h"

#include <atomic>
#include <thread>

namespace {

// Each test's objects hang off one parent, deleted after the test with the
// gate events its callbacks may block on.
template <typename State> class ParentedCallbackTest : public WdfTest {
protected:
    void SetUp() override {
        WdfTest::SetUp();
        ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &mParent), STATUS_SUCCESS);
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
    // The callback signals `entered`, then blocks until `release`.
    void UseGates() {
        mState.entered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        mState.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    WDF_OBJECT_ATTRIBUTES ChildAttributes() const {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = mParent;
        return attributes;
    }
    State mState;
    WDFOBJECT mParent = nullptr;
};

struct TimerState {
    std::atomic<int> fired{0};
    int restartUntil = 0;
    HANDLE entered = nullptr;
    HANDLE release = nullptr;
    std::atomic<bool> finished{false};
};
TimerState* gTimer = nullptr;

void CountingTimer(WDFTIMER timer) {
    int count = ++gTimer->fired;
    if (gTimer->entered != nullptr) {
        SetEvent(gTimer->entered);
        WaitForSingleObject(gTimer->release, INFINITE);
        gTimer->finished = true;
    }
    if (count < gTimer->restartUntil) {
        WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(5));
    }
}

class TimerTest : public ParentedCallbackTest<TimerState> {
protected:
    void SetUp() override {
        ParentedCallbackTest::SetUp();
        sim::SetTimeScale(0.001);
        gTimer = &mState;
    }
    WDFTIMER Make(ULONG period = 0) {
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT_PERIODIC(&config, CountingTimer, static_cast<LONG>(period));
        WDF_OBJECT_ATTRIBUTES attributes = ChildAttributes();
        WDFTIMER timer = nullptr;
        EXPECT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);
        return timer;
    }
};

TEST_F(TimerTest, AOneShotTimerIsPendingWorkUntilItHasFiredOrIsStopped) {
    WDFTIMER timer = Make();
    EXPECT_EQ(WdfTimerGetParentObject(timer), mParent);
    EXPECT_FALSE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(1000)));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mState.fired, 1);
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_SEC(3600));
    EXPECT_TRUE(WdfTimerStop(timer, FALSE)); // still queued
    EXPECT_FALSE(WdfTimerStop(timer, FALSE));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mState.fired, 1);
}

TEST_F(TimerTest, RestartingAnArmedTimerMovesItsDueTime) {
    WDFTIMER timer = Make();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_SEC(3600))); // an hour: 3.6 s real
    EXPECT_TRUE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(1)));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mState.fired, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
}

TEST_F(TimerTest, StopWithWaitReturnsOnlyAfterARunningCallback) {
    UseGates();
    WDFTIMER timer = Make();
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(1));
    ASSERT_EQ(WaitForSingleObject(mState.entered, INFINITE), WAIT_OBJECT_0);
    std::atomic<bool> sawFinished{false};
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        EXPECT_FALSE(WdfTimerStop(timer, TRUE)); // it had fired: not queued
        sawFinished = mState.finished.load();
        stopped = true;
    });
    SetEvent(mState.release);
    stopper.join();
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(sawFinished);
}

TEST_F(TimerTest, ATimerRestartedFromItsOwnCallbackRunsAgainAsAPeriodicOne) {
    mState.restartUntil = 3;
    WDFTIMER timer = Make();
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(5));
    EXPECT_TRUE(WaitUntil([&] { return mState.fired.load() == 3; }));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mState.fired, 3);
    // From then on no start holds quiescence, whoever makes it.
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_SEC(36000)); // 36 s real
    EXPECT_TRUE(sim::Settle(std::chrono::seconds(5)));
}

TEST_F(TimerTest, APeriodicTimerRunsUntilStoppedWithoutHoldingQuiescence) {
    WDFTIMER timer = Make(1000); // 1 ms real between runs
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(1000));
    EXPECT_TRUE(WaitUntil([&] { return mState.fired.load() >= 3; }));
    EXPECT_TRUE(sim::Settle(std::chrono::seconds(5))); // periodic timers do not count
    WdfTimerStop(timer, TRUE);
    int fired = mState.fired;
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mState.fired, fired);
}

TEST_F(TimerTest, DeletingTheParentStopsAndDeletesTheTimer) {
    WDFTIMER timer = Make();
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_SEC(3600)); // well after the deletion
    WdfObjectDelete(mParent);
    EXPECT_FALSE(sim::wdf::IsLiveHandle(timer));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mState.fired, 0);
    EXPECT_FALSE(WdfTimerStart(timer, 0));
    EXPECT_TRUE(sim::TraceContains("WdfTimerStart: invalid handle", TRACE_LEVEL_ERROR));
}

struct WorkState {
    std::atomic<int> runs{0};
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    HANDLE entered = nullptr;
    HANDLE release = nullptr;
};
WorkState* gWork = nullptr;

void CountingWork(WDFWORKITEM) {
    if (gWork->inside.fetch_add(1) != 0) {
        gWork->overlap = true;
    }
    int run = ++gWork->runs;
    if (run == 1 && gWork->entered != nullptr) {
        SetEvent(gWork->entered);
        WaitForSingleObject(gWork->release, INFINITE);
    }
    gWork->inside.fetch_sub(1);
}

class WorkItemTest : public ParentedCallbackTest<WorkState> {
protected:
    void SetUp() override {
        ParentedCallbackTest::SetUp();
        gWork = &mState;
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, CountingWork);
        WDF_OBJECT_ATTRIBUTES attributes = ChildAttributes();
        ASSERT_EQ(WdfWorkItemCreate(&config, &attributes, &mItem), STATUS_SUCCESS);
    }
    WDFWORKITEM mItem = nullptr;
};

TEST_F(WorkItemTest, AnEnqueuedItemRunsOnceAndFlushWaitsForIt) {
    EXPECT_EQ(WdfWorkItemGetParentObject(mItem), mParent);
    WdfWorkItemEnqueue(mItem);
    WdfWorkItemFlush(mItem);
    EXPECT_EQ(mState.runs, 1);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mState.runs, 1);
}

TEST_F(WorkItemTest, EnqueuesWhileRunningQueueOneMoreRunNeverAConcurrentOne) {
    UseGates();
    WdfWorkItemEnqueue(mItem);
    ASSERT_EQ(WaitForSingleObject(mState.entered, INFINITE), WAIT_OBJECT_0);
    WdfWorkItemEnqueue(mItem);
    WdfWorkItemEnqueue(mItem); // already queued: nothing more
    SetEvent(mState.release);
    WdfWorkItemFlush(mItem);
    EXPECT_EQ(mState.runs, 2);
    EXPECT_FALSE(mState.overlap);
}

TEST_F(WorkItemTest, DeletingTheParentWaitsForTheRunningItem) {
    UseGates();
    WdfWorkItemEnqueue(mItem);
    ASSERT_EQ(WaitForSingleObject(mState.entered, INFINITE), WAIT_OBJECT_0);
    std::thread releaser([&] { SetEvent(mState.release); });
    WdfObjectDelete(mParent);
    EXPECT_EQ(mState.inside, 0); // the run had ended
    releaser.join();
    EXPECT_FALSE(sim::wdf::IsLiveHandle(mItem));
}

} // namespace
