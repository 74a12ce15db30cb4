#include "host/Machine.h"
#include "host/DriverView.h"

#include "platform/sim/ip_interfaces.h"
#include "platform/sim/modem.h"

#if __has_include("platform/sim/driver_host.h")
#include "platform/sim/driver_host.h"
#define HVX_HOST_HAS_DRIVER_HOST 1
#endif
#if __has_include("platform/sim/registry.h")
#include "platform/sim/registry.h"
#define HVX_HOST_HAS_REGISTRY 1
#endif
#if __has_include("platform/sim/display.h")
#include "platform/sim/display.h"
#define HVX_HOST_HAS_DISPLAY 1
#endif

#include <fstream>
#include <sstream>

namespace host {

namespace {
constexpr const char* kNotInBuild =
    "is not available in this build (its simulated part has not landed)";
}

struct Machine::State {
    std::string driverPath;
    bool loaded = false;
    bool added = false;
#ifdef HVX_HOST_HAS_DRIVER_HOST
    sim::DriverHost driverHost;
    sim::HostFile file;
#endif
};

Machine::Machine(std::string driverPath) : mState(std::make_unique<State>()) {
    mState->driverPath = std::move(driverPath);
}

Machine::~Machine() = default;

std::string Machine::ImportConfig(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "cannot read " + path;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    return ImportConfigText(buffer.str(), path);
}

std::string Machine::ImportConfigText(const std::string& text, const std::string& name) {
#ifdef HVX_HOST_HAS_REGISTRY
    sim::registry::ImportResult result = sim::registry::ImportRegText(text, name);
    return result ? std::string() : result.error;
#else
    (void)text;
    (void)name;
    return std::string("the registry import ") + kNotInBuild;
#endif
}

bool Machine::EnsureLoaded(std::string* error) {
    if (mState->loaded) {
        return true;
    }
#ifdef HVX_HOST_HAS_DRIVER_HOST
    if (mState->driverPath.empty()) {
        *error = "no driver library was built in this tree (use --driver PATH)";
        return false;
    }
    NTSTATUS status = mState->driverHost.LoadLibrary(mState->driverPath);
    if (!NT_SUCCESS(status)) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
        *error = "cannot load the driver library " + mState->driverPath + " (" + buf + ")";
        return false;
    }
    mState->loaded = true;
    return true;
#else
    *error = std::string("the driver host ") + kNotInBuild;
    return false;
#endif
}

bool Machine::EnsureAdded(std::string* error) {
    if (!mState->added) {
        *error = "the device has not been added (use add first)";
        return false;
    }
    return true;
}

#ifdef HVX_HOST_HAS_DRIVER_HOST
#define HVX_POWER_CALL(call)                                                                       \
    if (!EnsureAdded(error)) {                                                                     \
        return 0;                                                                                  \
    }                                                                                              \
    return static_cast<std::uint32_t>(mState->driverHost.call)
#else
#define HVX_POWER_CALL(call)                                                                       \
    *error = std::string("the driver host ") + kNotInBuild;                                        \
    return 0
#endif

std::uint32_t Machine::AddDevice(std::string* error) {
    if (!EnsureLoaded(error)) {
        return 0;
    }
#ifdef HVX_HOST_HAS_DRIVER_HOST
    NTSTATUS status = mState->driverHost.AddDevice();
    mState->added = NT_SUCCESS(status);
    return static_cast<std::uint32_t>(status);
#else
    return 0;
#endif
}

std::uint32_t Machine::Start(std::string* error) {
    HVX_POWER_CALL(Start());
}
std::uint32_t Machine::Sleep(std::string* error) {
    HVX_POWER_CALL(Sleep());
}
std::uint32_t Machine::Wake(std::string* error) {
    HVX_POWER_CALL(Wake());
}
std::uint32_t Machine::Hibernate(std::string* error) {
    HVX_POWER_CALL(Hibernate());
}
std::uint32_t Machine::Resume(std::string* error) {
    HVX_POWER_CALL(Resume());
}
std::uint32_t Machine::Shutdown(std::string* error) {
    HVX_POWER_CALL(Shutdown());
}

