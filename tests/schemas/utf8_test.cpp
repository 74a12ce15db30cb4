// Malformed text in a string field must be diagnosed, naming the field, both
// when the driver writes it and when the hub sends it.

#include "sns_std_sensor.pb.h"
#include "sns_std_type.pb.h"
#include "sns_suid.pb.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <google/protobuf/stubs/logging.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using google::protobuf::DescriptorPool;
using google::protobuf::LogLevel;
using google::protobuf::Message;
using google::protobuf::MessageFactory;

std::vector<std::string>& Diagnostics() {
    static std::vector<std::string> diagnostics;
    return diagnostics;
}

void Record(LogLevel level, const char*, int, const std::string& message) {
    if (level >= google::protobuf::LOGLEVEL_ERROR) {
        Diagnostics().push_back(message);
    }
}

class Utf8Diagnostics : public ::testing::Test {
protected:
    void SetUp() override {
        Diagnostics().clear();
        mPrevious = google::protobuf::SetLogHandler(&Record);
    }
    void TearDown() override { google::protobuf::SetLogHandler(mPrevious); }

    static std::unique_ptr<Message> New(const std::string& type) {
        const auto* descriptor = DescriptorPool::generated_pool()->FindMessageTypeByName(type);
        EXPECT_NE(descriptor, nullptr) << type;
        return std::unique_ptr<Message>(
            MessageFactory::generated_factory()->GetPrototype(descriptor)->New());
    }

    static bool Diagnosed(const std::string& field, const std::string& operation) {
        for (const auto& d : Diagnostics()) {
            if (d.find("'" + field + "'") != std::string::npos &&
                d.find("invalid UTF-8") != std::string::npos &&
                d.find(operation) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    google::protobuf::LogHandler* mPrevious = nullptr;
};

// Every string field of the schemas, by its full name.
const std::pair<const char*, const char*> kStringFields[] = {
    {"sns_suid_req", "data_type"},
    {"sns_suid_event", "data_type"},
    {"sns_std_attr_value.data", "str"},
    {"sns_std_sensor_physical_config_event", "operation_mode"},
};

const std::string kInvalid = "SA\xC3\x28R"; // a lead byte followed by a non-continuation

TEST_F(Utf8Diagnostics, InvalidTextIsReportedWithTheFieldsFullNameWhenWrittenAndWhenRead) {
    for (const auto& [type, name] : kStringFields) {
        const std::string fullName = std::string(type) + "." + name;
        SCOPED_TRACE(fullName);
        Diagnostics().clear();

        auto written = New(type);
        const auto* field = written->GetDescriptor()->FindFieldByName(name);
        ASSERT_NE(field, nullptr);
        written->GetReflection()->SetString(written.get(), field, kInvalid);
        std::string wire;
        ASSERT_TRUE(written->SerializePartialToString(&wire));
        EXPECT_TRUE(Diagnosed(fullName, "serializing"));

        // The text is diagnosed, not dropped: proto2 keeps what arrived.
        auto read = New(type);
        ASSERT_TRUE(read->ParsePartialFromString(wire));
        EXPECT_TRUE(Diagnosed(fullName, "parsing"));
        EXPECT_EQ(read->GetReflection()->GetString(*read, field), kInvalid);
    }
}

TEST_F(Utf8Diagnostics, ValidTextIsNotReported) {
    sns_suid_req req;
    req.set_data_type("proximit\xC3\xA9"); // two-byte sequence
    sns_suid_req parsed;
    ASSERT_TRUE(parsed.ParseFromString(req.SerializeAsString()));
    EXPECT_EQ(parsed.data_type(), req.data_type());
    EXPECT_TRUE(Diagnostics().empty());
}

} // namespace
