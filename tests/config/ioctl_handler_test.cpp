// The IoctlHandler module serving IOCTLs sent through the host: table
// matching, buffer checks, pending requests, access modes and the reference
// string.
#include "halvex/driver/Ioctl.h"
#include "platform/sim/quiescence.h"
#include "tests/config/ConfigFixture.h"

#include <atomic>
#include <chrono>
#include <future>

namespace configtest {
namespace {

constexpr ULONG kCodeA = 0x00222000;
constexpr ULONG kCodeB = 0x00222004;

std::atomic<int> gFirstCalls{0};
std::atomic<int> gSecondCalls{0};
std::atomic<WDFREQUEST> gKeptRequest{nullptr};
std::atomic<size_t> gSeenInputLength{99};
std::atomic<bool> gSawNullInput{false};

NTSTATUS First(DMFMODULE, WDFQUEUE, WDFREQUEST, ULONG, PVOID input, size_t inputLength, PVOID,
               size_t, size_t* bytesReturned) {
    ++gFirstCalls;
    gSawNullInput = input == nullptr;
    gSeenInputLength = inputLength;
    *bytesReturned = 0;
    return STATUS_SUCCESS;
}

NTSTATUS Second(DMFMODULE, WDFQUEUE, WDFREQUEST, ULONG, PVOID, size_t, PVOID, size_t,
                size_t* bytesReturned) {
    ++gSecondCalls;
    *bytesReturned = 0;
    return STATUS_SUCCESS;
}

NTSTATUS Keep(DMFMODULE, WDFQUEUE, WDFREQUEST request, ULONG, PVOID, size_t, PVOID, size_t,
              size_t*) {
    gKeptRequest = request;
    return STATUS_PENDING;
}

IoctlHandler_IoctlRecord gTable[] = {
    {kCodeA, 0, 0, First, FALSE},
    {kCodeA, 0, 0, Second, FALSE}, // shadowed by the first record
    {kCodeB, 0, 0, Keep, FALSE},
};

class IoctlHandlerModule : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        gFirstCalls = 0;
        gSecondCalls = 0;
        gKeptRequest = nullptr;
    }
    void UseTestTable() {
        IoctlConfig().IoctlRecords = gTable;
        IoctlConfig().IoctlRecordCount = 3;
    }
    sim::IoResult Send(ULONG code, std::vector<std::uint8_t> input, size_t outputLength,
                       const sim::HostFile* file = nullptr) {
        if (file == nullptr) {
            if (!mFile) {
                mFile = mHost->OpenFile();
            }
            file = &mFile;
        }
        return mHost->DeviceIoControl(*file, code, input, outputLength);
    }
    void TearDown() override {
        if (mHost && mFile) {
            mHost->CloseFile(mFile);
        }
        ConfigTest::TearDown();
    }
    sim::HostFile mFile;
};

TEST_F(IoctlHandlerModule, TheDriverTableChecksBufferSizesBeforeTheHandlers) {
    AddDevice();
    EXPECT_EQ(Send(IOCTL_HALVEX_GET_INFO, {}, 4).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Send(IOCTL_HALVEX_SET_SENSOR_STATE, {7, 0, 0, 0, 1, 0, 0}, 0).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_FALSE(sim::TraceContains("IoctlGetInfo Entry"));
    EXPECT_FALSE(sim::TraceContains("IoctlSetSensorState Entry"));
    EXPECT_EQ(Send(IOCTL_HALVEX_GET_INFO, {}, 8).bytes, 8u);
    EXPECT_TRUE(sim::TraceContains("IoctlGetInfo Entry"));

    // Neither record nor the client claims another code.
    EXPECT_EQ(Send(0x81290808, {}, 0).status, STATUS_NOT_SUPPORTED);

    // The interface is the driver's.
    auto interfaces = sim::wdf::DeviceInterfaces(Device());
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].interfaceClass, GUID_DEVINTERFACE_HALVEX);
    EXPECT_TRUE(interfaces[0].referenceString.empty());
}

