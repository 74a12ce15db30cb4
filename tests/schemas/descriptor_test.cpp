// The schemas as the runtime sees them after load. This file deliberately uses
// no generated class: everything is looked up by name in the generated pool,
// so the tests also show that files nobody references were registered.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/message.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::EnumDescriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;
using google::protobuf::Message;

const DescriptorPool& Pool() {
    return *DescriptorPool::generated_pool();
}

constexpr auto REQ = FieldDescriptor::LABEL_REQUIRED;
constexpr auto OPT = FieldDescriptor::LABEL_OPTIONAL;
constexpr auto REP = FieldDescriptor::LABEL_REPEATED;

struct FieldRow {
    const char* message;
    int number;
    const char* name;
    FieldDescriptor::Label label;
    FieldDescriptor::Type type;
    const char* typeName;     // message or enum type, "" for scalars
    const char* defaultValue; // nullptr when the schema declares none
};

#define F(t) FieldDescriptor::TYPE_##t

// Every field of every message, as the message definitions give them.
// clang-format off
const std::vector<FieldRow> kFields = {
    {"NanoPBOptions", 1, "max_size", OPT, F(INT32), "", nullptr},
    {"NanoPBOptions", 14, "max_length", OPT, F(INT32), "", nullptr},
    {"NanoPBOptions", 2, "max_count", OPT, F(INT32), "", nullptr},
    {"NanoPBOptions", 7, "int_size", OPT, F(ENUM), "IntSize", "IS_DEFAULT"},
    {"NanoPBOptions", 3, "type", OPT, F(ENUM), "FieldType", "FT_DEFAULT"},
    {"NanoPBOptions", 4, "long_names", OPT, F(BOOL), "", "true"},
    {"NanoPBOptions", 5, "packed_struct", OPT, F(BOOL), "", "false"},
    {"NanoPBOptions", 10, "packed_enum", OPT, F(BOOL), "", "false"},
    {"NanoPBOptions", 6, "skip_message", OPT, F(BOOL), "", "false"},
    {"NanoPBOptions", 8, "no_unions", OPT, F(BOOL), "", "false"},
    {"NanoPBOptions", 9, "msgid", OPT, F(UINT32), "", nullptr},
    {"NanoPBOptions", 11, "anonymous_oneof", OPT, F(BOOL), "", "false"},
    {"NanoPBOptions", 12, "proto3", OPT, F(BOOL), "", "false"},
    {"NanoPBOptions", 13, "enum_to_string", OPT, F(BOOL), "", "false"},
    {"NanoPBOptions", 15, "fixed_length", OPT, F(BOOL), "", "false"},
    {"NanoPBOptions", 16, "fixed_count", OPT, F(BOOL), "", "false"},
    {"NanoPBOptions", 17, "mangle_names", OPT, F(ENUM), "TypenameMangling", "M_NONE"},

    {"sns_std_suid", 1, "suid_low", REQ, F(FIXED64), "", nullptr},
    {"sns_std_suid", 2, "suid_high", REQ, F(FIXED64), "", nullptr},
    {"sns_std_attr_value", 1, "values", REP, F(MESSAGE), "sns_std_attr_value.data", nullptr},
    {"sns_std_attr_value.data", 1, "subtype", OPT, F(MESSAGE), "sns_std_attr_value", nullptr},
    {"sns_std_attr_value.data", 2, "str", OPT, F(STRING), "", nullptr},
    {"sns_std_attr_value.data", 3, "flt", OPT, F(FLOAT), "", nullptr},
    {"sns_std_attr_value.data", 4, "sint", OPT, F(SFIXED64), "", nullptr},
    {"sns_std_attr_value.data", 5, "boolean", OPT, F(BOOL), "", nullptr},
    {"sns_std_attr", 1, "attr_id", REQ, F(INT32), "", nullptr},
    {"sns_std_attr", 2, "value", REQ, F(MESSAGE), "sns_std_attr_value", nullptr},

    {"sns_std_request", 1, "batching", OPT, F(MESSAGE), "sns_std_request.batch_spec", nullptr},
    {"sns_std_request", 2, "payload", OPT, F(BYTES), "", nullptr},
    {"sns_std_request", 3, "is_passive", OPT, F(BOOL), "", "false"},
    {"sns_std_request.batch_spec", 1, "batch_period", REQ, F(UINT32), "", nullptr},
    {"sns_std_request.batch_spec", 2, "flush_period", OPT, F(UINT32), "", nullptr},
    {"sns_std_request.batch_spec", 3, "flush_only", OPT, F(BOOL), "", "false"},
    {"sns_std_request.batch_spec", 4, "max_batch", OPT, F(BOOL), "", "false"},
    {"sns_std_attr_req", 2, "register_updates", OPT, F(BOOL), "", nullptr},
    {"sns_std_attr_event", 1, "attributes", REP, F(MESSAGE), "sns_std_attr", nullptr},
    {"sns_std_error_event", 1, "error", REQ, F(ENUM), "sns_std_error", nullptr},

    {"sns_client_request_msg", 1, "suid", REQ, F(MESSAGE), "sns_std_suid", nullptr},
    {"sns_client_request_msg", 2, "msg_id", REQ, F(FIXED32), "", nullptr},
    {"sns_client_request_msg", 3, "susp_config", REQ, F(MESSAGE), "sns_client_request_msg.suspend_config", nullptr},
    {"sns_client_request_msg", 4, "request", REQ, F(MESSAGE), "sns_std_request", nullptr},
    {"sns_client_request_msg.suspend_config", 1, "client_proc_type", REQ, F(ENUM), "sns_std_client_processor", "SNS_STD_CLIENT_PROCESSOR_APSS"},
    {"sns_client_request_msg.suspend_config", 2, "delivery_type", REQ, F(ENUM), "sns_client_delivery", "SNS_CLIENT_DELIVERY_WAKEUP"},
    {"sns_client_request_msg.suspend_config", 3, "nowakeup_msg_ids", REP, F(FIXED32), "", nullptr},
    {"sns_client_event_msg", 1, "suid", REQ, F(MESSAGE), "sns_std_suid", nullptr},
    {"sns_client_event_msg", 2, "events", REP, F(MESSAGE), "sns_client_event_msg.sns_client_event", nullptr},
    {"sns_client_event_msg.sns_client_event", 1, "msg_id", REQ, F(FIXED32), "", nullptr},
    {"sns_client_event_msg.sns_client_event", 2, "timestamp", REQ, F(FIXED64), "", nullptr},
    {"sns_client_event_msg.sns_client_event", 3, "payload", REQ, F(BYTES), "", nullptr},

    {"sns_suid_sensor", 1, "suid_low", REQ, F(FIXED64), "", "12370169555311111083"},
    {"sns_suid_sensor", 2, "suid_high", REQ, F(FIXED64), "", "12370169555311111083"},
    {"sns_suid_req", 1, "data_type", REQ, F(STRING), "", nullptr},
    {"sns_suid_req", 2, "register_updates", OPT, F(BOOL), "", nullptr},
    {"sns_suid_req", 3, "default_only", OPT, F(BOOL), "", "true"},
    {"sns_suid_event", 1, "data_type", REQ, F(STRING), "", nullptr},
    {"sns_suid_event", 2, "suid", REP, F(MESSAGE), "sns_std_suid", nullptr},

    {"sns_std_sensor_config", 1, "sample_rate", REQ, F(FLOAT), "", nullptr},
    {"sns_std_sensor_event", 1, "data", REP, F(FLOAT), "", nullptr},
    {"sns_std_sensor_event", 2, "status", REQ, F(ENUM), "sns_std_sensor_sample_status", "SNS_STD_SENSOR_SAMPLE_STATUS_UNRELIABLE"},
    {"sns_std_sensor_config_event", 1, "sample_rate", REQ, F(FLOAT), "", nullptr},
    {"sns_std_sensor_physical_config_event", 1, "sample_rate", OPT, F(FLOAT), "", nullptr},
    {"sns_std_sensor_physical_config_event", 2, "water_mark", OPT, F(UINT32), "", nullptr},
    {"sns_std_sensor_physical_config_event", 3, "range", REP, F(FLOAT), "", nullptr},
    {"sns_std_sensor_physical_config_event", 4, "resolution", OPT, F(FLOAT), "", nullptr},
    {"sns_std_sensor_physical_config_event", 5, "operation_mode", OPT, F(STRING), "", nullptr},
    {"sns_std_sensor_physical_config_event", 6, "active_current", OPT, F(UINT32), "", nullptr},
    {"sns_std_sensor_physical_config_event", 7, "stream_is_synchronous", OPT, F(BOOL), "", nullptr},
    {"sns_std_sensor_physical_config_event", 8, "dri_enabled", OPT, F(BOOL), "", nullptr},
    {"sns_std_sensor_physical_config_event", 9, "DAE_watermark", OPT, F(UINT32), "", nullptr},
    {"sns_std_sensor_physical_config_event", 10, "sync_ts_anchor", OPT, F(UINT64), "", nullptr},

    {"sns_cal_event", 1, "bias", REP, F(FLOAT), "", nullptr},
    {"sns_cal_event", 2, "scale_factor", REP, F(FLOAT), "", nullptr},
    {"sns_cal_event", 3, "comp_matrix", REP, F(FLOAT), "", nullptr},
    {"sns_cal_event", 4, "status", REQ, F(ENUM), "sns_std_sensor_sample_status", "SNS_STD_SENSOR_SAMPLE_STATUS_UNRELIABLE"},
    {"sns_cal_event", 5, "cal_id", OPT, F(FIXED32), "", nullptr},

    {"sns_physical_sensor_test_config", 1, "test_type", REQ, F(ENUM), "sns_physical_sensor_test_type", nullptr},
    {"sns_physical_sensor_test_event", 1, "test_passed", REQ, F(BOOL), "", "true"},
    {"sns_physical_sensor_test_event", 2, "test_type", REQ, F(ENUM), "sns_physical_sensor_test_type", "SNS_PHYSICAL_SENSOR_TEST_TYPE_COM"},
    {"sns_physical_sensor_test_event", 3, "test_data", OPT, F(BYTES), "", nullptr},

    {"sns_proximity_event", 1, "proximity_event_type", REQ, F(ENUM), "sns_proximity_event_type", "SNS_PROXIMITY_EVENT_TYPE_FAR"},
    {"sns_proximity_event", 2, "raw_adc", REQ, F(UINT32), "", nullptr},
    {"sns_proximity_event", 3, "status", REQ, F(ENUM), "sns_std_sensor_sample_status", "SNS_STD_SENSOR_SAMPLE_STATUS_UNRELIABLE"},
    {"sns_proximity_event_recurrent", 1, "proximity_event_type", REQ, F(ENUM), "sns_proximity_event_type", "SNS_PROXIMITY_EVENT_TYPE_FAR"},
    {"sns_proximity_event_recurrent", 2, "raw_adc", REQ, F(UINT32), "", nullptr},
    {"sns_proximity_event_recurrent", 3, "status", REQ, F(ENUM), "sns_std_sensor_sample_status", "SNS_STD_SENSOR_SAMPLE_STATUS_UNRELIABLE"},
};
// clang-format on

