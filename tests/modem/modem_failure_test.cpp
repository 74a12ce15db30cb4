// Failed modem steps: time-outs, errors, resends and the not-supported rule.
#include "modem_fixture.h"

#include "platform/sim/kernel.h"
#include "tests/support/MachineTest.h"

#include <functional>
#include <thread>

namespace modem_test {
namespace {

using FailureTest = ModemTest;
using winrt::Windows::Networking::NetworkOperators::MobileBroadbandModem;

TEST_F(FailureTest, AFailedStepIsTracedAndResentAndTheResendDelivers) {
    struct Case {
        const char* trace;
        std::function<void()> fail;
        BYTE enabledAfterFailure;
        unsigned configurationCalls; // once the resend delivered
        unsigned enableCalls;
    };
    const Case cases[] = {
        {kTimedOut, [] { sim::modem::Fail(Step::Set, Behaviour{Outcome::Never}); }, 1, 1, 1},
        {"0x80070005",
         [] {
             sim::modem::Fail(Step::Enable, Behaviour{Outcome::Error, E_ACCESSDENIED});
         },
         0, 2, 2},
        {"Modem configuration failed: 0x800704C7",
         [] { sim::modem::Fail(Step::Configuration, Behaviour{Outcome::Cancelled}); }, 0, 2, 1},
        {"Failed to Register for IP Interface Change Event! will not send the bacoff index to "
         "Modem",
         [] { sim::ArmFault("NotifyIpInterfaceChange"); }, 0, 1, 1},
        {"Failed to Create NewSarDataObj! Cannot send the data to Modem",
         [] {
             sim::ArmFault("MobileBroadbandAntennaSar.CreateWithIndex",
                           sim::FaultSpec::OnCall(2, 1));
         },
         1, 1, 1},
        {"bad_alloc",
         [] {
             sim::ArmFault("MobileBroadbandModem.GetDefault", sim::FaultSpec::Once(E_OUTOFMEMORY));
         },
         0, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.trace);
        Restart();
        ModemWithWwan(2, 0);
        auto& channel = AddNotifier();
        c.fail();
        EXPECT_FALSE(Send(channel, 4));
        EXPECT_TRUE(sim::TraceContains(c.trace, TRACE_LEVEL_ERROR));
        EXPECT_EQ(gBackoffEnabled.load(), c.enabledAfterFailure);
        EXPECT_EQ(channel.mRetryCount, 4);
        ASSERT_TRUE(ResendRequested());
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(sim::modem::Outstanding(Step::Set), 0u); // a timed-out set was cancelled
        EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{0, 0}));

        EXPECT_TRUE(Send(channel, 4)); // the worker's second pass
        EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{4, 4}));
        EXPECT_EQ(channel.mRetryCount, 5);
        EXPECT_NE(gIpInterfaceChangeHandle, nullptr);
        EXPECT_EQ(sim::modem::Calls(Step::Configuration), c.configurationCalls);
        EXPECT_EQ(sim::modem::Calls(Step::Enable), c.enableCalls);
    }
}

TEST_F(FailureTest, TheAsyncWaitClosesItsEventAlsoWhenItCannotMakeItsCompletionHandler) {
    sim::modem::Install(1);
    std::size_t handles = sim::kernel::OpenHandleCount();
    {
        auto configuration = MobileBroadbandModem::GetDefault().GetCurrentConfigurationAsync();
        ASSERT_TRUE(ModemDataNotifier::WaitForAsyncOperation(configuration));
        sim::modem::Fail(Step::Enable, Behaviour{Outcome::Error, E_ACCESSDENIED});
        auto failed = configuration.GetResults().SarManager().EnableBackoffAsync();
        ASSERT_FALSE(ModemDataNotifier::WaitForAsyncAction(failed));
        sim::ArmFault("make_self", sim::FaultSpec::Once());
        EXPECT_FALSE(ModemDataNotifier::WaitForAsyncAction(failed));
    }
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::kernel::OpenHandleCount(), handles);
}

TEST_F(FailureTest, ResendEventHandlingAtTheEdges) {
    ModemWithWwan(1, 0);
    sim::modem::Fail(Step::Set, Behaviour{Outcome::Error}, /*always=*/true);
    auto& channel = AddNotifier();

    // No usable event: no resend, the budget starts again.
    channel.ResendDataEvent = INVALID_HANDLE_VALUE;
    channel.mRetryCount = 3;
    EXPECT_FALSE(Send(channel, 1));
    EXPECT_EQ(channel.mRetryCount, 5);

    // A NULL event still spends the budget.
    channel.ResendDataEvent = nullptr;
    EXPECT_FALSE(Send(channel, 1));
    EXPECT_EQ(channel.mRetryCount, 4);
}

