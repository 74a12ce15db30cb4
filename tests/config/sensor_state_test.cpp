// APPS sensor states: the sensor-state map and the APPS provider's display
// handling. The road from a set-sensor-state IOCTL to the modem is the
// end-to-end scenarios' part.
#include "halvex/provider/AppsDataProvider.h"
#include "platform/win32.h"
#include "tests/config/ConfigFixture.h"

namespace configtest {
namespace {

bool Signalled(HANDLE event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// A display-state record; the state is the first DWORD of Data.
struct Display {
    POWERBROADCAST_SETTING record{};
    explicit Display(DWORD state, DWORD length = sizeof(DWORD)) {
        record.DataLength = length;
        auto* data = reinterpret_cast<UCHAR*>(&record) + offsetof(POWERBROADCAST_SETTING, Data);
        std::memcpy(data, &state, sizeof(state));
    }
};
static_assert(sizeof(POWERBROADCAST_SETTING) >= offsetof(POWERBROADCAST_SETTING, Data) + 4);

class SensorState : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        AddDevice();
        mEventA = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        mEventB = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    void TearDown() override {
        gSensorStateMap.clear();
        for (auto* provider : mProviders) {
            delete provider;
        }
        // No provider ever hands WDF a handle it does not have.
        EXPECT_FALSE(sim::TraceContains("WDF: ", TRACE_LEVEL_ERROR));
        CloseHandle(mEventA);
        CloseHandle(mEventB);
        ConfigTest::TearDown();
    }
    AppsDataProvider* Attach(ULONG id, HANDLE event) {
        auto* provider = new AppsDataProvider(id, event, Device());
        mProviders.push_back(provider);
        gSensorStateMap.insert({id, provider});
        return provider;
    }
    HANDLE mEventA = nullptr;
    HANDLE mEventB = nullptr;
    std::vector<AppsDataProvider*> mProviders;
};

TEST_F(SensorState, EveryProviderOfAnIdFollowsAndSignalsOnlyOnAChange) {
    EXPECT_FALSE(UpdateSensorState(7, 1));
    EXPECT_TRUE(sim::TraceContains("No APPS sensor is configured", TRACE_LEVEL_ERROR));
    AppsDataProvider* first = Attach(7, mEventA);
    AppsDataProvider* second = Attach(7, mEventB);
    AppsDataProvider* other = Attach(9, mEventA);
    EXPECT_FALSE(UpdateSensorState(8, 1));
    EXPECT_TRUE(sim::TraceContains("No APPS sensor with ID 8", TRACE_LEVEL_ERROR));

    // Still at the initial 1.0: "detected" changes nothing.
    EXPECT_TRUE(UpdateSensorState(7, 1));
    EXPECT_FALSE(Signalled(mEventA));
    EXPECT_FALSE(Signalled(mEventB));

    EXPECT_TRUE(UpdateSensorState(7, 0));
    EXPECT_TRUE(Signalled(mEventA));
    EXPECT_TRUE(Signalled(mEventB));
    EXPECT_FALSE(first->IsActive());
    EXPECT_FALSE(second->IsActive());
    EXPECT_TRUE(other->IsActive());

    EXPECT_TRUE(UpdateSensorState(7, -5)); // not above 0: not detected, no change
    EXPECT_FALSE(Signalled(mEventA));
    EXPECT_TRUE(UpdateSensorState(7, 3));
    EXPECT_TRUE(Signalled(mEventA));
    EXPECT_EQ(first->mValue.load(), 1.0f);
}

TEST_F(SensorState, MalformedDisplayRecordsAreIgnored) {
    AppsDataProvider* provider = Attach(7, mEventA);
    provider->OnPowerSettingChange(0, nullptr);
    Display truncated(0, 2);
    provider->OnPowerSettingChange(0, &truncated.record);
    EXPECT_FALSE(Signalled(mEventA));
    EXPECT_EQ(provider->mForcedActive.load(), 0);
    EXPECT_EQ(provider->mDisplayState.load(), 3);
    EXPECT_EQ(sim::TraceCount("without a display state ignored", TRACE_LEVEL_ERROR), 2u);
}

TEST_F(SensorState, WithoutADeviceContextOnlyTheDisplayStateIsKept) {
    // A provider of a device without DEVICE_CONTEXT: the module-wide device is now that one.
    WDFOBJECT bare = nullptr;
    ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &bare), STATUS_SUCCESS);
    AppsDataProvider provider(5, mEventA, static_cast<WDFDEVICE>(bare));
    Display off(0);
    provider.OnPowerSettingChange(0, &off.record);
    EXPECT_EQ(provider.mDisplayState.load(), 0);
    EXPECT_EQ(provider.mForcedActive.load(), 0);
    EXPECT_FALSE(Signalled(mEventA));
    EXPECT_TRUE(sim::TraceContains("Device Context is NULL", TRACE_LEVEL_ERROR));
    WdfObjectDelete(bare);
}

TEST_F(SensorState, AProviderWithoutAWaitLockSerialisesOnItsOwn) {
    sim::ArmFault("WdfWaitLockCreate", sim::FaultSpec::Once());
    AppsDataProvider* provider = Attach(7, mEventA);
    EXPECT_EQ(provider->mLock, nullptr);
    EXPECT_TRUE(sim::TraceContains("WdfWaitLockCreate fails for sensor 7", TRACE_LEVEL_ERROR));
    Display off(0);
    provider->OnPowerSettingChange(0, &off.record);
    EXPECT_TRUE(UpdateSensorState(7, 0));
    EXPECT_EQ(provider->mForcedActive.load(), 1);
    EXPECT_EQ(provider->mValue.load(), 0.0f);
}

} // namespace
} // namespace configtest
