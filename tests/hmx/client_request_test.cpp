// Synchronous requests: answers, time-outs and late answers, busy and failing
// transports, and the server going away.
#include "hub_fixture.h"

#include "hmx/hmx_cci_internal.h"

namespace hmxtest {
namespace {

using ClientRequests = HubTest;

TEST_F(ClientRequests, AnswersAreDecodedIntoTheCallersStructure) {
    hmx_client_type h = StartAndOpen();
    hmx_sns_client_resp_msg resp{};
    // A failed request: no mandatory-TLV check, the result reaches the caller.
    hub->SetResponseBody({0x02, 0x04, 0x00, 0x01, 0x00, 0x05, 0x00, 0x11, 0x04, 0x00, 3, 0, 0, 0});
    EXPECT_EQ(Send(h, resp), 0);
    EXPECT_EQ(resp.resp.result, 1);
    EXPECT_EQ(resp.resp.error, 5);
    EXPECT_EQ(resp.result_valid, 1);
    EXPECT_EQ(resp.result, 3);

    // An answer that does not decode is not reported as success.
    hub->SetResponseBody({0x02, 0x02, 0x00, 0x00, 0x00});
    EXPECT_EQ(Send(h, resp), HMX_IDL_LENGTH_INCONSISTENCY);

    hmx_sns_client_req_msg req{};
    req.payload_len = 1001;
    EXPECT_EQ(hmx_client_send_msg_sync(h, HMX_SNS_CLIENT_REQ, &req, sizeof(req), &resp,
                                       sizeof(resp), 10000),
              HMX_IDL_ARRAY_TOO_BIG);
    char empty = 0;
    EXPECT_EQ(hmx_client_send_msg_sync(h, HMX_COMMON_GET_SUPPORTED_MSGS_REQ, &empty, 1, &resp,
                                       sizeof(resp), 10000),
              HMX_CLIENT_PARAM_ERR)
        << "only the 1004-byte request structure is carried";
    EXPECT_EQ(
        hmx_client_send_msg_sync(h, HMX_SNS_CLIENT_REQ, nullptr, 0, &resp, sizeof(resp), 10000),
        HMX_CLIENT_PARAM_ERR);
    EXPECT_EQ(hub->Requests().size(), 2u);
}

TEST_F(ClientRequests, TransactionIdsWrapAndSkipZero) {
    hmx_client_type h = StartAndOpen();
    hmx_sns_client_resp_msg resp{};
    for (int i = 0; i < 65536; ++i) {
        ASSERT_EQ(Send(h, resp), 0) << "request " << i;
    }
    auto requests = hub->Requests();
    EXPECT_EQ(requests[65534].txnId, 65535);
    EXPECT_EQ(requests[65535].txnId, 1);
}

TEST_F(ClientRequests, TimedOutRequestsLeaveNothingQueuedAndIgnoreTheirLateResponse) {
    hmx_client_type h = StartAndOpen();
    sim::ArmFault("SensorHub.Send", sim::FaultSpec::Always(HMX_XPORT_BUSY_ERR));
    auto resp = std::make_unique<hmx_sns_client_resp_msg>();
    std::memset(resp.get(), 0x5A, sizeof(*resp));
    sim::SetTimeScale(0.001);
    EXPECT_EQ(Send(h, *resp), HMX_TIMEOUT_ERR);
    EXPECT_EQ(sim::FaultCalls("SensorHub.Send"), 1u) << "a busy message is not retried by itself";
    EXPECT_TRUE(hub->Requests().empty());

    sim::DisarmFault("SensorHub.Send");
    hub->WithholdResponses(true);
    EXPECT_EQ(Send(h, *resp), HMX_TIMEOUT_ERR);
    sim::SetTimeScale(1.0);
    EXPECT_EQ(hub->Requests().size(), 1u) << "the queue is empty again, so queueing flushes";

    // The caller's structure is gone before the answer comes.
    resp.reset();
    hub->WithholdResponses(false);
    hub->DeliverWithheldResponses();
    ASSERT_TRUE(sim::Settle());
    EXPECT_TRUE(sim::TraceContains("response for unknown txn 0x2 ignored", TRACE_LEVEL_ERROR));

    hmx_sns_client_resp_msg next{};
    EXPECT_EQ(Send(h, next), 0) << "nothing of the timed-out request is left queued";
    EXPECT_EQ(hub->Requests().back().txnId, 3);
}

TEST_F(ClientRequests, AFailedSendGoesOnWithTheRequestQueuedBehindIt) {
    hmx_client_type h = StartAndOpen();
    ASSERT_EQ(hmx_client_set_error_callback(h, Callbacks::OnError, &cb), 0);
    // A busy transport keeps the first request at the head; the second one,
    // queued behind it, does not flush the queue by itself.
    sim::ArmFault("SensorHub.Send", sim::FaultSpec::Once(HMX_XPORT_BUSY_ERR));
    std::atomic<std::int32_t> rc[2] = {1, 1};
    HANDLE senders[2];
    for (int i = 0; i < 2; ++i) {
        senders[i] = Spawn([&, i] {
            hmx_sns_client_resp_msg resp{};
            rc[i] = Send(h, resp);
        });
        ASSERT_TRUE(sim::Settle());
    }
    EXPECT_EQ(sim::FaultCalls("SensorHub.Send"), 1u);

    // The next flush fails the head, and the request behind it still goes.
    sim::ArmFault("SensorHub.Send", sim::FaultSpec::Once(-30));
    hmx_cci_client* client = hmx_cci_client_ref(h, false);
    ASSERT_NE(client, nullptr);
    hmx_cci_flush_tx_queue(client);
    hmx_cci_client_unref(client);
    ASSERT_TRUE(sim::WaitForThreadsToEnd());
    for (HANDLE sender : senders) {
        CloseHandle(sender);
    }
    EXPECT_EQ(rc[0].load(), -30);
    EXPECT_EQ(rc[1].load(), 0);
    EXPECT_EQ(hub->Requests().size(), 1u);
    EXPECT_TRUE(cb.Errors().empty()) << "a failed send is not the server going away";
}

// The error callback may use the client from another thread: no library lock
// may still be held while it runs, not even by the send that found the server gone.
struct OtherThreadSend {
    std::atomic<int> calls{0};
    std::atomic<std::int32_t> error{0};
    std::atomic<std::int32_t> rc{1};
    std::atomic<bool> finished{false};