#undef F

// The file each message is defined in.
const std::map<std::string, std::string> kMessageFiles = {
    {"NanoPBOptions", "nanopb.proto"},
    {"sns_std_suid", "sns_std_type.proto"},
    {"sns_std_attr_value", "sns_std_type.proto"},
    {"sns_std_attr_value.data", "sns_std_type.proto"},
    {"sns_std_attr", "sns_std_type.proto"},
    {"sns_std_request", "sns_std.proto"},
    {"sns_std_request.batch_spec", "sns_std.proto"},
    {"sns_std_attr_req", "sns_std.proto"},
    {"sns_std_attr_event", "sns_std.proto"},
    {"sns_std_error_event", "sns_std.proto"},
    {"sns_client_request_msg", "sns_client.proto"},
    {"sns_client_request_msg.suspend_config", "sns_client.proto"},
    {"sns_client_event_msg", "sns_client.proto"},
    {"sns_client_event_msg.sns_client_event", "sns_client.proto"},
    {"sns_suid_sensor", "sns_suid.proto"},
    {"sns_suid_req", "sns_suid.proto"},
    {"sns_suid_event", "sns_suid.proto"},
    {"sns_std_sensor_config", "sns_std_sensor.proto"},
    {"sns_std_sensor_event", "sns_std_sensor.proto"},
    {"sns_std_sensor_config_event", "sns_std_sensor.proto"},
    {"sns_std_sensor_physical_config_event", "sns_std_sensor.proto"},
    {"sns_cal_event", "sns_cal.proto"},
    {"sns_physical_sensor_test_config", "sns_physical_sensor_test.proto"},
    {"sns_physical_sensor_test_event", "sns_physical_sensor_test.proto"},
    {"sns_proximity_event", "sns_proximity.proto"},
    {"sns_proximity_event_recurrent", "sns_proximity.proto"},
};

