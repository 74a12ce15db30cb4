// The codec's less common field kinds, through a service object of the test's
// own: strings, nested types, narrow wire integers, counts that run to the end
// of a TLV, four-byte count prefixes, range checks and parent services.
#include "hmx/hmx_idl.h"
#include "hmx/sns_client_service.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Inner {
    std::uint32_t small; // one byte on the wire, zero-extended
    char name[8];        // up to 7 characters behind a one-byte count
};

struct Everything {
    std::uint32_t value;
    char label[16];
    std::uint8_t inner_valid;
    Inner inner;
    std::uint8_t shorts_valid;
    std::uint32_t shorts_len;
    std::uint16_t shorts[4];
    std::uint8_t levels_valid;
    std::uint8_t levels[3];
    std::uint8_t blob_valid;
    std::uint32_t blob_len;
    std::uint8_t blob[300];
};

struct Status {
    hmx_response_type resp;
    std::uint32_t must;
};

#define OFF(field) static_cast<std::uint8_t>(offsetof(Everything, field))
#define BACK(field, flag)                                                                          \
    static_cast<std::uint8_t>(offsetof(Everything, field) - offsetof(Everything, flag))

// clang-format off
const std::uint8_t kInnerStream[] = {
    0x0C, 0x04, offsetof(Inner, small),        // type 4, zero-extended
    0x46, offsetof(Inner, name), 7,            // string of at most 7
    0x20,
};
const std::uint8_t kResponseStream[] = {0x05, 0, 0x05, 4, 0x20};

const std::uint8_t kEverythingStream[] = {
    0x01, 0x02, OFF(value),                                            // TLV 1: u32
    0x02, 0x46, OFF(label), 15,                                        // TLV 2: string of at most 15
    0x40 | BACK(inner, inner_valid), 0x10, 0x07, OFF(inner), 0x00, 0x00,
    0x40 | BACK(shorts, shorts_valid), 0x11, 0x59, 0x08, OFF(shorts), 4, BACK(shorts, shorts_len),
    0x40 | BACK(levels, levels_valid), 0x12, 0x48, 0x80, 0x40, OFF(levels), 3, 0, 0, 0, 0,
    0xC0 | BACK(blob, blob_valid), 0x13, 0x58, 0x40, OFF(blob), 300 & 0xFF, 300 >> 8, 0, 0,
    BACK(blob, blob_len),
};
// clang-format on

const std::uint8_t kStatusStream[] = {
    0x02, 0x07, offsetof(Status, resp), 0x01, 0x00, // the response header, type 1
    0x81, 0x02, offsetof(Status, must),
};

int gVerdict = 0;
std::uint8_t gReplacement = 0;

std::int32_t CheckLevel(void* element, std::uint32_t size) {
    EXPECT_EQ(size, 1u);
    if (gVerdict == -1) {
        *static_cast<std::uint8_t*>(element) = gReplacement;
    }
    return gVerdict;
}

extern const hmx_idl_type_table_object kTable;
const hmx_idl_message_table_entry kTypes[] = {{sizeof(Inner), kInnerStream},
                                              {sizeof(hmx_response_type), kResponseStream}};
const hmx_idl_message_table_entry kMessages[] = {{sizeof(Everything), kEverythingStream},
                                                 {sizeof(Status), kStatusStream}};
const hmx_idl_type_table_object* const kRefs[] = {&kTable};
const hmx_idl_range_check_fn kRanges[] = {CheckLevel};
const hmx_idl_type_table_object kTable = {2, 2, 1, kTypes, kMessages, kRefs, kRanges};

const hmx_idl_service_message_table_entry kRequests[] = {{0x01, 0, 400}};
const hmx_idl_service_message_table_entry kResponses[] = {{0x01, 1, 14}};

hmx_idl_service_object Service(std::uint32_t version, const hmx_idl_service_object* parent) {
    return {version, 1, 0x999, 512, {1, 1, 0}, {kRequests, kResponses, nullptr},
            &kTable, 0, parent};
}

class CodecFlags : public ::testing::Test {
protected:
    void SetUp() override { gVerdict = 0; }

    std::int32_t Encode(const Everything& in, Bytes& out) {
        out.assign(400, 0);
        std::uint32_t len = 0;
        std::int32_t rc = hmx_idl_message_encode(&mService, HMX_IDL_REQUEST, 0x01, &in, sizeof(in),
                                                 out.data(), 400, &len);
        out.resize(len);
        return rc;
    }
    template <typename T>
    std::int32_t Decode(const Bytes& body, T& out, int kind = HMX_IDL_REQUEST) {
        return hmx_idl_message_decode(&mService, kind, 0x01, body.data(),
                                      static_cast<std::uint32_t>(body.size()), &out, sizeof(out));
    }

    hmx_idl_service_object mService = Service(6, nullptr);
};

Everything Sample() {
    Everything e{0x11223344, "prox",    1, {0xF0, "sar"}, 1, 2, {0x0102, 0x0304},
                 1,          {1, 2, 3}, 1, 260,           {}};
    for (int i = 0; i < 260; ++i) {
        e.blob[i] = static_cast<std::uint8_t>(i);
    }
    return e;
}

