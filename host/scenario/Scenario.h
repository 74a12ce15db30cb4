// A scenario: the commands of one .scn file (or of the built-in walk), parsed
// and checked for syntax before anything runs, so that a typo never leaves a
// half-run machine behind.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace host {

enum class Op {
    // Driver and power
    Config,
    Add,
    Start,
    D0Entry,
    D0Exit,
    Sleep,
    Wake,
    Hibernate,
    Resume,
    Shutdown,
    Remove,
    Unload,
    // Inputs
    IoctlSetState,
    IoctlGetInfo,
    IoctlRaw,
    Display,
    WwanAdd,
    WwanRemove,
    ModemAntennas,
    ModemNone,
    ModemFail,
    ModemOk,
    WlanInterfaces,
    WlanArrive,
    WlanLeave,
    WlanNotify,
    WlanFail,
    WlanReply,
    WlanReadback,
    WlanOk,
    PartitionPresent,
    PartitionAbsent,
    PartitionQueryRemove,
    PartitionRemoveCancelled,
    PartitionRemoveComplete,
    PartitionFile,
    PartitionPeriod,
    PartitionDelete,
    PartitionFail,
    PartitionHang,
    PartitionOk,
    HubPresent,
    HubAbsent,
    HubSar,
    HubReport,
    HubError,
    HubFail,
    HubRaw,
    BootTime,
    ProximityAdd,
    ProximityAddOther,
    ProximityNear,
    ProximityFar,
    ProximityUpdate,
    ProximityRemove,
    ProximityFail,
    Wait,
    TimeScale,
    // Output
    Show,
    // Checks (every Op from ExpectStatus on is a check)
    ExpectStatus,
    ExpectBytes,
    ExpectOutput,
    ExpectAdd,
    ExpectChannels,
    ExpectModem,
    ExpectModemSets,
    ExpectModemEnabled,
    ExpectWlan,
    ExpectWlanSets,
    ExpectWlanSize,
    ExpectTrace,
    ExpectNoTrace,
    ExpectHubRequests,
    ExpectHubClients,
    ExpectPartitionRequests,
    ExpectProximityWatcher,
};

bool IsCheck(Op op);

// Power states and actions as the framework numbers them.
enum class PowerState : std::uint32_t { D0 = 1, D1 = 2, D2 = 3, D3 = 4, D3Final = 5 };
enum class PowerAction : std::uint32_t { None = 0, Sleep = 2, Hibernate = 3, Shutdown = 4 };

// One command. Which fields mean something depends on `op`.
struct Command {
    Op op = Op::Add;
    std::string file; // the scenario file, for messages
    int line = 0;
    std::string text;    // the command as written, without its comment
    std::string comment; // the comment lines just above it, joined

    std::uint32_t a = 0;                 // ID, code, count, state, status, MS...
    std::uint32_t b = 0;                 // STATE, index, action...
    std::optional<std::uint32_t> outLen; // get-info / raw output length
    std::vector<std::uint8_t> bytes;     // raw input, expected output
    std::vector<std::int32_t> indexes;   // expect modem
    // The command's first word after its own: modem fail STEP, wlan fail OP, the
    // request kind of partition and hub commands, a proximity sensor's NAME or
    // failing call, the display state, a trace text.
    std::string word;
    std::string how;    // modem fail HOW; wlan reply empty
    std::string path;   // config: resolved against the scenario's folder; partition FOLDER\NAME
    bool flag = false;  // always, yes/no, veto, big-endian
    double scale = 1.0; // time-scale
    double value = 0.0; // hub report VALUE
    std::vector<std::uint64_t> suids; // hub sar / report from: HIGH, LOW pairs
    std::string deviceId;             // proximity add / add-other: the device id

    // wlan readback, expect wlan: MASK:INDEX entries
    std::vector<std::pair<std::uint32_t, std::int32_t>> entries;
};

struct Scenario {
    std::string name; // file name, or "built-in"
    std::vector<Command> commands;
};

// A syntax error: where, and what was expected there.
struct SyntaxError {
    std::string file;
    int line = 0;
    std::string message;
    std::string ToString() const;
};

struct ParseResult {
    std::optional<Scenario> scenario;
    std::optional<SyntaxError> error;
};

// `baseDir` resolves relative paths (the folder of the scenario file).
ParseResult ParseScenario(const std::string& text, const std::string& fileName,
                          const std::string& baseDir);
// Reads and parses a file; an unreadable file is reported as an error at line 0.
ParseResult ParseScenarioFile(const std::string& path);

// A wait whose real duration, at the time scale in force from `scale` and the
// scenario's own time-scale lines, is beyond the host's limit.
std::optional<SyntaxError> CheckWaits(const Scenario& scenario, double scale);
// How long the scenario's waits last together in real time, at the time scale
// in force where each stands (`scale` at the start).
std::chrono::duration<double> RealWaitTime(const Scenario& scenario, double scale);

} // namespace host
