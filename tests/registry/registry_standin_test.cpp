// The registry stand-in as the Registry module and the framework use it.
#include "platform/registry.h"
#include "platform/sim/faults.h"
#include "platform/sim/registry.h"
#include "platform/sim/wdf_control.h"
#include "platform/wdf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

namespace reg = sim::registry;

UNICODE_STRING Name(const std::u16string& s) {
    return UNICODE_STRING{static_cast<USHORT>(s.size() * 2), static_cast<USHORT>(s.size() * 2),
                          const_cast<WCHAR*>(s.c_str())};
}

class RegistryStandIn : public ::testing::Test {
protected:
    void SetUp() override {
        reg::Reset();
        sim::ResetFaults();
        sim::wdf::ResetForTest();
        // Any live framework object stands for the device here.
        ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &mDevice), STATUS_SUCCESS);
    }
    void TearDown() override {
        EXPECT_EQ(reg::OpenKeyCount(), 0u);
        WdfObjectDelete(mDevice);
        sim::ResetFaults();
        sim::wdf::ResetForTest();
    }
    WDFDEVICE AnyDevice() { return static_cast<WDFDEVICE>(mDevice); }
    WDFOBJECT mDevice = nullptr;
    WDFKEY OpenDevice() {
        WDFKEY key = nullptr;
        EXPECT_EQ(
            WdfDeviceOpenRegistryKey(AnyDevice(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, nullptr, &key),
            STATUS_SUCCESS);
        return key;
    }
};

TEST_F(RegistryStandIn, QuerySizeProtocol) {
    reg::SetString("Device Parameters", u"Type", u"APPS");
    reg::SetValue("Device Parameters", u"Empty", REG_BINARY, {});
    WDFKEY key = OpenDevice();

    std::u16string typeName = u"type"; // names are case-insensitive
    UNICODE_STRING type = Name(typeName);
    ULONG length = 99, valueType = 0;
    EXPECT_EQ(WdfRegistryQueryValue(key, &type, 0, nullptr, &length, &valueType),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 10u); // four characters and the terminator
    EXPECT_EQ(valueType, REG_SZ);

    char16_t buffer[5] = {};
    EXPECT_EQ(WdfRegistryQueryValue(key, &type, sizeof(buffer), buffer, &length, &valueType),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"APPS");

    EXPECT_EQ(WdfRegistryQueryValue(key, &type, 9, buffer, &length, nullptr),
              STATUS_BUFFER_OVERFLOW);

    std::u16string emptyName = u"Empty", missingName = u"Missing";
    UNICODE_STRING empty = Name(emptyName), missing = Name(missingName);
    EXPECT_EQ(WdfRegistryQueryValue(key, &empty, 0, nullptr, &length, &valueType), STATUS_SUCCESS);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(WdfRegistryQueryValue(key, &missing, 0, nullptr, &length, &valueType),
              STATUS_OBJECT_NAME_NOT_FOUND);
    WdfRegistryClose(key);
}