struct EnumRow {
    const char* name;
    const char* file;
    std::vector<std::pair<std::string, int>> values; // in declaration order
};

// clang-format off
const std::vector<EnumRow> kEnums = {
    {"FieldType", "nanopb.proto", {{"FT_DEFAULT", 0}, {"FT_CALLBACK", 1}, {"FT_POINTER", 4}, {"FT_STATIC", 2},
        {"FT_IGNORE", 3}, {"FT_INLINE", 5}}},
    {"IntSize", "nanopb.proto", {{"IS_DEFAULT", 0}, {"IS_8", 8}, {"IS_16", 16}, {"IS_32", 32}, {"IS_64", 64}}},
    {"TypenameMangling", "nanopb.proto", {{"M_NONE", 0}, {"M_STRIP_PACKAGE", 1}, {"M_FLATTEN", 2}}},
    {"sns_std_error", "sns_std_type.proto", {{"SNS_STD_ERROR_NO_ERROR", 0}, {"SNS_STD_ERROR_FAILED", 1},
        {"SNS_STD_ERROR_NOT_SUPPORTED", 2}, {"SNS_STD_ERROR_INVALID_TYPE", 3}, {"SNS_STD_ERROR_INVALID_STATE", 4},
        {"SNS_STD_ERROR_INVALID_VALUE", 5}, {"SNS_STD_ERROR_NOT_AVAILABLE", 6}, {"SNS_STD_ERROR_POLICY", 7}}},
    {"sns_std_client_processor", "sns_std_type.proto", {{"SNS_STD_CLIENT_PROCESSOR_SHC", 0},
        {"SNS_STD_CLIENT_PROCESSOR_APSS", 1}, {"SNS_STD_CLIENT_PROCESSOR_ADSP", 2},
        {"SNS_STD_CLIENT_PROCESSOR_MDSP", 3}, {"SNS_STD_CLIENT_PROCESSOR_CDSP", 4}}},
    {"sns_std_msgid", "sns_std.proto", {{"SNS_STD_MSGID_SNS_STD_ATTR_REQ", 1}, {"SNS_STD_MSGID_SNS_STD_FLUSH_REQ", 2},
        {"SNS_STD_MSGID_SNS_STD_ATTR_EVENT", 128}, {"SNS_STD_MSGID_SNS_STD_FLUSH_EVENT", 129},
        {"SNS_STD_MSGID_SNS_STD_ERROR_EVENT", 130}}},
    {"sns_client_msgid", "sns_client.proto", {{"SNS_CLIENT_MSGID_SNS_CLIENT_DISABLE_REQ", 10}}},
    {"sns_client_delivery", "sns_client.proto", {{"SNS_CLIENT_DELIVERY_WAKEUP", 0},
        {"SNS_CLIENT_DELIVERY_NO_WAKEUP", 1}}},
    {"sns_suid_msgid", "sns_suid.proto", {{"SNS_SUID_MSGID_SNS_SUID_REQ", 512}, {"SNS_SUID_MSGID_SNS_SUID_EVENT", 768}}},
    {"sns_std_sensor_msgid", "sns_std_sensor.proto", {{"SNS_STD_SENSOR_MSGID_SNS_STD_SENSOR_CONFIG", 513},
        {"SNS_STD_SENSOR_MSGID_SNS_STD_ON_CHANGE_CONFIG", 514},
        {"SNS_STD_SENSOR_MSGID_SNS_STD_SENSOR_PHYSICAL_CONFIG_EVENT", 768},
        {"SNS_STD_SENSOR_MSGID_SNS_STD_SENSOR_EVENT", 1025}}},
    {"sns_std_sensor_sample_status", "sns_std_sensor.proto", {{"SNS_STD_SENSOR_SAMPLE_STATUS_UNRELIABLE", 0},
        {"SNS_STD_SENSOR_SAMPLE_STATUS_ACCURACY_LOW", 1}, {"SNS_STD_SENSOR_SAMPLE_STATUS_ACCURACY_MEDIUM", 2},
        {"SNS_STD_SENSOR_SAMPLE_STATUS_ACCURACY_HIGH", 3}}},
    {"sns_std_sensor_attr_id", "sns_std_sensor.proto", {{"SNS_STD_SENSOR_ATTRID_NAME", 0},
        {"SNS_STD_SENSOR_ATTRID_VENDOR", 1}, {"SNS_STD_SENSOR_ATTRID_TYPE", 2}, {"SNS_STD_SENSOR_ATTRID_AVAILABLE", 3},
        {"SNS_STD_SENSOR_ATTRID_VERSION", 4}, {"SNS_STD_SENSOR_ATTRID_API", 5}, {"SNS_STD_SENSOR_ATTRID_RATES", 6},
        {"SNS_STD_SENSOR_ATTRID_RESOLUTIONS", 7}, {"SNS_STD_SENSOR_ATTRID_FIFO_SIZE", 8},
        {"SNS_STD_SENSOR_ATTRID_ACTIVE_CURRENT", 9}, {"SNS_STD_SENSOR_ATTRID_SLEEP_CURRENT", 10},
        {"SNS_STD_SENSOR_ATTRID_RANGES", 11}, {"SNS_STD_SENSOR_ATTRID_OP_MODES", 12},
        {"SNS_STD_SENSOR_ATTRID_DRI", 13}, {"SNS_STD_SENSOR_ATTRID_STREAM_SYNC", 14},
        {"SNS_STD_SENSOR_ATTRID_EVENT_SIZE", 15}, {"SNS_STD_SENSOR_ATTRID_STREAM_TYPE", 16},
        {"SNS_STD_SENSOR_ATTRID_DYNAMIC", 17}, {"SNS_STD_SENSOR_ATTRID_HW_ID", 18},
        {"SNS_STD_SENSOR_ATTRID_RIGID_BODY", 19}, {"SNS_STD_SENSOR_ATTRID_PLACEMENT", 20},
        {"SNS_STD_SENSOR_ATTRID_PHYSICAL_SENSOR", 21}, {"SNS_STD_SENSOR_ATTRID_PHYSICAL_SENSOR_TESTS", 22},
        {"SNS_STD_SENSOR_ATTRID_SELECTED_RESOLUTION", 23}, {"SNS_STD_SENSOR_ATTRID_SELECTED_RANGE", 24},
        {"SNS_STD_SENSOR_ATTRID_ADDITIONAL_LOW_LATENCY_RATES", 25}, {"SNS_STD_SENSOR_ATTRID_PASSIVE_REQUEST", 26},
        {"SNS_STD_SENSOR_ATTRID_DIRECT_CHANNEL_MAX_SAMPLE_RATE", 27},
        {"SNS_STD_SENSOR_ATTRID_DIRECT_CHANNEL_MAX_REPORT_RATE", 28}}},
    {"sns_std_sensor_stream_type", "sns_std_sensor.proto", {{"SNS_STD_SENSOR_STREAM_TYPE_STREAMING", 0},
        {"SNS_STD_SENSOR_STREAM_TYPE_ON_CHANGE", 1}, {"SNS_STD_SENSOR_STREAM_TYPE_SINGLE_OUTPUT", 2}}},
    {"sns_std_sensor_rigid_body_type", "sns_std_sensor.proto", {{"SNS_STD_SENSOR_RIGID_BODY_TYPE_DISPLAY", 0},
        {"SNS_STD_SENSOR_RIGID_BODY_TYPE_KEYBOARD", 1}, {"SNS_STD_SENSOR_RIGID_BODY_TYPE_EXTERNAL", 2}}},
    {"sns_std_event_gated_sensor_msgid", "sns_std_event_gated_sensor.proto", {{"SNS_STD_EVENT_GATED_SENSOR_MSGID_SNS_STD_SENSOR_CONFIG", 518},
        {"SNS_STD_EVENT_GATED_SENSOR_MSGID_GATED_REQ_CONVERTED_TO_NON_GATED", 772}}},
    {"sns_cal_msgid", "sns_cal.proto", {{"SNS_CAL_MSGID_SNS_CAL_RESET", 512}, {"SNS_CAL_MSGID_SNS_CAL_EVENT", 1022}}},
    {"sns_physical_sensor_test_msgid", "sns_physical_sensor_test.proto", {{"SNS_PHYSICAL_SENSOR_TEST_MSGID_SNS_PHYSICAL_SENSOR_TEST_CONFIG", 515},
        {"SNS_PHYSICAL_SENSOR_TEST_MSGID_SNS_PHYSICAL_SENSOR_TEST_EVENT", 1026}}},
    {"sns_physical_sensor_test_type", "sns_physical_sensor_test.proto", {{"SNS_PHYSICAL_SENSOR_TEST_TYPE_SW", 0},
        {"SNS_PHYSICAL_SENSOR_TEST_TYPE_HW", 1}, {"SNS_PHYSICAL_SENSOR_TEST_TYPE_FACTORY", 2},
        {"SNS_PHYSICAL_SENSOR_TEST_TYPE_COM", 3}}},
    {"sns_proximity_msgid", "sns_proximity.proto", {{"SNS_PROXIMITY_MSGID_SNS_PROXIMITY_EVENT", 769},
        {"SNS_PROXIMITY_MSGID_SNS_PROXIMITY_EVENT_RECURRENT", 1031}}},
    {"sns_proximity_event_type", "sns_proximity.proto", {{"SNS_PROXIMITY_EVENT_TYPE_FAR", 0},
        {"SNS_PROXIMITY_EVENT_TYPE_NEAR", 1}}},
};
// clang-format on

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

