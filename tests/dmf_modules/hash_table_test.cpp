// HashTable on a device: the default hash, inserts and finds within the fixed
// capacity, enumeration in insertion order.
#include "dmf/modules/Dmf_HashTable.h"
#include "platform/sim/wdf_control.h"
#include "tests/dmf_modules/module_device.h"

#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace moduletest {
namespace {

const UCHAR* Bytes(const std::string& text) {
    return reinterpret_cast<const UCHAR*>(text.data());
}

TEST(HashTableHashTest, DefaultHashIsFnv1a64) {
    const std::pair<std::string, ULONGLONG> vectors[] = {{"", 0xCBF29CE484222325ull},
                                                         {"a", 0xAF63DC4C8601EC8Cull},
                                                         {"foobar", 0x85944171F73967E8ull}};
    for (const auto& [key, hash] : vectors) {
        EXPECT_EQ(hash, DMF_HashTable_DefaultHashCalculate(Bytes(key), ULONG(key.size()))) << key;
    }
}

ULONGLONG OneSlotForAll(const UCHAR*, ULONG) {
    return 7;
}

DMF_CONFIG_HashTable Table(ULONG keyLength, ULONG tableSize,
                           EVT_DMF_HashTable_HashCalculate* hash = nullptr) {
    return DMF_CONFIG_HashTable{keyLength, 5, tableSize, hash};
}

// "value", or "status length" when the find fails.
std::string Find(DMFMODULE table, const std::string& key, ULONG bufferLength = 5) {
    UCHAR value[5] = {};
    ULONG length = 0;
    NTSTATUS status =
        DMF_HashTable_Find(table, Bytes(key), ULONG(key.size()), value, bufferLength, &length);
    return NT_SUCCESS(status) ? std::string(reinterpret_cast<char*>(value), length)
                              : std::to_string(status) + " " + std::to_string(length);
}

// Collects "key=value" while fewer than `limit` were seen.
BOOLEAN Collect(DMFMODULE, const UCHAR* Key, ULONG KeyLength, UCHAR* Value, ULONG ValueLength,
                PVOID Context) {
    auto* seen = static_cast<std::pair<std::vector<std::string>, size_t>*>(Context);
    seen->first.push_back(std::string(reinterpret_cast<const char*>(Key), KeyLength) + "=" +
                          std::string(reinterpret_cast<char*>(Value), ValueLength));
    return seen->first.size() < seen->second;
}

using HashTableTest = ModuleTest;

// One table hashes by FNV-1a, the other chains every key through one slot.
TEST_F(HashTableTest, InsertsFindsAndEnumeratesInInsertionOrderWithinCapacity) {
    sim::wdf::SetPoisonNewMemory(true);
    Add(DMF_HashTable_Create, Table(8, 3));
    Add(DMF_HashTable_Create, Table(8, 3, OneSlotForAll));
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    for (DMFMODULE table : {Module(0), Module(1)}) {
        const std::tuple<std::string, std::string, NTSTATUS> inserts[] = {
            {"one", "1", STATUS_SUCCESS},
            {"two", "22", STATUS_SUCCESS},
            {"three", "333", STATUS_SUCCESS},
            {"two", "2", STATUS_SUCCESS},
            {"four", "4", STATUS_INSUFFICIENT_RESOURCES},
            {"", "0", STATUS_INVALID_PARAMETER},
            {"ninechars", "9", STATUS_INVALID_PARAMETER},
            {"five", "666666", STATUS_INVALID_PARAMETER}};
        for (const auto& [key, value, status] : inserts) {
            EXPECT_EQ(status, DMF_HashTable_Insert(table, Bytes(key), ULONG(key.size()),
                                                   Bytes(value), ULONG(value.size())))
                << key;
        }
        EXPECT_EQ("1 2 333",
                  Find(table, "one") + " " + Find(table, "two") + " " + Find(table, "three"));
        EXPECT_EQ(std::to_string(STATUS_NOT_FOUND) + " 0", Find(table, "four"));
        EXPECT_EQ(std::to_string(STATUS_BUFFER_TOO_SMALL) + " 3", Find(table, "three", 2));

        std::pair<std::vector<std::string>, size_t> all{{}, 10}, first{{}, 1};
        DMF_HashTable_Enumerate(table, Collect, &all);
        DMF_HashTable_Enumerate(table, Collect, &first);
        EXPECT_EQ((std::vector<std::string>{"one=1", "two=2", "three=333"}), all.first);
        EXPECT_EQ((std::vector<std::string>{"one=1"}), first.first);
    }
}

} // namespace
} // namespace moduletest
