// ScheduledTask and Rundown on a device that adds them: the once-per-
// installation record, the timer periods until D0 exit, deferred runs, and
// the rundown's end-and-wait and close.
#include "dmf/modules/Dmf_Rundown.h"
#include "dmf/modules/Dmf_ScheduledTask.h"
#include "platform/sim/registry.h"
#include "tests/dmf_modules/module_device.h"

#include <future>
#include <mutex>
#include <vector>

namespace moduletest {
namespace {

// What the task answers, call by call (the last answer repeats), and what it saw.
struct TaskLog {
    std::mutex lock;
    std::vector<ULONG> answers{ScheduledTask_WorkResult_Done};
    std::vector<std::uint64_t> times;
    std::vector<PVOID> contexts;
    std::vector<WDF_POWER_DEVICE_STATE> previousStates;
    size_t gatedCall = 0; // this call (counted from 1) waits for the gate
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    ~TaskLog() { CloseHandle(gate); }
    size_t Calls() {
        std::lock_guard guard(lock);
        return times.size();
    }
};
TaskLog* gLog = nullptr;

ULONG Task(DMFMODULE, PVOID CallbackContext, WDF_POWER_DEVICE_STATE PreviousState) {
    size_t call = 0;
    ULONG answer = 0;
    {
        std::lock_guard guard(gLog->lock);
        gLog->times.push_back(sim::NowMs());
        gLog->contexts.push_back(CallbackContext);
        gLog->previousStates.push_back(PreviousState);
        call = gLog->times.size();
        answer = gLog->answers[std::min(call, gLog->answers.size()) - 1];
    }
    if (call == gLog->gatedCall) {
        WaitForSingleObject(gLog->gate, INFINITE);
    }
    return answer;
}

DMF_CONFIG_ScheduledTask TaskConfig(ULONG persistence, ULONG mode, ULONG when) {
    DMF_CONFIG_ScheduledTask config{};
    config.EvtScheduledTaskCallback = Task;
    config.PersistenceType = persistence;
    config.ExecutionMode = mode;
    config.ExecuteWhen = when;
    return config;
}

class ScheduledTaskTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        mLog = std::make_unique<TaskLog>();
        gLog = mLog.get();
    }
    void TearDown() override {
        SetEvent(mLog->gate);
        ModuleTest::TearDown();
        gLog = nullptr;
    }
    std::unique_ptr<TaskLog> mLog;
};

TEST_F(ScheduledTaskTest, ATaskRunOncePerInstallationRecordsItsSuccessAndIsSkippedAfterIt) {
    constexpr ULONG once = ScheduledTask_Persistence_OncePerInstallation;
    struct Row {
        ULONG persistence;
        bool ranBefore;
        ULONG answer;
        NTSTATUS start;
        size_t calls;
        bool recorded;
    };
    const Row rows[] = {
        {once, true, ScheduledTask_WorkResult_Done, STATUS_SUCCESS, 0, true},
        {once, false, ScheduledTask_WorkResult_Done, STATUS_SUCCESS, 1, true},
        {once, false, ScheduledTask_WorkResult_DoneForNow, STATUS_UNSUCCESSFUL, 1, false},
        {ScheduledTask_Persistence_None, false, ScheduledTask_WorkResult_Done, STATUS_SUCCESS, 1,
         false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        mHost.reset();
        mSpecs.clear();
        sim::registry::Reset();
        mLog = std::make_unique<TaskLog>();
        gLog = mLog.get();
        mLog->answers = {row.answer};
        if (row.ranBefore) {
            sim::registry::SetDword(sim::registry::kDriverKey, u"TimesRun", 1);
        }
        Add(DMF_ScheduledTask_Create,
            TaskConfig(row.persistence, ScheduledTask_ExecutionMode_Immediate,
                       ScheduledTask_ExecuteWhen_D0Entry));
        ASSERT_EQ(STATUS_SUCCESS, AddDevice());
        EXPECT_EQ(row.start, Host().Start());
        if (NT_SUCCESS(row.start)) {
            // A task that is done is not run again at the next entry.
            ASSERT_EQ(STATUS_SUCCESS, Host().Sleep());
            ASSERT_EQ(STATUS_SUCCESS, Host().Wake());
        }
        EXPECT_EQ(row.calls, mLog->Calls());
        EXPECT_EQ(row.recorded,
                  sim::registry::GetValue(sim::registry::kDriverKey, u"TimesRun").has_value());
        if (row.calls != 0) {
            EXPECT_EQ(WdfPowerDeviceD3Final, mLog->previousStates[0]);
        }
    }
}

TEST_F(ScheduledTaskTest, ATaskRunsAgainAfterItsFailAndSuccessPeriodsUntilTheDeviceLeavesD0) {
    DMF_CONFIG_ScheduledTask config =
        TaskConfig(ScheduledTask_Persistence_None, ScheduledTask_ExecutionMode_Deferred,
                   ScheduledTask_ExecuteWhen_D0Entry);
    config.TimeMsBeforeInitialCall = 3600000;
    config.TimerPeriodMsOnFail = 2000;
    config.TimerPeriodMsOnSuccess = 20000;
    Add(DMF_ScheduledTask_Create, config);
    mLog->answers = {ScheduledTask_WorkResult_FailTryAgain, ScheduledTask_WorkResult_FailTryAgain,
                     ScheduledTask_WorkResult_SuccessTryAgain};
    mLog->gatedCall = 5;
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());

    // Leaving D0 before the first run is due puts it off to the next entry.
    ASSERT_EQ(STATUS_SUCCESS, Host().Start());
    ASSERT_EQ(STATUS_SUCCESS, Host().Sleep());
    sim::SetTimeScale(0.00001);
    ASSERT_EQ(STATUS_SUCCESS, Host().Wake());
    ASSERT_TRUE(WaitUntil([&] { return mLog->Calls() == 5; }));
    {
        std::lock_guard guard(mLog->lock);
        const auto& t = mLog->times;
        EXPECT_GE(t[1] - t[0], 2000u);
        EXPECT_GE(t[2] - t[1], 2000u);
        EXPECT_GE(t[3] - t[2], 20000u);
        EXPECT_EQ(WdfPowerDeviceInvalid, mLog->previousStates[0]);
    }

    // The run in progress when the device leaves D0 is the last one.
    ASSERT_EQ(STATUS_SUCCESS, Host().Sleep());
    SetEvent(mLog->gate);
    EXPECT_FALSE(WaitUntil([&] { return mLog->Calls() > 5; }, std::chrono::milliseconds(50)));
    // ...until it enters D0 again.
    ASSERT_EQ(STATUS_SUCCESS, Host().Wake());
    EXPECT_TRUE(WaitUntil([&] { return mLog->Calls() > 5; }));
}