// The declared default of a field as the schema would spell it.
std::string DefaultText(const FieldDescriptor& field) {
    switch (field.cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32:
        return std::to_string(field.default_value_int32());
    case FieldDescriptor::CPPTYPE_INT64:
        return std::to_string(field.default_value_int64());
    case FieldDescriptor::CPPTYPE_UINT32:
        return std::to_string(field.default_value_uint32());
    case FieldDescriptor::CPPTYPE_UINT64:
        return std::to_string(field.default_value_uint64());
    case FieldDescriptor::CPPTYPE_BOOL:
        return field.default_value_bool() ? "true" : "false";
    case FieldDescriptor::CPPTYPE_ENUM:
        return field.default_value_enum()->name();
    case FieldDescriptor::CPPTYPE_STRING:
        return field.default_value_string();
    default:
        return "<unexpected default>";
    }
}

std::string TypeName(const FieldDescriptor& field) {
    if (field.message_type() != nullptr) {
        return field.message_type()->full_name();
    }
    if (field.enum_type() != nullptr) {
        return field.enum_type()->full_name();
    }
    return "";
}

// The nanopb options that a descriptor's options carry, read through the
// registered extension; nullptr when the options do not set them.
const Message* NanopbOptions(const Message& options, const char* extension) {
    const FieldDescriptor* ext = Pool().FindExtensionByName(extension);
    if (ext == nullptr) {
        return nullptr;
    }
    const auto* reflection = options.GetReflection();
    if (!reflection->HasField(options, ext)) {
        return nullptr;
    }
    return &reflection->GetMessage(options, ext);
}

