// What a client of the SocPartition module hears of its child target: the
// driver passes no callbacks, a module of another client may. The target is
// fetched from inside the child's open, which holds the child's module lock.
#include "dmf/modules/Dmf_SocPartition.h"
#include "platform/sim/cm_control.h"
#include "platform/sim/partition_service.h"
#include "tests/dmf_modules/module_device.h"

#include <string>
#include <vector>

namespace {

std::vector<std::string> gHeard;
NTSTATUS gStateAnswer = STATUS_SUCCESS;

DMF_CONFIG_SocPartition Listening() {
    DMF_CONFIG_SocPartition config{};
    config.EvtChildOpened = [](DMFMODULE) { gHeard.push_back("opened"); };
    config.EvtChildClosing = [](DMFMODULE) { gHeard.push_back("closing"); };
    config.EvtTargetAvailable = [](DMFMODULE, WDFIOTARGET target) {
        gHeard.push_back(target != nullptr ? "target" : "no target");
    };
    config.EvtTargetStateChanged = [](DMFMODULE, ULONG state) {
        gHeard.push_back("state " + std::to_string(state));
        return gStateAnswer;
    };
    return config;
}

class SocPartitionCallbacksTest : public moduletest::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        sim::cm::Reset();
        sim::partition::Reset();
        gHeard.clear();
        gStateAnswer = STATUS_SUCCESS;
    }
    void TearDown() override {
        ModuleTest::TearDown();
        sim::partition::Reset();
    }
};

TEST_F(SocPartitionCallbacksTest,
       TheClientHearsTheChildOpenWithItsTargetCloseAndChangeStateAndMayVeto) {
    Add(DMF_SocPartition_Create, Listening());
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(Host().Start(), STATUS_SUCCESS);
    EXPECT_EQ(gHeard, (std::vector<std::string>{"state 1", "opened", "target"}));

    gHeard.clear();
    gStateAnswer = STATUS_ACCESS_DENIED;
    EXPECT_NE(sim::partition::QueryRemove(false), STATUS_SUCCESS);
    gStateAnswer = STATUS_SUCCESS;
    EXPECT_EQ(sim::partition::QueryRemove(false), STATUS_SUCCESS);
    sim::partition::CompleteRemove();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(gHeard,
              (std::vector<std::string>{"state 2", "state 3", "state 2", "closing", "state 4"}));
}

} // namespace
