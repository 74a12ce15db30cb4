#include "platform/sim/driver_host.h"
#include "wdf_fixture.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// A device whose default queue passes every IOCTL down unchanged.
void ForwardingDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t, size_t, ULONG) {
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
    EXPECT_EQ(options.Size, 16u);
    WdfRequestFormatRequestUsingCurrentType(request);
    WDFDEVICE device = WdfIoQueueGetDevice(queue);
    if (!WdfRequestSend(request, WdfDeviceGetIoTarget(device), &options)) {
        WdfRequestComplete(request, WdfRequestGetStatus(request));
    }
}

NTSTATUS AddForwardingDevice(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG queue;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queue, WdfIoQueueDispatchParallel);
    queue.EvtIoDeviceControl = ForwardingDeviceControl;
    return WdfIoQueueCreate(device, &queue, WDF_NO_OBJECT_ATTRIBUTES, nullptr);
}

NTSTATUS ForwardingDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, AddForwardingDevice);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

// The device below reverses the input into the output.
void Reverse(const std::shared_ptr<sim::wdf::TargetIo>& io) {
    io->output.assign(io->input.rbegin(), io->input.rend());
    io->output.resize(std::min(io->output.size(), io->outputCapacity));
    io->information = io->output.size();
    io->status = STATUS_SUCCESS;
}

NTSTATUS Reopen(WDFIOTARGET target) {
    WDF_IO_TARGET_OPEN_PARAMS reopen;
    WDF_IO_TARGET_OPEN_PARAMS_INIT_REOPEN(&reopen);
    return WdfIoTargetOpen(target, &reopen);
}

NTSTATUS Reuse(WDFREQUEST request) {
    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    return WdfRequestReuse(request, &reuse);
}

struct Completion {
    std::mutex lock;
    std::atomic<int> calls{0};
    WDF_REQUEST_COMPLETION_PARAMS params{};
    DWORD thread = 0;
};
Completion* gCompletion = nullptr;

void RecordCompletion(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params,
                      WDFCONTEXT context) {
    EXPECT_EQ(context, gCompletion);
    std::lock_guard guard(gCompletion->lock);
    gCompletion->params = *params;
    gCompletion->thread = GetCurrentThreadId();
    EXPECT_EQ(WdfRequestGetStatus(request), params->IoStatus.Status);
    ++gCompletion->calls;
}

