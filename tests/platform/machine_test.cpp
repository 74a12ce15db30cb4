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

class Quiescence : public MachineTest {};

TEST_F(Quiescence, SettledOnlyWhileEveryThreadWaitsOnSomethingUnsignalled) {
    EXPECT_TRUE(sim::IsSettled());

    HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE quit = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> release{false};
    std::atomic<int> passes{0};
    HANDLE thread = StartStandInThread([&] {
        HANDLE handles[] = {quit, wake};
        while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
            ++passes;
            // Busy outside any stand-in wait until the test lets go.
            while (!release.load()) {
            }
            release = false;
        }
        return 0u;
    });
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(sim::Settle());
    EXPECT_EQ(passes.load(), 0);

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

TEST_F(Quiescence, PendingWorkKeepsTheMachineUnsettled) {
    {
        sim::PendingWorkToken owed;
        EXPECT_FALSE(sim::IsSettled());
        sim::AddPendingWork(1);
        sim::AddPendingWork(-1);
        EXPECT_FALSE(sim::Settle(std::chrono::milliseconds(10)));
    }
    EXPECT_TRUE(sim::IsSettled());

    sim::WorkQueue queue;
    HANDLE ran = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    sim::SetTimeScale(0.001);
    queue.PostAfter(5000, [ran] { SetEvent(ran); });
    EXPECT_FALSE(sim::IsSettled());
    EXPECT_TRUE(sim::Settle());
    EXPECT_EQ(WaitForSingleObject(ran, 0), WAIT_OBJECT_0);

    // Uncounted (periodic) work does not hold the machine up.
    queue.PostAfter(
        1e9, [] {}, false);
    EXPECT_TRUE(sim::IsSettled());
    CloseHandle(ran);
}

TEST_F(Quiescence, ThreadsThatHaveNotReachedAWaitYetCount) {
    HANDLE gate = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> go{false};
    HANDLE thread = StartStandInThread([&] {
        while (!go.load()) {
        }
        return WaitForSingleObject(gate, INFINITE);
    });
    EXPECT_EQ(sim::LiveThreadCount(), 1u);
    EXPECT_FALSE(sim::Settle(std::chrono::milliseconds(20)));
    go = true;
    EXPECT_TRUE(sim::Settle());
    SetEvent(gate);
    EXPECT_TRUE(sim::WaitForThreadsToEnd());
    CloseHandle(thread);
    CloseHandle(gate);
}

class WorkQueues : public MachineTest {};

TEST_F(WorkQueues, RunInDueOrderCancelAndDropWhatIsLeft) {
    std::vector<int> order;
    {
        sim::WorkQueue queue;
        auto late = queue.PostAfter(1e6, [&] { order.push_back(9); });
        EXPECT_TRUE(queue.Cancel(late));
        EXPECT_FALSE(queue.Cancel(late));
        // Due order, not post order (the gaps dwarf the time between the posts).
        auto last = queue.PostAfter(100, [&] { order.push_back(3); });
        queue.PostAfter(50, [&] { order.push_back(2); });
        queue.Post([&] { order.push_back(1); });
        EXPECT_FALSE(sim::IsSettled());
        queue.WaitUntilDone(last);
        EXPECT_TRUE(sim::Settle());
        queue.PostAfter(1e6, [&] { order.push_back(9); });
    } // dropped unrun
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(sim::IsSettled());
}

class Faults : public MachineTest {};

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

class Trace : public MachineTest {};

int gFormatted = 0;
int CountFormatting() {
    return ++gFormatted;
}

TEST_F(Trace, RecordsEnabledLevelsAndSkipsDisabledOnesEntirely) {
    gFormatted = 0;
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE, "failure %d", CountFormatting());
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENGINE, "detail %d", CountFormatting());
    EXPECT_TRUE(sim::TraceContains("failure 1", TRACE_LEVEL_ERROR));
    EXPECT_TRUE(sim::TraceContains("detail 2"));
    EXPECT_FALSE(sim::TraceContains("detail", TRACE_LEVEL_INFORMATION));

    sim::SetTraceLevel(TRACE_LEVEL_ERROR);
    EXPECT_EQ(sim::GetTraceLevel(), TRACE_LEVEL_ERROR);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_ENGINE, "flow %d", CountFormatting());
    FuncEntry(TRACE_ENGINE);
    // A disabled level neither formats nor evaluates its arguments.
    EXPECT_EQ(gFormatted, 2);
    EXPECT_EQ(sim::TraceSnapshot().size(), 2u);

    TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE, "failure %d", 3);
    EXPECT_EQ(sim::TraceCount("failure"), 2u);
    sim::ClearTrace();
    EXPECT_TRUE(sim::TraceSnapshot().empty());
}

TEST_F(Trace, RecordsWhereAndWhenAndKeepsTheLastError) {
    std::vector<std::string> sunk;
    sim::SetTraceSink([&](const sim::TraceRecord& record) { sunk.push_back(record.message); });
    SetLastError(ERROR_BUSY);
    FuncEntry(TRACE_DRIVER);
    FuncExit(TRACE_DRIVER, "status %d", -1);
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    sim::SetTraceSink(nullptr);

    auto records = sim::TraceSnapshot();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].message, "TestBody Exit: status -1");
    EXPECT_EQ(records[1].level, TRACE_LEVEL_VERBOSE);
    EXPECT_EQ(records[1].flags, TRACE_DRIVER);
    EXPECT_EQ(records[1].file, "machine_test.cpp");
    EXPECT_EQ(records[1].threadId, GetCurrentThreadId());
    EXPECT_EQ(sunk, (std::vector<std::string>{"TestBody Entry", "TestBody Exit: status -1"}));
}

class Com : public MachineTest {};

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
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(results[0], S_OK);
    EXPECT_EQ(results[1], S_FALSE);
    EXPECT_EQ(results[2], RPC_E_CHANGED_MODE);
    EXPECT_TRUE(sim::ThreadInMta(workerId));
    EXPECT_FALSE(sim::CurrentThreadInMta());
    EXPECT_EQ(sim::CurrentThreadComInitCount(), 0);

    SetEvent(done);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(results[3], S_FALSE);
    EXPECT_FALSE(sim::ThreadInMta(workerId));
    CloseHandle(thread);
    CloseHandle(done);
}

TEST_F(Com, HresultErrorsAndNarrowStrings) {
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
}

class Debugger : public MachineTest {};

TEST_F(Debugger, RecordsOutputAndBreaksWithoutStopping) {
    OutputDebugStringA("Invalid Module Handle Passed (Lock)");
    DebugBreak();
    EXPECT_EQ(sim::DebuggerOutput(),
              std::vector<std::string>{"Invalid Module Handle Passed (Lock)"});
    EXPECT_EQ(sim::DebugBreakCount(), 1u);
}

} // namespace
