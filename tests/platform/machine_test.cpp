// The simulated machine's own services: quiescence, fault points, the trace
// recorder, COM apartments and the debugger.
#include "platform/com.h"
#include "platform/sim/com_apartment.h"
#include "platform/sim/work_queue.h"
#include "tests/support/MachineTest.h"

#include <atomic>

namespace {

using halvex::testing::MachineTest;
using halvex::testing::StartStandInThread;

using Quiescence = MachineTest;

TEST_F(Quiescence, SettledOnlyWhileEveryThreadWaitsOnSomethingUnsignalled) {
    EXPECT_TRUE(sim::IsSettled());
    HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE quit = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> release{false};
    std::atomic<int> passes{0};
    HANDLE thread = StartStandInThread([&] {
        // Busy outside any stand-in wait, before its first wait and after each
        // wake-up, until the test lets go.
        HANDLE handles[] = {quit, wake};
        for (;; ++passes) {
            while (!release.exchange(false)) {
            }
            if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
                return 0u;
            }
        }
    });
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(sim::LiveThreadCount(), 1u);
    EXPECT_FALSE(sim::Settle(std::chrono::milliseconds(20)));
    EXPECT_NE(sim::OwedWork().find(" running"), std::string::npos) << sim::OwedWork();
    release = true;
    EXPECT_TRUE(sim::Settle());
    EXPECT_EQ(sim::OwedWork(), "");

    // From the signal on, the thread is either not yet woken (its event is
    // signalled) or running: never settled until it waits again.
    SetEvent(wake);
    EXPECT_FALSE(sim::IsSettled());
    EXPECT_FALSE(sim::Settle(std::chrono::milliseconds(20)));
    release = true;
    EXPECT_TRUE(sim::Settle());
    EXPECT_EQ(passes.load(), 1);

    SetEvent(quit);
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(sim::IsSettled());
    CloseHandle(thread);
    CloseHandle(wake);
    CloseHandle(quit);
}

TEST_F(Quiescence, PendingWorkAndQueuedItemsKeepTheMachineUnsettled) {
    {
        sim::PendingWorkToken owed;
        EXPECT_FALSE(sim::IsSettled());
        sim::AddPendingWork(1);
        sim::AddPendingWork(-1);
        EXPECT_FALSE(sim::Settle(std::chrono::milliseconds(10)));
    }
    EXPECT_TRUE(sim::IsSettled());

    std::vector<int> order;
    {
        sim::WorkQueue queue("test queue");
        sim::SetTimeScale(0.001);
        auto late = queue.PostAfter(1e6, [&] { order.push_back(9); });
        EXPECT_TRUE(queue.Cancel(late));
        EXPECT_FALSE(queue.Cancel(late));
        // Due order, not post order (the gaps dwarf the time between the posts).
        auto last = queue.PostAfter(100000, [&] { order.push_back(3); });
        queue.PostAfter(50000, [&] { order.push_back(2); });
        queue.Post([&] { order.push_back(1); });
        EXPECT_FALSE(sim::IsSettled());
        queue.WaitUntilDone(last);
        EXPECT_TRUE(sim::Settle());
        EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
        // Uncounted (periodic) work does not hold the machine up.
        queue.PostAfter(
            1e9, [&] { order.push_back(9); }, false);
        EXPECT_TRUE(sim::IsSettled());
        queue.PostAfter(1e9, [&] { order.push_back(9); });
        // Only the counted item is owed, named after its queue.
        EXPECT_NE(sim::OwedWork().find("test queue: 1 due, the next in 99999"), std::string::npos)
            << sim::OwedWork();
    } // dropped unrun
    EXPECT_EQ(order.size(), 3u);
    EXPECT_TRUE(sim::IsSettled());
}

using Faults = MachineTest;

TEST_F(Faults, OnceNthAndAlwaysFireWhenArmedAndCarryTheirCodes) {
    EXPECT_FALSE(sim::CheckFault("Point"));
    sim::ArmFault("Point", sim::FaultSpec::Once(5));
    EXPECT_EQ(sim::CheckFault("Point"), std::optional<std::int64_t>(5));
    EXPECT_FALSE(sim::CheckFault("Point"));

    sim::ArmFault("Point", sim::FaultSpec::OnCall(3));
    EXPECT_FALSE(sim::CheckFault("Point"));
    EXPECT_FALSE(sim::CheckFault("Point"));
    EXPECT_EQ(sim::CheckFault("Point"), std::optional<std::int64_t>(0));
    EXPECT_FALSE(sim::CheckFault("Point"));

    sim::ArmFault("Point", sim::FaultSpec::Always(-3));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(sim::CheckFault("Point"), std::optional<std::int64_t>(-3));
    }
    sim::DisarmFault("Point");
    EXPECT_FALSE(sim::CheckFault("Point"));
    EXPECT_EQ(sim::FaultCalls("Point"), 12u);
    EXPECT_FALSE(sim::CheckFault("Other"));

    sim::ArmFault("Point", sim::FaultSpec::Always());
    sim::ResetFaults();
    EXPECT_FALSE(sim::CheckFault("Point"));
    EXPECT_EQ(sim::FaultCalls("Point"), 1u);
    EXPECT_EQ(sim::FaultCodeOr<DWORD>(0, ERROR_BUSY), ERROR_BUSY);
    EXPECT_EQ(sim::FaultCodeOr<DWORD>(ERROR_TIMEOUT, ERROR_BUSY), ERROR_TIMEOUT);
}

