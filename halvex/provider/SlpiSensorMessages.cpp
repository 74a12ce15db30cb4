// The SLPI provider's message exchange with the sensor hub: the SUID lookup,
// attribute and on-change requests it sends, and the SUID, sensor and error
// events it reads from the hub's indications.
#include "halvex/driver/CaughtException.h"
#include "halvex/provider/SlpiDataProvider.h"
#include "hmx/sns_client_service.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include "sns_client.pb.h"
#include "sns_std.pb.h"
#include "sns_std_sensor.pb.h"
#include "sns_suid.pb.h"

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

constexpr uint64_t kLookupSuid = 0xABABABABABABABABull;
constexpr uint32_t kMsgIdSuidRequest = 512;
constexpr uint32_t kMsgIdOnChangeConfig = 514;
constexpr uint32_t kMsgIdErrorEvent = 130;
constexpr uint32_t kMsgIdSuidEvent = 768;
constexpr uint32_t kMsgIdSensorEvent = 1025;

} // namespace

bool SlpiDataProvider::BuildRequest(uint64_t low, uint64_t high, uint32_t msgId,
                                    const std::string* payload, std::string& bytes) {
    sns_client_request_msg request;
    request.mutable_suid()->set_suid_low(low);
    request.mutable_suid()->set_suid_high(high);
    request.set_msg_id(msgId);
    request.mutable_susp_config()->set_client_proc_type(SNS_STD_CLIENT_PROCESSOR_APSS);
    request.mutable_susp_config()->set_delivery_type(SNS_CLIENT_DELIVERY_WAKEUP);
    sns_std_request* inner = request.mutable_request();
    if (payload != nullptr) {
        inner->set_payload(*payload);
    }
    bytes.clear();
    request.SerializeToString(&bytes);
    if (bytes.size() > HMX_SNS_CLIENT_PAYLOAD_MAX) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                    "Request %u of %zu bytes does not fit the %u-byte payload; not sent",
                    static_cast<unsigned>(msgId), bytes.size(), HMX_SNS_CLIENT_PAYLOAD_MAX);
        return false;
    }
    return true;
}

bool SlpiDataProvider::BuildSuidLookup(std::string& bytes) {
    sns_suid_req lookup;
    lookup.set_data_type("SAR");
    lookup.set_register_updates(true);
    std::string payload;
    lookup.SerializeToString(&payload);
    return BuildRequest(kLookupSuid, kLookupSuid, kMsgIdSuidRequest, &payload, bytes);
}

int32_t SlpiDataProvider::SendRequest(hmx_client_type client, const std::string& bytes) {
    hmx_sns_client_req_msg request{};
    request.payload_len = static_cast<uint32_t>(bytes.size());
    std::memcpy(request.payload, bytes.data(), bytes.size());
    hmx_sns_client_resp_msg response{};
    int32_t rc = hmx_client_send_msg_sync(client, HMX_SNS_CLIENT_REQ, &request, sizeof(request),
                                          &response, sizeof(response), kResponseWaitMs);
    if (rc != HMX_NO_ERR) {
        return rc;
    }
    return response.result_valid ? response.result : 0;
}

void SlpiDataProvider::SendSensorRequest(uint32_t msgId) {
    FuncEntry(TRACE_PROVIDER);
    auto [low, high] = Suid();
    std::string payload;
    if (msgId == 1) {
        sns_std_attr_req attributes;
        attributes.set_register_updates(false);
        attributes.SerializeToString(&payload);
    }
    const hmx_client_type client = mClient.load();
    std::string bytes;
    bool sent = false;
    if (BuildRequest(low, high, msgId, msgId == 1 ? &payload : nullptr, bytes)) {
        int32_t rc = SendRequest(client, bytes);
        if (rc != 0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                        "Request %u to SUID %016llX:%016llX failed: %d",
                        static_cast<unsigned>(msgId), static_cast<unsigned long long>(high),
                        static_cast<unsigned long long>(low), rc);
        } else {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                        "Request %u sent to SUID %016llX:%016llX", static_cast<unsigned>(msgId),
                        static_cast<unsigned long long>(high),
                        static_cast<unsigned long long>(low));
            sent = true;
        }
    }
    // The attribute request only asks for attributes: reports come without
    // it. Without the on-change configuration none comes.
    if (msgId == kMsgIdOnChangeConfig) {
        if (sent) {
            ClientConfigured(client);
        } else {
            OnChangeRefused(client);
        }
    }
    FuncExitVoid(TRACE_PROVIDER);
}

void SlpiDataProvider::OnChangeRefused(hmx_client_type client) {
    AcquireLock();
    // A client released meanwhile (display off, stop) is opened again, with
    // its requests, by whoever released it; until then its last reading
    // stands, as after any release.
    const bool current = client != 0 && mClient.load() == client;
    if (current) {
        // Left open as after a failed lookup, so that the next display-on or
        // service error opens it again and the hub is asked anew.
        mSuidFound.store(0);
    }
    ReleaseLock();
    if (current) {
        CountAsDetected();
    }
}

