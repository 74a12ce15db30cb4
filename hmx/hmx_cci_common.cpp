#include "hmx/hmx_cci_internal.h"
#include "hmx/hmx_client.h"
#include "hmx/hmx_list.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr std::uint32_t kBucketCount = 16;
constexpr std::int32_t kStateNotifier = 0;
constexpr std::int32_t kStateServerGone = 1;
constexpr std::int32_t kStateConnected = 2;
constexpr std::uint32_t kTxnSync = 5; // bit 0: the transaction owns an event
// This client carries only the sensor client's request structure.
constexpr std::uint32_t kRequestStructSize = 1004;
// A transport that keeps changing its answer does not hold init forever.
constexpr int kConfirmAttempts = 4;

} // namespace

struct hmx_cci_xport {
    HmxLink<hmx_cci_xport> link;
    const hmx_cci_xport_ops* ops = nullptr;
    void* handle = nullptr; // guarded by the client's transmit-queue lock
    std::uint32_t addr_len = 0;
};

struct hmx_cci_txn {
    HmxLink<hmx_cci_txn> list_link;
    HmxLink<hmx_cci_txn> tx_link;
    std::uint32_t type = 0;
    std::uint16_t txn_id = 0;
    std::uint16_t msg_id = 0;
    void* resp = nullptr; // guarded by `lock`, like resp_len and rc
    std::uint32_t resp_len = 0;
    std::int32_t rc = 0;
    LONG ref_count = 0;
    hmx_cci_client* client = nullptr;
    std::uint8_t* tx_buf = nullptr;
    std::uint32_t tx_buf_len = 0;
    CRITICAL_SECTION lock{};
    HANDLE event = nullptr;
    std::uint8_t timed_out = 0;
};

using TxnList = HmxList<hmx_cci_txn, &hmx_cci_txn::list_link>;
using TxQueue = HmxList<hmx_cci_txn, &hmx_cci_txn::tx_link>;

struct hmx_cci_client {
    std::uint32_t handle = 0;
    std::int32_t ref_count = 0; // guarded by the global lock
    HmxLink<hmx_cci_client> bucket_link;
    bool linked = false;
    const hmx_idl_service_object* service = nullptr;
    HmxList<hmx_cci_xport, &hmx_cci_xport::link> xports;
    void (*release_cb)(void*) = nullptr;
    void* release_cb_data = nullptr;
    std::int32_t state = 0; // guarded by state_lock, like everything down to server_addr
    hmx_client_error_cb err_cb = nullptr;
    void* err_cb_data = nullptr;
    std::uint32_t err_pending = 0;
    hmx_client_os_params* os_params = nullptr;
    hmx_client_ind_cb ind_cb = nullptr;
    void* ind_cb_data = nullptr;
    std::uint8_t server_addr[HMX_CCI_MAX_ADDR_LEN] = {};
    TxnList txns;
    std::uint16_t next_txn_id = 0;
    TxQueue tx_q;
    std::uint32_t tx_enabled = 0;
    CRITICAL_SECTION txn_lock{};
    CRITICAL_SECTION tx_q_lock{};
    CRITICAL_SECTION state_lock{};
    HANDLE event = nullptr;
};

struct hmx_cci_xport_entry {
    const hmx_cci_xport_ops* ops;
    void* xport_data;
    std::uint8_t xport_id;
};

// The header in front of every message body, as it stands on the wire.
struct hmx_cci_header {
    std::uint8_t cntl_flag; // 0 request, 2 response, 4 indication
    std::uint16_t txn_id;
    std::uint16_t msg_id;
    std::uint16_t msg_len; // the body's length, the header excluded
};

