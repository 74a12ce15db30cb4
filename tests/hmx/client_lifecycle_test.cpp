// Opening and closing clients: the service wait, the transport's refusal,
// handles as ids, the library's start-up.
#include "hub_fixture.h"

#include "hmx/hmx_cci_internal.h"

#include <thread>

namespace hmxtest {
namespace {

using ClientLifecycle = HubTest;

TEST_F(ClientLifecycle, OpenSendReceiveRelease) {
    hmx_client_type h = StartAndOpen();
    EXPECT_EQ(h, 1u) << "handle numbering starts at 1";

    hmx_sns_client_resp_msg resp;
    std::memset(&resp, 0x5A, sizeof(resp));
    EXPECT_EQ(Send(h, resp), 0);
    EXPECT_EQ(resp.resp.result, 0);
    EXPECT_EQ(resp.result_valid, 0);
    EXPECT_EQ(Send(h, resp, 0), 0);
    auto requests = hub->Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].txnId, 1);
    EXPECT_EQ(requests[1].txnId, 2);
    EXPECT_EQ(requests[0].msgId, HMX_SNS_CLIENT_REQ);
    EXPECT_EQ(requests[1].body, (Bytes{0x01, 0x02, 0x00, 0x00, 0x00}));

    // An indication reaches the callback as it came, undecoded.
    hub->InjectIndication(HMX_SNS_CLIENT_SERVICE_ID, HMX_SNS_CLIENT_REPORT_IND, IndicationBody(7));
    ASSERT_TRUE(sim::Settle());
    ASSERT_EQ(cb.IndicationCount(), 1u);
    EXPECT_EQ(cb.indications[0].handle, h);
    EXPECT_EQ(cb.indications[0].msgId, HMX_SNS_CLIENT_REPORT_IND);
    EXPECT_EQ(cb.indications[0].body, IndicationBody(7));
    for (const char* line : {"HMCI UM TX: REQ txn: 0x1 msg_id: 0x20 len: 7\n",
                             "HMCI UM RX: RESP txn: 0x2 msg_id: 0x20 len: 7\n",
                             "HMCI UM RX: IND txn: 0x0 msg_id: 0x21 len: 17\n"}) {
        EXPECT_TRUE(DebuggerSaw(line)) << line;
    }

    // Without an event, release fails and leaves the client working; a send fails.
    sim::ArmFault("CreateEventW", sim::FaultSpec::Once());
    EXPECT_EQ(hmx_client_release(h), HMX_CLIENT_INVALID_SIG);
    EXPECT_EQ(Send(h, resp), 0);
    sim::ArmFault("CreateEventW", sim::FaultSpec::Once());
    EXPECT_EQ(Send(h, resp), HMX_CLIENT_INVALID_SIG);

    Release(h);
    EXPECT_EQ(hub->CloseCalls(), 1u);
    // A stale handle is only an unknown id.
    EXPECT_EQ(Send(h, resp), HMX_CLIENT_INVALID_CLNT);
    EXPECT_EQ(hmx_client_release(h), HMX_CLIENT_INVALID_CLNT);
    EXPECT_EQ(hmx_client_set_error_callback(h, Callbacks::OnError, &cb), HMX_CLIENT_INVALID_CLNT);

    hmx_client_type next = Open();
    EXPECT_EQ(next, 2u) << "ids keep counting past released ones";
}

// However the wait fails, it hands out no handle and leaves nothing open.
TEST_F(ClientLifecycle, ServiceWaitFailures) {
    auto wait = [this](const char* what, std::int32_t rc) {
        SCOPED_TRACE(what);
        hmx_client_type h = 7;
        EXPECT_EQ(hmx_client_wait_for_service(kSns, Callbacks::OnIndication, &cb, 100000, &h), rc);
        EXPECT_EQ(h, 0u);
        EXPECT_EQ(hub->OpenHandleCount(), 0u);
    };
    sim::SetTimeScale(0.001);
    wait("no service within the wait", HMX_TIMEOUT_ERR);
    // The third event is the release's, after the wait: refused once.
    sim::ArmFault("CreateEventW", sim::FaultSpec::OnCall(3));
    wait("the watcher's release refused once", HMX_TIMEOUT_ERR);
    sim::SetTimeScale(1.0);
    sim::ArmFault("SensorHub.Open", sim::FaultSpec::Once());
    wait("no transport can watch for the service", HMX_CLIENT_TRANSPORT_ERR);
    StartSensorService();
    sim::ArmFault("SensorHub.Open", sim::FaultSpec::Once());
    wait("the transport refuses the client", HMX_CLIENT_TRANSPORT_ERR);
    sim::ArmFault("CreateEventW", sim::FaultSpec::Once());
    wait("no event", HMX_CLIENT_INVALID_SIG);
}

