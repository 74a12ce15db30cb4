// The machine's sensor hub as its clients meet it: the sensor client service
// (HMX service 0x190) on the machine's one HMX transport, with a SUID lookup
// sensor and SAR sensors behind it. It reads every sensor request the way the
// hub does (an sns_client_request_msg in an HMX request 0x20), answers it, and
// sends events (sns_client_event_msg in HMX indications 0x21): the lookup's
// SUID event, and the SAR sensor's reports to every client that configured
// on-change reporting. Messages are built and read from the sensor message
// schemas through a descriptor pool of its own, so the stand-in never
// registers the schemas with the process's generated pool, which belongs to
// whoever links the generated classes (the driver library).
//
// The service is present from the start; its lookup for "SAR" lists one SAR
// sensor, kDefaultSarSuid. Every delivery counts as pending work for
// quiescence.
#pragma once

#include "platform/sim/sensor_hub.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::hub {

struct Suid {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    bool operator==(const Suid&) const = default;
};

// The hub's SUID lookup sensor, the target of every lookup and the sender of
// its answers.
inline constexpr Suid kLookupSuid{0xABABABABABABABABull, 0xABABABABABABABABull};
inline constexpr Suid kDefaultSarSuid{0x5341523053454E31ull, 0x0123456789ABCDEFull};

inline constexpr std::uint32_t kServiceId = 0x190;
inline constexpr std::uint8_t kTransportId = 1;

// Message ids of the sensor protocol.
inline constexpr std::uint32_t kAttributeRequest = 1;
inline constexpr std::uint32_t kLookupRequest = 512;
inline constexpr std::uint32_t kOnChangeConfig = 514;
inline constexpr std::uint32_t kErrorEvent = 130;
inline constexpr std::uint32_t kSuidEvent = 768;
inline constexpr std::uint32_t kSensorEvent = 1025;

enum class Kind { Lookup, Attribute, OnChange, Other };

// One sensor request as the hub read it.
struct Request {
    Kind kind = Kind::Other;
    bool parsed = false; // the bytes held a complete sns_client_request_msg
    Suid suid;
    std::uint32_t msgId = 0;
    std::uint32_t clientProcType = 0;
    std::uint32_t deliveryType = 0;
    bool hasBatching = false;
    bool hasPayload = false;
    std::string dataType;         // a lookup's sns_suid_req.data_type
    bool registerUpdates = false; // a lookup's, or an attribute request's
    bool hasRegisterUpdates = false;
    bool hasDefaultOnly = false;
    std::vector<std::uint8_t> bytes; // the sns_client_request_msg as received
    std::uint64_t uptimeMs = 0;      // the machine's uptime when it arrived
};

// One event of an sns_client_event_msg.
struct Event {
    std::uint32_t msgId = 0;
    std::vector<std::uint8_t> payload;
};

// The service present with one SAR sensor, no armed results, records cleared.
// Clients left open stay open.
void Reset();

// The machine's transport; the client library registers it through
// hmx_platform_get_transports.
SensorHub& Transport();

// `hub present` / `hub absent`: the service's server comes up or goes away
// (its clients get their error callback).
void SetPresent(bool present);
// `hub error`: the service restarts; every client gets its error callback
// and the service is back at once, at a new address.
void Restart();
// `hub sar ...`: the SUIDs the lookup lists for a data type.
void SetSuids(const std::string& dataType, std::vector<Suid> suids);
// `hub fail lookup|attr|onchange RESULT`: the next request of the kind is
// answered with that result, and has no effect.
void FailNext(Kind kind, std::int32_t result);
// Every result armed by FailNext is dropped.
void ClearFailures();
// `hub report VALUE [from HIGH:LOW]`: every client that configured on-change
// reporting gets a sensor event with data[0] = value, from the sensor it
// configured (or from `from`).
void Report(float value, std::optional<Suid> from = std::nullopt);
// Every client gets one indication holding these events from `from`.
void SendEvents(Suid from, const std::vector<Event>& events);
// `hub raw HEXBYTES`: every client gets an HMX indication with this body
// (message 0x21 unless said otherwise).
void SendRaw(std::vector<std::uint8_t> body, std::uint16_t msgId = 0x21);

// Payloads of the events the hub sends, and the envelope they travel in.
std::vector<std::uint8_t> SuidEventPayload(const std::string& dataType,
                                           const std::vector<Suid>& suids);
std::vector<std::uint8_t> SensorEventPayload(const std::vector<float>& data);
std::vector<std::uint8_t> ErrorEventPayload(std::uint32_t error);
std::vector<std::uint8_t> EventMessage(Suid from, const std::vector<Event>& events);
// The HMX indication 0x21 body carrying `payload`.
std::vector<std::uint8_t> IndicationBody(const std::vector<std::uint8_t>& payload);

// What the service has seen. (`expect hub-requests`, `expect hub-clients`)
std::vector<Request> Requests();
unsigned RequestCount(Kind kind);
// Requests of the kind that were answered with a result armed by FailNext.
unsigned RefusedCount(Kind kind);
std::size_t Clients();
// Clients on the service that configured on-change reporting: the ones a
// report reaches.
std::size_t Subscribers();
// Clients waiting for the service to come up.
std::size_t Waiters();
// What happened on the service since the last call, one line per request
// answered or event sent, oldest first (the host's timeline).
std::vector<std::string> TakeActivity();

// "lookup" "attr" "onchange"; nothing for another word.
std::optional<Kind> KindFromName(const std::string& name);
const char* KindName(Kind kind);

} // namespace sim::hub
