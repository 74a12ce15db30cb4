// BufferQueue and QueuedWorkItem on a device that adds them: the queue's
// order, reuse and flush, and work items that outrun their queue buffers.
#include "dmf/modules/Dmf_BufferQueue.h"
#include "dmf/modules/Dmf_QueuedWorkItem.h"
#include "tests/dmf_modules/module_device.h"

#include <array>
#include <mutex>
#include <vector>

namespace moduletest {
namespace {

// What the work callback saw; it answers `answer` and, on the gated call,
// waits for the gate first.
struct WorkLog {
    std::mutex lock;
    std::vector<std::pair<DMFMODULE, UCHAR>> blocks; // module, first byte of its block
    std::vector<std::pair<PVOID, PVOID>> reused;     // buffer, context
    ULONG answer = QueuedWorkItem_Result_Done;
    size_t gatedCall = 1;
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    ~WorkLog() { CloseHandle(gate); }
    size_t Blocks() {
        std::lock_guard guard(lock);
        return blocks.size();
    }
};
WorkLog* gWork = nullptr;

ULONG Work(DMFMODULE DmfModule, PVOID ClientBuffer, PVOID) {
    size_t call = 0;
    {
        std::lock_guard guard(gWork->lock);
        gWork->blocks.emplace_back(DmfModule, *static_cast<UCHAR*>(ClientBuffer));
        call = gWork->blocks.size();
    }
    if (call == gWork->gatedCall) {
        WaitForSingleObject(gWork->gate, INFINITE);
    }
    return gWork->answer;
}

void Reused(DMFMODULE, PVOID ClientBuffer, PVOID ClientBufferContext) {
    std::lock_guard guard(gWork->lock);
    gWork->reused.emplace_back(ClientBuffer, ClientBufferContext);
}

DMF_CONFIG_QueuedWorkItem WorkItemConfig(ULONG blockSize, ULONG count, bool lookAside) {
    DMF_CONFIG_QueuedWorkItem config{};
    config.EvtQueuedWorkitemFunction = Work;
    config.BufferQueueConfig.SourceBufferCount = count;
    config.BufferQueueConfig.BufferSize = blockSize;
    config.BufferQueueConfig.EnableLookAside = lookAside ? 1 : 0;
    config.BufferQueueConfig.PoolType = NonPagedPoolNx;
    return config;
}

std::array<UCHAR, QueuedWorkItem_ParameterBlockSize> Block(UCHAR value) {
    std::array<UCHAR, QueuedWorkItem_ParameterBlockSize> block;
    block.fill(value);
    return block;
}

class QueuedWorkItemTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        gWork = &mWork;
    }
    void TearDown() override {
        SetEvent(mWork.gate);
        ModuleTest::TearDown();
        gWork = nullptr;
    }
    NTSTATUS Enqueue(size_t module, UCHAR value) {
        auto block = Block(value);
        return DMF_QueuedWorkItem_Enqueue(Module(module), block.data());
    }
    WorkLog mWork;
};

TEST_F(QueuedWorkItemTest, AFifthBlockWhileFourWaitTakesALookAsideBufferAndFailsWithoutOne) {
    // As a request target queues its completions: 4 blocks of 96 bytes.
    for (bool lookAside : {true, false}) {
        SCOPED_TRACE(lookAside);
        mHost.reset();
        mSpecs.clear();
        ResetEvent(mWork.gate);
        mWork.blocks.clear();
        size_t workItem = Add(DMF_QueuedWorkItem_Create, WorkItemConfig(96, 4, lookAside));
        ASSERT_EQ(STATUS_SUCCESS, AddDevice());
        const size_t buffers = LiveMemoryTagged("BPMo");

        ASSERT_EQ(STATUS_SUCCESS, Enqueue(workItem, 1));
        ASSERT_TRUE(WaitUntil([&] { return mWork.Blocks() == 1; }));
        for (UCHAR value = 2; value <= 4; ++value) {
            EXPECT_EQ(STATUS_SUCCESS, Enqueue(workItem, value));
        }
        EXPECT_EQ(lookAside ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, Enqueue(workItem, 5));
        EXPECT_EQ(buffers + (lookAside ? 1 : 0), LiveMemoryTagged("BPMo"));
        SetEvent(mWork.gate);

        const size_t runs = lookAside ? 5 : 4;
        ASSERT_TRUE(WaitUntil([&] { return mWork.Blocks() == runs; }));
        ASSERT_TRUE(sim::Settle());
        for (size_t index = 0; index < runs; ++index) {
            EXPECT_EQ(Module(workItem), mWork.blocks[index].first);
            EXPECT_EQ(index + 1, mWork.blocks[index].second);
        }
        EXPECT_EQ(buffers, LiveMemoryTagged("BPMo"));
    }
}

TEST_F(QueuedWorkItemTest, EveryQueueBufferComesBackFromARefusedBlockAndFromATryAgain) {
    size_t tooSmall = Add(DMF_QueuedWorkItem_Create, WorkItemConfig(64, 1, false));
    size_t oneBuffer = Add(DMF_QueuedWorkItem_Create, WorkItemConfig(96, 1, false));
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Enqueue(tooSmall, 1));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Enqueue(tooSmall, 2));

    mWork.answer = QueuedWorkItem_Result_TryAgain;
    SetEvent(mWork.gate);
    for (UCHAR value = 1; value <= 2; ++value) {
        ASSERT_EQ(STATUS_SUCCESS, Enqueue(oneBuffer, value));
        ASSERT_TRUE(WaitUntil([&] { return mWork.Blocks() == value; }));
        ASSERT_TRUE(sim::Settle());
    }
}

TEST_F(QueuedWorkItemTest, AQueueHandsBuffersOutInOrderAndReusesWhatIsLeftWhenItCloses) {
    DMF_CONFIG_BufferQueue config{};
    config.SourceBufferCount = 2;
    config.BufferSize = 8;
    config.BufferContextSize = 4;
    config.PoolType = NonPagedPoolNx;
    config.EvtBufferQueueReuse = Reused;
    size_t queue = Add(DMF_BufferQueue_Create, config);
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());

    PVOID first = nullptr;
    PVOID firstContext = nullptr;
    PVOID second = nullptr;
    PVOID secondContext = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, DMF_BufferQueue_Fetch(Module(queue), &first, &firstContext));
    ASSERT_EQ(STATUS_SUCCESS, DMF_BufferQueue_Fetch(Module(queue), &second, &secondContext));
    PVOID none = nullptr;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, DMF_BufferQueue_Fetch(Module(queue), &none, nullptr));
    DMF_BufferQueue_Enqueue(Module(queue), second);
    DMF_BufferQueue_Enqueue(Module(queue), first);

    PVOID dequeued = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, DMF_BufferQueue_Dequeue(Module(queue), &dequeued, nullptr));
    EXPECT_EQ(second, dequeued);
    DMF_BufferQueue_Reuse(Module(queue), second);
    EXPECT_EQ(STATUS_SUCCESS, DMF_BufferQueue_Fetch(Module(queue), &none, nullptr));
    EXPECT_EQ(second, none);

    ASSERT_EQ(STATUS_SUCCESS, Host().Remove());
    using Reuse = std::vector<std::pair<PVOID, PVOID>>;
    EXPECT_EQ((Reuse{{second, secondContext}, {first, firstContext}}), mWork.reused);
}

} // namespace
} // namespace moduletest
