// What arrives unasked: indications, malformed messages, release while they
// arrive; and transports whose lookups do not add up.
#include "hub_fixture.h"

namespace hmxtest {
namespace {

using ClientReceive = HubTest;

Bytes IndicationBody(std::uint8_t payloadByte) {
    return {0x01, 0x08, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x03, 0x00, 0x01, 0x00, payloadByte};
}

TEST_F(ClientReceive, IndicationReachesTheCallbackUndecoded) {
    hmx_client_type h = StartAndOpen();
    hub->InjectIndication(HMX_SNS_CLIENT_SERVICE_ID, HMX_SNS_CLIENT_REPORT_IND, IndicationBody(7));
    ASSERT_TRUE(sim::Settle());
    ASSERT_EQ(cb.IndicationCount(), 1u);
    Indication ind = cb.indications[0];
    EXPECT_EQ(ind.handle, h);
    EXPECT_EQ(ind.msgId, HMX_SNS_CLIENT_REPORT_IND);
    EXPECT_EQ(ind.body, IndicationBody(7));
    EXPECT_TRUE(DebuggerSaw("HMCI UM RX: IND txn: 0x0 msg_id: 0x21 len: 17\n"));
}

TEST_F(ClientReceive, MalformedMessagesAreDropped) {
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
}

TEST_F(ClientReceive, ReleaseWhileIndicationsArrive) {
    hmx_client_type h = StartAndOpen();
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

TEST_F(TwoHubs, OverclaimedEntriesStayInsideTheArray) {
    hub->SetLookupLies(0, 5);
    StartSensorService();
    second->StartService(HMX_SNS_CLIENT_SERVICE_ID, 1);
    std::vector<hmx_service_info> infos(1);
    std::uint32_t count = 1;
    std::uint32_t total = 0;
    ASSERT_EQ(hmx_client_get_service_list(kSns, infos.data(), &count, &total), 0);
    EXPECT_EQ(count, 1u) << "clamped to the room there was";
    EXPECT_EQ(total, 2u);
    EXPECT_EQ(infos[0].xport_id, 1);
}

// Lookups that never add up end the init rather than loop or over-allocate.
TEST_F(TwoHubs, ServerListsThatDoNotAddUpEndInit) {
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
}

} // namespace
} // namespace hmxtest

namespace hmxtest {
namespace {

TEST_F(TwoHubs, WaitWatchesEveryTransportAndOpensWhereTheServiceAppears) {
    std::atomic<std::int32_t> rc{1};
    hmx_client_type h = 0;
    HANDLE waiter = Spawn(
        [&] { rc = hmx_client_wait_for_service(kSns, Callbacks::OnIndication, &cb, 100000, &h); });
    ASSERT_NE(waiter, nullptr);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(hub->OpenHandleCount(), 1u);
    EXPECT_EQ(second->OpenHandleCount(), 1u);

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
