// Wire compatibility with the sensor hub: byte sequences written out by hand
// from the protobuf encoding rules, not produced by the code under test. The
// simulated hub is built from the same schemas, so only these bytes notice a
// field number or wire type that drifted from the hub's.

#include "sns_client.pb.h"
#include "sns_std.pb.h"
#include "sns_std_sensor.pb.h"
#include "sns_suid.pb.h"

#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>

namespace {

using google::protobuf::Message;
using google::protobuf::util::MessageDifferencer;

constexpr std::uint64_t kLookupSuid = 0xABABABABABABABABull;
constexpr std::uint64_t kSarSuid = 0x0123456789ABCDEFull;

std::string Bytes(std::initializer_list<int> bytes) {
    std::string out;
    for (int b : bytes) {
        out.push_back(static_cast<char>(b));
    }
    return out;
}

std::string LittleEndian(std::uint64_t value, int size) {
    std::string out;
    for (int i = 0; i < size; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
    return out;
}

// Key and length of a length-delimited field shorter than 128 bytes, then the contents.
std::string Nested(int fieldNumber, const std::string& contents) {
    return Bytes({(fieldNumber << 3) | 2, static_cast<int>(contents.size())}) + contents;
}

// Floats as the hub sends them: IEEE 754 single precision, little-endian.
const std::string kOne = Bytes({0x00, 0x00, 0x80, 0x3F});     // 1.0f
const std::string kTwoHalf = Bytes({0x00, 0x00, 0x20, 0x40}); // 2.5f

// An sns_std_suid: both halves fixed64.
std::string SuidBytes(std::uint64_t low, std::uint64_t high) {
    return Bytes({0x09}) + LittleEndian(low, 8) + Bytes({0x11}) + LittleEndian(high, 8);
}

// A request envelope from the application processor, woken on delivery.
std::string RequestBytes(std::uint64_t suid, std::uint32_t msgId, const std::string& request) {
    return Nested(1, SuidBytes(suid, suid)) + Bytes({0x15}) + LittleEndian(msgId, 4) +
           Nested(3, Bytes({0x08, 0x01, 0x10, 0x00})) + Nested(4, request);
}

sns_client_request_msg Request(std::uint64_t suid, std::uint32_t msgId,
                               const Message* payload = nullptr) {
    sns_client_request_msg msg;
    msg.mutable_suid()->set_suid_low(suid);
    msg.mutable_suid()->set_suid_high(suid);
    msg.set_msg_id(msgId);
    msg.mutable_susp_config()->set_client_proc_type(SNS_STD_CLIENT_PROCESSOR_APSS);
    msg.mutable_susp_config()->set_delivery_type(SNS_CLIENT_DELIVERY_WAKEUP);
    msg.mutable_request();
    if (payload != nullptr) {
        msg.mutable_request()->set_payload(payload->SerializeAsString());
    }
    return msg;
}

std::unique_ptr<Message> FromText(const Message& type, const std::string& text) {
    std::unique_ptr<Message> message(type.New());
    EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, message.get())) << text;
    return message;
}

TEST(WireCompatibility, TheDriversRequestsAreWrittenAndReadByteForByte) {
    sns_suid_req lookup;
    lookup.set_data_type("SAR");
    lookup.set_register_updates(true);
    sns_std_attr_req attributes;
    attributes.set_register_updates(false); // a false flag that was set goes out
    const struct {
        const char* what;
        sns_client_request_msg msg;
        std::string wire;
    } rows[] = {
        {"SUID lookup", Request(kLookupSuid, 512, &lookup),
         RequestBytes(kLookupSuid, 512, Nested(2, Bytes({0x0A, 3, 'S', 'A', 'R', 0x10, 0x01})))},
        {"attribute request", Request(kSarSuid, 1, &attributes),
         RequestBytes(kSarSuid, 1, Nested(2, Bytes({0x10, 0x00})))},
        {"on-change configuration: an empty but present request", Request(kSarSuid, 514),
         RequestBytes(kSarSuid, 514, "")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.msg.SerializeAsString(), row.wire);
        sns_client_request_msg parsed;
        ASSERT_TRUE(parsed.ParseFromString(row.wire));
        EXPECT_TRUE(MessageDifferencer::Equals(parsed, row.msg));
    }
}

