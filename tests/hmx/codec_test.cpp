#include "hmx/hmx_idl.h"
#include "hmx/sns_client_service.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
const hmx_idl_service_object* const kSns = &hmx_sns_client_service_object;

Bytes EncodeRequest(const hmx_sns_client_req_msg& req, std::int32_t& rc) {
    Bytes out(1005);
    std::uint32_t len = 0;
    rc = hmx_idl_message_encode(kSns, HMX_IDL_REQUEST, HMX_SNS_CLIENT_REQ, &req, sizeof(req),
                                out.data(), static_cast<std::uint32_t>(out.size()), &len);
    out.resize(len);
    return out;
}

template <typename T>
std::int32_t Decode(int kind, std::uint16_t id, const Bytes& body, T& out,
                    std::uint32_t size = sizeof(T), const hmx_idl_service_object* service = kSns) {
    return hmx_idl_message_decode(service, kind, id, body.data(),
                                  static_cast<std::uint32_t>(body.size()), &out, size);
}
std::int32_t DecodeIndication(const Bytes& body, hmx_sns_client_report_ind_msg& ind) {
    return Decode(HMX_IDL_INDICATION, HMX_SNS_CLIENT_REPORT_IND, body, ind);
}
std::int32_t DecodeResponse(const Bytes& body, hmx_sns_client_resp_msg& resp) {
    return Decode(HMX_IDL_RESPONSE, HMX_SNS_CLIENT_RESP, body, resp);
}

