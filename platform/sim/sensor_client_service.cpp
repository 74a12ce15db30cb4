#include "platform/sim/sensor_client_service.h"

#include "platform/hmx_transport.h"
#include "platform/sim/clock.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/message.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

// The sensor message schemas as protoc describes them (a FileDescriptorSet
// with their imports), generated at build time.
extern const unsigned char kSnsSchemaSet[];
extern const std::size_t kSnsSchemaSetSize;

namespace sim::hub {
namespace {

using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::DynamicMessageFactory;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;
using Bytes = std::vector<std::uint8_t>;
using MessagePtr = std::unique_ptr<Message>;

constexpr std::uint16_t kRequestMsg = 0x20;
constexpr std::uint16_t kIndicationMsg = 0x21;
constexpr std::uint32_t kStatusAccuracyHigh = 3;

// The schemas, built once into a pool of the stand-in's own. They live as
// long as the process: the runtime's shutdown at the end must find nothing of
// them left to free.
struct Schemas {
    DescriptorPool pool;
    std::unique_ptr<DynamicMessageFactory> factory;

    Schemas() {
        google::protobuf::FileDescriptorSet set;
        if (!set.ParseFromArray(kSnsSchemaSet, static_cast<int>(kSnsSchemaSetSize))) {
            std::fprintf(stderr, "sensor hub: the schema set does not parse\n");
            std::abort();
        }
        for (const auto& file : set.file()) {
            if (pool.BuildFile(file) == nullptr) {
                std::fprintf(stderr, "sensor hub: cannot build %s\n", file.name().c_str());
                std::abort();
            }
        }
        factory = std::make_unique<DynamicMessageFactory>(&pool);
    }

    MessagePtr New(const char* type) {
        const Descriptor* descriptor = pool.FindMessageTypeByName(type);
        return MessagePtr(factory->GetPrototype(descriptor)->New());
    }
};

Schemas& Sns() {
    static Schemas* schemas = new Schemas;
    return *schemas;
}

// Field access by name; the names are the schemas', so a missing one is a
// bug of this file.
const FieldDescriptor* Field(const Message& m, const char* name) {
    const FieldDescriptor* field = m.GetDescriptor()->FindFieldByName(name);
    if (field == nullptr) {
        std::fprintf(stderr, "sensor hub: %s has no field %s\n",
                     m.GetDescriptor()->full_name().c_str(), name);
        std::abort();
    }
    return field;
}

void SetSuid(Message* suid, Suid value) {
    const Reflection* r = suid->GetReflection();
    r->SetUInt64(suid, Field(*suid, "suid_low"), value.low);
    r->SetUInt64(suid, Field(*suid, "suid_high"), value.high);
}

Suid GetSuid(const Message& suid) {
    const Reflection* r = suid.GetReflection();
    return {r->GetUInt64(suid, Field(suid, "suid_low")),
            r->GetUInt64(suid, Field(suid, "suid_high"))};
}

Bytes Serialise(const Message& m) {
    std::string out;
    m.SerializePartialToString(&out);
    return Bytes(out.begin(), out.end());
}

std::string Hex(Suid suid) {
    char text[40];
    std::snprintf(text, sizeof text, "%016" PRIX64 ":%016" PRIX64, suid.high, suid.low);
    return text;
}

void PutU16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

// A response 0x20: the header {result 0, error 0} and the request's result.
Bytes ResponseBody(std::int32_t result) {
    Bytes body{0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x11, 0x04, 0x00};
    for (int i = 0; i < 4; ++i) {
        body.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(result) >> (8 * i)));
    }
    return body;
}

struct State {
    std::mutex lock;
    std::map<std::string, std::vector<Suid>> suids{{"SAR", {kDefaultSarSuid}}};
    std::map<Kind, std::int32_t> armed;
    std::map<Kind, unsigned> refused;
    std::map<std::uint32_t, Suid> subscribed; // handle -> the sensor it configured
    std::vector<Request> requests;
    std::vector<std::string> activity;
};

State& St() {
    static State* state = new State;
    return *state;
}

void Note(std::string line) {
    std::lock_guard guard(St().lock);
    St().activity.push_back(std::move(line));
}

