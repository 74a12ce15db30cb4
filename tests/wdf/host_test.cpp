#include "platform/sim/driver_host.h"
#include "wdf_fixture.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// A small driver written against the stand-in, recording what reaches it.
struct TEST_DEVICE_CONTEXT {
    int marker;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TEST_DEVICE_CONTEXT, TestDeviceContext)

enum : ULONG {
    kIoctlEcho = 0x1000,
    kIoctlBlock = 0x1004,
    kIoctlCompleteTwice = 0x1008,
    kIoctlOverReport = 0x100C,
    kIoctlUnknown = 0x1010,
    kIoctlMemory = 0x1014,
};

struct Driver {
    std::mutex lock;
    std::vector<std::string> events;
    NTSTATUS addResult = STATUS_SUCCESS;
    bool createQueue = true;
    std::atomic<int> blocked{0};
    HANDLE release = nullptr;
    // What the echo IOCTL saw.
    NTSTATUS inputStatus = 0, outputStatus = 0;
    size_t inputLength = 0, outputLength = 0;
    bool sameBuffer = false;
    std::u16string fileName;
    KPROCESSOR_MODE mode = KernelMode;

    void Record(const std::string& event) {
        std::lock_guard guard(lock);
        events.push_back(event);
    }
};
Driver* gDriver = nullptr;

const char* StateName(WDF_POWER_DEVICE_STATE state) {
    return state == WdfPowerDeviceD0        ? "D0"
           : state == WdfPowerDeviceD3      ? "D3"
           : state == WdfPowerDeviceD3Final ? "D3Final"
                                            : "other";
}
const char* ActionName(POWER_ACTION action) {
    return action == PowerActionNone        ? "none"
           : action == PowerActionSleep     ? "sleep"
           : action == PowerActionHibernate ? "hibernate"
           : action == PowerActionShutdown  ? "shutdown"
                                            : "other";
}

NTSTATUS EvtPrepareHardware(WDFDEVICE, WDFCMRESLIST, WDFCMRESLIST) {
    gDriver->Record("PrepareHardware");
    return STATUS_SUCCESS;
}
NTSTATUS EvtReleaseHardware(WDFDEVICE, WDFCMRESLIST) {
    gDriver->Record("ReleaseHardware");
    return STATUS_SUCCESS;
}
NTSTATUS EvtD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous) {
    gDriver->Record(std::string("D0Entry ") + StateName(previous) + " " +
                    ActionName(WdfDeviceGetSystemPowerAction(device)));
    return STATUS_SUCCESS;
}
NTSTATUS EvtD0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE target) {
    gDriver->Record(std::string("D0Exit ") + StateName(target) + " " +
                    ActionName(WdfDeviceGetSystemPowerAction(device)));
    return STATUS_SUCCESS;
}
void EvtSurpriseRemoval(WDFDEVICE) {
    gDriver->Record("SurpriseRemoval");
}
void EvtDeviceCleanup(WDFOBJECT device) {
    gDriver->Record("cleanup " + std::to_string(TestDeviceContext(device)->marker));
}

void EvtFileCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT file) {
    PUNICODE_STRING name = WdfFileObjectGetFileName(file);
    gDriver->fileName.assign(name->Buffer, name->Length / sizeof(WCHAR));
    gDriver->mode = WdfRequestGetRequestorMode(request);
    EXPECT_EQ(WdfFileObjectGetDevice(file), device);
    EXPECT_EQ(WdfRequestGetFileObject(request), file);
    gDriver->Record("FileCreate");
    WdfRequestComplete(request,
                       gDriver->fileName == u"\\denied" ? STATUS_ACCESS_DENIED : STATUS_SUCCESS);
}
void EvtFileCleanup(WDFFILEOBJECT) {
    gDriver->Record("FileCleanup");
}
void EvtFileClose(WDFFILEOBJECT) {
    gDriver->Record("FileClose");
}

void EvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t outputLength, size_t inputLength,
                        ULONG code) {
    EXPECT_NE(WdfIoQueueGetDevice(queue), nullptr);
    switch (code) {
    case kIoctlEcho: {
        PVOID in = nullptr;
        PVOID out = nullptr;
        size_t minimum = inputLength == 3 ? 8 : 0;
        gDriver->inputStatus =
            WdfRequestRetrieveInputBuffer(request, minimum, &in, &gDriver->inputLength);
        gDriver->outputStatus =
            WdfRequestRetrieveOutputBuffer(request, 0, &out, &gDriver->outputLength);
        gDriver->sameBuffer = in != nullptr && in == out;
        WDF_REQUEST_PARAMETERS parameters;
        WDF_REQUEST_PARAMETERS_INIT(&parameters);
        WdfRequestGetParameters(request, &parameters);
        EXPECT_EQ(parameters.Type, WdfRequestTypeDeviceControl);
        EXPECT_EQ(parameters.Parameters.DeviceIoControl.InputBufferLength, inputLength);
        EXPECT_EQ(parameters.Parameters.DeviceIoControl.OutputBufferLength, outputLength);
        EXPECT_EQ(parameters.Parameters.DeviceIoControl.IoControlCode, code);
        // In place, reversed: the output overwrites the input of the same buffer.
        size_t n = NT_SUCCESS(gDriver->inputStatus) && NT_SUCCESS(gDriver->outputStatus)
                       ? std::min(gDriver->inputLength, gDriver->outputLength)
                       : 0;
        auto* bytes = static_cast<std::uint8_t*>(out);
        std::reverse(bytes, bytes + n);
        WdfRequestCompleteWithInformation(request, n != 0 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW,
                                          n);
        break;
    }
    case kIoctlBlock: // until `release` is set, after noting the thread
        gDriver->Record("thread " + std::to_string(GetCurrentThreadId()));
        ++gDriver->blocked;
        WaitForSingleObject(gDriver->release, INFINITE);
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 0);
        break;
    case kIoctlCompleteTwice:
        WdfRequestComplete(request, STATUS_INVALID_PARAMETER);
        WdfRequestComplete(request, STATUS_SUCCESS);
        break;
    case kIoctlMemory: {
        // The same buffers as memory objects: input read, output written.
        WDFMEMORY in = nullptr;
        WDFMEMORY out = nullptr;
        NTSTATUS status = WdfRequestRetrieveInputMemory(request, &in);
        if (NT_SUCCESS(status)) {
            status = WdfRequestRetrieveOutputMemory(request, &out);
        }
        size_t inSize = 0;
        size_t outSize = 0;
        if (NT_SUCCESS(status)) {
            std::uint8_t first = *static_cast<std::uint8_t*>(WdfMemoryGetBuffer(in, &inSize));
            WdfMemoryGetBuffer(out, &outSize);
            std::uint8_t answer[2] = {static_cast<std::uint8_t>(first + 1),
                                      static_cast<std::uint8_t>(inSize)};
            status = WdfMemoryCopyFromBuffer(out, 0, answer, 2);
        }
        WdfRequestCompleteWithInformation(request, status, NT_SUCCESS(status) ? 2 : 0);
        break;
    }
    case kIoctlOverReport:
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, outputLength + 100);
        break;
    default:
        WdfRequestComplete(request, STATUS_NOT_SUPPORTED);
        break;
    }
}

