// The schemas as the runtime sees them after load, checked for what the driver
// and the sensor hub rely on: files and imports, the required fields and the
// defaults, the message ids in use, the nanopb options and their extensions.
// Field numbers and wire types are the byte-level tests' to pin. This file
// deliberately uses no generated class: everything is looked up by name in the
// generated pool, so the files nobody references must have registered too.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;
using google::protobuf::Message;

const DescriptorPool& Pool() {
    return *DescriptorPool::generated_pool();
}

struct FileRow {
    const char* name;
    std::vector<std::string> imports;
    std::vector<std::string> publicImports;
};

const std::vector<FileRow> kFiles = {
    {"nanopb.proto", {"google/protobuf/descriptor.proto"}, {}},
    {"sns_std_type.proto", {"nanopb.proto"}, {}},
    {"sns_std.proto", {"nanopb.proto", "sns_std_type.proto"}, {"sns_std_type.proto"}},
    {"sns_client.proto", {"nanopb.proto", "sns_std.proto", "sns_std_type.proto"}, {}},
    {"sns_suid.proto", {"nanopb.proto", "sns_std_type.proto"}, {}},
    {"sns_std_sensor.proto", {"nanopb.proto"}, {}},
    {"sns_std_event_gated_sensor.proto", {"nanopb.proto", "sns_std_sensor.proto"}, {}},
    {"sns_cal.proto", {"nanopb.proto", "sns_std_sensor.proto"}, {}},
    {"sns_physical_sensor_test.proto", {"nanopb.proto"}, {}},
    {"sns_proximity.proto",
     {"nanopb.proto", "sns_std_sensor.proto", "sns_physical_sensor_test.proto", "sns_cal.proto"},
     {}},
};

// Every message of every sensor file, nested ones included.
std::vector<const Descriptor*> AllMessages() {
    std::vector<const Descriptor*> all;
    std::function<void(const Descriptor*)> add = [&](const Descriptor* message) {
        all.push_back(message);
        for (int i = 0; i < message->nested_type_count(); ++i) {
            add(message->nested_type(i));
        }
    };
    for (const auto& row : kFiles) {
        const FileDescriptor* file = Pool().FindFileByName(row.name);
        if (file == nullptr || file->name() == "nanopb.proto") {
            continue;
        }
        for (int i = 0; i < file->message_type_count(); ++i) {
            add(file->message_type(i));
        }
    }
    return all;
}

// The declared default of a field as the schema spells it.
std::string DefaultText(const FieldDescriptor& field) {
    switch (field.cpp_type()) {
    case FieldDescriptor::CPPTYPE_UINT64:
        return std::to_string(field.default_value_uint64());
    case FieldDescriptor::CPPTYPE_BOOL:
        return field.default_value_bool() ? "true" : "false";
    case FieldDescriptor::CPPTYPE_ENUM:
        return field.default_value_enum()->name();
    default:
        return "<unexpected default>";
    }
}

TEST(SchemaDescriptors, EveryFileIsRegisteredAsProto2WithoutPackageAndItsImports) {
    for (const auto& row : kFiles) {
        SCOPED_TRACE(row.name);
        const FileDescriptor* file = Pool().FindFileByName(row.name);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->syntax(), FileDescriptor::SYNTAX_PROTO2);
        EXPECT_EQ(file->package(), "");
        std::vector<std::string> imports;
        for (int i = 0; i < file->dependency_count(); ++i) {
            imports.push_back(file->dependency(i)->name());
        }
        EXPECT_EQ(imports, row.imports);
        std::vector<std::string> publicImports;
        for (int i = 0; i < file->public_dependency_count(); ++i) {
            publicImports.push_back(file->public_dependency(i)->name());
        }
        EXPECT_EQ(publicImports, row.publicImports);
    }
}

// What a message of the exchange needs before it parses; an empty one names
// exactly these as missing.
TEST(SchemaDescriptors, TheExchangedMessagesRequireTheirFields) {
    const std::pair<const char*, const char*> required[] = {
        {"sns_std_suid", "suid_low, suid_high"},
        {"sns_std_request", ""},
        {"sns_std_request.batch_spec", "batch_period"},
        {"sns_std_attr_req", ""},
        {"sns_std_error_event", "error"},
        {"sns_client_request_msg", "suid, msg_id, susp_config, request"},
        {"sns_client_request_msg.suspend_config", "client_proc_type, delivery_type"},
        {"sns_client_event_msg", "suid"},
        {"sns_client_event_msg.sns_client_event", "msg_id, timestamp, payload"},
        {"sns_suid_req", "data_type"},
        {"sns_suid_event", "data_type"},
        {"sns_std_sensor_event", "status"},
    };
    for (const auto& [name, missing] : required) {
        const Descriptor* type = Pool().FindMessageTypeByName(name);
        ASSERT_NE(type, nullptr) << name;
        std::unique_ptr<Message> empty(
            google::protobuf::MessageFactory::generated_factory()->GetPrototype(type)->New());
        EXPECT_EQ(empty->InitializationErrorString(), missing) << name;
    }
}

