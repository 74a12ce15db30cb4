#include "platform/sim/faults.h"
#include "platform/sim/trace_recorder.h"
#include "platform/sim/wdf_control.h"
#include "tests/dmf_targets/target_fixture.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

namespace targettest {
namespace {

constexpr ULONG kIoctl = 0x222004;
const Bytes kAnswer = {9, 8, 7, 6};
// Request ids come from one counter per process: only the first test to take
// one sees the first id.
bool gIdTaken = false;

struct Completion {
    DMFMODULE module;
    Bytes input;
    Bytes output;
    NTSTATUS status;
};

class RequestTargetTest : public TargetTest {
protected:
    // A RequestTarget sending to the simulated device.
    DMFMODULE AddRequestTarget(bool passive = false) {
        size_t index = Add(DMF_RequestTarget_Create, passive);
        EXPECT_EQ(AddDevice(), STATUS_SUCCESS);
        DMF_RequestTarget_IoTargetSet(Module(index), OpenTarget());
        return Module(index);
    }
    // The completion callback; the client context is the test.
    static void Record(DMFMODULE DmfModule, PVOID Context, PVOID InputBuffer, size_t InputBytes,
                       PVOID OutputBuffer, size_t OutputBytes, NTSTATUS Status) {
        auto bytes = [](PVOID buffer, size_t size) {
            auto* start = static_cast<std::uint8_t*>(buffer);
            return buffer != nullptr ? Bytes(start, start + size) : Bytes{};
        };
        auto* self = static_cast<RequestTargetTest*>(Context);
        std::lock_guard guard(self->mLock);
        self->mSeen.push_back(
            {DmfModule, bytes(InputBuffer, InputBytes), bytes(OutputBuffer, OutputBytes), Status});
    }
    NTSTATUS Send(DMFMODULE module, ULONGLONG* requestId = nullptr) {
        return DMF_RequestTarget_SendEx(module, mInput.data(), mInput.size(), mOutput.data(),
                                        mOutput.size(), RequestTarget_RequestType_Ioctl, kIoctl, 0,
                                        Record, this, requestId);
    }
    NTSTATUS ReuseSend(DMFMODULE module, ULONGLONG requestId) {
        return DMF_RequestTarget_ReuseSend(
            module, requestId, mInput.data(), mInput.size(), mOutput.data(), mOutput.size(),
            RequestTarget_RequestType_Ioctl, kIoctl, 0, Record, this);
    }
    std::vector<Completion> Seen() {
        std::lock_guard guard(mLock);
        return mSeen;
    }
    std::vector<NTSTATUS> Statuses() {
        std::vector<NTSTATUS> statuses;
        for (const Completion& completion : Seen()) {
            statuses.push_back(completion.status);
        }
        return statuses;
    }

    Bytes mInput{'a', 'b', 'c'};
    Bytes mOutput = Bytes(8);
    std::mutex mLock;
    std::vector<Completion> mSeen;
};

TEST_F(RequestTargetTest, SynchronousRequestsOfEachTypeBringBackTheDevicesAnswerOrTimeOut) {
    struct Case {
        ULONG type;
        bool withhold;
        size_t outputLength;
        WDF_REQUEST_TYPE seenAs; // WdfRequestTypeNoFormat: never reaches the device
        NTSTATUS status;
        size_t bytes;
    } cases[] = {
        {RequestTarget_RequestType_Ioctl, false, 8, WdfRequestTypeDeviceControl, STATUS_SUCCESS, 4},
        {RequestTarget_RequestType_Read, false, 2, WdfRequestTypeRead, STATUS_SUCCESS, 2},
        {RequestTarget_RequestType_Write, false, 0, WdfRequestTypeWrite, STATUS_SUCCESS, 0},
        {RequestTarget_RequestType_Ioctl, true, 8, WdfRequestTypeDeviceControl, STATUS_IO_TIMEOUT,
         0},
        {RequestTarget_RequestType_InternalIoctl, false, 8, WdfRequestTypeNoFormat,
         STATUS_INVALID_PARAMETER, 0},
    };
    DMFMODULE module = AddRequestTarget();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        mDevice.SetHandler(c.withhold ? Withhold : Answer);
        const size_t before = mDevice.RequestCount();
        Bytes output(c.outputLength);
        size_t bytes = 77;
        EXPECT_EQ(DMF_RequestTarget_SendSynchronously(module, mInput.data(), mInput.size(),
                                                      output.data(), output.size(), c.type, kIoctl,
                                                      5000, &bytes),
                  c.status);
        EXPECT_EQ(bytes, c.bytes);
        EXPECT_EQ(Bytes(output.begin(), output.begin() + c.bytes),
                  Bytes(kAnswer.begin(), kAnswer.begin() + c.bytes));
        if (c.seenAs == WdfRequestTypeNoFormat) {
            EXPECT_EQ(mDevice.RequestCount(), before);
            continue;
        }
        sim::TargetRequest seen = mDevice.Requests().back();
        EXPECT_EQ(seen.type, c.seenAs);
        EXPECT_EQ(seen.ioControlCode, c.seenAs == WdfRequestTypeDeviceControl ? kIoctl : 0u);
        EXPECT_EQ(seen.input, c.seenAs == WdfRequestTypeRead ? Bytes{} : mInput);
        EXPECT_EQ(seen.outputCapacity, c.outputLength);
    }
}

class AsynchronousTest : public RequestTargetTest, public ::testing::WithParamInterface<bool> {};

TEST_P(AsynchronousTest, ACompletionCarriesTheBuffersAndRunsOnTheWorkItemWhenPassive) {
    const bool passive = GetParam();
    DMFMODULE module = AddRequestTarget(passive);
    ASSERT_EQ(Send(module), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    auto seen = Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].module, module);
    EXPECT_EQ(seen[0].input, mInput);
    EXPECT_EQ(seen[0].output, kAnswer);
    EXPECT_EQ(seen[0].status, STATUS_SUCCESS);
    EXPECT_EQ(sim::TraceContains("RequestTarget_QueuedWorkitemSingleRequest Entry"), passive);
}