namespace {

using Bucket = HmxList<hmx_cci_client, &hmx_cci_client::bucket_link>;

struct Library {
    CRITICAL_SECTION global_lock{};
    CRITICAL_SECTION xport_lock{};
    Bucket buckets[kBucketCount];
    std::uint32_t next_handle = 1;
    std::uint32_t live_clients = 0;
    hmx_cci_xport_entry xports[HMX_CCI_MAX_XPORTS] = {};
    std::uint32_t xport_count = 0;
    std::atomic<std::uint32_t> initialized{0};
};

Library& Lib() {
    // Built once, on first use, and kept for the life of the process: transports
    // may still deliver while a process shuts down.
    static Library* lib = [] {
        auto* l = new Library;
        InitializeCriticalSection(&l->global_lock);
        InitializeCriticalSection(&l->xport_lock);
        return l;
    }();
    return *lib;
}

class Guard {
public:
    explicit Guard(CRITICAL_SECTION& lock) : mLock(lock) { EnterCriticalSection(&mLock); }
    ~Guard() { LeaveCriticalSection(&mLock); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    CRITICAL_SECTION& mLock;
};

// ---- Debug lines ----

const char* CtrlText(std::uint8_t ctrl) {
    switch (ctrl) {
    case HMX_CCI_CTRL_REQUEST:
        return "REQ";
    case HMX_CCI_CTRL_RESPONSE:
        return "RESP";
    case HMX_CCI_CTRL_INDICATION:
        return "IND";
    default:
        return "UNKNOWN";
    }
}

void DebugLine(const char* direction, std::uint8_t ctrl, std::uint16_t txn, std::uint16_t msg,
               int len) {
    char line[1024];
    std::snprintf(line, sizeof(line), "HMCI UM %s: %s txn: 0x%x msg_id: 0x%x len: %d\n", direction,
                  CtrlText(ctrl), txn, msg, len);
    OutputDebugStringA(line);
}

void DebugTx(std::uint8_t ctrl, std::uint16_t txn, std::uint16_t msg, int len) {
    DebugLine("TX", ctrl, txn, msg, len);
}

void DebugRx(std::uint8_t ctrl, std::uint16_t txn, std::uint16_t msg, int len) {
    DebugLine("RX", ctrl, txn, msg, len);
}

std::uint16_t ReadU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

void WriteU16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

// The header is little-endian and unaligned whatever the machine: field by field.
hmx_cci_header ReadHeader(const std::uint8_t* p) {
    return hmx_cci_header{p[0], ReadU16(p + 1), ReadU16(p + 3), ReadU16(p + 5)};
}

void WriteHeader(std::uint8_t* p, const hmx_cci_header& header) {
    p[0] = header.cntl_flag;
    WriteU16(p + 1, header.txn_id);
    WriteU16(p + 3, header.msg_id);
    WriteU16(p + 5, header.msg_len);
}

// A new client or transaction record with the manual-reset event its waiter
// sleeps on.
template <typename Record> std::int32_t NewWithEvent(Record** out) {
    auto* record = new (std::nothrow) Record;
    if (record == nullptr) {
        return HMX_CLIENT_NO_MEMORY;
    }
    record->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (record->event == nullptr) {
        delete record;
        return HMX_CLIENT_INVALID_SIG;
    }
    *out = record;
    return HMX_NO_ERR;
}

// ---- Transactions ----

void TxnRef(hmx_cci_txn* txn) {
    InterlockedIncrement(&txn->ref_count);
}

void TxnUnref(hmx_cci_txn* txn) {
    if (InterlockedDecrement(&txn->ref_count) != 0) {
        return;
    }
    CloseHandle(txn->event);
    DeleteCriticalSection(&txn->lock);
    std::free(txn->tx_buf);
    delete txn;
}

// Gives a transaction its final result and wakes its sender.
void TxnComplete(hmx_cci_txn* txn, std::int32_t rc, bool clearResponse) {
    {
        Guard guard(txn->lock);
        txn->rc = rc;
        if (clearResponse) {
            txn->resp = nullptr;
            txn->resp_len = 0;
        }
    }
    SetEvent(txn->event);
}

// ---- Client records and the handle table ----

Bucket& BucketOf(Library& lib, std::uint32_t handle) {
    return lib.buckets[handle & (kBucketCount - 1)];
}

// Takes a client out of the handle table, if it is still in it; with the
// global lock held.
void UnlinkLocked(Library& lib, hmx_cci_client* c) {
    if (c->linked) {
        BucketOf(lib, c->handle).Remove(c);
        c->linked = false;
    }
}

void ClientFree(hmx_cci_client* c) {
    CloseHandle(c->event);
    DeleteCriticalSection(&c->txn_lock);
    DeleteCriticalSection(&c->tx_q_lock);
    DeleteCriticalSection(&c->state_lock);
    if (c->state == kStateNotifier && c->os_params != nullptr) {
        CloseHandle(c->os_params->event);
    }
    if (c->release_cb != nullptr) {
        c->release_cb(c->release_cb_data);
    }
    while (hmx_cci_xport* xp = c->xports.head) {
        c->xports.Remove(xp);
        delete xp;
    }
    delete c;
}

} // namespace

hmx_cci_client* hmx_cci_client_ref(hmx_client_type id, bool unlink) {
    Library& lib = Lib();
    Guard guard(lib.global_lock);
    Bucket& bucket = BucketOf(lib, id);
    for (hmx_cci_client* c = bucket.head; c != nullptr; c = Bucket::Next(c)) {
        if (c->handle != id) {
            continue;
        }
        if (c->ref_count < 0) {
            return nullptr;
        }
        ++c->ref_count;
        if (unlink) {
            bucket.Remove(c);
            c->linked = false;
        }
        return c;
    }
    return nullptr;
}

void hmx_cci_client_unref(hmx_cci_client* c) {
    Library& lib = Lib();
    {
        Guard guard(lib.global_lock);
        if (--c->ref_count != 0) {
            return;
        }
        UnlinkLocked(lib, c);
        --lib.live_clients;
    }
    ClientFree(c);
}

namespace {

// Takes a client that never got an open transport record out of the table and
// drops its creation reference.
void ClientDrop(hmx_cci_client* c) {
    Library& lib = Lib();
    {
        Guard guard(lib.global_lock);
        UnlinkLocked(lib, c);
    }
    hmx_cci_client_unref(c);
}

std::int32_t hmx_cci_client_alloc(std::int32_t kind, const hmx_idl_service_object* service,
                                  hmx_client_ind_cb ind_cb, void* ind_cb_data,
                                  hmx_client_os_params* os_params, hmx_cci_client** out) {
    Library& lib = Lib();
    if (lib.initialized.load() == 0) {
        return HMX_CLIENT_FW_NOT_UP;
    }
    hmx_cci_client* c = nullptr;
    if (std::int32_t rc = NewWithEvent(&c); rc != HMX_NO_ERR) {
        return rc;
    }
    if (kind == kStateConnected) {
        c->next_txn_id = 1;
        c->tx_enabled = 1;
        c->ind_cb = ind_cb;
        c->ind_cb_data = ind_cb_data;
    } else if (os_params != nullptr) {
        c->os_params = os_params;
        os_params->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (os_params->event == nullptr) {
            CloseHandle(c->event);
            delete c;
            return HMX_CLIENT_INVALID_SIG;
        }
        __atomic_store_n(&os_params->signalled, 0u, __ATOMIC_SEQ_CST);
    }
    InitializeCriticalSection(&c->txn_lock);
    InitializeCriticalSection(&c->tx_q_lock);
    InitializeCriticalSection(&c->state_lock);
    c->service = service;
    c->state = kind;
    c->ref_count = 1;
    {
        Guard guard(lib.global_lock);
        for (;;) {
            std::uint32_t candidate = lib.next_handle++;
            if (candidate == 0) {
                continue;
            }
            Bucket& bucket = BucketOf(lib, candidate);
            bool inUse = false;
            for (hmx_cci_client* it = bucket.head; it != nullptr && !inUse; it = Bucket::Next(it)) {
                inUse = it->handle == candidate;
            }
            if (inUse) {
                continue;
            }
            c->handle = candidate;
            bucket.Append(c);
            c->linked = true;
            ++lib.live_clients;
            break;
        }
    }
    *out = c;
    return HMX_NO_ERR;
}

std::int32_t ClientState(hmx_cci_client* c) {
    Guard guard(c->state_lock);
    return c->state;
}

void SignalWaitRecord(hmx_client_os_params* os) {
    __atomic_store_n(&os->signalled, 1u, __ATOMIC_SEQ_CST);
    SetEvent(os->event);
}

// ---- Failing work, server exit, the transmit queue ----

void hmx_cci_client_fail_txns(hmx_cci_client* c, std::int32_t code) {
    if (ClientState(c) == kStateNotifier) {
        return;
    }
    TxQueue queued;
    {
        Guard guard(c->tx_q_lock);
        queued = c->tx_q.Detach();
    }
    while (hmx_cci_txn* txn = queued.head) {
        queued.Remove(txn);
        std::free(txn->tx_buf);
        txn->tx_buf = nullptr;
        TxnUnref(txn);
    }
    TxnList pending;
    {
        Guard guard(c->txn_lock);
        pending = c->txns.Detach();
    }
    while (hmx_cci_txn* txn = pending.head) {
        pending.Remove(txn);
        if (code == 0) {
            DebugRx(0xFF, txn->txn_id, txn->msg_id, 0);
        }
        TxnComplete(txn, code, true);
        TxnUnref(txn);
    }
}

std::uint32_t AddrLen(hmx_cci_client* c) {
    return c->xports.head != nullptr ? c->xports.head->addr_len : 0;
}

void hmx_cci_handle_server_exit(hmx_cci_client* c, const void* addr) {
    EnterCriticalSection(&c->state_lock);
    if (c->state == kStateNotifier) {
        LeaveCriticalSection(&c->state_lock);
        if (c->os_params != nullptr) {
            SignalWaitRecord(c->os_params);
        }
        return;
    }
    if (c->state == kStateServerGone) {
        LeaveCriticalSection(&c->state_lock);
        hmx_cci_client_fail_txns(c, HMX_SERVICE_ERR);
        return;
    }
    std::uint32_t len = AddrLen(c);
    if (addr == nullptr || std::memcmp(addr, c->server_addr, len) != 0) {
        LeaveCriticalSection(&c->state_lock);
        return;
    }
    std::memset(c->server_addr, 0, sizeof(c->server_addr));
    c->state = kStateServerGone;
    if (c->err_cb == nullptr) {
        c->err_pending = 1;
    }
    hmx_client_error_cb cb = c->err_cb;
    void* data = c->err_cb_data;
    LeaveCriticalSection(&c->state_lock);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_HMX, "HMCI client 0x%x: server gone", c->handle);
    hmx_cci_client_fail_txns(c, HMX_SERVICE_ERR);
    if (cb != nullptr) {
        cb(c->handle, HMX_SERVICE_ERR, data);
    }
}

// Takes a transaction out of the client's list; false where a response,
// a failure or server exit took it out first.
bool UnlistTxn(hmx_cci_client* c, hmx_cci_txn* txn) {
    Guard guard(c->txn_lock);
    if (!c->txns.Contains(txn)) {
        return false;
    }
    c->txns.Remove(txn);
    return true;
}

// Takes a failed transaction out of the list, if it is still there, and wakes its sender.
void CompleteFailedTxn(hmx_cci_client* c, hmx_cci_txn* txn, std::int32_t rc) {
    if (UnlistTxn(c, txn)) {
        TxnComplete(txn, rc, false);
        TxnUnref(txn);
    }
}

} // namespace