// An indication body: TLV 0x01 {8-byte id}, TLV 0x02 {u16 n, n bytes}.
Bytes IndicationBody(const Bytes& payload) {
    const auto n = static_cast<std::uint16_t>(payload.size());
    Bytes b = {0x01, 0x08, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0x02};
    for (const std::uint16_t v : {static_cast<std::uint16_t>(n + 2), n}) {
        b.push_back(static_cast<std::uint8_t>(v));
        b.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

TEST(SensorClientCodec, RequestWireFormAtTheEdgesOfThePayloadAndTheRoom) {
    hmx_sns_client_req_msg req{};
    std::int32_t rc = 0;
    EXPECT_EQ(EncodeRequest(req, rc), (Bytes{0x01, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(rc, 0);

    req.payload_len = 3;
    req.payload[0] = 0xAA;
    req.payload[2] = 0xCC;
    EXPECT_EQ(EncodeRequest(req, rc), (Bytes{0x01, 0x05, 0x00, 0x03, 0x00, 0xAA, 0x00, 0xCC}));

    req.payload_len = 1000;
    Bytes full = EncodeRequest(req, rc);
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(full.size(), 1005u);
    EXPECT_EQ(full[1] | full[2] << 8, 1002);

    req.payload_len = 1001;
    EncodeRequest(req, rc);
    EXPECT_EQ(rc, HMX_IDL_ARRAY_TOO_BIG);

    // The room the encoder is given is checked.
    req.payload_len = 10;
    Bytes out(16);
    std::uint32_t len = 0;
    auto encode = [&](std::uint32_t size, std::uint32_t room) {
        return hmx_idl_message_encode(kSns, HMX_IDL_REQUEST, HMX_SNS_CLIENT_REQ, &req, size,
                                      out.data(), room, &len);
    };
    EXPECT_EQ(encode(sizeof(req), 2), HMX_IDL_STRUCT_TOO_SMALL);      // no room for a TLV header
    EXPECT_EQ(encode(sizeof(req), 14), HMX_IDL_LENGTH_INCONSISTENCY); // 15 bytes needed
    EXPECT_EQ(encode(sizeof(req) - 1, 16), HMX_IDL_STRUCT_TOO_SMALL);
    // The shared empty request has no TLVs at all.
    char empty = 0;
    EXPECT_EQ(hmx_idl_message_encode(kSns, HMX_IDL_REQUEST, HMX_COMMON_GET_SUPPORTED_MSGS_REQ,
                                     &empty, 1, out.data(), 16, &len),
              0);
    EXPECT_EQ(len, 0u);
}

TEST(SensorClientCodec, IndicationRoundTrip) {
    hmx_sns_client_report_ind_msg in{};
    in.client_id = 0x0807060504030201ull;
    in.payload_len = 4;
    std::memcpy(in.payload, "\x0a\x0b\x0c\x0d", 4);
    Bytes body(1016);
    std::uint32_t len = 0;
    ASSERT_EQ(hmx_idl_message_encode(kSns, HMX_IDL_INDICATION, HMX_SNS_CLIENT_REPORT_IND, &in,
                                     sizeof(in), body.data(), 1016, &len),
              0);
    body.resize(len);
    EXPECT_EQ(body, IndicationBody({0x0a, 0x0b, 0x0c, 0x0d}));

    hmx_sns_client_report_ind_msg out;
    std::memset(&out, 0x5A, sizeof(out));
    ASSERT_EQ(DecodeIndication(body, out), 0);
    EXPECT_EQ(out.client_id, in.client_id);
    EXPECT_EQ(out.payload_len, 4u);
    EXPECT_EQ(std::memcmp(out.payload, in.payload, 4), 0);
    EXPECT_EQ(out.payload[4], 0) << "the structure is zero-filled before decoding";
}

Bytes Cat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Bytes Patched(Bytes body, std::size_t at, std::uint8_t value) {
    body[at] = value;
    return body;
}

TEST(SensorClientCodec, IndicationBodiesThatDoNotDecode) {
    const Bytes body = IndicationBody({1, 2});
    const struct {
        const char* what;
        Bytes body;
        std::int32_t rc;
    } rows[] = {
        {"unknown TLVs from 0x10 on are skipped",
         Cat(Cat({0x10, 0x02, 0x00, 0xFF, 0xFF}, body), {0xFF, 0x00, 0x00}), 0},
        {"an unknown TLV below 0x10", Cat(body, {0x03, 0x01, 0x00, 0x00}),
         HMX_IDL_UNKNOWN_MANDATORY_TLV},
        {"TLV 0x01 missing", {0x02, 0x04, 0x00, 0x02, 0x00, 1, 2}, HMX_IDL_MISSING_TLV},
        {"TLV 0x02 twice", Cat(body, {0x02, 0x02, 0x00, 0x00, 0x00}), HMX_IDL_DUPLICATE_TLV},
        {"a TLV claims 16 bytes, 4 remain", Patched(body, 12, 0x10), HMX_IDL_LENGTH_INCONSISTENCY},
        {"the count prefix asks for one byte more than the TLV holds", Patched(body, 14, 0x03),
         HMX_IDL_LENGTH_INCONSISTENCY},
        {"a TLV one byte longer than its field", Cat(Patched(body, 12, 0x05), {0x00}),
         HMX_IDL_LENGTH_INCONSISTENCY},
        {"a short identifier", {0x01, 0x04, 0x00, 1, 2, 3, 4}, HMX_IDL_LENGTH_INCONSISTENCY},
        {"a truncated TLV header", Cat(body, {0x20, 0x00}), HMX_IDL_LENGTH_INCONSISTENCY},
        {"1001 payload bytes", IndicationBody(Bytes(1001, 0x77)), HMX_IDL_ARRAY_TOO_BIG},
    };
    for (const auto& row : rows) {
        hmx_sns_client_report_ind_msg ind{};
        EXPECT_EQ(DecodeIndication(row.body, ind), row.rc) << row.what;
    }
    hmx_sns_client_report_ind_msg ind{};
    ASSERT_EQ(DecodeIndication(rows[0].body, ind), 0);
    EXPECT_EQ(ind.payload_len, 2u);
    EXPECT_EQ(ind.payload[1], 2);
}

TEST(SensorClientCodec, ResponsesOptionalTlvsSignExtensionAndByteArrays) {
    hmx_sns_client_resp_msg resp;
    std::memset(&resp, 0x5A, sizeof(resp));
    ASSERT_EQ(DecodeResponse({0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00}, resp), 0);
    EXPECT_EQ(resp.client_id_valid, 0);
    EXPECT_EQ(resp.client_id, 0u);
    EXPECT_EQ(resp.result_valid, 0);

    Bytes full = {0x02, 0x04, 0x00, 0xFF, 0xFF, 0x05, 0x00,             //
                  0x10, 0x08, 0x00, 1,    0,    0,    0,    0, 0, 0, 1, //
                  0x11, 0x04, 0x00, 0xFE, 0xFF, 0xFF, 0xFF};
    ASSERT_EQ(DecodeResponse(full, resp), 0);
    EXPECT_EQ(resp.resp.result, -1);
    EXPECT_EQ(resp.resp.error, 5);
    EXPECT_EQ(resp.client_id_valid, 1);
    EXPECT_EQ(resp.client_id, 0x0100000000000001ull);
    EXPECT_EQ(resp.result_valid, 1);
    EXPECT_EQ(resp.result, -2);

    EXPECT_EQ(DecodeResponse({0x11, 0x04, 0x00, 0, 0, 0, 0}, resp), HMX_IDL_MISSING_TLV);

    // The shared table's answer carries a byte array behind a two-byte count.
    hmx_common_get_supported_msgs_resp_msg msgs{};
    Bytes body = {0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x05, 0x00, 0x03, 0x00, 7, 8, 9};
    ASSERT_EQ(Decode(HMX_IDL_RESPONSE, HMX_COMMON_GET_SUPPORTED_MSGS_RESP, body, msgs), 0);
    EXPECT_EQ(msgs.supported_msgs_valid, 1);
    EXPECT_EQ(msgs.supported_msgs_len, 3u);
    EXPECT_EQ(msgs.supported_msgs[2], 9);
}

TEST(SensorClientCodec, SizesAndArgumentChecks) {
    std::uint32_t v = 0;
    EXPECT_EQ(hmx_idl_get_message_c_struct_len(kSns, HMX_IDL_REQUEST, 0x20, &v), 0);
    EXPECT_EQ(v, 1004u);
    EXPECT_EQ(hmx_idl_get_message_c_struct_len(kSns, HMX_IDL_RESPONSE, 0x1e, &v), 0);
    EXPECT_EQ(v, 8208u);
    EXPECT_EQ(hmx_idl_get_max_message_len(kSns, HMX_IDL_REQUEST, 0x20, &v), 0);
    EXPECT_EQ(v, 1005u);
    EXPECT_EQ(hmx_idl_get_max_message_len(kSns, HMX_IDL_RESPONSE, 0x20, &v), 0);
    EXPECT_EQ(v, 25u);
    EXPECT_EQ(hmx_idl_get_max_message_len(kSns, HMX_IDL_INDICATION, 0x21, &v), 0);
    EXPECT_EQ(v, 1016u);
    EXPECT_EQ(hmx_idl_get_max_message_len(kSns, HMX_IDL_INDICATION, 0x22, &v),
              HMX_IDL_MSG_ID_NOT_FOUND);
    EXPECT_EQ(hmx_idl_get_service_id(kSns, &v), 0);
    EXPECT_EQ(v, 0x190u);
    EXPECT_EQ(hmx_idl_get_service_id(nullptr, &v), HMX_IDL_PARAMETER_ERROR);

    hmx_sns_client_report_ind_msg ind{};
    Bytes body = IndicationBody({1});
    EXPECT_EQ(Decode(3, 0x21, body, ind), HMX_IDL_PARAMETER_ERROR);
    EXPECT_EQ(hmx_idl_message_decode(kSns, HMX_IDL_INDICATION, 0x21, nullptr,
                                     static_cast<std::uint32_t>(body.size()), &ind, sizeof(ind)),
              HMX_IDL_PARAMETER_ERROR);
    EXPECT_EQ(Decode(HMX_IDL_INDICATION, 0x20, body, ind), HMX_IDL_MSG_ID_NOT_FOUND);
    EXPECT_EQ(Decode(HMX_IDL_INDICATION, 0x21, body, ind, sizeof(ind) - 1),
              HMX_IDL_STRUCT_TOO_SMALL);
    hmx_idl_service_object future = hmx_sns_client_service_object;
    future.library_version = 7;
    EXPECT_EQ(Decode(HMX_IDL_INDICATION, 0x21, body, ind, sizeof(ind), &future),
              HMX_IDL_INVALID_SERVICE_OBJECT);
    EXPECT_EQ(hmx_idl_get_idl_version(&future, &v), HMX_IDL_INVALID_SERVICE_OBJECT);
}

} // namespace
