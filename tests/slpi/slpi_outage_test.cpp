// The radio while a sensor cannot be read: a start while the display is
// dimmed, a sensor service that stays away longer than a wait for it, the
// display changing while the provider waits for the service, and power
// transitions that must not wait for it.
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
