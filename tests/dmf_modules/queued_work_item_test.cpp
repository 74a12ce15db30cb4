// BufferQueue and QueuedWorkItem on a device that adds them: blocks that
// outrun the queue's buffers, buffers given back on every path, and the
// queue's order, reuse and flush.
#include "dmf/modules/Dmf_BufferQueue.h"
#include "dmf/modules/Dmf_QueuedWorkItem.h"
#include "platform/sim/wdf_control.h"
#include "tests/dmf_modules/module_device.h"
#include "tests/support/MachineTest.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <vector>

namespace moduletest {
namespace {

ULONG Work(DMFMODULE DmfModule, PVOID ClientBuffer, PVOID) {
    return Log().Record(DmfModule, nullptr, *static_cast<UCHAR*>(ClientBuffer));
}

DMF_CONFIG_QueuedWorkItem WorkItemConfig(ULONG blockSize, ULONG count, ULONG lookAside) {
    return {Work, {count, blockSize, 0, lookAside, 0, NonPagedPoolNx, nullptr}};
}

class QueuedWorkItemTest : public ModuleTest {
protected:
    NTSTATUS Enqueue(size_t module, UCHAR value) {
        std::array<UCHAR, QueuedWorkItem_ParameterBlockSize> block;
        block.fill(value);
        return DMF_QueuedWorkItem_Enqueue(Module(module), block.data());
    }
};

TEST_F(QueuedWorkItemTest, AFifthBlockWhileFourWaitTakesALookAsideBufferAndFailsWithoutOne) {
    // As a request target queues its completions: 4 blocks of 96 bytes.
    for (ULONG lookAside : {1u, 0u}) {
        SCOPED_TRACE(lookAside);
        NextDevice();
        Add(DMF_QueuedWorkItem_Create, WorkItemConfig(96, 4, lookAside));
        Log().gatedCall = 1;
        ASSERT_EQ(STATUS_SUCCESS, AddDevice());
        const size_t buffers = LiveMemoryTagged("BPMo");
        ASSERT_EQ(STATUS_SUCCESS, Enqueue(0, 1));
        ASSERT_TRUE(WaitUntil([] { return Log().Count() == 1; }));
        for (UCHAR value = 2; value <= 4; ++value) {
            EXPECT_EQ(STATUS_SUCCESS, Enqueue(0, value));
        }
        EXPECT_EQ(lookAside ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, Enqueue(0, 5));
        EXPECT_EQ(buffers + lookAside, LiveMemoryTagged("BPMo"));

        SetEvent(Log().gate);
        ASSERT_TRUE(WaitUntil([&] { return Log().Count() == 4 + lookAside; }));
        ASSERT_TRUE(sim::Settle());
        for (UCHAR value = 1; value <= 4 + lookAside; ++value) {
            EXPECT_EQ((Call{Module(0), nullptr, value}), Log().calls[value - 1]);
        }
        EXPECT_EQ(buffers, LiveMemoryTagged("BPMo"));
    }
}

TEST_F(QueuedWorkItemTest, TheQueueBufferComesBackFromABlockRefusedAsTooSmallAndFromATryAgain) {
    size_t tooSmall = Add(DMF_QueuedWorkItem_Create, WorkItemConfig(64, 1, 0));
    size_t oneBuffer = Add(DMF_QueuedWorkItem_Create, WorkItemConfig(96, 1, 0));
    Log().answers = {QueuedWorkItem_Result_TryAgain};
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Enqueue(tooSmall, 1));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Enqueue(tooSmall, 2));
    for (UCHAR value = 1; value <= 2; ++value) {
        ASSERT_EQ(STATUS_SUCCESS, Enqueue(oneBuffer, value));
        ASSERT_TRUE(WaitUntil([&] { return Log().Count() == value; }));
        ASSERT_TRUE(sim::Settle());
    }
}

void Reused(DMFMODULE DmfModule, PVOID ClientBuffer, PVOID ClientBufferContext) {
    Log().Record(DmfModule, ClientBuffer, ClientBufferContext != nullptr);
}