TEST_F(RegistryStandIn, SubkeysEnumerateSortedCaseInsensitivelyThroughTheSameKey) {
    for (const char* path : {"Device Parameters\\channel2", "Device Parameters\\Channel10",
                             "Device Parameters\\config", "Device Parameters\\CHANNEL1"}) {
        reg::CreateKey(path);
    }
    WDFKEY key = OpenDevice();
    auto hkey = static_cast<HKEY>(WdfRegistryWdmGetHandle(key));
    ASSERT_NE(hkey, nullptr);

    DWORD count = 0, longest = 0;
    ASSERT_EQ(RegQueryInfoKeyW(hkey, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(longest, 9u); // "Channel10", no terminator

    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[10];
        DWORD length = 10;
        LSTATUS result = RegEnumKeyExW(hkey, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS)) {
            break;
        }
        ASSERT_EQ(result, ERROR_SUCCESS);
        EXPECT_EQ(name[length], 0);
        names.emplace_back(name, length);
    }
    EXPECT_EQ(names,
              (std::vector<std::u16string>{u"CHANNEL1", u"Channel10", u"channel2", u"config"}));

    WCHAR small[9];
    DWORD length = 9; // "Channel10" needs ten with its terminator
    EXPECT_EQ(RegEnumKeyExW(hkey, 1, small, &length, nullptr, nullptr, nullptr, nullptr),
              static_cast<LSTATUS>(ERROR_MORE_DATA));

    std::u16string subName = u"channel10";
    UNICODE_STRING sub = Name(subName);
    WDFKEY child = nullptr;
    EXPECT_EQ(WdfRegistryOpenKey(key, &sub, KEY_READ, nullptr, &child), STATUS_SUCCESS);
    WdfRegistryClose(child);
    std::u16string goneName = u"channel3";
    UNICODE_STRING gone = Name(goneName);
    EXPECT_EQ(WdfRegistryOpenKey(key, &gone, KEY_READ, nullptr, &child),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(child, nullptr);
    WdfRegistryClose(key);
}

TEST_F(RegistryStandIn, ClosedKeysAndWrongAccessAreRefused) {
    WDFKEY key = OpenDevice();
    WdfRegistryClose(key);
    std::u16string valueName = u"X";
    UNICODE_STRING value = Name(valueName);
    ULONG v = 0;
    EXPECT_EQ(WdfRegistryQueryULong(key, &value, &v), STATUS_INVALID_HANDLE);
    EXPECT_EQ(WdfRegistryWdmGetHandle(key), nullptr);

    key = OpenDevice();
    EXPECT_EQ(WdfRegistryAssignULong(key, &value, 5), STATUS_ACCESS_DENIED);
    WdfRegistryClose(key);

    WDFKEY parameters = nullptr;
    ASSERT_EQ(WdfDriverOpenParametersRegistryKey(nullptr, KEY_ALL_ACCESS, nullptr, &parameters),
              STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryQueryULong(parameters, &value, &v), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(WdfRegistryAssignULong(parameters, &value, 5), STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryQueryULong(parameters, &value, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 5u);
    reg::SetString("Parameters", u"X", u"text");
    EXPECT_EQ(WdfRegistryQueryULong(parameters, &value, &v), STATUS_OBJECT_TYPE_MISMATCH);
    WdfRegistryClose(parameters);
}

TEST_F(RegistryStandIn, FaultPointsFailTheirCalls) {
    sim::ArmFault("WdfDeviceOpenRegistryKey", sim::FaultSpec::Once());
    WDFKEY key = reinterpret_cast<WDFKEY>(1);
    EXPECT_EQ(
        WdfDeviceOpenRegistryKey(AnyDevice(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, nullptr, &key),
        STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(WdfDeviceOpenRegistryKey(reinterpret_cast<WDFDEVICE>(0x1000), PLUGPLAY_REGKEY_DEVICE,
                                       KEY_READ, nullptr, &key),
              STATUS_INVALID_HANDLE);

    key = OpenDevice();
    auto hkey = static_cast<HKEY>(WdfRegistryWdmGetHandle(key));
    sim::ArmFault("RegQueryInfoKeyW", sim::FaultSpec::Once(ERROR_GEN_FAILURE));
    DWORD count = 0;
    EXPECT_EQ(RegQueryInfoKeyW(hkey, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              static_cast<LSTATUS>(ERROR_GEN_FAILURE));
    sim::ArmFault("WdfRegistryQueryValue", sim::FaultSpec::Once(STATUS_UNSUCCESSFUL));
    std::u16string valueName = u"X";
    UNICODE_STRING value = Name(valueName);
    EXPECT_EQ(WdfRegistryQueryValue(key, &value, 0, nullptr, nullptr, nullptr),
              STATUS_UNSUCCESSFUL);
    WdfRegistryClose(key);
}

} // namespace
