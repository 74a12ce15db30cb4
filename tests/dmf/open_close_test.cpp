// When modules open and close, by open option, across the device's power
// sequences; the undo of failed phases; run-time references.
#include "tests/dmf/DmfFixture.h"

#include "platform/sim/quiescence.h"

#include <chrono>
#include <future>
#include <thread>

namespace dmftest {
namespace {

class OpenClose : public DmfTest {
protected:
    // One module per open option, named after it.
    void BuildAllOptions() {
        for (ULONG option = 1; option <= 7; ++option) {
            Plan().modules.push_back(Module("O" + std::to_string(option), option));
        }
        ASSERT_EQ(Add(), STATUS_SUCCESS);
    }
};

TEST_F(OpenClose, EachOptionOpensAndClosesWithItsPhase) {
    BuildAllOptions();
    EXPECT_EQ(Who("open"), (Names{"O1"}));
    EXPECT_EQ(Who("register"), (Names{"O7"}));
    ClearLog();

    ASSERT_EQ(Host().Start(), STATUS_SUCCESS);
    EXPECT_EQ(Who("open"), (Names{"O2", "O3", "O4"}));
    EXPECT_EQ(Who("register"), (Names{"O5", "O6"}));
    ClearLog();

    ASSERT_EQ(Host().Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(Who("close"), (Names{"O4"}));
    EXPECT_EQ(Who("unregister"), (Names{"O6"}));
    ClearLog();

    ASSERT_EQ(Host().Wake(), STATUS_SUCCESS);
    EXPECT_EQ(Who("open"), (Names{"O4"}));
    EXPECT_EQ(Who("register"), (Names{"O6"}));
    ClearLog();

    ASSERT_EQ(Host().Hibernate(), STATUS_SUCCESS);
    EXPECT_EQ(Who("close"), (Names{"O4", "O3"}));
    ClearLog();

    ASSERT_EQ(Host().Resume(), STATUS_SUCCESS);
    EXPECT_EQ(Who("open"), (Names{"O3", "O4"}));
    ClearLog();

    ASSERT_EQ(Host().Remove(), STATUS_SUCCESS);
    // D0 exit to D3Final, then ReleaseHardware, then the collection's
    // teardown in reverse order.
    EXPECT_EQ(Who("close"), (Names{"O4", "O3", "O2", "O1"}));
    EXPECT_EQ(Who("unregister"), (Names{"O6", "O5", "O7"}));
    EXPECT_EQ(Who("destroy"), (Names{"O1", "O2", "O3", "O4", "O5", "O6", "O7"}));
}

TEST_F(OpenClose, OptionThreeReopensOnlyAfterItClosed) {
    Plan().modules = {Module("O3", 3)};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Host().Start(), STATUS_SUCCESS);
    ASSERT_EQ(Host().Sleep(), STATUS_SUCCESS);
    ASSERT_EQ(Host().Wake(), STATUS_SUCCESS);
    EXPECT_EQ(Who("open").size(), 1u);
    EXPECT_TRUE(Who("close").empty());
    ASSERT_EQ(Host().Shutdown(), STATUS_SUCCESS);
    EXPECT_EQ(Who("close"), (Names{"O3"}));
    // Closed, it opens again even at an entry from a plain D3.
    ASSERT_EQ(Host().D0Entry(WdfPowerDeviceD3, PowerActionSleep), STATUS_SUCCESS);
    EXPECT_EQ(Who("open").size(), 2u);
}

TEST_F(OpenClose, AnOpenOptionBeyondSevenFailsThePhase) {
    Plan().modules = {Module("Bad", 8)};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(Host().Start(), STATUS_INTERNAL_ERROR);
}

TEST_F(OpenClose, AFailedPrepareHardwareUndoesWhatItOpened) {
    ModulePlan failing = FailingAt(Module("F", 1, true), "PrepareHardware");
    static const RecorderChild kChildren[] = {{"Pc", Config(5)}};
    ModulePlan parent = Parent("P", kChildren, 2);
    Plan().modules = {parent, Module("N", 5), failing, Module("L", 2)};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ClearLog();
    EXPECT_EQ(Host().Start(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Log(), (Names{"Pc:register", "P:open", "N:register", "F:PrepareHardware", "P:close",
                            "Pc:unregister", "N:unregister"}));
}

TEST_F(OpenClose, AFailedD0EntryUndoesWhatItOpened) {
    ModulePlan failing = FailingAt(Module("F", 1, true), "D0Entry");
    Plan().modules = {Module("O3", 3), Module("O4", 4), Module("O6", 6),
                      Module("O2", 2), failing,         Module("Late", 4)};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ClearLog();
    EXPECT_EQ(Host().Start(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Who("close"), (Names{"O3", "O4"}));
    EXPECT_EQ(Who("unregister"), (Names{"O6"}));
    EXPECT_FALSE(Logged("Late:open"));
    // PrepareHardware's own opens are not D0Entry's to undo.
    EXPECT_FALSE(Logged("O2:close"));
    EXPECT_FALSE(Logged("Client:D0Entry"));
}

TEST_F(OpenClose, AFailedOpenLeavesTheModuleClosed) {
    Plan().modules = {FailingAt(Module("F", 4), "DeviceOpen")};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(Host().Start(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(DMF_ModuleReference(Handle(0)), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(Logged("F:close"));
}

TEST_F(OpenClose, AModuleOpenedByItsNotificationClosesOnceAtDestroy) {
    ModulePlan notified = Module("N7", 7);
    notified.config.OpenOnNotification = TRUE;
    Plan().modules = {notified};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (Names{"N7:register", "N7:open"}));
    EXPECT_TRUE(DMF_ModuleIsOpen(Handle(0)));
    DMF_ModuleClose(Handle(0));
    DMF_ModuleClose(Handle(0));
    EXPECT_EQ(Who("close").size(), 1u);
    EXPECT_EQ(DMF_ModuleOpen(Handle(0)), STATUS_SUCCESS);
    ASSERT_EQ(Host().Remove(), STATUS_SUCCESS);
    EXPECT_EQ(Who("close").size(), 2u);
}

TEST_F(OpenClose, ReferencesAreTakenOnlyWhileOpenAndACloseWaitsForEveryOneHeld) {
    Plan().modules = {Module("M", 4)};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    DMFMODULE module = Handle(0);
    EXPECT_EQ(DMF_ModuleReference(module), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(Host().Start(), STATUS_SUCCESS);
    ASSERT_EQ(DMF_ModuleReference(module), STATUS_SUCCESS);
    ASSERT_EQ(DMF_ModuleReference(module), STATUS_SUCCESS);

    auto sleeping = std::async(std::launch::async, [this] { return Host().Sleep(); });
    // The close has begun once new references are refused.
    ASSERT_TRUE(WaitUntil([&] {
        if (DMF_ModuleReference(module) != STATUS_SUCCESS) {
            return true;
        }
        DMF_ModuleDereference(module);
        return false;
    }));
    DMF_ModuleDereference(module);
    // Wait until the close has looked again and still sees one reference.
    sim::ClearTrace();
    ASSERT_TRUE(WaitUntil([] { return sim::TraceContains("Close of M waits for 1 references"); }));
    EXPECT_FALSE(Logged("M:close"));
    DMF_ModuleDereference(module);
    ASSERT_EQ(sleeping.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(sleeping.get(), STATUS_SUCCESS);
    EXPECT_TRUE(Logged("M:close"));
    EXPECT_EQ(DMF_ModuleReference(module), STATUS_INVALID_DEVICE_STATE);
}

} // namespace
} // namespace dmftest
