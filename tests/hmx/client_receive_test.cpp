// What arrives unasked: malformed messages, indications while the client is
// released; and several transports: lookups that do not add up, a wait that
// watches them all.
#include "hub_fixture.h"

namespace hmxtest {
namespace {

using ClientReceive = HubTest;

TEST_F(ClientReceive, MalformedMessagesAreDroppedThenReleaseWhileIndicationsArrive) {
    hmx_client_type h = StartAndOpen();
    hub->InjectMessage(HMX_SNS_CLIENT_SERVICE_ID, {0x04, 0x00, 0x00, 0x21});
    hub->InjectMessage(HMX_SNS_CLIENT_SERVICE_ID, {0x04, 0x00, 0x00, 0x21, 0x00, 0x09, 0x00, 1});
    hub->InjectMessage(HMX_SNS_CLIENT_SERVICE_ID, {0x07, 0x00, 0x00, 0x21, 0x00, 0x00, 0x00});
    hub->InjectMessage(HMX_SNS_CLIENT_SERVICE_ID, {0x02, 0x05, 0x00, 0x20, 0x00, 0x00, 0x00});
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(cb.IndicationCount(), 0u);
    EXPECT_TRUE(sim::TraceContains("dropped a 4-byte message", TRACE_LEVEL_ERROR));
    EXPECT_TRUE(sim::TraceContains("claims 9", TRACE_LEVEL_ERROR));
    EXPECT_TRUE(DebuggerSaw("HMCI UM RX: UNKNOWN txn: 0x0 msg_id: 0x21 len: 0\n"));
    EXPECT_TRUE(sim::TraceContains("response for unknown txn 0x5 ignored", TRACE_LEVEL_ERROR));
    hmx_sns_client_resp_msg resp{};
    EXPECT_EQ(Send(h, resp), 0);

    // Released while indications arrive.
    constexpr int kBurst = 200;
    HANDLE injector = Spawn([&] {
        for (int i = 0; i < kBurst; ++i) {
            hub->InjectIndication(HMX_SNS_CLIENT_SERVICE_ID, HMX_SNS_CLIENT_REPORT_IND,
                                  IndicationBody(static_cast<std::uint8_t>(i)));
        }
    });
    ASSERT_NE(injector, nullptr);
    Release(h);
    cb.released = true;
    ASSERT_TRUE(sim::WaitForThreadsToEnd());
    CloseHandle(injector);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(cb.indicationsAfterRelease.load(), 0) << "no callback once release has returned";
}

class TwoHubs : public HubTest {
protected:
    void SetUp() override {
        HubTest::SetUp();
        second = std::make_unique<sim::SensorHub>(hmx_cci_xport_receiver(), 2);
        ASSERT_EQ(hmx_cci_xport_register(sim::SensorHub::Ops(), second->TransportData(), 2), 0);
    }
    void TearDown() override {
        HubTest::TearDown();
        second.reset();
    }
    std::unique_ptr<sim::SensorHub> second;
};

// Lookups that never add up end the init rather than loop or over-allocate,
// and overclaimed entries stay inside the caller's array.
TEST_F(TwoHubs, ServerListsThatDoNotAddUp) {
    struct Case {
        std::uint32_t extra; // servers counted but never listed
        std::int32_t rc;
        const char* trace;
    } cases[] = {{1, HMX_SERVICE_ERR, "server list still changing"},
                 {0x10000000u, HMX_CLIENT_NO_MEMORY, nullptr}};
    second->StartService(HMX_SNS_CLIENT_SERVICE_ID, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra);
        hub->SetLookupLies(c.extra, 0);
        hmx_service_info info{};
        std::uint32_t count = 1;
        std::uint32_t total = 0;
        ASSERT_EQ(hmx_client_get_service_list(kSns, &info, &count, &total), 0);
        ASSERT_EQ(info.xport_id, 2);
        hmx_client_type h = 7;
        EXPECT_EQ(hmx_client_init(&info, kSns, nullptr, nullptr, nullptr, &h), c.rc);
        EXPECT_EQ(h, 0u);
        EXPECT_TRUE(c.trace == nullptr || sim::TraceContains(c.trace, TRACE_LEVEL_ERROR));
        EXPECT_EQ(second->OpenHandleCount(), 0u);
    }

    hub->SetLookupLies(0, 5);
    StartSensorService();
    std::uint32_t count = 1;
    std::uint32_t total = 0;
    hmx_service_info infos[1] = {};
    ASSERT_EQ(hmx_client_get_service_list(kSns, infos, &count, &total), 0);
    EXPECT_EQ(count, 1u) << "clamped to the room there was";
    EXPECT_EQ(total, 2u);
    EXPECT_EQ(infos[0].xport_id, 1);
}

TEST_F(TwoHubs, WaitWatchesEveryTransportAndOpensWhereTheServiceAppears) {
    std::atomic<std::int32_t> rc{1};
    hmx_client_type h = 0;
    HANDLE waiter = Spawn(
        [&] { rc = hmx_client_wait_for_service(kSns, Callbacks::OnIndication, &cb, 100000, &h); });
    ASSERT_NE(waiter, nullptr);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(hub->OpenHandleCount(), 1u);
    EXPECT_EQ(second->OpenHandleCount(), 1u);
    EXPECT_EQ(hmx_client_set_error_callback(1, Callbacks::OnError, &cb), HMX_CLIENT_INVALID_CLNT)
        << "handle 1 is the waiting notifier";

    second->StartService(HMX_SNS_CLIENT_SERVICE_ID, 1);
    ASSERT_TRUE(sim::WaitForThreadsToEnd());
    CloseHandle(waiter);
    ASSERT_EQ(rc.load(), 0);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(hub->OpenHandleCount(), 0u) << "both of the notifier's handles were closed";
    EXPECT_EQ(second->OpenHandleCount(), 1u);
    hmx_sns_client_resp_msg resp{};
    hmx_sns_client_req_msg req{};
    EXPECT_EQ(hmx_client_send_msg_sync(h, HMX_SNS_CLIENT_REQ, &req, sizeof(req), &resp,
                                       sizeof(resp), 10000),
              0);
    EXPECT_EQ(second->Requests().size(), 1u);
    EXPECT_EQ(hmx_client_release(h), 0);
}

} // namespace
} // namespace hmxtest
