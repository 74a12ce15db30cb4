// The radio while a sensor cannot be read: a start while the display is
// dimmed, and the display changing while the provider waits for the service.
#include "tests/slpi/slpi_fixture.h"

#include "tests/support/MachineTest.h"

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

} // namespace
} // namespace slpi_test
