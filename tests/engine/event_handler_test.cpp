// The channel worker: from a sensor signal to a delivery, and the life of the
// worker across Start, Stop and deletion.
#include "halvex/driver/ChannelConfig.h"
#include "halvex/driver/EventHandler.h"
#include "platform/com.h"
#include "tests/engine/EngineFakes.h"
#include "tests/support/MachineTest.h"

#include <memory>
#include <utility>

namespace {

using halvex::testing::FakeNotifier;
using halvex::testing::FakeProvider;
using halvex::testing::Journal;
using halvex::testing::MachineTest;
using halvex::testing::StartStandInThread;
using Table = std::vector<std::pair<ULONG, LONG>>;

class Channel : public MachineTest {
protected:
    void Build(ULONG channelType, const Table& table, int providerCount) {
        notifier = new FakeNotifier(journal);
        auto* interpreter = new Interpreter;
        for (const auto& [mask, index] : table) {
            interpreter->SetMapping(mask, index);
        }
        handler = std::make_unique<EventHandler>(notifier, interpreter, channelType);
        notifier->ResendDataEvent = handler->GetNotifierEvent();
        for (int i = 0; i < providerCount; ++i) {
            auto* provider = new FakeProvider(handler->GetSensorEvent(), journal,
                                              "provider " + std::to_string(i));
            providers.push_back(provider);
            handler->AddSensor(provider);
        }
    }

    // Holds the worker inside Notify until OpenGate.
    void CloseGate() {
        if (gate == nullptr) {
            gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            notifier->gate = gate;
        }
        ResetEvent(gate);
    }
    void OpenGate() {
        if (gate != nullptr) {
            SetEvent(gate);
        }
    }

    void TearDown() override {
        OpenGate();
        if (handler) {
            handler->Stop();
            handler.reset();
        }
        if (gate != nullptr) {
            CloseHandle(gate);
        }
        MachineTest::TearDown();
    }

    std::size_t NotifyCountAfterSettling() {
        EXPECT_TRUE(sim::Settle());
        return notifier->CallCount();
    }

    Journal journal;
    FakeNotifier* notifier = nullptr;
    std::vector<FakeProvider*> providers;
    std::unique_ptr<EventHandler> handler;
    HANDLE gate = nullptr;
};

TEST_F(Channel, MaskIsTheOrOfEveryProvidersActivity) {
    Build(ChannelTypeWlan, {{0, 2}, {1, 7}}, 2);
    ASSERT_TRUE(handler->Start());
    EXPECT_EQ(NotifyCountAfterSettling(), 0u);

    providers[0]->Report(false); // the other one has not reported yet: detected
    ASSERT_EQ(NotifyCountAfterSettling(), 1u);
    EXPECT_EQ(notifier->LastCall().stateMask, 1u);
    EXPECT_EQ(notifier->LastCall().backoffIndex, 7);

    providers[1]->Report(false);
    ASSERT_EQ(NotifyCountAfterSettling(), 2u);
    EXPECT_EQ(notifier->LastCall().stateMask, 0u);
    EXPECT_EQ(notifier->LastCall().backoffIndex, 2);

    providers[1]->SetValue(0.5f);
    providers[0]->Signal();
    ASSERT_EQ(NotifyCountAfterSettling(), 3u);
    EXPECT_EQ(notifier->LastCall().stateMask, 1u);
    // Every pass asks every provider.
    EXPECT_EQ(providers[0]->isActiveCalls.load(), 3);
    EXPECT_EQ(providers[1]->isActiveCalls.load(), 3);

    // Display off forces a provider active whatever its reading.
    providers[1]->SetValue(-1.0f);
    providers[0]->mForcedActive = 1;
    providers[0]->Signal();
    ASSERT_EQ(NotifyCountAfterSettling(), 4u);
    EXPECT_EQ(notifier->LastCall().stateMask, 1u);
}

TEST_F(Channel, WithoutProvidersEveryPassHasMaskZero) {
    Build(ChannelTypeWlan, {{0, 4}, {1, 9}}, 0);
    ASSERT_TRUE(handler->Start());
    SetEvent(handler->GetSensorEvent());
    SetEvent(handler->GetNotifierEvent());
    ASSERT_TRUE(sim::Settle());
    ASSERT_EQ(notifier->CallCount(), 2u);
    for (const auto& call : notifier->Calls()) {
        EXPECT_EQ(call.stateMask, 0u);
        EXPECT_EQ(call.backoffIndex, 4);
    }
}

TEST_F(Channel, AMaskMappedToMinusOneOrMissingFromTheTableSendsNothing) {
    for (LONG unmapped : {-1, 0}) { // 0: mask 0 is left out of the table
        SCOPED_TRACE(unmapped);
        providers.clear();
        sim::ClearTrace();
        Build(ChannelTypeWlan, unmapped == -1 ? Table{{0, -1}, {1, 7}} : Table{{1, 7}}, 1);
        ASSERT_TRUE(handler->Start());
        providers[0]->Report(true);
        ASSERT_EQ(NotifyCountAfterSettling(), 1u);
        EXPECT_EQ(notifier->LastCall().backoffIndex, 7);
        providers[0]->Report(false);
        EXPECT_EQ(NotifyCountAfterSettling(), 1u);
        EXPECT_TRUE(sim::TraceContains("No back-off index for state mask 0", TRACE_LEVEL_ERROR));
        handler.reset();
    }
}

TEST_F(Channel, StopWinsOverPendingWork) {
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 1);
    CloseGate();
    ASSERT_TRUE(handler->Start());
    providers[0]->Report(false);
    ASSERT_EQ(NotifyCountAfterSettling(), 1u); // held inside Notify

