// The channel worker: from a sensor signal to a delivery, and the life of the
// worker across Start, Stop and deletion.
#include "halvex/driver/ChannelConfig.h"
#include "halvex/driver/EventHandler.h"
#include "platform/com.h"
#include "tests/engine/EngineFakes.h"
#include "tests/support/MachineTest.h"

#include <cmath>
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
    void SetUp() override {
        MachineTest::SetUp();
        gate = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    }

    // Replaces the channel the test built before, if any.
    void Build(ULONG channelType, const Table& table, int providerCount) {
        Release();
        notifier = new FakeNotifier(journal);
        notifier->gate = gate;
        auto* interpreter = new Interpreter;
        for (const auto& [mask, index] : table) {
            interpreter->SetMapping(mask, index);
        }
        handler = std::make_unique<EventHandler>(notifier, interpreter, channelType);
        notifier->ResendDataEvent = handler->GetNotifierEvent();
        for (int i = 0; i < providerCount; ++i) {
            providers.push_back(new FakeProvider(handler->GetSensorEvent(), journal,
                                                 "provider " + std::to_string(i)));
            handler->AddSensor(providers.back());
        }
    }

    void Release() {
        SetEvent(gate);
        if (handler) {
            handler->Stop();
            handler.reset();
        }
        providers.clear();
    }

    // While the gate is closed the worker is held inside Notify.
    void CloseGate() { ResetEvent(gate); }
    void OpenGate() { SetEvent(gate); }

    void TearDown() override {
        Release();
        CloseHandle(gate);
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
    providers[0]->Report(false); // the other one has not reported yet: detected
    handler->BeginComputing();
    ASSERT_EQ(NotifyCountAfterSettling(), 1u);
    EXPECT_EQ(notifier->LastCall().stateMask, 1u);
    EXPECT_EQ(notifier->LastCall().backoffIndex, 7);

    // Only a reading strictly above zero counts; display off forces activity.
    providers[1]->SetValue(0.0f);
    struct Reading {
        float value;
        int forced;
        ULONG mask;
    };
    const Reading readings[] = {{0.0f, 0, 0},          {-1.0f, 0, 0}, {-0.0f, 0, 0},
                                {std::nanf(""), 0, 0}, {0.5f, 0, 1},  {-1.0f, 1, 1}};
    std::size_t calls = 1;
    for (const Reading& r : readings) {
        providers[0]->SetValue(r.value);
        providers[0]->mForcedActive = r.forced;
        providers[0]->Signal();
        ASSERT_EQ(NotifyCountAfterSettling(), ++calls) << r.value;
        EXPECT_EQ(notifier->LastCall().stateMask, r.mask) << r.value;
        EXPECT_EQ(notifier->LastCall().backoffIndex, r.mask == 1 ? 7 : 2) << r.value;
    }
    // Every pass asks every provider.
    EXPECT_EQ(providers[1]->isActiveCalls.load(), static_cast<int>(calls));
}

// Until every channel has started, what a start draws (a provider's start,
// the display state's first delivery, a found interface) is left to the one
// compute the word to begin gives, with the providers' latest states.
TEST_F(Channel, TheWorkerComputesOnlyWhenToldToBeginAndThenOnceForAllThatCameBefore) {
    Build(ChannelTypeWlan, {{0, 2}, {1, 7}}, 2);
    handler->BeginComputing(); // meant for a worker of before: it does not count
    ASSERT_TRUE(handler->Start());
    providers[0]->Report(false);
    providers[1]->Signal();
    SetEvent(handler->GetNotifierEvent());
    EXPECT_EQ(NotifyCountAfterSettling(), 0u);
    providers[1]->Report(false);
    handler->BeginComputing();
    ASSERT_EQ(NotifyCountAfterSettling(), 1u);
    EXPECT_EQ(notifier->LastCall().stateMask, 0u);
    providers[0]->Report(true);
    ASSERT_EQ(NotifyCountAfterSettling(), 2u);
    EXPECT_EQ(notifier->LastCall().backoffIndex, 7);

    // A stop before the word ends the worker without a compute.
    handler->Stop();
    ASSERT_TRUE(handler->Start());
    providers[0]->Report(false);
    handler->Stop();
    EXPECT_EQ(NotifyCountAfterSettling(), 2u);
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
}

