// What the generated classes promise their users beyond the wire format:
// completeness of required fields, declared defaults, the one-of rule and the
// nanopb options as seen through the generated extension identifiers.

#include "nanopb.pb.h"
#include "sns_client.pb.h"
#include "sns_physical_sensor_test.pb.h"
#include "sns_std.pb.h"
#include "sns_std_sensor.pb.h"
#include "sns_suid.pb.h"

#include <google/protobuf/stubs/common.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

sns_client_request_msg CompleteRequest() {
    sns_client_request_msg msg;
    msg.mutable_suid()->set_suid_low(1);
    msg.mutable_suid()->set_suid_high(2);
    msg.set_msg_id(SNS_STD_MSGID_SNS_STD_ATTR_REQ);
    msg.mutable_susp_config()->set_client_proc_type(SNS_STD_CLIENT_PROCESSOR_APSS);
    msg.mutable_susp_config()->set_delivery_type(SNS_CLIENT_DELIVERY_WAKEUP);
    msg.mutable_request();
    return msg;
}

TEST(RequiredFields, ARequestIsCompleteOnlyWithEveryRequiredPartDownToTheLeaves) {
    ASSERT_TRUE(CompleteRequest().IsInitialized());

    struct Case {
        const char* missing;
        std::function<void(sns_client_request_msg&)> remove;
    };
    const Case cases[] = {
        {"suid", [](auto& m) { m.clear_suid(); }},
        {"suid.suid_low", [](auto& m) { m.mutable_suid()->clear_suid_low(); }},
        {"suid.suid_high", [](auto& m) { m.mutable_suid()->clear_suid_high(); }},
        {"msg_id", [](auto& m) { m.clear_msg_id(); }},
        {"susp_config", [](auto& m) { m.clear_susp_config(); }},
        {"susp_config.client_proc_type",
         [](auto& m) { m.mutable_susp_config()->clear_client_proc_type(); }},
        {"susp_config.delivery_type",
         [](auto& m) { m.mutable_susp_config()->clear_delivery_type(); }},
        {"request", [](auto& m) { m.clear_request(); }},
        {"request.batching.batch_period", [](auto& m) { m.mutable_request()->mutable_batching(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.missing);
        sns_client_request_msg msg = CompleteRequest();
        c.remove(msg);
        EXPECT_FALSE(msg.IsInitialized());
        EXPECT_EQ(msg.InitializationErrorString(), c.missing);
    }
}

// The installed runtime checks completeness in the checked serialise and
// throws; the partial serialise writes the message as it stands.
TEST(RequiredFields, AnIncompleteMessageIsWrittenOnlyPartiallyAndItsParseFailsKeepingWhatWasRead) {
    sns_client_request_msg incomplete = CompleteRequest();
    incomplete.clear_request();
    std::string wire;
    EXPECT_THROW(incomplete.SerializeToString(&wire), google::protobuf::FatalException);
    ASSERT_TRUE(incomplete.SerializePartialToString(&wire));
    EXPECT_FALSE(wire.empty());

    sns_client_request_msg parsed;
    EXPECT_FALSE(parsed.ParseFromString(wire));
    EXPECT_EQ(parsed.suid().suid_high(), 2u);
    EXPECT_EQ(parsed.msg_id(), 1u);
    EXPECT_TRUE(parsed.susp_config().has_delivery_type());
    EXPECT_FALSE(parsed.has_request());
}

TEST(RequiredFields, MessagesWithoutRequiredFieldsOrWithEmptyListsAreComplete) {
    const sns_std_request empty;
    EXPECT_TRUE(empty.IsInitialized());
    EXPECT_EQ(empty.ByteSizeLong(), 0u);
    EXPECT_EQ(empty.SerializeAsString(), "");

    sns_suid_event none;
    none.set_data_type("SAR");
    EXPECT_TRUE(none.IsInitialized());
    sns_client_event_msg noEvents;
    noEvents.mutable_suid()->set_suid_low(1);
    noEvents.mutable_suid()->set_suid_high(2);
    EXPECT_TRUE(sns_client_event_msg().ParseFromString(noEvents.SerializeAsString()));

    sns_std_sensor_event noData;
    EXPECT_FALSE(noData.IsInitialized());
    EXPECT_EQ(noData.InitializationErrorString(), "status");
    noData.set_status(SNS_STD_SENSOR_SAMPLE_STATUS_UNRELIABLE);
    EXPECT_TRUE(noData.IsInitialized());

    sns_std_error_event noError;
    EXPECT_FALSE(noError.IsInitialized());
    noError.set_error(SNS_STD_ERROR_NO_ERROR);
    EXPECT_TRUE(noError.IsInitialized());
}

// A declared default is what an unset field reads as; it never makes a
// required field present.
TEST(Defaults, UnsetFieldsReadTheirDeclaredDefaultsWithoutBeingPresent) {
    const sns_suid_sensor lookup;
    EXPECT_EQ(lookup.suid_low(), 0xABABABABABABABABull);
    EXPECT_EQ(lookup.suid_high(), 0xABABABABABABABABull);
    EXPECT_FALSE(lookup.has_suid_low());
    EXPECT_FALSE(lookup.IsInitialized());

    const sns_client_request_msg::suspend_config config;
    EXPECT_EQ(config.client_proc_type(), SNS_STD_CLIENT_PROCESSOR_APSS);
    EXPECT_EQ(config.delivery_type(), SNS_CLIENT_DELIVERY_WAKEUP);
    EXPECT_FALSE(config.IsInitialized());
    EXPECT_EQ(config.SerializePartialAsString(), "");

    const sns_physical_sensor_test_event test;
    EXPECT_TRUE(test.test_passed());
    EXPECT_EQ(test.test_type(), SNS_PHYSICAL_SENSOR_TEST_TYPE_COM);
    EXPECT_FALSE(test.has_test_passed());

    const sns_suid_req req;
    EXPECT_TRUE(req.default_only());
    EXPECT_FALSE(req.register_updates());

    const sns_std_sensor_event sample;
    EXPECT_EQ(sample.status(), SNS_STD_SENSOR_SAMPLE_STATUS_UNRELIABLE);
}

TEST(Oneof, AnAttributeValueHoldsAtMostOneMember) {
    sns_std_attr_value::data value;
    EXPECT_EQ(value.value_case(), sns_std_attr_value::data::VALUE_NOT_SET);
    value.set_str("bmi160");
    value.set_flt(25.0f);
    EXPECT_FALSE(value.has_str());
    EXPECT_EQ(value.value_case(), sns_std_attr_value::data::kFlt);

    value.mutable_subtype()->add_values()->set_boolean(true);
    EXPECT_FALSE(value.has_flt());
    value.set_sint(-3);
    EXPECT_FALSE(value.has_subtype());

    sns_std_attr_value::data parsed;
    ASSERT_TRUE(parsed.ParseFromString(value.SerializeAsString()));
    EXPECT_EQ(parsed.value_case(), sns_std_attr_value::data::kSint);
    EXPECT_EQ(parsed.sint(), -3);
}

// Code that reads the options goes through the generated extension
// identifiers: they see the schema's own settings.
TEST(Options, GeneratedExtensionIdentifiersReadTheSchemaOptions) {
    // long_names defaults to true: false here is the schema's own setting.
    EXPECT_FALSE(sns_std_error_descriptor()->options().GetExtension(nanopb_enumopt).long_names());
    EXPECT_TRUE(
        sns_std_attr_value::data::descriptor()->options().GetExtension(nanopb_msgopt).no_unions());
    const auto* range =
        sns_std_sensor_physical_config_event::descriptor()->FindFieldByName("range");
    ASSERT_NE(range, nullptr);
    EXPECT_EQ(range->options().GetExtension(nanopb).max_count(), 2);
}

} // namespace
