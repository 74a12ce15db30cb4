#include "platform/sim/sensor_hub.h"

#include "platform/sim/faults.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

constexpr std::int32_t kServerGone = -2;
constexpr std::int32_t kBadArgument = -17;
constexpr std::int32_t kUnknownHandle = -18;

// Transport handles are numbers unique across every hub of the process, so a
// stale handle is recognised rather than followed.
struct HandleRegistry {
    std::mutex lock;
    std::map<std::uint32_t, SensorHub*> hubs;
    std::uint32_t next = 1;
};

HandleRegistry& Registry() {
    static HandleRegistry* registry = new HandleRegistry;
    return *registry;
}

void* ToHandle(std::uint32_t id) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(id));
}

std::uint32_t FromHandle(void* handle) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
}

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

std::vector<std::uint8_t> Message(std::uint8_t ctrl, std::uint16_t txn, std::uint16_t msg,
                                  const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> out;
    out.push_back(ctrl);
    PutU16(out, txn);
    PutU16(out, msg);
    PutU16(out, static_cast<std::uint16_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

} // namespace

SensorHub::SensorHub(const hmx_cci_xport_rx_ops* receiver, std::uint8_t transportId)
    : mReceiver(receiver), mTransportId(transportId),
      // A response header {result 0, error 0}.
      mResponseBody{0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00} {}

SensorHub::~SensorHub() {
    mQueue.WaitUntilDone(mQueue.Post([] {}));
    std::lock_guard guard(Registry().lock);
    for (auto it = Registry().hubs.begin(); it != Registry().hubs.end();) {
        it = it->second == this ? Registry().hubs.erase(it) : std::next(it);
    }
}

const hmx_cci_xport_ops* SensorHub::Ops() {
    static const hmx_cci_xport_ops ops = {Open, Send, Close, Lookup, AddrLen};
    return &ops;
}

SensorHub* SensorHub::HubOf(void* handle, std::uint32_t& id) {
    id = FromHandle(handle);
    std::lock_guard guard(Registry().lock);
    auto it = Registry().hubs.find(id);
    return it == Registry().hubs.end() ? nullptr : it->second;
}

void* SensorHub::Open(void* data, void* client, std::uint32_t serviceId, std::uint32_t,
                      void* addrOut, std::uint32_t) {
    auto* hub = static_cast<SensorHub*>(data);
    {
        std::lock_guard guard(hub->mLock);
        ++hub->mOpenCalls;
    }
    if (CheckFault("SensorHub.Open")) {
        return nullptr;
    }
    std::uint32_t id;
    {
        std::lock_guard guard(Registry().lock);
        id = Registry().next++;
        Registry().hubs[id] = hub;
    }
    std::lock_guard guard(hub->mLock);
    hub->mHandles[id] = Handle{client, serviceId, true, addrOut != nullptr};
    auto service = hub->mServices.find(serviceId);
    if (addrOut != nullptr && service != hub->mServices.end()) {
        std::memcpy(addrOut, service->second.address.data(), kAddressLength);
    }
    return ToHandle(id);
}

std::int32_t SensorHub::Send(void* handle, const void* addr, const std::uint8_t* buf,
                             std::uint32_t len) {
    if (auto code = CheckFault("SensorHub.Send")) {
        return FaultCodeOr<std::int32_t>(*code, kServerGone);
    }
    std::uint32_t id;
    SensorHub* hub = HubOf(handle, id);
    if (hub == nullptr) {
        return kUnknownHandle;
    }
    if (buf == nullptr || len < HMX_CCI_HEADER_SIZE || addr == nullptr) {
        return kBadArgument;
    }
    Request request;
    request.txnId = static_cast<std::uint16_t>(buf[1] | buf[2] << 8);
    request.msgId = static_cast<std::uint16_t>(buf[3] | buf[4] << 8);
    request.body.assign(buf + HMX_CCI_HEADER_SIZE, buf + len);
    Reply reply;
    RequestHandler handler;
    {
        std::lock_guard guard(hub->mLock);
        auto h = hub->mHandles.find(id);
        if (h == hub->mHandles.end() || !h->second.open) {
            return kUnknownHandle;
        }
        auto service = hub->mServices.find(h->second.serviceId);
        if (service == hub->mServices.end() ||
            std::memcmp(addr, service->second.address.data(), kAddressLength) != 0) {
            return kServerGone;
        }
        hub->mRequests.push_back(request);
        reply.response = hub->mResponseBody;
        handler = hub->mHandler;
    }
    if (handler) {
        reply = handler(id, request);
    }
    // The response goes first: what a request sets off reaches its client after it.
    std::vector<std::vector<std::uint8_t>> messages;
    messages.push_back(
        Message(HMX_CCI_CTRL_RESPONSE, request.txnId, request.msgId, reply.response));
    for (auto& [msgId, body] : reply.indications) {
        messages.push_back(Message(HMX_CCI_CTRL_INDICATION, 0, msgId, body));
    }
    {
        std::lock_guard guard(hub->mLock);
        if (hub->mWithhold) {
            for (auto& message : messages) {
                hub->mWithheld.push_back({id, std::move(message)});
            }
            return 0;
        }
    }
    for (auto& message : messages) {
        hub->Post(id, Event::Message, std::move(message));
    }
    return 0;
}

void SensorHub::Close(void* handle) {
    std::uint32_t id;
    SensorHub* hub = HubOf(handle, id);
    if (hub == nullptr) {
        return;
    }
    {
        std::lock_guard guard(hub->mLock);
        ++hub->mCloseCalls;
        auto h = hub->mHandles.find(id);
        if (h == hub->mHandles.end() || !h->second.open) {
            return;
        }
        h->second.open = false;
    }
    hub->Post(id, Event::Closed, {});
}

std::uint32_t SensorHub::Lookup(void* data, std::uint8_t transportId, std::uint32_t serviceId,
                                std::uint32_t idlVersion, std::uint32_t* numEntries,
                                hmx_service_info* entries) {
    auto* hub = static_cast<SensorHub*>(data);
    std::lock_guard guard(hub->mLock);
    auto service = hub->mServices.find(serviceId);
    std::uint32_t known =
        service != hub->mServices.end() && service->second.idlVersion == idlVersion ? 1 : 0;
    if (numEntries != nullptr && entries != nullptr) {
        std::uint32_t filled = std::min(known, *numEntries);
        for (std::uint32_t i = 0; i < filled; ++i) {
            entries[i] = hmx_service_info{};
            entries[i].xport_id = transportId;
            std::memcpy(entries[i].server_addr, service->second.address.data(), kAddressLength);
        }
        *numEntries = filled + hub->mExtraFilled;
    }
    return known + hub->mExtraFound;
}

std::uint32_t SensorHub::AddrLen() {
    return kAddressLength;
}

void SensorHub::StartService(std::uint32_t serviceId, std::uint32_t idlVersion) {
    std::vector<std::uint8_t> address(kAddressLength);
    {
        std::lock_guard guard(mLock);
        std::uint32_t instance = mNextInstance++;
        std::memcpy(address.data(), &serviceId, 4);
        std::memcpy(address.data() + 4, &instance, 4);
        mServices[serviceId] = Service{idlVersion, address};
    }
    PostToService(serviceId, Event::NewServer, address);
}

void SensorHub::StopService(std::uint32_t serviceId) {
    std::vector<std::uint8_t> address;
    {
        std::lock_guard guard(mLock);
        auto service = mServices.find(serviceId);
        if (service == mServices.end()) {
            return;
        }
        address = service->second.address;
        mServices.erase(service);
    }
    PostToService(serviceId, Event::RemoveServer, address);
}

std::vector<std::uint8_t> SensorHub::ServerAddress(std::uint32_t serviceId) const {
    std::lock_guard guard(mLock);
    auto service = mServices.find(serviceId);
    return service == mServices.end() ? std::vector<std::uint8_t>{} : service->second.address;
}

void SensorHub::SetReceiver(const hmx_cci_xport_rx_ops* receiver) {
    mReceiver.store(receiver);
}

void SensorHub::SetRequestHandler(RequestHandler handler) {
    std::lock_guard guard(mLock);
    mHandler = std::move(handler);
}

void SensorHub::SendIndication(std::uint32_t handle, std::uint16_t msgId,
                               std::vector<std::uint8_t> body) {
    Post(handle, Event::Message, Message(HMX_CCI_CTRL_INDICATION, 0, msgId, body));
}

std::vector<std::uint32_t> SensorHub::ClientHandles(std::uint32_t serviceId) const {
    std::lock_guard guard(mLock);
    std::vector<std::uint32_t> handles;
    for (const auto& [id, h] : mHandles) {
        if (h.open && h.forServer && h.serviceId == serviceId) {
            handles.push_back(id);
        }
    }
    return handles;
}

void SensorHub::SetResponseBody(std::vector<std::uint8_t> body) {
    std::lock_guard guard(mLock);
    mResponseBody = std::move(body);
}

void SensorHub::WithholdResponses(bool withhold) {
    std::lock_guard guard(mLock);
    mWithhold = withhold;
}

void SensorHub::DeliverWithheldResponses() {
    std::vector<Withheld> withheld;
    {
        std::lock_guard guard(mLock);
        withheld.swap(mWithheld);
    }
    for (auto& w : withheld) {
        Post(w.handle, Event::Message, std::move(w.message));
    }
}

void SensorHub::InjectIndication(std::uint32_t serviceId, std::uint16_t msgId,
                                 std::vector<std::uint8_t> body) {
    PostToService(serviceId, Event::Message, Message(HMX_CCI_CTRL_INDICATION, 0, msgId, body));
}

void SensorHub::InjectMessage(std::uint32_t serviceId, std::vector<std::uint8_t> message) {
    PostToService(serviceId, Event::Message, message);
}

void SensorHub::SetLookupLies(std::uint32_t extraFound, std::uint32_t extraFilled) {
    std::lock_guard guard(mLock);
    mExtraFound = extraFound;
    mExtraFilled = extraFilled;
}

std::vector<SensorHub::Request> SensorHub::Requests() const {
    std::lock_guard guard(mLock);
    return mRequests;
}

std::size_t SensorHub::WaiterCount(std::uint32_t serviceId) const {
    std::lock_guard guard(mLock);
    return static_cast<std::size_t>(
        std::count_if(mHandles.begin(), mHandles.end(), [&](const auto& h) {
            return h.second.open && !h.second.forServer && h.second.serviceId == serviceId;
        }));
}

std::size_t SensorHub::OpenHandleCount() const {
    std::lock_guard guard(mLock);
    return static_cast<std::size_t>(std::count_if(mHandles.begin(), mHandles.end(),
                                                  [](const auto& h) { return h.second.open; }));
}

unsigned SensorHub::OpenCalls() const {
    std::lock_guard guard(mLock);
    return mOpenCalls;
}

unsigned SensorHub::CloseCalls() const {
    std::lock_guard guard(mLock);
    return mCloseCalls;
}

void SensorHub::Post(std::uint32_t handle, Event event, std::vector<std::uint8_t> bytes) {
    mQueue.Post([this, handle, event, bytes = std::move(bytes)] { Deliver(handle, event, bytes); });
}

void SensorHub::PostToService(std::uint32_t serviceId, Event event,
                              const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint32_t> targets;
    {
        std::lock_guard guard(mLock);
        for (const auto& [id, h] : mHandles) {
            if (h.open && h.serviceId == serviceId) {
                targets.push_back(id);
            }
        }
    }
    for (std::uint32_t id : targets) {
        Post(id, event, bytes);
    }
}

// Runs on the hub's thread, one delivery at a time: a handle's end is
// reported after everything posted for it before, and nothing is delivered
// to a handle once it is closed.
void SensorHub::Deliver(std::uint32_t handle, Event event, const std::vector<std::uint8_t>& bytes) {
    void* client = nullptr;
    std::vector<std::uint8_t> address;
    {
        std::lock_guard guard(mLock);
        auto h = mHandles.find(handle);
        if (h == mHandles.end()) {
            return;
        }
        client = h->second.client;
        if (event == Event::Closed) {
            mHandles.erase(h);
        } else if (!h->second.open) {
            return;
        } else {
            auto service = mServices.find(h->second.serviceId);
            if (service != mServices.end()) {
                address = service->second.address;
            }
        }
    }
    const hmx_cci_xport_rx_ops* receiver = mReceiver.load();
    switch (event) {
    case Event::Message:
        receiver->recv(client, address.empty() ? nullptr : address.data(), bytes.data(),
                       static_cast<std::uint32_t>(bytes.size()));
        break;
    case Event::NewServer:
        receiver->new_server(client, bytes.data());
        break;
    case Event::RemoveServer:
        receiver->remove_server(client, bytes.data());
        break;
    case Event::Closed: {
        std::lock_guard guard(Registry().lock);
        Registry().hubs.erase(handle);
    }
        receiver->closed(client);
        break;
    }
}

} // namespace sim