void SlpiDataProvider::IndicationCallback(hmx_client_type client, uint32_t msgId,
                                          const void* buffer, uint32_t length, void* data) {
    (void)client;
    FuncEntry(TRACE_PROVIDER);
    try {
        auto* provider = static_cast<SlpiDataProvider*>(data);
        if (provider == nullptr) {
            throw std::runtime_error("Received NULL obj");
        }
        if (buffer == nullptr) {
            throw std::runtime_error("Received NULL message");
        }
        if (msgId == HMX_SNS_CLIENT_REPORT_IND) {
            hmx_sns_client_report_ind_msg indication{};
            int32_t rc = hmx_idl_message_decode(&hmx_sns_client_service_object, HMX_IDL_INDICATION,
                                                HMX_SNS_CLIENT_REPORT_IND, buffer, length,
                                                &indication, sizeof(indication));
            if (rc != 0) {
                throw std::runtime_error("hmx_idl_message_decode() failed. hmx_err = " +
                                         std::to_string(rc));
            }
            provider->DecodeEventMessage(indication.payload, indication.payload_len);
        } else {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER, "Indication 0x%X ignored",
                        static_cast<unsigned>(msgId));
        }
    } catch (...) {
        TraceCaughtException(TRACE_PROVIDER);
    }
    FuncExitVoid(TRACE_PROVIDER);
}

void SlpiDataProvider::DecodeEventMessage(const uint8_t* payload, uint32_t length) {
    FuncEntry(TRACE_PROVIDER);
    sns_client_event_msg message;
    // Whatever parsed is used, even from an incomplete message.
    message.ParseFromArray(payload, static_cast<int>(length));
    const bool anySensor = mConfigSuidLow == 0 && mConfigSuidHigh == 0;
    const uint64_t fromLow = message.suid().suid_low();
    const uint64_t fromHigh = message.suid().suid_high();
    for (const auto& event : message.events()) {
        const uint32_t id = event.msg_id();
        // 768 is also a sensor's own physical-config event: only the lookup
        // sensor's 768 is a SUID event.
        if (id == kMsgIdSuidEvent && fromLow == kLookupSuid && fromHigh == kLookupSuid) {
            sns_suid_event suids;
            suids.ParseFromString(event.payload());
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                        "SUID event for \"%s\" with %d SUID(s)", suids.data_type().c_str(),
                        suids.suid_size());
            if (suids.suid_size() == 0) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                            "SUID event without SUIDs: the rest of the indication is dropped");
                break;
            }
            bool taken = false;
            for (const auto& suid : suids.suid()) {
                if (anySensor ||
                    (suid.suid_low() == mConfigSuidLow && suid.suid_high() == mConfigSuidHigh)) {
                    SetSuid(suid.suid_low(), suid.suid_high());
                    taken = true;
                    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                                "SAR sensor SUID %016llX:%016llX taken",
                                static_cast<unsigned long long>(suid.suid_high()),
                                static_cast<unsigned long long>(suid.suid_low()));
                } else {
                    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                                "SUID %016llX:%016llX is not the configured %016llX:%016llX",
                                static_cast<unsigned long long>(suid.suid_high()),
                                static_cast<unsigned long long>(suid.suid_low()),
                                static_cast<unsigned long long>(mConfigSuidHigh),
                                static_cast<unsigned long long>(mConfigSuidLow));
                }
            }
            // Signalled once the whole list is taken, so the worker's requests
            // go to the SUID that remains.
            if (taken && mSuidFound.exchange(1) == 0) {
                SetEvent(mSuidFoundEvent);
            }
        } else if (id == kMsgIdSensorEvent) {
            sns_std_sensor_event sample;
            sample.ParseFromString(event.payload());
            auto [low, high] = Suid();
            if (!anySensor && (fromLow != low || fromHigh != high)) {
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                            "Sensor event from SUID %016llX:%016llX ignored",
                            static_cast<unsigned long long>(fromHigh),
                            static_cast<unsigned long long>(fromLow));
            } else if (sample.data_size() > 0) {
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER, "SAR sensor reports %f",
                            static_cast<double>(sample.data(0)));
                SetValue(sample.data(0));
            }
        } else if (id == kMsgIdErrorEvent) {
            sns_std_error_event error;
            error.ParseFromString(event.payload());
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER, "Error event from the hub: %d",
                        static_cast<int>(error.error()));
        } else {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER, "Event %u not handled",
                        static_cast<unsigned>(id));
        }
    }
    FuncExitVoid(TRACE_PROVIDER);
}

void SlpiDataProvider::SetValue(float v) {
    float old = mValue.exchange(v);
    if (mSensorEvent != nullptr && v != old) {
        SetEvent(mSensorEvent);
    }
}
