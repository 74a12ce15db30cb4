#include "platform/sim/modem.h"

#include "platform/sim/faults.h"
#include "platform/sim/work_queue.h"
#include "platform/winrt/activation.h"
#include "platform/winrt/async_impl.h"
#include "platform/winrt/mobile_broadband.h"

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <new>

namespace sim::modem {
namespace {

using winrt::com_ptr;
using winrt::make_self;
using winrt::ref_counted;
using winrt::Windows::Foundation::AsyncStatus;
using winrt::Windows::Foundation::Collections::IIterable;
using winrt::Windows::Foundation::Collections::impl::vector_view;
using winrt::Windows::Networking::NetworkOperators::MobileBroadbandAntennaSar;
using winrt::Windows::Networking::NetworkOperators::MobileBroadbandModemConfiguration;
namespace fabi = winrt::Windows::Foundation::abi;
namespace fimpl = winrt::Windows::Foundation::impl;
namespace nabi = winrt::Windows::Networking::NetworkOperators::abi;
namespace cabi = winrt::Windows::Foundation::Collections::abi;

constexpr double kLateDefaultMs = 20000;

// One installed modem. A SAR manager obtained from it keeps talking to it even
// after the machine has moved on to another modem, as a stale object would.
struct ModemState {
    std::vector<Antenna> antennas;
    bool enabled = false;
};

struct World {
    std::mutex lock;
    std::shared_ptr<ModemState> modem;
    bool configurationMissing = false;
    bool sarManagerMissing = false;
    std::array<std::optional<Behaviour>, 3> next;
    std::array<std::optional<Behaviour>, 3> always;
    std::array<unsigned, 3> calls{};
    std::array<unsigned, 3> outstanding{};
    // Bumped when the records start again, so that operations of an earlier
    // modem that finish later do not count against the new one.
    unsigned generation = 0;
    std::array<std::vector<std::function<void()>>, 3> held;
    std::vector<std::vector<Antenna>> payloads;
};

World& TheWorld() {
    static World* world = new World; // completions may still run at exit
    return *world;
}

// One field of the world, read under its lock.
template <typename T> T ReadWorld(T World::*field) {
    std::lock_guard guard(TheWorld().lock);
    return TheWorld().*field;
}

WorkQueue& Queue() {
    static WorkQueue* queue = new WorkQueue("modem");
    return *queue;
}

std::size_t Slot(Step step) {
    return static_cast<std::size_t>(step);
}

Behaviour TakeBehaviour(Step step) {
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    ++world.calls[Slot(step)];
    if (auto next = std::exchange(world.next[Slot(step)], std::nullopt)) {
        return *next;
    }
    return world.always[Slot(step)].value_or(Behaviour{});
}

// Starts an asynchronous object whose success runs `succeed` (on the modem
// thread, only if the object is still running) to apply the effect and give
// the result.
template <typename Op, typename Result>
HRESULT StartOperation(Step step, std::function<Result()> succeed, com_ptr<Op>* out) {
    Behaviour behaviour = TakeBehaviour(step);
    if (behaviour.outcome == Outcome::FailSync) {
        return behaviour.code != 0 ? behaviour.code : HRESULT_ERROR_NOT_SUPPORTED;
    }
    auto op = make_self<Op>();
    unsigned generation;
    {
        auto& world = TheWorld();
        std::lock_guard guard(world.lock);
        ++world.outstanding[Slot(step)];
        generation = world.generation;
    }
    // The work items own the object; the cancel hook lives in the object and
    // so only names it, taking a reference when it posts.
    auto finish = [step, generation](const com_ptr<Op>& self, AsyncStatus status, HRESULT error,
                                     Result result) {
        if (self->Finish(status, error, std::move(result))) {
            auto& world = TheWorld();
            std::lock_guard guard(world.lock);
            if (world.generation == generation) {
                --world.outstanding[Slot(step)];
            }
        }
    };
    // A result that cannot be allocated ends the operation in an error, as
    // the platform reports an out-of-memory completion; nothing throws on the
    // modem's own thread.
    auto complete = [op, finish, succeed] {
        if (op->Finished()) {
            return;
        }
        Result result{nullptr};
        try {
            result = succeed();
        } catch (const std::bad_alloc&) {
            finish(op, AsyncStatus::Error, E_OUTOFMEMORY, Result{nullptr});
            return;
        }
        finish(op, AsyncStatus::Completed, S_OK, std::move(result));
    };
    Op* raw = op.get();
    auto postCancelled = [raw, finish] {
        com_ptr<Op> self;
        self.copy_from(raw);
        Queue().Post(
            [self, finish] { finish(self, AsyncStatus::Canceled, S_OK, Result{nullptr}); });
    };
    double delay = behaviour.delayMs;

    switch (behaviour.outcome) {
    case Outcome::Complete:
    case Outcome::Error:
    case Outcome::Cancelled: {
        std::function<void()> work = complete;
        if (behaviour.outcome == Outcome::Error) {
            HRESULT code = behaviour.code != 0 ? behaviour.code : E_FAIL;
            work = [op, finish, code] { finish(op, AsyncStatus::Error, code, Result{nullptr}); };
        } else if (behaviour.outcome == Outcome::Cancelled) {
            work = [op, finish] { finish(op, AsyncStatus::Canceled, S_OK, Result{nullptr}); };
        }
        auto id = std::make_shared<std::atomic<WorkQueue::Id>>(0);
        op->SetCancelHook([id, postCancelled] {
            Queue().Cancel(id->load());
            postCancelled();
        });
        id->store(Queue().PostAfter(delay < 0 ? 0 : delay, work));
        break;
    }
    case Outcome::Never:
        op->SetCancelHook(postCancelled);
        break;
    case Outcome::Hold: {
        op->SetCancelHook(postCancelled);
        auto& world = TheWorld();
        std::lock_guard guard(world.lock);
        world.held[Slot(step)].push_back([complete] { Queue().Post(complete); });
        break;
    }
    case Outcome::Late: {
        op->SetCancelHook([] {});
        // Release brings the completion forward, so that a test can put it
        // after the caller's time-out whatever the load.
        const WorkQueue::Id id = Queue().PostAfter(delay < 0 ? kLateDefaultMs : delay, complete);
        auto& world = TheWorld();
        std::lock_guard guard(world.lock);
        world.held[Slot(step)].push_back([id, complete] {
            Queue().Post(complete); // does nothing once the delayed one has run
            Queue().Cancel(id);
        });
        break;
    }
    case Outcome::FailSync:
        break;
    }
    *out = std::move(op);
    return S_OK;
}

class AntennaSar final : public nabi::IMobileBroadbandAntennaSar {
public:
    AntennaSar(std::int32_t index, std::int32_t backoff) : mIndex(index), mBackoff(backoff) {}
    HRESULT get_AntennaIndex(std::int32_t* value) override {
        *value = mIndex;
        return S_OK;
    }
    HRESULT get_SarBackoffIndex(std::int32_t* value) override {
        *value = mBackoff;
        return S_OK;
    }

private:
    const std::int32_t mIndex;
    const std::int32_t mBackoff;
};

class AntennaSarFactory final : public nabi::IMobileBroadbandAntennaSarFactory {
public:
    // The fault code 1 makes the factory hand back an empty object.
    HRESULT CreateWithIndex(std::int32_t antennaIndex, std::int32_t sarBackoffIndex,
                            com_ptr<nabi::IMobileBroadbandAntennaSar>* value) override {
        *value = nullptr;
        if (auto code = CheckFault("MobileBroadbandAntennaSar.CreateWithIndex")) {
            return *code == 1 ? S_OK : FaultCodeOr<HRESULT>(*code, E_FAIL);
        }
        *value = make_self<AntennaSar>(antennaIndex, sarBackoffIndex);
        return S_OK;
    }
};

class SarManager final : public nabi::IMobileBroadbandSarManager {
public:
    explicit SarManager(std::shared_ptr<ModemState> modem) : mModem(std::move(modem)) {}

