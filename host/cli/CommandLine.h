// The host's command line:
//   halvex-host [--driver PATH] [--config FILE.reg] [--trace error|flow|verbose]
//               [--json] [--time-scale F] [--fault POINT:CALL] [--fault-record FILE]
//               [SCENARIO.scn ...]
//   halvex-host --check-config FILE.reg [--json] [--driver PATH]
//   halvex-host --bench [--driver PATH]
//   halvex-host --soak [--minutes N] [--seed S] [--driver PATH]
//   halvex-host --faults [--budget SECONDS] [--all-calls] [--jobs N] [--driver PATH]
//               [--config FILE.reg] [--time-scale F] [SCENARIO.scn ...]
//   halvex-host --help
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {

enum class Mode { Run, CheckConfig, Bench, Soak, Faults, Help };

struct Options {
    Mode mode = Mode::Run;
    std::string driverPath; // empty: the driver library of the build tree
    std::string configPath; // --config, or the file of --check-config
    int traceLevel = 0;     // 0: no trace lines; 2 error, 4 flow, 5 verbose
    bool json = false;
    std::optional<double> timeScale;
    std::vector<std::string> scenarios; // none: the built-in walk
    double soakMinutes = 2.0;
    std::optional<std::uint64_t> soakSeed; // none: a fresh one
    // --faults: the runner's budget in seconds (0: its default), whether it
    // fails every call of every point, how many runs at once (0: one per core).
    double budgetSeconds = 0;
    bool allCalls = false;
    unsigned jobs = 0;
    // A run: --fault POINT:CALL fails that call (faultCall from 1; no point:
    // no fault); --fault-record FILE is where the run writes what the fault
    // runner compares.
    std::string faultPoint;
    std::uint32_t faultCall = 0;
    std::string faultRecord;
};

struct CommandLineResult {
    std::optional<Options> options;
    std::string error; // set when options is empty and the mode is not help
};

CommandLineResult ParseCommandLine(const std::vector<std::string>& args);
// The most runs --faults --jobs takes on this machine.
unsigned MaxJobs();
const char* UsageText();

} // namespace host