    providers[0]->Report(true); // pending
    HANDLE stopper = StartStandInThread([this] {
        handler->Stop();
        return 0u;
    });
    ASSERT_NE(stopper, nullptr);
    // Settled: the stopper has signalled the stop and waits for the worker.
    ASSERT_TRUE(sim::Settle());
    OpenGate();
    ASSERT_EQ(WaitForSingleObject(stopper, 10000), WAIT_OBJECT_0);
    CloseHandle(stopper);
    EXPECT_EQ(notifier->CallCount(), 1u);
    EXPECT_EQ(notifier->stops.load(), 1);
    EXPECT_EQ(providers[0]->stops.load(), 1);
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
}

TEST_F(Channel, SignalsDuringAPassAreRememberedOncePerEvent) {
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 2);
    CloseGate();
    ASSERT_TRUE(handler->Start());
    providers[0]->Signal();
    ASSERT_EQ(NotifyCountAfterSettling(), 1u);

    // A burst of sensor changes gives one further pass, with the latest states.
    for (int i = 0; i < 10; ++i) {
        providers[i % 2]->Report(i % 3 == 0);
    }
    providers[0]->Report(false);
    providers[1]->Report(false);
    OpenGate();
    ASSERT_EQ(NotifyCountAfterSettling(), 2u);
    EXPECT_EQ(notifier->LastCall().stateMask, 0u);

    // A pending resend and a pending sensor change are two passes.
    CloseGate();
    providers[0]->Report(true);
    ASSERT_EQ(NotifyCountAfterSettling(), 3u);
    providers[1]->Signal();
    SetEvent(handler->GetNotifierEvent());
    SetEvent(handler->GetNotifierEvent());
    OpenGate();
    ASSERT_EQ(NotifyCountAfterSettling(), 5u);
}

TEST_F(Channel, StartTwiceIsRefusedAndStartsNothingMore) {
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 2);
    ASSERT_TRUE(handler->Start());
    EXPECT_FALSE(handler->Start());
    EXPECT_TRUE(sim::TraceContains("already started", TRACE_LEVEL_ERROR));
    EXPECT_EQ(sim::LiveThreadCount(), 1u);
    EXPECT_EQ(providers[0]->starts.load(), 1);
    EXPECT_EQ(providers[1]->starts.load(), 1);
    EXPECT_EQ(notifier->starts.load(), 1);

    // Stop and start again, as after hibernation: a new worker runs.
    handler->Stop();
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
    ASSERT_TRUE(handler->Start());
    providers[1]->Report(true);
    EXPECT_EQ(NotifyCountAfterSettling(), 1u);
    EXPECT_EQ(notifier->starts.load(), 2);
    EXPECT_EQ(notifier->stops.load(), 1);
}

TEST_F(Channel, AStopWithoutAWorkerDoesNotEndTheNextWorker) {
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 1);
    handler->Stop();
    ASSERT_TRUE(handler->Start());
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::LiveThreadCount(), 1u);
    providers[0]->Report(false);
    EXPECT_EQ(NotifyCountAfterSettling(), 1u);
}

TEST_F(Channel, AProviderThatFailsToStartIsTracedAndKept) {
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 2);
    providers[0]->startResult = false;
    ASSERT_TRUE(handler->Start());
    EXPECT_TRUE(sim::TraceContains("Sensor provider failed to start", TRACE_LEVEL_ERROR));
    EXPECT_EQ(providers[1]->starts.load(), 1);
    EXPECT_EQ(notifier->starts.load(), 1);
    providers[0]->Report(false);
    EXPECT_EQ(NotifyCountAfterSettling(), 1u);
    EXPECT_EQ(providers[0]->isActiveCalls.load(), 1);
}