INSTANTIATE_TEST_SUITE_P(Levels, AsynchronousTest, ::testing::Bool());

TEST_F(RequestTargetTest, RequestIdsStartAt256AndOnlyAPendingRequestCancelsEvenAsItCompletes) {
    mDevice.SetHandler(Withhold);
    DMFMODULE module = AddRequestTarget();
    const bool firstInProcess = !std::exchange(gIdTaken, true);
    ULONGLONG first = 0;
    ULONGLONG second = 0;
    ASSERT_EQ(Send(module, &first), STATUS_SUCCESS);
    ASSERT_EQ(Send(module, &second), STATUS_SUCCESS);
    if (firstInProcess) {
        EXPECT_EQ(first, 256u);
    }
    EXPECT_EQ(second, first + 1);
    EXPECT_TRUE(DMF_RequestTarget_Cancel(module, second));
    ASSERT_TRUE(sim::Settle());
    EXPECT_FALSE(DMF_RequestTarget_Cancel(module, second));
    mDevice.ReleaseWithheld();
    ASSERT_TRUE(sim::Settle());
    EXPECT_FALSE(DMF_RequestTarget_Cancel(module, first));

    // The request completes and is deleted right after the cancellation found it.
    ASSERT_EQ(Send(module, &first), STATUS_SUCCESS);
    std::atomic<bool> once{true};
    sim::SetTraceSink([&](const sim::TraceRecord& record) {
        if (record.message.find("Cancel request") != std::string::npos && once.exchange(false)) {
            mDevice.ReleaseWithheld();
            EXPECT_TRUE(sim::Settle());
        }
    });
    EXPECT_FALSE(DMF_RequestTarget_Cancel(module, first));
    sim::SetTraceSink(nullptr);
    EXPECT_EQ(Statuses(),
              (std::vector<NTSTATUS>{STATUS_CANCELLED, STATUS_SUCCESS, STATUS_SUCCESS}));
    EXPECT_FALSE(sim::TraceContains("WDF: ", TRACE_LEVEL_ERROR));
}

TEST_F(RequestTargetTest, AReusableRequestSendsOnceAtATimeAndLeavesNothingBehindItsSends) {
    mDevice.SetHandler(Withhold);
    DMFMODULE module = AddRequestTarget();
    ULONGLONG requestId = 0;
    ULONGLONG other = 0;
    gIdTaken = true;
    ASSERT_EQ(DMF_RequestTarget_ReuseCreate(module, &requestId), STATUS_SUCCESS);
    ASSERT_EQ(DMF_RequestTarget_ReuseCreate(module, &other), STATUS_SUCCESS);
    EXPECT_TRUE(DMF_RequestTarget_ReuseDelete(module, other));
    EXPECT_FALSE(DMF_RequestTarget_ReuseDelete(module, other));
    EXPECT_EQ(ReuseSend(module, other), STATUS_OBJECTID_NOT_FOUND);
    const size_t objects = sim::wdf::LiveObjectCount();
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(ReuseSend(module, requestId), STATUS_SUCCESS);
        EXPECT_EQ(ReuseSend(module, requestId), STATUS_OBJECTID_NOT_FOUND); // in flight
        mDevice.ReleaseWithheld();
        ASSERT_TRUE(sim::Settle());
    }
    EXPECT_EQ(sim::wdf::LiveObjectCount(), objects);
    EXPECT_EQ(Statuses(), (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS}));
    // Never deleted by its client: the module's close deletes it.
}

// Sends that fail give back their reference and completion record, so the
// close waits for the one request still pending only.
TEST_F(RequestTargetTest, FailedSendsGiveBackWhatTheyTookAndTheCloseWaitsForAPendingRequest) {
    DMFMODULE module = AddRequestTarget();
    const size_t records = LiveMemoryTagged("BPMo");
    for (const char* point : {"WdfMemoryCreatePreallocated", "WdfIoTargetFormatRequestForIoctl",
                              "WdfRequestAllocateTimer", "WdfRequestSend"}) {
        sim::ArmFault(point, sim::FaultSpec::Once(STATUS_DEVICE_NOT_READY));
        EXPECT_EQ(Send(module), STATUS_DEVICE_NOT_READY) << point;
    }
    mDevice.SetHandler(Withhold);
    ASSERT_EQ(Send(module), STATUS_SUCCESS);
    // The pool's one record was free again: no further one was made.
    EXPECT_EQ(LiveMemoryTagged("BPMo"), records);
    std::thread answer([this] {
        EXPECT_TRUE(WaitUntil([] { return sim::TraceContains("Close of RequestTarget waits"); }));
        mDevice.ReleaseWithheld();
    });
    Host().Remove();
    answer.join();
    EXPECT_EQ(Statuses(), (std::vector<NTSTATUS>{STATUS_SUCCESS}));
}

} // namespace
} // namespace targettest
