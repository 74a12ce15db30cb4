#include "host/machine/Machine.h"
#include "host/cli/InputFile.h"
#include "host/machine/DriverView.h"
#include "host/scenario/Tokens.h"

#include "platform/sim/display.h"
#include "platform/sim/driver_host.h"
#include "platform/sim/ip_interfaces.h"
#include "platform/sim/modem.h"
#include "platform/sim/partition_service.h"
#include "platform/sim/registry.h"

#include <future>

namespace host {

std::vector<std::uint8_t> SetSensorStateInput(std::uint32_t id, std::uint32_t state) {
    std::vector<std::uint8_t> bytes(8);
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<std::uint8_t>(id >> (8 * i));
        bytes[4 + i] = static_cast<std::uint8_t>(state >> (8 * i));
    }
    return bytes;
}

struct Machine::State {
    std::string driverPath;
    bool loaded = false;
    bool added = false;
    bool everAdded = false;
    // One driver host per load: it takes one device in its life, so a driver
    // loaded again gets a fresh one.
    std::unique_ptr<sim::DriverHost> host = std::make_unique<sim::DriverHost>();
    sim::DriverHost& driverHost() { return *host; }
    std::string leaks; // what the last unload left behind
    sim::HostFile file;
    // Where the last D0 exit, or a failed D0 entry, left the device, for a
    // message ("is in D3 after sleep").
    std::string outOfD0;
};

Machine::Machine(std::string driverPath) : mState(std::make_unique<State>()) {
    mState->driverPath = std::move(driverPath);
    // The service is part of the machine from its start, with an empty partition.
    sim::partition::Reset();
}

Machine::~Machine() = default;

namespace {

std::string ReadConfig(const std::string& path, std::string* text) {
    std::string error = ReadInputFile(path, text);
    return error.empty() ? error : path + ": " + error;
}

} // namespace

std::string Machine::ImportConfig(const std::string& path) {
    std::string text;
    if (std::string error = ReadConfig(path, &text); !error.empty()) {
        return error;
    }
    return ImportConfigText(text, path);
}

std::string Machine::CheckConfig(const std::string& path) {
    std::string text;
    if (std::string error = ReadConfig(path, &text); !error.empty()) {
        return error;
    }
    sim::registry::ImportResult result = sim::registry::CheckRegText(text, path);
    return result ? std::string() : result.error;
}

std::string Machine::ImportConfigText(const std::string& text, const std::string& name) {
    sim::registry::ImportResult result = sim::registry::ImportRegText(text, name);
    return result ? std::string() : result.error;
}

bool Machine::EnsureLoaded(std::string* error) {
    if (mState->loaded) {
        return true;
    }
    if (mState->driverPath.empty()) {
        *error = "no driver library was built in this tree (use --driver PATH)";
        return false;
    }
    NTSTATUS status = mState->driverHost().LoadLibrary(mState->driverPath);
    if (!NT_SUCCESS(status)) {
        *error = "cannot load the driver library " + mState->driverPath + " (" +
                 StatusText(static_cast<std::uint32_t>(status)) + ")";
        return false;
    }
    mState->loaded = true;
    return true;
}

bool Machine::EnsureAdded(std::string* error) {
    if (!mState->added) {
        *error = "the device has not been added (use add first)";
        return false;
    }
    return true;
}

std::uint32_t Machine::AddDevice(std::string* error) {
    if (!EnsureLoaded(error)) {
        return 0;
    }
    NTSTATUS status = mState->driverHost().AddDevice();
    // A second add is refused by the framework; the device that exists stays
    // the one the later commands drive.
    mState->added = mState->added || NT_SUCCESS(status);
    mState->everAdded = mState->everAdded || mState->added;
    return static_cast<std::uint32_t>(status);
}

namespace {

const char* StateName(std::uint32_t state) {
    switch (static_cast<WDF_POWER_DEVICE_STATE>(state)) {
    case WdfPowerDeviceD1:
        return "D1";
    case WdfPowerDeviceD2:
        return "D2";
    case WdfPowerDeviceD3:
        return "D3";
    case WdfPowerDeviceD3Final:
        return "D3Final";
    default:
        return "D0";
    }
}

const char* ActionName(std::uint32_t action) {
    switch (static_cast<POWER_ACTION>(action)) {
    case PowerActionSleep:
        return "sleep";
    case PowerActionHibernate:
        return "hibernate";
    case PowerActionShutdown:
        return "shutdown";
    default:
        return "none";
    }
}

} // namespace

