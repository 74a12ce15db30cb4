// APPS sensor states: the sensor-state map, the APPS provider's display
// handling, and the road from a set-sensor-state IOCTL to the channel.
#include "halvex/driver/EventHandler.h"
#include "halvex/driver/Ioctl.h"
#include "halvex/provider/AppsDataProvider.h"
#include "platform/sim/quiescence.h"
#include "platform/win32.h"
#include "tests/config/ConfigFixture.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace configtest {
namespace {

bool Signalled(HANDLE event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

std::vector<std::uint8_t> StateInput(ULONG id, ULONG state) {
    std::vector<std::uint8_t> input(8);
    std::memcpy(input.data(), &id, 4);
    std::memcpy(input.data() + 4, &state, 4);
    return input;
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

TEST_F(SensorState, UnknownIdsAndAnEmptyMapAreRefused) {
    EXPECT_FALSE(UpdateSensorState(7, 1));
    EXPECT_TRUE(sim::TraceContains("No APPS sensor is configured", TRACE_LEVEL_ERROR));
    Attach(7, mEventA);
    EXPECT_FALSE(UpdateSensorState(8, 1));
    EXPECT_TRUE(sim::TraceContains("No APPS sensor with ID 8", TRACE_LEVEL_ERROR));
    EXPECT_FALSE(Signalled(mEventA));
}

TEST_F(SensorState, EveryProviderOfAnIdFollowsAndSignalsOnlyOnAChange) {
    AppsDataProvider* first = Attach(7, mEventA);
    AppsDataProvider* second = Attach(7, mEventB);
    AppsDataProvider* other = Attach(9, mEventA);

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

TEST_F(SensorState, DisplayOffForcesTheSensorActive) {
    AppsDataProvider* provider = Attach(7, mEventA);
    UpdateSensorState(7, 0);
    ASSERT_TRUE(Signalled(mEventA));

    Display off(0), on(1), dimmed(2);
    provider->OnPowerSettingChange(0, &off.record);
    EXPECT_TRUE(Signalled(mEventA));
    EXPECT_TRUE(provider->IsActive());
    EXPECT_EQ(provider->mDisplayState.load(), 0);

    // A state set while the display is off is kept, the channel stays active.
    UpdateSensorState(7, 1);
    UpdateSensorState(7, 0);
    EXPECT_TRUE(provider->IsActive());
    ResetEvent(mEventA);

    provider->OnPowerSettingChange(0, &dimmed.record);
    EXPECT_FALSE(Signalled(mEventA));
    EXPECT_EQ(provider->mDisplayState.load(), 2);
    EXPECT_TRUE(provider->IsActive());

    provider->OnPowerSettingChange(0, &on.record);
    EXPECT_TRUE(Signalled(mEventA));
    EXPECT_FALSE(provider->IsActive());
    EXPECT_TRUE(provider->Start());
    EXPECT_TRUE(provider->Stop());
    EXPECT_TRUE(provider->Stop());
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

    // Updates and display changes from several threads at once.
    std::thread updates([&] {
        for (int i = 0; i < 200; ++i) {
            UpdateSensorState(7, i % 2);
        }
    });
    Display off(0), on(1);
    for (int i = 0; i < 200; ++i) {
        provider->OnPowerSettingChange(0, i % 2 ? &on.record : &off.record);
    }
    updates.join();
    EXPECT_EQ(provider->mForcedActive.load(), 0);
    EXPECT_EQ(provider->mValue.load(), 1.0f);
}

// A notifier that records what the channel's worker asks it to send.
class RecordingNotifier : public DataNotifier {
public:
    bool Start() override { return true; }
    bool Stop() override { return true; }
    bool Notify(ULONG stateMask, LONG* backoffIndex) override {
        std::lock_guard guard(mLock);
        mSent.emplace_back(stateMask, *backoffIndex);
        mChanged.notify_all();
        return true;
    }
    bool WaitFor(size_t count) {
        std::unique_lock guard(mLock);
        return mChanged.wait_for(guard, std::chrono::seconds(10),
                                 [&] { return mSent.size() >= count; });
    }
    std::vector<std::pair<ULONG, LONG>> Sent() {
        std::lock_guard guard(mLock);
        return mSent;
    }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    std::vector<std::pair<ULONG, LONG>> mSent;
};

TEST_F(SensorState, ASetStateIoctlMakesTheChannelRecompute) {
    auto* notifier = new RecordingNotifier();
    auto* interpreter = new Interpreter();
    interpreter->SetMapping(0, 0);
    interpreter->SetMapping(1, 3);
    auto* channel = new EventHandler(notifier, interpreter, ChannelTypeWlan);
    auto* provider = new AppsDataProvider(7, channel->GetSensorEvent(), Device());
    channel->AddSensor(provider);
    gSensorStateMap.insert({7, provider});
    ASSERT_TRUE(channel->Start());
    ASSERT_TRUE(sim::Settle());
    const size_t before = notifier->Sent().size();

    sim::HostFile file = mHost->OpenFile();
    // Detected while the provider still reads its initial 1.0: nothing to recompute.
    sim::IoResult result =
        mHost->DeviceIoControl(file, IOCTL_HALVEX_SET_SENSOR_STATE, StateInput(7, 1), 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytes, 0u);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(notifier->Sent().size(), before);

    result = mHost->DeviceIoControl(file, IOCTL_HALVEX_SET_SENSOR_STATE, StateInput(7, 0), 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_TRUE(notifier->WaitFor(before + 1));
    EXPECT_EQ(notifier->Sent().back(), (std::pair<ULONG, LONG>{0, 0}));

    result = mHost->DeviceIoControl(file, IOCTL_HALVEX_SET_SENSOR_STATE, StateInput(7, 1), 0);
    ASSERT_TRUE(notifier->WaitFor(before + 2));
    EXPECT_EQ(notifier->Sent().back(), (std::pair<ULONG, LONG>{1, 3}));

    // Refused: a state above 1, an unknown ID; longer input is accepted.
    for (auto [id, state] : {std::pair<ULONG, ULONG>{7, 2}, {7, 0xFFFFFFFF}, {8, 0}}) {
        result =
            mHost->DeviceIoControl(file, IOCTL_HALVEX_SET_SENSOR_STATE, StateInput(id, state), 0);
        EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(result.bytes, 0u);
    }
    auto longer = StateInput(7, 0);
    longer.resize(12, 0xEE);
    result = mHost->DeviceIoControl(file, IOCTL_HALVEX_SET_SENSOR_STATE, longer, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_TRUE(notifier->WaitFor(before + 3));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(notifier->Sent().size(), before + 3);

    mHost->CloseFile(file);
    channel->Stop();
    gSensorStateMap.clear();
    delete channel;
}

} // namespace
} // namespace configtest