// The request's own bytes: TLV 0x01 {u16 count, count bytes}.
bool RequestPayload(const Bytes& body, Bytes& payload) {
    if (body.size() < 5 || body[0] != 0x01) {
        return false;
    }
    std::size_t count = body[3] | body[4] << 8;
    if (body.size() < 5 + count) {
        return false;
    }
    payload.assign(body.begin() + 5, body.begin() + 5 + static_cast<std::ptrdiff_t>(count));
    return true;
}

Request Read(const Bytes& bytes) {
    Request request;
    request.bytes = bytes;
    request.uptimeMs = UptimeMs();
    MessagePtr msg = Sns().New("sns_client_request_msg");
    request.parsed = msg->ParseFromArray(bytes.data(), static_cast<int>(bytes.size()));
    const Reflection* r = msg->GetReflection();
    request.suid = GetSuid(r->GetMessage(*msg, Field(*msg, "suid")));
    request.msgId = r->GetUInt32(*msg, Field(*msg, "msg_id"));
    const Message& susp = r->GetMessage(*msg, Field(*msg, "susp_config"));
    request.clientProcType = static_cast<std::uint32_t>(
        susp.GetReflection()->GetEnumValue(susp, Field(susp, "client_proc_type")));
    request.deliveryType = static_cast<std::uint32_t>(
        susp.GetReflection()->GetEnumValue(susp, Field(susp, "delivery_type")));
    const Message& std = r->GetMessage(*msg, Field(*msg, "request"));
    const Reflection* sr = std.GetReflection();
    request.hasBatching = sr->HasField(std, Field(std, "batching"));
    request.hasPayload = sr->HasField(std, Field(std, "payload"));
    std::string payload = sr->GetString(std, Field(std, "payload"));

    if (request.msgId == kLookupRequest && request.suid == kLookupSuid) {
        request.kind = Kind::Lookup;
        MessagePtr req = Sns().New("sns_suid_req");
        req->ParseFromString(payload);
        const Reflection* qr = req->GetReflection();
        request.dataType = qr->GetString(*req, Field(*req, "data_type"));
        request.registerUpdates = qr->GetBool(*req, Field(*req, "register_updates"));
        request.hasRegisterUpdates = qr->HasField(*req, Field(*req, "register_updates"));
        request.hasDefaultOnly = qr->HasField(*req, Field(*req, "default_only"));
    } else if (request.msgId == kAttributeRequest) {
        request.kind = Kind::Attribute;
        MessagePtr req = Sns().New("sns_std_attr_req");
        req->ParseFromString(payload);
        request.registerUpdates =
            req->GetReflection()->GetBool(*req, Field(*req, "register_updates"));
        request.hasRegisterUpdates =
            req->GetReflection()->HasField(*req, Field(*req, "register_updates"));
    } else if (request.msgId == kOnChangeConfig) {
        request.kind = Kind::OnChange;
    }
    return request;
}

// Answers one request 0x20 of a client.
SensorHub::Reply Answer(std::uint32_t handle, const SensorHub::Request& hmx) {
    SensorHub::Reply reply;
    Bytes payload;
    if (hmx.msgId != kRequestMsg || !RequestPayload(hmx.body, payload)) {
        reply.response = ResponseBody(0);
        Note("request 0x" + std::to_string(hmx.msgId) + " not understood");
        return reply;
    }
    Request request = Read(payload);
    std::int32_t result = 0;
    std::vector<Suid> listed;
    {
        std::lock_guard guard(St().lock);
        St().requests.push_back(request);
        if (auto armed = St().armed.find(request.kind); armed != St().armed.end()) {
            result = armed->second;
            St().armed.erase(armed);
            ++St().refused[request.kind];
        }
        if (result == 0 && request.kind == Kind::Lookup) {
            listed = St().suids[request.dataType];
        }
        if (result == 0 && request.kind == Kind::OnChange) {
            St().subscribed[handle] = request.suid;
        }
    }
    reply.response = ResponseBody(result);
    std::string line = std::string(KindName(request.kind)) + " request";
    if (request.kind == Kind::Lookup) {
        line += " for \"" + request.dataType + "\"";
    } else {
        line += " to " + Hex(request.suid);
    }
    if (result != 0) {
        line += ", answered with result " + std::to_string(result);
    }
    Note(line);
    if (result == 0 && request.kind == Kind::Lookup) {
        Bytes event =
            EventMessage(kLookupSuid, {{kSuidEvent, SuidEventPayload(request.dataType, listed)}});
        reply.indications.push_back({kIndicationMsg, IndicationBody(event)});
        std::string found = "lookup lists";
        for (const Suid& suid : listed) {
            found += " " + Hex(suid);
        }
        Note(listed.empty() ? "lookup lists no sensor" : found);
    }
    return reply;
}