template <typename T> T OptionValue(const Message& nanopb, const char* name);

template <> bool OptionValue<bool>(const Message& nanopb, const char* name) {
    return nanopb.GetReflection()->GetBool(nanopb, nanopb.GetDescriptor()->FindFieldByName(name));
}

template <> int OptionValue<int>(const Message& nanopb, const char* name) {
    return nanopb.GetReflection()->GetInt32(nanopb, nanopb.GetDescriptor()->FindFieldByName(name));
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

TEST(SchemaDescriptors, EveryFieldMatchesItsDefinition) {
    std::map<std::string, int> fieldsPerMessage;
    for (const auto& row : kFields) {
        SCOPED_TRACE(std::string(row.message) + "." + row.name);
        ++fieldsPerMessage[row.message];
        const Descriptor* message = Pool().FindMessageTypeByName(row.message);
        ASSERT_NE(message, nullptr);
        const FieldDescriptor* field = message->FindFieldByNumber(row.number);
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->name(), row.name);
        EXPECT_EQ(field->label(), row.label);
        EXPECT_EQ(field->type(), row.type);
        EXPECT_EQ(TypeName(*field), row.typeName);
        EXPECT_EQ(field->has_default_value(), row.defaultValue != nullptr);
        if (row.defaultValue != nullptr) {
            EXPECT_EQ(DefaultText(*field), row.defaultValue);
        }
        // The hub writes and expects repeated numbers one key per element.
        EXPECT_FALSE(field->is_packed());
    }

    EXPECT_EQ(fieldsPerMessage.size(), kMessageFiles.size());
    for (const auto& [name, file] : kMessageFiles) {
        SCOPED_TRACE(name);
        const Descriptor* message = Pool().FindMessageTypeByName(name);
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(message->file()->name(), file);
        EXPECT_EQ(message->field_count(), fieldsPerMessage[name]) << "fields not in the table";
    }
}

