#include "hmx/sns_client_service.h"

// Description streams: a TLV header byte, then one field descriptor (flags,
// offset, maximum count, count position, nested type). See hmx_idl_codec.cpp
// for the bit meanings.
namespace {

extern const hmx_idl_type_table_object kCommonTypeTable;
extern const hmx_idl_type_table_object kSnsClientTypeTable;

// The response header: two 16-bit wire values widened to 32 bits.
const std::uint8_t kResponseTypeStream[] = {
    0x05, offsetof(hmx_response_type, result), //
    0x05, offsetof(hmx_response_type, error),  //
    0x20,
};

const std::uint8_t kSupportedMsgsRespStream[] = {
    // TLV 0x02: the response header (type 0 of this table).
    0x02,
    0x07,
    offsetof(hmx_common_get_supported_msgs_resp_msg, resp),
    0x00,
    0x00,
    // TLV 0x10, optional: up to 8192 bytes behind a 16-bit count.
    0xC0 | (offsetof(hmx_common_get_supported_msgs_resp_msg, supported_msgs) -
            offsetof(hmx_common_get_supported_msgs_resp_msg, supported_msgs_valid)),
    0x10,
    0x70,
    offsetof(hmx_common_get_supported_msgs_resp_msg, supported_msgs),
    HMX_COMMON_SUPPORTED_MSGS_MAX & 0xFF,
    HMX_COMMON_SUPPORTED_MSGS_MAX >> 8,
    offsetof(hmx_common_get_supported_msgs_resp_msg, supported_msgs) -
        offsetof(hmx_common_get_supported_msgs_resp_msg, supported_msgs_len),
};

const hmx_idl_message_table_entry kCommonTypes[] = {
    {sizeof(hmx_response_type), kResponseTypeStream},
};

const hmx_idl_message_table_entry kCommonMessages[] = {
    {sizeof(hmx_common_get_supported_msgs_req_msg), nullptr},
    {sizeof(hmx_common_get_supported_msgs_resp_msg), kSupportedMsgsRespStream},
};

const hmx_idl_type_table_object* const kCommonRefs[] = {&kCommonTypeTable};

const hmx_idl_type_table_object kCommonTypeTable = {
    1, 2, 1, kCommonTypes, kCommonMessages, kCommonRefs, nullptr,
};

const std::uint8_t kSnsClientReqStream[] = {
    // TLV 0x01, the last: up to 1000 bytes behind a 16-bit count.
    0x81,
    0x70,
    offsetof(hmx_sns_client_req_msg, payload),
    HMX_SNS_CLIENT_PAYLOAD_MAX & 0xFF,
    HMX_SNS_CLIENT_PAYLOAD_MAX >> 8,
    offsetof(hmx_sns_client_req_msg, payload) - offsetof(hmx_sns_client_req_msg, payload_len),
};

const std::uint8_t kSnsClientRespStream[] = {
    // TLV 0x02: the response header, type 0 of the shared table (reference 1).
    0x02,
    0x07,
    offsetof(hmx_sns_client_resp_msg, resp),
    0x00,
    0x01,
    // TLV 0x10, optional: the client id.
    0x40 | (offsetof(hmx_sns_client_resp_msg, client_id) -
            offsetof(hmx_sns_client_resp_msg, client_id_valid)),
    0x10,
    0x03,
    offsetof(hmx_sns_client_resp_msg, client_id),
    // TLV 0x11, optional and last: the result of the request.
    0xC0 | (offsetof(hmx_sns_client_resp_msg, result) -
            offsetof(hmx_sns_client_resp_msg, result_valid)),
    0x11,
    0x02,
    offsetof(hmx_sns_client_resp_msg, result),
};

const std::uint8_t kSnsClientReportIndStream[] = {
    // TLV 0x01: the client id.
    0x01,
    0x03,
    offsetof(hmx_sns_client_report_ind_msg, client_id),
    // TLV 0x02, the last: up to 1000 bytes behind a 16-bit count.
    0x82,
    0x70,
    offsetof(hmx_sns_client_report_ind_msg, payload),
    HMX_SNS_CLIENT_PAYLOAD_MAX & 0xFF,
    HMX_SNS_CLIENT_PAYLOAD_MAX >> 8,
    offsetof(hmx_sns_client_report_ind_msg, payload) -
        offsetof(hmx_sns_client_report_ind_msg, payload_len),
};

const hmx_idl_message_table_entry kSnsClientMessages[] = {
    {sizeof(hmx_sns_client_req_msg), kSnsClientReqStream},
    {sizeof(hmx_sns_client_resp_msg), kSnsClientRespStream},
    {sizeof(hmx_sns_client_report_ind_msg), kSnsClientReportIndStream},
};

const hmx_idl_type_table_object* const kSnsClientRefs[] = {&kSnsClientTypeTable, &kCommonTypeTable};

const hmx_idl_type_table_object kSnsClientTypeTable = {
    0, 3, 2, nullptr, kSnsClientMessages, kSnsClientRefs, nullptr,
};

// Shared-table references carry the table index in their top four bits.
constexpr std::uint16_t kShared = 1u << 12;

const hmx_idl_service_message_table_entry kRequests[] = {
    {HMX_COMMON_GET_SUPPORTED_MSGS_REQ, kShared | 0, 0},
    {HMX_SNS_CLIENT_REQ, 0, 1005},
};
const hmx_idl_service_message_table_entry kResponses[] = {
    {HMX_COMMON_GET_SUPPORTED_MSGS_RESP, kShared | 1, 8204},
    {HMX_SNS_CLIENT_RESP, 1, 25},
};
const hmx_idl_service_message_table_entry kIndications[] = {
    {HMX_SNS_CLIENT_REPORT_IND, 2, 1016},
};

} // namespace

const hmx_idl_service_object hmx_sns_client_service_object = {
    6,
    HMX_SNS_CLIENT_IDL_VERSION,
    HMX_SNS_CLIENT_SERVICE_ID,
    HMX_SNS_CLIENT_MAX_MSG_LEN,
    {2, 2, 1},
    {kRequests, kResponses, kIndications},
    &kSnsClientTypeTable,
    1,
    nullptr,
};