// While the device goes, the task's rundown has ended before the queue
// closes: a run can no longer be asked for. The block is back in the queue's
// producer before the failure returns, so no run could ever do its work
// beside the caller, and it is never run.
TEST_F(QueuedWorkItemTest, ABlockNoRunCanBeAskedForIsTakenBackBeforeTheFailureReturns) {
    DMF_CONFIG_QueuedWorkItem config = WorkItemConfig(96, 1, 0);
    config.BufferQueueConfig.EvtBufferQueueReuse = Reused;
    Add(DMF_QueuedWorkItem_Create, config);
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    NTSTATUS status = STATUS_SUCCESS;
    size_t reusedOnReturn = 0;
    std::atomic<bool> once{true};
    sim::SetTraceSink([&](const sim::TraceRecord& record) {
        if (record.message.find("DMF_Rundown_EndAndWait Exit") != std::string::npos &&
            once.exchange(false)) {
            status = Enqueue(0, 7);
            reusedOnReturn = Log().Count();
        }
    });
    ASSERT_EQ(STATUS_SUCCESS, Host().Remove());
    sim::SetTraceSink(nullptr);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, status);
    EXPECT_EQ(1u, reusedOnReturn);
    ASSERT_EQ(1u, Log().Count());
    EXPECT_NE(nullptr, Log().calls[0].pointer); // the reuse, not a run
}

// A block's value, as a reuse of its queue buffer sees it (after the item header).
void ReusedBlock(DMFMODULE DmfModule, PVOID ClientBuffer, PVOID) {
    Log().Record(DmfModule, ClientBuffer, static_cast<UCHAR*>(ClientBuffer)[16]);
}

thread_local bool tHeldBeforeItsRunRequest = false;

// Runs take blocks in queue order, not each its own. Enqueue E queues block
// 5 and is held before it asks for a run (as it leaves the queue's pool); G
// (block 6) and then H (block 7) enqueue meanwhile; the device goes, and E
// asks once the rundown has ended. Had G's run taken block 5, E would fail
// for a block that ran, and its take-back could find H's block in the buffer
// block 5 left. Each enqueue instead fails for its own block, which goes back
// before the failure returns and never runs.
TEST_F(QueuedWorkItemTest, AFailedEnqueueTakesBackItsOwnBlockWhateverOtherEnqueuesDidMeanwhile) {
    DMF_CONFIG_QueuedWorkItem config = WorkItemConfig(96, 2, 1);
    config.BufferQueueConfig.EvtBufferQueueReuse = ReusedBlock;
    Add(DMF_QueuedWorkItem_Create, config);
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // E goes on however the test ends.
    std::shared_ptr<void> release(go, [](HANDLE event) {
        SetEvent(event);
        CloseHandle(event);
    });
    struct Enqueuer {
        UCHAR value;
        HANDLE thread = nullptr;
        NTSTATUS status = STATUS_PENDING;
        size_t logOnReturn = 0;
    };
    Enqueuer enqueuers[] = {{5}, {6}, {7}};
    auto start = [this](Enqueuer& e, bool hold) {
        e.thread = halvex::testing::StartStandInThread([this, &e, hold] {
            tHeldBeforeItsRunRequest = hold;
            e.status = Enqueue(0, e.value);
            e.logOnReturn = Log().Count();
            return DWORD{0};
        });
    };
    std::atomic<bool> once{true};
    sim::SetTraceSink([&](const sim::TraceRecord& record) {
        // E's first put is the one into the queue.
        if (tHeldBeforeItsRunRequest && record.message == "DMF_BufferPool_Put Exit") {
            tHeldBeforeItsRunRequest = false;
            SetEvent(held);
            WaitForSingleObject(go, INFINITE);
        } else if (record.message == "DMF_Rundown_EndAndWait Exit" && once.exchange(false)) {
            SetEvent(go);
            for (Enqueuer& e : enqueuers) {
                EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e.thread, 10000));
            }
        }
    });
    start(enqueuers[0], true);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held, 10000));
    start(enqueuers[1], false);
    ASSERT_TRUE(sim::Settle());
    start(enqueuers[2], false);
    ASSERT_TRUE(sim::Settle());
    ASSERT_EQ(STATUS_SUCCESS, Host().Remove());
    sim::SetTraceSink(nullptr);

    std::vector<Call> calls = Log().calls;
    for (const Enqueuer& e : enqueuers) {
        SCOPED_TRACE(static_cast<int>(e.value));
        EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, e.status);
        auto reuse = std::find_if(calls.begin(), calls.end(), [&e](const Call& call) {
            return call.pointer != nullptr && call.value == e.value;
        });
        ASSERT_NE(calls.end(), reuse);
        EXPECT_LT(static_cast<size_t>(reuse - calls.begin()), e.logOnReturn);
        EXPECT_EQ(1, std::count_if(calls.begin(), calls.end(),
                                   [&e](const Call& call) { return call.value == e.value; }));
        CloseHandle(e.thread);
    }
    CloseHandle(held);
}

