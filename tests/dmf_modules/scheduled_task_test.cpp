// ScheduledTask and Rundown on a device that adds them: the once-per-
// installation record, the timer periods until D0 exit, deferred runs, and
// the rundown's end-and-wait and close.
#include "dmf/modules/Dmf_Rundown.h"
#include "dmf/modules/Dmf_ScheduledTask.h"
#include "platform/sim/registry.h"
#include "tests/dmf_modules/module_device.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <optional>
#include <vector>

namespace moduletest {
namespace {

ULONG Task(DMFMODULE, PVOID CallbackContext, WDF_POWER_DEVICE_STATE PreviousState) {
    return Log().Record(nullptr, CallbackContext, PreviousState);
}

DMF_CONFIG_ScheduledTask TaskConfig(ULONG persistence, ULONG mode, ULONG when) {
    return {Task, nullptr, persistence, mode, when, 0, 0, 0};
}

using ScheduledTaskTest = ModuleTest;

// "TimesRun" as the module stored it: a 4-byte 1, or nothing.
std::optional<ULONG> TimesRun() {
    auto value = sim::registry::GetValue(sim::registry::kDriverKey, u"TimesRun");
    if (!value) {
        return std::nullopt;
    }
    EXPECT_EQ(ULONG{REG_DWORD}, value->type);
    ULONG number = 0;
    EXPECT_EQ(sizeof(number), value->data.size());
    std::memcpy(&number, value->data.data(), std::min(sizeof(number), value->data.size()));
    return number;
}

// The rows run in order on one registry unless a row starts afresh: the
// second finds what the first run of the task recorded. A key that cannot be
// opened counts as never run; a record that cannot be written is not made.
TEST_F(ScheduledTaskTest, ATaskRunOncePerInstallationRecordsItsSuccessAndIsSkippedAfterIt) {
    constexpr ULONG once = ScheduledTask_Persistence_OncePerInstallation;
    constexpr ULONG done = ScheduledTask_WorkResult_Done;
    struct Row {
        ULONG persistence;
        bool afresh;
        ULONG answer;
        NTSTATUS start;
        size_t calls;
        std::optional<ULONG> recorded;
        const char* fault = nullptr; // fails once
    };
    const Row rows[] = {
        {once, true, done, STATUS_SUCCESS, 1, 1},
        {once, false, done, STATUS_SUCCESS, 0, 1}, // ran before
        {once, false, done, STATUS_SUCCESS, 1, 1, "WdfDriverOpenParametersRegistryKey"},
        {once, true, done, STATUS_SUCCESS, 1, std::nullopt, "WdfRegistryAssignULong"},
        {once, true, ScheduledTask_WorkResult_DoneForNow, STATUS_UNSUCCESSFUL, 1, std::nullopt},
        {ScheduledTask_Persistence_None, true, done, STATUS_SUCCESS, 1, std::nullopt}};
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        NextDevice();
        if (row.afresh) {
            sim::registry::Reset();
        }
        if (row.fault != nullptr) {
            sim::ArmFault(row.fault, sim::FaultSpec::Once());
        }
        Log().answers = {row.answer};
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
        ASSERT_EQ(row.calls, Log().Count());
        EXPECT_EQ(row.recorded, TimesRun());
        EXPECT_TRUE(row.calls == 0 || Log().calls[0].value == WdfPowerDeviceD3Final);
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
    Log().answers = {ScheduledTask_WorkResult_FailTryAgain, ScheduledTask_WorkResult_FailTryAgain,
                     ScheduledTask_WorkResult_SuccessTryAgain};
    Log().gatedCall = 5;
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());

    // Leaving D0 before the first run is due puts it off to the next entry.
    ASSERT_EQ(STATUS_SUCCESS, Host().Start());
    ASSERT_EQ(STATUS_SUCCESS, Host().Sleep());
    sim::SetTimeScale(0.00001);
    ASSERT_EQ(STATUS_SUCCESS, Host().Wake());
    ASSERT_TRUE(WaitUntil([] { return Log().Count() == 5; }));
    const auto& t = Log().times;
    EXPECT_EQ(ULONG{WdfPowerDeviceInvalid}, Log().calls[0].value);
    EXPECT_GE(t[1] - t[0], 2000u);
    EXPECT_GE(t[2] - t[1], 2000u);
    EXPECT_GE(t[3] - t[2], 20000u);