TEST_F(Channel, ANotifierThatAlwaysFailsGetsExactlyFiveResends) {
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 1);
    notifier->alwaysFail = true;
    ASSERT_TRUE(handler->Start());
    providers[0]->Report(false);
    EXPECT_EQ(NotifyCountAfterSettling(), 6u);
    EXPECT_EQ(notifier->mRetryCount, DataNotifier::kRetryBudget);
    EXPECT_EQ(sim::TraceCount("Resend budget spent", TRACE_LEVEL_ERROR), 1u);

    // The next attempt waits for the next sensor change, with a whole budget.
    providers[0]->Report(true);
    EXPECT_EQ(NotifyCountAfterSettling(), 12u);
    for (const auto& call : notifier->Calls()) {
        EXPECT_NE(call.backoffIndex, -1);
    }
}

TEST_F(Channel, OnlyAModemWorkerJoinsTheMultithreadedApartmentAndItRunsOnWithoutIt) {
    struct Row {
        ULONG channelType;
        bool apartmentFails;
        int comInitCount; // as the notifier sees it
    };
    for (const Row& row : {Row{ChannelTypeModem, false, 1}, Row{ChannelTypeWlan, false, 0},
                           Row{ChannelTypeModem, true, 0}}) {
        SCOPED_TRACE(testing::Message() << row.channelType << (row.apartmentFails ? " fails" : ""));
        providers.clear();
        sim::ResetFaults();
        sim::ClearTrace();
        Build(row.channelType, {{0, 1}, {1, 2}}, 1);
        if (row.apartmentFails) {
            sim::ArmFault("CoInitializeEx", sim::FaultSpec::Once(E_OUTOFMEMORY));
        }
        ASSERT_TRUE(handler->Start());
        providers[0]->Report(false);
        ASSERT_EQ(NotifyCountAfterSettling(), 1u);
        auto call = notifier->LastCall();
        EXPECT_EQ(call.comInitCount, row.comInitCount);
        EXPECT_EQ(call.inMta, row.comInitCount == 1);
        EXPECT_EQ(sim::FaultCalls("CoInitializeEx"), row.channelType == ChannelTypeModem ? 1u : 0u);
        EXPECT_EQ(
            sim::TraceContains("could not join the multithreaded apartment", TRACE_LEVEL_ERROR),
            row.apartmentFails);
        handler->Stop();
        EXPECT_FALSE(sim::ThreadInMta(call.threadId)); // left with the worker
        handler.reset();
    }
}

TEST_F(Channel, AWorkerStuckInNotifyIsGivenUpOnByStopButWaitedForBeforeDeletion) {
    sim::SetTimeScale(0.001);
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 2);
    CloseGate();
    ASSERT_TRUE(handler->Start());
    providers[0]->Report(false);
    ASSERT_EQ(NotifyCountAfterSettling(), 1u);

    std::uint64_t before = sim::NowMs();
    handler->Stop();
    EXPECT_GE(sim::NowMs() - before, EventHandler::kStopTimeoutMs);
    EXPECT_TRUE(sim::TraceContains("did not end in time", TRACE_LEVEL_ERROR));
    EXPECT_EQ(notifier->stops.load(), 1);
    EXPECT_EQ(providers[1]->stops.load(), 1);

    // The worker is still tracked: a new one is refused while it runs.
    EXPECT_FALSE(handler->Start());
    EXPECT_TRUE(sim::TraceContains("still running", TRACE_LEVEL_ERROR));
    EXPECT_EQ(notifier->starts.load(), 1);

    HANDLE deleter = StartStandInThread([this] {
        handler.reset();
        return 0u;
    });
    ASSERT_NE(deleter, nullptr);
    ASSERT_TRUE(sim::Settle()); // the deleter waits for the worker
    EXPECT_EQ(journal.IndexOf("delete notifier"), -1);
    EXPECT_EQ(journal.IndexOf("delete provider 0"), -1);

    OpenGate();
    // Machine time runs fast here: bound the wait in real time.
    ASSERT_TRUE(sim::WaitForThreadsToEnd());
    ASSERT_EQ(WaitForSingleObject(deleter, 0), WAIT_OBJECT_0);
    CloseHandle(deleter);
    int returned = journal.IndexOf("notify returns");
    ASSERT_GE(returned, 0);
    EXPECT_GT(journal.IndexOf("delete notifier"), returned);
    // The providers went while the sensor-changed event was still open.
    EXPECT_GT(journal.IndexOf("delete provider 0"), returned);
    EXPECT_GT(journal.IndexOf("delete provider 1"), returned);
    EXPECT_EQ(journal.IndexOf("delete provider 0 (event closed)"), -1);
}