TEST_F(QueuedWorkItemTest, AQueueHandsBuffersOutInOrderAndReusesWhatIsLeftWhenItCloses) {
    Add(DMF_BufferQueue_Create, DMF_CONFIG_BufferQueue{2, 8, 4, 0, 0, NonPagedPoolNx, Reused});
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    DMFMODULE queue = Module(0);
    PVOID first = nullptr;
    PVOID second = nullptr;
    PVOID got = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, DMF_BufferQueue_Fetch(queue, &first, nullptr));
    ASSERT_EQ(STATUS_SUCCESS, DMF_BufferQueue_Fetch(queue, &second, nullptr));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, DMF_BufferQueue_Fetch(queue, &got, nullptr));
    DMF_BufferQueue_Enqueue(queue, second);
    DMF_BufferQueue_Enqueue(queue, first);
    ASSERT_EQ(STATUS_SUCCESS, DMF_BufferQueue_Dequeue(queue, &got, nullptr));
    EXPECT_EQ(second, got);
    DMF_BufferQueue_Reuse(queue, second);
    EXPECT_EQ(STATUS_SUCCESS, DMF_BufferQueue_Fetch(queue, &got, nullptr));
    EXPECT_EQ(second, got);

    ASSERT_EQ(STATUS_SUCCESS, Host().Remove());
    EXPECT_EQ((std::vector<Call>{{queue, second, TRUE}, {queue, first, TRUE}}), Log().calls);
}

size_t LiveTimers() {
    auto objects = sim::wdf::LiveObjects();
    return std::count_if(objects.begin(), objects.end(),
                         [](const sim::wdf::ObjectInfo& o) { return o.kind == "WDFTIMER"; });
}

// A queue may ask its producer for a timer per buffer: the buffers go round
// as any others, the timers go with the queue, and a timer that cannot be
// made fails the queue's opening.
TEST_F(QueuedWorkItemTest, AQueueWhoseBuffersHaveTimersWorksAsAnyOtherAndTakesThemAlong) {
    const DMF_CONFIG_BufferQueue timed{2, 8, 0, 0, 1, NonPagedPoolNx, nullptr};
    Add(DMF_BufferQueue_Create, timed);
    const size_t timers = LiveTimers();
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    EXPECT_EQ(timers + 2, LiveTimers());
    DMFMODULE queue = Module(0);
    PVOID buffer = nullptr;
    PVOID got = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, DMF_BufferQueue_Fetch(queue, &buffer, nullptr));
    DMF_BufferQueue_Enqueue(queue, buffer);
    ASSERT_EQ(STATUS_SUCCESS, DMF_BufferQueue_Dequeue(queue, &got, nullptr));
    EXPECT_EQ(buffer, got);
    DMF_BufferQueue_Reuse(queue, got);
    ASSERT_EQ(STATUS_SUCCESS, Host().Remove());
    EXPECT_EQ(timers, LiveTimers());

    NextDevice();
    Add(DMF_BufferQueue_Create, timed);
    sim::ArmFault("WdfTimerCreate", sim::FaultSpec::OnCall(2, STATUS_NO_MEMORY));
    EXPECT_EQ(STATUS_NO_MEMORY, AddDevice());
}

} // namespace
} // namespace moduletest