    // The run in progress when the device leaves D0 is the last one, until it enters D0 again.
    ASSERT_EQ(STATUS_SUCCESS, Host().Sleep());
    SetEvent(Log().gate);
    EXPECT_FALSE(WaitUntil([] { return Log().Count() > 5; }, std::chrono::milliseconds(50)));
    ASSERT_EQ(STATUS_SUCCESS, Host().Wake());
    EXPECT_TRUE(WaitUntil([] { return Log().Count() > 5; }));
}

// A run that answers "again" as the device leaves D0 looked at the flag
// before the exit set it, and sets its timer only once the exit is over: the
// timer then fires, but nothing runs until the next entry.
TEST_F(ScheduledTaskTest, ARunRestartingItsTimerAsTheDeviceLeavesD0RunsNoMoreUntilTheNextEntry) {
    DMF_CONFIG_ScheduledTask config =
        TaskConfig(ScheduledTask_Persistence_None, ScheduledTask_ExecutionMode_Deferred,
                   ScheduledTask_ExecuteWhen_D0Entry);
    config.TimeMsBeforeInitialCall = 1000;
    config.TimerPeriodMsOnFail = 1000;
    Add(DMF_ScheduledTask_Create, config);
    Log().answers = {ScheduledTask_WorkResult_FailTryAgain};
    Log().gatedCall = 1;
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    ASSERT_EQ(STATUS_SUCCESS, Host().Start());
    ASSERT_TRUE(WaitUntil([] { return Log().Count() == 1; }));
    sim::ArmFault("WdfTimerStart", sim::FaultSpec::Hold());
    SetEvent(Log().gate);
    ASSERT_TRUE(sim::WaitForHeldCall("WdfTimerStart"));
    ASSERT_EQ(STATUS_SUCCESS, Host().Sleep());
    sim::LetHeldCallGo("WdfTimerStart");
    ASSERT_TRUE(WaitUntil([] { return sim::TraceContains("Timer after the task's state ended"); }));
    EXPECT_EQ(1u, Log().Count());
    ASSERT_EQ(STATUS_SUCCESS, Host().Wake());
    EXPECT_TRUE(WaitUntil([] { return Log().Count() > 1; }));
}

// A task of prepare-hardware runs when the device starts, at once (its
// answer deciding the start) or from its timer, and not at the D0 entries
// that follow.
TEST_F(ScheduledTaskTest, ATaskOfPrepareHardwareRunsWhenTheDeviceStartsAndNotAtEachD0Entry) {
    struct Row {
        ULONG mode;
        ULONG answer;
        NTSTATUS start;
    };
    for (const Row& row :
         {Row{ScheduledTask_ExecutionMode_Immediate, ScheduledTask_WorkResult_Done, STATUS_SUCCESS},
          Row{ScheduledTask_ExecutionMode_Immediate, ScheduledTask_WorkResult_FailTryAgain,
              STATUS_UNSUCCESSFUL},
          Row{ScheduledTask_ExecutionMode_Deferred, ScheduledTask_WorkResult_Done,
              STATUS_SUCCESS}}) {
        SCOPED_TRACE(row.mode * 10 + row.answer);
        NextDevice();
        DMF_CONFIG_ScheduledTask config = TaskConfig(ScheduledTask_Persistence_None, row.mode,
                                                     ScheduledTask_ExecuteWhen_PrepareHardware);
        config.TimeMsBeforeInitialCall = 1000;
        config.TimerPeriodMsOnFail = 3600000;
        Add(DMF_ScheduledTask_Create, config);
        Log().answers = {row.answer};
        ASSERT_EQ(STATUS_SUCCESS, AddDevice());
        EXPECT_EQ(row.start, Host().Start());
        ASSERT_TRUE(WaitUntil([] { return Log().Count() == 1; }));
        EXPECT_EQ(ULONG{WdfPowerDeviceInvalid}, Log().calls[0].value);
        if (NT_SUCCESS(row.start)) {
            ASSERT_EQ(STATUS_SUCCESS, Host().Sleep());
            ASSERT_EQ(STATUS_SUCCESS, Host().Wake());
            ASSERT_TRUE(sim::Settle());
            EXPECT_EQ(1u, Log().Count());
        }
    }
}

TEST_F(ScheduledTaskTest, AnOpenWithoutItsTimerOrWorkItemFails) {
    for (const char* point : {"WdfTimerCreate", "WdfWorkItemCreate"}) {
        SCOPED_TRACE(point);
        NextDevice();
        Add(DMF_ScheduledTask_Create,
            TaskConfig(ScheduledTask_Persistence_None, ScheduledTask_ExecutionMode_Deferred,
                       ScheduledTask_ExecuteWhen_Other));
        sim::ArmFault(point, sim::FaultSpec::Once(STATUS_NO_MEMORY));
        EXPECT_EQ(STATUS_NO_MEMORY, AddDevice());
    }
}

TEST_F(ScheduledTaskTest, TwoDeferredRunsAskedForBeforeTheFirstEndsQueueOneWorkItemAndTwoRuns) {
    int configured = 0;
    int first = 0;
    int second = 0;
    DMF_CONFIG_ScheduledTask config =
        TaskConfig(ScheduledTask_Persistence_None, ScheduledTask_ExecutionMode_Deferred,
                   ScheduledTask_ExecuteWhen_Other);
    config.CallbackContext = &configured;
    Add(DMF_ScheduledTask_Create, config, /*passive=*/true);
    Log().gatedCall = 1;
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    EXPECT_EQ(STATUS_SUCCESS, DMF_ScheduledTask_ExecuteNowDeferred(Module(0), &first));
    ASSERT_TRUE(WaitUntil([] { return Log().Count() == 1; }));
    EXPECT_EQ(STATUS_SUCCESS, DMF_ScheduledTask_ExecuteNowDeferred(Module(0), &second));
    SetEvent(Log().gate);
    ASSERT_TRUE(WaitUntil([] { return Log().Count() == 2; }));
    ASSERT_TRUE(sim::Settle());
    // Without an argument the run is the task's own, with its configured context.
    EXPECT_EQ(STATUS_SUCCESS, DMF_ScheduledTask_ExecuteNowDeferred(Module(0), nullptr));
    ASSERT_TRUE(WaitUntil([] { return Log().Count() == 3; }));
    EXPECT_EQ(
        (std::vector<Call>{{nullptr, &first, 0}, {nullptr, &first, 0}, {nullptr, &configured, 0}}),
        Log().calls);
}

// A close waits for the run under way; the runs asked for behind it are
// dropped with the module, and so is their count: a run asked for once the
// close is over meets the refusal of the rundown instead of being told that
// a dropped run covers it.
TEST_F(ScheduledTaskTest, TheCloseWaitsForTheRunUnderWayAndDropsTheRunsBehindIt) {
    int context = 0;
    Add(DMF_ScheduledTask_Create,
        TaskConfig(ScheduledTask_Persistence_None, ScheduledTask_ExecutionMode_Deferred,
                   ScheduledTask_ExecuteWhen_Other));
    Log().gatedCall = 1;
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    DMFMODULE task = Module(0);
    EXPECT_EQ(STATUS_SUCCESS, DMF_ScheduledTask_ExecuteNowDeferred(task, &context));
    ASSERT_TRUE(WaitUntil([] { return Log().Count() == 1; }));
    EXPECT_EQ(STATUS_SUCCESS, DMF_ScheduledTask_ExecuteNowDeferred(task, &context));
    std::atomic<NTSTATUS> afterClose{STATUS_PENDING};
    sim::SetTraceSink([&](const sim::TraceRecord& record) {
        if (record.message == "ScheduledTask_Close Exit") {
            afterClose = DMF_ScheduledTask_ExecuteNowDeferred(task, &context);
        }
    });
    auto removed = std::async(std::launch::async, [&] { return Host().Remove(); });
    // The rundown refuses references once its wait has begun to poll.
    ASSERT_TRUE(WaitUntil([] {
        return sim::TraceContains("DMF_Rundown_EndAndWait Entry") &&
               sim::TraceContains("Sleep 100 ms");
    }));
    EXPECT_NE(std::future_status::ready, removed.wait_for(std::chrono::seconds(0)));
    SetEvent(Log().gate);
    ASSERT_EQ(std::future_status::ready, removed.wait_for(std::chrono::seconds(10)));
    sim::SetTraceSink(nullptr);
    EXPECT_EQ(STATUS_SUCCESS, removed.get());
    EXPECT_EQ(1u, Log().Count());
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, afterClose.load());
}