class IoTargetTest : public WdfTest {
protected:
    void SetUp() override {
        WdfTest::SetUp();
        gCompletion = &mCompletion;
        mHost = std::make_unique<sim::DriverHost>();
        ASSERT_EQ(mHost->LoadEntry(ForwardingDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(mHost->AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(mHost->Start(), STATUS_SUCCESS);
    }
    void TearDown() override {
        mHost.reset();
        WdfTest::TearDown();
    }
    // A new, closed target of the host's device.
    WDFIOTARGET NewTarget() {
        WDFIOTARGET target = nullptr;
        EXPECT_EQ(WdfIoTargetCreate(mHost->Device(), WDF_NO_OBJECT_ATTRIBUTES, &target),
                  STATUS_SUCCESS);
        return target;
    }
    // Opens `target` on the device `name`; `configure` may add to the parameters.
    static NTSTATUS
    OpenByName(WDFIOTARGET target, std::u16string name, ULONG access,
               const std::function<void(WDF_IO_TARGET_OPEN_PARAMS&)>& configure = {}) {
        UNICODE_STRING text{static_cast<USHORT>(name.size() * 2),
                            static_cast<USHORT>(name.size() * 2 + 2), name.data()};
        WDF_IO_TARGET_OPEN_PARAMS params;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &text, access);
        if (configure) {
            configure(params);
        }
        return WdfIoTargetOpen(target, &params);
    }
    // A target opened on the simulated device "\\??\\PART".
    WDFIOTARGET OpenTarget(sim::wdf::TargetHandler handler) {
        sim::wdf::RegisterTargetDevice(u"\\??\\PART", std::move(handler));
        WDFIOTARGET target = NewTarget();
        EXPECT_EQ(OpenByName(target, u"\\??\\PART", GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
        return target;
    }
    // A request formatted as IOCTL 0x22 with input "abc" and 8 bytes of output.
    WDFREQUEST Prepare(WDFIOTARGET target) {
        WDFREQUEST request = nullptr;
        EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &request), STATUS_SUCCESS);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = request;
        PVOID buffer = nullptr;
        EXPECT_EQ(WdfMemoryCreate(&attributes, NonPagedPoolNx, 0, 3, &mInput, &buffer),
                  STATUS_SUCCESS);
        std::memcpy(buffer, "abc", 3);
        EXPECT_EQ(WdfMemoryCreate(&attributes, NonPagedPoolNx, 0, 8, &mOutput, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(WdfIoTargetFormatRequestForIoctl(target, request, 0x22, mInput, nullptr, mOutput,
                                                   nullptr),
                  STATUS_SUCCESS);
        return request;
    }
    std::unique_ptr<sim::DriverHost> mHost;
    Completion mCompletion;
    WDFMEMORY mInput = nullptr;
    WDFMEMORY mOutput = nullptr;
};

TEST_F(IoTargetTest, ARequestPassedDownCompletesTheCallerWithTheLowerResult) {
    sim::HostFile file = mHost->OpenFile();
    // Nothing below answers: the lower device refuses.
    EXPECT_EQ(mHost->DeviceIoControl(file, 0x10, {1, 2}, 2).status, STATUS_NOT_SUPPORTED);

    sim::wdf::SetLowerDeviceHandler(Reverse);
    sim::IoResult result = mHost->DeviceIoControl(file, 0x10, {1, 2, 3}, 2);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytes, 2u);
    EXPECT_EQ(result.output, (std::vector<std::uint8_t>{3, 2}));

    sim::ArmFault("WdfRequestSend", sim::FaultSpec::Once());
    EXPECT_EQ(mHost->DeviceIoControl(file, 0x10, {1}, 1).status, STATUS_INVALID_DEVICE_STATE);
    mHost->CloseFile(file);
}

TEST_F(IoTargetTest, ASynchronousSendReturnsTheResultInTheRequest) {
    WDFIOTARGET target = OpenTarget(Reverse);
    WDFREQUEST request = Prepare(target);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(1000));
    ASSERT_EQ(WdfRequestAllocateTimer(request), STATUS_SUCCESS);
    EXPECT_TRUE(WdfRequestSend(request, target, &options));
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestGetInformation(request), 3u);
    EXPECT_EQ(std::memcmp(WdfMemoryGetBuffer(mOutput, nullptr), "cba", 3), 0);
    WDF_REQUEST_COMPLETION_PARAMS params;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
    WdfRequestGetCompletionParams(request, &params);
    EXPECT_EQ(params.Type, WdfRequestTypeDeviceControl);
    EXPECT_EQ(params.Parameters.Ioctl.IoControlCode, 0x22u);
    EXPECT_EQ(params.Parameters.Ioctl.Output.Buffer, mOutput);
    EXPECT_EQ(params.Parameters.Ioctl.Output.Length, 3u);

    // Reused, it starts over with the status it is given.
    EXPECT_EQ(Reuse(request), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestGetInformation(request), 0u);
    EXPECT_FALSE(WdfRequestSend(request, target, &options)); // no longer formatted
    WdfObjectDelete(request);
}

TEST_F(IoTargetTest, AnAsynchronousCompletionRunsOnAnotherThreadOnce) {
    std::shared_ptr<sim::wdf::TargetIo> held;
    WDFIOTARGET target = OpenTarget([&](const std::shared_ptr<sim::wdf::TargetIo>& io) {
        io->pending = true;
        held = io;
    });
    WDFREQUEST request = Prepare(target);
    WdfRequestSetCompletionRoutine(request, RecordCompletion, &mCompletion);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    ASSERT_TRUE(WdfRequestSend(request, target, &options));
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_PENDING);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mCompletion.calls, 0);

    ASSERT_NE(held, nullptr);
    held->status = STATUS_END_OF_FILE;
    held->complete();
    held->complete(); // a second completion of the device changes nothing
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mCompletion.calls, 1);
    EXPECT_EQ(mCompletion.params.IoStatus.Status, STATUS_END_OF_FILE);
    EXPECT_NE(mCompletion.thread, GetCurrentThreadId());
    WdfObjectDelete(request);
}

