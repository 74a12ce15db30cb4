// Decodes arbitrary bytes as the sensor client service's indication, the one
// message the driver decodes from the sensor hub. Whatever decodes must also
// encode back to a body that decodes to the same structure.
#include "hmx/hmx_idl.h"
#include "hmx/sns_client_service.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

std::int32_t Decode(const std::uint8_t* data, std::size_t size,
                    hmx_sns_client_report_ind_msg& ind) {
    return hmx_idl_message_decode(&hmx_sns_client_service_object, HMX_IDL_INDICATION,
                                  HMX_SNS_CLIENT_REPORT_IND, data, static_cast<std::uint32_t>(size),
                                  &ind, sizeof(ind));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0xFFFFFFu) {
        return 0;
    }
    hmx_sns_client_report_ind_msg ind;
    std::int32_t rc = Decode(data, size, ind);
    if (rc != 0) {
        if (rc < -51 || rc > -41) {
            __builtin_trap(); // only the codec's own codes may come back
        }
        return 0;
    }
    if (ind.payload_len > HMX_SNS_CLIENT_PAYLOAD_MAX) {
        __builtin_trap();
    }
    std::vector<std::uint8_t> body(1016);
    std::uint32_t len = 0;
    if (hmx_idl_message_encode(&hmx_sns_client_service_object, HMX_IDL_INDICATION,
                               HMX_SNS_CLIENT_REPORT_IND, &ind, sizeof(ind), body.data(),
                               static_cast<std::uint32_t>(body.size()), &len) != 0) {
        __builtin_trap();
    }
    hmx_sns_client_report_ind_msg again;
    if (Decode(body.data(), len, again) != 0 || again.client_id != ind.client_id ||
        again.payload_len != ind.payload_len ||
        std::memcmp(again.payload, ind.payload, ind.payload_len) != 0) {
        __builtin_trap();
    }
    return 0;
}