void hmx_cci_flush_tx_queue(hmx_cci_client* c) {
    std::uint8_t addr[HMX_CCI_MAX_ADDR_LEN];
    std::int32_t state;
    {
        Guard guard(c->state_lock);
        state = c->state;
        std::memcpy(addr, c->server_addr, sizeof(addr));
    }
    if (state != kStateConnected) {
        hmx_cci_client_fail_txns(c, HMX_SERVICE_ERR);
        return;
    }
    EnterCriticalSection(&c->tx_q_lock);
    while (hmx_cci_txn* txn = c->tx_q.head) {
        hmx_cci_xport* xp = c->xports.head;
        void* handle = xp != nullptr ? xp->handle : nullptr;
        std::int32_t rc = HMX_CLIENT_INVALID_CLNT;
        if (c->tx_enabled != 0 && handle != nullptr) {
            rc = xp->ops->send(handle, addr, txn->tx_buf, txn->tx_buf_len);
        }
        if (rc == HMX_XPORT_BUSY_ERR) {
            break; // stays at the head until the next flush
        }
        c->tx_q.Remove(txn);
        std::free(txn->tx_buf);
        txn->tx_buf = nullptr;
        if (rc == HMX_NO_ERR) {
            TxnUnref(txn);
            continue;
        }
        // Completing the transaction and server exit take the client's other
        // locks, which are never held together with this one.
        LeaveCriticalSection(&c->tx_q_lock);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HMX, "HMCI client 0x%x: send of txn 0x%x failed %d",
                    c->handle, txn->txn_id, rc);
        CompleteFailedTxn(c, txn, rc);
        TxnUnref(txn);
        if (rc == HMX_SERVICE_ERR) {
            hmx_cci_handle_server_exit(c, addr);
        }
        // A request queued behind the failed one found the queue busy and
        // left the sending to this flush.
        EnterCriticalSection(&c->tx_q_lock);
    }
    LeaveCriticalSection(&c->tx_q_lock);
}