std::uint32_t Machine::D0Entry([[maybe_unused]] std::uint32_t previous,
                               [[maybe_unused]] std::uint32_t action, std::string* error) {
    HVX_POWER_CALL(
        D0Entry(static_cast<WDF_POWER_DEVICE_STATE>(previous), static_cast<POWER_ACTION>(action)));
}

std::uint32_t Machine::D0Exit([[maybe_unused]] std::uint32_t target,
                              [[maybe_unused]] std::uint32_t action, std::string* error) {
    HVX_POWER_CALL(
        D0Exit(static_cast<WDF_POWER_DEVICE_STATE>(target), static_cast<POWER_ACTION>(action)));
}

std::uint32_t Machine::Remove(std::string* error) {
#ifdef HVX_HOST_HAS_DRIVER_HOST
    if (!EnsureAdded(error)) {
        return 0;
    }
    if (mState->file.handle != nullptr) {
        mState->driverHost.CloseFile(mState->file);
        mState->file = {};
    }
    mState->added = false;
    return static_cast<std::uint32_t>(mState->driverHost.Remove());
#else
    *error = std::string("the driver host ") + kNotInBuild;
    return 0;
#endif
}

bool Machine::Loaded() const {
    return mState->loaded;
}

void Machine::Unload(std::string* error) {
#ifdef HVX_HOST_HAS_DRIVER_HOST
    if (!mState->loaded) {
        *error = "no driver is loaded";
        return;
    }
    if (mState->added) {
        std::string ignored;
        Remove(&ignored);
    }
    mState->driverHost.Unload();
    mState->loaded = false;
#else
    *error = std::string("the driver host ") + kNotInBuild;
#endif
}

IoOutcome Machine::Ioctl(std::uint32_t code, const std::vector<std::uint8_t>& input,
                         std::size_t outLen, std::string* error) {
    IoOutcome outcome;
#ifdef HVX_HOST_HAS_DRIVER_HOST
    if (!EnsureAdded(error)) {
        return outcome;
    }
    if (mState->file.handle == nullptr) {
        mState->file = mState->driverHost.OpenFile();
        if (!mState->file) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(mState->file.status));
            *error = std::string("cannot open the device (") + buf + ")";
            mState->file = {};
            return outcome;
        }
    }
    sim::IoResult result = mState->driverHost.DeviceIoControl(mState->file, code, input, outLen);
    outcome.status = static_cast<std::uint32_t>(result.status);
    outcome.bytes = result.bytes;
    outcome.output = std::move(result.output);
#else
    (void)code;
    (void)input;
    (void)outLen;
    *error = std::string("the driver host ") + kNotInBuild;
#endif
    return outcome;
}

std::string Machine::Display(std::uint32_t state) {
#ifdef HVX_HOST_HAS_DISPLAY
    sim::display::SetState(static_cast<sim::display::State>(state));
    return {};
#else
    (void)state;
    return std::string("the display ") + kNotInBuild;
#endif
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
#ifdef HVX_HOST_HAS_DRIVER_HOST
    return mState->added ? mState->driverHost.Device() : nullptr;
#else
    return nullptr;
#endif
}

std::optional<std::size_t> Machine::ChannelCount() {
#ifdef HVX_HOST_HAS_DRIVER_HOST
    if (!mState->added) {
        return 0;
    }
    auto view = ReadDeviceView(*this);
    if (!view) {
        return std::nullopt;
    }
    return view->channelObjects;
#else
    return std::nullopt;
#endif
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
#ifdef HVX_HOST_HAS_DRIVER_HOST
    if (mState->loaded) {
        return {};
    }
    sim::HostLeaks leaks = mState->driverHost.LeakReport();
    return leaks.Empty() ? std::string() : leaks.ToString();
#else
    return {};
#endif
}

} // namespace host
