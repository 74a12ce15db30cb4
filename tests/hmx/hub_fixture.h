// A library started with one simulated sensor hub registered as transport 1,
// and recorders for the callbacks the library makes.
#pragma once

#include "hmx/hmx_client.h"
#include "hmx/sns_client_service.h"
#include "platform/sim/sensor_hub.h"
#include "tests/support/MachineTest.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace hmxtest {

using Bytes = std::vector<std::uint8_t>;
const hmx_idl_service_object* const kSns = &hmx_sns_client_service_object;

struct Indication {
    hmx_client_type handle;
    std::uint32_t msgId;
    Bytes body;
};

// Everything the library called back, from whichever thread.
struct Callbacks {
    std::mutex lock;
    std::vector<Indication> indications;
    std::vector<std::pair<hmx_client_type, std::int32_t>> errors;
    std::vector<DWORD> errorThreads;
    std::atomic<bool> released{false};
    std::atomic<int> indicationsAfterRelease{0};

    static void OnIndication(hmx_client_type handle, std::uint32_t msgId, const void* buf,
                             std::uint32_t len, void* data) {
        auto* self = static_cast<Callbacks*>(data);
        if (self->released) {
            ++self->indicationsAfterRelease;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(buf);
        std::lock_guard guard(self->lock);
        self->indications.push_back({handle, msgId, Bytes(bytes, bytes + len)});
    }
    static void OnError(hmx_client_type handle, std::int32_t error, void* data) {
        auto* self = static_cast<Callbacks*>(data);
        std::lock_guard guard(self->lock);
        self->errors.emplace_back(handle, error);
        self->errorThreads.push_back(GetCurrentThreadId());
    }
    std::size_t IndicationCount() {
        std::lock_guard guard(lock);
        return indications.size();
    }
    std::vector<std::pair<hmx_client_type, std::int32_t>> Errors() {
        std::lock_guard guard(lock);
        return errors;
    }
};

// Runs `body` on a stand-in thread, which quiescence watches.
inline HANDLE Spawn(std::function<void()> body) {
    return halvex::testing::StartStandInThread([body = std::move(body)] {
        body();
        return DWORD{0};
    });
}

// An indication body: an 8-byte identifier, then a one-byte payload.
inline Bytes IndicationBody(std::uint8_t payloadByte) {
    return {0x01, 0x08, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x03, 0x00, 0x01, 0x00, payloadByte};
}

inline bool DebuggerSaw(const std::string& line) {
    auto out = sim::DebuggerOutput();
    return std::find(out.begin(), out.end(), line) != out.end();
}

class HubTest : public halvex::testing::MachineTest {
protected:
    void SetUp() override {
        // Real time: answers must never race a time-out. Tests that want a
        // time-out to pass shorten it themselves.
        MachineTest::SetUp();
        hub = std::make_unique<sim::SensorHub>(hmx_cci_xport_receiver(), 1);
        ASSERT_EQ(hmx_cci_library_init(), 0);
        ASSERT_EQ(hmx_cci_xport_register(sim::SensorHub::Ops(), hub->TransportData(), 1), 0);
    }

    void TearDown() override {
        // A client a test leaves open is released here, and must release cleanly.
        for (hmx_client_type h : mOpen) {
            EXPECT_EQ(hmx_client_release(h), 0) << "client " << h;
        }
        EXPECT_TRUE(sim::WaitForThreadsToEnd());
        EXPECT_TRUE(sim::Settle());
        EXPECT_EQ(hmx_cci_library_deinit(), 0) << "a client record outlived its release";
        EXPECT_EQ(hub->OpenHandleCount(), 0u);
        hub.reset();
        MachineTest::TearDown();
    }

    // Opens a client on the sensor client service, which must be up.
    hmx_client_type Open() {
        hmx_client_type h = 0;
        EXPECT_EQ(hmx_client_wait_for_service(kSns, Callbacks::OnIndication, &cb, 100000, &h), 0);
        mOpen.push_back(h);
        return h;
    }

    void Release(hmx_client_type h) {
        EXPECT_EQ(hmx_client_release(h), 0);
        mOpen.erase(std::remove(mOpen.begin(), mOpen.end(), h), mOpen.end());
    }

    std::int32_t Send(hmx_client_type h, hmx_sns_client_resp_msg& resp, std::uint32_t payload = 2) {
        hmx_sns_client_req_msg req{};
        req.payload_len = payload;
        return hmx_client_send_msg_sync(h, HMX_SNS_CLIENT_REQ, &req, sizeof(req), &resp,
                                        sizeof(resp), 10000);
    }

    void StartSensorService() { hub->StartService(HMX_SNS_CLIENT_SERVICE_ID, 1); }
    hmx_client_type StartAndOpen() {
        StartSensorService();
        return Open();
    }

    std::unique_ptr<sim::SensorHub> hub;
    Callbacks cb;

private:
    std::vector<hmx_client_type> mOpen;
};

} // namespace hmxtest
