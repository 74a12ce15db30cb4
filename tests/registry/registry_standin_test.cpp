// The registry stand-in as the Registry module and the framework use it.
#include "platform/registry.h"
#include "platform/sim/registry.h"
#include "platform/sim/wdf_control.h"
#include "platform/wdf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

namespace reg = sim::registry;

// A counted name over a literal, which outlives every use.
UNICODE_STRING Name(const char16_t* s) {
    auto bytes = static_cast<USHORT>(std::char_traits<char16_t>::length(s) * 2);
    return UNICODE_STRING{bytes, bytes, const_cast<WCHAR*>(s)};
}

class RegistryStandIn : public ::testing::Test {
protected:
    void SetUp() override {
        reg::Reset();
        sim::wdf::ResetForTest();
        // Any live framework object stands for the device here.
        ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &mDevice), STATUS_SUCCESS);
    }
    void TearDown() override {
        EXPECT_EQ(reg::OpenKeyCount(), 0u);
        WdfObjectDelete(mDevice);
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
    // A subkey added during an enumeration moves the ones after it on.
    reg::CreateKey("Device Parameters\\a");
    WCHAR name[10];
    length = 10;
    ASSERT_EQ(RegEnumKeyExW(hkey, 2, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, length), u"Channel10");

    UNICODE_STRING sub = Name(u"channel10"), gone = Name(u"channel3");
    WDFKEY child = nullptr;
    EXPECT_EQ(WdfRegistryOpenKey(key, &sub, KEY_READ, nullptr, &child), STATUS_SUCCESS);
    WdfRegistryClose(child);
    EXPECT_EQ(WdfRegistryOpenKey(key, &gone, KEY_READ, nullptr, &child),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(child, nullptr);
    WdfRegistryClose(key);
}

TEST_F(RegistryStandIn, StaleHandlesAndWrongAccessAreRefused) {
    WDFKEY key = reinterpret_cast<WDFKEY>(1);
    EXPECT_EQ(WdfDeviceOpenRegistryKey(reinterpret_cast<WDFDEVICE>(0x1000), PLUGPLAY_REGKEY_DEVICE,
                                       KEY_READ, nullptr, &key),
              STATUS_INVALID_HANDLE);
    key = OpenDevice();
    WdfRegistryClose(key);
    UNICODE_STRING value = Name(u"X");
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

} // namespace
