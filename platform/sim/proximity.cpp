#include "platform/sim/proximity.h"

#include "platform/com.h"
#include "platform/sim/faults.h"
#include "platform/sim/work_queue.h"
#include "platform/winrt/activation.h"
#include "platform/winrt/proximity_sensor.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace sim::proximity {
namespace {

using winrt::com_ptr;
using winrt::event_token;
using winrt::hstring;
using winrt::make_platform_self;
using winrt::make_self;
using winrt::ref_counted;
using winrt::impl::event_source;
using winrt::Windows::Devices::Enumeration::DeviceWatcherStatus;
namespace eabi = winrt::Windows::Devices::Enumeration::abi;
namespace sabi = winrt::Windows::Devices::Sensors::abi;

// What the platform's selector says in its own query language; the
// simulated watchers report every device whatever their selector.
constexpr char16_t kSelector[] =
    u"System.Devices.InterfaceClass:=\"ProximitySensor\" AND "
    u"System.Devices.InterfaceEnabled:=System.StructuredQueryType.Boolean#True";
constexpr char kSubscribe[] = "Proximity.Subscribe";
constexpr std::size_t kReadingThreads = 3;

struct Device {
    const std::u16string id;
    const bool proximity;
    const std::size_t thread; // which reading thread delivers its readings
    bool present = true;      // under the world lock
    event_source<sabi::IReadingChangedHandler> readings;

    Device(std::u16string deviceId, bool isProximity, std::size_t readingThread)
        : id(std::move(deviceId)), proximity(isProximity), thread(readingThread) {}
};

class Watcher;

struct World {
    std::mutex lock;
    // Every device added since Reset, present or gone: a sensor object of a
    // device that went keeps its subscriptions, and they still count.
    std::vector<std::shared_ptr<Device>> devices;
    std::vector<Watcher*> watchers; // alive, oldest first
    std::size_t nextThread = 0;
    std::array<bool, 3> holding{};
    std::array<std::size_t, 3> held{};
    std::condition_variable released;
};

World& TheWorld() {
    static World* world = new World; // deliveries may still run at exit
    return *world;
}

WorkQueue& WatcherThread() {
    static WorkQueue* queue = new WorkQueue("proximity watcher");
    return *queue;
}

WorkQueue& ReadingThread(std::size_t index) {
    static auto* queues = [] {
        auto* made = new std::deque<WorkQueue>;
        for (std::size_t i = 0; i < kReadingThreads; ++i) {
            made->emplace_back("proximity readings");
        }
        return made;
    }();
    return (*queues)[index % kReadingThreads];
}

// Handlers run in the multithreaded apartment, as on the platform's pool.
// What the delivery holds (a watcher's last reference, say) goes right after
// it, before the queue takes its own lock again.
void Deliver(WorkQueue& queue, std::function<void()> raise) {
    queue.Post([raise = std::move(raise)]() mutable {
        HRESULT apartment = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        raise();
        raise = nullptr;
        if (SUCCEEDED(apartment)) {
            CoUninitialize();
        }
    });
}

std::shared_ptr<Device> FindPresentLocked(World& world, std::u16string_view id) {
    for (const auto& device : world.devices) {
        if (device->present && device->id == id) {
            return device;
        }
    }
    return nullptr;
}

void WaitIfHeld(HoldPoint point) {
    auto& world = TheWorld();
    const auto at = static_cast<std::size_t>(point);
    std::unique_lock lock(world.lock);
    if (world.holding[at]) {
        ++world.held[at];
        world.released.wait(lock, [&] { return !world.holding[at]; });
        --world.held[at];
    }
}

template <typename Handler>
HRESULT Subscribe(event_source<Handler>& source, Handler* handler, event_token* token) {
    *token = {};
    if (auto code = CheckFault(kSubscribe)) {
        return FaultCodeOr<HRESULT>(*code, E_FAIL);
    }
    if (handler == nullptr) {
        return E_INVALIDARG;
    }
    *token = source.add(handler);
    return S_OK;
}

template <typename Abi> class IdObject final : public Abi {
public:
    explicit IdObject(std::u16string id) : mId(std::move(id)) {}
    HRESULT get_Id(hstring* value) override {
        *value = hstring(mId);
        return S_OK;
    }

private:
    const std::u16string mId;
};

class Watcher final : public eabi::IDeviceWatcher {
public:
    enum class Event { Added, Updated, Removed };