    HRESULT EnableBackoffAsync(com_ptr<fabi::IAsyncAction>* action) override {
        auto modem = mModem;
        com_ptr<fimpl::async_action> op;
        HRESULT result = StartOperation<fimpl::async_action, std::nullptr_t>(
            Step::Enable,
            [modem]() -> std::nullptr_t {
                std::lock_guard guard(TheWorld().lock);
                modem->enabled = true;
                return nullptr;
            },
            &op);
        *action = op;
        return result;
    }

    HRESULT get_Antennas(com_ptr<cabi::IVectorView<MobileBroadbandAntennaSar>>* value) override {
        if (auto code = CheckFault("MobileBroadbandSarManager.Antennas")) {
            return FaultCodeOr<HRESULT>(*code, E_FAIL);
        }
        std::vector<MobileBroadbandAntennaSar> items;
        {
            std::lock_guard guard(TheWorld().lock);
            for (const Antenna& antenna : mModem->antennas) {
                items.emplace_back(make_self<AntennaSar>(antenna.index, antenna.backoff));
            }
        }
        *value = make_self<vector_view<MobileBroadbandAntennaSar>>(std::move(items));
        return S_OK;
    }

    HRESULT
    SetConfigurationAsync(const com_ptr<cabi::IIterable<MobileBroadbandAntennaSar>>& antennas,
                          com_ptr<fabi::IAsyncAction>* action) override {
        *action = nullptr;
        if (!antennas) {
            return E_POINTER;
        }
        std::vector<Antenna> payload;
        try {
            auto it = IIterable<MobileBroadbandAntennaSar>(antennas).First();
            for (bool has = it.HasCurrent(); has; has = it.MoveNext()) {
                MobileBroadbandAntennaSar setting = it.Current();
                if (!setting) {
                    return E_POINTER;
                }
                payload.push_back({setting.AntennaIndex(), setting.SarBackoffIndex()});
            }
        } catch (...) {
            return winrt::to_hresult();
        }
        bool known = true;
        {
            std::lock_guard guard(TheWorld().lock);
            TheWorld().payloads.push_back(payload);
            for (const Antenna& wanted : payload) {
                bool found = false;
                for (const Antenna& antenna : mModem->antennas) {
                    found = found || antenna.index == wanted.index;
                }
                known = known && found;
            }
        }
        if (!known) {
            return E_INVALIDARG;
        }
        auto modem = mModem;
        com_ptr<fimpl::async_action> op;
        HRESULT result = StartOperation<fimpl::async_action, std::nullptr_t>(
            Step::Set,
            [modem, payload]() -> std::nullptr_t {
                std::lock_guard guard(TheWorld().lock);
                for (const Antenna& wanted : payload) {
                    for (Antenna& antenna : modem->antennas) {
                        if (antenna.index == wanted.index) {
                            antenna.backoff = wanted.backoff;
                        }
                    }
                }
                return nullptr;
            },
            &op);
        *action = op;
        return result;
    }

private:
    const std::shared_ptr<ModemState> mModem;
};

class Configuration final : public nabi::IMobileBroadbandModemConfiguration2 {
public:
    explicit Configuration(std::shared_ptr<ModemState> modem) : mModem(std::move(modem)) {}

