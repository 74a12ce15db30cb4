// Malformed text in a string field must be diagnosed, naming the field, both
// when the driver writes it and when the hub sends it, in every build.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <google/protobuf/stubs/logging.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using google::protobuf::Message;

std::vector<std::string> gDiagnostics;

void Record(google::protobuf::LogLevel level, const char*, int, const std::string& message) {
    if (level >= google::protobuf::LOGLEVEL_ERROR) {
        gDiagnostics.push_back(message);
    }
}

bool Diagnosed(const std::string& field, const std::string& operation) {
    for (const auto& d : gDiagnostics) {
        if (d.find("'" + field + "'") != std::string::npos &&
            d.find("invalid UTF-8") != std::string::npos &&
            d.find(operation) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::unique_ptr<Message> New(const std::string& type) {
    const auto* descriptor =
        google::protobuf::DescriptorPool::generated_pool()->FindMessageTypeByName(type);
    EXPECT_NE(descriptor, nullptr) << type;
    return std::unique_ptr<Message>(
        google::protobuf::MessageFactory::generated_factory()->GetPrototype(descriptor)->New());
}

TEST(Utf8Diagnostics, InvalidTextIsReportedWithTheFieldsFullNameWhenWrittenAndWhenRead) {
    // Every string field of the schemas.
    const std::pair<const char*, const char*> stringFields[] = {
        {"sns_suid_req", "data_type"},
        {"sns_suid_event", "data_type"},
        {"sns_std_attr_value.data", "str"},
        {"sns_std_sensor_physical_config_event", "operation_mode"},
    };
    const std::string invalid = "SA\xC3\x28R"; // a lead byte followed by a non-continuation
    struct Restore {
        google::protobuf::LogHandler* previous;
        ~Restore() { google::protobuf::SetLogHandler(previous); }
    } restore{google::protobuf::SetLogHandler(&Record)};
    for (const auto& [type, name] : stringFields) {
        const std::string fullName = std::string(type) + "." + name;
        SCOPED_TRACE(fullName);
        gDiagnostics.clear();

        auto written = New(type);
        const auto* field = written->GetDescriptor()->FindFieldByName(name);
        ASSERT_NE(field, nullptr);
        written->GetReflection()->SetString(written.get(), field, invalid);
        std::string wire;
        ASSERT_TRUE(written->SerializePartialToString(&wire));
        EXPECT_TRUE(Diagnosed(fullName, "serializing"));

        // The text is diagnosed, not dropped: proto2 keeps what arrived.
        auto read = New(type);
        ASSERT_TRUE(read->ParsePartialFromString(wire));
        EXPECT_TRUE(Diagnosed(fullName, "parsing"));
        EXPECT_EQ(read->GetReflection()->GetString(*read, field), invalid);
    }
}

} // namespace
