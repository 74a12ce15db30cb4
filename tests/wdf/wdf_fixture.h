// A clean machine for every WDF test: no objects, no faults, no trace.
#pragma once

#include "platform/sim/wdf_control.h"
#include "platform/wdf.h"
#include "tests/support/MachineTest.h"

// A driver whose device does nothing of its own: a parent for targets and
// requests a test sends itself.
inline NTSTATUS AddPlainDevice(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDFDEVICE device = nullptr;
    return WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
}

inline NTSTATUS PlainDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, AddPlainDevice);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

class WdfTest : public halvex::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        sim::wdf::ResetForTest();
    }
    void TearDown() override {
        MachineTest::TearDown();
        sim::wdf::ResetForTest();
    }
    // A thread quiescence knows about (blocked in a stand-in wait = settled).
    static HANDLE StartThread(std::function<void()> body) {
        return halvex::testing::StartStandInThread([body = std::move(body)] {
            body();
            return DWORD{0};
        });
    }
    static void Join(HANDLE thread) {
        ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    static bool DebuggerSaw(const std::string& text) {
        for (const auto& line : sim::DebuggerOutput()) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};