NTSTATUS EvtDeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT init) {
    EXPECT_EQ(driver, WdfGetDriver());
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDeviceD0Entry = EvtD0Entry; // replaced below: the later setting wins
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
    pnp.EvtDevicePrepareHardware = EvtPrepareHardware;
    pnp.EvtDeviceReleaseHardware = EvtReleaseHardware;
    pnp.EvtDeviceD0Exit = EvtD0Exit;
    pnp.EvtDeviceSurpriseRemoval = EvtSurpriseRemoval;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
    WDF_FILEOBJECT_CONFIG file;
    WDF_FILEOBJECT_CONFIG_INIT(&file, EvtFileCreate, EvtFileClose, EvtFileCleanup);
    WdfDeviceInitSetFileObjectConfig(init, &file, WDF_NO_OBJECT_ATTRIBUTES);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = EvtDeviceCleanup;
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    EXPECT_EQ(init, nullptr);
    TestDeviceContext(device)->marker = 7;
    if (gDriver->createQueue) {
        WDF_IO_QUEUE_CONFIG queue;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queue, WdfIoQueueDispatchParallel);
        queue.EvtIoDeviceControl = EvtIoDeviceControl;
        status = WdfIoQueueCreate(device, &queue, WDF_NO_OBJECT_ATTRIBUTES, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    static WCHAR link[] = u"\\DosDevices\\Global\\TESTLINK";
    UNICODE_STRING name{static_cast<USHORT>(sizeof(link) - 2), sizeof(link), link};
    WdfDeviceCreateSymbolicLink(device, &name);
    return gDriver->addResult;
}

void EvtUnload(WDFDRIVER) {
    gDriver->Record("Unload");
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
    config.EvtDriverUnload = EvtUnload;
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

class HostTest : public WdfTest {
protected:
    void SetUp() override {
        WdfTest::SetUp();
        gDriver = &mDriver;
        mDriver.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override {
        mHost.reset();
        CloseHandle(mDriver.release);
        WdfTest::TearDown();
    }
    void Load() {
        mHost = std::make_unique<sim::DriverHost>();
        ASSERT_EQ(mHost->LoadEntry(TestDriverEntry), STATUS_SUCCESS);
    }
    void LoadAndStart() {
        Load();
        ASSERT_EQ(mHost->AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(mHost->Start(), STATUS_SUCCESS);
        mDriver.events.clear();
    }
    std::vector<std::string> Events() {
        std::lock_guard guard(mDriver.lock);
        return std::exchange(mDriver.events, {});
    }
    Driver mDriver;
    std::unique_ptr<sim::DriverHost> mHost;
};

using Seq = std::vector<std::string>;

TEST_F(HostTest, RemovalFromD0ExitsToD3FinalWithoutAnActionAndDeletesTheDevice) {
    // A surprise removal is announced before the same power-down.
    for (bool surprise : {false, true}) {
        SCOPED_TRACE(surprise);
        LoadAndStart();
        WDFDEVICE device = mHost->Device();
        ASSERT_EQ(surprise ? mHost->SurpriseRemove() : mHost->Remove(), STATUS_SUCCESS);
        Seq expected = {"D0Exit D3Final none", "ReleaseHardware", "cleanup 7"};
        if (surprise) {
            expected.insert(expected.begin(), "SurpriseRemoval");
        }
        EXPECT_EQ(Events(), expected);
        EXPECT_FALSE(sim::wdf::IsLiveHandle(device));
        EXPECT_EQ(mHost->Start(), STATUS_INVALID_DEVICE_STATE);
        mHost.reset();
        sim::wdf::ResetForTest();
    }
}

TEST_F(HostTest, ALibraryThatCannotLoadIsRefusedAndAFailedDeviceAddDeletesTheDevice) {
    EXPECT_EQ(sim::DriverHost().LoadLibrary("/nonexistent/driver.so"), STATUS_NOT_FOUND);
    EXPECT_TRUE(sim::TraceContains("driver host: cannot load /nonexistent/driver.so"));

    mDriver.addResult = STATUS_INSUFFICIENT_RESOURCES;
    Load();
    EXPECT_EQ(mHost->AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Events(), (Seq{"cleanup 7"}));
    EXPECT_EQ(mHost->Device(), nullptr);
    EXPECT_EQ(mHost->Start(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(mHost->OpenFile());
    // The symbolic link went with the device.
    EXPECT_FALSE(sim::wdf::SymbolicLinkExists(u"\\DosDevices\\Global\\TESTLINK"));
}

TEST_F(HostTest, BufferedIoctlsSeeExactlyTheBuffersTheCallerGaveAndCompleteOnce) {
    LoadAndStart();
    sim::HostFile file = mHost->OpenFile();
    ASSERT_TRUE(file);
    // No buffers at all: too small even for a minimum of 0.
    sim::IoResult result = mHost->DeviceIoControl(file, kIoctlEcho, {}, 0);
    EXPECT_EQ(mDriver.inputStatus, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(mDriver.outputStatus, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result.bytes, 0u);
    // Input shorter than the minimum the driver asks for (8).
    result = mHost->DeviceIoControl(file, kIoctlEcho, {1, 2, 3}, 4);
    EXPECT_EQ(mDriver.inputStatus, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(mDriver.outputStatus, STATUS_SUCCESS);
    EXPECT_EQ(mDriver.outputLength, 4u);
    // Both present: one system buffer; the caller gets back what was reported.
    result = mHost->DeviceIoControl(file, kIoctlEcho, {1, 2, 3, 4, 5}, 16);
    EXPECT_EQ(mDriver.inputLength, 5u);
    EXPECT_EQ(mDriver.outputLength, 16u);
    EXPECT_TRUE(mDriver.sameBuffer);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytes, 5u);
    EXPECT_EQ(result.output, (std::vector<std::uint8_t>{5, 4, 3, 2, 1}));
    // The buffers as memory objects.
    result = mHost->DeviceIoControl(file, kIoctlMemory, {41, 0, 0}, 2);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.output, (std::vector<std::uint8_t>{42, 3}));
    EXPECT_EQ(mHost->DeviceIoControl(file, kIoctlMemory, {41}, 0).status, STATUS_BUFFER_TOO_SMALL);
    // An error status carries no data back.
    result = mHost->DeviceIoControl(file, kIoctlUnknown, {1}, 4);
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(result.output.empty());

    result = mHost->DeviceIoControl(file, kIoctlCompleteTwice, {}, 0);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
    ASSERT_TRUE(sim::Settle()); // the callback goes on after the caller has its answer
    EXPECT_TRUE(sim::TraceContains("WdfRequestComplete: invalid handle", TRACE_LEVEL_ERROR));
    result = mHost->DeviceIoControl(file, kIoctlOverReport, {}, 4);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.output.size(), 4u);
    EXPECT_TRUE(
        sim::TraceContains("reports 104 bytes for an output buffer of 4", TRACE_LEVEL_ERROR));
    mHost->CloseFile(file);
}

TEST_F(HostTest, APowerManagedQueueHoldsRequestsWhileTheDeviceIsOutOfD0) {
    LoadAndStart();
    sim::HostFile file = mHost->OpenFile();
    ASSERT_EQ(mHost->Sleep(), STATUS_SUCCESS);
    auto held = mHost->DeviceIoControlAsync(file, kIoctlEcho, {1, 2}, 2);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(held.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    ASSERT_EQ(mHost->Wake(), STATUS_SUCCESS);
    EXPECT_EQ(held.get().output, (std::vector<std::uint8_t>{2, 1}));

    ASSERT_EQ(mHost->Sleep(), STATUS_SUCCESS);
    auto cancelled = mHost->DeviceIoControlAsync(file, kIoctlEcho, {1}, 1);
    mHost->Remove();
    EXPECT_EQ(cancelled.get().status, STATUS_CANCELLED);
}

TEST_F(HostTest, TheDeviceLeavesD0OnlyOnceTheDriverHasCompletedItsRequests) {
    LoadAndStart();
    sim::HostFile file = mHost->OpenFile();
    auto blocked = mHost->DeviceIoControlAsync(file, kIoctlBlock, {}, 0);
    ASSERT_TRUE(WaitUntil([&] { return mDriver.blocked.load() == 1; }));
    Events();
    std::thread releaser([&] {
        // Once the power thread has joined the blocked request and both wait,
        // the D0 exit is waiting for the request: let the request go then.
        WaitUntil([] { return sim::LiveThreadCount() >= 2 && sim::IsSettled(); });
        mDriver.Record("released");
        SetEvent(mDriver.release);
    });
    ASSERT_EQ(mHost->Sleep(), STATUS_SUCCESS);
    releaser.join();
    EXPECT_EQ(blocked.get().status, STATUS_SUCCESS);
    EXPECT_EQ(Events(), (Seq{"released", "D0Exit D3 sleep"}));
    mHost->CloseFile(file);
}

TEST_F(HostTest, IoctlsWithoutADefaultQueueAreRejected) {
    mDriver.createQueue = false;
    LoadAndStart();
    EXPECT_EQ(WdfDeviceGetDefaultQueue(mHost->Device()), nullptr);
    sim::HostFile file = mHost->OpenFile();
    EXPECT_EQ(mHost->DeviceIoControl(file, kIoctlEcho, {1}, 1).status,
              STATUS_INVALID_DEVICE_REQUEST);
    // A deleted default queue is no longer the device's.
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoDeviceControl = EvtIoDeviceControl;
    WDFQUEUE queue = nullptr;
    ASSERT_EQ(WdfIoQueueCreate(mHost->Device(), &config, WDF_NO_OBJECT_ATTRIBUTES, &queue),
              STATUS_SUCCESS);
    EXPECT_EQ(WdfDeviceGetDefaultQueue(mHost->Device()), queue);
    EXPECT_EQ(WdfIoQueueCreate(mHost->Device(), &config, WDF_NO_OBJECT_ATTRIBUTES, nullptr),
              STATUS_INVALID_DEVICE_STATE);
    WdfObjectDelete(queue);
    EXPECT_EQ(WdfDeviceGetDefaultQueue(mHost->Device()), nullptr);
    mHost->CloseFile(file);
}

TEST_F(HostTest, FileObjectsGoThroughCreateCleanupAndClose) {
    LoadAndStart();
    sim::HostFile file = mHost->OpenFile(u"\\ref", KernelMode);
    ASSERT_TRUE(file);
    EXPECT_EQ(mDriver.fileName, u"\\ref");
    EXPECT_EQ(mDriver.mode, KernelMode);
    mHost->CloseFile(file);
    EXPECT_EQ(Events(), (Seq{"FileCreate", "FileCleanup", "FileClose"}));

    sim::HostFile denied = mHost->OpenFile(u"\\denied");
    EXPECT_EQ(denied.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Events(), (Seq{"FileCreate"})); // no cleanup or close for a failed create

    ASSERT_TRUE(mHost->OpenFile());
    Events();
    mHost->Remove();
    EXPECT_EQ(Events(), (Seq{"D0Exit D3Final none", "ReleaseHardware", "FileCleanup", "FileClose",
                             "cleanup 7"}));
}

TEST_F(HostTest, TheLeakReportNamesWhatOutlivedTheDriver) {
    LoadAndStart();
    WDFMEMORY memory = nullptr;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = mHost->Device();
    ASSERT_EQ(
        WdfMemoryCreate(&attributes, NonPagedPoolNx, WdfMakePoolTag("Leak"), 32, &memory, nullptr),
        STATUS_SUCCESS);
    WdfObjectReferenceWithTag(memory, reinterpret_cast<PVOID>(0x7654)); // never released
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);         // never closed
    mHost->Remove();
    mHost->Unload();
    sim::HostLeaks leaks = mHost->LeakReport();
    EXPECT_EQ(leaks.handles, 1u);
    EXPECT_NE(leaks.ToString().find("handles left open: 1"), std::string::npos);
    CloseHandle(event);
    ASSERT_EQ(leaks.objects.size(), 1u) << leaks.ToString();
    EXPECT_NE(leaks.objects[0].find("tag 'Leak' size 32"), std::string::npos);
    EXPECT_NE(leaks.ToString().find("leaked: WDFMEMORY"), std::string::npos);
    WdfObjectDereferenceWithTag(memory, reinterpret_cast<PVOID>(0x7654));
    EXPECT_TRUE(mHost->LeakReport().Empty());
}

} // namespace

namespace {

// Why the default queue keeps its threads: a request costs a wake-up, not a
// thread start. What must hold all the same: quiescence, the leak report and
// a removal that leaves no thread of the host behind.
class QueueThreadsTest : public HostTest {
protected:
    // Sends `count` requests that block together, then lets them go; the
    // threads that took them, sorted.
    std::vector<std::string> Burst(const sim::HostFile& file, int count) {
        mDriver.blocked = 0;
        Events();
        std::vector<std::future<sim::IoResult>> pending;
        for (int i = 0; i < count; ++i) {
            pending.push_back(mHost->DeviceIoControlAsync(file, kIoctlBlock, {}, 0));
        }
        EXPECT_TRUE(WaitUntil([&] { return mDriver.blocked.load() == count; }));
        SetEvent(mDriver.release);
        for (auto& request : pending) {
            EXPECT_EQ(request.get().status, STATUS_SUCCESS);
        }
        ResetEvent(mDriver.release);
        std::vector<std::string> threads = Events();
        std::sort(threads.begin(), threads.end());
        return threads;
    }
};

TEST_F(QueueThreadsTest, RequestsInFlightTogetherGetThreadsOfTheirOwnKeptIdleAndSettled) {
    LoadAndStart();
    sim::HostFile file = mHost->OpenFile();
    std::vector<std::string> threads = Burst(file, 3);
    EXPECT_EQ(std::unique(threads.begin(), threads.end()), threads.end());
    // Settled with the queue's threads still there: they wait for work, and
    // the next burst finds them idle.
    ASSERT_TRUE(sim::Settle(std::chrono::seconds(5)));
    EXPECT_EQ(sim::LiveThreadCount(), 3u);
    EXPECT_EQ(Burst(file, 3), threads);

    // The host's idle threads are not the driver's threads left behind.
    EXPECT_EQ(mHost->LeakReport().threads, 0u);
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
    std::vector<std::string> next = Burst(file, 1); // a new one, kept again
    ASSERT_TRUE(sim::Settle(std::chrono::seconds(5)));
    EXPECT_EQ(sim::LiveThreadCount(), 1u);
    EXPECT_EQ(Burst(file, 1), next);
    mHost->CloseFile(file);
    ASSERT_EQ(mHost->Remove(), STATUS_SUCCESS);
    // Gone with the device, not merely on their way out.
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
    mHost->Unload();
    sim::HostLeaks leaks = mHost->LeakReport();
    EXPECT_TRUE(leaks.Empty()) << leaks.ToString();
}

TEST_F(QueueThreadsTest, AQueueThreadTheDriverStillHoldsAtRemovalIsReportedThenEnds) {
    LoadAndStart();
    sim::HostFile file = mHost->OpenFile();
    mHost->SetIoBound(std::chrono::milliseconds(50));
    auto stuck = mHost->DeviceIoControlAsync(file, kIoctlBlock, {}, 0);
    ASSERT_TRUE(WaitUntil([&] { return mDriver.blocked.load() == 1; }));
    mHost->Remove();
    EXPECT_TRUE(sim::TraceContains("1 requests still with the driver at D0 exit"));
    sim::HostLeaks leaks = mHost->LeakReport();
    EXPECT_EQ(leaks.threads, 1u) << leaks.ToString();
    // Once the driver lets go, the thread ends rather than waiting for work
    // from a device that is gone.
    SetEvent(mDriver.release);
    EXPECT_EQ(stuck.get().status, STATUS_SUCCESS);
    EXPECT_TRUE(sim::WaitForThreadsToEnd(std::chrono::seconds(10)));
    mHost->Unload();
    leaks = mHost->LeakReport();
    EXPECT_TRUE(leaks.Empty()) << leaks.ToString();
}

} // namespace
