// Wire compatibility with the sensor hub: byte sequences written out by hand
// from the protobuf encoding rules, not produced by the code under test.

#include "WireBytes.h"

#include "sns_client.pb.h"
#include "sns_std.pb.h"
#include "sns_std_sensor.pb.h"
#include "sns_suid.pb.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using schema_test::Bytes;
using schema_test::Fixed32;
using schema_test::Fixed64;
using schema_test::Nested;

constexpr std::uint64_t kLookupSuid = 0xABABABABABABABABull;

// Floats as the hub sends them: IEEE 754 single precision, little-endian.
const std::string kOne = Bytes({0x00, 0x00, 0x80, 0x3F});     // 1.0f
const std::string kTwoHalf = Bytes({0x00, 0x00, 0x20, 0x40}); // 2.5f

std::string LookupRequestBytes() {
    const std::string suid =
        Bytes({0x09}) + Fixed64(kLookupSuid) + Bytes({0x11}) + Fixed64(kLookupSuid);
    const std::string suidReq = Bytes({0x0A, 3, 'S', 'A', 'R', 0x10, 0x01});
    return Nested(1, suid) + Bytes({0x15}) + Fixed32(512) +
           Nested(3, Bytes({0x08, 0x01, 0x10, 0x00})) + Nested(4, Nested(2, suidReq));
}

TEST(WireCompatibility, SuidLookupRequestIsWrittenByteForByte) {
    sns_suid_req lookup;
    lookup.set_data_type("SAR");
    lookup.set_register_updates(true);

    sns_client_request_msg msg;
    msg.mutable_suid()->set_suid_low(kLookupSuid);
    msg.mutable_suid()->set_suid_high(kLookupSuid);
    msg.set_msg_id(SNS_SUID_MSGID_SNS_SUID_REQ);
    msg.mutable_susp_config()->set_client_proc_type(SNS_STD_CLIENT_PROCESSOR_APSS);
    msg.mutable_susp_config()->set_delivery_type(SNS_CLIENT_DELIVERY_WAKEUP);
    msg.mutable_request()->set_payload(lookup.SerializeAsString());

    EXPECT_EQ(msg.SerializeAsString(), LookupRequestBytes());
}

TEST(WireCompatibility, SuidLookupRequestBytesParseToTheirValues) {
    sns_client_request_msg msg;
    ASSERT_TRUE(msg.ParseFromString(LookupRequestBytes()));
    EXPECT_EQ(msg.suid().suid_low(), kLookupSuid);
    EXPECT_EQ(msg.suid().suid_high(), kLookupSuid);
    EXPECT_EQ(msg.msg_id(), 512u);
    EXPECT_EQ(msg.susp_config().client_proc_type(), SNS_STD_CLIENT_PROCESSOR_APSS);
    EXPECT_TRUE(msg.susp_config().has_delivery_type());
    EXPECT_EQ(msg.susp_config().delivery_type(), SNS_CLIENT_DELIVERY_WAKEUP);

    sns_suid_req lookup;
    ASSERT_TRUE(lookup.ParseFromString(msg.request().payload()));
    EXPECT_EQ(lookup.data_type(), "SAR");
    EXPECT_TRUE(lookup.register_updates());
    EXPECT_FALSE(lookup.has_default_only());
    EXPECT_TRUE(lookup.default_only());
    EXPECT_FALSE(msg.request().has_batching());
}

TEST(WireCompatibility, SensorIndicationFromTheHubParsesToItsSample) {
    const std::string sample = Bytes({0x0D}) + kTwoHalf + Bytes({0x10, 0x02});
    const std::string event = Bytes({0x0D}) + Fixed32(1025) + Bytes({0x11}) +
                              Fixed64(0x0102030405060708ull) + Nested(3, sample);
    const std::string wire =
        Nested(1, Bytes({0x09}) + Fixed64(7) + Bytes({0x11}) + Fixed64(9)) + Nested(2, event);

    sns_client_event_msg msg;
    ASSERT_TRUE(msg.ParseFromArray(wire.data(), static_cast<int>(wire.size())));
    EXPECT_EQ(msg.suid().suid_low(), 7u);
    EXPECT_EQ(msg.suid().suid_high(), 9u);
    ASSERT_EQ(msg.events_size(), 1);
    EXPECT_EQ(msg.events(0).msg_id(), 1025u);
    EXPECT_EQ(msg.events(0).timestamp(), 0x0102030405060708ull);

    sns_std_sensor_event parsed;
    ASSERT_TRUE(parsed.ParseFromString(msg.events(0).payload()));
    ASSERT_EQ(parsed.data_size(), 1);
    EXPECT_EQ(parsed.data(0), 2.5f);
    EXPECT_EQ(parsed.status(), SNS_STD_SENSOR_SAMPLE_STATUS_ACCURACY_MEDIUM);
}

