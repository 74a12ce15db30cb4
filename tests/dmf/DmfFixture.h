// A fresh machine and a test driver per test; the device is built by Add().
#pragma once

#include "platform/sim/driver_host.h"
#include "platform/sim/wdf_control.h"
#include "tests/dmf/EventLog.h"
#include "tests/dmf/TestDriver.h"
#include "tests/support/MachineTest.h"
#include "tests/support/debugger_reports.h"

#include <memory>
#include <string>
#include <vector>

namespace dmftest {

inline ModulePlan Module(const std::string& name, ULONG openOption = 1, bool ownHandlers = false) {
    ModulePlan plan;
    plan.name = name;
    plan.config.OpenOption = openOption;
    plan.config.OwnHandlers = ownHandlers;
    return plan;
}

// A module with `children` under it.
template <size_t N>
ModulePlan Parent(const std::string& name, const RecorderChild (&children)[N],
                  ULONG openOption = 1) {
    ModulePlan plan = Module(name, openOption);
    plan.config.Children = children;
    plan.config.ChildCount = N;
    return plan;
}

// `plan`, failing `slot` with STATUS_DEVICE_NOT_READY.
inline ModulePlan FailingAt(ModulePlan plan, const char* slot) {
    plan.config.FailAt = slot;
    plan.config.FailStatus = STATUS_DEVICE_NOT_READY;
    return plan;
}

inline DMF_CONFIG_Recorder Config(ULONG openOption, ULONG auxiliaryLockCount = 0) {
    DMF_CONFIG_Recorder config{};
    config.OpenOption = openOption;
    config.AuxiliaryLockCount = auxiliaryLockCount;
    return config;
}

using Names = std::vector<std::string>;

class DmfTest : public halvex::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        sim::wdf::ResetForTest();
        sim::SetTimeScale(0.001);
        ClearLog();
        ResetDevice();
    }

    void TearDown() override {
        mHost.reset();
        mReports.Check();
        MachineTest::TearDown();
        sim::wdf::ResetForTest();
    }

    NTSTATUS Load() {
        mHost = std::make_unique<sim::DriverHost>();
        return mHost->LoadEntry(TestDriverEntry);
    }

    // Loads the test driver and runs device add with the device plan.
    NTSTATUS Add() {
        NTSTATUS ntStatus = Load();
        if (!NT_SUCCESS(ntStatus)) {
            return ntStatus;
        }
        return mHost->AddDevice();
    }

    TestDevice& Plan() { return Device(); }
    DMFMODULE Handle(size_t index) { return Device().handles.at(index); }
    WDFDEVICE WdfDevice() { return mHost->Device(); }
    sim::DriverHost& Host() { return *mHost; }

    // Framework objects of a kind still alive (pool tag "Dmf4" = module objects).
    static size_t LiveMemory(const char (&tag)[5]) {
        size_t count = 0;
        for (const auto& object : sim::wdf::LiveObjects()) {
            if (object.kind == "WDFMEMORY" && object.poolTag == WdfMakePoolTag(tag) &&
                !object.deleted) {
                ++count;
            }
        }
        return count;
    }

    static size_t ChildrenOfKind(WDFOBJECT parent, const std::string& kind) {
        size_t count = 0;
        for (const auto& object : sim::wdf::LiveObjects()) {
            if (object.parent == parent && object.kind == kind && !object.deleted) {
                ++count;
            }
        }
        return count;
    }

    // Unloads the driver and expects nothing of its device left behind, once
    // the host's callback threads have ended.
    void UnloadLeavingNothing() {
        mHost->Unload();
        sim::WaitForThreadsToEnd();
        sim::HostLeaks leaks = mHost->LeakReport();
        EXPECT_TRUE(leaks.Empty()) << leaks.ToString();
    }

    static bool WdfComplained() { return sim::TraceContains("WDF: ", TRACE_LEVEL_ERROR); }
    // A test that means to misuse the framework names the report it draws
    // (a part of its debugger line); any other report fails the test.
    void ExpectReport(std::string text) { mReports.Expect(std::move(text)); }

    std::unique_ptr<sim::DriverHost> mHost;
    halvex::testing::DebuggerReports mReports;
};

} // namespace dmftest