namespace {

std::int32_t hmx_cci_queue_tx(hmx_cci_client* c, hmx_cci_txn* txn, std::uint8_t* buf,
                              std::uint32_t len) {
    if (buf == nullptr || len == 0) {
        return HMX_CLIENT_PARAM_ERR;
    }
    if (ClientState(c) != kStateConnected) {
        return HMX_SERVICE_ERR;
    }
    TxnRef(txn);
    bool wasEmpty;
    {
        Guard guard(c->tx_q_lock);
        if (c->tx_enabled == 0) {
            TxnUnref(txn);
            return HMX_CLIENT_INVALID_CLNT;
        }
        txn->tx_buf = buf;
        txn->tx_buf_len = len;
        wasEmpty = c->tx_q.count == 0;
        c->tx_q.Append(txn);
    }
    if (wasEmpty) {
        hmx_cci_flush_tx_queue(c);
    }
    DebugTx(HMX_CCI_CTRL_REQUEST, txn->txn_id, txn->msg_id,
            static_cast<int>(len - HMX_CCI_HEADER_SIZE));
    return HMX_NO_ERR;
}

std::int32_t hmx_cci_encode_and_send(hmx_cci_client* c, hmx_cci_txn* txn, std::uint16_t msg_id,
                                     const void* req, std::uint32_t req_len) {
    std::uint32_t structLen = 0;
    std::int32_t rc =
        hmx_idl_get_message_c_struct_len(c->service, HMX_IDL_REQUEST, msg_id, &structLen);
    if (rc != 0) {
        return rc;
    }
    if (structLen != kRequestStructSize) {
        return HMX_CLIENT_PARAM_ERR;
    }
    std::uint32_t capacity = 0;
    rc = hmx_idl_get_max_message_len(c->service, HMX_IDL_REQUEST, msg_id, &capacity);
    if (rc != 0) {
        return rc;
    }
    auto* buf = static_cast<std::uint8_t*>(std::malloc(capacity + HMX_CCI_HEADER_SIZE));
    if (buf == nullptr) {
        return HMX_CLIENT_NO_MEMORY;
    }
    std::uint32_t bodyLen = 0;
    rc = hmx_idl_message_encode(c->service, HMX_IDL_REQUEST, msg_id, req, req_len,
                                buf + HMX_CCI_HEADER_SIZE, capacity, &bodyLen);
    if (rc != 0) {
        std::free(buf);
        return rc;
    }
    WriteHeader(buf, hmx_cci_header{HMX_CCI_CTRL_REQUEST, txn->txn_id, msg_id,
                                    static_cast<std::uint16_t>(bodyLen)});
    DebugTx(HMX_CCI_CTRL_REQUEST, txn->txn_id, msg_id, static_cast<int>(bodyLen));
    rc = hmx_cci_queue_tx(c, txn, buf, bodyLen + HMX_CCI_HEADER_SIZE);
    if (rc != 0) {
        std::free(buf);
    }
    return rc;
}

std::int32_t hmx_cci_txn_alloc(hmx_cci_client* c, std::uint16_t msg_id, void* resp,
                               std::uint32_t resp_len, hmx_cci_txn** out) {
    if (ClientState(c) != kStateConnected) {
        return HMX_SERVICE_ERR;
    }
    hmx_cci_txn* txn = nullptr;
    if (std::int32_t rc = NewWithEvent(&txn); rc != HMX_NO_ERR) {
        return rc;
    }
    txn->type = kTxnSync;
    txn->msg_id = msg_id;
    txn->resp = resp;
    txn->resp_len = resp_len;
    txn->rc = 0;
    txn->ref_count = 2; // the transaction list's and the sender's
    txn->client = c;
    InitializeCriticalSection(&txn->lock);
    {
        Guard guard(c->txn_lock);
        if (c->next_txn_id == 0) {
            c->next_txn_id = 1;
        }
        txn->txn_id = c->next_txn_id++;
        c->txns.Append(txn);
    }
    *out = txn;
    return HMX_NO_ERR;
}

std::int32_t hmx_cci_txn_wait(hmx_cci_txn* txn, std::uint32_t timeout_ms) {
    for (;;) {
        if (WaitForSingleObject(txn->event, timeout_ms) != WAIT_OBJECT_0) {
            Guard guard(txn->lock);
            txn->timed_out = 1;
            return HMX_TIMEOUT_ERR;
        }
        ResetEvent(txn->event);
        Guard guard(txn->lock);
        if (txn->rc != HMX_TIMEOUT_ERR) {
            return txn->rc;
        }
    }
}

} // namespace

