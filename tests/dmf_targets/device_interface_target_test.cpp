#include "dmf/modules/Dmf_DeviceInterfaceTarget.h"
#include "platform/sim/faults.h"
#include "platform/sim/trace_recorder.h"
#include "platform/sim/wdf_control.h"
#include "tests/dmf_targets/target_fixture.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>

namespace targettest {
namespace {

// What the client of the module hears and answers.
struct Client {
    std::mutex lock;
    std::vector<ULONG> states;
    std::vector<ULONG> plainStates;
    std::vector<NTSTATUS> outputStatuses;
    std::vector<ULONG> handleActions;
    std::vector<DMFMODULE> outputModules;
    bool vetoQuery = false;
    HANDLE queryGate = nullptr;    // set: a query-remove waits here for it
    std::function<void()> onClose; // called as the client hears state 5
    bool refuseOpen = false;
    bool declineArrival = false;
};
Client* gClient = nullptr;

NTSTATUS StateChange(DMFMODULE, ULONG state) {
    if (state == DeviceInterfaceTarget_StateType_QueryRemove && gClient->queryGate != nullptr) {
        {
            std::lock_guard guard(gClient->lock);
            gClient->states.push_back(state);
        }
        WaitForSingleObject(gClient->queryGate, INFINITE);
        return STATUS_SUCCESS;
    }
    if (state == DeviceInterfaceTarget_StateType_Close && gClient->onClose) {
        gClient->onClose();
    }
    std::lock_guard guard(gClient->lock);
    gClient->states.push_back(state);
    bool refuse = (state == DeviceInterfaceTarget_StateType_QueryRemove && gClient->vetoQuery) ||
                  (state == DeviceInterfaceTarget_StateType_Open && gClient->refuseOpen);
    return refuse ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

void PlainStateChange(DMFMODULE, ULONG state) {
    std::lock_guard guard(gClient->lock);
    gClient->plainStates.push_back(state);
}

void ArrivalQuery(DMFMODULE, PUNICODE_STRING, BOOLEAN* open) {
    std::lock_guard guard(gClient->lock);
    *open = gClient->declineArrival ? FALSE : TRUE;
}

DWORD HandleNotification(DMFMODULE, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA, DWORD) {
    std::lock_guard guard(gClient->lock);
    gClient->handleActions.push_back(action);
    return ERROR_SUCCESS;
}

ULONG StreamOutput(DMFMODULE module, PVOID, size_t, PVOID, NTSTATUS) {
    std::lock_guard guard(gClient->lock);
    gClient->outputModules.push_back(module);
    return gClient->outputModules.size() < 3
               ? ContinuousRequestTarget_BufferDisposition_ContinueStreaming
               : ContinuousRequestTarget_BufferDisposition_StopStreaming;
}

// A client that keeps its stream going whatever the status.
ULONG KeepStreaming(DMFMODULE, PVOID, size_t, PVOID, NTSTATUS status) {
    std::lock_guard guard(gClient->lock);
    gClient->outputStatuses.push_back(status);
    return ContinuousRequestTarget_BufferDisposition_ContinueStreaming;
}

// The target a callback of the module's opening fetches, as SocPartition's
// post-open callback does while the open step is still under way.
WDFIOTARGET gPostOpenTarget = nullptr;
void PostOpen(DMFMODULE DmfModule) {
    EXPECT_EQ(DMF_DeviceInterfaceTarget_Get(DmfModule, &gPostOpenTarget), STATUS_SUCCESS);
}
NTSTATUS CreateWithPostOpen(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* Attributes,
                            WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    static DMF_MODULE_EVENT_CALLBACKS events{PostOpen, nullptr};
    Attributes->ModuleEventCallbacks = &events;
    return DMF_DeviceInterfaceTarget_Create(Device, Attributes, ObjectAttributes, DmfModule);
}

// As a collection creates the child of a dynamic module.
NTSTATUS CreateInDynamicParent(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* Attributes,
                               WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    Attributes->IsParentDynamic = TRUE;
    return DMF_DeviceInterfaceTarget_Create(Device, Attributes, ObjectAttributes, DmfModule);
}

class DeviceInterfaceTargetTest : public TargetTest {
protected:
    void SetUp() override {
        TargetTest::SetUp();
        gClient = &mClient;
        DMF_CONFIG_DeviceInterfaceTarget_AND_ATTRIBUTES_INIT(&mConfig, &mAttributes);
        mConfig.DeviceInterfaceTargetGuid = kInterfaceClass;
        mConfig.EvtStateChangeEx = StateChange;
        mConfig.EvtInterfaceArrivalQuery = ArrivalQuery;
    }
    // The module on a started device.
    DMFMODULE AddInterfaceTarget(bool passive = false) {
        gPostOpenTarget = nullptr;
        size_t index = Add(CreateWithPostOpen, mConfig, passive);
        EXPECT_EQ(AddDevice(), STATUS_SUCCESS);
        EXPECT_EQ(Host().Start(), STATUS_SUCCESS);
        return Module(index);
    }
    // A 296-byte IOCTL, as the partition service gets them.
    static NTSTATUS Send(DMFMODULE module) {
        Bytes request(296);
        Bytes reply(8);
        size_t bytes = 0;
        return DMF_DeviceInterfaceTarget_SendSynchronously(
            module, request.data(), request.size(), reply.data(), reply.size(),
            RequestTarget_RequestType_Ioctl, 0xECAF32C2, 5000, &bytes);
    }
    std::vector<ULONG> States() {
        std::lock_guard guard(mClient.lock);
        return mClient.states;
    }
    std::vector<NTSTATUS> OutputStatuses() {
        std::lock_guard guard(mClient.lock);
        return mClient.outputStatuses;
    }
    // `Count` read requests streaming 4-byte outputs to `Output` (by default
    // KeepStreaming), started by the client.
    DMF_CONFIG_ContinuousRequestTarget&
    ConfigureStream(ULONG Count = 2,
                    EVT_DMF_ContinuousRequestTarget_BufferOutput* Output = KeepStreaming) {
        DMF_CONFIG_ContinuousRequestTarget& stream = mConfig.ContinuousRequestTargetConfig;
        stream.ContinuousRequestCount = Count;
        stream.BufferCountOutput = Count;
        stream.BufferOutputSize = 4;
        stream.PoolTypeOutput = NonPagedPoolNx;
        stream.RequestType = RequestTarget_RequestType_Read;
        stream.EvtContinuousRequestTargetBufferOutput = Output;
        return stream;
    }
    static size_t TargetsOn(const sim::TargetDevice& device) {
        return sim::wdf::TargetsOpenedOn(device.SymbolicLink()).size();
    }

    Client mClient;
    DMF_CONFIG_DeviceInterfaceTarget mConfig;
    DMF_MODULE_ATTRIBUTES mAttributes;
};

void Completed(DMFMODULE DmfModule, PVOID Context, PVOID, size_t, PVOID, size_t, NTSTATUS) {
    *static_cast<DMFMODULE*>(Context) = DmfModule;
}

struct Sent {
    DMFMODULE module = nullptr;
    NTSTATUS status = STATUS_PENDING;
};

void CompletedWithStatus(DMFMODULE DmfModule, PVOID Context, PVOID, size_t, PVOID, size_t,
                         NTSTATUS CompletionStatus) {
    *static_cast<Sent*>(Context) = {DmfModule, CompletionStatus};
}

// A passive module, whose whole subtree is created with it, opens its target
// when the interface arrives.
TEST_F(DeviceInterfaceTargetTest, TheTargetOpensWhenTheInterfaceArrives) {
    DMFMODULE module = AddInterfaceTarget(true);
    EXPECT_EQ(Send(module), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(States().empty());
    mDevice.Publish();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(States(), (std::vector<ULONG>{DeviceInterfaceTarget_StateType_Open}));
    auto opened = sim::wdf::TargetsOpenedOn(mDevice.SymbolicLink());
    ASSERT_EQ(opened.size(), 1u);
    const WDF_IO_TARGET_OPEN_PARAMS& params = opened[0].params;
    EXPECT_EQ(params.DesiredAccess, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(params.ShareAccess, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(params.FileAttributes, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(params.CreateDisposition, OPEN_EXISTING);
    EXPECT_TRUE(params.EvtIoTargetQueryRemove && params.EvtIoTargetRemoveCanceled &&
                params.EvtIoTargetRemoveComplete);
    EXPECT_EQ(gPostOpenTarget, opened[0].target);
    EXPECT_EQ(Send(module), STATUS_SUCCESS);
    EXPECT_EQ(mDevice.Requests().back().input.size(), 296u);

    // Asynchronous sends complete with this module, and give their records back.
    const size_t records = LiveMemoryTagged("BPMo");
    for (int send = 0; send < 2; ++send) {
        DMFMODULE completed = nullptr;
        ASSERT_EQ(DMF_DeviceInterfaceTarget_Send(module, nullptr, 0, nullptr, 0,
                                                 RequestTarget_RequestType_Ioctl, 1, 0, Completed,
                                                 &completed),
                  STATUS_SUCCESS);
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(completed, module);
    }
    EXPECT_EQ(LiveMemoryTagged("BPMo"), records);
}

TEST_F(DeviceInterfaceTargetTest, OnlyTheInterfaceInUseMattersUntilItGoes) {
    mDevice.Publish();
    DMFMODULE module = AddInterfaceTarget();
    sim::TargetDevice other(kInterfaceClass, u"\\??\\ROOT#PART#0001#{5f797e8f}", Answer);
    other.Publish();
    other.Withdraw();
    other.Publish();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(TargetsOn(other), 0u);
    EXPECT_EQ(Send(module), STATUS_SUCCESS);
    // A surprise removal: remove-complete alone.
    mDevice.Withdraw();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(Send(module), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(TargetsOn(mDevice), 0u);
    other.Withdraw();
    other.Publish();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(Send(module), STATUS_SUCCESS);
    EXPECT_EQ(other.RequestCount(), 1u);
    EXPECT_EQ(States(), (std::vector<ULONG>{1, 4, 1}));
}

struct QueryCase {
    const char* name;
    bool clientVetoes;
    bool deviceVetoes;
    void (sim::TargetDevice::*then)();
    std::vector<ULONG> states;
    bool openAfter;
    bool reopenFails = false;
};

class QueryRemoveTest : public DeviceInterfaceTargetTest,
                        public ::testing::WithParamInterface<QueryCase> {};

TEST_P(QueryRemoveTest, AQueryRemoveEndsOpenAgainOrWithTheTargetGone) {
    const QueryCase& c = GetParam();
    mClient.vetoQuery = c.clientVetoes;
    mDevice.Publish();
    DMFMODULE module = AddInterfaceTarget();
    const bool vetoed = c.clientVetoes || c.deviceVetoes;
    if (c.reopenFails) {
        sim::ArmFault("WdfIoTargetOpen", sim::FaultSpec::Once());
    }
    EXPECT_EQ(mDevice.QueryRemove(c.deviceVetoes), vetoed ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
    if (c.then != nullptr) {
        EXPECT_EQ(Send(module), STATUS_INVALID_DEVICE_STATE); // closed for the query
        (mDevice.*c.then)();
    }
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(States(), c.states);
    EXPECT_EQ(Send(module), c.openAfter ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(TargetsOn(mDevice), c.openAfter ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, QueryRemoveTest,
    ::testing::Values(
        QueryCase{"Cancelled", false, false, &sim::TargetDevice::CancelRemove, {1, 2, 3}, true},
        QueryCase{"Completed", false, false, &sim::TargetDevice::CompleteRemove, {1, 2, 4}, false},
        QueryCase{"DeviceVeto", false, true, nullptr, {1, 2, 3}, true},
        QueryCase{"ClientVeto", true, false, nullptr, {1, 2, 3}, true},
        QueryCase{"ReopenFails", false, true, nullptr, {1, 2, 5}, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A notification that comes without its context is answered with
// ERROR_INVALID_DATA and reaches no client.
TEST_F(DeviceInterfaceTargetTest, HandleNotificationsReachTheClientAndEndWithTheModule) {
    mConfig.EvtTargetHandleNotification = HandleNotification;
    mDevice.Publish();
    DMFMODULE module = AddInterfaceTarget();
    WDFIOTARGET target = nullptr;
    ASSERT_EQ(DMF_DeviceInterfaceTarget_Get(module, &target), STATUS_SUCCESS);
    HANDLE handle = WdfIoTargetWdmGetTargetFileHandle(target);
    sim::ArmFault("CM_NOTIFY_CALLBACK", sim::FaultSpec::Once());
    EXPECT_EQ(sim::cm::NotifyDeviceHandle(handle, CM_NOTIFY_ACTION_DEVICECUSTOMEVENT),
              ERROR_INVALID_DATA);
    EXPECT_TRUE(mClient.handleActions.empty());
    EXPECT_EQ(sim::cm::NotifyDeviceHandle(handle, CM_NOTIFY_ACTION_DEVICECUSTOMEVENT),
              ERROR_SUCCESS);
    mClient.handleActions.clear();
    ASSERT_EQ(mDevice.QueryRemove(), STATUS_SUCCESS);
    mDevice.CompleteRemove();
    EXPECT_EQ(mClient.handleActions, (std::vector<ULONG>{CM_NOTIFY_ACTION_DEVICEQUERYREMOVE,
                                                         CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE}));
    // The teardown finds no registration left, though no target was open.

    // A handle registration that fails leaves the module without one.
    NextDevice();
    mClient.handleActions.clear();
    sim::ArmFault("CM_Register_Notification", sim::FaultSpec::OnCall(2));
    mDevice.Publish();
    module = AddInterfaceTarget();
    EXPECT_EQ(sim::cm::RegistrationCount(), 1u);
    EXPECT_EQ(Send(module), STATUS_SUCCESS);
    ASSERT_EQ(mDevice.QueryRemove(), STATUS_SUCCESS);
    mDevice.CompleteRemove();
    EXPECT_TRUE(mClient.handleActions.empty());
}

TEST_F(DeviceInterfaceTargetTest, AFailedOrRefusedOpenLeavesNothingOpenUntilTheNextArrival) {
    DMFMODULE module = AddInterfaceTarget();
    for (const char* point :
         {"CM_Get_Device_Interface_List_SizeW", "CM_Get_Device_Interface_ListW",
          "WdfMemoryCreate:DITM", "WdfIoTargetCreate", "WdfIoTargetOpen", "refuse", "decline"}) {
        SCOPED_TRACE(point);
        const std::string name = point;
        mClient.refuseOpen = name == "refuse";
        mClient.declineArrival = name == "decline";
        if (!mClient.refuseOpen && !mClient.declineArrival) {
            sim::ArmFault(point, sim::FaultSpec::Once());
        }
        mDevice.Publish();
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(Send(module), STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(TargetsOn(mDevice), 0u);
        mDevice.Withdraw();
    }
    mClient.refuseOpen = mClient.declineArrival = false;
    mDevice.Publish();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(Send(module), STATUS_SUCCESS);
}

TEST_F(DeviceInterfaceTargetTest, ARegistrationThatFailsFailsTheStart) {
    sim::ArmFault("CM_Register_Notification", sim::FaultSpec::Once());
    Add(DMF_DeviceInterfaceTarget_Create, mConfig);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Host().Start(), STATUS_NOT_FOUND);
}

TEST_F(DeviceInterfaceTargetTest, AnArrivalDuringTheOpenAtRegistrationOpensNoSecondTarget) {
    mDevice.Publish();
    sim::TargetDevice other(kInterfaceClass, u"\\??\\ROOT#PART#0001#{5f797e8f}", Answer);
    // Just as the registration looks for an interface, another one arrives;
    // its arrival gets its turn (or is held back) before the registration goes on.
    std::atomic<bool> once{true};
    sim::SetTraceSink([&](const sim::TraceRecord& record) {
        if (record.message.find("No target: looking for an interface") != std::string::npos &&
            once.exchange(false)) {
            other.Publish();
            WaitUntil([&] { return TargetsOn(other) != 0; }, std::chrono::milliseconds(300));
        }
    });
    AddInterfaceTarget();
    sim::SetTraceSink(nullptr);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(TargetsOn(mDevice) + TargetsOn(other), 1u);
    EXPECT_EQ(States(), (std::vector<ULONG>{1}));
}

// The target opens while the device sleeps and the stream starts with it; the
// wake starts streaming again, which must not send what is in flight twice.
TEST_F(DeviceInterfaceTargetTest, InStreamingModeTheStreamRunsWhileTheTargetIsOpen) {
    DMF_CONFIG_ContinuousRequestTarget& stream = ConfigureStream(1, StreamOutput);
    stream.ContinuousRequestTargetMode = ContinuousRequestTarget_Mode_Automatic;
    stream.PurgeAndStartTargetInD0Callbacks = stream.StartAndStopStreamingInD0Callbacks = TRUE;
    mDevice.SetHandler(Withhold);
    DMFMODULE module = AddInterfaceTarget();
    ASSERT_EQ(Host().Sleep(), STATUS_SUCCESS);
    mDevice.Publish();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mDevice.WithheldCount(), 1u);
    ASSERT_EQ(Host().Wake(), STATUS_SUCCESS);
    mDevice.SetHandler(Answer);
    mDevice.ReleaseWithheld();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mClient.outputModules, (std::vector<DMFMODULE>{module, module, module}));
    EXPECT_EQ(mDevice.RequestCount(), 3u);
}

// A request sent with an id is cancelled by that id through the module while
// it is out; a send whose record cannot be had fails, and without a target
// there is nothing to send or cancel.
TEST_F(DeviceInterfaceTargetTest, ARequestSentWithAnIdIsCancelledByItThroughTheModule) {
    mDevice.SetHandler(Withhold);
    mDevice.Publish();
    DMFMODULE module = AddInterfaceTarget();
    auto sendEx = [module](Sent* sent, ULONGLONG* requestId) {
        return DMF_DeviceInterfaceTarget_SendEx(module, nullptr, 0, nullptr, 0,
                                                RequestTarget_RequestType_Ioctl, 1, 0,
                                                CompletedWithStatus, sent, requestId);
    };
    Sent sent;
    Sent refused;
    ULONGLONG requestId = 0;
    ULONGLONG other = 0;
    // A send the child refuses gives its record back, for the next send.
    const size_t records = LiveMemoryTagged("BPMo");
    EXPECT_EQ(DMF_DeviceInterfaceTarget_Send(module, nullptr, 0, nullptr, 0,
                                             RequestTarget_RequestType_InternalIoctl, 1, 0,
                                             CompletedWithStatus, &refused),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(sendEx(&sent, &requestId), STATUS_SUCCESS);
    EXPECT_EQ(LiveMemoryTagged("BPMo"), records);
    // The one record is taken: the next one cannot be made.
    sim::ArmFault("WdfMemoryCreate:BPMo", sim::FaultSpec::Once());
    EXPECT_EQ(sendEx(&refused, &other), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(DMF_DeviceInterfaceTarget_Cancel(module, requestId));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sent.module, module);
    EXPECT_EQ(sent.status, STATUS_CANCELLED);
    EXPECT_EQ(refused.module, nullptr);
    EXPECT_FALSE(DMF_DeviceInterfaceTarget_Cancel(module, requestId));

    mDevice.Withdraw();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sendEx(&sent, &requestId), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(DMF_DeviceInterfaceTarget_Cancel(module, requestId));
}

// When both state callbacks are given only the plain one is called, and it
// cannot veto: a target the other would refuse opens, and a query-remove it
// would refuse goes through; without either, nothing vetoes.
TEST_F(DeviceInterfaceTargetTest, WithBothStateCallbacksOnlyThePlainOneIsHeardAndItCannotVeto) {
    mClient.refuseOpen = mClient.vetoQuery = true;
    struct Row {
        bool plain;
        bool ex;
    };
    for (const Row& row :
         {Row{true, true}, Row{true, false}, Row{false, true}, Row{false, false}}) {
        SCOPED_TRACE(row.plain * 10 + row.ex);
        NextDevice();
        mClient.states.clear();
        mClient.plainStates.clear();
        mConfig.EvtStateChange = row.plain ? PlainStateChange : nullptr;
        mConfig.EvtStateChangeEx = row.ex ? StateChange : nullptr;
        mDevice.Publish();
        DMFMODULE module = AddInterfaceTarget();
        const bool refused = !row.plain && row.ex;
        EXPECT_EQ(Send(module), refused ? STATUS_INVALID_DEVICE_STATE : STATUS_SUCCESS);
        EXPECT_EQ(mDevice.QueryRemove(), STATUS_SUCCESS);
        mDevice.CompleteRemove();
        EXPECT_EQ(mClient.plainStates,
                  row.plain ? (std::vector<ULONG>{1, 2, 4}) : std::vector<ULONG>{});
        EXPECT_EQ(States(), refused ? (std::vector<ULONG>{1}) : std::vector<ULONG>{});
    }
}

// In a dynamic parent, which never hears prepare-hardware, the module
// registers as it is created (opening a present interface at once) and
// unregisters as it is destroyed.
TEST_F(DeviceInterfaceTargetTest,
       InADynamicParentTheModuleRegistersWhenCreatedNotAtPrepareHardware) {
    mDevice.Publish();
    for (bool dynamicParent : {false, true}) {
        SCOPED_TRACE(dynamicParent);
        NextDevice();
        size_t index =
            Add(dynamicParent ? CreateInDynamicParent : DMF_DeviceInterfaceTarget_Create, mConfig);
        ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
        EXPECT_EQ(Send(Module(index)),
                  dynamicParent ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(sim::cm::RegistrationCount(), dynamicParent ? 1u : 0u);
        ASSERT_EQ(Host().Start(), STATUS_SUCCESS);
        EXPECT_EQ(Send(Module(index)), STATUS_SUCCESS);
        ASSERT_EQ(Host().Remove(), STATUS_SUCCESS);
        EXPECT_EQ(sim::cm::RegistrationCount(), 0u);
    }
}

// Streaming started by hand: a request-target module has no stream to start,
// and a stopped stream hands its client nothing of what it had in flight.
TEST_F(DeviceInterfaceTargetTest, TheClientStartsAndStopsItsStreamOnlyWhileTheTargetIsOpen) {
    mDevice.SetHandler(Withhold);
    DMFMODULE module = AddInterfaceTarget();
    EXPECT_EQ(DMF_DeviceInterfaceTarget_StreamStart(module), STATUS_INVALID_DEVICE_STATE);
    mDevice.Publish();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(DMF_DeviceInterfaceTarget_StreamStart(module), STATUS_INVALID_DEVICE_REQUEST);
    DMF_DeviceInterfaceTarget_StreamStop(module);

    NextDevice();
    ConfigureStream();
    module = AddInterfaceTarget(/*passive=*/true);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mDevice.RequestCount(), 0u);
    ASSERT_EQ(DMF_DeviceInterfaceTarget_StreamStart(module), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mDevice.WithheldCount(), 2u);
    DMF_DeviceInterfaceTarget_StreamStop(module);
    EXPECT_EQ(mDevice.WithheldCount(), 0u);
    mDevice.SetHandler(Answer);
    ASSERT_EQ(DMF_DeviceInterfaceTarget_StreamStart(module), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([this] { return OutputStatuses().size() >= 4; }));
    DMF_DeviceInterfaceTarget_StreamStop(module);
    ASSERT_TRUE(sim::Settle());
    for (NTSTATUS status : OutputStatuses()) {
        EXPECT_EQ(status, STATUS_SUCCESS);
    }
    mDevice.Withdraw();
    ASSERT_TRUE(sim::Settle());
    DMF_DeviceInterfaceTarget_StreamStop(module);
}

// A stream the module cannot start when its target opens is traced; the
// target is open all the same.
TEST_F(DeviceInterfaceTargetTest, AStreamThatCannotStartWithItsTargetLeavesTheTargetOpen) {
    DMF_CONFIG_ContinuousRequestTarget& stream = ConfigureStream(2, StreamOutput);
    stream.BufferCountOutput = 1; // the second request has no output buffer
    stream.ContinuousRequestTargetMode = ContinuousRequestTarget_Mode_Automatic;
    mDevice.SetHandler(Withhold);
    mDevice.Publish();
    DMFMODULE module = AddInterfaceTarget(/*passive=*/true);
    ASSERT_TRUE(sim::Settle());
    EXPECT_TRUE(sim::TraceContains("Streaming does not start", TRACE_LEVEL_ERROR));
    EXPECT_EQ(mDevice.WithheldCount(), 0u);
    WDFIOTARGET target = nullptr;
    EXPECT_EQ(DMF_DeviceInterfaceTarget_Get(module, &target), STATUS_SUCCESS);
    EXPECT_NE(target, nullptr);
}

std::vector<DMFMODULE> gInputModules;

void FillInput(DMFMODULE DmfModule, PVOID InputBuffer, size_t* InputBufferSize, PVOID) {
    gInputModules.push_back(DmfModule);
    std::memset(InputBuffer, 0x42, 4);
    *InputBufferSize = 4;
}

// The client's input callback fills each request's input with this module
// as its module; without one the input goes empty. Without an output
// callback a request streams on while it succeeds and stops at a failure.
TEST_F(DeviceInterfaceTargetTest, TheStreamCallsItsClientWithThisModuleOrDoesWithoutIt) {
    for (bool input : {true, false}) {
        SCOPED_TRACE(input);
        NextDevice();
        gInputModules.clear();
        mDevice.ForgetRequests();
        int answered = 0;
        mDevice.SetHandler([&answered](const sim::TargetRequest& request) {
            sim::TargetAnswer answer = Answer(request);
            answer.status = ++answered < 4 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
            return answer;
        });
        DMF_CONFIG_ContinuousRequestTarget& stream = ConfigureStream(1, nullptr);
        stream.RequestType = RequestTarget_RequestType_Ioctl;
        stream.BufferCountInput = 1;
        stream.BufferInputSize = 4;
        stream.PoolTypeInput = NonPagedPoolNx;
        stream.EvtContinuousRequestTargetBufferInput = input ? FillInput : nullptr;
        mDevice.Publish();
        DMFMODULE module = AddInterfaceTarget(/*passive=*/true);
        ASSERT_EQ(DMF_DeviceInterfaceTarget_StreamStart(module), STATUS_SUCCESS);
        ASSERT_TRUE(sim::Settle());
        ASSERT_EQ(mDevice.RequestCount(), 4u);
        for (const sim::TargetRequest& request : mDevice.Requests()) {
            EXPECT_EQ(request.input, input ? Bytes(4, 0x42) : Bytes{});
        }
        EXPECT_EQ(gInputModules,
                  input ? std::vector<DMFMODULE>(4, module) : std::vector<DMFMODULE>{});
        mDevice.Withdraw();
    }
}

// An interface that goes while a query-remove is under way leaves its target
// to the removal protocol: the query that is still running deletes the target
// as it ends; after a query, a cancelled removal reopens the target only to
// close it again (the client hears 3, then 5). The interface's return opens a
// new one.
TEST_F(DeviceInterfaceTargetTest, AnInterfaceThatGoesDuringAQueryRemoveLeavesTheTargetToTheQuery) {
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (bool duringQuery : {true, false}) {
        SCOPED_TRACE(duringQuery);
        NextDevice();
        mClient.states.clear();
        mDevice.Publish();
        DMFMODULE module = AddInterfaceTarget();
        if (duringQuery) {
            ResetEvent(gate);
            mClient.queryGate = gate;
            auto query = std::async(std::launch::async, [this] { return mDevice.QueryRemove(); });
            ASSERT_TRUE(WaitUntil([this] { return States().size() == 2; }));
            sim::cm::RemoveInterface(mDevice.SymbolicLink());
            ASSERT_TRUE(sim::Settle());
            SetEvent(gate);
            EXPECT_EQ(query.get(), STATUS_SUCCESS);
            mClient.queryGate = nullptr;
            mDevice.CompleteRemove();
        } else {
            ASSERT_EQ(mDevice.QueryRemove(), STATUS_SUCCESS);
            sim::cm::RemoveInterface(mDevice.SymbolicLink());
            ASSERT_TRUE(sim::Settle());
            mDevice.CancelRemove();
        }
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(States(),
                  duringQuery ? (std::vector<ULONG>{1, 2}) : (std::vector<ULONG>{1, 2, 3, 5}));
        EXPECT_EQ(Send(module), STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(TargetsOn(mDevice), 0u);
        if (duringQuery) {
            mDevice.Publish();
            ASSERT_TRUE(sim::Settle());
            EXPECT_EQ(Send(module), STATUS_SUCCESS);
            mDevice.Withdraw();
        } else {
            // Closed already for the module's close: the device's removal
            // closes nothing again.
            ASSERT_EQ(Host().Remove(), STATUS_SUCCESS);
            EXPECT_EQ(States(), (std::vector<ULONG>{1, 2, 3, 5}));
            sim::cm::AddInterface(kInterfaceClass, mDevice.SymbolicLink());
            mDevice.Withdraw();
        }
    }
    CloseHandle(gate);
}

// A query-remove that comes while the module closes is let through: the
// close deletes the target.
TEST_F(DeviceInterfaceTargetTest, AQueryRemoveDuringTheModulesCloseIsLetThrough) {
    mClient.vetoQuery = true;
    mDevice.Publish();
    AddInterfaceTarget();
    NTSTATUS query = STATUS_PENDING;
    mClient.onClose = [this, &query] { query = mDevice.QueryRemove(); };
    ASSERT_EQ(Host().Remove(), STATUS_SUCCESS);
    EXPECT_EQ(query, STATUS_SUCCESS);
    EXPECT_EQ(States(), (std::vector<ULONG>{1, 5}));
    EXPECT_EQ(TargetsOn(mDevice), 0u);
    mDevice.CompleteRemove();
}

enum class TargetEnd { InterfaceRemoval, SurpriseRemoval, QueryCancelled, QueryCompleted, Removal };

class ClientStreamTest : public DeviceInterfaceTargetTest,
                         public ::testing::WithParamInterface<TargetEnd> {};

// However its target goes, a stream its client started is stopped, and what
// it had in flight handed back, before the target closes: the client hears of
// none of it, and no completion sends again on a target that is gone. Once
// the target is back, the stream waits for its client.
TEST_P(ClientStreamTest, AClientStartedStreamEndsBeforeItsTargetAndWaitsForItsClientAfter) {
    const TargetEnd end = GetParam();
    ConfigureStream();
    mDevice.SetHandler(Withhold);
    mDevice.Publish();
    DMFMODULE module = AddInterfaceTarget(/*passive=*/true);
    ASSERT_EQ(DMF_DeviceInterfaceTarget_StreamStart(module), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    ASSERT_EQ(mDevice.WithheldCount(), 2u);
    switch (end) {
    case TargetEnd::InterfaceRemoval:
        sim::cm::RemoveInterface(mDevice.SymbolicLink());
        break;
    case TargetEnd::SurpriseRemoval:
        sim::wdf::CompleteTargetDeviceRemoval(mDevice.SymbolicLink());
        mDevice.Withdraw();
        break;
    case TargetEnd::QueryCancelled:
        ASSERT_EQ(mDevice.QueryRemove(), STATUS_SUCCESS);
        mDevice.CancelRemove();
        break;
    case TargetEnd::QueryCompleted:
        ASSERT_EQ(mDevice.QueryRemove(), STATUS_SUCCESS);
        mDevice.CompleteRemove();
        break;
    case TargetEnd::Removal:
        ASSERT_EQ(Host().Remove(), STATUS_SUCCESS);
        break;
    }
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mDevice.WithheldCount(), 0u);
    EXPECT_EQ(OutputStatuses(), std::vector<NTSTATUS>{});
    EXPECT_FALSE(sim::TraceContains("WDF: ", TRACE_LEVEL_ERROR));
    if (end == TargetEnd::Removal) {
        return;
    }
    if (end == TargetEnd::InterfaceRemoval) {
        sim::cm::AddInterface(kInterfaceClass, mDevice.SymbolicLink());
    } else {
        mDevice.Publish();
    }
    ASSERT_TRUE(sim::Settle());
    WDFIOTARGET target = nullptr;
    ASSERT_EQ(DMF_DeviceInterfaceTarget_Get(module, &target), STATUS_SUCCESS);
    EXPECT_EQ(mDevice.WithheldCount(), 0u);
    ASSERT_EQ(DMF_DeviceInterfaceTarget_StreamStart(module), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mDevice.WithheldCount(), 2u);
}

void PrintTo(TargetEnd end, std::ostream* os) {
    const char* names[] = {"InterfaceRemoval", "SurpriseRemoval", "QueryCancelled",
                           "QueryCompleted", "Removal"};
    *os << names[static_cast<int>(end)];
}

std::string EndName(const ::testing::TestParamInfo<TargetEnd>& info) {
    return ::testing::PrintToString(info.param);
}

INSTANTIATE_TEST_SUITE_P(Ends, ClientStreamTest,
                         ::testing::Values(TargetEnd::InterfaceRemoval, TargetEnd::SurpriseRemoval,
                                           TargetEnd::QueryCancelled, TargetEnd::QueryCompleted,
                                           TargetEnd::Removal),
                         EndName);

} // namespace
} // namespace targettest