TEST_F(ClientLifecycle, ServiceListInitArgumentsAndTransportIds) {
    std::uint32_t total = 5;
    EXPECT_EQ(hmx_client_get_service_list(kSns, nullptr, nullptr, nullptr), HMX_CLIENT_PARAM_ERR);
    EXPECT_EQ(hmx_client_get_service_list(kSns, nullptr, nullptr, &total), HMX_SERVICE_ERR);
    EXPECT_EQ(total, 0u);
    StartSensorService();
    EXPECT_EQ(hmx_client_get_service_list(kSns, nullptr, nullptr, &total), 0);
    EXPECT_EQ(total, 1u);
    hmx_service_info infos[2] = {};
    std::uint32_t count = 0;
    EXPECT_EQ(hmx_client_get_service_list(kSns, infos, &count, &total), 0);
    EXPECT_EQ(count, 0u) << "a zero count only counts";
    EXPECT_EQ(infos[0].xport_id, 0);
    count = 2;
    ASSERT_EQ(hmx_client_get_service_list(kSns, infos, &count, &total), 0);
    EXPECT_EQ(count, 1u);
    const hmx_service_info& info = infos[0];
    EXPECT_EQ(info.xport_id, 1);
    EXPECT_EQ(Bytes(info.server_addr, info.server_addr + sim::SensorHub::kAddressLength),
              hub->ServerAddress(HMX_SNS_CLIENT_SERVICE_ID));

    hmx_client_type h = 7;
    EXPECT_EQ(hmx_client_init(nullptr, kSns, nullptr, nullptr, nullptr, &h), HMX_CLIENT_PARAM_ERR);
    EXPECT_EQ(hmx_client_init(&info, kSns, nullptr, nullptr, nullptr, nullptr),
              HMX_CLIENT_PARAM_ERR);
    EXPECT_EQ(hmx_client_init(&info, nullptr, nullptr, nullptr, nullptr, &h),
              HMX_IDL_PARAMETER_ERROR);
    EXPECT_EQ(h, 0u);
    hmx_idl_service_object bad = hmx_sns_client_service_object;
    bad.library_version = 0;
    EXPECT_EQ(hmx_client_init(&info, &bad, nullptr, nullptr, nullptr, &h),
              HMX_IDL_INVALID_SERVICE_OBJECT);

    hmx_service_info elsewhere = info;
    elsewhere.xport_id = 9;
    EXPECT_EQ(hmx_client_init(&elsewhere, kSns, nullptr, nullptr, nullptr, &h),
              HMX_CLIENT_PARAM_ERR);
    hmx_service_info stale = info;
    stale.server_addr[4] ^= 0xFF;
    EXPECT_EQ(hmx_client_init(&stale, kSns, nullptr, nullptr, nullptr, &h), HMX_SERVICE_ERR)
        << "a server the transport no longer lists is refused";
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(hub->OpenHandleCount(), 0u) << "the refused client's handle was closed";

    ASSERT_EQ(hmx_client_init(&info, kSns, nullptr, nullptr, nullptr, &h), 0);
    Release(h);
}

TEST_F(ClientLifecycle, LibraryStartUp) {
    ASSERT_EQ(hmx_cci_library_deinit(), 0);
    StartSensorService();
    hmx_client_type h = 7;
    EXPECT_EQ(hmx_client_wait_for_service(kSns, nullptr, nullptr, 100000, &h),
              HMX_CLIENT_FW_NOT_UP);
    EXPECT_EQ(hmx_cci_xport_register(sim::SensorHub::Ops(), hub->TransportData(), 1),
              HMX_CLIENT_FW_NOT_UP);
    ASSERT_EQ(hmx_cci_library_init(), 0);
    hmx_service_info info{};
    info.xport_id = 1;
    EXPECT_EQ(hmx_client_init(&info, kSns, nullptr, nullptr, nullptr, &h), HMX_CLIENT_PARAM_ERR)
        << "no transport is registered";
    EXPECT_EQ(hmx_cci_xport_register(nullptr, hub->TransportData(), 1), HMX_CLIENT_PARAM_ERR);
    ASSERT_EQ(hmx_cci_xport_register(sim::SensorHub::Ops(), hub->TransportData(), 1), 0);
    EXPECT_EQ(hmx_cci_xport_register(sim::SensorHub::Ops(), hub->TransportData(), 1),
              HMX_CLIENT_PARAM_ERR)
        << "one row per transport id";

    h = Open();
    EXPECT_EQ(hmx_cci_library_deinit(), HMX_CLIENT_PARAM_ERR) << "a client is still open";
}

TEST(ClientRelease, TheCallbackSignalsTheReleaserBeforeLettingItGo) {
    // The releaser closes its event as soon as it sees the code cleared.
    hmx_cci_release_wait wait{CreateEventW(nullptr, TRUE, FALSE, nullptr), HMX_TIMEOUT_ERR};
    sim::ArmFault("SetEvent", sim::FaultSpec::Hold());
    std::thread callback([&] { hmx_cci_release_cb(&wait); });
    ASSERT_TRUE(sim::WaitForHeldCall("SetEvent"));
    EXPECT_EQ(__atomic_load_n(&wait.pending, __ATOMIC_SEQ_CST), HMX_TIMEOUT_ERR);
    sim::LetHeldCallGo("SetEvent");
    callback.join();
    EXPECT_EQ(wait.pending, 0);
    EXPECT_EQ(WaitForSingleObject(wait.event, 0), WAIT_OBJECT_0);
    CloseHandle(wait.event);
    sim::ResetFaults();
}

} // namespace
} // namespace hmxtest