std::string Machine::PowerState() const {
    const sim::DriverHost& host = *mState->host;
    if (host.InD0()) {
        return "is in D0";
    }
    if (!host.HardwarePrepared()) {
        return "has not been started (its hardware is not prepared: start does that)";
    }
    return mState->outOfD0;
}

// A PnP or power sequence of the device, once it exists, in a state the
// machine carries it out in. The framework would never ask for one it
// cannot: a scenario that does has lost track of the device, and what came
// of it would check nothing.
std::uint32_t Machine::Power(const std::string& command, PowerStep step, std::uint32_t state,
                             std::uint32_t action, std::string* error) {
    if (!mState->added) {
        *error = command + " cannot be carried out: " +
                 (mState->everAdded ? "the device has been removed"
                                    : "no device has been added (use add first)");
        return 0;
    }
    sim::DriverHost& host = *mState->host;
    const bool refused = step == PowerStep::Exit    ? !host.InD0()
                         : step == PowerStep::Start ? host.InD0()
                                                    : host.InD0() || !host.HardwarePrepared();
    if (refused) {
        *error = command + " cannot be carried out: the device " + PowerState();
        return 0;
    }
    NTSTATUS status = STATUS_SUCCESS;
    switch (step) {
    case PowerStep::Start:
        status = host.Start();
        break;
    case PowerStep::Entry:
        status = host.D0Entry(static_cast<WDF_POWER_DEVICE_STATE>(state),
                              static_cast<POWER_ACTION>(action));
        break;
    case PowerStep::Exit:
        status = host.D0Exit(static_cast<WDF_POWER_DEVICE_STATE>(state),
                             static_cast<POWER_ACTION>(action));
        // The device leaves D0 whatever the driver answers.
        mState->outOfD0 = std::string("is in ") + StateName(state) + " after " + command;
        break;
    }
    if (step != PowerStep::Exit && !NT_SUCCESS(status)) {
        mState->outOfD0 = "is out of D0: its last D0 entry (" + command + ") failed";
    }
    return static_cast<std::uint32_t>(status);
}

std::uint32_t Machine::Start(std::string* error) {
    return Power("start", PowerStep::Start, WdfPowerDeviceD3Final, PowerActionNone, error);
}
std::uint32_t Machine::Sleep(std::string* error) {
    return Power("sleep", PowerStep::Exit, WdfPowerDeviceD3, PowerActionSleep, error);
}
std::uint32_t Machine::Wake(std::string* error) {
    return Power("wake", PowerStep::Entry, WdfPowerDeviceD3, PowerActionSleep, error);
}
std::uint32_t Machine::Hibernate(std::string* error) {
    return Power("hibernate", PowerStep::Exit, WdfPowerDeviceD3, PowerActionHibernate, error);
}
std::uint32_t Machine::Resume(std::string* error) {
    return Power("resume", PowerStep::Entry, WdfPowerDeviceD3, PowerActionHibernate, error);
}
std::uint32_t Machine::Shutdown(std::string* error) {
    return Power("shutdown", PowerStep::Exit, WdfPowerDeviceD3Final, PowerActionShutdown, error);
}
std::uint32_t Machine::D0Entry(std::uint32_t previous, std::uint32_t action, std::string* error) {
    return Power(std::string("d0-entry ") + StateName(previous) + " " + ActionName(action),
                 PowerStep::Entry, previous, action, error);
}
std::uint32_t Machine::D0Exit(std::uint32_t target, std::uint32_t action, std::string* error) {
    return Power(std::string("d0-exit ") + StateName(target) + " " + ActionName(action),
                 PowerStep::Exit, target, action, error);
}

std::uint32_t Machine::Remove(std::string* error) {
    if (!EnsureAdded(error)) {
        return 0;
    }
    if (mState->file.handle != nullptr) {
        mState->driverHost().CloseFile(mState->file);
        mState->file = {};
    }
    mState->added = false;
    return static_cast<std::uint32_t>(mState->driverHost().Remove());
}

bool Machine::Loaded() const {
    return mState->loaded;
}

void Machine::Unload(std::string* error) {
    if (!mState->loaded) {
        *error = "no driver is loaded";
        return;
    }
    if (mState->added) {
        std::string ignored;
        Remove(&ignored);
    }
    mState->driverHost().Unload();
    sim::HostLeaks leaks = mState->driverHost().LeakReport();
    mState->leaks = leaks.Empty() ? std::string() : leaks.ToString();
    mState->host = std::make_unique<sim::DriverHost>();
    mState->loaded = false;
}

struct PendingIo::Impl {
    std::future<sim::IoResult> result;
};