TEST_F(Channel, AMaskMappedToMinusOneOrMissingFromTheTableSendsNothing) {
    Build(ChannelTypeWlan, {{0, -1}}, 1);
    ASSERT_TRUE(handler->Start());
    providers[0]->Report(false);
    handler->BeginComputing();
    EXPECT_EQ(NotifyCountAfterSettling(), 0u);
    EXPECT_TRUE(sim::TraceContains("No back-off index for state mask 0", TRACE_LEVEL_ERROR));
    providers[0]->Report(true);
    EXPECT_EQ(NotifyCountAfterSettling(), 0u);
    EXPECT_TRUE(sim::TraceContains("No back-off index for state mask 1", TRACE_LEVEL_ERROR));
}

TEST_F(Channel, StopWinsOverPendingWork) {
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 1);
    CloseGate();
    ASSERT_TRUE(handler->Start());
    providers[0]->Report(false);
    handler->BeginComputing();
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
    handler->BeginComputing();
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

TEST_F(Channel, StartRunsOneWorkerAndStartsEveryComponentOnce) {
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 2);
    sim::ArmFault("CreateThread", sim::FaultSpec::Once(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_FALSE(handler->Start());
    EXPECT_TRUE(sim::TraceContains("Failed to create EventHandlerThread! (last error 8)",
                                   TRACE_LEVEL_ERROR));
    EXPECT_EQ(providers[0]->starts.load(), 0);
    EXPECT_EQ(notifier->starts.load(), 0);

    handler->Stop();
    providers[0]->startResult = false; // traced, and the provider is still asked
    ASSERT_TRUE(handler->Start());
    EXPECT_TRUE(sim::TraceContains("Sensor provider failed to start", TRACE_LEVEL_ERROR));
    EXPECT_FALSE(handler->Start());
    EXPECT_TRUE(sim::TraceContains("already started", TRACE_LEVEL_ERROR));
    EXPECT_EQ(providers[1]->starts.load(), 1);
    EXPECT_EQ(notifier->starts.load(), 1);
    providers[0]->Report(false);
    handler->BeginComputing();
    EXPECT_EQ(NotifyCountAfterSettling(), 1u);
    EXPECT_EQ(sim::LiveThreadCount(), 1u);

    // Stop and start again, as after hibernation: a new worker runs.
    handler->Stop();
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
    ASSERT_TRUE(handler->Start());
    providers[1]->Report(true);
    handler->BeginComputing();
    EXPECT_EQ(NotifyCountAfterSettling(), 2u);
    EXPECT_EQ(notifier->starts.load(), 2);
}

TEST_F(Channel, AFailingNotifierGetsExactlyFiveResendsAndASuccessRestoresTheBudget) {
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 1);
    notifier->failuresLeft = 3;
    ASSERT_TRUE(handler->Start());
    providers[0]->Report(false);
    handler->BeginComputing();
    EXPECT_EQ(NotifyCountAfterSettling(), 4u);
    EXPECT_EQ(notifier->mRetryCount, DataNotifier::kRetryBudget);

    notifier->alwaysFail = true;
    providers[0]->Report(true);
    EXPECT_EQ(NotifyCountAfterSettling(), 10u);
    EXPECT_EQ(notifier->mRetryCount, DataNotifier::kRetryBudget);
    EXPECT_EQ(sim::TraceCount("Resend budget spent", TRACE_LEVEL_ERROR), 1u);

    // The next attempt waits for the next sensor change, with a whole budget.
    providers[0]->Report(false);
    EXPECT_EQ(NotifyCountAfterSettling(), 16u);
}

TEST_F(Channel, OnlyAModemWorkerJoinsTheMultithreadedApartmentAndRunsOnWithoutIt) {
    struct Case {
        ULONG type;
        bool joinFails;
        int comInitCount;
    };
    for (Case c : {Case{ChannelTypeModem, false, 1}, Case{ChannelTypeWlan, false, 0},
                   Case{ChannelTypeModem, true, 0}}) {
        Build(c.type, {{0, 1}, {1, 2}}, 1);
        if (c.joinFails) {
            sim::ArmFault("CoInitializeEx", sim::FaultSpec::Once(E_OUTOFMEMORY));
        }
        ASSERT_TRUE(handler->Start());
        providers[0]->Report(false);
        handler->BeginComputing();
        ASSERT_EQ(NotifyCountAfterSettling(), 1u);
        auto call = notifier->LastCall();
        EXPECT_EQ(call.comInitCount, c.comInitCount);
        EXPECT_EQ(call.inMta, c.comInitCount == 1);
        EXPECT_EQ(sim::ThreadInMta(call.threadId), c.comInitCount == 1);
        handler->Stop();
        EXPECT_FALSE(sim::ThreadInMta(call.threadId));
    }
    EXPECT_EQ(sim::FaultCalls("CoInitializeEx"), 2u); // never for the WLAN worker
    EXPECT_TRUE(
        sim::TraceContains("could not join the multithreaded apartment", TRACE_LEVEL_ERROR));
}

