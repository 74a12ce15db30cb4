#include "platform/cm.h"
#include "platform/sim/cm_control.h"
#include "platform/sim/driver_host.h"
#include "platform/sim/target_device.h"
#include "wdf_fixture.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr GUID kClass = {
    0x5F797E8F, 0xE6A4, 0x41F0, {0xB5, 0xA8, 0x56, 0x0A, 0x4D, 0x0B, 0xBC, 0x20}};
constexpr GUID kOtherClass = {0x1, 0x2, 0x3, {0, 0, 0, 0, 0, 0, 0, 4}};

// What the notification callbacks saw: "<action> <link>" per call.
struct Heard {
    std::mutex lock;
    std::vector<std::string> events;
    DWORD answer = ERROR_SUCCESS;
    std::vector<std::string> Take() {
        std::lock_guard guard(lock);
        return std::move(events);
    }
};

DWORD Listen(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA data,
             DWORD) {
    auto* heard = static_cast<Heard*>(context);
    std::string text = std::to_string(action);
    if (data->FilterType == CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE) {
        for (const WCHAR* c = data->u.DeviceInterface.SymbolicLink; *c != 0; ++c) {
            text += c == data->u.DeviceInterface.SymbolicLink ? " " : "";
            text += static_cast<char>(*c);
        }
    }
    std::lock_guard guard(heard->lock);
    heard->events.push_back(text);
    return heard->answer;
}

class TargetDeviceTest : public WdfTest {
protected:
    void SetUp() override {
        WdfTest::SetUp();
        sim::cm::Reset();
        sim::SetTimeScale(0.001);
        mHost = std::make_unique<sim::DriverHost>();
        ASSERT_EQ(mHost->LoadEntry(PlainDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(mHost->AddDevice(), STATUS_SUCCESS);
    }
    void TearDown() override {
        for (HCMNOTIFICATION registration : mRegistrations) {
            EXPECT_EQ(CM_Unregister_Notification(registration), CR_SUCCESS);
        }
        mHost.reset();
        WdfTest::TearDown();
    }
    HCMNOTIFICATION Register(Heard* heard, const GUID* interfaceClass, HANDLE target = nullptr) {
        CM_NOTIFY_FILTER filter{};
        filter.cbSize = sizeof(filter);
        filter.FilterType = interfaceClass != nullptr ? CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE
                                                      : CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
        if (interfaceClass != nullptr) {
            filter.u.DeviceInterface.ClassGuid = *interfaceClass;
        } else {
            filter.u.DeviceHandle.hTarget = target;
        }
        HCMNOTIFICATION registration = nullptr;
        EXPECT_EQ(CM_Register_Notification(&filter, heard, Listen, &registration), CR_SUCCESS);
        mRegistrations.push_back(registration);
        return registration;
    }
    static std::u16string List(ULONG flags) {
        GUID interfaceClass = kClass;
        ULONG size = 0;
        EXPECT_EQ(CM_Get_Device_Interface_List_SizeW(&size, &interfaceClass, nullptr, flags),
                  CR_SUCCESS);
        std::u16string list(size, u'?');
        EXPECT_EQ(CM_Get_Device_Interface_ListW(&interfaceClass, nullptr, list.data(), size, flags),
                  CR_SUCCESS);
        if (size > 1) {
            EXPECT_EQ(CM_Get_Device_Interface_ListW(&interfaceClass, nullptr, list.data(), size - 1,
                                                    flags),
                      CR_BUFFER_SMALL);
        }
        return list;
    }
    // A target opened on `device` and a 4-byte output IOCTL formatted on it.
    WDFREQUEST OpenAndPrepare(const sim::TargetDevice& device, WDFIOTARGET* target) {
        *target = device.OpenTarget(mHost->Device());
        EXPECT_NE(*target, nullptr);
        WDFREQUEST request = nullptr;
        EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, *target, &request), STATUS_SUCCESS);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = request;
        EXPECT_EQ(WdfMemoryCreate(&attributes, NonPagedPoolNx, 0, 4, &mOutput, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(WdfIoTargetFormatRequestForIoctl(*target, request, 0x99, nullptr, nullptr,
                                                   mOutput, nullptr),
                  STATUS_SUCCESS);
        return request;
    }
    std::unique_ptr<sim::DriverHost> mHost;
    std::vector<HCMNOTIFICATION> mRegistrations;
    WDFMEMORY mOutput = nullptr;
};

TEST_F(TargetDeviceTest, TheInterfaceListAndTheNotificationsFollowTheDevicesOfTheirClassOnly) {
    Heard heard;
    Heard elsewhere;
    HCMNOTIFICATION registration = Register(&heard, &kClass);
    Register(&elsewhere, &kOtherClass);
    EXPECT_EQ(sim::cm::RegistrationCount(), 2u);
    sim::TargetDevice first(kClass, u"A1");
    sim::TargetDevice second(kClass, u"B22");
    sim::TargetDevice other(kOtherClass, u"C");
    EXPECT_EQ(List(CM_GET_DEVICE_INTERFACE_LIST_PRESENT), std::u16string(1, u'\0'));
    first.Publish();
    second.Publish();
    other.Publish();
    first.Publish(); // already present: nothing new
    EXPECT_EQ(List(CM_GET_DEVICE_INTERFACE_LIST_PRESENT), std::u16string(u"A1\0B22\0\0", 8));
    first.Withdraw();
    EXPECT_EQ(List(CM_GET_DEVICE_INTERFACE_LIST_PRESENT), std::u16string(u"B22\0\0", 5));
    EXPECT_EQ(List(CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES), std::u16string(u"A1\0B22\0\0", 8));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(heard.Take(), (std::vector<std::string>{"0 A1", "0 B22", "1 A1"}));
    EXPECT_EQ(elsewhere.Take(), (std::vector<std::string>{"0 C"}));

    GUID interfaceClass = kClass;
    ULONG size = 0;
    EXPECT_EQ(CM_Get_Device_Interface_List_SizeW(&size, &interfaceClass, nullptr, 2),
              CR_INVALID_FLAG);
    WCHAR instance[] = u"ROOT";
    EXPECT_EQ(CM_Get_Device_Interface_List_SizeW(&size, &interfaceClass, instance, 0),
              CR_INVALID_DEVICE_ID);

    EXPECT_EQ(CM_Unregister_Notification(registration), CR_SUCCESS);
    mRegistrations.erase(mRegistrations.begin());
    EXPECT_EQ(CM_Unregister_Notification(registration), CR_INVALID_POINTER);
    first.Publish();
    ASSERT_TRUE(sim::Settle());
    EXPECT_TRUE(heard.Take().empty());
}

TEST_F(TargetDeviceTest, TheDeviceAnswersAtOnceLaterOrWhenReleasedAndItsOutputSurvivesAnError) {
    sim::TargetAnswer answer;
    answer.status = STATUS_BUFFER_OVERFLOW;
    answer.output = {1, 2, 3, 4, 5, 6};
    sim::TargetDevice device(kClass, u"PART", [&](const sim::TargetRequest& request) {
        EXPECT_EQ(request.ioControlCode, 0x99u);
        EXPECT_EQ(request.outputCapacity, 4u);
        return answer;
    });
    device.Publish();
    WDFIOTARGET target = nullptr;
    WDFREQUEST request = OpenAndPrepare(device, &target);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(5000));
    // A late answer races the sender's time-out in real time: at the fixture's
    // scale the 4 ms between them is lost on a loaded machine.
    sim::SetTimeScale(0.05);
    answer.delayMs = 1000;
    EXPECT_FALSE(WdfRequestSend(request, target, &options));
    sim::SetTimeScale(0.001);
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(WdfRequestGetInformation(request), 4u);
    EXPECT_EQ(std::memcmp(WdfMemoryGetBuffer(mOutput, nullptr), "\1\2\3\4", 4), 0);

    // Withheld: the sender's time-out ends it with nothing of the device's.
    answer.withhold = true;
    std::memset(WdfMemoryGetBuffer(mOutput, nullptr), 0, 4);
    EXPECT_FALSE(WdfRequestSend(request, target, &options));
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_IO_TIMEOUT);
    EXPECT_EQ(WdfRequestGetInformation(request), 0u);
    EXPECT_EQ(device.WithheldCount(), 0u);
    device.ReleaseWithheld();
    EXPECT_EQ(std::memcmp(WdfMemoryGetBuffer(mOutput, nullptr), "\0\0\0\0", 4), 0);