    Watcher() {
        std::lock_guard guard(TheWorld().lock);
        TheWorld().watchers.push_back(this);
    }
    ~Watcher() override {
        auto& world = TheWorld();
        std::lock_guard guard(world.lock);
        world.watchers.erase(std::find(world.watchers.begin(), world.watchers.end(), this));
    }

    HRESULT add_Added(eabi::IInformationHandler* handler, event_token* token) override {
        return Subscribe(mAdded, handler, token);
    }
    HRESULT remove_Added(event_token token) override { return Unsubscribe(mAdded, token); }
    HRESULT add_Updated(eabi::IUpdateHandler* handler, event_token* token) override {
        return Subscribe(mUpdated, handler, token);
    }
    HRESULT remove_Updated(event_token token) override { return Unsubscribe(mUpdated, token); }
    HRESULT add_Removed(eabi::IUpdateHandler* handler, event_token* token) override {
        return Subscribe(mRemoved, handler, token);
    }
    HRESULT remove_Removed(event_token token) override { return Unsubscribe(mRemoved, token); }
    HRESULT add_EnumerationCompleted(eabi::IObjectHandler* handler, event_token* token) override {
        return Subscribe(mEnumerationCompleted, handler, token);
    }
    HRESULT remove_EnumerationCompleted(event_token token) override {
        return Unsubscribe(mEnumerationCompleted, token);
    }
    HRESULT add_Stopped(eabi::IObjectHandler* handler, event_token* token) override {
        return Subscribe(mStopped, handler, token);
    }
    HRESULT remove_Stopped(event_token token) override { return Unsubscribe(mStopped, token); }

    HRESULT get_Status(DeviceWatcherStatus* status) override {
        std::lock_guard guard(TheWorld().lock);
        *status = mStatus;
        return S_OK;
    }

    HRESULT Start() override {
        if (auto code = CheckFault("DeviceWatcher.Start")) {
            return FaultCodeOr<HRESULT>(*code, E_FAIL);
        }
        auto& world = TheWorld();
        std::lock_guard guard(world.lock);
        if (mStatus != DeviceWatcherStatus::Created && mStatus != DeviceWatcherStatus::Stopped &&
            mStatus != DeviceWatcherStatus::Aborted) {
            return E_ILLEGAL_METHOD_CALL;
        }
        mStatus = DeviceWatcherStatus::Started;
        for (const auto& device : world.devices) {
            if (device->present) {
                PostLocked(Self(), Event::Added, device->id);
            }
        }
        ++mOwed;
        Deliver(WatcherThread(), [self = Self()] {
            bool completed = false;
            {
                std::lock_guard guard(TheWorld().lock);
                completed = self->mStatus == DeviceWatcherStatus::Started;
                if (completed) {
                    self->mStatus = DeviceWatcherStatus::EnumerationCompleted;
                }
            }
            if (completed) {
                self->Raise(self->mEnumerationCompleted, com_ptr<ref_counted>());
            }
            // Owed until its handlers have returned, as every other event: a
            // watcher is not Stopped while one of them still runs.
            std::lock_guard guard(TheWorld().lock);
            --self->mOwed;
        });
        return S_OK;
    }

    // Stopped at once when the handlers are owed nothing; otherwise Stopping
    // until what they are owed has been delivered. Stopped is raised either way.
    HRESULT Stop() override {
        if (auto code = CheckFault("DeviceWatcher.Stop")) {
            return FaultCodeOr<HRESULT>(*code, E_FAIL);
        }
        std::lock_guard guard(TheWorld().lock);
        if (!ReportingLocked()) {
            return E_ILLEGAL_METHOD_CALL;
        }
        mStatus = mOwed == 0 ? DeviceWatcherStatus::Stopped : DeviceWatcherStatus::Stopping;
        Deliver(WatcherThread(), [self = Self()] {
            {
                std::lock_guard guard(TheWorld().lock);
                if (self->mStatus == DeviceWatcherStatus::Stopping) {
                    self->mStatus = DeviceWatcherStatus::Stopped;
                }
            }
            self->Raise(self->mStopped, com_ptr<ref_counted>());
        });
        return S_OK;
    }

    bool ReportingLocked() const {
        return mStatus == DeviceWatcherStatus::Started ||
               mStatus == DeviceWatcherStatus::EnumerationCompleted;
    }
    DeviceWatcherStatus StatusLocked() const { return mStatus; }
    std::size_t Subscriptions() const {
        return mAdded.size() + mUpdated.size() + mRemoved.size() + mEnumerationCompleted.size() +
               mStopped.size();
    }

