// Failed modem steps: time-outs, errors, resends and the not-supported rule.
#include "modem_fixture.h"

namespace modem_test {
namespace {

using FailureTest = ModemTest;

TEST_F(FailureTest, ATimedOutSetIsCancelledAndTheResendDelivers) {
    ModemWithWwan(2, 0);
    auto& channel = AddNotifier();
    sim::modem::Fail(Step::Set, Behaviour{Outcome::Never});

    EXPECT_FALSE(Send(channel, 4));
    EXPECT_TRUE(sim::TraceContains(kTimedOut, TRACE_LEVEL_ERROR));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::modem::Outstanding(Step::Set), 0u); // the cancel ended it
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{0, 0}));
    EXPECT_EQ(channel.mRetryCount, 4);
    ASSERT_TRUE(ResendRequested());

    EXPECT_TRUE(Send(channel, 4)); // the worker's second pass
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{4, 4}));
    EXPECT_EQ(channel.mRetryCount, 5);
    EXPECT_EQ(sim::modem::Calls(Step::Enable), 1u); // enabling is not repeated
}

TEST_F(FailureTest, AFailedEnableLeavesBackoffDisabledAndIsRetried) {
    ModemWithWwan(1, 0);
    auto& channel = AddNotifier();
    sim::modem::Fail(Step::Enable, Behaviour{Outcome::Error, E_ACCESSDENIED});

    EXPECT_FALSE(Send(channel, 2));
    EXPECT_TRUE(sim::TraceContains("0x80070005", TRACE_LEVEL_ERROR));
    EXPECT_EQ(gBackoffEnabled.load(), 0);
    EXPECT_TRUE(gSarManager); // taken before the failure, and kept
    ASSERT_TRUE(ResendRequested());

    EXPECT_TRUE(Send(channel, 2));
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{2}));
    EXPECT_EQ(sim::modem::Calls(Step::Configuration), 2u);
}

TEST_F(FailureTest, ACancelledConfigurationStepIsAFailure) {
    ModemWithWwan(1, 0);
    auto& channel = AddNotifier();
    sim::modem::Fail(Step::Configuration, Behaviour{Outcome::Cancelled});
    EXPECT_FALSE(Send(channel, 2));
    EXPECT_TRUE(sim::TraceContains(kTimedOut, TRACE_LEVEL_ERROR));
    EXPECT_TRUE(ResendRequested());
    EXPECT_EQ(sim::modem::Calls(Step::Enable), 0u);
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

TEST_F(FailureTest, FailedRegistrationIsRetriedOnTheNextNotify) {
    ModemWithWwan(1, 0);
    auto& channel = AddNotifier();
    sim::ArmFault("NotifyIpInterfaceChange");

    EXPECT_FALSE(Send(channel, 1));
    EXPECT_TRUE(sim::TraceContains(
        "Failed to Register for IP Interface Change Event! will not send the bacoff index to Modem",
        TRACE_LEVEL_ERROR));
    EXPECT_EQ(gIpInterfaceChangeHandle, nullptr);
    EXPECT_EQ(sim::modem::Calls(Step::Configuration), 0u);
    ASSERT_TRUE(ResendRequested());

    EXPECT_TRUE(Send(channel, 1));
    EXPECT_NE(gIpInterfaceChangeHandle, nullptr);
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{1}));
}

TEST_F(FailureTest, AnEmptyAntennaSettingIsAFailure) {
    ModemWithWwan(2, 0);
    auto& channel = AddNotifier();
    sim::ArmFault("MobileBroadbandAntennaSar.CreateWithIndex", sim::FaultSpec::OnCall(2, 1));
    EXPECT_FALSE(Send(channel, 1));
    EXPECT_TRUE(sim::TraceContains("Failed to Create NewSarDataObj! Cannot send the data to Modem",
                                   TRACE_LEVEL_ERROR));
    EXPECT_EQ(sim::modem::SetCount(), 0u);
    EXPECT_TRUE(ResendRequested());
}

TEST_F(FailureTest, OutOfMemoryFromTheModemIsRetriedLikeAnyOtherFailure) {
    ModemWithWwan(1, 0);
    auto& channel = AddNotifier();
    sim::ArmFault("MobileBroadbandModem.GetDefault", sim::FaultSpec::Once(E_OUTOFMEMORY));
    EXPECT_FALSE(Send(channel, 1));
    EXPECT_TRUE(sim::TraceContains("bad_alloc", TRACE_LEVEL_ERROR));
    EXPECT_TRUE(ResendRequested());
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
    sim::modem::Fail(Step::Set, Behaviour{Outcome::Late});

    EXPECT_FALSE(Send(channel, 6));
    EXPECT_EQ(sim::modem::Outstanding(Step::Set), 1u); // the modem ignored the cancel
    mNotifiers.clear();

    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::modem::Outstanding(Step::Set), 0u);
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{6, 6}));
}

TEST_F(FailureTest, RemovalDuringTheEnableStepEndsWithBackoffDisabled) {
    ModemWithWwan(2, 0);
    auto& channel = AddNotifier();
    RegisterIpInterfaceChange();
    sim::modem::Fail(Step::Enable, Behaviour{Outcome::Hold});

    bool result = false;
    std::thread worker([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        result = Send(channel, 3);
        CoUninitialize();
    });
    ASSERT_TRUE(WaitFor([] { return sim::modem::Calls(Step::Enable) == 1; }));
    sim::ip::RemoveInterface(IF_TYPE_WWANPP);
    ASSERT_TRUE(WaitFor([] { return gWwanInterfacePresent.load() == 0; }));
    ASSERT_TRUE(sim::Settle());
    sim::modem::Release(Step::Enable);
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

} // namespace
} // namespace modem_test
