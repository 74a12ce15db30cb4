// The radio while a sensor cannot be read: a start while the display is
// dimmed, a sensor service that stays away longer than a wait for it, an
// on-change configuration the hub refuses, the display changing while the
// provider waits for the service, and power transitions that must not wait
// for it.
#include "tests/slpi/slpi_fixture.h"

#include "tests/support/MachineTest.h"

#include <functional>

namespace slpi_test {
namespace {

using SlpiOutage = SlpiTest;
using driver_test::Indexes;
using sim::display::State;

std::vector<std::int32_t> ModemSettled() {
    EXPECT_TRUE(sim::Settle());
    return sim::modem::BackoffIndexes();
}

// The fixture starts with the display dimmed. Neither sensor has reported nor
// been set through an IOCTL, so each counts as detected; a dimmed display
// delivered later changes nothing.
TEST_F(SlpiOutage, AStartWhileTheDisplayIsDimmedSetsTheRadioBeforeAnySensorReports) {
    for (const std::string& sensor : {driver_test::Apps(1), Slpi({})}) {
        SCOPED_TRACE(sensor);
        Fresh();
        AddDevice({}, true, sensor);
        EXPECT_EQ(ModemSettled(), Indexes(3));
        EXPECT_TRUE(sim::modem::BackoffEnabled());
        const std::size_t computed = sim::TraceCount("State mask");
        sim::display::SetState(State::Dimmed);
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(sim::TraceCount("State mask"), computed);
    }
    // A resume while dimmed after a hibernation with the display off: the
    // display is no longer off, so the forcing ends.
    Fresh();
    AddDevice({}, true, driver_test::Apps(1));
    EXPECT_EQ(ModemAfter(1, 0), Indexes(1));
    sim::display::SetState(State::Off);
    EXPECT_EQ(ModemSettled(), Indexes(3));
    ASSERT_EQ(host->Hibernate(), STATUS_SUCCESS);
    sim::display::SetState(State::Dimmed);
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_EQ(ModemSettled(), Indexes(1));
}

TEST_F(SlpiOutage, AServiceAwayLongerThanTheWaitCountsAsDetectedAndIsOpenedWhenItReturns) {
    AddDevice();
    sim::hub::Report(0.0f);
    EXPECT_EQ(ModemSettled(), Indexes(1));
    sim::SetTimeScale(0.01);
    sim::hub::SetPresent(false);
    ASSERT_TRUE(halvex::testing::WaitUntil(
        [] { return sim::TraceContains("counts as detected", TRACE_LEVEL_ERROR); }));
    EXPECT_TRUE(sim::TraceContains("hmx_client_wait_for_service failed. hmx_err = -3"));
    EXPECT_EQ(ModemSettled(), Indexes(3));
    // The wait goes on after it has given up once.
    ASSERT_TRUE(halvex::testing::WaitUntil(
        [] { return sim::TraceCount("counts as detected", TRACE_LEVEL_ERROR) >= 2; }));
    sim::SetTimeScale(1.0);
    sim::hub::SetPresent(true);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::hub::Clients(), 1u);
    EXPECT_EQ(sim::hub::RequestCount(Kind::OnChange), 2u);
    sim::hub::Report(0.0f);
    EXPECT_EQ(ModemSettled(), Indexes(1));
}

// A client that cannot be opened (the transport refuses) is tried again a
// slice later, not in a busy loop, and counts like a service that is away.
TEST_F(SlpiOutage, AnOpenThatKeepsFailingIsTriedAgainAndTheSensorCountsAsDetected) {
    AddDevice();
    sim::hub::Report(0.0f);
    EXPECT_EQ(ModemSettled(), Indexes(1));
    sim::SetTimeScale(0.01);
    sim::ArmFault("SensorHub.Open", sim::FaultSpec::Always());
    sim::hub::Restart();
    ASSERT_TRUE(halvex::testing::WaitUntil(
        [] { return sim::TraceContains("counts as detected", TRACE_LEVEL_ERROR); }));
    EXPECT_EQ(ModemSettled(), Indexes(3));
    EXPECT_EQ(sim::TraceCount("hmx_err = -16; trying again", TRACE_LEVEL_ERROR), 1u);
    sim::DisarmFault("SensorHub.Open");
    ASSERT_TRUE(halvex::testing::WaitUntil([] { return sim::hub::Clients() == 1; }));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::hub::RequestCount(Kind::OnChange), 2u);
}