TEST(SchemaDescriptors, NoFileDefinesMessagesOrEnumsBeyondTheDefinitions) {
    std::set<std::string> enums;
    for (const auto& row : kEnums) {
        enums.insert(row.name);
    }
    for (const auto& row : kFiles) {
        SCOPED_TRACE(row.name);
        const FileDescriptor* file = Pool().FindFileByName(row.name);
        ASSERT_NE(file, nullptr);
        for (int i = 0; i < file->message_type_count(); ++i) {
            const Descriptor* message = file->message_type(i);
            EXPECT_EQ(kMessageFiles.count(message->full_name()), 1u) << message->full_name();
            for (int j = 0; j < message->nested_type_count(); ++j) {
                EXPECT_EQ(kMessageFiles.count(message->nested_type(j)->full_name()), 1u)
                    << message->nested_type(j)->full_name();
            }
            EXPECT_EQ(message->enum_type_count(), 0);
        }
        for (int i = 0; i < file->enum_type_count(); ++i) {
            EXPECT_EQ(enums.count(file->enum_type(i)->full_name()), 1u)
                << file->enum_type(i)->full_name();
        }
    }
}

TEST(SchemaDescriptors, EveryEnumHasItsValuesInDeclarationOrder) {
    for (const auto& row : kEnums) {
        SCOPED_TRACE(row.name);
        const EnumDescriptor* type = Pool().FindEnumTypeByName(row.name);
        ASSERT_NE(type, nullptr);
        EXPECT_EQ(type->file()->name(), row.file);
        std::vector<std::pair<std::string, int>> values;
        for (int i = 0; i < type->value_count(); ++i) {
            values.emplace_back(type->value(i)->name(), type->value(i)->number());
        }
        EXPECT_EQ(values, row.values);
        // Without a package, value names are global: each resolves on its own.
        for (const auto& [name, number] : row.values) {
            const auto* value = Pool().FindEnumValueByName(name);
            ASSERT_NE(value, nullptr) << name;
            EXPECT_EQ(value->type(), type);
            EXPECT_EQ(value->number(), number);
        }
    }
}