    HRESULT get_SarManager(com_ptr<nabi::IMobileBroadbandSarManager>* value) override {
        *value = nullptr;
        if (auto code = CheckFault("MobileBroadbandModemConfiguration.SarManager")) {
            return FaultCodeOr<HRESULT>(*code, E_FAIL);
        }
        if (!ReadWorld(&World::sarManagerMissing)) {
            *value = make_self<SarManager>(mModem);
        }
        return S_OK;
    }

private:
    const std::shared_ptr<ModemState> mModem;
};

class Modem final : public nabi::IMobileBroadbandModem {
public:
    explicit Modem(std::shared_ptr<ModemState> modem) : mModem(std::move(modem)) {}

    HRESULT GetCurrentConfigurationAsync(
        com_ptr<fabi::IAsyncOperation<MobileBroadbandModemConfiguration>>* operation) override {
        using Op = fimpl::async_operation<MobileBroadbandModemConfiguration>;
        auto modem = mModem;
        com_ptr<Op> op;
        HRESULT result = StartOperation<Op, MobileBroadbandModemConfiguration>(
            Step::Configuration,
            [modem]() -> MobileBroadbandModemConfiguration {
                if (ReadWorld(&World::configurationMissing)) {
                    return nullptr;
                }
                return MobileBroadbandModemConfiguration(make_self<Configuration>(modem));
            },
            &op);
        *operation = op;
        return result;
    }

private:
    const std::shared_ptr<ModemState> mModem;
};

class ModemStatics final : public nabi::IMobileBroadbandModemStatics {
public:
    HRESULT GetDefault(com_ptr<nabi::IMobileBroadbandModem>* value) override {
        *value = nullptr;
        if (auto code = CheckFault("MobileBroadbandModem.GetDefault")) {
            return FaultCodeOr<HRESULT>(*code, E_FAIL);
        }
        std::shared_ptr<ModemState> modem = ReadWorld(&World::modem);
        if (modem) {
            *value = make_self<Modem>(std::move(modem));
        }
        return S_OK;
    }
};

const bool gRegistered = [] {
    winrt::RegisterActivationFactory(
        winrt::Windows::Networking::NetworkOperators::kMobileBroadbandModemClass,
        [] { return com_ptr<ref_counted>(make_self<ModemStatics>()); });
    winrt::RegisterActivationFactory(
        winrt::Windows::Networking::NetworkOperators::kMobileBroadbandAntennaSarClass,
        [] { return com_ptr<ref_counted>(make_self<AntennaSarFactory>()); });
    return true;
}();

void ClearRecordsLocked(World& world) {
    world.calls = {};
    world.outstanding = {};
    world.payloads.clear();
    ++world.generation;
}

} // namespace

void Reset() {
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    world.modem.reset();
    world.configurationMissing = false;
    world.sarManagerMissing = false;
    world.next = {};
    world.always = {};
    for (auto& held : world.held) {
        held.clear();
    }
    ClearRecordsLocked(world);
}

void InstallAntennas(std::vector<Antenna> antennas) {
    auto modem = std::make_shared<ModemState>();
    modem->antennas = std::move(antennas);
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    world.modem = std::move(modem);
    ClearRecordsLocked(world);
}

void Install(int count, std::int32_t backoff) {
    std::vector<Antenna> antennas;
    for (int i = 0; i < count; ++i) {
        antennas.push_back({i, backoff});
    }
    InstallAntennas(std::move(antennas));
}

void Remove() {
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    world.modem.reset();
}

void SetConfigurationMissing(bool missing) {
    std::lock_guard guard(TheWorld().lock);
    TheWorld().configurationMissing = missing;
}

void SetSarManagerMissing(bool missing) {
    std::lock_guard guard(TheWorld().lock);
    TheWorld().sarManagerMissing = missing;
}

void Fail(Step step, Behaviour behaviour, bool always) {
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    if (always) {
        world.always[Slot(step)] = behaviour;
        world.next[Slot(step)].reset();
    } else {
        world.next[Slot(step)] = behaviour;
    }
}

void ClearFailures() {
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    world.next = {};
    world.always = {};
}

unsigned Release(Step step) {
    std::vector<std::function<void()>> held;
    {
        auto& world = TheWorld();
        std::lock_guard guard(world.lock);
        held.swap(world.held[Slot(step)]);
    }
    for (auto& complete : held) {
        complete();
    }
    return static_cast<unsigned>(held.size());
}

std::optional<Step> StepFromName(std::string_view name) {
    if (name == "config") {
        return Step::Configuration;
    }
    if (name == "enable") {
        return Step::Enable;
    }
    if (name == "set") {
        return Step::Set;
    }
    return std::nullopt;
}

std::optional<Behaviour> BehaviourFromName(std::string_view name) {
    if (name == "timeout") {
        return Behaviour{Outcome::Never};
    }
    if (name == "error") {
        return Behaviour{Outcome::Error};
    }
    if (name == "notsupported") {
        return Behaviour{Outcome::FailSync, HRESULT_ERROR_NOT_SUPPORTED};
    }
    return std::nullopt;
}

bool Present() {
    std::lock_guard guard(TheWorld().lock);
    return TheWorld().modem != nullptr;
}

std::vector<Antenna> Antennas() {
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    return world.modem ? world.modem->antennas : std::vector<Antenna>{};
}

std::vector<std::int32_t> BackoffIndexes() {
    std::vector<std::int32_t> indexes;
    for (const Antenna& antenna : Antennas()) {
        indexes.push_back(antenna.backoff);
    }
    return indexes;
}

bool BackoffEnabled() {
    auto& world = TheWorld();
    std::lock_guard guard(world.lock);
    return world.modem && world.modem->enabled;
}

std::size_t SetCount() {
    std::lock_guard guard(TheWorld().lock);
    return TheWorld().payloads.size();
}

std::vector<std::vector<Antenna>> SetPayloads() {
    return ReadWorld(&World::payloads);
}

unsigned Calls(Step step) {
    std::lock_guard guard(TheWorld().lock);
    return TheWorld().calls[Slot(step)];
}

unsigned Outstanding(Step step) {
    std::lock_guard guard(TheWorld().lock);
    return TheWorld().outstanding[Slot(step)];
}

} // namespace sim::modem