TEST_F(IoTargetTest, TimeOutsAndCancellationEndAPendingSend) {
    sim::SetTimeScale(0.001);
    std::shared_ptr<sim::wdf::TargetIo> held;
    WDFIOTARGET target = OpenTarget([&](const std::shared_ptr<sim::wdf::TargetIo>& io) {
        io->pending = true; // never answers by itself
        held = io;
    });
    WDFREQUEST request = Prepare(target);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(10000));
    EXPECT_FALSE(WdfRequestSend(request, target, &options));
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_IO_TIMEOUT);
    held->complete(); // too late: ignored

    WdfRequestSetCompletionRoutine(request, RecordCompletion, &mCompletion);
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    ASSERT_TRUE(WdfRequestSend(request, target, &options));
    EXPECT_TRUE(WdfRequestCancelSentRequest(request));
    EXPECT_FALSE(WdfRequestCancelSentRequest(request));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mCompletion.calls, 1);
    EXPECT_EQ(mCompletion.params.IoStatus.Status, STATUS_CANCELLED);
    WdfObjectDelete(request);
}

TEST_F(IoTargetTest, APurgeHandsEveryPendingRequestBackBeforeItReturns) {
    std::vector<std::shared_ptr<sim::wdf::TargetIo>> held;
    WDFIOTARGET target = OpenTarget([&](const std::shared_ptr<sim::wdf::TargetIo>& io) {
        io->pending = true;
        held.push_back(io);
    });
    WDFREQUEST request = Prepare(target);
    WdfRequestSetCompletionRoutine(request, RecordCompletion, &mCompletion);
    ASSERT_TRUE(WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS));

    WdfIoTargetPurge(target, WdfIoTargetPurgeIoAndWait);
    EXPECT_EQ(mCompletion.calls, 1); // the routine has run
    EXPECT_EQ(mCompletion.params.IoStatus.Status, STATUS_CANCELLED);
    held[0]->complete(); // the device's late answer is dropped

    // Purged: refused until started again.
    ASSERT_EQ(Reuse(request), STATUS_SUCCESS);
    ASSERT_EQ(
        WdfIoTargetFormatRequestForIoctl(target, request, 0x22, mInput, nullptr, mOutput, nullptr),
        STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(request, RecordCompletion, &mCompletion);
    EXPECT_FALSE(WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS));
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
    ASSERT_TRUE(WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS));
    held[1]->information = 0;
    held[1]->complete();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(mCompletion.calls, 2);
    EXPECT_EQ(mCompletion.params.IoStatus.Status, STATUS_SUCCESS);
    WdfObjectDelete(request);
}

std::vector<std::string>* gRemoval = nullptr;
NTSTATUS gQueryAnswer = STATUS_SUCCESS;

NTSTATUS QueryRemove(WDFIOTARGET target) {
    gRemoval->push_back("query");
    if (NT_SUCCESS(gQueryAnswer)) {
        WdfIoTargetCloseForQueryRemove(target);
    }
    return gQueryAnswer;
}
void RemoveCanceled(WDFIOTARGET target) {
    gRemoval->push_back("canceled");
    EXPECT_EQ(Reopen(target), STATUS_SUCCESS);
}
void RemoveComplete(WDFIOTARGET target) {
    gRemoval->push_back("complete");
    WdfIoTargetClose(target);
}