    static void OnError(hmx_client_type handle, std::int32_t error, void* data) {
        auto* self = static_cast<OtherThreadSend*>(data);
        ++self->calls;
        self->error = error;
        HANDLE other = Spawn([self, handle] {
            hmx_sns_client_req_msg req{};
            hmx_sns_client_resp_msg resp{};
            self->rc = hmx_client_send_msg_sync(handle, HMX_SNS_CLIENT_REQ, &req, sizeof(req),
                                                &resp, sizeof(resp), 10000);
        });
        self->finished = other != nullptr && sim::WaitForThreadsToEnd(std::chrono::seconds(5));
        CloseHandle(other);
    }
};

TEST_F(ClientRequests, SendFindingTheServerGoneEndsTheClientAndCallsBackWithoutLocks) {
    hmx_client_type h = StartAndOpen();
    OtherThreadSend other;
    ASSERT_EQ(hmx_client_set_error_callback(h, OtherThreadSend::OnError, &other), 0);
    sim::ArmFault("SensorHub.Send", sim::FaultSpec::Once(HMX_SERVICE_ERR));
    hmx_sns_client_resp_msg resp{};
    EXPECT_EQ(Send(h, resp), HMX_SERVICE_ERR);
    EXPECT_EQ(other.calls.load(), 1);
    EXPECT_EQ(other.error.load(), HMX_SERVICE_ERR);
    EXPECT_TRUE(other.finished.load()) << "the other thread's send was blocked";
    EXPECT_EQ(other.rc.load(), HMX_SERVICE_ERR);
    EXPECT_EQ(sim::FaultCalls("SensorHub.Send"), 1u) << "nothing is queued for a gone server";
}

TEST_F(ClientRequests, ServerGoingAwayFailsThePendingRequestAndCallsBack) {
    hmx_client_type h = StartAndOpen();
    hmx_client_type late = Open(); // registers its error callback only afterwards
    ASSERT_EQ(hmx_client_set_error_callback(h, Callbacks::OnError, &cb), 0);
    hub->WithholdResponses(true);
    std::atomic<std::int32_t> rc{1};
    HANDLE sender = Spawn([&] {
        hmx_sns_client_resp_msg resp{};
        rc = Send(h, resp);
    });
    ASSERT_NE(sender, nullptr);
    ASSERT_TRUE(sim::Settle());
    ASSERT_EQ(hub->Requests().size(), 1u);

    hub->StopService(HMX_SNS_CLIENT_SERVICE_ID);
    ASSERT_TRUE(sim::WaitForThreadsToEnd());
    CloseHandle(sender);
    EXPECT_EQ(rc.load(), HMX_SERVICE_ERR);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(hmx_client_set_error_callback(late, Callbacks::OnError, &cb), HMX_SERVICE_ERR);
    auto errors = cb.Errors();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], std::make_pair(h, HMX_SERVICE_ERR));
    EXPECT_EQ(errors[1], std::make_pair(late, HMX_SERVICE_ERR));
    EXPECT_EQ(cb.errorThreads[1], GetCurrentThreadId()) << "called at once, from the caller";

