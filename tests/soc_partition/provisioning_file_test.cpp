// The provisioning file's period, as the WLAN channel takes it: the byte
// order, the value block's place, and files too short for what they claim.
#include "halvex/notifier/SarProvisioningFile.h"
#include "platform/sim/partition_service.h"
#include "tests/support/MachineTest.h"

#include <vector>

namespace {

namespace partition = sim::partition;
using Bytes = std::vector<std::uint8_t>;
using ProvisioningFileTest = halvex::testing::MachineTest;

// A file with n at byte 1, the byte order at 9 and `block` at n + 1.
Bytes File(std::int8_t n, std::uint8_t order, const Bytes& block, std::size_t size) {
    Bytes file(size, 0);
    file[1] = static_cast<std::uint8_t>(n);
    file[9] = order;
    for (std::size_t i = 0; i < block.size(); ++i) {
        file[static_cast<std::size_t>(n + 1) + i] = block[i];
    }
    return file;
}

TEST_F(ProvisioningFileTest, ThePeriodIsReadInTheFilesByteOrder) {
    struct Row {
        Bytes file;
        ULONG period;
    };
    const Row rows[] = {
        {File(9, 0, {0x10, 0x27, 0, 0}, 22), 10000},
        {File(9, 1, {0x10, 0x27, 0, 0}, 22), 0x10270000},
        {File(9, 7, {0xFF, 0xFF, 0xFF, 0xFF}, 22), 0xFFFFFFFF},
        {File(9, 0, {0x9C, 0x80, 0, 0x01}, 22), 0x0100809C},
        {File(9, 1, {0x9C, 0x80, 0, 0x01}, 22), 0x9C800001},
        {File(20, 0, {0x30, 0x75, 0, 0}, 25), 30000}, // exactly to the period's end
        // n = -1: the block starts at 0 and holds n itself.
        {Bytes{0x01, 0xFF, 0x03, 0x04, 0, 0, 0, 0, 0, 0}, 0x0403FF01},
        {partition::ProvisioningFile(12345, true), 12345},
    };
    for (const Row& row : rows) {
        ULONG period = 0;
        EXPECT_EQ(
            ParseSarProvisioningFile(row.file.data(), static_cast<ULONG>(row.file.size()), &period),
            STATUS_SUCCESS);
        EXPECT_EQ(period, row.period);
    }
    // The two values after the period are traced only where the file holds them.
    EXPECT_TRUE(sim::TraceContains("Value at 14 = 0x00000000"));
    EXPECT_FALSE(sim::TraceContains("Value at 25"));
}

TEST_F(ProvisioningFileTest, AFileTooShortForWhatItClaimsGivesNoPeriod) {
    const Bytes files[] = {
        Bytes(9, 0),                     // no byte order
        File(9, 0, {0x10, 0x27, 0}, 13), // the period runs past the end
        File(127, 0, {}, 22),            // the block far beyond
        File(-2, 0, {}, 22),             // the block before the start
        File(-128, 0, {}, 22),
    };
    for (const Bytes& file : files) {
        ULONG period = 0xFFFFFFFF;
        EXPECT_EQ(ParseSarProvisioningFile(file.data(), static_cast<ULONG>(file.size()), &period),
                  STATUS_UNSUCCESSFUL);
        EXPECT_EQ(period, 0xFFFFFFFFu);
    }
}

} // namespace
