// The simulated SoC partition file service refuses records that break its
// format, so that the driver's tests, which require every request to be
// well-formed, notice a record the driver got wrong.
#include "platform/sim/partition_service.h"
#include "tests/support/MachineTest.h"

#include <cstring>
#include <functional>
#include <vector>

namespace {

namespace partition = sim::partition;
using Bytes = std::vector<std::uint8_t>;
using PartitionServiceTest = halvex::testing::MachineTest;

// A request as the table lays it out: DPP at 0, `name` at 88, `field` at 284.
Bytes Request(std::u16string_view name, std::uint32_t field) {
    Bytes bytes(296, 0);
    std::memcpy(bytes.data(), &partition::kDppGuid, 16);
    std::memcpy(bytes.data() + 16, u"DPP", 6);
    std::memcpy(bytes.data() + 88, name.data(), name.size() * 2);
    std::memcpy(bytes.data() + 284, &field, 4);
    return bytes;
}

TEST_F(PartitionServiceTest, RefusesMalformedRecordsAndNamesWhatWasWrong) {
    partition::Clear();
    struct Row {
        const char* what;
        bool read;
        std::function<void(Bytes&)> change;
        std::size_t replySize;
        NTSTATUS status;
    };
    const Row rows[] = {
        {"", false, [](Bytes&) {}, 296, STATUS_SUCCESS},
        {"request field 0", false, [](Bytes& b) { b[284] = 0; }, 296, STATUS_INVALID_PARAMETER},
        {"request field 10", true, [](Bytes& b) { b[284] = 10; }, 296, STATUS_INVALID_PARAMETER},
        {"reserved bytes not zero", false, [](Bytes& b) { b[200] = 1; }, 296,
         STATUS_INVALID_PARAMETER},
        {"reserved bytes not zero", true, [](Bytes& b) { b[290] = 1; }, 296,
         STATUS_INVALID_PARAMETER},
        {"folder field not zero after the name", false, [](Bytes& b) { b[150] = 1; }, 296,
         STATUS_INVALID_PARAMETER},
        {"request of 295 bytes", false, [](Bytes& b) { b.pop_back(); }, 296,
         STATUS_INVALID_PARAMETER},
        {"reply buffer of 295 bytes", true, [](Bytes&) {}, 295, STATUS_INVALID_PARAMETER},
        {"empty file name", true, [](Bytes& b) { std::fill_n(b.begin() + 88, 96, 0); }, 296,
         STATUS_INVALID_PARAMETER},
        {"file name without terminator", true,
         [](Bytes& b) { std::fill_n(b.begin() + 88, 96, 'x'); }, 296, STATUS_INVALID_PARAMETER},
        {"partition name without terminator", false,
         [](Bytes& b) { std::fill_n(b.begin() + 16, 72, 'x'); }, 296, STATUS_INVALID_PARAMETER},
        {"", false, [](Bytes& b) { b[0] ^= 1; }, 296, STATUS_NOT_FOUND},
    };
    for (const Row& row : rows) {
        sim::TargetRequest request{
            WdfRequestTypeDeviceControl, row.read ? partition::kReadIoctl : partition::kListIoctl,
            Request(row.read ? u"TSRL\\X" : u"TSRL", row.read ? 0 : 10), row.replySize};
        row.change(request.input);
        EXPECT_EQ(partition::Answer(request).status, row.status) << row.what;
        EXPECT_EQ(partition::Requests().back().problem, row.what);
    }
    EXPECT_EQ(partition::Answer({WdfRequestTypeDeviceControl, 0xECAF32C6, {}, 296}).status,
              STATUS_INVALID_DEVICE_REQUEST);
}

} // namespace