    hmx_sns_client_resp_msg resp{};
    EXPECT_EQ(Send(h, resp), HMX_SERVICE_ERR);
    // The server's return does not revive the client.
    StartSensorService();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(Send(h, resp), HMX_SERVICE_ERR);
}

TEST_F(ClientRequests, ReleaseFailsThePendingRequestAndRefusesTheNextOne) {
    hmx_client_type h = StartAndOpen();
    hub->WithholdResponses(true);
    std::atomic<std::int32_t> rc[2] = {1, 1};
    auto resp = std::make_unique<hmx_sns_client_resp_msg>();
    HANDLE threads[3] = {Spawn([&] { rc[0] = Send(h, *resp); })};
    ASSERT_TRUE(sim::Settle());
    // The next request stops while it creates its event, the release while it
    // fails the pending one: transmitting is off, the transport still open.
    sim::ArmFault("CreateEventW", sim::FaultSpec::Hold());
    threads[1] = Spawn([&] {
        hmx_sns_client_resp_msg next{};
        rc[1] = Send(h, next);
    });
    ASSERT_TRUE(sim::WaitForHeldCall("CreateEventW"));
    sim::ArmFault("SetEvent", sim::FaultSpec::Hold());
    threads[2] = Spawn([&] { Release(h); });
    ASSERT_TRUE(sim::WaitForHeldCall("SetEvent"));
    sim::LetHeldCallGo("CreateEventW");
    ASSERT_TRUE(WaitUntil([&] { return rc[1] != 1; }));
    EXPECT_EQ(rc[1].load(), HMX_CLIENT_INVALID_CLNT);
    EXPECT_FALSE(sim::TraceContains("send of txn 0x2", TRACE_LEVEL_ERROR))
        << "refused when queued, not when sent";
    sim::LetHeldCallGo("SetEvent");
    ASSERT_TRUE(sim::WaitForThreadsToEnd());
    for (HANDLE thread : threads) {
        CloseHandle(thread);
    }
    EXPECT_EQ(rc[0].load(), HMX_CLIENT_RELEASED);
    EXPECT_EQ(hub->Requests().size(), 1u);
    resp.reset();
    hub->DeliverWithheldResponses(); // to a closed handle: nothing reaches the library
    ASSERT_TRUE(sim::Settle());
    EXPECT_FALSE(sim::TraceContains("ignored", TRACE_LEVEL_ERROR));
}

TEST_F(ClientRequests, AnotherServersExitLeavesTheClientAlone) {
    hmx_client_type h = StartAndOpen();
    ASSERT_EQ(hmx_client_set_error_callback(h, Callbacks::OnError, &cb), 0);
    // The server restarts under a new address before the client hears of it:
    // the exit of the old address is this client's, the new server is not.
    hub->StartService(HMX_SNS_CLIENT_SERVICE_ID, 1);
    ASSERT_TRUE(sim::Settle());
    EXPECT_TRUE(cb.Errors().empty());
    hub->StopService(HMX_SNS_CLIENT_SERVICE_ID);
    ASSERT_TRUE(sim::Settle());
    EXPECT_TRUE(cb.Errors().empty()) << "the address that went is not the client's";
}

} // namespace
} // namespace hmxtest
