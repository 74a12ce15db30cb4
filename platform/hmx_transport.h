// The HMX transport interface: what the HMCI client library calls on a
// transport, and what a transport calls back on the library when messages and
// server events arrive. Both sides are plain tables of functions so that a
// transport never needs the library's code and the library never needs a
// transport's.
#pragma once

#include <cstdint>

// One server of a service, as a transport's lookup reports it. Exchanged with
// transports, so the layout is fixed at 20 bytes.
struct hmx_service_info {
    std::uint8_t xport_id;
    std::uint8_t reserved[3];
    std::uint8_t server_addr[16];
};
static_assert(sizeof(hmx_service_info) == 20, "service-info entries are 20 bytes");

// A server address is at most this long; a transport uses the leading
// address-length bytes.
#define HMX_CCI_MAX_ADDR_LEN 16u

// The HMX message header in front of every encoded body: little-endian,
// unaligned, 7 bytes.
#define HMX_CCI_HEADER_SIZE 7u
#define HMX_CCI_CTRL_REQUEST 0u
#define HMX_CCI_CTRL_RESPONSE 2u
#define HMX_CCI_CTRL_INDICATION 4u

// What a transport offers, in slot order. `client` is the library's client
// record, opaque to the transport and handed back on the receive path.
struct hmx_cci_xport_ops {
    // Returns the transport handle, or null when the transport refuses.
    void* (*open)(void* xport_data, void* client, std::uint32_t service_id,
                  std::uint32_t idl_version, void* server_addr_out, std::uint32_t max_msg_len);
    // 0, -21 busy (try again later), -2 server gone, or another negative failure.
    std::int32_t (*send)(void* handle, const void* server_addr, const std::uint8_t* buf,
                         std::uint32_t len);
    // Closing is asynchronous: the transport reports the end through `closed`.
    void (*close)(void* handle);
    // Returns how many servers of the service the transport knows; when both
    // `num_entries` and `entries` are given, fills at most *num_entries entries
    // and writes back how many it filled.
    std::uint32_t (*lookup)(void* xport_data, std::uint8_t xport_id, std::uint32_t service_id,
                            std::uint32_t idl_version, std::uint32_t* num_entries,
                            hmx_service_info* entries);
    std::uint32_t (*addr_len)(void);
};

// The library's receive path, called by a transport on its own threads. The
// client record stays valid until the transport has called `closed` for it.
struct hmx_cci_xport_rx_ops {
    // A received message: header and body.
    void (*recv)(void* client, const void* server_addr, const std::uint8_t* buf, std::uint32_t len);
    // A server of the record's service came up.
    void (*new_server)(void* client, const void* server_addr);
    // A server of the record's service went away.
    void (*remove_server)(void* client, const void* server_addr);
    // The transport has finished closing one of the record's transport handles.
    void (*closed)(void* client);
};

// The HMX transports of this machine. A client library starting in the process
// hands over its receive path and gets the rows to register in its transport
// table: fills at most `capacity` rows and returns how many transports there are.
struct hmx_platform_transport {
    const hmx_cci_xport_ops* ops;
    void* xport_data;
    std::uint8_t xport_id;
};
std::uint32_t hmx_platform_get_transports(const hmx_cci_xport_rx_ops* receiver,
                                          hmx_platform_transport* rows, std::uint32_t capacity);