TEST_F(CodecFlags, EveryFieldKindRoundTripsAndRangeCheckVerdicts) {
    Everything in = Sample();
    Bytes body;
    ASSERT_EQ(Encode(in, body), 0);
    // Strings go without their NUL; in a nested type behind a count.
    // clang-format off
    Bytes head = {0x01, 0x04, 0x00, 0x44, 0x33, 0x22, 0x11, 0x02, 0x04, 0x00, 'p', 'r', 'o', 'x',
                  0x10, 0x05, 0x00, 0xF0, 0x03, 's', 'a', 'r',
                  0x11, 0x04, 0x00, 0x02, 0x01, 0x04, 0x03, // no count: the TLV's length tells
                  0x12, 0x03, 0x00, 1, 2, 3,
                  0x13, 0x08, 0x01, 0x04, 0x01, 0x00, 0x00}; // 4-byte count 260
    // clang-format on
    ASSERT_GE(body.size(), head.size());
    EXPECT_EQ(Bytes(body.begin(), body.begin() + static_cast<long>(head.size())), head);

    Everything out;
    std::memset(&out, 0x5A, sizeof(out));
    ASSERT_EQ(Decode(body, out), 0);
    EXPECT_EQ(out.value, in.value);
    EXPECT_STREQ(out.label, "prox");
    EXPECT_EQ(out.inner.small, 0xF0u) << "zero-extended, not sign-extended";
    EXPECT_STREQ(out.inner.name, "sar");
    EXPECT_EQ(out.shorts_len, 2u);
    EXPECT_EQ(out.shorts[1], 0x0304);
    EXPECT_EQ(out.levels[2], 3);
    EXPECT_EQ(out.blob_len, 260u);
    EXPECT_EQ(std::memcmp(out.blob, in.blob, 260), 0);

    // The range check's verdicts, on the levels.
    gVerdict = 3;
    Bytes refused;
    EXPECT_EQ(Encode(in, refused), HMX_IDL_RANGE_CHECK_FAILED);
    gVerdict = -1;
    gReplacement = 9;
    ASSERT_EQ(Decode(body, out), 0);
    EXPECT_EQ(out.levels[0], 9);
    EXPECT_EQ(out.levels_valid, 1);
    gVerdict = -2;
    ASSERT_EQ(Decode(body, out), 0);
    EXPECT_EQ(out.levels_valid, 0) << "a dropped value clears its TLV's valid flag";
    gVerdict = 7;
    EXPECT_EQ(Decode(body, out), 7);
    gVerdict = -9;
    EXPECT_EQ(Decode(body, out), HMX_IDL_RANGE_CHECK_FAILED);
}

TEST_F(CodecFlags, CountsAboveTheirMaximumAndMissingMandatoryTlvs) {
    Everything in = Sample();
    Bytes body;
    std::strcpy(in.label, "sixteen chars!!!");
    in.label[15] = 'x'; // no NUL within the 15 allowed
    EXPECT_EQ(Encode(in, body), HMX_IDL_ARRAY_TOO_BIG);

    Everything out{};
    Bytes tooLong = {0x01, 0x04, 0x00, 0, 0, 0, 0, 0x02, 0x10, 0x00};
    tooLong.insert(tooLong.end(), 16, 'a');
    EXPECT_EQ(Decode(tooLong, out), HMX_IDL_ARRAY_TOO_BIG);

    Bytes fiveShorts = {0x01, 0x04, 0x00, 0, 0, 0, 0, 0x02, 0x00, 0x00, 0x11, 0x0A, 0x00};
    fiveShorts.insert(fiveShorts.end(), 10, 0);
    EXPECT_EQ(Decode(fiveShorts, out), HMX_IDL_ARRAY_TOO_BIG);

    Bytes oddShorts = {0x01, 0x04, 0x00, 0, 0, 0, 0, 0x02, 0x00, 0x00, 0x11, 0x03, 0x00, 1, 2, 3};
    EXPECT_EQ(Decode(oddShorts, out), HMX_IDL_LENGTH_INCONSISTENCY);

    // A non-zero result skips the mandatory check.
    Status status{};
    EXPECT_EQ(Decode({0x02, 0x04, 0x00, 0x01, 0x00, 0x09, 0x00}, status, HMX_IDL_RESPONSE), 0);
    EXPECT_EQ(status.resp.result, 1);
    EXPECT_EQ(status.resp.error, 9);
    EXPECT_EQ(Decode({0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00}, status, HMX_IDL_RESPONSE),
              HMX_IDL_MISSING_TLV);
}

TEST(CodecParents, SearchedFromVersionFiveOn) {
    hmx_idl_service_object child = Service(5, &hmx_sns_client_service_object);
    std::uint32_t size = 0;
    EXPECT_EQ(hmx_idl_get_message_c_struct_len(&child, HMX_IDL_INDICATION, 0x21, &size), 0);
    EXPECT_EQ(size, 1016u);
    EXPECT_EQ(hmx_idl_get_max_message_len(&child, HMX_IDL_INDICATION, 0x21, &size), 0);
    EXPECT_EQ(size, 1016u);
    hmx_idl_service_object old = Service(4, &hmx_sns_client_service_object);
    EXPECT_EQ(hmx_idl_get_message_c_struct_len(&old, HMX_IDL_INDICATION, 0x21, &size),
              HMX_IDL_MSG_ID_NOT_FOUND);
}

} // namespace
