// The HMCI client: finds the servers of an HMX service through the registered
// transports, opens clients on them, sends synchronous requests with
// transaction tracking, and reports indications and the loss of the server
// through callbacks.
#pragma once

#include "hmx/hmx_idl.h"
#include "platform/hmx_transport.h"
#include "platform/types.h"

#include <cstdint>

// Result codes (the codec's codes pass through).
#define HMX_NO_ERR 0
#define HMX_CLIENT_RELEASED (-1)
#define HMX_SERVICE_ERR (-2)
#define HMX_TIMEOUT_ERR (-3)
#define HMX_CLIENT_NO_MEMORY (-15)
#define HMX_CLIENT_TRANSPORT_ERR (-16)
#define HMX_CLIENT_PARAM_ERR (-17)
#define HMX_CLIENT_INVALID_CLNT (-18)
#define HMX_CLIENT_FW_NOT_UP (-19)
#define HMX_CLIENT_INVALID_SIG (-20)
#define HMX_XPORT_BUSY_ERR (-21)

// A client handle: a nonzero id, never a pointer.
using hmx_client_type = std::uint32_t;

using hmx_client_ind_cb = void (*)(hmx_client_type handle, std::uint32_t msg_id,
                                   const void* ind_buf, std::uint32_t ind_buf_len, void* data);
using hmx_client_error_cb = void (*)(hmx_client_type handle, std::int32_t error, void* data);

// The wait record of a notifier client: the library creates and closes the event.
struct hmx_client_os_params {
    HANDLE event;
    std::uint32_t signalled;
};

// ---- Library start-up and transport registration ----
//
// A process starts the library once, then registers each transport it has:
//
//     hmx_cci_library_init();
//     hmx_cci_xport_register(&ops, transport_data, transport_id);
//
// and hands the transport the receive path of hmx_cci_xport_receiver(), which
// the transport calls for every message, server event and finished close.
// Rows stay registered until hmx_cci_library_deinit().

#define HMX_CCI_MAX_XPORTS 8u

// Initialises the library's locks and marks it initialised. Idempotent; 0.
std::int32_t hmx_cci_library_init();

// Adds a transport row. 0; -19 before hmx_cci_library_init; -17 for null
// operations, a transport id already registered or a full table.
std::int32_t hmx_cci_xport_register(const hmx_cci_xport_ops* ops, void* xport_data,
                                    std::uint8_t xport_id);

// Removes every transport row, marks the library uninitialised and restarts
// handle numbering. 0; -17 (nothing changed) while any client record lives.
std::int32_t hmx_cci_library_deinit();

// The receive path a transport calls on its own threads.
const hmx_cci_xport_rx_ops* hmx_cci_xport_receiver();

// ---- Client operations ----

std::int32_t hmx_client_get_service_list(const hmx_idl_service_object* service,
                                         hmx_service_info* service_info_array,
                                         std::uint32_t* num_entries, std::uint32_t* num_services);

std::int32_t hmx_client_init(const hmx_service_info* service_info,
                             const hmx_idl_service_object* service, hmx_client_ind_cb ind_cb,
                             void* ind_cb_data, hmx_client_os_params* os_params,
                             hmx_client_type* user_handle);

std::int32_t hmx_client_set_error_callback(hmx_client_type user_handle, hmx_client_error_cb err_cb,
                                           void* err_cb_data);

std::int32_t hmx_client_wait_for_service(const hmx_idl_service_object* service,
                                         hmx_client_ind_cb ind_cb, void* ind_cb_data,
                                         std::uint32_t timeout_ms, hmx_client_type* user_handle);

std::int32_t hmx_client_send_msg_sync(hmx_client_type user_handle, std::uint32_t msg_id,
                                      void* req_c_struct, std::uint32_t req_c_struct_len,
                                      void* resp_c_struct, std::uint32_t resp_c_struct_len,
                                      std::uint32_t timeout_msecs);

std::int32_t hmx_client_release(hmx_client_type user_handle);