// Every default the sensor files declare. The hub writes and expects repeated
// numbers one key per element: nothing is packed.
TEST(SchemaDescriptors, EveryDeclaredDefault) {
    const char* const kUnreliable = "SNS_STD_SENSOR_SAMPLE_STATUS_UNRELIABLE";
    const char* const kLookupSuid = "12370169555311111083"; // 0xABABABABABABABAB
    const std::map<std::string, std::string> defaults = {
        {"sns_std_request.is_passive", "false"},
        {"sns_std_request.batch_spec.flush_only", "false"},
        {"sns_std_request.batch_spec.max_batch", "false"},
        {"sns_client_request_msg.suspend_config.client_proc_type", "SNS_STD_CLIENT_PROCESSOR_APSS"},
        {"sns_client_request_msg.suspend_config.delivery_type", "SNS_CLIENT_DELIVERY_WAKEUP"},
        {"sns_suid_sensor.suid_low", kLookupSuid},
        {"sns_suid_sensor.suid_high", kLookupSuid},
        {"sns_suid_req.default_only", "true"},
        {"sns_std_sensor_event.status", kUnreliable},
        {"sns_cal_event.status", kUnreliable},
        {"sns_physical_sensor_test_event.test_passed", "true"},
        {"sns_physical_sensor_test_event.test_type", "SNS_PHYSICAL_SENSOR_TEST_TYPE_COM"},
        {"sns_proximity_event.proximity_event_type", "SNS_PROXIMITY_EVENT_TYPE_FAR"},
        {"sns_proximity_event.status", kUnreliable},
        {"sns_proximity_event_recurrent.proximity_event_type", "SNS_PROXIMITY_EVENT_TYPE_FAR"},
        {"sns_proximity_event_recurrent.status", kUnreliable},
    };
    std::size_t declared = 0;
    for (const Descriptor* message : AllMessages()) {
        for (int i = 0; i < message->field_count(); ++i) {
            const FieldDescriptor& field = *message->field(i);
            EXPECT_FALSE(field.is_packed()) << field.full_name();
            std::string expected;
            if (auto it = defaults.find(field.full_name()); it != defaults.end()) {
                expected = it->second;
                ++declared;
            }
            EXPECT_EQ(field.has_default_value(), !expected.empty()) << field.full_name();
            if (field.has_default_value()) {
                EXPECT_EQ(DefaultText(field), expected) << field.full_name();
            }
        }
    }
    EXPECT_EQ(declared, defaults.size());
}

// The message ids the driver and the hub exchange, and the enum values they
// write into the envelopes. Ids are only unique per sensor type: 768 is both.
TEST(SchemaDescriptors, TheNumbersOfTheExchange) {
    const std::pair<const char*, int> values[] = {
        {"SNS_STD_MSGID_SNS_STD_ATTR_REQ", 1},
        {"SNS_SUID_MSGID_SNS_SUID_REQ", 512},
        {"SNS_STD_SENSOR_MSGID_SNS_STD_ON_CHANGE_CONFIG", 514},
        {"SNS_STD_MSGID_SNS_STD_ERROR_EVENT", 130},
        {"SNS_SUID_MSGID_SNS_SUID_EVENT", 768},
        {"SNS_STD_SENSOR_MSGID_SNS_STD_SENSOR_PHYSICAL_CONFIG_EVENT", 768},
        {"SNS_STD_SENSOR_MSGID_SNS_STD_SENSOR_EVENT", 1025},
    };
    // The pool builds a file on first use; a value alone does not make it.
    for (const auto& row : kFiles) {
        ASSERT_NE(Pool().FindFileByName(row.name), nullptr);
    }
    for (const auto& [name, number] : values) {
        const auto* value = Pool().FindEnumValueByName(name);
        ASSERT_NE(value, nullptr) << name;
        EXPECT_EQ(value->number(), number) << name;
    }
}

} // namespace