    // Queues one event for the handlers; `self` keeps the watcher until then.
    static void PostLocked(com_ptr<Watcher> self, Event event, const std::u16string& id) {
        ++self->mOwed;
        Deliver(WatcherThread(), [self = std::move(self), event, id] {
            if (event == Event::Added) {
                self->Raise(self->mAdded,
                            make_platform_self<IdObject<eabi::IDeviceInformation>>(id));
            } else {
                self->Raise(event == Event::Updated ? self->mUpdated : self->mRemoved,
                            make_platform_self<IdObject<eabi::IDeviceInformationUpdate>>(id));
            }
            std::lock_guard guard(TheWorld().lock);
            --self->mOwed;
        });
    }

private:
    template <typename Handler>
    static HRESULT Unsubscribe(event_source<Handler>& source, event_token token) {
        source.remove(token);
        return S_OK;
    }

    com_ptr<Watcher> Self() {
        com_ptr<Watcher> self;
        self.copy_from(this);
        return self;
    }

    template <typename Handler, typename Args>
    void Raise(const event_source<Handler>& source, const com_ptr<Args>& args) {
        for (const auto& handler : source.snapshot()) {
            (void)handler->Invoke(this, args.get());
        }
    }

    // Both under the world lock; mOwed counts the events queued for the
    // handlers and not yet delivered.
    DeviceWatcherStatus mStatus = DeviceWatcherStatus::Created;
    unsigned mOwed = 0;
    event_source<eabi::IInformationHandler> mAdded;
    event_source<eabi::IUpdateHandler> mUpdated;
    event_source<eabi::IUpdateHandler> mRemoved;
    event_source<eabi::IObjectHandler> mEnumerationCompleted;
    event_source<eabi::IObjectHandler> mStopped;
};

class Reading final : public sabi::IProximitySensorReading {
public:
    explicit Reading(bool detected) : mDetected(detected) {}
    HRESULT get_IsDetected(bool* value) override {
        WaitIfHeld(HoldPoint::IsDetected);
        *value = mDetected;
        return S_OK;
    }

private:
    const bool mDetected;
};

class ReadingArgs final : public sabi::IProximitySensorReadingChangedEventArgs {
public:
    explicit ReadingArgs(bool detected) : mReading(make_platform_self<Reading>(detected)) {}
    HRESULT get_Reading(com_ptr<sabi::IProximitySensorReading>* value) override {
        *value = mReading;
        return S_OK;
    }

private:
    const com_ptr<sabi::IProximitySensorReading> mReading;
};

// Every sensor object of one device shares the device's ReadingChanged
// subscriptions.
class Sensor final : public sabi::IProximitySensor {
public:
    explicit Sensor(std::shared_ptr<Device> device) : mDevice(std::move(device)) {}
    HRESULT get_DeviceId(hstring* value) override {
        *value = hstring(mDevice->id);
        return S_OK;
    }
    HRESULT add_ReadingChanged(sabi::IReadingChangedHandler* handler, event_token* token) override {
        WaitIfHeld(HoldPoint::Subscribe);
        return Subscribe(mDevice->readings, handler, token);
    }
    HRESULT remove_ReadingChanged(event_token token) override {
        mDevice->readings.remove(token);
        return S_OK;
    }

private:
    const std::shared_ptr<Device> mDevice;
};

class SensorStatics final : public sabi::IProximitySensorStatics {
public:
    // The fault code 1 gives an empty selector.
    HRESULT GetDeviceSelector(hstring* selector) override {
        *selector = hstring();
        if (auto code = CheckFault("ProximitySensor.GetDeviceSelector")) {
            return *code == 1 ? S_OK : FaultCodeOr<HRESULT>(*code, E_FAIL);
        }
        *selector = hstring(kSelector);
        return S_OK;
    }
    HRESULT FromId(const hstring& deviceId, com_ptr<sabi::IProximitySensor>* sensor) override {
        *sensor = nullptr;
        std::lock_guard guard(TheWorld().lock);
        auto device = FindPresentLocked(TheWorld(), deviceId.str());
        if (device && device->proximity) {
            *sensor = make_self<Sensor>(std::move(device));
        }
        return S_OK;
    }
};

class InformationStatics final : public eabi::IDeviceInformationStatics {
public:
    // The fault code 1 gives an empty watcher.
    HRESULT CreateWatcher(const hstring&, com_ptr<eabi::IDeviceWatcher>* watcher) override {
        *watcher = nullptr;
        if (auto code = CheckFault("DeviceInformation.CreateWatcher")) {
            return *code == 1 ? S_OK : FaultCodeOr<HRESULT>(*code, E_FAIL);
        }
        *watcher = make_self<Watcher>();
        return S_OK;
    }
};

const bool gRegistered = [] {
    winrt::RegisterActivationFactory(winrt::Windows::Devices::Sensors::kProximitySensorClass, [] {
        return com_ptr<ref_counted>(make_self<SensorStatics>());
    });
    winrt::RegisterActivationFactory(
        winrt::Windows::Devices::Enumeration::kDeviceInformationClass,
        [] { return com_ptr<ref_counted>(make_self<InformationStatics>()); });
    return true;
}();

// Tells every watcher that reports now; one whose last reference is already
// gone is skipped.
void TellWatchersLocked(World& world, Watcher::Event event, const std::u16string& id) {
    for (Watcher* watcher : world.watchers) {
        if (watcher->ReportingLocked() && watcher->TryAddRef()) {
            com_ptr<Watcher> self;
            self.attach(watcher);
            Watcher::PostLocked(std::move(self), event, id);
        }
    }
}

bool Add(std::u16string_view deviceId, bool isProximity) {
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    if (FindPresentLocked(world, deviceId)) {
        return false;
    }
    auto device =
        std::make_shared<Device>(std::u16string(deviceId), isProximity, world.nextThread++);
    world.devices.push_back(device);
    TellWatchersLocked(world, Watcher::Event::Added, device->id);
    return true;
}

} // namespace

