// The simulated machine as the host drives it: the driver host of the
// framework stand-in (load, device add, PnP and power, IOCTLs), the device's
// registry, the display, the WWAN interfaces and the modem. One per scenario
// process.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host {

// The driver's IOCTLs: its information, and a sensor's state set from user mode.
inline constexpr std::uint32_t kIoctlGetInfo = 0x81290800u;
inline constexpr std::uint32_t kIoctlSetSensorState = 0x81290804u;
// The set-state request's input: {ID, STATE}, two little-endian 32-bit numbers.
std::vector<std::uint8_t> SetSensorStateInput(std::uint32_t id, std::uint32_t state);

struct IoOutcome {
    std::uint32_t status = 0;
    std::size_t bytes = 0;
    std::vector<std::uint8_t> output;
};

// An IOCTL on its way: the framework holds requests while the device is out
// of D0 and presents them at the next D0 entry, so its result may come much
// later than the command that sent it.
class PendingIo {
public:
    PendingIo();
    ~PendingIo();
    PendingIo(PendingIo&&) noexcept;
    PendingIo& operator=(PendingIo&&) noexcept;
    // True once the request has completed (waits at most `bound` for it).
    bool WaitFor(std::chrono::milliseconds bound);
    // The completion; only after WaitFor returned true, and once.
    IoOutcome Take();

private:
    friend class Machine;
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

class Machine {
public:
    explicit Machine(std::string driverPath);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Each returns an empty string on success, else what went wrong (a host
    // error, not a driver result: the scenario cannot go on).
    std::string ImportConfig(const std::string& path);
    std::string ImportConfigText(const std::string& text, const std::string& name);
    // Reads the file and checks it as ImportConfig would, importing nothing.
    static std::string CheckConfig(const std::string& path);

    // Loads the driver library, if it is not loaded; false with `error` set
    // when it cannot be.
    bool Load(std::string* error) { return EnsureLoaded(error); }
    // Loads the driver if needed and adds the device. `error` is set when the
    // driver could not be loaded at all.
    std::uint32_t AddDevice(std::string* error);
    // The power sequences. `error` is set, and nothing is called, when there
    // is no device or the machine refuses the sequence in the state the
    // device is in: start while it is in D0, a D0 entry while it is in D0 or
    // before a start has prepared its hardware, a D0 exit while it is out of
    // D0. The error names the scenario's command and that state.
    std::uint32_t Start(std::string* error);
    std::uint32_t D0Entry(std::uint32_t previous, std::uint32_t action, std::string* error);
    std::uint32_t D0Exit(std::uint32_t target, std::uint32_t action, std::string* error);
    std::uint32_t Sleep(std::string* error);
    std::uint32_t Wake(std::string* error);
    std::uint32_t Hibernate(std::string* error);
    std::uint32_t Resume(std::string* error);
    std::uint32_t Shutdown(std::string* error);
    std::uint32_t Remove(std::string* error);
    void Unload(std::string* error);
    bool Loaded() const;

    // Waits for the completion, at most the driver host's bound (10 s).
    IoOutcome Ioctl(std::uint32_t code, const std::vector<std::uint8_t>& input, std::size_t outLen,
                    std::string* error);
    PendingIo SendIoctl(std::uint32_t code, const std::vector<std::uint8_t>& input,
                        std::size_t outLen, std::string* error);
    // Whether the device is in D0 (so that its queue presents requests).
    bool InD0() const;

    std::string Display(std::uint32_t state);
    std::string WwanAdd(std::uint32_t type);
    std::string WwanRemove(std::uint32_t type);
    std::string ModemAntennas(std::uint32_t count, std::int32_t index);
    std::string ModemNone();
    std::string ModemFail(const std::string& step, const std::string& how, bool always);
    std::string ModemOk();

    // Observations. Empty optionals mean "cannot be seen in this build".
    std::optional<std::size_t> ChannelCount();
    // The WDFDEVICE while the device exists, else null.
    void* Device();
    // Whether a device add has succeeded since the machine was built (the
    // device may have gone since).
    bool DeviceEverAdded() const;
    std::vector<std::int32_t> ModemIndexes();
    bool ModemPresent();
    std::size_t ModemSetCount();
    std::vector<std::vector<std::int32_t>> ModemPayloads();
    bool ModemEnabled();

    // Leftovers once the driver is unloaded (objects, threads); empty when
    // clean, or while the driver is still loaded.
    std::string LeakReport();

private:
    bool EnsureLoaded(std::string* error);
    bool EnsureAdded(std::string* error);
    bool EnsureFile(std::string* error);
    enum class PowerStep { Start, Entry, Exit };
    // Where the device stands, for a message: "is in D0", "is in D3 after sleep".
    std::string PowerState() const;
    std::uint32_t Power(const std::string& command, PowerStep step, std::uint32_t state,
                        std::uint32_t action, std::string* error);

    struct State;
    std::unique_ptr<State> mState;
};

} // namespace host