using Trace = MachineTest;

int gFormatted = 0;
int CountFormatting() {
    return ++gFormatted;
}

TEST_F(Trace, RecordsEnabledLevelsWithWhereAndWhenAndSkipsDisabledOnesEntirely) {
    std::vector<std::string> sunk;
    sim::SetTraceSink([&](const sim::TraceRecord& record) { sunk.push_back(record.message); });
    gFormatted = 0;
    SetLastError(ERROR_BUSY);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE, "failure %d", CountFormatting());
    FuncEntry(TRACE_DRIVER);
    FuncExit(TRACE_DRIVER, "status %d", -1);
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    sim::SetTraceSink(nullptr);
    EXPECT_TRUE(sim::TraceContains("failure 1", TRACE_LEVEL_ERROR));
    EXPECT_FALSE(sim::TraceContains("Exit", TRACE_LEVEL_INFORMATION));
    EXPECT_EQ(sunk, (std::vector<std::string>{"failure 1", "TestBody Entry",
                                              "TestBody Exit: status -1"}));
    auto records = sim::TraceSnapshot();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].level, TRACE_LEVEL_VERBOSE);
    EXPECT_EQ(records[2].flags, TRACE_DRIVER);
    EXPECT_EQ(records[2].file, "machine_test.cpp");
    EXPECT_EQ(records[2].threadId, GetCurrentThreadId());

    // A disabled level neither formats nor evaluates its arguments.
    sim::SetTraceLevel(TRACE_LEVEL_ERROR);
    EXPECT_EQ(sim::GetTraceLevel(), TRACE_LEVEL_ERROR);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_ENGINE, "flow %d", CountFormatting());
    FuncEntry(TRACE_ENGINE);
    EXPECT_EQ(gFormatted, 1);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE, "failure %d", 3);
    EXPECT_EQ(sim::TraceCount("failure"), 2u);
    sim::ClearTrace();
    EXPECT_TRUE(sim::TraceSnapshot().empty());
}

using Com = MachineTest;

TEST_F(Com, ApartmentIsTrackedPerThread) {
    HRESULT results[4] = {};
    DWORD workerId = 0;
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = StartStandInThread(
        [&] {
            results[0] = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            results[1] = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            results[2] = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            WaitForSingleObject(done, INFINITE);
            CoUninitialize();
            CoUninitialize();
            results[3] = sim::CurrentThreadInMta() ? S_OK : S_FALSE;
            return 0u;
        },
        &workerId);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(results[0], S_OK);
    EXPECT_EQ(results[1], S_FALSE);
    EXPECT_EQ(results[2], RPC_E_CHANGED_MODE);
    EXPECT_TRUE(sim::ThreadInMta(workerId));
    EXPECT_FALSE(sim::CurrentThreadInMta());
    SetEvent(done);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(results[3], S_FALSE);
    EXPECT_FALSE(sim::ThreadInMta(workerId));
    EXPECT_EQ(sim::CurrentThreadComInitCount(), 0);
    CloseHandle(thread);
    CloseHandle(done);
}

TEST_F(Com, HresultErrorsNarrowStringsAndTheDebugger) {
    EXPECT_NO_THROW(winrt::check_hresult(S_FALSE));
    try {
        winrt::check_hresult(E_FAIL);
        ADD_FAILURE() << "no error raised";
    } catch (const winrt::hresult_error& error) {
        EXPECT_EQ(error.code(), E_FAIL);
    }
    EXPECT_THROW(winrt::check_hresult(E_OUTOFMEMORY), std::bad_alloc);
    EXPECT_EQ(NarrowString(u"Gr\u00fc\u00df \U0001F600"), "Gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80");
    EXPECT_EQ(NarrowString(static_cast<const WCHAR*>(nullptr)), "");

    // The debugger records output and counts breaks without stopping.
    OutputDebugStringA("Invalid Module Handle Passed (Lock)");
    DebugBreak();
    EXPECT_EQ(sim::DebuggerOutput(),
              std::vector<std::string>{"Invalid Module Handle Passed (Lock)"});
    EXPECT_EQ(sim::DebugBreakCount(), 1u);
}

} // namespace