TEST_F(ScheduledTaskTest, TwoDeferredRunsAskedForBeforeTheFirstEndsQueueOneWorkItemAndTwoRuns) {
    int configured = 0;
    DMF_CONFIG_ScheduledTask config =
        TaskConfig(ScheduledTask_Persistence_None, ScheduledTask_ExecutionMode_Deferred,
                   ScheduledTask_ExecuteWhen_Other);
    config.CallbackContext = &configured;
    Add(DMF_ScheduledTask_Create, config, /*passive=*/true);
    mLog->gatedCall = 1;
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    int first = 0;
    int second = 0;
    EXPECT_EQ(STATUS_SUCCESS, DMF_ScheduledTask_ExecuteNowDeferred(Module(0), &first));
    ASSERT_TRUE(WaitUntil([&] { return mLog->Calls() == 1; }));
    EXPECT_EQ(STATUS_SUCCESS, DMF_ScheduledTask_ExecuteNowDeferred(Module(0), &second));
    SetEvent(mLog->gate);
    ASSERT_TRUE(WaitUntil([&] { return mLog->Calls() == 2; }));
    ASSERT_TRUE(sim::Settle());
    // Without an argument the run is the task's own, with its configured context.
    EXPECT_EQ(STATUS_SUCCESS, DMF_ScheduledTask_ExecuteNowDeferred(Module(0), nullptr));
    ASSERT_TRUE(WaitUntil([&] { return mLog->Calls() == 3; }));
    EXPECT_EQ((std::vector<PVOID>{&first, &first, &configured}), mLog->contexts);
}

TEST_F(ScheduledTaskTest, ARundownRefusesReferencesOnceEndingAndItsCloseWaitsForTheOnesHeld) {
    size_t ending = Add(DMF_Rundown_Create);
    size_t closing = Add(DMF_Rundown_Create);
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    DMFMODULE rundown = Module(ending);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, DMF_Rundown_Reference(rundown));
    DMF_Rundown_Start(rundown);
    DMF_Rundown_Start(Module(closing));
    ASSERT_EQ(STATUS_SUCCESS, DMF_Rundown_Reference(rundown));
    ASSERT_EQ(STATUS_SUCCESS, DMF_Rundown_Reference(Module(closing)));

    auto ended = std::async(std::launch::async, [&] { DMF_Rundown_EndAndWait(rundown); });
    ASSERT_TRUE(WaitUntil([&] {
        NTSTATUS ntStatus = DMF_Rundown_Reference(rundown);
        if (NT_SUCCESS(ntStatus)) {
            DMF_Rundown_Dereference(rundown);
        }
        return ntStatus == STATUS_INVALID_DEVICE_STATE;
    }));
    ASSERT_TRUE(sim::Settle());
    EXPECT_NE(std::future_status::ready, ended.wait_for(std::chrono::seconds(0)));
    DMF_Rundown_Dereference(rundown);
    ASSERT_EQ(std::future_status::ready, ended.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, DMF_Rundown_Reference(rundown));

    auto removed = std::async(std::launch::async, [&] { return Host().Remove(); });
    ASSERT_TRUE(WaitUntil([] { return sim::TraceCount("DMF_Rundown_EndAndWait Entry") == 2; }));
    EXPECT_NE(std::future_status::ready, removed.wait_for(std::chrono::seconds(0)));
    DMF_Rundown_Dereference(Module(closing));
    ASSERT_EQ(std::future_status::ready, removed.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(STATUS_SUCCESS, removed.get());
}

} // namespace
} // namespace moduletest
