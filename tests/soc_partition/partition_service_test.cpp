// The simulated SoC partition file service as another driver meets it: an I/O
// target opened on its interface, records built byte by byte from the table.
#include "platform/cm.h"
#include "platform/sim/cm_control.h"
#include "platform/sim/driver_host.h"
#include "platform/sim/partition_service.h"
#include "tests/wdf/wdf_fixture.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace partition = sim::partition;
using Bytes = std::vector<std::uint8_t>;

void PutWide(Bytes& bytes, std::size_t offset, std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        bytes[offset + 2 * i] = static_cast<std::uint8_t>(text[i]);
        bytes[offset + 2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
    }
}

std::uint32_t U32(const Bytes& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

// A request as the table lays it out: DPP at 0, `name` at 88, `field` at 284.
Bytes Request(std::u16string_view name, std::uint32_t field) {
    Bytes bytes(296, 0);
    std::memcpy(bytes.data(), &partition::kDppGuid, 16);
    PutWide(bytes, 16, u"DPP");
    PutWide(bytes, 88, name);
    std::memcpy(bytes.data() + 284, &field, 4);
    return bytes;
}

struct Reply {
    NTSTATUS status;
    Bytes bytes; // what came back, as long as the information said
};

class PartitionServiceTest : public WdfTest {
protected:
    void SetUp() override {
        WdfTest::SetUp();
        sim::cm::Reset();
        partition::Reset();
        sim::SetTimeScale(0.001);
        mHost = std::make_unique<sim::DriverHost>();
        ASSERT_EQ(mHost->LoadEntry(PlainDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(mHost->AddDevice(), STATUS_SUCCESS);
    }
    void TearDown() override {
        mHost.reset();
        partition::Reset();
        WdfTest::TearDown();
    }

    // Opens a target on the first present interface of the class; NTSTATUS of the open.
    NTSTATUS Open() {
        GUID interfaceClass = partition::kInterfaceClass;
        ULONG size = 0;
        CM_Get_Device_Interface_List_SizeW(&size, &interfaceClass, nullptr,
                                           CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        std::u16string list(size, u'\0');
        CM_Get_Device_Interface_ListW(&interfaceClass, nullptr, list.data(), size,
                                      CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        std::u16string link(list.c_str());
        EXPECT_EQ(WdfIoTargetCreate(mHost->Device(), WDF_NO_OBJECT_ATTRIBUTES, &mTarget),
                  STATUS_SUCCESS);
        UNICODE_STRING name{static_cast<USHORT>(link.size() * 2),
                            static_cast<USHORT>(link.size() * 2), link.data()};
        WDF_IO_TARGET_OPEN_PARAMS params;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &name, GENERIC_READ | GENERIC_WRITE);
        return WdfIoTargetOpen(mTarget, &params);
    }

    Reply Send(ULONG code, Bytes input, std::size_t replySize) {
        if (mTarget == nullptr) {
            EXPECT_EQ(Open(), STATUS_SUCCESS);
        }
        Bytes output(replySize, 0);
        WDFREQUEST request = nullptr;
        EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, mTarget, &request), STATUS_SUCCESS);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = request;
        WDFMEMORY in = nullptr;
        WDFMEMORY out = nullptr;
        WdfMemoryCreatePreallocated(&attributes, input.data(), input.size(), &in);
        WdfMemoryCreatePreallocated(&attributes, output.data(), output.size(), &out);
        EXPECT_EQ(
            WdfIoTargetFormatRequestForIoctl(mTarget, request, code, in, nullptr, out, nullptr),
            STATUS_SUCCESS);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(5000));
        WdfRequestSend(request, mTarget, &options);
        NTSTATUS status = WdfRequestGetStatus(request);
        ULONG_PTR information = WdfRequestGetInformation(request);
        WdfObjectDelete(request);
        output.resize(information);
        return Reply{status, output};
    }
    Reply List(std::size_t replySize, Bytes request = Request(u"TSRL", 10)) {
        return Send(partition::kListIoctl, std::move(request), replySize);
    }
    Reply Read(std::u16string_view path, std::size_t replySize) {
        return Send(partition::kReadIoctl, Request(path, 0), replySize);
    }

    std::unique_ptr<sim::DriverHost> mHost;
    WDFIOTARGET mTarget = nullptr;
};

TEST_F(PartitionServiceTest, ListsEntriesAndReadsFilesInTheTabledRecordsWhenTheyFit) {
    partition::PutFile(u"TSRL\\A.BIN", {1, 2, 3});
    partition::PutFile(u"TSRL\\B", Bytes(300, 7));
    partition::PutFile(u"OTHER\\C", {9});

    Reply listing = List(20 + 488);
    ASSERT_EQ(listing.status, STATUS_SUCCESS);
    ASSERT_EQ(listing.bytes.size(), 20u + 488u);
    EXPECT_EQ(U32(listing.bytes, 16), 488u);
    Bytes first(listing.bytes.begin() + 20, listing.bytes.begin() + 20 + 244);
    Bytes expected(244, 0);
    PutWide(expected, 0, u"A.BIN");
    PutWide(expected, 98, u"TSRL");
    expected[200] = 3;
    EXPECT_EQ(first, expected);
    EXPECT_EQ(U32(listing.bytes, 20 + 244 + 200), 300u);

    // One byte short of the header and both entries: the size it needs, at 8.
    Reply tooSmall = List(20 + 487);
    EXPECT_EQ(tooSmall.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(U32(tooSmall.bytes, 8), 488u);

    Reply file = Read(u"TSRL\\A.BIN", 296);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    EXPECT_EQ(U32(file.bytes, 16), 3u);
    EXPECT_EQ(Bytes(file.bytes.begin() + 20, file.bytes.end()), (Bytes{1, 2, 3}));
    EXPECT_EQ(Read(u"TSRL\\B", 296 + 3).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Read(u"TSRL\\NONE", 296).status, STATUS_OBJECT_NAME_NOT_FOUND);

    // A folder without files lists nothing, successfully; a name is cut to its field.
    EXPECT_EQ(U32(List(296, Request(u"EMPTY", 10)).bytes, 16), 0u);
    partition::PutFile(u"LONG\\" + std::u16string(60, u'n'), {});
    Reply cut = List(296 + 244, Request(u"LONG", 10));
    EXPECT_EQ(cut.bytes[20 + 96], 'n');
    EXPECT_EQ(cut.bytes[20 + 98], 'L');
    EXPECT_EQ(partition::RequestCount(partition::Kind::List), 4u);
    EXPECT_EQ(partition::RequestCount(partition::Kind::Read), 3u);
}

TEST_F(PartitionServiceTest, RefusesMalformedRecordsAndNamesWhatWasWrong) {
    struct Row {
        const char* what;
        ULONG code;
        std::function<void(Bytes&)> change;
        std::size_t replySize;
        NTSTATUS status;
    };
    auto list = partition::kListIoctl;
    auto read = partition::kReadIoctl;
    const Row rows[] = {
        {"request field 0", list, [](Bytes& b) { b[284] = 0; }, 296, STATUS_INVALID_PARAMETER},
        {"request field 10", read, [](Bytes& b) { b[284] = 10; }, 296, STATUS_INVALID_PARAMETER},
        {"reserved bytes not zero", list, [](Bytes& b) { b[200] = 1; }, 296,
         STATUS_INVALID_PARAMETER},
        {"reserved bytes not zero", read, [](Bytes& b) { b[290] = 1; }, 296,
         STATUS_INVALID_PARAMETER},
        {"folder field not zero after the name", list, [](Bytes& b) { b[150] = 1; }, 296,
         STATUS_INVALID_PARAMETER},
        {"request of 295 bytes", list, [](Bytes& b) { b.pop_back(); }, 296,
         STATUS_INVALID_PARAMETER},
        {"reply buffer of 295 bytes", read, [](Bytes&) {}, 295, STATUS_INVALID_PARAMETER},
        {"empty file name", read, [](Bytes& b) { std::fill_n(b.begin() + 88, 96, 0); }, 296,
         STATUS_INVALID_PARAMETER},
        {"file name without terminator", read,
         [](Bytes& b) { std::fill_n(b.begin() + 88, 96, 'x'); }, 296, STATUS_INVALID_PARAMETER},
        {"partition name without terminator", list,
         [](Bytes& b) { std::fill_n(b.begin() + 16, 72, 'x'); }, 296, STATUS_INVALID_PARAMETER},
        {"", list, [](Bytes& b) { b[0] ^= 1; }, 296, STATUS_NOT_FOUND},
        {"unknown IOCTL", 0xECAF32C6, [](Bytes&) {}, 296, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const Row& row : rows) {
        Bytes request = Request(row.code == read ? u"TSRL\\X" : u"TSRL", row.code == read ? 0 : 10);
        row.change(request);
        EXPECT_EQ(Send(row.code, request, row.replySize).status, row.status) << row.what;
        EXPECT_EQ(partition::Requests().back().problem, row.what);
    }
}

TEST_F(PartitionServiceTest, AnswersAsATestSaysAndGoesThroughRemoval) {
    partition::PutFile(std::u16string(partition::kProvisioningPath),
                       partition::ProvisioningFile(10000, false));
    partition::Fail(partition::Kind::Read, STATUS_BUFFER_OVERFLOW);
    Reply overflow = Read(partition::kProvisioningPath, 4096);
    EXPECT_EQ(overflow.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(U32(overflow.bytes, 8), 22u);
    EXPECT_EQ(Read(partition::kProvisioningPath, 4096).status, STATUS_SUCCESS); // once only

    partition::Fail(partition::Kind::List, STATUS_ACCESS_DENIED, true);
    EXPECT_EQ(List(296).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(List(296).status, STATUS_ACCESS_DENIED);
    partition::Hang(partition::Kind::Read);
    EXPECT_EQ(Read(partition::kProvisioningPath, 4096).status, STATUS_IO_TIMEOUT);
    partition::ClearFaults();
    EXPECT_EQ(List(4096).status, STATUS_SUCCESS);

    EXPECT_EQ(partition::QueryRemove(true), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(partition::QueryRemove(false), STATUS_SUCCESS);
    partition::CompleteRemove();
    EXPECT_FALSE(partition::Present());
    WdfObjectDelete(mTarget);
    EXPECT_NE(Open(), STATUS_SUCCESS);
    partition::SetPresent(true);
    WdfObjectDelete(mTarget);
    EXPECT_EQ(Open(), STATUS_SUCCESS);
}

} // namespace
