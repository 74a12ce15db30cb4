// The simulated sensor hub behind a loopback HMX transport. It fills the
// transport operation table the HMCI client library calls through and plays
// the receive path on its own thread: responses, indications, servers coming
// and going, and the end of every closed transport handle. Every delivery it
// owes counts as pending work for quiescence.
//
// Fault points: "SensorHub.Open" refuses an open (no handle);
// "SensorHub.Send" makes a send return the armed code (-2 when armed with 0;
// arm -21 for a busy transport).
#pragma once

#include "platform/hmx_transport.h"
#include "platform/sim/work_queue.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace sim {

class SensorHub {
public:
    static constexpr std::uint32_t kAddressLength = 8;

    struct Request {
        std::uint16_t txnId;
        std::uint16_t msgId;
        std::vector<std::uint8_t> body;
    };

    // What a service makes of a request: the body of its response, and the
    // indications (message id, body) it sends the requester after it.
    struct Reply {
        std::vector<std::uint8_t> response;
        std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> indications;
    };
    using RequestHandler = std::function<Reply(std::uint32_t handle, const Request& request)>;

    // `receiver` is the client library's receive path.
    explicit SensorHub(const hmx_cci_xport_rx_ops* receiver, std::uint8_t transportId = 1);
    // Delivers what is already queued, then drops nothing: release every
    // client first so that no handle is left open.
    ~SensorHub();
    SensorHub(const SensorHub&) = delete;
    SensorHub& operator=(const SensorHub&) = delete;

    static const hmx_cci_xport_ops* Ops();
    void* TransportData() { return this; }
    std::uint8_t TransportId() const { return mTransportId; }

    // A server of the service comes up (with a new address each time) and
    // every handle open on the service hears of it.
    void StartService(std::uint32_t serviceId, std::uint32_t idlVersion);
    // The server goes away; every handle open on the service hears of it.
    void StopService(std::uint32_t serviceId);
    // The address of the service's server; empty when there is none.
    std::vector<std::uint8_t> ServerAddress(std::uint32_t serviceId) const;

    // The receive path of the client library that registered this hub.
    void SetReceiver(const hmx_cci_xport_rx_ops* receiver);
    // Requests are answered by `handler` from now on (none: the fixed
    // response body below). It runs on the sender's thread.
    void SetRequestHandler(RequestHandler handler);
    // Sends an indication to one open handle.
    void SendIndication(std::uint32_t handle, std::uint16_t msgId, std::vector<std::uint8_t> body);
    // Open handles of clients on the service (not of clients waiting for it).
    std::vector<std::uint32_t> ClientHandles(std::uint32_t serviceId) const;
    // Open handles of clients waiting for the service to come up.
    std::size_t WaiterCount(std::uint32_t serviceId) const;

    // The body of every following response (default: a response header with
    // result 0 and error 0).
    void SetResponseBody(std::vector<std::uint8_t> body);
    // While withheld, requests are recorded but not answered.
    void WithholdResponses(bool withhold);
    // Answers every withheld request now.
    void DeliverWithheldResponses();
    // Sends an indication with a raw body to every handle open on the service.
    void InjectIndication(std::uint32_t serviceId, std::uint16_t msgId,
                          std::vector<std::uint8_t> body);
    // Delivers raw bytes (header included) to every handle open on the service.
    void InjectMessage(std::uint32_t serviceId, std::vector<std::uint8_t> message);

    // A misbehaving lookup: it reports `extraFound` more servers than it knows,
    // and claims `extraFilled` more filled entries than it wrote.
    void SetLookupLies(std::uint32_t extraFound, std::uint32_t extraFilled);

    std::vector<Request> Requests() const;
    std::size_t OpenHandleCount() const;
    unsigned OpenCalls() const;
    unsigned CloseCalls() const;

private:
    struct Handle {
        void* client = nullptr;
        std::uint32_t serviceId = 0;
        bool open = true;
        bool forServer = false; // a client opened for a server, not a wait for the service
    };
    struct Service {
        std::uint32_t idlVersion = 0;
        std::vector<std::uint8_t> address;
    };
    struct Withheld {
        std::uint32_t handle;
        std::vector<std::uint8_t> message;
    };

    static void* Open(void* data, void* client, std::uint32_t serviceId, std::uint32_t idlVersion,
                      void* addrOut, std::uint32_t maxMsgLen);
    static std::int32_t Send(void* handle, const void* addr, const std::uint8_t* buf,
                             std::uint32_t len);
    static void Close(void* handle);
    static std::uint32_t Lookup(void* data, std::uint8_t transportId, std::uint32_t serviceId,
                                std::uint32_t idlVersion, std::uint32_t* numEntries,
                                hmx_service_info* entries);
    static std::uint32_t AddrLen();

    static SensorHub* HubOf(void* handle, std::uint32_t& id);

    enum class Event { Message, NewServer, RemoveServer, Closed };
    void Post(std::uint32_t handle, Event event, std::vector<std::uint8_t> bytes);
    void Deliver(std::uint32_t handle, Event event, const std::vector<std::uint8_t>& bytes);
    void PostToService(std::uint32_t serviceId, Event event,
                       const std::vector<std::uint8_t>& bytes);

    std::atomic<const hmx_cci_xport_rx_ops*> mReceiver;
    std::uint8_t mTransportId;
    mutable std::mutex mLock;
    std::map<std::uint32_t, Handle> mHandles;
    std::map<std::uint32_t, Service> mServices;
    std::vector<Request> mRequests;
    std::vector<Withheld> mWithheld;
    std::vector<std::uint8_t> mResponseBody;
    RequestHandler mHandler;
    bool mWithhold = false;
    std::uint32_t mExtraFound = 0;
    std::uint32_t mExtraFilled = 0;
    std::uint32_t mNextInstance = 1;
    unsigned mOpenCalls = 0;
    unsigned mCloseCalls = 0;
    WorkQueue mQueue{"sensor hub"}; // last: it stops before the state it delivers from goes
};

} // namespace sim
