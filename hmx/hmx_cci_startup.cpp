#include "hmx/hmx_cci_startup.h"

#include "hmx/hmx_client.h"
#include "platform/hmx_transport.h"

std::int32_t hmx_cci_library_start() {
    hmx_cci_library_init();
    hmx_platform_transport rows[HMX_CCI_MAX_XPORTS] = {};
    std::uint32_t count =
        hmx_platform_get_transports(hmx_cci_xport_receiver(), rows, HMX_CCI_MAX_XPORTS);
    std::int32_t result = HMX_NO_ERR;
    for (std::uint32_t i = 0; i < count && i < HMX_CCI_MAX_XPORTS; ++i) {
        // A row registered by an earlier start is refused as a duplicate: it is there.
        std::int32_t rc = hmx_cci_xport_register(rows[i].ops, rows[i].xport_data, rows[i].xport_id);
        if (rc != HMX_NO_ERR && rc != HMX_CLIENT_PARAM_ERR && result == HMX_NO_ERR) {
            result = rc;
        }
    }
    return result;
}