// A client whose lookup or on-change configuration the hub refused, or that
// could not send it, hears no report: after a far report its sensor counts as
// detected until a client opened again (at the next display-on or service
// error) reports. A refused attribute request leaves the reports coming.
TEST_F(SlpiOutage, ARefusedLookupOrOnChangeRequestCountsAsDetectedUntilAClientOpenedAgainReports) {
    const auto displayOn = [] { sim::display::SetState(State::On); };
    struct Row {
        const char* name;
        std::function<void()> refuse; // the next client's request
        std::function<void()> reopen;
        bool unread;
    } rows[] = {
        {"on-change refused, then display on", [] { sim::hub::FailNext(Kind::OnChange, 5); },
         displayOn, true},
        {"on-change refused, then the service restarts",
         [] { sim::hub::FailNext(Kind::OnChange, 5); }, sim::hub::Restart, true},
        // The lookup's send, the attribute request's, the on-change's.
        {"on-change not sent, then display on",
         [] { sim::ArmFault("SensorHub.Send", sim::FaultSpec::OnCall(3, -17)); }, displayOn, true},
        {"lookup refused, then display on", [] { sim::hub::FailNext(Kind::Lookup, 5); }, displayOn,
         true},
        {"lookup refused, then the service restarts", [] { sim::hub::FailNext(Kind::Lookup, 5); },
         sim::hub::Restart, true},
        {"lookup not sent, then display on",
         [] { sim::ArmFault("SensorHub.Send", sim::FaultSpec::OnCall(1, -17)); }, displayOn, true},
        {"attribute request refused", [] { sim::hub::FailNext(Kind::Attribute, 5); }, displayOn,
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Fresh();
        AddDevice();
        sim::hub::Report(0.0f);
        EXPECT_EQ(ModemSettled(), Indexes(1));
        row.refuse();
        for (State state : {State::Off, State::On}) {
            sim::display::SetState(state);
            ASSERT_TRUE(sim::Settle());
        }
        EXPECT_EQ(ModemSettled(), Indexes(row.unread ? 3 : 1));
        EXPECT_EQ(sim::hub::Subscribers(), row.unread ? 0u : 1u);
        const unsigned lookups = sim::hub::RequestCount(Kind::Lookup);
        row.reopen();
        // Opened again, but not read again yet.
        EXPECT_EQ(ModemSettled(), Indexes(row.unread ? 3 : 1));
        EXPECT_EQ(sim::hub::RequestCount(Kind::Lookup), lookups + (row.unread ? 1 : 0));
        EXPECT_EQ(sim::hub::Clients(), 1u);
        EXPECT_EQ(sim::hub::Subscribers(), 1u);
        sim::hub::Report(0.0f);
        EXPECT_EQ(ModemSettled(), Indexes(1));
    }
}

// A request on a client released before it was sent, or while it waited for
// its answer (a display off or a stop came first), says nothing of the
// sensor: whoever released the client opens it again, and until then the
// last reading stands.
TEST_F(SlpiOutage, AnOnChangeRequestOnAReleasedClientLeavesTheLastReading) {
    for (bool whileWaiting : {false, true}) {
        SCOPED_TRACE(whileWaiting);
        Fresh();
        AddDevice();
        sim::hub::Report(0.0f);
        EXPECT_EQ(ModemSettled(), Indexes(1));
        SlpiDataProvider* provider = Provider();
        if (!whileWaiting) {
            provider->ReleaseClient();
            provider->SendSensorRequest(514);
        } else {
            sim::hub::Transport().WithholdResponses(true);
            HANDLE send = halvex::testing::StartStandInThread([provider] {
                provider->SendSensorRequest(514);
                return DWORD{0};
            });
            ASSERT_NE(send, nullptr);
            const bool sent = halvex::testing::WaitUntil(
                [] { return sim::hub::RequestCount(Kind::OnChange) == 2; });
            provider->ReleaseClient();
            EXPECT_EQ(WaitForSingleObject(send, 10000), WAIT_OBJECT_0);
            CloseHandle(send);
            sim::hub::Transport().WithholdResponses(false);
            sim::hub::Transport().DeliverWithheldResponses();
            ASSERT_TRUE(sent);
        }
        EXPECT_TRUE(sim::TraceContains("Request 514 to SUID", TRACE_LEVEL_ERROR));
        EXPECT_EQ(ValueAfter(provider), 0.0f);
        EXPECT_EQ(sim::modem::BackoffIndexes(), Indexes(1));
    }
}

// A lookup whose answer has not come when a stop ends the open says nothing of
// the sensor: the last reading stands.
TEST_F(SlpiOutage, ALookupEndedByAStopLeavesTheLastReading) {
    AddDevice();
    sim::hub::Report(0.0f);
    EXPECT_EQ(ModemSettled(), Indexes(1));
    sim::display::SetState(State::Off);
    ASSERT_TRUE(sim::Settle());
    sim::hub::Transport().WithholdResponses(true);
    sim::display::SetState(State::On);
    ASSERT_TRUE(
        halvex::testing::WaitUntil([] { return sim::hub::RequestCount(Kind::Lookup) == 2; }));
    // The stop waits for the open, which waits 10 s for the lookup's answer.
    EXPECT_EQ(host->Hibernate(), STATUS_SUCCESS);
    sim::hub::Transport().WithholdResponses(false);
    EXPECT_TRUE(sim::TraceContains("SUID lookup failed", TRACE_LEVEL_ERROR));
    EXPECT_FALSE(sim::TraceContains("counts as detected"));
    EXPECT_EQ(ValueAfter(Provider()), 0.0f);
}

// A resume whose worker cannot be made asks for no report: the last reading
// (nothing near) would stand for good, so the sensor counts as detected.
TEST_F(SlpiOutage, AResumeWithoutAWorkerCountsTheSensorAsDetected) {
    AddDevice();
    sim::hub::Report(0.0f);
    EXPECT_EQ(ModemSettled(), Indexes(1));
    ASSERT_EQ(host->Hibernate(), STATUS_SUCCESS);
    // The channel's worker first, then the provider's.
    sim::ArmFault("CreateThread", sim::FaultSpec::OnCall(2));
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_EQ(Provider()->mThread, nullptr);
    EXPECT_EQ(ModemSettled(), Indexes(3));
}

// Lets `ms` of machine time pass at `scale`, then goes back to real time.
void Pass(std::uint32_t ms, double scale) {
    sim::SetTimeScale(scale);
    Sleep(ms);
    sim::SetTimeScale(1.0);
}

// The time the sensor has had no client configured for reports counts toward
// the wait, from the release of its last client at a display off or a stop:
// once the service is found away, a reading older than the wait counts as
// detected at once, and a younger one stands. Once a client is configured
// again, the last value stands until the sensor reports.
TEST_F(SlpiOutage, AReadingOlderThanTheWaitCountsAsDetectedAtOnceWhenTheServiceIsAway) {
    struct Row {
        const char* name;
        bool hibernate; // else the display goes off and on
        std::uint32_t unreadMs;
        double scale; // at which the time passes
        std::int32_t index;
    } rows[] = {
        {"display off for ten minutes", false, 600000, 0.001, 3},
        {"display off for ten seconds", false, 10000, 0.01, 1},
        {"hibernation of ten minutes", true, 600000, 0.001, 3},
        {"hibernation of ten seconds", true, 10000, 0.01, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Fresh();
        AddDevice();
        sim::hub::Report(0.0f);
        EXPECT_EQ(ModemSettled(), Indexes(1));
        if (row.hibernate) {
            ASSERT_EQ(host->Hibernate(), STATUS_SUCCESS);
        } else {
            sim::display::SetState(State::Off);
            EXPECT_EQ(ModemSettled(), Indexes(3));
        }
        sim::hub::SetPresent(false);
        ASSERT_TRUE(sim::Settle());
        Pass(row.unreadMs, row.scale);
        if (row.hibernate) {
            ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
        } else {
            sim::display::SetState(State::On);
        }
        EXPECT_EQ(ModemSettled(), Indexes(row.index));
        sim::hub::SetPresent(true);
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(sim::hub::Subscribers(), 1u);
        EXPECT_EQ(ModemSettled(), Indexes(row.index));
        sim::hub::Report(0.0f);
        EXPECT_EQ(ModemSettled(), Indexes(1));
    }
}

// The service away across a hibernation every 60 s: no resume starts the
// count again, so once the sensor has gone unread for a wait since its client
// was lost with the service, it counts as detected.
TEST_F(SlpiOutage, AnOutageAcrossHibernationsCountsFromTheLossOfTheClient) {
    AddDevice();
    sim::hub::Report(0.0f);
    EXPECT_EQ(ModemSettled(), Indexes(1));
    sim::hub::SetPresent(false);
    ASSERT_TRUE(sim::Settle());
    for (std::int32_t index : {1, 3, 3, 3}) {
        ASSERT_EQ(host->Hibernate(), STATUS_SUCCESS);
        Pass(60000, 0.01);
        ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
        EXPECT_EQ(ModemSettled(), Indexes(index));
    }
    EXPECT_EQ(sim::hub::Clients(), 0u);
}

// In real time the wait for the service lasts 100 s: the display reaches the
// radio at once all the same, while the worker goes on waiting.
TEST_F(SlpiOutage, TheDisplayReachesTheRadioAtOnceWhileTheServiceIsWaitedFor) {
    AddDevice();
    sim::hub::Report(0.0f);
    EXPECT_EQ(ModemSettled(), Indexes(1));
    sim::hub::SetPresent(false);
    ASSERT_TRUE(sim::Settle());
    sim::display::SetState(State::Off);
    EXPECT_EQ(ModemSettled(), Indexes(3));
    sim::display::SetState(State::On);
    EXPECT_EQ(ModemSettled(), Indexes(1));
    EXPECT_EQ(sim::hub::RequestCount(Kind::Lookup), 1u);
    sim::hub::SetPresent(true);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::hub::Clients(), 1u);
}

TEST_F(SlpiOutage, PowerTransitionsWithTheServiceAwayDoNotWaitForIt) {
    AddDevice();
    sim::hub::SetPresent(false);
    ASSERT_TRUE(sim::Settle());
    auto took = [](const std::function<NTSTATUS()>& call) {
        const std::uint64_t before = sim::NowMs();
        EXPECT_EQ(call(), STATUS_SUCCESS);
        return sim::NowMs() - before;
    };
    EXPECT_LT(took([this] { return host->Hibernate(); }), kPromptMs);
    EXPECT_LT(took([this] { return host->Resume(); }), kPromptMs);
    ASSERT_TRUE(sim::Settle());
    EXPECT_LT(took([this] { return host->Remove(); }), kPromptMs);
    EXPECT_FALSE(sim::TraceContains("did not end within"));
    EXPECT_EQ(sim::hub::Clients(), 0u);
}

} // namespace
} // namespace slpi_test
