// The configuration reader against registry trees that exercise each of its
// outcomes: what DEVICE_CONTEXT holds afterwards and what was traced.
#include "halvex/driver/RegistryConfig.h"
#include "tests/config/ConfigFixture.h"

#include <string>

namespace configtest {
namespace {

// A MODEM channel mapping mask 0 to 0 and 1 to 3, without and with its
// sensor subkey (APPS, ID 7).
const std::string kModemKey = "[Device Parameters\\channel0]\n\"ChannelType\"=\"MODEM\"\n"
                              "\"SarMappingCount\"=dword:2\n\"0\"=dword:0\n\"1\"=dword:3\n";
const std::string kModemChannel =
    kModemKey + "[Device Parameters\\channel0\\0]\n\"Type\"=\"APPS\"\n\"ID\"=dword:7\n";

// A WLAN channel whose sensors carry the antenna masks 1, 0 and 4.
const std::string kWlanChannel =
    "[Device Parameters\\channel1]\n\"ChannelType\"=\"WLAN\"\n"
    "\"SarMappingCount\"=dword:2\n\"0\"=dword:1\n\"1\"=dword:2\n"
    "[Device Parameters\\channel1\\0]\n\"Type\"=\"SLPI\"\n\"ID\"=dword:1\n\"WlanAntMask\"=dword:1\n"
    "[Device Parameters\\channel1\\1]\n\"Type\"=\"SLPI\"\n\"ID\"=dword:2\n\"WlanAntMask\"=dword:0\n"
    "[Device "
    "Parameters\\channel1\\2]\n\"Type\"=\"SLPI\"\n\"ID\"=dword:3\n\"WlanAntMask\"=dword:4\n";

// The device key with its channel count.
std::string Channels(int count) {
    return "[Device Parameters]\n\"NumberOfChannels\"=dword:" + std::to_string(count) + "\n";
}

class ConfigReader : public ConfigTest {
protected:
    NTSTATUS Read() {
        AddDevice();
        return ReadSarConfiguration(Device());
    }
    void ExpectNoChannels() {
        EXPECT_EQ(Context()->Channels, nullptr);
        EXPECT_EQ(Context()->ConfiguredCount, 0u);
    }
    CHANNEL_INFO& Channel(ULONG i) { return Context()->Channels[i]; }
};

TEST_F(ConfigReader, ReadsAModemChannelWithOneAppsSensor) {
    Import(Channels(1) + "\"WlanAntCount\"=dword:1\n[Device Parameters\\config]\n" + kModemChannel +
           "\"SUID_LOW_L\"=dword:2b\n\"SUID_HIGH_H\"=dword:1\n\"SUID_HIGH_L\"=dword:1a\n");
    ASSERT_EQ(Read(), STATUS_SUCCESS);

    EXPECT_EQ(Context()->NumberOfChannels, 1u);
    EXPECT_EQ(Context()->WlanAntCount, 1u);
    ASSERT_EQ(Context()->ConfiguredCount, 1u);
    const CHANNEL_INFO& channel = Channel(0);
    EXPECT_EQ(channel.Valid, 1u);
    EXPECT_EQ(channel.ChannelType, ChannelTypeModem);
    EXPECT_EQ(channel.WlanAntennaInfo, nullptr);
    ASSERT_EQ(channel.SarMappingCount, 2u);
    EXPECT_EQ(channel.SarDataMapping[0].StateMask, 0u);
    EXPECT_EQ(channel.SarDataMapping[0].BackoffIndex, 0);
    EXPECT_EQ(channel.SarDataMapping[1].StateMask, 1u);
    EXPECT_EQ(channel.SarDataMapping[1].BackoffIndex, 3);
    ASSERT_EQ(channel.SensorCount, 1u);
    const SENSOR_INFO& sensor = channel.Sensors[0];
    EXPECT_EQ(sensor.Valid, 1u);
    EXPECT_EQ(sensor.Type, SensorTypeApps);
    EXPECT_EQ(sensor.ID, 7u);
    EXPECT_EQ(sensor.SuidLow, 0x2Bu);
    EXPECT_EQ(sensor.SuidHigh, 0x10000001Au);
}

TEST_F(ConfigReader, TheChannelCountAndTheChannelSubkeys) {
    // Missing: the read fails.
    Import(kModemChannel);
    EXPECT_EQ(Read(), STATUS_UNSUCCESSFUL);
    ExpectNoChannels();
    EXPECT_TRUE(
        sim::TraceContains("No SAR channels defined. SAR will not be enabled ", TRACE_LEVEL_ERROR));
    mHost.reset();

    // One more than there are channel subkeys: the count is dropped, the read
    // ends with the status it had.
    sim::ClearTrace();
    Import(Channels(2));
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_EQ(Context()->NumberOfChannels, 0u);
    ExpectNoChannels();
    EXPECT_TRUE(sim::TraceContains(
        " NumberOfChannels not matching with Channel subkeys, please recheck the registry value",
        TRACE_LEVEL_ERROR));
    mHost.reset();

    // Channel subkeys are those whose first six letters are "channe", case
    // sensitively: "channe1" is the second channel, "Channel1" and "chann" are none.
    std::string other = kModemChannel;
    for (std::size_t at; (at = other.find("channel0")) != std::string::npos;) {
        other.replace(at, 8, "channe1");
    }
    Import("[Device Parameters\\Channel1]\n[Device Parameters\\chann]\n" + kModemChannel + other);
    ASSERT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_EQ(Context()->ConfiguredCount, 2u);
}

TEST_F(ConfigReader, WlanChannelsNeedOneOrTwoAntennas) {
    Import(Channels(2) + "\"WlanAntCount\"=dword:3\n" + kModemChannel + kWlanChannel);
    ASSERT_EQ(Read(), STATUS_SUCCESS);
    ASSERT_EQ(Context()->ConfiguredCount, 1u);
    EXPECT_EQ(Channel(0).ChannelType, ChannelTypeModem);
    mHost.reset();

    // With two antennas the WLAN channel is read; the mask of the subkey read
    // last is kept, even a bad one (traced).
    sim::ClearTrace();
    sim::registry::SetDword("Device Parameters", u"WlanAntCount", 2);
    ASSERT_EQ(Read(), STATUS_SUCCESS);
    ASSERT_EQ(Context()->ConfiguredCount, 2u);
    EXPECT_EQ(Channel(1).ChannelType, ChannelTypeWlan);
    ASSERT_EQ(Channel(1).SensorCount, 3u);
    EXPECT_EQ(Channel(1).Sensors[2].Type, SensorTypeSlpi);
    EXPECT_EQ(Channel(1).Sensors[2].ID, 3u);
    ASSERT_NE(Channel(1).WlanAntennaInfo, nullptr);
    EXPECT_EQ(Channel(1).WlanAntennaInfo[0], 4u);
    EXPECT_TRUE(sim::TraceContains("Invalid WlanAntMask=0", TRACE_LEVEL_ERROR));
    EXPECT_TRUE(sim::TraceContains("Invalid WlanAntMask=4", TRACE_LEVEL_ERROR));
    EXPECT_FALSE(sim::TraceContains("Invalid WlanAntMask=1", TRACE_LEVEL_ERROR));
}

TEST_F(ConfigReader, ChannelTypeIsAWholeCaseSensitiveString) {
    struct Case {
        ULONG type;
        std::vector<std::uint8_t> data;
        bool valid;
    };
    auto wide = [](std::u16string text, bool terminator) {
        std::vector<std::uint8_t> out((text.size() + (terminator ? 1 : 0)) * 2, 0);
        std::memcpy(out.data(), text.data(), text.size() * 2);
        return out;
    };
    std::vector<Case> cases = {
        {REG_SZ, wide(u"MODEM", true), true},
        {REG_SZ, wide(u"MODEM", false), true},     // stored without its terminator
        {REG_BINARY, wide(u"MODEM", false), true}, // the type is not checked
        {REG_SZ, wide(u"Modem", true), false},
        {REG_SZ, wide(u"MODEMX", true), false},
        {REG_SZ, wide(u"MODE", true), false},
        {REG_DWORD, {'M', 0, 'O', 0}, false},
        {REG_BINARY, {'M', 0, 'O', 0, 'D', 0, 'E', 0, 'M', 0, 'X'}, true}, // odd byte
        {REG_SZ, {}, false},
    };
    for (const auto& c : cases) {
        sim::registry::Reset();
        sim::ClearTrace();
        Import(Channels(1) + kModemChannel);
        sim::registry::SetValue("Device Parameters\\channel0", u"ChannelType", c.type, c.data);
        const NTSTATUS status = Read();
        if (c.valid) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(Context()->ConfiguredCount, 1u);
        } else {
            EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
            ExpectNoChannels();
            EXPECT_TRUE(sim::TraceContains(" Reading channel type failed ", TRACE_LEVEL_ERROR));
        }
        mHost.reset();
    }
    sim::registry::Reset();
    sim::ClearTrace();
    Import(Channels(1) + kModemChannel);
    sim::registry::DeleteValue("Device Parameters\\channel0", u"ChannelType");
    EXPECT_EQ(Read(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim::TraceContains(
        "Cannot read Channel Type. Valid channel types are \"MODEM\" and \"WLAN\"",
        TRACE_LEVEL_ERROR));
}

TEST_F(ConfigReader, MappingTables) {
    Import(Channels(1) + kModemChannel);
    const char* channel = "Device Parameters\\channel0";

    // A missing value holds -1 and is traced; the channel stays.
    sim::registry::SetDword(channel, u"SarMappingCount", 3);
    ASSERT_EQ(Read(), STATUS_SUCCESS);
    ASSERT_EQ(Channel(0).SarMappingCount, 3u);
    EXPECT_EQ(Channel(0).SarDataMapping[2].StateMask, 2u);
    EXPECT_EQ(Channel(0).SarDataMapping[2].BackoffIndex, -1);
    EXPECT_TRUE(sim::TraceContains("No back-off index for state mask 2", TRACE_LEVEL_ERROR));
    mHost.reset();

    // Fewer than two: the channel and the read fail.
    sim::registry::SetDword(channel, u"SarMappingCount", 1);
    EXPECT_EQ(Read(), STATUS_UNSUCCESSFUL);
    ExpectNoChannels();
    EXPECT_TRUE(sim::TraceContains("No SAR mapping found. At least 2 mapping values are "
                                   "required for a valid sensor.",
                                   TRACE_LEVEL_ERROR));
    mHost.reset();

    // Above ten: the ten entries that can be named are kept, and no more
    // memory than for ten is taken, however large the count.
    for (ULONG i = 2; i < 10; ++i) {
        std::u16string name(1, static_cast<char16_t>(u'0' + i));
        sim::registry::SetDword(channel, name, i);
    }
    sim::registry::SetDword(channel, u"SarMappingCount", 0xFFFFFFFF);
    ASSERT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_EQ(Channel(0).SarMappingCount, 10u);
    EXPECT_EQ(Channel(0).SarDataMapping[9].BackoffIndex, 9);
    EXPECT_TRUE(sim::TraceContains(" _ultow_s() returned failure", TRACE_LEVEL_ERROR));
    for (const auto& object : sim::wdf::LiveObjects()) {
        if (object.kind == "WDFMEMORY" && object.poolTag == WdfMakePoolTag("Hvx0")) {
            EXPECT_LE(object.size, 10 * sizeof(SAR_DATA_MAPPING) + 64);
        }
    }
    mHost.reset();

    // ... unless one of the ten had no index.
    sim::registry::DeleteValue(channel, u"5");
    sim::registry::SetDword(channel, u"SarMappingCount", 11);
    EXPECT_EQ(Read(), STATUS_UNSUCCESSFUL);
    ExpectNoChannels();
}

TEST_F(ConfigReader, SensorSubkeys) {
    Import(Channels(1) + kModemChannel +
           "[Device Parameters\\channel0\\1]\n\"Type\"=\"XYZ\"\n\"ID\"=dword:8\n"
           "[Device Parameters\\channel0\\2]\n\"Type\"=\"SLPI\"\n");
    ASSERT_EQ(Read(), STATUS_SUCCESS);
    ASSERT_EQ(Context()->ConfiguredCount, 1u);
    const CHANNEL_INFO& channel = Channel(0);
    ASSERT_EQ(channel.SensorCount, 3u);
    EXPECT_EQ(channel.Sensors[0].Valid, 1u);
    EXPECT_EQ(channel.Sensors[1].Valid, 0u); // unknown type: skipped
    EXPECT_EQ(channel.Sensors[1].Type, SensorTypeInvalid);
    EXPECT_EQ(channel.Sensors[2].Valid, 0u); // no ID
    EXPECT_EQ(channel.Sensors[2].Type, SensorTypeSlpi);
    EXPECT_EQ(channel.Sensors[2].ID, SENSOR_ID_NONE);
    EXPECT_TRUE(sim::TraceContains(
        "Invalid Sensor Type. Valid channel types are \"SLPI\" and \"APSS\"", TRACE_LEVEL_ERROR));
    mHost.reset();

    // A sensor without a type fails the channel and the read.
    sim::registry::DeleteValue("Device Parameters\\channel0\\2", u"Type");
    EXPECT_EQ(Read(), STATUS_UNSUCCESSFUL);
    ExpectNoChannels();
    EXPECT_TRUE(
        sim::TraceContains("Cannot read Sensor Type. Valid channel types are \"SLPI\" and \"APSS\"",
                           TRACE_LEVEL_ERROR));
    mHost.reset();

    // A channel without sensor subkeys fails too.
    sim::registry::DeleteKey("Device Parameters\\channel0\\0");
    sim::registry::DeleteKey("Device Parameters\\channel0\\1");
    sim::registry::DeleteKey("Device Parameters\\channel0\\2");
    EXPECT_EQ(Read(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim::TraceContains("cannot allocate memory for sensors", TRACE_LEVEL_ERROR));
}

TEST_F(ConfigReader, EveryAllocationOfTheReaderThatFailsFailsTheRead) {
    // A WLAN channel, which takes an allocation more per sensor.
    Import(Channels(1) + "\"WlanAntCount\"=dword:1\n" + kWlanChannel);
    constexpr const char* kPoint = "WdfMemoryCreate:Hvx0";
    AddDevice();
    const unsigned before = sim::FaultCalls(kPoint);
    ASSERT_EQ(ReadSarConfiguration(Device()), STATUS_SUCCESS);
    const unsigned allocations = sim::FaultCalls(kPoint) - before;
    ASSERT_GT(allocations, 0u);
    for (unsigned n = 1; n <= allocations; ++n) {
        SCOPED_TRACE(n);
        mHost.reset();
        AddDevice();
        sim::ArmFault(kPoint, sim::FaultSpec::OnCall(n));
        EXPECT_FALSE(NT_SUCCESS(ReadSarConfiguration(Device())));
        ExpectNoChannels();
        sim::DisarmFault(kPoint);
    }
}

TEST_F(ConfigReader, SensorNamesWithoutASlotAreSkipped) {
    // Two sensors named 1 and 2: slot 1 is written, 2 has none; no write
    // outside the array.
    Import(Channels(1) + kModemKey +
           "[Device Parameters\\channel0\\1]\n\"Type\"=\"APPS\"\n\"ID\"=dword:11\n"
           "[Device Parameters\\channel0\\2]\n\"Type\"=\"APPS\"\n\"ID\"=dword:12\n");
    ASSERT_EQ(Read(), STATUS_SUCCESS);
    ASSERT_EQ(Channel(0).SensorCount, 2u);
    EXPECT_EQ(Channel(0).Sensors[0].Valid, 0u);
    EXPECT_EQ(Channel(0).Sensors[1].ID, 0x11u);
    EXPECT_EQ(sim::TraceCount("has no slot among 2 sensors", TRACE_LEVEL_ERROR), 1u);
    mHost.reset();

    // Negative and very large numbers have no slot either.
    sim::registry::DeleteKey("Device Parameters\\channel0\\2");
    Import("[Device Parameters\\channel0\\-1]\n\"Type\"=\"APPS\"\n\"ID\"=dword:13\n"
           "[Device Parameters\\channel0\\99999999999]\n\"Type\"=\"APPS\"\n\"ID\"=dword:14\n");
    ASSERT_EQ(Read(), STATUS_SUCCESS);
    ASSERT_EQ(Channel(0).SensorCount, 3u);
    EXPECT_EQ(Channel(0).Sensors[1].ID, 0x11u);
    EXPECT_EQ(Channel(0).Sensors[0].Valid, 0u);
    EXPECT_EQ(Channel(0).Sensors[2].Valid, 0u);
    EXPECT_EQ(sim::TraceCount("has no slot among 3 sensors", TRACE_LEVEL_ERROR), 2u);
    mHost.reset();

    // "01" enumerates before "1" and names the same slot: the later bad Type
    // leaves the slot invalid.
    Import("[Device Parameters\\channel0\\01]\n\"Type\"=\"APPS\"\n\"ID\"=dword:15\n"
           "[Device Parameters\\channel0\\1]\n\"Type\"=\"BAD\"\n");
    ASSERT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_EQ(Channel(0).Valid, 1u);
    EXPECT_EQ(Channel(0).Sensors[1].Valid, 0u);
    EXPECT_EQ(Channel(0).Sensors[1].Type, SensorTypeInvalid);
}

TEST_F(ConfigReader, PlatformFailuresFailTheRead) {
    Import(Channels(1) + kModemChannel);
    struct Case {
        const char* point;
        sim::FaultSpec fault;
        const char* trace;
    };
    const Case cases[] = {
        {"WdfDeviceOpenRegistryKey", sim::FaultSpec::Once(),
         " DMF_Registry_HandleOpenById Failed!!!!"},
        {"RegEnumKeyExW", sim::FaultSpec::Once(),
         " DMF_Registry_AllSubKeysFromHandleEnumerate failed while Opening ChannelNum subkey "
         "under Device Parameters Key to count"},
        // The first enumeration of the channel subkeys, then the second one.
        {"RegQueryInfoKeyW", sim::FaultSpec::OnCall(2),
         " DMF_Registry_AllSubKeysFromHandleEnumerate failed while Opening ChannelNum subkey "
         "under Device Parameters Key to read"},
        {"RegQueryInfoKeyW", sim::FaultSpec::OnCall(3),
         " DMF_Registry_AllSubKeysFromHandleEnumerate failed while Opening SensorInfo subkey "
         "under ChannelNum Key to count"},
        {"RegQueryInfoKeyW", sim::FaultSpec::OnCall(4),
         " DMF_Registry_AllSubKeysFromHandleEnumerate failed while Opening "
         "ChannelSensorInfoSubkey subkey under ChannelNum SubKey"},
    };
    for (const auto& c : cases) {
        AddDevice();
        sim::ClearTrace();
        sim::ArmFault(c.point, c.fault);
        EXPECT_FALSE(NT_SUCCESS(ReadSarConfiguration(Device()))) << c.trace;
        ExpectNoChannels();
        EXPECT_TRUE(sim::TraceContains(c.trace, TRACE_LEVEL_ERROR)) << c.trace;
        sim::ResetFaults();
        mHost.reset();
    }
}

TEST_F(ConfigReader, AChannelSubkeyAddedWhileReadingFindsNoRecord) {
    Import(Channels(1) + kModemChannel);
    AddDevice();
    // The channel subkeys are counted by the first enumeration; one more
    // appears before the second.
    int enumerations = 0;
    sim::SetTraceSink([&](const sim::TraceRecord& record) {
        if (record.message.find("DMF_Registry_AllSubKeysFromHandleEnumerate Entry") == 0 &&
            ++enumerations == 2) {
            sim::registry::CreateKey("Device Parameters\\channel00");
        }
    });
    EXPECT_EQ(ReadSarConfiguration(Device()), STATUS_SUCCESS);
    sim::SetTraceSink(nullptr);
    EXPECT_EQ(Context()->ConfiguredCount, 1u);
    EXPECT_TRUE(sim::TraceContains("beyond NumberOfChannels=1", TRACE_LEVEL_ERROR));
}

} // namespace
} // namespace configtest
