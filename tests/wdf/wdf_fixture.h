// A clean machine for every WDF test: no objects, no faults, no trace.
#pragma once

#include "platform/sim/wdf_control.h"
#include "platform/wdf.h"
#include "tests/support/MachineTest.h"

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
