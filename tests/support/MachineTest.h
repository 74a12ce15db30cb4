// A fixture that gives every test a fresh simulated machine: real-time clock,
// no armed faults, an empty trace at full verbosity, and no stand-in thread
// left over from the previous test.
#pragma once

#include "platform/sim/clock.h"
#include "platform/sim/debugger.h"
#include "platform/sim/faults.h"
#include "platform/sim/quiescence.h"
#include "platform/sim/trace_recorder.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace halvex::testing {

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override { ResetMachine(); }

    void TearDown() override {
        EXPECT_TRUE(sim::WaitForThreadsToEnd(std::chrono::seconds(10)))
            << "a stand-in thread outlived the test";
        ResetMachine();
    }

    static void ResetMachine() {
        sim::SetTimeScale(1.0);
        sim::ResetFaults();
        sim::SetTraceLevel(TRACE_LEVEL_VERBOSE);
        sim::ClearTrace();
        sim::ClearDebugger();
        SetLastError(ERROR_SUCCESS);
    }

    static bool WaitUntil(const std::function<bool()>& condition,
                          std::chrono::milliseconds bound = std::chrono::seconds(10));
};

// Polls `condition` (real time) until it holds or `bound` passes.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

inline bool MachineTest::WaitUntil(const std::function<bool()>& condition,
                                   std::chrono::milliseconds bound) {
    return halvex::testing::WaitUntil(condition, bound);
}

// Runs `body` on a stand-in thread (tracked by quiescence); returns its handle.
inline HANDLE StartStandInThread(std::function<DWORD()> body, DWORD* threadId = nullptr) {
    auto* owned = new std::function<DWORD()>(std::move(body));
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            std::unique_ptr<std::function<DWORD()>> run(
                static_cast<std::function<DWORD()>*>(parameter));
            return (*run)();
        },
        owned, 0, threadId);
    if (thread == nullptr) {
        delete owned;
    }
    return thread;
}

} // namespace halvex::testing