void SendToClients(const Bytes& body, std::uint16_t msgId) {
    for (std::uint32_t handle : Transport().ClientHandles(kServiceId)) {
        Transport().SendIndication(handle, msgId, body);
    }
}

} // namespace

SensorHub& Transport() {
    static SensorHub* hub = [] {
        auto* created = new SensorHub(nullptr, kTransportId);
        created->StartService(kServiceId, 1);
        created->SetRequestHandler(Answer);
        return created;
    }();
    return *hub;
}

void Reset() {
    Transport();
    {
        std::lock_guard guard(St().lock);
        St().suids = {{"SAR", {kDefaultSarSuid}}};
        St().armed.clear();
        St().refused.clear();
        St().subscribed.clear();
        St().requests.clear();
        St().activity.clear();
    }
    if (Transport().ServerAddress(kServiceId).empty()) {
        Transport().StartService(kServiceId, 1);
    }
}

void SetPresent(bool present) {
    bool up = !Transport().ServerAddress(kServiceId).empty();
    if (present && !up) {
        Transport().StartService(kServiceId, 1);
        Note("service present");
    } else if (!present && up) {
        Transport().StopService(kServiceId);
        Note("service absent");
    }
}

void Restart() {
    Transport().StopService(kServiceId);
    Transport().StartService(kServiceId, 1);
    Note("service restarted");
}

void SetSuids(const std::string& dataType, std::vector<Suid> suids) {
    std::lock_guard guard(St().lock);
    St().suids[dataType] = std::move(suids);
}

void FailNext(Kind kind, std::int32_t result) {
    std::lock_guard guard(St().lock);
    St().armed[kind] = result;
}

void ClearFailures() {
    std::lock_guard guard(St().lock);
    St().armed.clear();
}

void Report(float value, std::optional<Suid> from) {
    std::vector<std::uint32_t> open = Transport().ClientHandles(kServiceId);
    std::vector<std::pair<std::uint32_t, Suid>> targets;
    {
        std::lock_guard guard(St().lock);
        for (auto it = St().subscribed.begin(); it != St().subscribed.end();) {
            if (std::find(open.begin(), open.end(), it->first) == open.end()) {
                it = St().subscribed.erase(it); // its client has gone
                continue;
            }
            targets.emplace_back(it->first, from.value_or(it->second));
            ++it;
        }
    }
    char text[64];
    std::snprintf(text, sizeof text, "report %g", static_cast<double>(value));
    for (const auto& [handle, sender] : targets) {
        Bytes event = EventMessage(sender, {{kSensorEvent, SensorEventPayload({value})}});
        Transport().SendIndication(handle, kIndicationMsg, IndicationBody(event));
        Note(std::string(text) + " from " + Hex(sender));
    }
    if (targets.empty()) {
        Note(std::string(text) + ": no client configured on-change reports");
    }
}

void SendEvents(Suid from, const std::vector<Event>& events) {
    SendToClients(IndicationBody(EventMessage(from, events)), kIndicationMsg);
}

void SendRaw(std::vector<std::uint8_t> body, std::uint16_t msgId) {
    SendToClients(body, msgId);
    Note("raw indication of " + std::to_string(body.size()) + " bytes");
}

std::vector<std::uint8_t> SuidEventPayload(const std::string& dataType,
                                           const std::vector<Suid>& suids) {
    MessagePtr event = Sns().New("sns_suid_event");
    const Reflection* r = event->GetReflection();
    r->SetString(event.get(), Field(*event, "data_type"), dataType);
    for (const Suid& suid : suids) {
        SetSuid(r->AddMessage(event.get(), Field(*event, "suid")), suid);
    }
    return Serialise(*event);
}