void hmx_cci_release_cb(void* data) {
    auto* wait = static_cast<hmx_cci_release_wait*>(data);
    // The releaser leaves, and closes the event, as soon as it sees the code
    // cleared: the signal comes first, and nothing of the record is touched
    // after the code.
    SetEvent(wait->event);
    __atomic_store_n(&wait->pending, 0, __ATOMIC_SEQ_CST);
}

namespace {

// ---- Service lookup ----

std::int32_t ConfirmServer(const hmx_idl_service_object* service, const hmx_service_info* info,
                           std::uint32_t addr_len) {
    std::uint32_t total = 0;
    if (hmx_client_get_service_list(service, nullptr, nullptr, &total) != 0) {
        return HMX_SERVICE_ERR;
    }
    for (int attempt = 0; attempt < kConfirmAttempts; ++attempt) {
        std::uint32_t bytes = 0;
        if (total == 0) {
            return HMX_SERVICE_ERR;
        }
        if (__builtin_mul_overflow(total, static_cast<std::uint32_t>(sizeof(hmx_service_info)),
                                   &bytes)) {
            return HMX_CLIENT_NO_MEMORY;
        }
        auto* entries = static_cast<hmx_service_info*>(std::malloc(bytes));
        if (entries == nullptr) {
            return HMX_CLIENT_NO_MEMORY;
        }
        std::uint32_t filled = total;
        std::uint32_t now = 0;
        if (hmx_client_get_service_list(service, entries, &filled, &now) != 0) {
            std::free(entries);
            return HMX_SERVICE_ERR;
        }
        if (filled == now) {
            bool match = false;
            for (std::uint32_t i = 0; i < filled && !match; ++i) {
                match = entries[i].xport_id == info->xport_id &&
                        std::memcmp(entries[i].server_addr, info->server_addr, addr_len) == 0;
            }
            std::free(entries);
            return match ? HMX_NO_ERR : HMX_SERVICE_ERR;
        }
        std::free(entries);
        total = now;
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_HMX, "HMCI: server list still changing after %d lookups",
                kConfirmAttempts);
    return HMX_SERVICE_ERR;
}

// ---- The receive path ----

void RxRecv(void* client, const void*, const std::uint8_t* buf, std::uint32_t len) {
    auto* c = static_cast<hmx_cci_client*>(client);
    if (buf == nullptr || len < HMX_CCI_HEADER_SIZE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HMX, "HMCI: dropped a %u-byte message", len);
        return;
    }
    const hmx_cci_header header = ReadHeader(buf);
    const std::uint8_t ctrl = header.cntl_flag;
    const std::uint16_t txnId = header.txn_id;
    const std::uint16_t msgId = header.msg_id;
    const std::uint32_t bodyLen = header.msg_len;
    DebugRx(ctrl, txnId, msgId, static_cast<int>(bodyLen));
    if (bodyLen > len - HMX_CCI_HEADER_SIZE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HMX, "HMCI: message body of %u bytes claims %u",
                    len - HMX_CCI_HEADER_SIZE, bodyLen);
        return;
    }
    const std::uint8_t* body = buf + HMX_CCI_HEADER_SIZE;
    if (ctrl == HMX_CCI_CTRL_INDICATION) {
        hmx_client_ind_cb cb;
        void* data;
        {
            Guard guard(c->state_lock);
            cb = c->state == kStateNotifier ? nullptr : c->ind_cb;
            data = c->ind_cb_data;
        }
        if (cb != nullptr) {
            cb(c->handle, msgId, body, bodyLen, data);
        }
        return;
    }
    if (ctrl != HMX_CCI_CTRL_RESPONSE || ClientState(c) == kStateNotifier) {
        return;
    }
    hmx_cci_txn* txn = nullptr;
    {
        Guard guard(c->txn_lock);
        for (hmx_cci_txn* it = c->txns.head; it != nullptr; it = TxnList::Next(it)) {
            if (it->txn_id == txnId) {
                txn = it;
                c->txns.Remove(it);
                break;
            }
        }
    }
    if (txn == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HMX,
                    "HMCI client 0x%x: response for unknown txn 0x%x ignored", c->handle, txnId);
        return;
    }
    {
        Guard guard(txn->lock);
        if (txn->resp != nullptr) {
            txn->rc = hmx_idl_message_decode(c->service, HMX_IDL_RESPONSE, txn->msg_id, body,
                                             bodyLen, txn->resp, txn->resp_len);
        }
    }
    SetEvent(txn->event);
    TxnUnref(txn); // the list's reference, taken over with the transaction
}

void RxNewServer(void* client, const void*) {
    auto* c = static_cast<hmx_cci_client*>(client);
    if (ClientState(c) == kStateNotifier && c->os_params != nullptr) {
        SignalWaitRecord(c->os_params);
    }
}

void RxRemoveServer(void* client, const void* addr) {
    hmx_cci_handle_server_exit(static_cast<hmx_cci_client*>(client), addr);
}

void RxClosed(void* client) {
    hmx_cci_client_unref(static_cast<hmx_cci_client*>(client));
}

const hmx_cci_xport_rx_ops kReceiver = {RxRecv, RxNewServer, RxRemoveServer, RxClosed};

} // namespace

// ---- Library start-up and transport registration ----

std::int32_t hmx_cci_library_init() {
    Lib().initialized.store(1);
    return HMX_NO_ERR;
}