TEST_F(IoctlHandlerModule, FirstMatchingRecordServesWithOptionalBuffers) {
    UseTestTable();
    AddDevice();
    sim::IoResult result = Send(kCodeA, {}, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(gFirstCalls.load(), 1);
    EXPECT_EQ(gSecondCalls.load(), 0);
    EXPECT_TRUE(gSawNullInput.load());
    EXPECT_EQ(gSeenInputLength.load(), 0u);

    Send(kCodeA, {1, 2, 3}, 0);
    EXPECT_FALSE(gSawNullInput.load());
    EXPECT_EQ(gSeenInputLength.load(), 3u);
}

TEST_F(IoctlHandlerModule, APendingRequestIsLeftToItsHandler) {
    UseTestTable();
    AddDevice();
    mFile = mHost->OpenFile();
    auto pending = mHost->DeviceIoControlAsync(mFile, kCodeB, {}, 0);
    ASSERT_TRUE(sim::Settle(std::chrono::seconds(10)));
    EXPECT_EQ(pending.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    ASSERT_NE(gKeptRequest.load(), nullptr);
    WdfRequestCompleteWithInformation(gKeptRequest.load(), STATUS_DEVICE_NOT_READY, 0);
    EXPECT_EQ(pending.get().status, STATUS_DEVICE_NOT_READY);
}

TEST_F(IoctlHandlerModule, UnmatchedRequestsCanBeForwarded) {
    UseTestTable();
    IoctlConfig().ForwardUnmatchedRequests = TRUE;
    std::atomic<ULONG> forwarded{0};
    sim::wdf::SetLowerDeviceHandler([&](const std::shared_ptr<sim::wdf::TargetIo>& io) {
        forwarded = io->ioControlCode;
        io->status = STATUS_DEVICE_REMOVED;
    });
    AddDevice();
    EXPECT_EQ(Send(0x00222010, {}, 0).status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(forwarded.load(), 0x00222010u);
    sim::wdf::SetLowerDeviceHandler(nullptr);
}

TEST_F(IoctlHandlerModule, KernelModeOnlyRefusesUserModeCallers) {
    UseTestTable();
    IoctlConfig().KernelModeOnly = TRUE;
    AddDevice();
    EXPECT_EQ(Send(kCodeA, {}, 0).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(gFirstCalls.load(), 0);
    sim::HostFile kernel = mHost->OpenFile(u"", KernelMode);
    EXPECT_EQ(Send(kCodeA, {}, 0, &kernel).status, STATUS_SUCCESS);
    mHost->CloseFile(kernel);
}

TEST_F(IoctlHandlerModule, AdministratorModesRefuseEveryCreateAndLeaveNoCollection) {
    for (auto mode : {IoctlHandler_AccessModeFilterAdministratorOnly,
                      IoctlHandler_AccessModeFilterAdministratorOnlyPerIoctl}) {
        ResetIoctlConfig();
        UseTestTable();
        IoctlConfig().AccessModeFilter = mode;
        AddDevice();
        EXPECT_EQ(mHost->OpenFile().status, STATUS_ACCESS_DENIED);
        ASSERT_EQ(mHost->Remove(), STATUS_SUCCESS);
        for (const auto& object : sim::wdf::LiveObjects()) {
            EXPECT_NE(object.kind, "WDFCOLLECTION") << "left behind by mode " << mode;
        }
        mHost.reset();
    }
}

TEST_F(IoctlHandlerModule, InternalModeLeavesDeviceControlRequestsAlone) {
    UseTestTable();
    IoctlConfig().AccessModeFilter = IoctlHandler_AccessModeFilterKernelModeOnly;
    AddDevice();
    EXPECT_EQ(Send(kCodeA, {}, 0).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(gFirstCalls.load(), 0);
}

TEST_F(IoctlHandlerModule, TheReferenceStringSelectsTheFilesServed) {
    UseTestTable();
    IoctlConfig().ReferenceString = u"Sar";
    AddDevice();
    auto interfaces = sim::wdf::DeviceInterfaces(Device());
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].referenceString, u"Sar");

    sim::HostFile exact = mHost->OpenFile(u"\\Sar");
    sim::HostFile empty = mHost->OpenFile(u"");
    sim::HostFile otherCase = mHost->OpenFile(u"\\SAR");
    sim::HostFile longer = mHost->OpenFile(u"\\Sar2");
    EXPECT_EQ(Send(kCodeA, {}, 0, &exact).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(kCodeA, {}, 0, &empty).status, STATUS_SUCCESS);
    EXPECT_EQ(gFirstCalls.load(), 2);
    // Not claimed by the module: the framework lets the create through, but
    // the module serves nothing on those files.
    ASSERT_TRUE(otherCase);
    ASSERT_TRUE(longer);
    EXPECT_EQ(Send(kCodeA, {}, 0, &otherCase).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Send(kCodeA, {}, 0, &longer).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(gFirstCalls.load(), 2);
    for (auto* file : {&exact, &empty, &otherCase, &longer}) {
        if (*file) {
            mHost->CloseFile(*file);
        }
    }
}

NTSTATUS FailingPostCreate(DMFMODULE, GUID*, UNICODE_STRING*) {
    return STATUS_DEVICE_NOT_READY;
}

TEST_F(IoctlHandlerModule, OpenFailuresFailDeviceAdd) {
    Client().defaultQueue = false;
    NTSTATUS status = STATUS_SUCCESS;
    mHost = AddTestDevice(&status);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(sim::TraceContains("The device has no default queue", TRACE_LEVEL_ERROR));
    mHost.reset();

    ResetIoctlConfig();
    IoctlConfig().PostInterfaceCreateCallback = FailingPostCreate;
    mHost = AddTestDevice(&status);
    EXPECT_EQ(status, STATUS_DEVICE_NOT_READY);
    mHost.reset();

    ResetIoctlConfig();
    sim::ArmFault("WdfDeviceCreateDeviceInterface", sim::FaultSpec::Once(STATUS_NO_MEMORY));
    mHost = AddTestDevice(&status);
    EXPECT_EQ(status, STATUS_NO_MEMORY);
    mHost.reset();

    // A manually enabled interface is not created at open; one the client
    // made itself is turned off until the client enables it.
    for (bool clientMadeOne : {false, true}) {
        mHost.reset();
        ResetIoctlConfig();
        IoctlConfig().InterfaceManualEnable = TRUE;
        Client().createsInterface = clientMadeOne;
        AddDevice();
        auto interfaces = sim::wdf::DeviceInterfaces(Device());
        ASSERT_EQ(interfaces.size(), clientMadeOne ? 1u : 0u);
        EXPECT_TRUE(interfaces.empty() || !interfaces[0].enabled);
        EXPECT_FALSE(sim::TraceContains("WDF: ", TRACE_LEVEL_ERROR));
    }
}

TEST_F(IoctlHandlerModule, AFailedOpenLeavesNoCollectionBehind) {
    // The device's module list, the administrator collection, then the
    // reference-string collection, which fails.
    IoctlConfig().AccessModeFilter = IoctlHandler_AccessModeFilterAdministratorOnlyPerIoctl;
    IoctlConfig().ReferenceString = u"Sar";
    sim::ArmFault("WdfCollectionCreate", sim::FaultSpec::OnCall(3, STATUS_NO_MEMORY));
    NTSTATUS status = STATUS_SUCCESS;
    mHost = AddTestDevice(&status);
    EXPECT_EQ(status, STATUS_NO_MEMORY);
    ASSERT_TRUE(sim::TraceContains("WdfCollectionCreate fails: ntStatus=0xC0000017"));
    for (const auto& object : sim::wdf::LiveObjects()) {
        EXPECT_NE(object.kind, "WDFCOLLECTION") << "left behind by the failed open";
    }
}

} // namespace
} // namespace configtest