class TargetRemovalTest : public IoTargetTest {
protected:
    void SetUp() override {
        IoTargetTest::SetUp();
        gRemoval = &mRemoval;
        gQueryAnswer = STATUS_SUCCESS;
        sim::wdf::RegisterTargetDevice(kName, Reverse);
    }
    WDFIOTARGET Open(bool withCallbacks) {
        WDFIOTARGET target = NewTarget();
        EXPECT_EQ(OpenByName(target, kName, GENERIC_READ,
                             [withCallbacks](WDF_IO_TARGET_OPEN_PARAMS& params) {
                                 if (withCallbacks) {
                                     params.EvtIoTargetQueryRemove = QueryRemove;
                                     params.EvtIoTargetRemoveCanceled = RemoveCanceled;
                                     params.EvtIoTargetRemoveComplete = RemoveComplete;
                                 }
                             }),
                  STATUS_SUCCESS);
        return target;
    }
    static bool IsOpen(WDFIOTARGET target) {
        return WdfIoTargetWdmGetTargetFileHandle(target) != nullptr;
    }
    static constexpr char16_t kName[] = u"\\??\\DPP";
    std::vector<std::string> mRemoval;
};

TEST_F(TargetRemovalTest, AQueriedRemovalClosesThenCompletesAndTheDeviceIsGone) {
    WDFIOTARGET own = Open(true);
    WDFIOTARGET plain = Open(false);
    ASSERT_EQ(sim::wdf::RemoveTargetDevice(kName), STATUS_SUCCESS);
    EXPECT_EQ(mRemoval, (std::vector<std::string>{"query", "complete"}));
    EXPECT_FALSE(IsOpen(own));
    EXPECT_FALSE(IsOpen(plain));
    EXPECT_EQ(Reopen(plain), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(TargetRemovalTest, AVetoTellsEveryTargetAskedAndReopensWhatTheQueryClosed) {
    WDFIOTARGET plain = Open(false); // closed for the query by default
    WDFIOTARGET own = Open(true);
    gQueryAnswer = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(sim::wdf::RemoveTargetDevice(kName), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(mRemoval, (std::vector<std::string>{"query", "canceled"}));
    EXPECT_TRUE(IsOpen(plain));
    EXPECT_TRUE(IsOpen(own));

    // The device's own veto comes once every target agreed.
    mRemoval.clear();
    gQueryAnswer = STATUS_SUCCESS;
    EXPECT_EQ(sim::wdf::QueryRemoveTargetDevice(kName, true), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(mRemoval, (std::vector<std::string>{"query", "canceled"}));
    EXPECT_TRUE(IsOpen(plain));
    EXPECT_TRUE(IsOpen(own));
}

TEST_F(TargetRemovalTest, AnAbandonedRemovalAndASurpriseRemoval) {
    WDFIOTARGET own = Open(true);
    ASSERT_EQ(sim::wdf::QueryRemoveTargetDevice(kName), STATUS_SUCCESS);
    EXPECT_FALSE(IsOpen(own));
    sim::wdf::CancelTargetDeviceRemoval(kName);
    EXPECT_TRUE(IsOpen(own));
    EXPECT_EQ(mRemoval, (std::vector<std::string>{"query", "canceled"}));

    mRemoval.clear();
    ASSERT_EQ(sim::wdf::RemoveTargetDevice(kName, true), STATUS_SUCCESS);
    EXPECT_EQ(mRemoval, (std::vector<std::string>{"complete"}));
    EXPECT_FALSE(IsOpen(own));
}

TEST_F(IoTargetTest, TargetsOpenOnlyOnKnownDevicesAndRefuseSendsWhenClosed) {
    WDFIOTARGET target = NewTarget();
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(OpenByName(target, u"\\??\\NOBODY", GENERIC_READ), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(WdfIoTargetWdmGetTargetFileHandle(target), nullptr);

    WDFIOTARGET open = OpenTarget(Reverse);
    EXPECT_NE(WdfIoTargetWdmGetTargetFileHandle(open), nullptr);
    WDFREQUEST request = Prepare(open);
    WdfIoTargetClose(open);
    EXPECT_FALSE(WdfRequestSend(request, open, WDF_NO_SEND_OPTIONS));
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Reopen(open), STATUS_SUCCESS);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    EXPECT_TRUE(WdfRequestSend(request, open, &options));
    WdfObjectDelete(request);
}

} // namespace
