// A clean machine for every WDF test: no objects, no faults, no trace.
#pragma once

#include "platform/sim/clock.h"
#include "platform/sim/debugger.h"
#include "platform/sim/faults.h"
#include "platform/sim/quiescence.h"
#include "platform/sim/trace_recorder.h"
#include "platform/sim/wdf_control.h"
#include "platform/trace.h"
#include "platform/wdf.h"
#include "platform/win32.h"

#include <functional>
#include <memory>

#include <gtest/gtest.h>

class WdfTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override {
        sim::WaitForThreadsToEnd();
        Reset();
        sim::SetTimeScale(1.0);
    }
    static void Reset() {
        sim::wdf::ResetForTest();
        sim::ResetFaults();
        sim::ClearTrace();
        sim::ClearDebugger();
    }
    // A thread quiescence knows about (blocked in a stand-in wait = settled).
    static HANDLE StartThread(std::function<void()> body) {
        auto* heap = new std::function<void()>(std::move(body));
        return CreateThread(
            nullptr, 0,
            [](LPVOID parameter) -> DWORD {
                std::unique_ptr<std::function<void()>> work(
                    static_cast<std::function<void()>*>(parameter));
                (*work)();
                return 0;
            },
            heap, 0, nullptr);
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