    // Withheld from an asynchronous send: the machine settles until released.
    answer = {};
    answer.withhold = true;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    ASSERT_TRUE(WdfRequestSend(request, target, &options));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(device.WithheldCount(), 1u);
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_PENDING);
    device.ReleaseWithheld();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_SUCCESS);
    EXPECT_EQ(device.RequestCount(), 3u);
    WdfObjectDelete(request);
}

TEST_F(TargetDeviceTest, HandleRegistrationsHearEachRemovalStepAndMayVetoTheQuery) {
    sim::TargetDevice device(kClass, u"PART");
    device.Publish();
    WDFIOTARGET target = nullptr;
    WdfObjectDelete(OpenAndPrepare(device, &target));
    Heard heard;
    Register(&heard, nullptr, WdfIoTargetWdmGetTargetFileHandle(target));

    EXPECT_EQ(device.QueryRemove(true), STATUS_UNSUCCESSFUL);
    heard.answer = ERROR_CANCELLED;
    EXPECT_EQ(device.QueryRemove(), STATUS_UNSUCCESSFUL);
    EXPECT_NE(WdfIoTargetWdmGetTargetFileHandle(target), nullptr); // still open
    heard.answer = ERROR_SUCCESS;
    EXPECT_EQ(device.QueryRemove(), STATUS_SUCCESS);
    device.CompleteRemove();
    EXPECT_EQ(heard.Take(), (std::vector<std::string>{"2", "3", "2", "3", "2", "5"}));
    EXPECT_FALSE(device.Present());
}

} // namespace
