// The HMCI client's own operations on a client record, for the library's tests:
// they reach a client record by its handle, flush its transmit queue and play
// the release callback. Callers of the library use hmx_client.h only.
#pragma once

#include "hmx/hmx_client.h"

struct hmx_cci_client;

// What hmx_client_release waits on until the client record is freed.
struct hmx_cci_release_wait {
    HANDLE event;
    std::int32_t pending; // HMX_TIMEOUT_ERR until the release callback ran
};

// Looks a client up and takes a reference (optionally unlinking it from the
// handle table); null for an unknown handle or a record being freed.
hmx_cci_client* hmx_cci_client_ref(hmx_client_type handle, bool unlink);
// Drops a reference; the last one frees the record.
void hmx_cci_client_unref(hmx_cci_client* client);
// Sends what the transmit queue holds, head first, until it is empty or the
// transport is busy.
void hmx_cci_flush_tx_queue(hmx_cci_client* client);
// The release callback: `data` is the hmx_cci_release_wait of the releaser.
void hmx_cci_release_cb(void* data);