std::int32_t hmx_cci_xport_register(const hmx_cci_xport_ops* ops, void* xport_data,
                                    std::uint8_t xport_id) {
    Library& lib = Lib();
    if (lib.initialized.load() == 0) {
        return HMX_CLIENT_FW_NOT_UP;
    }
    if (ops == nullptr || ops->open == nullptr || ops->send == nullptr || ops->close == nullptr ||
        ops->lookup == nullptr || ops->addr_len == nullptr) {
        return HMX_CLIENT_PARAM_ERR;
    }
    Guard guard(lib.xport_lock);
    if (lib.xport_count == HMX_CCI_MAX_XPORTS) {
        return HMX_CLIENT_PARAM_ERR;
    }
    for (std::uint32_t i = 0; i < lib.xport_count; ++i) {
        if (lib.xports[i].xport_id == xport_id) {
            return HMX_CLIENT_PARAM_ERR;
        }
    }
    lib.xports[lib.xport_count++] = {ops, xport_data, xport_id};
    return HMX_NO_ERR;
}

std::int32_t hmx_cci_library_deinit() {
    Library& lib = Lib();
    Guard xportGuard(lib.xport_lock);
    Guard globalGuard(lib.global_lock);
    if (lib.live_clients != 0) {
        return HMX_CLIENT_PARAM_ERR;
    }
    lib.xport_count = 0;
    lib.next_handle = 1;
    lib.initialized.store(0);
    return HMX_NO_ERR;
}

const hmx_cci_xport_rx_ops* hmx_cci_xport_receiver() {
    return &kReceiver;
}

// ---- Client operations ----

std::int32_t hmx_client_get_service_list(const hmx_idl_service_object* service,
                                         hmx_service_info* service_info_array,
                                         std::uint32_t* num_entries, std::uint32_t* num_services) {
    if (num_services == nullptr) {
        return HMX_CLIENT_PARAM_ERR;
    }
    std::uint32_t serviceId = 0;
    std::uint32_t idlVersion = 0;
    if (std::int32_t rc = hmx_idl_get_service_id(service, &serviceId); rc != 0) {
        return rc;
    }
    if (std::int32_t rc = hmx_idl_get_idl_version(service, &idlVersion); rc != 0) {
        return rc;
    }
    std::uint32_t capacity = 0;
    if (service_info_array != nullptr && num_entries != nullptr && *num_entries != 0) {
        capacity = *num_entries;
        *num_entries = 0;
    }
    std::uint32_t total = 0;
    std::uint32_t filled = 0;
    Library& lib = Lib();
    {
        Guard guard(lib.xport_lock);
        for (std::uint32_t i = 0; i < lib.xport_count; ++i) {
            const hmx_cci_xport_entry& row = lib.xports[i];
            std::uint32_t remaining = capacity - filled;
            std::uint32_t written = remaining;
            std::uint32_t found =
                row.ops->lookup(row.xport_data, row.xport_id, serviceId, idlVersion,
                                remaining != 0 ? &written : nullptr,
                                remaining != 0 ? service_info_array + filled : nullptr);
            total = found > UINT32_MAX - total ? UINT32_MAX : total + found;
            if (found != 0 && remaining != 0) {
                // A transport that claims more than the room it was given must
                // not move the next free entry past the array.
                filled += std::min(written, remaining);
            }
        }
    }
    if (capacity != 0) {
        *num_entries = filled;
    }
    *num_services = total;
    return total != 0 ? HMX_NO_ERR : HMX_SERVICE_ERR;
}

std::int32_t hmx_client_init(const hmx_service_info* service_info,
                             const hmx_idl_service_object* service, hmx_client_ind_cb ind_cb,
                             void* ind_cb_data, hmx_client_os_params* os_params,
                             hmx_client_type* user_handle) {
    (void)os_params; // only notifier clients wait on one
    if (service_info == nullptr || user_handle == nullptr) {
        return HMX_CLIENT_PARAM_ERR;
    }
    *user_handle = 0;
    std::uint32_t serviceId = 0;
    std::uint32_t idlVersion = 0;
    if (std::int32_t rc = hmx_idl_get_service_id(service, &serviceId); rc != 0) {
        return rc;
    }
    if (std::int32_t rc = hmx_idl_get_idl_version(service, &idlVersion); rc != 0) {
        return rc;
    }
    hmx_cci_client* c = nullptr;
    if (std::int32_t rc =
            hmx_cci_client_alloc(kStateConnected, service, ind_cb, ind_cb_data, nullptr, &c);
        rc != 0) {
        return rc;
    }
    std::uint32_t handle = c->handle;
    std::uint32_t addrLen = 0;
    Library& lib = Lib();
    {
        EnterCriticalSection(&lib.xport_lock);
        const hmx_cci_xport_entry* row = nullptr;
        for (std::uint32_t i = 0; i < lib.xport_count && row == nullptr; ++i) {
            if (lib.xports[i].xport_id == service_info->xport_id) {
                row = &lib.xports[i];
            }
        }
        if (row == nullptr) {
            LeaveCriticalSection(&lib.xport_lock);
            ClientDrop(c);
            return HMX_CLIENT_PARAM_ERR;
        }
        auto* xp = new (std::nothrow) hmx_cci_xport;
        if (xp == nullptr) {
            LeaveCriticalSection(&lib.xport_lock);
            ClientDrop(c);
            return HMX_CLIENT_NO_MEMORY;
        }
        xp->ops = row->ops;
        xp->addr_len = std::min(row->ops->addr_len(), HMX_CCI_MAX_ADDR_LEN);
        addrLen = xp->addr_len;
        if (hmx_cci_client_ref(handle, false) != c) {
            LeaveCriticalSection(&lib.xport_lock);
            delete xp;
            return HMX_CLIENT_INVALID_CLNT;
        }
        c->xports.Append(xp);
        void* xportHandle = row->ops->open(row->xport_data, c, serviceId, idlVersion,
                                           c->server_addr, service->max_msg_len);
        if (xportHandle == nullptr) {
            c->xports.Remove(xp);
            delete xp;
            LeaveCriticalSection(&lib.xport_lock);
            hmx_cci_client_unref(c);
            ClientDrop(c);
            return HMX_CLIENT_TRANSPORT_ERR;
        }
        {
            Guard guard(c->tx_q_lock);
            xp->handle = xportHandle;
        }
        LeaveCriticalSection(&lib.xport_lock);
        hmx_cci_client_unref(c);
    }
    {
        Guard guard(c->state_lock);
        std::memcpy(c->server_addr, service_info->server_addr, addrLen);
    }
    std::int32_t rc = ConfirmServer(service, service_info, addrLen);
    if (rc != 0) {
        // Closes the transport handle and waits until the record is gone.
        hmx_client_release(handle);
        return rc;
    }
    *user_handle = handle;
    return HMX_NO_ERR;
}

