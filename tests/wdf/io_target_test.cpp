#include "platform/sim/driver_host.h"
#include "wdf_fixture.h"

#include <cstring>
#include <functional>
#include <string>
#include <utility>
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

class IoTargetTest : public WdfTest {
protected:
    void SetUp() override {
        WdfTest::SetUp();
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

TEST_F(IoTargetTest, ASynchronousSendReturnsTheResultInTheRequestOnAnOpenTargetOnly) {
    WDFIOTARGET unknown = NewTarget();
    EXPECT_EQ(OpenByName(unknown, u"\\??\\NOBODY", GENERIC_READ), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(WdfIoTargetWdmGetTargetFileHandle(unknown), nullptr);

    WDFIOTARGET target = OpenTarget(Reverse);
    EXPECT_NE(WdfIoTargetWdmGetTargetFileHandle(target), nullptr);
    WDFREQUEST request = Prepare(target);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(1000));
    ASSERT_EQ(WdfRequestAllocateTimer(request), STATUS_SUCCESS);
    WdfIoTargetClose(target);
    EXPECT_FALSE(WdfRequestSend(request, target, &options));
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Reopen(target), STATUS_SUCCESS);
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

// A request still out belongs to the framework until its completion routine
// runs: deleting it then is reported, as the verifier would, and refused.
TEST_F(IoTargetTest, ARequestIsTheDriversToDeleteOnlyOnceItsCompletionHasBeenHandedBack) {
    std::shared_ptr<sim::wdf::TargetIo> held;
    WDFIOTARGET target = OpenTarget([&held](const std::shared_ptr<sim::wdf::TargetIo>& io) {
        io->pending = true;
        held = io;
    });
    WDFREQUEST request = Prepare(target);
    WdfRequestSetCompletionRoutine(
        request,
        [](WDFREQUEST completed, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT) {
            WdfObjectDelete(completed);
        },
        nullptr);
    ASSERT_TRUE(WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS));
    WdfObjectDelete(request);
    EXPECT_TRUE(DebuggerSaw("WdfObjectDelete: request"));
    EXPECT_TRUE(sim::TraceContains("was sent and has not completed", TRACE_LEVEL_ERROR));
    EXPECT_EQ(sim::DebugBreakCount(), 1u);
    EXPECT_TRUE(sim::wdf::IsLiveHandle(request));
    held->complete();
    ASSERT_TRUE(sim::Settle());
    EXPECT_FALSE(sim::wdf::IsLiveHandle(request));
    EXPECT_EQ(sim::DebugBreakCount(), 1u);
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

TEST_F(IoTargetTest, RemovalsAreQueriedVetoedAbandonedCompletedOrASurprise) {
    using Seq = std::vector<std::string>;
    std::vector<std::string> removal;
    gRemoval = &removal;
    auto taken = [&] { return std::exchange(removal, {}); };
    auto isOpen = [](WDFIOTARGET target) {
        return WdfIoTargetWdmGetTargetFileHandle(target) != nullptr;
    };
    const char16_t name[] = u"\\??\\DPP";
    sim::wdf::RegisterTargetDevice(name, Reverse);
    WDFIOTARGET plain = NewTarget(); // closed for the query by default
    WDFIOTARGET own = NewTarget();
    ASSERT_EQ(OpenByName(plain, name, GENERIC_READ), STATUS_SUCCESS);
    ASSERT_EQ(OpenByName(own, name, GENERIC_READ,
                         [](WDF_IO_TARGET_OPEN_PARAMS& params) {
                             params.EvtIoTargetQueryRemove = QueryRemove;
                             params.EvtIoTargetRemoveCanceled = RemoveCanceled;
                             params.EvtIoTargetRemoveComplete = RemoveComplete;
                         }),
              STATUS_SUCCESS);

    // A veto tells every target asked and reopens what the query closed; the
    // device's own veto comes once every target agreed.
    gQueryAnswer = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(sim::wdf::RemoveTargetDevice(name), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(taken(), (Seq{"query", "canceled"}));
    EXPECT_TRUE(isOpen(plain) && isOpen(own));
    gQueryAnswer = STATUS_SUCCESS;
    EXPECT_EQ(sim::wdf::QueryRemoveTargetDevice(name, true), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(taken(), (Seq{"query", "canceled"}));
    EXPECT_TRUE(isOpen(plain) && isOpen(own));

    ASSERT_EQ(sim::wdf::QueryRemoveTargetDevice(name), STATUS_SUCCESS);
    EXPECT_FALSE(isOpen(own));
    sim::wdf::CancelTargetDeviceRemoval(name);
    EXPECT_TRUE(isOpen(own));
    EXPECT_EQ(taken(), (Seq{"query", "canceled"}));

    ASSERT_EQ(sim::wdf::RemoveTargetDevice(name), STATUS_SUCCESS);
    EXPECT_EQ(taken(), (Seq{"query", "complete"}));
    EXPECT_FALSE(isOpen(own) || isOpen(plain));
    EXPECT_EQ(Reopen(plain), STATUS_OBJECT_NAME_NOT_FOUND);

    sim::wdf::RegisterTargetDevice(name, Reverse);
    ASSERT_EQ(Reopen(own), STATUS_SUCCESS);
    ASSERT_EQ(sim::wdf::RemoveTargetDevice(name, true), STATUS_SUCCESS);
    EXPECT_EQ(taken(), (Seq{"complete"}));
    EXPECT_FALSE(isOpen(own));
}

} // namespace
