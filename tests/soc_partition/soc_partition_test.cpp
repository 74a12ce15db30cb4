// The driver's SocPartition module against the simulated partition file
// service: the records it sends, its size conventions, the service's
// interface coming and going, and its 5000 ms time-out.
#include "soc_partition_fixture.h"

#include "platform/sim/clock.h"

#include <cstring>
#include <functional>

namespace {

using socpartition_test::Bytes;
using socpartition_test::SocPartitionTest;
namespace partition = sim::partition;

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to));
}

// The service checks every record it receives (sizes, zero regions, the
// request field 10 or 0, the partition record) and names what was wrong.
TEST_F(SocPartitionTest, RecordsAreWellFormedAndSizesFollowTheServiceWithinTheCallersCapacity) {
    const Bytes provisioning = partition::ProvisioningFile(10000, false);
    struct Row {
        const char* what;
        std::function<void()> arrange;
        bool read;
        ULONG capacity;
        NTSTATUS status;
        ULONG size;   // what *size holds afterwards
        ULONG copied; // bytes of the payload in the caller's buffer
        bool sent = true;
    };
    auto file = [&] { partition::PutFile(std::u16string(socpartition_test::kPath), provisioning); };
    auto fail = [&](partition::Kind kind, NTSTATUS status) {
        return [=] {
            file();
            partition::Fail(kind, status);
        };
    };
    const Row rows[] = {
        {"an empty folder", [] {}, false, 0, STATUS_SUCCESS, 0, 0},
        {"a listing of one entry for no buffer", file, false, 0, STATUS_BUFFER_TOO_SMALL, 244, 0},
        {"a listing longer than the buffer", file, false, 100, STATUS_BUFFER_TOO_SMALL, 244, 100},
        {"a list answered with overflow", fail(partition::Kind::List, STATUS_BUFFER_OVERFLOW),
         false, 8, STATUS_BUFFER_OVERFLOW, 8, 0},
        {"a read answered with overflow", fail(partition::Kind::Read, STATUS_BUFFER_OVERFLOW), true,
         8, STATUS_BUFFER_OVERFLOW, 22, 0},
        {"a read answered too small", fail(partition::Kind::Read, STATUS_BUFFER_TOO_SMALL), true, 8,
         STATUS_BUFFER_TOO_SMALL, 22, 0},
        {"a read refused", fail(partition::Kind::Read, STATUS_ACCESS_DENIED), true, 8,
         STATUS_ACCESS_DENIED, 8, 0},
        {"a file that fits", file, true, 100, STATUS_SUCCESS, 22, 22},
        {"a file longer than the buffer", file, true, 10, STATUS_BUFFER_TOO_SMALL, 22, 10},
        {"an empty file", [] { partition::PutFile(std::u16string(socpartition_test::kPath), {}); },
         true, 8, STATUS_SUCCESS, 0, 0},
        {"a capacity the reply cannot add 296 bytes to", file, true, 0xFFFFFFF0u,
         STATUS_INVALID_PARAMETER, 0xFFFFFFF0u, 0, false},
    };
    for (const Row& row : rows) {
        partition::Clear();
        row.arrange();
        const unsigned before = static_cast<unsigned>(partition::Requests().size());
        Bytes buffer(128, 0xEE);
        ULONG size = row.capacity;
        NTSTATUS status = row.read ? Read(socpartition_test::kPath, buffer.data(), &size)
                                   : List(buffer.data(), &size);
        EXPECT_EQ(status, row.status) << row.what;
        EXPECT_EQ(size, row.size) << row.what;
        const Bytes expected =
            row.read ? provisioning : partition::FileEntry(u"WLAN_SAR2CFG.PROVISION", u"TSRL", 22);
        EXPECT_EQ(Slice(buffer, 0, row.copied), Slice(expected, 0, row.copied)) << row.what;
        EXPECT_EQ(Slice(buffer, row.copied, 128), Bytes(128 - row.copied, 0xEE)) << row.what;
        ASSERT_EQ(partition::Requests().size() - before, row.sent ? 1u : 0u) << row.what;
        if (row.sent) {
            const partition::Request sent = partition::Requests().back();
            EXPECT_EQ(sent.problem, "") << row.what;
            EXPECT_EQ(sent.path, row.read ? socpartition_test::kPath : u"TSRL") << row.what;
            EXPECT_EQ(sent.outputCapacity, 296u + row.capacity) << row.what;
        }
    }

    // Nothing is sent for a missing size or an empty name.
    partition::Clear();
    ULONG size = 8;
    Bytes buffer(8);
    EXPECT_EQ(List(nullptr, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Read(u"", buffer.data(), &size), STATUS_INVALID_PARAMETER);
    partition::PutFile(u"TSRL\\A", {});
    EXPECT_EQ(List(nullptr, &size), STATUS_INVALID_PARAMETER) << "a capacity without a buffer";
    EXPECT_TRUE(partition::Requests().empty());
}

TEST_F(SocPartitionTest, TheServiceIsReachedWhileItsInterfaceIsThere) {
    partition::PutFile(std::u16string(socpartition_test::kPath),
                       partition::ProvisioningFile(10000, false));
    auto read = [&] {
        EXPECT_TRUE(sim::Settle());
        Bytes file(22);
        ULONG size = 22;
        return Read(socpartition_test::kPath, file.data(), &size);
    };
    EXPECT_EQ(read(), STATUS_SUCCESS);
    partition::SetPresent(false);
    EXPECT_EQ(read(), STATUS_DEVICE_NOT_READY);
    partition::SetPresent(true);
    EXPECT_EQ(read(), STATUS_SUCCESS);
    EXPECT_EQ(partition::QueryRemove(false), STATUS_SUCCESS);
    EXPECT_EQ(read(), STATUS_DEVICE_NOT_READY);
    partition::CancelRemove();
    EXPECT_EQ(read(), STATUS_SUCCESS);

    // An answer that never comes: the send gives up after 5000 ms (the time
    // it asked for, not the real time taken, which load may stretch).
    partition::Hang(partition::Kind::Read);
    const std::uint64_t start = sim::NowMs();
    Bytes file(22);
    ULONG size = 22;
    EXPECT_EQ(Read(socpartition_test::kPath, file.data(), &size), STATUS_IO_TIMEOUT);
    EXPECT_GE(sim::NowMs() - start, 5000u);
    EXPECT_EQ(partition::Requests().back().timeoutMs, 5000u);
    EXPECT_EQ(size, 22u);
}

} // namespace