TEST(SchemaDescriptors, TheOneofOfAnAttributeValueHoldsAllFiveMembers) {
    const Descriptor* data = Pool().FindMessageTypeByName("sns_std_attr_value.data");
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(data->oneof_decl_count(), 1);
    const auto* value = data->oneof_decl(0);
    EXPECT_EQ(value->name(), "value");
    ASSERT_EQ(value->field_count(), 5);
    for (int i = 0; i < data->field_count(); ++i) {
        EXPECT_EQ(data->field(i)->containing_oneof(), value) << data->field(i)->name();
    }
}

TEST(SchemaDescriptors, TheFourNanopbExtensionsShareNumber1010) {
    const std::vector<std::pair<const char*, const char*>> extensions = {
        {"nanopb_fileopt", "google.protobuf.FileOptions"},
        {"nanopb_msgopt", "google.protobuf.MessageOptions"},
        {"nanopb_enumopt", "google.protobuf.EnumOptions"},
        {"nanopb", "google.protobuf.FieldOptions"},
    };
    const Descriptor* options = Pool().FindMessageTypeByName("NanoPBOptions");
    ASSERT_NE(options, nullptr);
    for (const auto& [name, extendee] : extensions) {
        SCOPED_TRACE(name);
        const FieldDescriptor* ext = Pool().FindExtensionByName(name);
        ASSERT_NE(ext, nullptr);
        EXPECT_TRUE(ext->is_extension());
        EXPECT_EQ(ext->number(), 1010);
        EXPECT_EQ(ext->label(), OPT);
        EXPECT_EQ(ext->message_type(), options);
        EXPECT_EQ(ext->containing_type()->full_name(), extendee);
        EXPECT_EQ(ext->file()->name(), "nanopb.proto");
        EXPECT_EQ(Pool().FindExtensionByNumber(ext->containing_type(), 1010), ext);
    }
}

