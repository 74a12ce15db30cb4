// What the SLPI provider sends the hub and what it makes of the hub's
// indications.
#include "tests/slpi/slpi_fixture.h"

namespace slpi_test {
namespace {

using sim::hub::Event;
using sim::hub::kDefaultSarSuid;
using sim::hub::kLookupSuid;

using SlpiExchange = SlpiTest;

TEST_F(SlpiExchange, TheLookupThenTheAttributeRequestThenTheOnChangeConfigurationAreSent) {
    AddDevice();

    auto requests = sim::hub::Requests();
    ASSERT_EQ(requests.size(), 3u);
    struct Expected {
        Kind kind;
        Suid suid;
        std::uint32_t msgId;
        bool hasPayload;
    } expected[] = {{Kind::Lookup, kLookupSuid, 512, true},
                    {Kind::Attribute, kDefaultSarSuid, 1, true},
                    {Kind::OnChange, kDefaultSarSuid, 514, false}};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(requests[i].parsed);
        EXPECT_EQ(requests[i].kind, expected[i].kind);
        EXPECT_EQ(requests[i].suid, expected[i].suid);
        EXPECT_EQ(requests[i].msgId, expected[i].msgId);
        EXPECT_EQ(requests[i].clientProcType, 1u);
        EXPECT_EQ(requests[i].deliveryType, 0u);
        EXPECT_FALSE(requests[i].hasBatching);
        EXPECT_EQ(requests[i].hasPayload, expected[i].hasPayload);
    }
    EXPECT_EQ(requests[0].dataType, "SAR");
    EXPECT_TRUE(requests[0].registerUpdates);
    EXPECT_FALSE(requests[0].hasDefaultOnly);
    EXPECT_TRUE(requests[1].hasRegisterUpdates);
    EXPECT_FALSE(requests[1].registerUpdates);
}

TEST_F(SlpiExchange, TheConfiguredSuidOrElseTheLastListedIsTakenAndSignalledOnce) {
    struct Row {
        Suid configured;
        std::vector<Suid> listed;
        std::vector<Suid> attributeTargets;
    } rows[] = {
        {{}, {kOther, kDefaultSarSuid}, {kDefaultSarSuid}},
        {kOther, {kDefaultSarSuid, kOther}, {kOther}},
        {kOther, {kDefaultSarSuid}, {}},
        // Only 0 in both halves takes any sensor.
        {{0, kOther.high}, {{0, kOther.high}, kDefaultSarSuid}, {{0, kOther.high}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.listed.size());
        Fresh();
        sim::hub::SetSuids("SAR", row.listed);
        AddDevice(row.configured);
        EXPECT_EQ(AttributeTargets(), row.attributeTargets);
        EXPECT_EQ(sim::hub::RequestCount(Kind::OnChange), row.attributeTargets.size());
    }
}

TEST_F(SlpiExchange, ReportsCountOnlyFromTheSensorInUseUnlessAnySensorIsTaken) {
    struct Row {
        Suid configured;
        Suid from;
        float value;
    } rows[] = {
        {kDefaultSarSuid, kOther, 1.0f},
        {kDefaultSarSuid, {kDefaultSarSuid.low, kOther.high}, 1.0f},
        {kDefaultSarSuid, kDefaultSarSuid, 0.0f},
        {{}, kOther, 0.0f},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        Fresh();
        AddDevice(row.configured);
        sim::hub::Report(0.0f, row.from);
        EXPECT_EQ(ValueAfter(Provider()), row.value);
    }
}

TEST_F(SlpiExchange, AValueSignalsTheChannelOnlyWhenItChanges) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    {
        SlpiDataProvider provider(9, event, 0, 0, nullptr);
        struct {
            float value;
            bool signals;
        } steps[] = {{1.0f, false}, {0.0f, true}, {0.0f, false}, {0.5f, true}};
        for (const auto& step : steps) {
            provider.SetValue(step.value);
            EXPECT_EQ(WaitForSingleObject(event, 0) == WAIT_OBJECT_0, step.signals) << step.value;
        }
    }
    CloseHandle(event);
}

TEST_F(SlpiExchange, EventsOfOneIndicationAreReadInOrderAndAnEmptySuidEventEndsThem) {
    AddDevice();
    const auto report = Event{sim::hub::kSensorEvent, sim::hub::SensorEventPayload({0.0f})};
    struct Row {
        Suid from;
        Event first;
        float value;
        const char* trace;
    } rows[] = {
        {kLookupSuid,
         {768, sim::hub::SuidEventPayload("SAR", {})},
         1.0f,
         "SUID event without SUIDs"},
        // The SAR sensor's own 768, its physical configuration.
        {kDefaultSarSuid, {768, {}}, 0.0f, "Event 768 not handled"},
        {kDefaultSarSuid,
         {130, sim::hub::ErrorEventPayload(1)},
         0.0f,
         "Error event from the hub: 1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.trace);
        sim::hub::Report(1.0f);
        ASSERT_EQ(ValueAfter(Provider()), 1.0f);
        sim::hub::SendEvents(row.from, {row.first, report});
        EXPECT_EQ(ValueAfter(Provider()), row.value);
        EXPECT_TRUE(sim::TraceContains(row.trace));
    }
}

TEST_F(SlpiExchange, IndicationsAndCallbacksThatCannotBeReadChangeNothing) {
    AddDevice();
    const auto zero = sim::hub::EventMessage(
        kDefaultSarSuid, {{sim::hub::kSensorEvent, sim::hub::SensorEventPayload({0.0f})}});
    struct Row {
        std::uint16_t msgId;
        std::vector<std::uint8_t> body;
        const char* trace;
    } rows[] = {
        {0x22, sim::hub::IndicationBody(zero), "Indication 0x22 ignored"},
        {0x21, {0x02, 0x02, 0x00, 0x00, 0x00}, "hmx_idl_message_decode() failed. hmx_err = -46"},
        {0x21, sim::hub::IndicationBody({0x0A, 0xFF, 0x01}), nullptr},
        // A sensor event without values.
        {0x21,
         sim::hub::IndicationBody(sim::hub::EventMessage(
             kDefaultSarSuid, {{sim::hub::kSensorEvent, sim::hub::SensorEventPayload({})}})),
         nullptr},
    };
    for (const Row& row : rows) {
        sim::hub::SendRaw(row.body, row.msgId);
        EXPECT_EQ(ValueAfter(Provider()), 1.0f);
        EXPECT_TRUE(row.trace == nullptr || sim::TraceContains(row.trace)) << row.trace;
    }
    std::uint8_t byte = 0;
    SlpiDataProvider::IndicationCallback(1, 0x21, &byte, 1, nullptr);
    SlpiDataProvider::IndicationCallback(1, 0x21, nullptr, 0, Provider());
    SlpiDataProvider::ServiceErrorCallback(1, -2, nullptr);
    EXPECT_EQ(SlpiDataProvider::ReinitThreadProc(nullptr), 0u);
    for (const char* text : {"Received NULL obj", "Received NULL message",
                             "Service error without a provider", "Reinit context is null"}) {
        EXPECT_TRUE(sim::TraceContains(text, TRACE_LEVEL_ERROR)) << text;
    }
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::hub::RequestCount(Kind::Lookup), 1u);
}

// Lookup answers keep arriving while the worker sends to the SUID found: it
// reads one whole SUID, never half of each (ThreadSanitizer watches the pair).
TEST_F(SlpiExchange, TheSuidInUseIsReadWhole) {
    // Recording traces would order the two threads through the recorder's lock.
    sim::SetTraceLevel(TRACE_LEVEL_ERROR);
    AddDevice();
    Provider()->ReleaseClient();
    ASSERT_TRUE(Provider()->initSensorChannel());
    for (int i = 0; i < 20; ++i) {
        Suid suid = i % 2 ? kOther : kDefaultSarSuid;
        sim::hub::SendEvents(kLookupSuid, {{768, sim::hub::SuidEventPayload("SAR", {suid})}});
    }
    ASSERT_TRUE(sim::Settle());
    for (const Suid& target : AttributeTargets()) {
        EXPECT_TRUE(target == kOther || target == kDefaultSarSuid);
    }
}

} // namespace
} // namespace slpi_test