std::int32_t hmx_client_set_error_callback(hmx_client_type user_handle, hmx_client_error_cb err_cb,
                                           void* err_cb_data) {
    hmx_cci_client* c = hmx_cci_client_ref(user_handle, false);
    if (c == nullptr) {
        return HMX_CLIENT_INVALID_CLNT;
    }
    bool notifier;
    bool pending = false;
    {
        Guard guard(c->state_lock);
        notifier = c->state == kStateNotifier;
        if (!notifier) {
            c->err_cb = err_cb;
            c->err_cb_data = err_cb_data;
            pending = c->err_pending != 0;
        }
    }
    std::int32_t rc = HMX_NO_ERR;
    if (notifier) {
        rc = HMX_CLIENT_INVALID_CLNT;
    } else if (pending) {
        // The server went before anyone was listening: tell the caller now.
        if (err_cb != nullptr) {
            err_cb(user_handle, HMX_SERVICE_ERR, err_cb_data);
        }
        rc = HMX_SERVICE_ERR;
    }
    hmx_cci_client_unref(c);
    return rc;
}

std::int32_t hmx_client_wait_for_service(const hmx_idl_service_object* service,
                                         hmx_client_ind_cb ind_cb, void* ind_cb_data,
                                         std::uint32_t timeout_ms, hmx_client_type* user_handle) {
    if (user_handle == nullptr) {
        return HMX_CLIENT_PARAM_ERR;
    }
    *user_handle = 0;
    hmx_service_info info{};
    std::uint32_t entries = 1;
    std::uint32_t total = 0;
    std::int32_t rc = hmx_client_get_service_list(service, &info, &entries, &total);
    if (rc == HMX_NO_ERR) {
        rc = hmx_client_init(&info, service, ind_cb, ind_cb_data, nullptr, user_handle);
    }
    if (rc != HMX_SERVICE_ERR) {
        return rc;
    }

    std::uint32_t serviceId = service->service_id;
    std::uint32_t idlVersion = service->idl_version;
    hmx_client_os_params os{};
    hmx_cci_client* notifier = nullptr;
    rc = hmx_cci_client_alloc(kStateNotifier, service, nullptr, nullptr, &os, &notifier);
    if (rc != 0) {
        return rc;
    }
    std::uint32_t notifierHandle = notifier->handle;
    std::uint32_t opened = 0;
    Library& lib = Lib();
    {
        Guard guard(lib.xport_lock);
        for (std::uint32_t i = 0; i < lib.xport_count; ++i) {
            const hmx_cci_xport_entry& row = lib.xports[i];
            auto* xp = new (std::nothrow) hmx_cci_xport;
            if (xp == nullptr) {
                continue;
            }
            xp->ops = row.ops;
            xp->addr_len = std::min(row.ops->addr_len(), HMX_CCI_MAX_ADDR_LEN);
            if (hmx_cci_client_ref(notifierHandle, false) != notifier) {
                delete xp;
                rc = HMX_CLIENT_INVALID_CLNT;
                break;
            }
            notifier->xports.Append(xp);
            void* h = row.ops->open(row.xport_data, notifier, serviceId, idlVersion, nullptr, 0);
            if (h == nullptr) {
                notifier->xports.Remove(xp);
                delete xp;
            } else {
                {
                    Guard txGuard(notifier->tx_q_lock);
                    xp->handle = h;
                }
                if (opened++ != 0) {
                    // The creation reference stands for the first open transport
                    // record; every further one holds its own.
                    Guard globalGuard(lib.global_lock);
                    ++notifier->ref_count;
                }
            }
            hmx_cci_client_unref(notifier);
            if (row.ops->lookup(row.xport_data, row.xport_id, serviceId, idlVersion, nullptr,
                                nullptr) != 0) {
                SignalWaitRecord(&os);
            }
        }
    }
    if (opened == 0) {
        ClientDrop(notifier);
        return rc == HMX_CLIENT_INVALID_CLNT ? rc : HMX_CLIENT_TRANSPORT_ERR;
    }
    for (;;) {
        ResetEvent(os.event);
        __atomic_store_n(&os.signalled, 0u, __ATOMIC_SEQ_CST);
        entries = 1;
        rc = hmx_client_get_service_list(service, &info, &entries, &total);
        if (rc == HMX_NO_ERR) {
            rc = hmx_client_init(&info, service, ind_cb, ind_cb_data, nullptr, user_handle);
        }
        if (rc != HMX_SERVICE_ERR) {
            break;
        }
        if (WaitForSingleObject(os.event, timeout_ms) != WAIT_OBJECT_0) {
            rc = HMX_TIMEOUT_ERR;
            break;
        }
    }
    // A release refused for want of its wait event leaves the notifier open
    // with its transport and events, and no caller holds its handle to try
    // again: the library does, once.
    if (hmx_client_release(notifierHandle) == HMX_CLIENT_INVALID_SIG) {
        hmx_client_release(notifierHandle);
    }
    return rc;
}

