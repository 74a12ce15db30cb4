// Loading a library built like the driver registers every schema file with the
// runtime's generated pool, including the files that library never uses.

#include <google/protobuf/descriptor.h>
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstddef>
#include <string>

namespace {

using google::protobuf::DescriptorPool;

const char* const kSchemaFiles[] = {
    "nanopb.proto",
    "sns_std_type.proto",
    "sns_std.proto",
    "sns_client.proto",
    "sns_suid.proto",
    "sns_std_sensor.proto",
    "sns_std_event_gated_sensor.proto",
    "sns_cal.proto",
    "sns_physical_sensor_test.proto",
    "sns_proximity.proto",
};

TEST(SchemaRegistrationAtLoad, LoadingTheLibraryRegistersEveryFile) {
    const DescriptorPool& pool = *DescriptorPool::generated_pool();
    for (const char* file : kSchemaFiles) {
        ASSERT_EQ(pool.FindFileByName(file), nullptr) << file << " registered before the load";
    }

    // Registered descriptors cannot be withdrawn, so the library stays loaded.
    void* module = dlopen(SCHEMA_PROBE_MODULE, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    ASSERT_NE(module, nullptr) << dlerror();

    for (const char* file : kSchemaFiles) {
        EXPECT_NE(pool.FindFileByName(file), nullptr) << file;
    }

    using Entry = std::size_t (*)(char*, std::size_t);
    auto entry = reinterpret_cast<Entry>(dlsym(module, "ProbeEntry"));
    ASSERT_NE(entry, nullptr);
    char wire[64];
    const std::size_t size = entry(wire, sizeof wire);
    ASSERT_LE(size, sizeof wire);
    // msg_id 10 as fixed32 follows the 20-byte SUID field.
    ASSERT_GE(size, 25u);
    EXPECT_EQ(std::string(wire + 20, 5), std::string("\x15\x0A\x00\x00\x00", 5));
}

} // namespace
