#include "dmf/modules/Dmf_ContinuousRequestTarget.h"
#include "platform/sim/faults.h"
#include "platform/sim/trace_recorder.h"
#include "tests/dmf_targets/target_fixture.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

namespace targettest {
namespace {

// The client of the stream: numbers its inputs and decides each output's
// disposition by the completion's number (from 1).
std::atomic<ULONG> gInputs{0};
std::atomic<ULONG> gOutputs{0};
ULONG (*gDisposition)(ULONG completion) = nullptr;

void BufferInput(DMFMODULE, PVOID InputBuffer, size_t* InputBufferSize, PVOID) {
    ULONG number = ++gInputs;
    std::memcpy(InputBuffer, &number, sizeof(number));
    *InputBufferSize = sizeof(number);
}

ULONG BufferOutput(DMFMODULE, PVOID OutputBuffer, size_t OutputBufferSize, PVOID,
                   NTSTATUS CompletionStatus) {
    EXPECT_EQ(Bytes(static_cast<BYTE*>(OutputBuffer),
                    static_cast<BYTE*>(OutputBuffer) + OutputBufferSize),
              Bytes({9, 8, 7, 6}));
    EXPECT_EQ(CompletionStatus, STATUS_SUCCESS);
    return gDisposition(++gOutputs);
}

// A client that looks at the contexts it is handed: each comes zero-filled
// (its pool clears what it gets back) and is marked before it goes back.
std::atomic<ULONG> gInputContexts{0};
std::atomic<ULONG> gOutputContexts{0};
std::atomic<ULONG> gNullOutputs{0};

bool ZeroThenMark(PVOID context) {
    auto* bytes = static_cast<BYTE*>(context);
    bool zero = std::all_of(bytes, bytes + 8, [](BYTE b) { return b == 0; });
    std::fill(bytes, bytes + 8, BYTE{0xEE});
    return zero;
}

void InputWithContext(DMFMODULE DmfModule, PVOID InputBuffer, size_t* InputBufferSize,
                      PVOID Context) {
    if (Context != nullptr) {
        EXPECT_TRUE(ZeroThenMark(Context));
        ++gInputContexts;
    }
    BufferInput(DmfModule, InputBuffer, InputBufferSize, Context);
}

ULONG OutputWithContext(DMFMODULE, PVOID OutputBuffer, size_t, PVOID Context, NTSTATUS) {
    if (Context != nullptr) {
        EXPECT_TRUE(ZeroThenMark(Context));
        ++gOutputContexts;
    }
    gNullOutputs += OutputBuffer == nullptr ? 1 : 0;
    ++gOutputs;
    return ContinuousRequestTarget_BufferDisposition_StopStreaming;
}

class ContinuousRequestTargetTest : public TargetTest {
protected:
    void SetUp() override {
        TargetTest::SetUp();
        gInputs = 0;
        gOutputs = 0;
        gInputContexts = 0;
        gOutputContexts = 0;
        gNullOutputs = 0;
    }
    // A passive module keeping two requests in flight to the simulated device,
    // each with a 4-byte input and an 8-byte output from pools of two buffers,
    // stopped and started with the power state.
    DMFMODULE AddStream() {
        DMF_CONFIG_ContinuousRequestTarget config{};
        config.ContinuousRequestCount = 2;
        config.BufferCountInput = 2;
        config.BufferCountOutput = 2;
        config.RequestType = RequestTarget_RequestType_Ioctl;
        config.BufferInputSize = 4;
        config.BufferOutputSize = 8;
        config.PoolTypeInput = NonPagedPoolNx;
        config.PoolTypeOutput = NonPagedPoolNx;
        config.EvtContinuousRequestTargetBufferInput = BufferInput;
        config.EvtContinuousRequestTargetBufferOutput = BufferOutput;
        config.ContinuousRequestTargetIoctl = 0x333;
        config.PurgeAndStartTargetInD0Callbacks = TRUE;
        config.StartAndStopStreamingInD0Callbacks = TRUE;
        return AddStream(config);
    }
    DMFMODULE AddStream(const DMF_CONFIG_ContinuousRequestTarget& config) {
        size_t index = Add(DMF_ContinuousRequestTarget_Create, config, true);
        EXPECT_EQ(AddDevice(), STATUS_SUCCESS);
        EXPECT_EQ(Host().Start(), STATUS_SUCCESS);
        DMF_ContinuousRequestTarget_IoTargetSet(Module(index), OpenTarget());
        return Module(index);
    }
};

// Four outputs keep streaming; the fifth stops one request and the sixth, with
// a value that is neither, the other. Leaving D0 then stops the stream started
// again, cancelling what is in flight without handing its outputs out, and
// purges the target; entering D0 starts both again, which takes both buffers of
// each pool: every buffer came back.
TEST_F(ContinuousRequestTargetTest, EachRequestStreamsUntilItsOutputSaysStopOrTheDeviceLeavesD0) {
    gDisposition = [](ULONG completion) -> ULONG {
        return completion <= 4   ? ContinuousRequestTarget_BufferDisposition_ContinueStreaming
               : completion == 5 ? ULONG{ContinuousRequestTarget_BufferDisposition_StopStreaming}
                                 : 7u;
    };
    DMFMODULE module = AddStream();
    ASSERT_EQ(DMF_ContinuousRequestTarget_Start(module), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(gOutputs, 6u);
    std::vector<Bytes> inputs;
    for (const sim::TargetRequest& request : mDevice.Requests()) {
        EXPECT_EQ(request.ioControlCode, 0x333u);
        EXPECT_EQ(request.outputCapacity, 8u);
        inputs.push_back(request.input);
    }
    std::sort(inputs.begin(), inputs.end());
    EXPECT_EQ(
        inputs,
        (std::vector<Bytes>{
            {1, 0, 0, 0}, {2, 0, 0, 0}, {3, 0, 0, 0}, {4, 0, 0, 0}, {5, 0, 0, 0}, {6, 0, 0, 0}}));

    mDevice.SetHandler(Withhold);
    ASSERT_EQ(DMF_ContinuousRequestTarget_Start(module), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mDevice.WithheldCount(), 2u);
    ASSERT_EQ(Host().Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(mDevice.WithheldCount(), 0u);
    EXPECT_EQ(gOutputs, 6u);
    ASSERT_EQ(DMF_ContinuousRequestTarget_SendSynchronously(
                  module, nullptr, 0, nullptr, 0, RequestTarget_RequestType_Ioctl, 1, 0, nullptr),
              STATUS_INVALID_DEVICE_STATE); // purged
    ASSERT_EQ(Host().Wake(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mDevice.RequestCount(), 10u);
    // A stop returns once what was in flight has been cancelled.
    DMF_ContinuousRequestTarget_Stop(module);
    EXPECT_EQ(mDevice.WithheldCount(), 0u);
    mDevice.SetHandler(Answer);
    ASSERT_EQ(DMF_ContinuousRequestTarget_Start(module), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(gOutputs, 8u);
}

// Two requests stream from pools of one buffer: a paged input pool and an
// output pool with look-aside make a second buffer, the others have none to
// give and the start fails, stopping what it had sent. A write sends what the
// input callback filled and hands the output callback no buffer; contexts of
// the configured size reach the callbacks.
TEST_F(ContinuousRequestTargetTest,
       PoolsOfOneBufferGrowWhenPagedOrWithLookAsideAndWritesSendTheirInput) {
    struct Row {
        const char* name;
        ULONG type;
        ULONG inputPool; // 0: no input buffers
        ULONG lookAsideOutput;
        NTSTATUS start;
    };
    const ULONG none = 0;
    for (const Row& row :
         {Row{"paged input", RequestTarget_RequestType_Write, PagedPool, 0, STATUS_SUCCESS},
          Row{"non-paged input", RequestTarget_RequestType_Write, NonPagedPoolNx, 0,
              STATUS_UNSUCCESSFUL},
          Row{"look-aside output", RequestTarget_RequestType_Read, none, 1, STATUS_SUCCESS},
          Row{"output", RequestTarget_RequestType_Read, none, 0, STATUS_UNSUCCESSFUL}}) {
        SCOPED_TRACE(row.name);
        NextDevice();
        gInputs = gOutputs = gInputContexts = gOutputContexts = gNullOutputs = 0;
        mDevice.ForgetRequests();
        mDevice.SetHandler(Withhold);
        DMF_CONFIG_ContinuousRequestTarget config{};
        config.ContinuousRequestCount = 2;
        config.RequestType = row.type;
        if (row.inputPool != none) {
            config.BufferCountInput = 1;
            config.BufferInputSize = 4;
            config.BufferContextInputSize = 8;
            config.PoolTypeInput = row.inputPool;
        } else {
            config.BufferCountOutput = 1;
            config.BufferOutputSize = 4;
            config.BufferContextOutputSize = 8;
            config.EnableLookAsideOutput = row.lookAsideOutput;
            config.PoolTypeOutput = NonPagedPoolNx;
        }
        config.EvtContinuousRequestTargetBufferInput = InputWithContext;
        config.EvtContinuousRequestTargetBufferOutput = OutputWithContext;
        DMFMODULE module = AddStream(config);
        EXPECT_EQ(DMF_ContinuousRequestTarget_Start(module), row.start);
        ASSERT_TRUE(sim::Settle());
        const ULONG streaming = NT_SUCCESS(row.start) ? 2 : 0;
        EXPECT_EQ(mDevice.WithheldCount(), streaming);
        mDevice.ReleaseWithheld();
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(gOutputs, streaming);
        if (row.inputPool != none) {
            EXPECT_EQ(gInputContexts, NT_SUCCESS(row.start) ? 2u : 1u);
            EXPECT_EQ(gNullOutputs, streaming);
            for (const sim::TargetRequest& request : mDevice.Requests()) {
                EXPECT_EQ(request.type, WdfRequestTypeWrite);
                EXPECT_EQ(request.input.size(), 4u);
            }
        } else {
            EXPECT_EQ(gOutputContexts, streaming);
        }
    }
}

// An open that cannot make its collections or its streaming requests fails,
// leaving nothing of what it made.
TEST_F(ContinuousRequestTargetTest, AnOpenThatCannotMakeItsStreamingRequestsFails) {
    struct Row {
        const char* point;
        unsigned call; // counted from the open
    };
    for (const Row& row : {Row{"WdfCollectionCreate", 3}, Row{"WdfCollectionCreate", 4},
                           Row{"WdfRequestCreate", 2}, Row{"WdfCollectionAdd", 1}}) {
        SCOPED_TRACE(std::string(row.point) + " " + std::to_string(row.call));
        NextDevice();
        sim::SetTraceSink([&row](const sim::TraceRecord& record) {
            if (record.message == "ContinuousRequestTarget_Open Entry") {
                sim::ArmFault(row.point, sim::FaultSpec::OnCall(row.call, STATUS_NO_MEMORY));
            }
        });
        DMF_CONFIG_ContinuousRequestTarget config{};
        config.ContinuousRequestCount = 2;
        Add(DMF_ContinuousRequestTarget_Create, config, true);
        EXPECT_EQ(AddDevice(), STATUS_NO_MEMORY);
        sim::SetTraceSink(nullptr);
    }
}

// A start that cannot send a request fails with the reason, having stopped
// what it sent before.
TEST_F(ContinuousRequestTargetTest, AStartThatCannotSendFailsAndStopsWhatItSent) {
    struct Row {
        const char* name;
        ULONG type;
        bool target;
        const char* point; // refuses the second send
        NTSTATUS start;
    };
    for (const Row& row : {Row{"no target", RequestTarget_RequestType_Read, false, nullptr,
                               STATUS_INVALID_DEVICE_STATE},
                           Row{"no such type", RequestTarget_RequestType_InternalIoctl, true,
                               nullptr, STATUS_INVALID_PARAMETER},
                           Row{"send refused", RequestTarget_RequestType_Read, true,
                               "WdfRequestSend", STATUS_DEVICE_NOT_READY}}) {
        SCOPED_TRACE(row.name);
        NextDevice();
        mDevice.SetHandler(Withhold);
        DMF_CONFIG_ContinuousRequestTarget config{};
        config.ContinuousRequestCount = 2;
        config.RequestType = row.type;
        size_t index = Add(DMF_ContinuousRequestTarget_Create, config, true);
        ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
        if (row.target) {
            DMF_ContinuousRequestTarget_IoTargetSet(Module(index), OpenTarget());
        }
        if (row.point != nullptr) {
            sim::ArmFault(row.point, sim::FaultSpec::OnCall(2, STATUS_DEVICE_NOT_READY));
        }
        EXPECT_EQ(DMF_ContinuousRequestTarget_Start(Module(index)), row.start);
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(mDevice.WithheldCount(), 0u);
    }
}

// Without client callbacks an input is sent empty, and a request streams on
// while it succeeds and stops at its first failure.
TEST_F(ContinuousRequestTargetTest, WithoutClientCallbacksInputsGoEmptyAndAFailureStopsTheRequest) {
    std::atomic<int> answered{0};
    mDevice.SetHandler([&answered](const sim::TargetRequest& request) {
        sim::TargetAnswer answer = Answer(request);
        answer.status = ++answered < 4 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        return answer;
    });
    DMF_CONFIG_ContinuousRequestTarget config{};
    config.ContinuousRequestCount = 1;
    config.BufferCountInput = 1;
    config.BufferInputSize = 4;
    config.PoolTypeInput = NonPagedPoolNx;
    config.BufferCountOutput = 1;
    config.BufferOutputSize = 4;
    config.PoolTypeOutput = NonPagedPoolNx;
    config.RequestType = RequestTarget_RequestType_Ioctl;
    DMFMODULE module = AddStream(config);
    ASSERT_EQ(DMF_ContinuousRequestTarget_Start(module), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    ASSERT_EQ(mDevice.RequestCount(), 4u);
    for (const sim::TargetRequest& request : mDevice.Requests()) {
        EXPECT_EQ(request.input, Bytes{});
        EXPECT_EQ(request.outputCapacity, 4u);
    }
}

// A target that cannot be started again fails the D0 entry.
TEST_F(ContinuousRequestTargetTest, ATargetThatCannotStartFailsTheD0Entry) {
    gDisposition = [](ULONG) -> ULONG {
        return ContinuousRequestTarget_BufferDisposition_StopStreaming;
    };
    AddStream();
    ASSERT_EQ(Host().Sleep(), STATUS_SUCCESS);
    sim::ArmFault("WdfIoTargetStart", sim::FaultSpec::Once(STATUS_DEVICE_NOT_READY));
    EXPECT_EQ(Host().Wake(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(mDevice.RequestCount(), 0u);
}

ULONG GatedOutput(DMFMODULE DmfModule, PVOID, size_t, PVOID, NTSTATUS CompletionStatus) {
    moduletest::Log().Record(DmfModule, nullptr, static_cast<ULONG>(CompletionStatus));
    return ContinuousRequestTarget_BufferDisposition_StopStreaming;
}

// While the streaming work item is held in a completion, the completions
// behind it take the queue's buffers; one whose buffer cannot be made runs at
// once on its own thread instead of being lost.
TEST_F(ContinuousRequestTargetTest, AStreamingCompletionTheWorkItemCannotTakeRunsAtOnce) {
    mDevice.SetHandler(Withhold);
    DMF_CONFIG_ContinuousRequestTarget config{};
    config.ContinuousRequestCount = 6;
    config.BufferCountOutput = 6;
    config.BufferOutputSize = 4;
    config.PoolTypeOutput = NonPagedPoolNx;
    config.RequestType = RequestTarget_RequestType_Read;
    config.EvtContinuousRequestTargetBufferOutput = GatedOutput;
    DMFMODULE module = AddStream(config);
    moduletest::Log().gatedCall = 1;
    ASSERT_EQ(DMF_ContinuousRequestTarget_Start(module), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    sim::ArmFault("WdfMemoryCreate:BPMo", sim::FaultSpec::Once());
    mDevice.ReleaseWithheld();
    ASSERT_TRUE(WaitUntil([] { return sim::TraceContains("; completing here"); }));
    SetEvent(moduletest::Log().gate);
    ASSERT_TRUE(WaitUntil([] { return moduletest::Log().Count() == 6; }));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::TraceCount("; completing here"), 1u);
    EXPECT_EQ(mDevice.RequestCount(), 6u);
}

} // namespace
} // namespace targettest