std::int32_t hmx_client_send_msg_sync(hmx_client_type user_handle, std::uint32_t msg_id,
                                      void* req_c_struct, std::uint32_t req_c_struct_len,
                                      void* resp_c_struct, std::uint32_t resp_c_struct_len,
                                      std::uint32_t timeout_msecs) {
    if (req_c_struct == nullptr || resp_c_struct == nullptr) {
        return HMX_CLIENT_PARAM_ERR;
    }
    hmx_cci_client* c = hmx_cci_client_ref(user_handle, false);
    if (c == nullptr) {
        return HMX_CLIENT_INVALID_CLNT;
    }
    hmx_cci_xport* xp = c->xports.head;
    bool usable;
    {
        Guard guard(c->tx_q_lock);
        usable = xp != nullptr && xp->ops != nullptr && xp->handle != nullptr;
    }
    if (!usable) {
        hmx_cci_client_unref(c);
        return HMX_CLIENT_INVALID_CLNT;
    }
    auto msgId = static_cast<std::uint16_t>(msg_id);
    hmx_cci_txn* txn = nullptr;
    std::int32_t rc = hmx_cci_txn_alloc(c, msgId, resp_c_struct, resp_c_struct_len, &txn);
    if (rc != 0) {
        hmx_cci_client_unref(c);
        return rc;
    }
    ResetEvent(txn->event);
    {
        Guard guard(txn->lock);
        txn->rc = HMX_TIMEOUT_ERR;
    }
    rc = hmx_cci_encode_and_send(c, txn, msgId, req_c_struct, req_c_struct_len);
    if (rc == HMX_NO_ERR) {
        rc = hmx_cci_txn_wait(txn, timeout_msecs);
        if (rc == HMX_TIMEOUT_ERR) {
            bool queued;
            {
                Guard guard(c->tx_q_lock);
                queued = c->tx_q.Contains(txn);
                if (queued) {
                    c->tx_q.Remove(txn);
                    std::free(txn->tx_buf);
                    txn->tx_buf = nullptr;
                }
            }
            if (queued) {
                TxnUnref(txn);
            }
        }
    }
    {
        // A response that arrives from now on can no longer write into the
        // caller's structure.
        Guard guard(txn->lock);
        txn->resp = nullptr;
        txn->resp_len = 0;
        if (rc == HMX_NO_ERR || rc == HMX_TIMEOUT_ERR) {
            rc = txn->rc;
        }
    }
    if (UnlistTxn(c, txn)) {
        TxnUnref(txn);
    }
    TxnUnref(txn);
    hmx_cci_client_unref(c);
    return rc;
}

std::int32_t hmx_client_release(hmx_client_type user_handle) {
    hmx_cci_client* c = hmx_cci_client_ref(user_handle, false);
    if (c == nullptr) {
        return HMX_CLIENT_INVALID_CLNT;
    }
    hmx_cci_release_wait wait{CreateEventW(nullptr, TRUE, FALSE, nullptr), HMX_TIMEOUT_ERR};
    if (wait.event == nullptr) {
        hmx_cci_client_unref(c);
        return HMX_CLIENT_INVALID_SIG;
    }
    hmx_cci_client_unref(c);
    c = hmx_cci_client_ref(user_handle, true);
    if (c == nullptr) {
        CloseHandle(wait.event);
        return HMX_CLIENT_INVALID_CLNT;
    }
    if (ClientState(c) != kStateNotifier) {
        Guard guard(c->tx_q_lock);
        c->tx_enabled = 0;
    }
    hmx_cci_client_fail_txns(c, HMX_CLIENT_RELEASED);
    {
        Guard guard(Lib().global_lock);
        c->release_cb = hmx_cci_release_cb;
        c->release_cb_data = &wait;
    }
    std::uint32_t closed = 0;
    for (hmx_cci_xport* xp = c->xports.head; xp != nullptr; xp = decltype(c->xports)::Next(xp)) {
        void* handle;
        {
            Guard guard(c->tx_q_lock);
            handle = xp->handle;
            xp->handle = nullptr;
        }
        if (handle != nullptr) {
            xp->ops->close(handle);
            ++closed;
        }
    }
    if (closed == 0) {
        // No transport will report a close, so nothing else drops the creation reference.
        hmx_cci_client_unref(c);
    }
    hmx_cci_client_unref(c);
    // The callback signals before it clears the code, so the event is not
    // reset here: a wake-up that came before the code was cleared would be lost.
    while (__atomic_load_n(&wait.pending, __ATOMIC_SEQ_CST) == HMX_TIMEOUT_ERR) {
        WaitForSingleObject(wait.event, INFINITE);
    }
    CloseHandle(wait.event);
    return HMX_NO_ERR;
}