void Reset() {
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    world.devices.clear();
    world.holding = {};
    world.released.notify_all();
}

bool AddSensor(std::u16string_view deviceId) {
    return Add(deviceId, true);
}

bool AddOther(std::u16string_view deviceId) {
    return Add(deviceId, false);
}

bool Update(std::u16string_view deviceId) {
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    auto device = FindPresentLocked(world, deviceId);
    if (!device) {
        return false;
    }
    TellWatchersLocked(world, Watcher::Event::Updated, device->id);
    return true;
}

bool Remove(std::u16string_view deviceId) {
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    auto device = FindPresentLocked(world, deviceId);
    if (!device) {
        return false;
    }
    device->present = false;
    TellWatchersLocked(world, Watcher::Event::Removed, device->id);
    return true;
}

bool Reading(std::u16string_view deviceId, bool detected) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard guard(TheWorld().lock);
        device = FindPresentLocked(TheWorld(), deviceId);
    }
    if (!device || !device->proximity) {
        return false;
    }
    Deliver(ReadingThread(device->thread), [device, detected] {
        auto sender = make_platform_self<Sensor>(device);
        auto args = make_platform_self<ReadingArgs>(detected);
        auto handlers = device->readings.snapshot();
        WaitIfHeld(HoldPoint::Delivery);
        for (const auto& handler : handlers) {
            (void)handler->Invoke(sender.get(), args.get());
        }
    });
    return true;
}

void Hold(HoldPoint point) {
    std::lock_guard guard(TheWorld().lock);
    TheWorld().holding[static_cast<std::size_t>(point)] = true;
}

void Release(HoldPoint point) {
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    world.holding[static_cast<std::size_t>(point)] = false;
    world.released.notify_all();
}

std::size_t Held(HoldPoint point) {
    std::lock_guard guard(TheWorld().lock);
    return TheWorld().held[static_cast<std::size_t>(point)];
}

std::optional<DeviceWatcherStatus> WatcherStatus() {
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    if (world.watchers.empty()) {
        return std::nullopt;
    }
    return world.watchers.back()->StatusLocked();
}

std::size_t WatcherSubscriptions() {
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    std::size_t count = 0;
    for (const Watcher* watcher : world.watchers) {
        count += watcher->Subscriptions();
    }
    return count;
}

std::size_t ReadingSubscriptions(std::u16string_view deviceId) {
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    std::size_t count = 0;
    for (const auto& device : world.devices) {
        count += device->id == deviceId ? device->readings.size() : 0;
    }
    return count;
}

std::optional<NamedFault> FaultFromName(std::string_view name) {
    if (name == "selector") {
        return NamedFault{"ProximitySensor.GetDeviceSelector", 1};
    }
    if (name == "create") {
        return NamedFault{"DeviceInformation.CreateWatcher", 1};
    }
    if (name == "start") {
        return NamedFault{"DeviceWatcher.Start", 0};
    }
    if (name == "stop") {
        return NamedFault{"DeviceWatcher.Stop", 0};
    }
    if (name == "subscribe") {
        return NamedFault{kSubscribe, 0};
    }
    return std::nullopt;
}

} // namespace sim::proximity
