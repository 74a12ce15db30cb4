// The HMX IDL message codec: converts between a message's fixed in-memory
// structure and its encoded body (a sequence of TLVs), driven by the constant
// tables of a service object. One encoder and one decoder serve every message.
#pragma once

#include <cstdint>

// Codec result codes (0 is success).
#define HMX_IDL_STRUCT_TOO_SMALL (-41)
#define HMX_IDL_ARRAY_TOO_BIG (-42)
#define HMX_IDL_MSG_ID_NOT_FOUND (-43)
#define HMX_IDL_DUPLICATE_TLV (-44)
#define HMX_IDL_LENGTH_INCONSISTENCY (-45)
#define HMX_IDL_MISSING_TLV (-46)
#define HMX_IDL_PARAMETER_ERROR (-47)
#define HMX_IDL_INVALID_SERVICE_OBJECT (-48)
#define HMX_IDL_UNKNOWN_MANDATORY_TLV (-49)
#define HMX_IDL_RANGE_CHECK_FAILED (-51)

enum hmx_idl_type_of_message { HMX_IDL_REQUEST = 0, HMX_IDL_RESPONSE = 1, HMX_IDL_INDICATION = 2 };

// A range-check function sees a copy of one scalar element and may change it.
// Decoding applies its verdict: 0 accept, -1 take the changed value, -2 drop
// the value, above 0 end the decode with that verdict. Encoding fails on any
// non-zero verdict.
using hmx_idl_range_check_fn = std::int32_t (*)(void* element, std::uint32_t size);

// The structure size of a message or nested type, and its description stream.
struct hmx_idl_message_table_entry {
    std::uint32_t c_struct_sz;
    const std::uint8_t* p_encoded_tlv_data;
};

struct hmx_idl_type_table_object {
    std::uint16_t n_types;
    std::uint16_t n_messages;
    std::uint8_t n_type_table_refs;
    const hmx_idl_message_table_entry* p_types;
    const hmx_idl_message_table_entry* p_messages;
    // Entry 0 is the table itself.
    const hmx_idl_type_table_object* const* p_type_table_refs;
    const hmx_idl_range_check_fn* p_ranges;
};

// One row of a service's message table; rows are sorted by message id.
struct hmx_idl_service_message_table_entry {
    std::uint16_t message_id;
    // High 4 bits: referenced type table; low 12 bits: message index in it.
    std::uint16_t message_table_message_id;
    std::uint16_t max_msg_len;
};

struct hmx_idl_service_object {
    std::uint32_t library_version;
    std::uint32_t idl_version;
    std::uint32_t service_id;
    std::uint32_t max_msg_len;
    std::uint16_t n_msgs[3];
    const hmx_idl_service_message_table_entry* msgid_to_msg[3];
    const hmx_idl_type_table_object* p_type_table;
    std::uint32_t idl_minor_version;
    const hmx_idl_service_object* parent_service_obj;
};

std::int32_t hmx_idl_message_encode(const hmx_idl_service_object* service, int kind,
                                    std::uint16_t message_id, const void* src,
                                    std::uint32_t src_len, void* dst, std::uint32_t dst_len,
                                    std::uint32_t* dst_decoded_len);

std::int32_t hmx_idl_message_decode(const hmx_idl_service_object* service, int kind,
                                    std::uint16_t message_id, const void* src,
                                    std::uint32_t src_len, void* dst, std::uint32_t dst_len);

std::int32_t hmx_idl_get_message_c_struct_len(const hmx_idl_service_object* service, int kind,
                                              std::uint16_t message_id,
                                              std::uint32_t* c_struct_len);

std::int32_t hmx_idl_get_max_message_len(const hmx_idl_service_object* service, int kind,
                                         std::uint16_t message_id, std::uint32_t* message_len);

std::int32_t hmx_idl_get_service_id(const hmx_idl_service_object* service,
                                    std::uint32_t* service_id);

std::int32_t hmx_idl_get_idl_version(const hmx_idl_service_object* service,
                                     std::uint32_t* idl_version);
