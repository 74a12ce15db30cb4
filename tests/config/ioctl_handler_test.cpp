// The IoctlHandler module serving IOCTLs sent through the host: table
// matching, buffer checks, pending requests, access modes and the reference
// string; and what served requests leave behind.
#include "halvex/driver/Ioctl.h"
#include "halvex/provider/AppsDataProvider.h"
#include "platform/sim/quiescence.h"
#include "platform/win32.h"
#include "tests/config/ConfigFixture.h"

#include <atomic>
#include <chrono>
#include <future>

namespace configtest {
namespace {

constexpr ULONG kCodeA = 0x00222000;
constexpr ULONG kCodeB = 0x00222004;

std::atomic<int> gCalls[2];
std::atomic<WDFREQUEST> gKeptRequest{nullptr};
std::atomic<size_t> gSeenInputLength{99};
std::atomic<bool> gSawNullInput{false};

template <int N>
NTSTATUS Count(DMFMODULE, WDFQUEUE, WDFREQUEST, ULONG, PVOID input, size_t inputLength, PVOID,
               size_t, size_t* bytesReturned) {
    ++gCalls[N];
    gSawNullInput = input == nullptr;
    gSeenInputLength = inputLength;
    *bytesReturned = 0;
    return STATUS_SUCCESS;
}

NTSTATUS Keep(DMFMODULE, WDFQUEUE, WDFREQUEST request, ULONG, PVOID, size_t, PVOID, size_t,
              size_t*) {
    gKeptRequest = request;
    return STATUS_PENDING;
}

IoctlHandler_IoctlRecord gTable[] = {
    {kCodeA, 0, 0, Count<0>, FALSE},
    {kCodeA, 0, 0, Count<1>, FALSE}, // shadowed by the first record
    {kCodeB, 0, 0, Keep, FALSE},
};

class IoctlHandlerModule : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        gCalls[0] = 0;
        gCalls[1] = 0;
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

TEST_F(IoctlHandlerModule, TheConfigurationDecidesWhoServes) {
    std::atomic<ULONG> forwarded{0};
    sim::wdf::SetLowerDeviceHandler([&](const std::shared_ptr<sim::wdf::TargetIo>& io) {
        forwarded = io->ioControlCode;
        io->status = STATUS_DEVICE_REMOVED;
    });
    struct Case {
        void (*configure)(DMF_CONFIG_IoctlHandler&);
        KPROCESSOR_MODE caller;
        ULONG code;
        NTSTATUS status;
        int served; // by the first matching record, with optional buffers
    };
    const Case cases[] = {
        {[](DMF_CONFIG_IoctlHandler&) {}, UserMode, kCodeA, STATUS_SUCCESS, 1},
        {[](DMF_CONFIG_IoctlHandler& c) { c.KernelModeOnly = TRUE; }, UserMode, kCodeA,
         STATUS_ACCESS_DENIED, 0},
        {[](DMF_CONFIG_IoctlHandler& c) { c.KernelModeOnly = TRUE; }, KernelMode, kCodeA,
         STATUS_SUCCESS, 1},
        // Internal requests only: device-control requests are left alone.
        {[](DMF_CONFIG_IoctlHandler& c) {
             c.AccessModeFilter = IoctlHandler_AccessModeFilterKernelModeOnly;
         },
         UserMode, kCodeA, STATUS_NOT_SUPPORTED, 0},
        {[](DMF_CONFIG_IoctlHandler& c) { c.ForwardUnmatchedRequests = TRUE; }, UserMode,
         0x00222010, STATUS_DEVICE_REMOVED, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        ResetIoctlConfig();
        UseTestTable();
        c.configure(IoctlConfig());
        gCalls[0] = 0;
        AddDevice();
        sim::HostFile file = mHost->OpenFile(u"", c.caller);
        EXPECT_EQ(Send(c.code, {}, 0, &file).status, c.status);
        EXPECT_EQ(gCalls[0].load(), c.served);
        if (c.served != 0) {
            EXPECT_TRUE(gSawNullInput.load());
            EXPECT_EQ(gSeenInputLength.load(), 0u);
            Send(c.code, {1, 2, 3}, 0, &file);
            EXPECT_FALSE(gSawNullInput.load());
            EXPECT_EQ(gSeenInputLength.load(), 3u);
        }
        mHost->CloseFile(file);
        mHost.reset();
    }
    EXPECT_EQ(gCalls[1].load(), 0);
    EXPECT_EQ(forwarded.load(), 0x00222010u);
    sim::wdf::SetLowerDeviceHandler(nullptr);
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

TEST_F(IoctlHandlerModule, TheReferenceStringSelectsTheFilesServed) {
    UseTestTable();
    IoctlConfig().ReferenceString = u"Sar";
    AddDevice();
    auto interfaces = sim::wdf::DeviceInterfaces(Device());
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].referenceString, u"Sar");

    // Files the module does not claim are let through by the framework, but
    // the module serves nothing on them.
    const std::pair<const char16_t*, NTSTATUS> files[] = {{u"\\Sar", STATUS_SUCCESS},
                                                          {u"", STATUS_SUCCESS},
                                                          {u"\\SAR", STATUS_NOT_SUPPORTED},
                                                          {u"\\Sar2", STATUS_NOT_SUPPORTED}};
    for (const auto& [name, status] : files) {
        sim::HostFile file = mHost->OpenFile(name);
        ASSERT_TRUE(file);
        EXPECT_EQ(Send(kCodeA, {}, 0, &file).status, status);
        mHost->CloseFile(file);
    }
    EXPECT_EQ(gCalls[0].load(), 2);
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

// The driver's own table on its interface: other codes are not claimed, and
// the requests the fuzz target sent leave nothing of themselves behind once
// served, nor anything of the device once it is gone.
TEST_F(IoctlHandlerModule, TheDriverTableOnItsInterfaceLeavesNothingBehind) {
    AddDevice();
    auto interfaces = sim::wdf::DeviceInterfaces(Device());
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].interfaceClass, GUID_DEVINTERFACE_HALVEX);
    EXPECT_TRUE(interfaces[0].referenceString.empty());
    sim::HostFile file = mHost->OpenFile();
    ASSERT_TRUE(file);
    EXPECT_EQ(Send(0x81290808, {}, 0, &file).status, STATUS_NOT_SUPPORTED);
    // The module refuses a short buffer before the handler runs.
    EXPECT_EQ(Send(IOCTL_HALVEX_GET_INFO, {}, 4, &file).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_FALSE(sim::TraceContains("IoctlGetInfo Entry"));
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    auto provider = std::make_unique<AppsDataProvider>(7, event, Device());
    gSensorStateMap.insert({7, provider.get()});

    // A set-sensor-state with 17 input bytes and an output buffer of 15; then
    // a get-info, which carries data back.
    const std::vector<std::uint8_t> refused = {0x00, 0x93, 0x00, 0x93, 0x00, 0x93, 0x00, 0x93, 0x46,
                                               0x02, 0x02, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x00};
    ASSERT_TRUE(sim::Settle()); // the create request is done with
    const sim::HostLeaks before = mHost->LeakReport();
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(mHost->DeviceIoControl(file, IOCTL_HALVEX_SET_SENSOR_STATE, refused, 15).status,
                  STATUS_UNSUCCESSFUL);
        EXPECT_EQ(mHost->DeviceIoControl(file, IOCTL_HALVEX_GET_INFO, {}, 8).output.size(), 8u);
    }
    EXPECT_TRUE(sim::TraceContains("IoctlGetInfo Entry"));
    ASSERT_TRUE(sim::Settle());
    const sim::HostLeaks after = mHost->LeakReport();
    EXPECT_EQ(after.objects, before.objects);
    EXPECT_EQ(after.handles, before.handles);
    EXPECT_EQ(after.threads, before.threads);

    gSensorStateMap.clear();
    provider.reset();
    mHost->CloseFile(file);
    ASSERT_EQ(mHost->Remove(), STATUS_SUCCESS);
    mHost->Unload();
    CloseHandle(event);
    sim::HostLeaks left = mHost->LeakReport();
    EXPECT_TRUE(left.Empty()) << left.ToString();
}

} // namespace
} // namespace configtest
