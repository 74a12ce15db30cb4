// The Registry module's reads and enumeration on the device's own key.
#include "dmf/modules/Dmf_Registry.h"
#include "tests/config/ConfigFixture.h"

#include <string>

namespace configtest {
namespace {

class RegistryMethods : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        AddDevice();
        ASSERT_EQ(DMF_Registry_HandleOpenById(RegistryModule(), &mKey), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (mKey != nullptr) {
            DMF_Registry_HandleClose(RegistryModule(), mKey);
        }
        ConfigTest::TearDown();
    }
    WDFKEY mKey = nullptr;
};

const char* const kDevice = "Device Parameters";

TEST_F(RegistryMethods, DwordReadsTakeAnyTypeOfAtMostFourBytes) {
    sim::registry::SetDword(kDevice, u"Dword", 0x12345678);
    sim::registry::SetString(kDevice, u"OneChar", u"A");   // 4 bytes with the terminator
    sim::registry::SetString(kDevice, u"TwoChars", u"AB"); // 6 bytes
    sim::registry::SetBinary(kDevice, u"Short", {0x34, 0x12});
    sim::registry::SetBinary(kDevice, u"Empty", {});
    struct Case {
        const char16_t* name;
        NTSTATUS status;
        ULONG value; // read into 0xFFFFFFFF: what is left of it is the caller's
    };
    const Case cases[] = {
        {u"dword", STATUS_SUCCESS, 0x12345678u},
        {u"OneChar", STATUS_SUCCESS, 0x00000041u},
        {u"TwoChars", STATUS_BUFFER_TOO_SMALL, 0xFFFFFFFFu},
        {u"Short", STATUS_SUCCESS, 0xFFFF1234u},
        {u"Empty", STATUS_SUCCESS, 0xFFFFFFFFu},
        {u"Missing", STATUS_OBJECT_NAME_NOT_FOUND, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        ULONG value = 0xFFFFFFFF;
        EXPECT_EQ(DMF_Registry_HandleValueReadDword(RegistryModule(), mKey, c.name, &value),
                  c.status);
        EXPECT_EQ(value, c.value) << std::hex << value;
    }
    ULONG value = 0;
    EXPECT_EQ(DMF_Registry_HandleValueReadDword(RegistryModule(), nullptr, u"Dword", &value),
              STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryMethods, StringReadsReportTheStoredSizeFirst) {
    sim::registry::SetString(kDevice, u"Type", u"APPS");
    sim::registry::SetDword(kDevice, u"Number", 7);

    ULONG bytes = 99;
    EXPECT_EQ(
        DMF_Registry_HandleValueReadString(RegistryModule(), mKey, u"Type", nullptr, 0, &bytes),
        STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(bytes, 10u);

    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(
        DMF_Registry_HandleValueReadString(RegistryModule(), mKey, u"Type", buffer, 5, &bytes),
        STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer, 5), std::u16string(u"APPS\0", 5));
    EXPECT_EQ(buffer[5], u'#'); // the rest of the caller's buffer is untouched
    EXPECT_EQ(
        DMF_Registry_HandleValueReadString(RegistryModule(), mKey, u"Type", buffer, 4, &bytes),
        STATUS_BUFFER_TOO_SMALL);

    // A number read as a string: its four bytes, no terminator added.
    EXPECT_EQ(
        DMF_Registry_HandleValueReadString(RegistryModule(), mKey, u"Number", buffer, 2, &bytes),
        STATUS_SUCCESS);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(buffer[2], u'P'); // left from the earlier read

    EXPECT_EQ(
        DMF_Registry_HandleValueReadString(RegistryModule(), mKey, u"Missing", buffer, 8, &bytes),
        STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(bytes, 0u);
}

TEST_F(RegistryMethods, OpenAndReadFailuresOfThePlatformAreReturned) {
    sim::registry::SetDword(kDevice, u"Dword", 1);
    ULONG value = 0;
    sim::ArmFault("WdfMemoryCreate", sim::FaultSpec::Once());
    EXPECT_EQ(DMF_Registry_HandleValueReadDword(RegistryModule(), mKey, u"Dword", &value),
              STATUS_INSUFFICIENT_RESOURCES);
    sim::ArmFault("WdfRegistryQueryValue", sim::FaultSpec::OnCall(2, STATUS_DEVICE_REMOVED));
    EXPECT_EQ(DMF_Registry_HandleValueReadDword(RegistryModule(), mKey, u"Dword", &value),
              STATUS_DEVICE_REMOVED);
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(sim::TraceContains("WdfRegistryQueryValue fails", TRACE_LEVEL_ERROR));

    sim::ArmFault("WdfDeviceOpenRegistryKey", sim::FaultSpec::Once(STATUS_ACCESS_DENIED));
    WDFKEY key = reinterpret_cast<WDFKEY>(1);
    EXPECT_EQ(DMF_Registry_HandleOpenById(RegistryModule(), &key), STATUS_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
}

struct Visit {
    std::vector<std::u16string> names;
    size_t stopAt = SIZE_MAX;
};

BOOLEAN Visitor(PVOID context, WDFKEY key, PWSTR name) {
    auto* visit = static_cast<Visit*>(context);
    EXPECT_NE(key, nullptr);
    visit->names.emplace_back(name);
    return visit->names.size() == visit->stopAt ? FALSE : TRUE;
}

TEST_F(RegistryMethods, EnumerationVisitsSubkeysInOrderUntilStoppedOrFailed) {
    Visit none;
    EXPECT_TRUE(DMF_Registry_AllSubKeysFromHandleEnumerate(RegistryModule(), mKey, Visitor, &none));
    EXPECT_TRUE(none.names.empty());

    for (const char* sub :
         {"Device Parameters\\b", "Device Parameters\\A", "Device Parameters\\c"}) {
        sim::registry::CreateKey(sub);
    }
    Visit all;
    EXPECT_TRUE(DMF_Registry_AllSubKeysFromHandleEnumerate(RegistryModule(), mKey, Visitor, &all));
    EXPECT_EQ(all.names, (std::vector<std::u16string>{u"A", u"b", u"c"}));

    Visit stopped;
    stopped.stopAt = 2;
    EXPECT_FALSE(
        DMF_Registry_AllSubKeysFromHandleEnumerate(RegistryModule(), mKey, Visitor, &stopped));
    EXPECT_EQ(stopped.names, (std::vector<std::u16string>{u"A", u"b"}));

    // A failure of the platform ends it with false too.
    for (const char* point :
         {"RegQueryInfoKeyW", "RegEnumKeyExW", "WdfRegistryOpenKey", "WdfMemoryCreate"}) {
        sim::ArmFault(point, sim::FaultSpec::Once());
        Visit visit;
        EXPECT_FALSE(
            DMF_Registry_AllSubKeysFromHandleEnumerate(RegistryModule(), mKey, Visitor, &visit))
            << point;
        EXPECT_TRUE(visit.names.empty()) << point;
        sim::ResetFaults();
    }
    // A failure at the second subkey keeps the first callback.
    sim::ArmFault("RegEnumKeyExW", sim::FaultSpec::OnCall(2));
    Visit visit;
    EXPECT_FALSE(
        DMF_Registry_AllSubKeysFromHandleEnumerate(RegistryModule(), mKey, Visitor, &visit));
    EXPECT_EQ(visit.names.size(), 1u);
}

} // namespace
} // namespace configtest