TEST(SchemaOptions, EverySensorEnumTurnsLongNamesOff) {
    int sensorEnums = 0;
    for (const auto& row : kEnums) {
        const EnumDescriptor* type = Pool().FindEnumTypeByName(row.name);
        ASSERT_NE(type, nullptr);
        const Message* nanopb = NanopbOptions(type->options(), "nanopb_enumopt");
        if (std::string(row.file) == "nanopb.proto") {
            EXPECT_EQ(nanopb, nullptr) << row.name;
            continue;
        }
        ++sensorEnums;
        ASSERT_NE(nanopb, nullptr) << row.name;
        EXPECT_FALSE(OptionValue<bool>(*nanopb, "long_names")) << row.name;
    }
    EXPECT_EQ(sensorEnums, 17);
}

TEST(SchemaOptions, OnlyTheAttributeValueAndTheRangeCarryMessageAndFieldOptions) {
    for (const auto& [name, file] : kMessageFiles) {
        SCOPED_TRACE(name);
        const Descriptor* message = Pool().FindMessageTypeByName(name);
        ASSERT_NE(message, nullptr);
        const Message* messageOptions = NanopbOptions(message->options(), "nanopb_msgopt");
        if (name == "sns_std_attr_value.data") {
            ASSERT_NE(messageOptions, nullptr);
            EXPECT_TRUE(OptionValue<bool>(*messageOptions, "no_unions"));
        } else {
            EXPECT_EQ(messageOptions, nullptr);
        }
        for (int i = 0; i < message->field_count(); ++i) {
            const FieldDescriptor* field = message->field(i);
            const Message* fieldOptions = NanopbOptions(field->options(), "nanopb");
            if (field->full_name() == "sns_std_sensor_physical_config_event.range") {
                ASSERT_NE(fieldOptions, nullptr);
                EXPECT_EQ(OptionValue<int>(*fieldOptions, "max_count"), 2);
            } else {
                EXPECT_EQ(fieldOptions, nullptr) << field->full_name();
            }
        }
    }
    for (const auto& row : kFiles) {
        const FileDescriptor* file = Pool().FindFileByName(row.name);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(NanopbOptions(file->options(), "nanopb_fileopt"), nullptr) << row.name;
    }
}

} // namespace
