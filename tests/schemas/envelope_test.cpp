// Round trips of the envelopes the sensor-hub provider sends and receives: the
// sensor-specific message travels serialised inside the envelope, so both
// layers must survive serialise and parse.

#include "sns_client.pb.h"
#include "sns_std.pb.h"
#include "sns_std_sensor.pb.h"
#include "sns_suid.pb.h"

#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using google::protobuf::util::MessageDifferencer;

constexpr std::uint64_t kSarSuidLow = 0x0123456789ABCDEFull;
constexpr std::uint64_t kSarSuidHigh = 0xFEDCBA9876543210ull;

sns_client_request_msg Envelope(std::uint64_t low, std::uint64_t high, std::uint32_t msgId) {
    sns_client_request_msg msg;
    msg.mutable_suid()->set_suid_low(low);
    msg.mutable_suid()->set_suid_high(high);
    msg.set_msg_id(msgId);
    msg.mutable_susp_config()->set_client_proc_type(SNS_STD_CLIENT_PROCESSOR_APSS);
    msg.mutable_susp_config()->set_delivery_type(SNS_CLIENT_DELIVERY_WAKEUP);
    msg.mutable_request();
    return msg;
}

template <typename T> T FromText(const std::string& text) {
    T message;
    EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &message)) << text;
    return message;
}

sns_client_request_msg ParsedRequest(const std::string& wire) {
    sns_client_request_msg parsed;
    EXPECT_TRUE(parsed.ParseFromString(wire));
    return parsed;
}

TEST(ClientRequestEnvelope, AttributeRequestKeepsAFalseFlagThatWasSet) {
    sns_std_attr_req attributes;
    attributes.set_register_updates(false);
    sns_client_request_msg msg =
        Envelope(kSarSuidLow, kSarSuidHigh, SNS_STD_MSGID_SNS_STD_ATTR_REQ);
    msg.mutable_request()->set_payload(attributes.SerializeAsString());

    const sns_client_request_msg parsed = ParsedRequest(msg.SerializeAsString());
    EXPECT_TRUE(MessageDifferencer::Equals(parsed, msg));
    EXPECT_EQ(parsed.suid().suid_low(), kSarSuidLow);
    EXPECT_EQ(parsed.suid().suid_high(), kSarSuidHigh);
    EXPECT_EQ(parsed.msg_id(), 1u);

    sns_std_attr_req inner;
    ASSERT_TRUE(inner.ParseFromString(parsed.request().payload()));
    EXPECT_TRUE(inner.has_register_updates());
    EXPECT_FALSE(inner.register_updates());
}

TEST(ClientRequestEnvelope, OnChangeConfigurationCarriesAnEmptyButPresentRequest) {
    const sns_client_request_msg msg =
        Envelope(kSarSuidLow, kSarSuidHigh, SNS_STD_SENSOR_MSGID_SNS_STD_ON_CHANGE_CONFIG);
    const sns_client_request_msg parsed = ParsedRequest(msg.SerializeAsString());
    EXPECT_TRUE(MessageDifferencer::Equals(parsed, msg));
    EXPECT_EQ(parsed.msg_id(), 514u);
    EXPECT_TRUE(parsed.has_request());
    EXPECT_FALSE(parsed.request().has_batching());
    EXPECT_FALSE(parsed.request().has_payload());
}

TEST(ClientEventEnvelope, CarriesSuidSensorAndErrorEventsThatParseByTheirMessageId) {
    const auto found = FromText<sns_suid_event>(
        "data_type: 'SAR' suid { suid_low: " + std::to_string(kSarSuidLow) +
        " suid_high: " + std::to_string(kSarSuidHigh) + " } suid { suid_low: 1 suid_high: 2 }");
    const auto sample = FromText<sns_std_sensor_event>(
        "data: 1 data: -0.5 status: SNS_STD_SENSOR_SAMPLE_STATUS_ACCURACY_HIGH");
    const auto error = FromText<sns_std_error_event>("error: SNS_STD_ERROR_NOT_SUPPORTED");

    sns_client_event_msg msg;
    msg.mutable_suid()->set_suid_low(kSarSuidLow);
    msg.mutable_suid()->set_suid_high(kSarSuidHigh);
    const std::pair<std::uint32_t, const google::protobuf::Message*> events[] = {
        {SNS_SUID_MSGID_SNS_SUID_EVENT, &found},
        {SNS_STD_SENSOR_MSGID_SNS_STD_SENSOR_EVENT, &sample},
        {SNS_STD_MSGID_SNS_STD_ERROR_EVENT, &error},
    };
    std::uint64_t timestamp = 0x0000001234567890ull;
    for (const auto& [id, payload] : events) {
        auto* event = msg.add_events();
        event->set_msg_id(id);
        event->set_timestamp(timestamp++);
        event->set_payload(payload->SerializeAsString());
    }
    ASSERT_TRUE(msg.IsInitialized());

    const std::string wire = msg.SerializeAsString();
    sns_client_event_msg parsed;
    ASSERT_TRUE(parsed.ParseFromArray(wire.data(), static_cast<int>(wire.size())));
    EXPECT_TRUE(MessageDifferencer::Equals(parsed, msg));
    ASSERT_EQ(parsed.events_size(), 3);
    EXPECT_EQ(parsed.events(2).timestamp(), 0x0000001234567892ull);

    // Each payload parses back, as the type its message id names, to what was sent.
    for (int i = 0; i < parsed.events_size(); ++i) {
        const auto& [id, sent] = events[i];
        SCOPED_TRACE(id);
        EXPECT_EQ(parsed.events(i).msg_id(), id);
        std::unique_ptr<google::protobuf::Message> got(sent->New());
        ASSERT_TRUE(got->ParseFromString(parsed.events(i).payload()));
        EXPECT_TRUE(MessageDifferencer::Equals(*got, *sent));
    }
}

} // namespace