TEST_F(Channel, StartAfterAGivenUpWorkerHasEndedRunsANewWorker) {
    sim::SetTimeScale(0.001);
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 1);
    CloseGate();
    ASSERT_TRUE(handler->Start());
    providers[0]->Report(false);
    ASSERT_EQ(NotifyCountAfterSettling(), 1u);
    handler->Stop();
    ASSERT_TRUE(sim::TraceContains("did not end in time", TRACE_LEVEL_ERROR));

    // Released, the old worker sees the stop it was sent and ends.
    OpenGate();
    ASSERT_TRUE(sim::WaitForThreadsToEnd());
    EXPECT_EQ(notifier->CallCount(), 1u);
    ASSERT_TRUE(handler->Start());
    EXPECT_EQ(sim::LiveThreadCount(), 1u);
    providers[0]->Report(true);
    EXPECT_EQ(NotifyCountAfterSettling(), 2u);
}

TEST_F(Channel, DeletingAStartedHandlerEndsItsWorkerFirst) {
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 2);
    ASSERT_TRUE(handler->Start());
    providers[0]->Report(false);
    ASSERT_EQ(NotifyCountAfterSettling(), 1u);
    // A failed wait for the worker is no reason to leave with it running.
    sim::ArmFault("WaitForSingleObject", sim::FaultSpec::Once());
    handler.reset();
    EXPECT_TRUE(sim::TraceContains("Cannot wait for the channel worker", TRACE_LEVEL_ERROR));
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
    auto entries = journal.Entries();
    EXPECT_EQ(
        std::vector<std::string>(entries.end() - 3, entries.end()),
        (std::vector<std::string>{"delete notifier", "delete provider 0", "delete provider 1"}));
}

TEST_F(Channel, AWorkerWhoseWaitFailsEndsAndIsReplacedOnlyAfterStop) {
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 1);
    sim::ArmFault("WaitForMultipleObjects", sim::FaultSpec::Once());
    ASSERT_TRUE(handler->Start());
    ASSERT_TRUE(sim::WaitForThreadsToEnd());
    EXPECT_TRUE(sim::TraceContains("Worker wait failed", TRACE_LEVEL_ERROR));
    providers[0]->Report(false);
    EXPECT_EQ(NotifyCountAfterSettling(), 0u);

    EXPECT_FALSE(handler->Start());
    handler->Stop();
    ASSERT_TRUE(handler->Start());
    // The change reported while no worker listened is picked up by the new one.
    EXPECT_EQ(NotifyCountAfterSettling(), 1u);
    EXPECT_EQ(notifier->LastCall().stateMask, 0u);
}

TEST_F(Channel, AMissingStopEventEndsTheWorkerAtItsFirstWait) {
    sim::ArmFault("CreateEventW", sim::FaultSpec::Once());
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 1);
    EXPECT_TRUE(sim::TraceContains("Failed to create stop event", TRACE_LEVEL_ERROR));
    EXPECT_NE(handler->GetSensorEvent(), nullptr);
    ASSERT_TRUE(handler->Start());
    ASSERT_TRUE(sim::WaitForThreadsToEnd());
    EXPECT_TRUE(sim::TraceContains("Worker wait failed", TRACE_LEVEL_ERROR));
    handler->Stop();
    EXPECT_EQ(providers[0]->stops.load(), 1);
}

TEST_F(Channel, AFailedThreadCreationStartsNothing) {
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 1);
    sim::ArmFault("CreateThread", sim::FaultSpec::Once(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_FALSE(handler->Start());
    EXPECT_TRUE(sim::TraceContains("Failed to create EventHandlerThread! (last error 8)",
                                   TRACE_LEVEL_ERROR));
    EXPECT_EQ(providers[0]->starts.load(), 0);
    EXPECT_EQ(notifier->starts.load(), 0);
    ASSERT_TRUE(handler->Start());
    EXPECT_EQ(notifier->starts.load(), 1);
}

TEST_F(Channel, WithoutANotifierStartFailsAfterStartingTheProvidersAndNothingIsSent) {
    auto* interpreter = new Interpreter;
    interpreter->SetMapping(0, 1);
    handler = std::make_unique<EventHandler>(nullptr, interpreter, ChannelTypeWlan);
    auto* provider = new FakeProvider(handler->GetSensorEvent(), journal);
    handler->AddSensor(provider);
    handler->AddSensor(nullptr);
    EXPECT_EQ(handler->GetSensorList().size(), 1u);

    EXPECT_FALSE(handler->Start());
    EXPECT_TRUE(sim::TraceContains(" mDataNotifier is NULL", TRACE_LEVEL_ERROR));
    EXPECT_EQ(provider->starts.load(), 1);
    provider->Report(false);
    EXPECT_TRUE(sim::Settle());
    EXPECT_EQ(sim::LiveThreadCount(), 1u); // the worker created before the failure runs on
    handler->Stop();
    EXPECT_EQ(provider->stops.load(), 1);
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
}

} // namespace