TEST_F(Channel, AWorkerStuckInNotifyIsGivenUpOnByStopButWaitedForByStartAndDeletion) {
    sim::SetTimeScale(0.001);
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 2);
    CloseGate();
    ASSERT_TRUE(handler->Start());
    handler->BeginComputing();
    ASSERT_EQ(NotifyCountAfterSettling(), 1u);

    std::uint64_t before = sim::NowMs();
    handler->Stop();
    EXPECT_GE(sim::NowMs() - before, EventHandler::kStopTimeoutMs);
    EXPECT_TRUE(sim::TraceContains("did not end in time", TRACE_LEVEL_ERROR));
    EXPECT_EQ(notifier->stops.load(), 1);
    EXPECT_EQ(providers[1]->stops.load(), 1);

    // The worker is still tracked: a new one is refused while it runs, and
    // started once the old one has seen its stop and ended.
    EXPECT_FALSE(handler->Start());
    EXPECT_TRUE(sim::TraceContains("still running", TRACE_LEVEL_ERROR));
    EXPECT_EQ(notifier->starts.load(), 1);
    OpenGate();
    // Machine time runs fast here: bound the waits in real time.
    ASSERT_TRUE(sim::WaitForThreadsToEnd());
    EXPECT_EQ(notifier->CallCount(), 1u);
    ASSERT_TRUE(handler->Start());
    CloseGate();
    handler->BeginComputing();
    ASSERT_EQ(NotifyCountAfterSettling(), 2u);

    // Deletion waits for the worker, even when a wait for it fails.
    sim::ArmFault("WaitForSingleObject", sim::FaultSpec::Once());
    HANDLE deleter = StartStandInThread([this] {
        handler.reset();
        return 0u;
    });
    ASSERT_NE(deleter, nullptr);
    ASSERT_TRUE(sim::Settle());
    EXPECT_TRUE(sim::TraceContains("Cannot wait for the channel worker", TRACE_LEVEL_ERROR));
    EXPECT_EQ(journal.LastIndexOf("delete notifier"), -1);
    OpenGate();
    ASSERT_TRUE(sim::WaitForThreadsToEnd());
    ASSERT_EQ(WaitForSingleObject(deleter, 0), WAIT_OBJECT_0);
    CloseHandle(deleter);
    // The providers went while the sensor-changed event was still open.
    auto entries = journal.Entries();
    EXPECT_EQ(std::vector<std::string>(entries.end() - 4, entries.end()),
              (std::vector<std::string>{"notify returns", "delete notifier", "delete provider 0",
                                        "delete provider 1"}));
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
    handler->BeginComputing();
    EXPECT_EQ(NotifyCountAfterSettling(), 1u);
    EXPECT_EQ(notifier->LastCall().stateMask, 0u);
}

TEST_F(Channel, AMissingStopEventEndsTheWorkerAtItsFirstWait) {
    sim::ArmFault("CreateEventW", sim::FaultSpec::Once());
    Build(ChannelTypeWlan, {{0, 1}, {1, 2}}, 1);
    EXPECT_TRUE(sim::TraceContains("Failed to create stop event", TRACE_LEVEL_ERROR));
    ASSERT_TRUE(handler->Start());
    ASSERT_TRUE(sim::WaitForThreadsToEnd());
    EXPECT_TRUE(sim::TraceContains("Worker wait failed", TRACE_LEVEL_ERROR));
    handler->Stop();
    EXPECT_EQ(providers[0]->stops.load(), 1);
    EXPECT_TRUE(handler->Start()); // the ended worker was reaped
}

TEST_F(Channel, WithoutANotifierStartFailsAfterStartingTheProviders) {
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