TEST_F(ScheduledTaskTest, ARundownRefusesReferencesOnceEndingAndItsCloseWaitsForTheOnesHeld) {
    Add(DMF_Rundown_Create);
    Add(DMF_Rundown_Create);
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    DMFMODULE rundown = Module(0);
    DMFMODULE closing = Module(1);
    for (DMFMODULE module : {rundown, closing}) {
        DMF_Rundown_Start(module);
        ASSERT_EQ(STATUS_SUCCESS, DMF_Rundown_Reference(module));
    }

    auto ended = std::async(std::launch::async, [&] { DMF_Rundown_EndAndWait(rundown); });
    ASSERT_TRUE(WaitUntil([&] {
        NTSTATUS ntStatus = DMF_Rundown_Reference(rundown);
        if (NT_SUCCESS(ntStatus)) {
            DMF_Rundown_Dereference(rundown);
        }
        return ntStatus == STATUS_INVALID_DEVICE_STATE;
    }));
    EXPECT_NE(std::future_status::ready, ended.wait_for(std::chrono::seconds(0)));
    DMF_Rundown_Dereference(rundown);
    ASSERT_EQ(std::future_status::ready, ended.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, DMF_Rundown_Reference(rundown));

    auto removed = std::async(std::launch::async, [&] { return Host().Remove(); });
    ASSERT_TRUE(WaitUntil([] { return sim::TraceCount("DMF_Rundown_EndAndWait Entry") == 2; }));
    EXPECT_NE(std::future_status::ready, removed.wait_for(std::chrono::seconds(0)));
    DMF_Rundown_Dereference(closing);
    ASSERT_EQ(std::future_status::ready, removed.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(STATUS_SUCCESS, removed.get());
}

} // namespace
} // namespace moduletest