std::vector<std::uint8_t> SensorEventPayload(const std::vector<float>& data) {
    MessagePtr event = Sns().New("sns_std_sensor_event");
    const Reflection* r = event->GetReflection();
    for (float value : data) {
        r->AddFloat(event.get(), Field(*event, "data"), value);
    }
    r->SetEnumValue(event.get(), Field(*event, "status"), kStatusAccuracyHigh);
    return Serialise(*event);
}

std::vector<std::uint8_t> ErrorEventPayload(std::uint32_t error) {
    MessagePtr event = Sns().New("sns_std_error_event");
    const Reflection* r = event->GetReflection();
    r->SetEnumValue(event.get(), Field(*event, "error"), static_cast<int>(error));
    return Serialise(*event);
}

std::vector<std::uint8_t> EventMessage(Suid from, const std::vector<Event>& events) {
    MessagePtr msg = Sns().New("sns_client_event_msg");
    const Reflection* r = msg->GetReflection();
    SetSuid(r->MutableMessage(msg.get(), Field(*msg, "suid")), from);
    for (const Event& e : events) {
        Message* event = r->AddMessage(msg.get(), Field(*msg, "events"));
        const Reflection* er = event->GetReflection();
        er->SetUInt32(event, Field(*event, "msg_id"), e.msgId);
        er->SetUInt64(event, Field(*event, "timestamp"), UptimeMs());
        er->SetString(event, Field(*event, "payload"),
                      std::string(e.payload.begin(), e.payload.end()));
    }
    return Serialise(*msg);
}

std::vector<std::uint8_t> IndicationBody(const std::vector<std::uint8_t>& payload) {
    Bytes body{0x01, 0x08, 0x00};
    body.insert(body.end(), 8, 0x00);
    body.push_back(0x02);
    PutU16(body, static_cast<std::uint16_t>(payload.size() + 2));
    PutU16(body, static_cast<std::uint16_t>(payload.size()));
    body.insert(body.end(), payload.begin(), payload.end());
    return body;
}

std::vector<Request> Requests() {
    std::lock_guard guard(St().lock);
    return St().requests;
}

unsigned RequestCount(Kind kind) {
    std::lock_guard guard(St().lock);
    return static_cast<unsigned>(std::count_if(St().requests.begin(), St().requests.end(),
                                               [&](const Request& r) { return r.kind == kind; }));
}

unsigned RefusedCount(Kind kind) {
    std::lock_guard guard(St().lock);
    auto refused = St().refused.find(kind);
    return refused == St().refused.end() ? 0 : refused->second;
}

std::size_t Clients() {
    return Transport().ClientHandles(kServiceId).size();
}

std::size_t Subscribers() {
    std::vector<std::uint32_t> open = Transport().ClientHandles(kServiceId);
    std::lock_guard guard(St().lock);
    return static_cast<std::size_t>(
        std::count_if(St().subscribed.begin(), St().subscribed.end(), [&](const auto& entry) {
            return std::find(open.begin(), open.end(), entry.first) != open.end();
        }));
}

std::size_t Waiters() {
    return Transport().WaiterCount(kServiceId);
}

std::vector<std::string> TakeActivity() {
    std::lock_guard guard(St().lock);
    std::vector<std::string> lines;
    lines.swap(St().activity);
    return lines;
}

std::optional<Kind> KindFromName(const std::string& name) {
    if (name == "lookup") {
        return Kind::Lookup;
    }
    if (name == "attr") {
        return Kind::Attribute;
    }
    if (name == "onchange") {
        return Kind::OnChange;
    }
    return std::nullopt;
}

const char* KindName(Kind kind) {
    switch (kind) {
    case Kind::Lookup:
        return "lookup";
    case Kind::Attribute:
        return "attribute";
    case Kind::OnChange:
        return "on-change";
    case Kind::Other:
        break;
    }
    return "other";
}

} // namespace sim::hub

// The machine's HMX transports, for a client library starting in this process.
std::uint32_t hmx_platform_get_transports(const hmx_cci_xport_rx_ops* receiver,
                                          hmx_platform_transport* rows, std::uint32_t capacity) {
    sim::SensorHub& hub = sim::hub::Transport();
    hub.SetReceiver(receiver);
    if (rows != nullptr && capacity >= 1) {
        rows[0] = {sim::SensorHub::Ops(), hub.TransportData(), hub.TransportId()};
    }
    return 1;
}
