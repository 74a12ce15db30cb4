// The provisioning file's period, as the WLAN channel takes it: the byte
// order, the value block's place, and files too short for what they claim.
#include "halvex/notifier/SarProvisioningFile.h"
#include "soc_partition_fixture.h"
#include "tests/support/MachineTest.h"

#include <algorithm>
#include <functional>
#include <memory>
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

TEST_F(ProvisioningFileTest, ThePeriodIsReadInTheFilesByteOrderAndOnlyFromInsideTheFile) {
    constexpr ULONG kNone = 7; // left as it was
    struct Row {
        Bytes file;
        ULONG period; // kNone: the file gives none
    };
    const Row rows[] = {
        {File(9, 0, {0x10, 0x27, 0, 0}, 22), 10000},
        {File(9, 1, {0x10, 0x27, 0, 0}, 22), 0x10270000},
        {File(9, 0, {0xFF, 0xFF, 0xFF, 0xFF}, 22), 0xFFFFFFFF},
        {File(9, 0, {0x9C, 0x80, 0, 0x01}, 22), 0x0100809C},
        {File(9, 1, {0x9C, 0x80, 0, 0x01}, 22), 0x9C800001},
        {File(20, 0, {0x30, 0x75, 0, 0}, 25), 30000}, // exactly to the period's end
        // n = -1: the block starts at 0 and holds n itself.
        {Bytes{0x01, 0xFF, 0x03, 0x04, 0, 0, 0, 0, 0, 0}, 0x0403FF01},
        {Bytes(9, 0), kNone},                     // no byte order
        {File(9, 0, {0x10, 0x27, 0}, 13), kNone}, // the period runs past the end
        {File(127, 0, {}, 22), kNone},
        {File(-2, 0, {}, 22), kNone}, // the block before the start
        {File(-128, 0, {}, 22), kNone},
    };
    for (const Row& row : rows) {
        ULONG period = kNone;
        EXPECT_EQ(
            ParseSarProvisioningFile(row.file.data(), static_cast<ULONG>(row.file.size()), &period),
            row.period == kNone ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
        EXPECT_EQ(period, row.period);
    }
    // Every byte is traced, and nothing past the end; the two values after the
    // period only where the file holds them.
    auto traces = sim::TraceSnapshot();
    EXPECT_TRUE(std::any_of(traces.begin(), traces.end(), [](const sim::TraceRecord& record) {
        return record.message == "File[16..]: 00 00 00 00 00 00";
    }));
    EXPECT_TRUE(sim::TraceContains("Value at 14 = 0x00000000"));
    EXPECT_FALSE(sim::TraceContains("Value at 25"));
}

using socpartition_test::kPath;
using socpartition_test::SocPartitionTest;
using Kind = sim::partition::Kind;

constexpr ULONG kUntouched = 1234;

// A listing of these entries in place of the folder's own.
void Listing(const std::vector<Bytes>& entries) {
    Bytes payload;
    for (const Bytes& entry : entries) {
        payload.insert(payload.end(), entry.begin(), entry.end());
    }
    partition::SetListingOverride(payload);
}

Bytes Entry(std::u16string_view name, std::uint32_t size, std::u16string_view folder = u"TSRL") {
    return partition::FileEntry(name, folder, size);
}

// Runs `action` as the second list request arrives, before it is answered.
void AtSecondList(std::function<void()> action) {
    auto count = std::make_shared<int>(0);
    partition::OnRequest([count, action](const partition::Request& request) {
        if (request.kind == Kind::List && ++*count == 2) {
            action();
        }
    });
}

TEST_F(SocPartitionTest, TheReaderAnswersEachRowOfItsFailureTable) {
    const Bytes good = partition::ProvisioningFile(10000, false);
    // The file in its place, and then `more`.
    auto with = [&](std::function<void()> more) {
        return [&good, more] {
            partition::PutFile(std::u16string(kPath), good);
            more();
        };
    };
    auto fail = [](Kind kind, NTSTATUS status) { return [=] { partition::Fail(kind, status); }; };
    const Bytes entry = Entry(u"WLAN_SAR2CFG.PROVISION", 30);
    const auto unusable = static_cast<NTSTATUS>(0xC0000014);
    struct Row {
        std::function<void()> arrange;
        NTSTATUS status;
        const char* trace;
    };
    const Row rows[] = {
        {[] { gWlanDevice = nullptr; }, STATUS_UNSUCCESSFUL, "DMF Device Context is NULL"},
        {[this] { DmfContext()->DmfModuleSocPartition = nullptr; }, STATUS_UNSUCCESSFUL,
         "DmfModuleSocPartition is NULL"},
        {fail(Kind::List, STATUS_ACCESS_DENIED), STATUS_ACCESS_DENIED,
         "Failed when calling DMF_SocPartition_TSFS_ListDirectoryFiles (last error"},
        {fail(Kind::List, unusable), unusable, "storage is not usable: 0xC0000014"},
        {[] {}, STATUS_SUCCESS, "there are no files in TSRL folder"},
        {with([] { AtSecondList([] { partition::Fail(Kind::List, STATUS_ACCESS_DENIED); }); }),
         STATUS_ACCESS_DENIED,
         " Failed when calling DMF_SocPartition_TSFS_ListDirectoryFiles after get the "
         "filesBufferSize "},
        {[&] { partition::PutFile(u"TSRL\\wlan_sar2cfg.provision", good); },
         STATUS_FILE_NOT_AVAILABLE, "Entry 0 is not the file"},
        {with(fail(Kind::Read, STATUS_ACCESS_DENIED)), STATUS_ACCESS_DENIED,
         " Failed when calling DMF_SocPartition_TSFS_ReadFile "},
        {with([&] { Listing({entry}); }), STATUS_SUCCESS,
         "FoutDataSize != ListofFiles->UsedSize. \u00A0outDatSize = \u00A022ListofFiles->UsedSize "
         "= 30"},
        {with([] { Listing({Entry(u"WLAN_SAR2CFG.PROVISION", 1024 * 1024 + 1)}); }),
         STATUS_INSUFFICIENT_RESOURCES, "Refusing to read 1048577 bytes"},
        {[&] { partition::PutFile(std::u16string(kPath), Bytes(good.begin(), good.begin() + 13)); },
         STATUS_UNSUCCESSFUL, "has no period at offset 10"},
        // The folder grows between the two listings.
        {with([] { AtSecondList([] { partition::PutFile(u"TSRL\\MORE", {}); }); }),
         STATUS_BUFFER_TOO_SMALL, "after get the filesBufferSize"},
        // A second listing short of one entry; names filling their fields.
        {[] { partition::SetListingOverride(Bytes(100, 0x41)); }, STATUS_SUCCESS, "Exit"},
        {[] { Listing({Bytes(244, 0x41)}); }, STATUS_FILE_NOT_AVAILABLE, "Entry 0 is not the file"},
    };
    for (const Row& row : rows) {
        partition::Clear();
        gWlanDevice = host->Device();
        gWlanRefreshPeriodMs.store(kUntouched);
        sim::ClearTrace();
        DMFMODULE module = Module();
        row.arrange();
        EXPECT_EQ(ReadSarProvisioningFile(), row.status) << row.trace;
        DmfContext()->DmfModuleSocPartition = module;
        EXPECT_EQ(gWlanRefreshPeriodMs.load(), kUntouched) << row.trace;
        EXPECT_TRUE(sim::TraceContains(row.trace)) << row.trace;
    }
}

TEST_F(SocPartitionTest, TheFirstMatchingEntryIsReadWithItsJoinedNameIn96Bytes) {
    partition::PutFile(std::u16string(kPath), partition::ProvisioningFile(10000, true));
    Listing({Entry(u"A", 1), Entry(u"WLAN_SAR2CFG.PROVISION", 22),
             Entry(u"WLAN_SAR2CFG.PROVISION", 22)});
    gWlanDevice = host->Device();
    EXPECT_EQ(ReadSarProvisioningFile(), STATUS_SUCCESS);
    EXPECT_EQ(gWlanRefreshPeriodMs.load(), 10000u);
    EXPECT_TRUE(sim::TraceContains("Refresh period = 10000 ms"));
    auto requests = partition::Requests();
    ASSERT_EQ(partition::RequestCount(Kind::Read), 1u);
    EXPECT_EQ(requests.back().problem, "");
    EXPECT_EQ(requests.back().path, kPath);
    EXPECT_EQ(requests.back().outputCapacity, 296u + 22u);
}

} // namespace