// One indication from the hub: the envelope names the sensor, and each event's
// message id tells the type its payload parses as.
TEST(WireCompatibility, TheHubsEventsParseToTheirValues) {
    const sns_suid_event suids;
    const sns_std_sensor_event sample;
    const sns_std_error_event error;
    const sns_std_attr_event attributes;
    const struct {
        std::uint32_t msgId;
        std::string payload;
        const Message& type;
        const char* text;
    } events[] = {
        {768, Bytes({0x0A, 3, 'S', 'A', 'R'}) + Nested(2, SuidBytes(1, 2)), suids,
         "data_type: 'SAR' suid { suid_low: 1 suid_high: 2 }"},
        {1025, Bytes({0x0D}) + kTwoHalf + Bytes({0x10, 0x02}), sample,
         "data: 2.5 status: SNS_STD_SENSOR_SAMPLE_STATUS_ACCURACY_MEDIUM"},
        {130, Bytes({0x08, 0x02}), error, "error: SNS_STD_ERROR_NOT_SUPPORTED"},
        // The answer to an attribute request.
        {128,
         Nested(1, Bytes({0x08, 0x03}) +
                       Nested(2, Nested(1, Bytes({0x12, 3, 'S', 'A', 'R'})) +
                                     Nested(1, Bytes({0x21}) + LittleEndian(~0ull, 8)))),
         attributes,
         "attributes { attr_id: 3 value { values { str: 'SAR' } values { sint: -1 } } }"},
    };
    constexpr std::uint64_t kTime = 0x0102030405060708ull;
    std::string wire = Nested(1, SuidBytes(7, 9));
    for (std::size_t i = 0; i < std::size(events); ++i) {
        wire += Nested(2, Bytes({0x0D}) + LittleEndian(events[i].msgId, 4) + Bytes({0x11}) +
                              LittleEndian(kTime + i, 8) + Nested(3, events[i].payload));
    }

    sns_client_event_msg msg;
    ASSERT_TRUE(msg.ParseFromString(wire));
    EXPECT_EQ(msg.suid().suid_low(), 7u);
    EXPECT_EQ(msg.suid().suid_high(), 9u);
    ASSERT_EQ(msg.events_size(), static_cast<int>(std::size(events)));
    for (int i = 0; i < msg.events_size(); ++i) {
        SCOPED_TRACE(events[i].msgId);
        EXPECT_EQ(msg.events(i).msg_id(), events[i].msgId);
        EXPECT_EQ(msg.events(i).timestamp(), kTime + i);
        std::unique_ptr<Message> parsed(events[i].type.New());
        ASSERT_TRUE(parsed->ParseFromString(msg.events(i).payload()));
        EXPECT_TRUE(MessageDifferencer::Equals(*parsed, *FromText(events[i].type, events[i].text)));
    }
}

// Repeated numbers go out one key per element; a peer that packs them must
// still be understood.
TEST(WireCompatibility, RepeatedNumbersAreWrittenUnpackedAndReadInBothForms) {
    const sns_std_sensor_event sample;
    const sns_client_request_msg::suspend_config config;
    const std::string head = Bytes({0x08, 0x01, 0x10, 0x01});
    const struct {
        const Message& type;
        std::string unpacked;
        std::string packed;
        const char* text;
    } rows[] = {
        {sample, Bytes({0x0D}) + kOne + Bytes({0x0D}) + kTwoHalf + Bytes({0x10, 0x03}),
         Nested(1, kOne + kTwoHalf) + Bytes({0x10, 0x03}),
         "data: 1 data: 2.5 status: SNS_STD_SENSOR_SAMPLE_STATUS_ACCURACY_HIGH"},
        {config,
         head + Bytes({0x1D}) + LittleEndian(1024, 4) + Bytes({0x1D}) + LittleEndian(1025, 4),
         head + Nested(3, LittleEndian(1024, 4) + LittleEndian(1025, 4)),
         "client_proc_type: SNS_STD_CLIENT_PROCESSOR_APSS "
         "delivery_type: SNS_CLIENT_DELIVERY_NO_WAKEUP nowakeup_msg_ids: 1024 nowakeup_msg_ids: "
         "1025"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.type.GetTypeName());
        const auto expected = FromText(row.type, row.text);
        for (const std::string& wire : {row.unpacked, row.packed}) {
            std::unique_ptr<Message> parsed(row.type.New());
            ASSERT_TRUE(parsed->ParseFromString(wire));
            EXPECT_TRUE(MessageDifferencer::Equals(*parsed, *expected));
            EXPECT_EQ(parsed->SerializeAsString(), row.unpacked);
        }
    }
}

// A value the schema does not know is not forced into the enum: it is kept
// aside so that it is not lost when the message is passed on, and the field
// reads as absent, with its default. The only required field is then
// missing: the parse fails, keeping what it read.
TEST(WireCompatibility, UnknownEnumValuesAreKeptAsUnknownFields) {
    sns_std_sensor_event sample;
    sns_std_error_event error;
    const struct {
        Message& message;
        std::string wire;
        int fieldNumber;
        int value;
    } rows[] = {
        {sample, Bytes({0x0D}) + kOne + Bytes({0x10, 0x07}), 2, 7},
        {error, Bytes({0x08, 0x09}), 1, 9},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        EXPECT_FALSE(row.message.ParseFromString(row.wire));
        const auto& unknown = row.message.GetReflection()->GetUnknownFields(row.message);
        ASSERT_EQ(unknown.field_count(), 1);
        EXPECT_EQ(unknown.field(0).number(), row.fieldNumber);
        EXPECT_EQ(unknown.field(0).varint(), static_cast<std::uint64_t>(row.value));
        EXPECT_EQ(row.message.SerializePartialAsString(), row.wire);
    }
    EXPECT_FALSE(sample.has_status());
    EXPECT_EQ(sample.status(), SNS_STD_SENSOR_SAMPLE_STATUS_UNRELIABLE);
    ASSERT_EQ(sample.data_size(), 1);
    EXPECT_EQ(sample.data(0), 1.0f);
    EXPECT_FALSE(error.has_error());
}

} // namespace