// Repeated numbers go out one key per element; a peer that packs them must
// still be understood.
TEST(WireCompatibility, SampleDataIsWrittenUnpackedAndReadInBothForms) {
    const std::string unpacked =
        Bytes({0x0D}) + kOne + Bytes({0x0D}) + kTwoHalf + Bytes({0x10, 0x03});
    const std::string packed = Nested(1, kOne + kTwoHalf) + Bytes({0x10, 0x03});

    for (const std::string& wire : {unpacked, packed}) {
        sns_std_sensor_event event;
        ASSERT_TRUE(event.ParseFromString(wire));
        EXPECT_EQ(std::vector<float>(event.data().begin(), event.data().end()),
                  (std::vector<float>{1.0f, 2.5f}));
        EXPECT_EQ(event.status(), SNS_STD_SENSOR_SAMPLE_STATUS_ACCURACY_HIGH);
        EXPECT_EQ(event.SerializeAsString(), unpacked);
    }
}

TEST(WireCompatibility, NoWakeupIdsAreWrittenUnpackedAndReadInBothForms) {
    const std::string head = Bytes({0x08, 0x01, 0x10, 0x01});
    const std::string unpacked =
        head + Bytes({0x1D}) + Fixed32(1024) + Bytes({0x1D}) + Fixed32(1025);
    const std::string packed = head + Nested(3, Fixed32(1024) + Fixed32(1025));

    for (const std::string& wire : {unpacked, packed}) {
        sns_client_request_msg::suspend_config config;
        ASSERT_TRUE(config.ParseFromString(wire));
        EXPECT_EQ(config.delivery_type(), SNS_CLIENT_DELIVERY_NO_WAKEUP);
        EXPECT_EQ(std::vector<std::uint32_t>(config.nowakeup_msg_ids().begin(),
                                             config.nowakeup_msg_ids().end()),
                  (std::vector<std::uint32_t>{1024, 1025}));
        EXPECT_EQ(config.SerializeAsString(), unpacked);
    }
}

// A value the schema does not know is not forced into the enum: it is kept
// aside so that it is not lost when the message is passed on, and the field
// reads as absent.
TEST(WireCompatibility, UnknownEnumValuesAreKeptAsUnknownFields) {
    struct Case {
        const char* what;
        google::protobuf::Message* message;
        std::string wire;
        int fieldNumber;
        int value;
    };
    sns_std_sensor_event sample;
    sns_std_error_event error;
    const Case cases[] = {
        {"sample status 7", &sample, Bytes({0x0D}) + kOne + Bytes({0x10, 0x07}), 2, 7},
        {"error 9", &error, Bytes({0x08, 0x09}), 1, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // The only required field is missing, so a checked parse fails.
        EXPECT_FALSE(c.message->ParseFromString(c.wire));
        ASSERT_TRUE(c.message->ParsePartialFromString(c.wire));
        const auto& unknown = c.message->GetReflection()->GetUnknownFields(*c.message);
        ASSERT_EQ(unknown.field_count(), 1);
        EXPECT_EQ(unknown.field(0).number(), c.fieldNumber);
        EXPECT_EQ(unknown.field(0).varint(), static_cast<std::uint64_t>(c.value));
        EXPECT_EQ(c.message->SerializePartialAsString(), c.wire);
    }
    EXPECT_FALSE(sample.has_status());
    EXPECT_EQ(sample.status(), SNS_STD_SENSOR_SAMPLE_STATUS_UNRELIABLE);
    ASSERT_EQ(sample.data_size(), 1);
    EXPECT_EQ(sample.data(0), 1.0f);
    EXPECT_FALSE(error.has_error());
    EXPECT_EQ(error.error(), SNS_STD_ERROR_NO_ERROR);
    EXPECT_FALSE(sns_std_error_IsValid(9));
    EXPECT_FALSE(sns_std_sensor_sample_status_IsValid(7));
}

} // namespace