TEST_F(FailureTest, NotSupportedFromEnableStopsEnablingUntilStop) {
    ModemWithWwan(2, 0);
    auto& channel = AddNotifier();
    sim::modem::Fail(Step::Enable, Behaviour{Outcome::FailSync});
    channel.mRetryCount = 1;

    EXPECT_TRUE(Send(channel, 3));
    EXPECT_EQ(gSarSupported.load(), 0);
    EXPECT_EQ(channel.mRetryCount, 5);
    EXPECT_FALSE(ResendRequested());

    // Later notifications skip enabling, so nothing is sent.
    EXPECT_TRUE(Send(channel, 4));
    EXPECT_EQ(sim::modem::Calls(Step::Configuration), 1u);
    EXPECT_EQ(sim::modem::SetCount(), 0u);

    // A power cycle assumes support again.
    channel.Stop();
    EXPECT_EQ(gSarSupported.load(), 1);
    channel.Start();
    EXPECT_TRUE(Send(channel, 4));
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{4, 4}));
}

TEST_F(FailureTest, NotSupportedClearedByWwanRemovalAndSendingGoesOnWhileEnabled) {
    ModemWithWwan(1, 0);
    auto& channel = AddNotifier();
    EXPECT_TRUE(Send(channel, 2));

    // Not supported from the set step: back-off was enabled, so sending goes on.
    sim::modem::Fail(Step::Set, Behaviour{Outcome::FailSync});
    EXPECT_TRUE(Send(channel, 5));
    EXPECT_EQ(gSarSupported.load(), 0);
    EXPECT_FALSE(ResendRequested());
    EXPECT_TRUE(Send(channel, 5));
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{5}));

    sim::ip::RemoveInterface(IF_TYPE_WWANPP);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(gSarSupported.load(), 1);
    EXPECT_EQ(gBackoffEnabled.load(), 0);
}

TEST_F(FailureTest, ALateCompletionAfterTheTimeOutFindsItsHandlerAlive) {
    ModemWithWwan(2, 0);
    auto& channel = AddNotifier();
    sim::modem::Fail(Step::Set, Behaviour{Outcome::Late, 0, 1e7}); // due at Release

    EXPECT_FALSE(Send(channel, 6));
    EXPECT_EQ(sim::modem::Outstanding(Step::Set), 1u); // the modem ignored the cancel
    mNotifiers.clear();

    ASSERT_EQ(sim::modem::Release(Step::Set), 1u);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::modem::Outstanding(Step::Set), 0u);
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{6, 6}));
}

TEST_F(FailureTest, RemovalDuringTheEnableStepEndsWithBackoffDisabled) {
    ModemWithWwan(2, 0);
    auto& channel = AddNotifier();
    RegisterIpInterfaceChange();
    sim::modem::Fail(Step::Enable, Behaviour{Outcome::Hold});
    // The held enable's 10000 ms wait (50 s here) outlasts the bounded waits below.
    sim::SetTimeScale(5.0);

    bool result = false;
    std::thread worker = SendOnAWorker(channel, 3, &result);
    using halvex::testing::WaitUntil;
    ASSERT_TRUE(WaitUntil([] { return sim::modem::Calls(Step::Enable) == 1; }));
    sim::ip::RemoveInterface(IF_TYPE_WWANPP);
    ASSERT_TRUE(WaitUntil([] { return gWwanInterfacePresent.load() == 0; }));
    ASSERT_TRUE(sim::Settle());
    ASSERT_TRUE(WaitUntil([] { return sim::modem::Release(Step::Enable) == 1; }));
    worker.join();

    EXPECT_TRUE(result);
    EXPECT_EQ(gBackoffEnabled.load(), 0);
    EXPECT_EQ(sim::modem::SetCount(), 0u);

    // The adapter's return is not ignored: back-off is enabled again and sent.
    sim::ip::AddInterface(IF_TYPE_WWANPP);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(gWwanInterfacePresent.load(), 1);
    EXPECT_TRUE(Send(channel, 3));
    EXPECT_EQ(gBackoffEnabled.load(), 1);
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{3, 3}));
}

TEST_F(FailureTest, NotSupportedToACallMadeBeforeTheRemovalDoesNotHoldForTheReturn) {
    ModemWithWwan(2, 0);
    auto& channel = AddNotifier();
    RegisterIpInterfaceChange();
    sim::modem::Fail(Step::Configuration, Behaviour{Outcome::Hold});
    sim::modem::Fail(Step::Enable, Behaviour{Outcome::FailSync});
    sim::SetTimeScale(5.0); // the held step's wait outlasts the bounded waits below

    std::thread worker = SendOnAWorker(channel, 3);
    using halvex::testing::WaitUntil;
    ASSERT_TRUE(WaitUntil([] { return sim::modem::Calls(Step::Configuration) == 1; }));
    sim::ip::RemoveInterface(IF_TYPE_WWANPP);
    ASSERT_TRUE(WaitUntil([] { return gWwanInterfacePresent.load() == 0; }));
    ASSERT_TRUE(WaitUntil([] { return sim::modem::Release(Step::Configuration) == 1; }));
    worker.join();
    EXPECT_EQ(sim::modem::Calls(Step::Enable), 1u);
    EXPECT_EQ(gSarSupported.load(), 1);

    sim::ip::AddInterface(IF_TYPE_WWANPP);
    ASSERT_TRUE(sim::Settle());
    EXPECT_TRUE(Send(channel, 3));
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{3, 3}));
}

} // namespace
} // namespace modem_test
