// The single requests of RequestTarget and of ContinuousRequestTarget, which
// offers the same methods on the same machinery: every test runs on both.
#include "dmf/modules/Dmf_ContinuousRequestTarget.h"
#include "platform/sim/faults.h"
#include "platform/sim/trace_recorder.h"
#include "platform/sim/wdf_control.h"
#include "tests/dmf_targets/target_fixture.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace targettest {
namespace {

constexpr ULONG kIoctl = 0x222004;
const Bytes kAnswer = {9, 8, 7, 6};

// A module that sends single requests, through its own methods.
struct SingleRequestModule {
    const char* name;
    bool streams;   // a ContinuousRequestTarget (without streaming requests)
    size_t records; // completion records made at open
    RequestTarget_Operations methods;
};

const SingleRequestModule kRequestTarget = {"RequestTarget", false, 1,
                                            DMF_RequestTarget_Operations};
const SingleRequestModule kContinuousRequestTarget = {"ContinuousRequestTarget", true, 8,
                                                      DMF_ContinuousRequestTarget_Operations};

void PrintTo(const SingleRequestModule& module, std::ostream* os) {
    *os << module.name;
}

struct Completion {
    DMFMODULE module;
    Bytes input;
    Bytes output;
    NTSTATUS status;
};

class RequestTargetTest : public TargetTest,
                          public ::testing::WithParamInterface<SingleRequestModule> {
protected:
    const RequestTarget_Operations& M() const { return GetParam().methods; }
    // The module, sending to the simulated device.
    DMFMODULE AddRequestTarget(bool passive = false) {
        size_t index = GetParam().streams ? Add(DMF_ContinuousRequestTarget_Create,
                                                DMF_CONFIG_ContinuousRequestTarget{}, passive)
                                          : Add(DMF_RequestTarget_Create, passive);
        EXPECT_EQ(AddDevice(), STATUS_SUCCESS);
        M().IoTargetSet(Module(index), OpenTarget());
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
    // Without a request id through Send, with one through SendEx.
    NTSTATUS Send(DMFMODULE module, ULONGLONG* requestId = nullptr) {
        if (requestId == nullptr) {
            return M().Send(module, mInput.data(), mInput.size(), mOutput.data(), mOutput.size(),
                            RequestTarget_RequestType_Ioctl, kIoctl, 0, Record, this);
        }
        return M().SendEx(module, mInput.data(), mInput.size(), mOutput.data(), mOutput.size(),
                          RequestTarget_RequestType_Ioctl, kIoctl, 0, Record, this, requestId);
    }
    NTSTATUS ReuseSend(DMFMODULE module, ULONGLONG requestId) {
        return M().ReuseSend(module, requestId, mInput.data(), mInput.size(), mOutput.data(),
                             mOutput.size(), RequestTarget_RequestType_Ioctl, kIoctl, 0, Record,
                             this);
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

TEST_P(RequestTargetTest, SynchronousRequestsOfEachTypeBringBackTheDevicesAnswerOrTimeOut) {
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
        EXPECT_EQ(M().SendSynchronously(module, mInput.data(), mInput.size(), output.data(),
                                        output.size(), c.type, kIoctl, 5000, &bytes),
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
    // Without a target nothing is sent, whichever way.
    M().IoTargetClear(module);
    size_t bytes = 0;
    EXPECT_EQ(M().SendSynchronously(module, nullptr, 0, nullptr, 0, RequestTarget_RequestType_Ioctl,
                                    kIoctl, 0, &bytes),
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Send(module), STATUS_INVALID_DEVICE_STATE);
}

// The device's answer, a write with every byte taken.
sim::TargetAnswer TakeWrites(const sim::TargetRequest& request) {
    sim::TargetAnswer answer = Answer(request);
    if (request.type == WdfRequestTypeWrite) {
        answer.information = request.input.size();
    }
    return answer;
}

// A write completes with the input the device took, a read with the output;
// on a passive module the completion runs on the work item.
TEST_P(RequestTargetTest, ACompletionCarriesTheBuffersOfItsTypeAndRunsOnTheWorkItemWhenPassive) {
    mDevice.SetHandler(TakeWrites);
    for (bool passive : {false, true}) {
        SCOPED_TRACE(passive);
        NextDevice();
        sim::ClearTrace();
        DMFMODULE module = AddRequestTarget(passive);
        for (ULONG type : {RequestTarget_RequestType_Ioctl, RequestTarget_RequestType_Read,
                           RequestTarget_RequestType_Write}) {
            ASSERT_EQ(M().Send(module, mInput.data(), mInput.size(), mOutput.data(), mOutput.size(),
                               type, kIoctl, 0, Record, this),
                      STATUS_SUCCESS);
            ASSERT_TRUE(sim::Settle());
        }
        auto seen = Seen();
        mSeen.clear();
        ASSERT_EQ(seen.size(), 3u);
        for (const Completion& completion : seen) {
            EXPECT_EQ(completion.module, module);
            EXPECT_EQ(completion.status, STATUS_SUCCESS);
        }
        EXPECT_EQ(seen[0].input, mInput);
        EXPECT_EQ(seen[0].output, kAnswer);
        EXPECT_EQ(seen[1].input, Bytes{});
        EXPECT_EQ(seen[1].output, kAnswer);
        EXPECT_EQ(seen[2].input, mInput);
        EXPECT_EQ(seen[2].output, Bytes{});
        EXPECT_EQ(sim::TraceContains("RequestTarget_QueuedWorkitemSingleRequest Entry"), passive);
    }
}

TEST_P(RequestTargetTest,
       RequestIdsFollowOneAnotherAndOnlyAPendingRequestCancelsEvenAsItCompletes) {
    mDevice.SetHandler(Withhold);
    DMFMODULE module = AddRequestTarget();
    ULONGLONG first = 0;
    ULONGLONG second = 0;
    ASSERT_EQ(Send(module, &first), STATUS_SUCCESS);
    ASSERT_EQ(Send(module, &second), STATUS_SUCCESS);
    EXPECT_EQ(second, first + 1);
    EXPECT_TRUE(M().Cancel(module, second));
    ASSERT_TRUE(sim::Settle());
    EXPECT_FALSE(M().Cancel(module, second));
    mDevice.ReleaseWithheld();
    ASSERT_TRUE(sim::Settle());
    EXPECT_FALSE(M().Cancel(module, first));

    // The request completes and is deleted right after the cancellation found it.
    ASSERT_EQ(Send(module, &first), STATUS_SUCCESS);
    std::atomic<bool> once{true};
    sim::SetTraceSink([&](const sim::TraceRecord& record) {
        if (record.message.find("Cancel request") != std::string::npos && once.exchange(false)) {
            mDevice.ReleaseWithheld();
            EXPECT_TRUE(sim::Settle());
        }
    });
    EXPECT_FALSE(M().Cancel(module, first));
    sim::SetTraceSink(nullptr);
    EXPECT_EQ(Statuses(),
              (std::vector<NTSTATUS>{STATUS_CANCELLED, STATUS_SUCCESS, STATUS_SUCCESS}));
    EXPECT_FALSE(sim::TraceContains("WDF: ", TRACE_LEVEL_ERROR));
}

// A reusable request is sent once at a time and cancelled by its id while in
// flight. Deleted while in flight, it is gone for its client at once and
// deleted by its completion, which still uses it.
TEST_P(RequestTargetTest, AReusableRequestSendsOnceAtATimeAndLeavesNothingBehindItsSends) {
    mDevice.SetHandler(Withhold);
    DMFMODULE module = AddRequestTarget();
    ULONGLONG requestId = 0;
    ULONGLONG other = 0;
    const size_t before = sim::wdf::LiveObjectCount();
    ASSERT_EQ(M().ReuseCreate(module, &requestId), STATUS_SUCCESS);
    ASSERT_EQ(M().ReuseCreate(module, &other), STATUS_SUCCESS);
    EXPECT_TRUE(M().ReuseDelete(module, other));
    EXPECT_FALSE(M().ReuseDelete(module, other));
    EXPECT_EQ(ReuseSend(module, other), STATUS_OBJECTID_NOT_FOUND);
    const size_t objects = sim::wdf::LiveObjectCount();
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(ReuseSend(module, requestId), STATUS_SUCCESS);
        EXPECT_EQ(ReuseSend(module, requestId), STATUS_OBJECTID_NOT_FOUND); // in flight
        mDevice.ReleaseWithheld();
        ASSERT_TRUE(sim::Settle());
    }
    EXPECT_EQ(sim::wdf::LiveObjectCount(), objects);
    ASSERT_EQ(ReuseSend(module, requestId), STATUS_SUCCESS);
    EXPECT_TRUE(M().Cancel(module, requestId));
    ASSERT_TRUE(sim::Settle());

    ASSERT_EQ(ReuseSend(module, requestId), STATUS_SUCCESS);
    EXPECT_TRUE(M().ReuseDelete(module, requestId));
    EXPECT_FALSE(M().ReuseDelete(module, requestId));
    EXPECT_EQ(ReuseSend(module, requestId), STATUS_OBJECTID_NOT_FOUND);
    mDevice.ReleaseWithheld();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::wdf::LiveObjectCount(), before);
    EXPECT_EQ(Statuses(), (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS, STATUS_CANCELLED,
                                                 STATUS_SUCCESS}));
    EXPECT_TRUE(sim::DebuggerOutput().empty());

    // One never deleted by its client: the module's close deletes it.
    ASSERT_EQ(M().ReuseCreate(module, &requestId), STATUS_SUCCESS);
}

// Sends that fail, whichever way they go, give back their reference and
// completion record, so the close waits for the one request still pending
// only. A reusable request that cannot be kept is not made.
TEST_P(RequestTargetTest, FailedSendsGiveBackWhatTheyTookAndTheCloseWaitsForAPendingRequest) {
    DMFMODULE module = AddRequestTarget();
    ULONGLONG reusable = 0;
    ASSERT_EQ(M().ReuseCreate(module, &reusable), STATUS_SUCCESS);
    const size_t records = LiveMemoryTagged("BPMo");
    ULONGLONG requestId = 0;
    size_t bytes = 0;
    const std::vector<const char*> common = {"WdfMemoryCreatePreallocated",
                                             "WdfIoTargetFormatRequestForIoctl",
                                             "WdfRequestAllocateTimer", "WdfRequestSend"};
    struct Way {
        const char* name;
        std::function<NTSTATUS()> send;
        std::vector<const char*> points;
    };
    auto with = [&common](std::vector<const char*> more) {
        more.insert(more.end(), common.begin(), common.end());
        return more;
    };
    const Way ways[] = {
        {"synchronous",
         [&] {
             return M().SendSynchronously(module, mInput.data(), mInput.size(), mOutput.data(),
                                          mOutput.size(), RequestTarget_RequestType_Ioctl, kIoctl,
                                          0, &bytes);
         },
         with({"WdfRequestCreate"})},
        {"asynchronous", [&] { return Send(module); }, with({"WdfRequestCreate"})},
        {"with an id", [&] { return Send(module, &requestId); },
         with({"WdfRequestCreate", "WdfCollectionAdd"})},
        {"reusable", [&] { return ReuseSend(module, reusable); }, with({"WdfCollectionAdd"})},
        {"reusable made",
         [&] { return M().ReuseCreate(module, &requestId); },
         {"WdfRequestCreate", "WdfCollectionAdd"}}};
    const size_t objects = sim::wdf::LiveObjectCount();
    for (const Way& way : ways) {
        for (const char* point : way.points) {
            sim::ArmFault(point, sim::FaultSpec::Once(STATUS_DEVICE_NOT_READY));
            EXPECT_EQ(way.send(), STATUS_DEVICE_NOT_READY) << way.name << ": " << point;
        }
    }
    EXPECT_EQ(sim::wdf::LiveObjectCount(), objects);
    EXPECT_EQ(Statuses(), std::vector<NTSTATUS>{});

    // Records beyond those made at open are made as sends need them. (Sends
    // out together do not share the test's buffers.)
    mDevice.SetHandler(Withhold);
    auto sendWithoutBuffers = [&] {
        return M().Send(module, nullptr, 0, nullptr, 0, RequestTarget_RequestType_Ioctl, kIoctl, 0,
                        Record, this);
    };
    for (size_t send = 0; send < GetParam().records; ++send) {
        ASSERT_EQ(sendWithoutBuffers(), STATUS_SUCCESS);
    }
    sim::ArmFault("WdfMemoryCreate:BPMo", sim::FaultSpec::Once());
    EXPECT_EQ(sendWithoutBuffers(), STATUS_UNSUCCESSFUL);
    mDevice.ReleaseWithheld();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(LiveMemoryTagged("BPMo"), records);
    mSeen.clear();

    ASSERT_EQ(Send(module), STATUS_SUCCESS);
    // The pool's record was free again: no further one was made.
    EXPECT_EQ(LiveMemoryTagged("BPMo"), records);
    const std::string waits = std::string("Close of ") + GetParam().name + " waits";
    std::thread answer([this, &waits] {
        EXPECT_TRUE(WaitUntil([&waits] { return sim::TraceContains(waits); }));
        mDevice.ReleaseWithheld();
    });
    Host().Remove();
    answer.join();
    EXPECT_EQ(Statuses(), (std::vector<NTSTATUS>{STATUS_SUCCESS}));
}

// An open that cannot make both of its collections fails, leaving nothing.
TEST_P(RequestTargetTest, AnOpenThatCannotMakeItsCollectionsFails) {
    for (unsigned call : {1u, 2u}) {
        SCOPED_TRACE(call);
        NextDevice();
        const std::string entry = std::string(GetParam().name) + "_Open Entry";
        sim::SetTraceSink([&](const sim::TraceRecord& record) {
            if (record.message == entry) {
                sim::ArmFault("WdfCollectionCreate",
                              sim::FaultSpec::OnCall(call, STATUS_NO_MEMORY));
            }
        });
        if (GetParam().streams) {
            Add(DMF_ContinuousRequestTarget_Create, DMF_CONFIG_ContinuousRequestTarget{});
        } else {
            Add(DMF_RequestTarget_Create);
        }
        EXPECT_EQ(AddDevice(), STATUS_NO_MEMORY);
        sim::SetTraceSink(nullptr);
    }
}

void Gated(DMFMODULE DmfModule, PVOID, PVOID, size_t, PVOID, size_t, NTSTATUS CompletionStatus) {
    moduletest::Log().Record(DmfModule, nullptr, static_cast<ULONG>(CompletionStatus));
}

// While the work item is held in a completion, the completions behind it take
// the queue's buffers; one whose buffer cannot be made runs at once on its
// own thread instead of being lost, and every send completes.
TEST_P(RequestTargetTest, APassiveCompletionTheWorkItemCannotTakeRunsAtOnce) {
    mDevice.SetHandler(Withhold);
    DMFMODULE module = AddRequestTarget(/*passive=*/true);
    moduletest::Log().gatedCall = 1;
    for (int send = 0; send < 5; ++send) {
        ASSERT_EQ(M().Send(module, nullptr, 0, nullptr, 0, RequestTarget_RequestType_Ioctl, kIoctl,
                           0, Gated, nullptr),
                  STATUS_SUCCESS);
    }
    sim::ArmFault("WdfMemoryCreate:BPMo", sim::FaultSpec::Once());
    mDevice.ReleaseWithheld();
    ASSERT_TRUE(WaitUntil([] { return sim::TraceContains("; completing here"); }));
    SetEvent(moduletest::Log().gate);
    ASSERT_TRUE(WaitUntil([] { return moduletest::Log().Count() == 5; }));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::TraceCount("; completing here"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Modules, RequestTargetTest,
                         ::testing::Values(kRequestTarget, kContinuousRequestTarget),
                         [](const auto& info) { return std::string(info.param.name); });

// Request ids come from one counter per process that both modules share, so
// only a process of its own shows where it starts: the first id is 256 and
// the next 257, whichever module hands it out.
using RequestIdDeathTest = TargetTest;

TEST_F(RequestIdDeathTest, TheFirstIdsOfAProcessAre256And257WhicheverModuleHandsThemOut) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const size_t single = Add(DMF_RequestTarget_Create);
            const size_t continuous =
                Add(DMF_ContinuousRequestTarget_Create, DMF_CONFIG_ContinuousRequestTarget{});
            if (AddDevice() != STATUS_SUCCESS) {
                std::_Exit(2);
            }
            WDFIOTARGET target = OpenTarget();
            ULONGLONG first = 0;
            ULONGLONG second = 0;
            kRequestTarget.methods.IoTargetSet(Module(single), target);
            kContinuousRequestTarget.methods.IoTargetSet(Module(continuous), target);
            kRequestTarget.methods.ReuseCreate(Module(single), &first);
            kContinuousRequestTarget.methods.ReuseCreate(Module(continuous), &second);
            std::fprintf(stderr, "request ids %llu, %llu\n", static_cast<unsigned long long>(first),
                         static_cast<unsigned long long>(second));
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "request ids 256, 257\n");
}

} // namespace
} // namespace targettest
