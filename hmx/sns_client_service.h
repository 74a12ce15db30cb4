// The sensor client service of the sensor hub: its service object and the
// structures of the messages the driver exchanges with it.
#pragma once

#include "hmx/hmx_idl.h"

#include <cstddef>
#include <cstdint>

#define HMX_SNS_CLIENT_SERVICE_ID 0x190u
#define HMX_SNS_CLIENT_IDL_VERSION 1u
#define HMX_SNS_CLIENT_MAX_MSG_LEN 8204u

// Message ids.
#define HMX_SNS_CLIENT_REQ 0x20u
#define HMX_SNS_CLIENT_RESP 0x20u
#define HMX_SNS_CLIENT_REPORT_IND 0x21u
// From the shared table the service refers to; the driver never sends them.
#define HMX_COMMON_GET_SUPPORTED_MSGS_REQ 0x1Eu
#define HMX_COMMON_GET_SUPPORTED_MSGS_RESP 0x1Eu

#define HMX_SNS_CLIENT_PAYLOAD_MAX 1000u
#define HMX_COMMON_SUPPORTED_MSGS_MAX 8192u

// The header every response starts with; the wire holds 16-bit values.
struct hmx_response_type {
    std::int32_t result;
    std::int32_t error;
};

struct hmx_sns_client_req_msg {
    std::uint32_t payload_len;
    std::uint8_t payload[HMX_SNS_CLIENT_PAYLOAD_MAX];
};

struct hmx_sns_client_resp_msg {
    hmx_response_type resp;
    std::uint8_t client_id_valid;
    std::uint64_t client_id;
    std::uint8_t result_valid;
    std::int32_t result;
};

struct hmx_sns_client_report_ind_msg {
    std::uint64_t client_id;
    std::uint32_t payload_len;
    std::uint8_t payload[HMX_SNS_CLIENT_PAYLOAD_MAX];
};

struct hmx_common_get_supported_msgs_req_msg {
    char placeholder; // the request has no fields
};

struct hmx_common_get_supported_msgs_resp_msg {
    hmx_response_type resp;
    std::uint8_t supported_msgs_valid;
    std::uint32_t supported_msgs_len;
    std::uint8_t supported_msgs[HMX_COMMON_SUPPORTED_MSGS_MAX];
};

static_assert(sizeof(hmx_sns_client_req_msg) == 1004);
static_assert(sizeof(hmx_sns_client_resp_msg) == 32);
static_assert(sizeof(hmx_sns_client_report_ind_msg) == 1016);
static_assert(sizeof(hmx_common_get_supported_msgs_resp_msg) == 8208);

extern const hmx_idl_service_object hmx_sns_client_service_object;