PendingIo::PendingIo() = default;
PendingIo::~PendingIo() = default;
PendingIo::PendingIo(PendingIo&&) noexcept = default;
PendingIo& PendingIo::operator=(PendingIo&&) noexcept = default;

bool PendingIo::WaitFor(std::chrono::milliseconds bound) {
    return mImpl && mImpl->result.valid() &&
           mImpl->result.wait_for(bound) == std::future_status::ready;
}

IoOutcome PendingIo::Take() {
    sim::IoResult result = mImpl->result.get();
    return IoOutcome{static_cast<std::uint32_t>(result.status), result.bytes,
                     std::move(result.output)};
}

bool Machine::EnsureFile(std::string* error) {
    if (!EnsureAdded(error)) {
        return false;
    }
    if (mState->file.handle == nullptr) {
        mState->file = mState->driverHost().OpenFile();
        if (!mState->file) {
            *error = "cannot open the device (" +
                     StatusText(static_cast<std::uint32_t>(mState->file.status)) + ")";
            mState->file = {};
            return false;
        }
    }
    return true;
}

IoOutcome Machine::Ioctl(std::uint32_t code, const std::vector<std::uint8_t>& input,
                         std::size_t outLen, std::string* error) {
    IoOutcome outcome;
    if (!EnsureFile(error)) {
        return outcome;
    }
    sim::IoResult result = mState->driverHost().DeviceIoControl(mState->file, code, input, outLen);
    outcome.status = static_cast<std::uint32_t>(result.status);
    outcome.bytes = result.bytes;
    outcome.output = std::move(result.output);
    return outcome;
}

PendingIo Machine::SendIoctl(std::uint32_t code, const std::vector<std::uint8_t>& input,
                             std::size_t outLen, std::string* error) {
    PendingIo pending;
    if (!EnsureFile(error)) {
        return pending;
    }
    pending.mImpl = std::make_unique<PendingIo::Impl>();
    pending.mImpl->result =
        mState->driverHost().DeviceIoControlAsync(mState->file, code, input, outLen);
    return pending;
}

bool Machine::InD0() const {
    return mState->added && mState->host->InD0();
}

std::string Machine::Display(std::uint32_t state) {
    sim::display::SetState(static_cast<sim::display::State>(state));
    return {};
}

std::string Machine::WwanAdd(std::uint32_t type) {
    sim::ip::AddInterface(static_cast<IFTYPE>(type));
    return {};
}

std::string Machine::WwanRemove(std::uint32_t type) {
    if (!sim::ip::RemoveInterface(static_cast<IFTYPE>(type))) {
        return "no IP interface of type " + std::to_string(type) + " to remove";
    }
    return {};
}

std::string Machine::ModemAntennas(std::uint32_t count, std::int32_t index) {
    sim::modem::Install(static_cast<int>(count), index);
    return {};
}

std::string Machine::ModemNone() {
    sim::modem::Remove();
    return {};
}

std::string Machine::ModemFail(const std::string& step, const std::string& how, bool always) {
    auto s = sim::modem::StepFromName(step);
    auto b = sim::modem::BehaviourFromName(how);
    if (!s || !b) {
        return "unknown modem step or failure: " + step + " " + how;
    }
    sim::modem::Fail(*s, *b, always);
    return {};
}

std::string Machine::ModemOk() {
    sim::modem::ClearFailures();
    return {};
}

void* Machine::Device() {
    return mState->added ? mState->driverHost().Device() : nullptr;
}

bool Machine::DeviceEverAdded() const {
    return mState->everAdded;
}

std::optional<std::size_t> Machine::ChannelCount() {
    if (!mState->added) {
        return 0;
    }
    auto view = ReadDeviceView(*this);
    if (!view) {
        return std::nullopt;
    }
    return view->channelObjects;
}

std::vector<std::int32_t> Machine::ModemIndexes() {
    return sim::modem::BackoffIndexes();
}
bool Machine::ModemPresent() {
    return sim::modem::Present();
}
std::size_t Machine::ModemSetCount() {
    return sim::modem::SetCount();
}
bool Machine::ModemEnabled() {
    return sim::modem::BackoffEnabled();
}

std::vector<std::vector<std::int32_t>> Machine::ModemPayloads() {
    std::vector<std::vector<std::int32_t>> payloads;
    for (const auto& payload : sim::modem::SetPayloads()) {
        std::vector<std::int32_t> indexes;
        for (const auto& antenna : payload) {
            indexes.push_back(antenna.backoff);
        }
        payloads.push_back(std::move(indexes));
    }
    return payloads;
}

std::string Machine::LeakReport() {
    return mState->loaded ? std::string() : mState->leaks;
}

} // namespace host
