// halvex-host: the driver host. Loads the driver library, builds the simulated
// machine, feeds the driver its configuration and events, and prints what
// reaches the radios. The command line is described in the README, the
// scenario language and the .reg format in docs/scenarios.md.
#include "host/bench/HostBench.h"
#include "host/cli/CommandLine.h"
#include "host/cli/InputFile.h"
#include "host/cli/Isolation.h"
#include "host/cli/Limits.h"
#include "host/config/CheckConfig.h"
#include "host/config/UserWalk.h"
#include "host/faults/FaultRunner.h"
#include "host/scenario/BuiltinScenario.h"
#include "host/scenario/Runner.h"
#include "host/scenario/Scenario.h"
#include "host/scenario/Tokens.h"
#include "host/soak/Soak.h"

#include "platform/sim/clock.h"
#include "platform/sim/fault_points.h"
#include "platform/sim/faults.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#ifndef HVX_DEFAULT_DRIVER_PATH
#define HVX_DEFAULT_DRIVER_PATH ""
#endif

namespace {

// The driver library: --driver, else HALVEX_DRIVER, else the one built beside
// this host in the build tree.
std::string ResolveDriver(const std::string& requested) {
    if (!requested.empty()) {
        return requested;
    }
    if (const char* env = std::getenv("HALVEX_DRIVER"); env != nullptr && *env != '\0') {
        return env;
    }
    return HVX_DEFAULT_DRIVER_PATH;
}

int Usage(const std::string& error) {
    std::fprintf(stderr, "halvex-host: %s\n%s", error.c_str(), host::UsageText());
    return 2;
}

int InputError(const std::string& message) {
    std::fprintf(stderr, "halvex-host: %s\n", host::Printable(message).c_str());
    return 2;
}

// A scenario's own `config` line and --config would both reach the registry
// while the timeline names one of them: the run would not be what it says.
const host::Command* ConfigLine(const host::Scenario& scenario) {
    for (const host::Command& c : scenario.commands) {
        if (c.op == host::Op::Config) {
            return &c;
        }
    }
    return nullptr;
}

// --fault fails one platform call from the start of the scenario's process
// (armed there, by RunOne). A point no call checks would arm nothing: the run
// would pass as though it had survived the fault. Returns an exit status, 0
// to go on.
int CheckFaultPoint(const host::Options& options) {
    if (options.faultPoint.empty()) {
        return 0;
    }
    if (!sim::IsFaultPoint(options.faultPoint)) {
        return InputError("--fault: no fault point is named '" +
                          host::Printable(options.faultPoint) + "'; the points are " +
                          host::Joined(sim::FaultPointNames()) + " (" + sim::FaultPointArguments() +
                          ")");
    }
    return 0;
}

// The environment's scale is held to the limits of --time-scale, which takes
// its place when both are given. Returns an exit status, 0 to go on.
int ReadEnvironmentScale(host::Options* options) {
    if (const char* env = std::getenv("HVX_TIME_SCALE");
        env != nullptr && *env != '\0' && !options->timeScale) {
        options->timeScale = host::ParseScale(env);
        if (!options->timeScale) {
            return InputError(std::string("HVX_TIME_SCALE: expected a number ") +
                              host::kTimeScaleRangeText + ", found '" + env + "'");
        }
    }
    return 0;
}

// With no scenario file: the built-in walk, or the walk of the user's
// configuration. Returns an exit status, 0 to go on.
int LoadWalk(const host::Options& options, const std::string& driver, host::RunSettings* settings,
             std::vector<host::Scenario>* scenarios) {
    bool builtinConfig = options.configPath.empty();
    std::string walk = host::BuiltinScenarioText();
    if (!builtinConfig) {
        int status = 0;
        walk = host::UserWalkText(options.configPath, driver, &status);
        if (status != 0) {
            return status;
        }
    }
    host::ParseResult parsed = host::ParseScenario(walk, builtinConfig ? "built-in" : "walk", "");
    if (!parsed.scenario) {
        return InputError(parsed.error->ToString());
    }
    scenarios->push_back(*parsed.scenario);
    if (builtinConfig) {
        settings->builtinConfig = host::BuiltinConfig();
    }
    return 0;
}

// Every scenario is parsed before any runs: a syntax error stops the run
// before it has touched the machine. Returns an exit status, 0 to go on.
int LoadScenarioFiles(const host::Options& options, std::vector<host::Scenario>* scenarios) {
    for (const std::string& path : options.scenarios) {
        host::ParseResult parsed = host::ParseScenarioFile(path);
        if (!parsed.scenario) {
            return InputError(parsed.error->ToString());
        }
        if (const host::Command* c = ConfigLine(*parsed.scenario);
            c != nullptr && !options.configPath.empty()) {
            return InputError(c->file + ":" + std::to_string(c->line) +
                              ": the scenario imports its own configuration; --config " +
                              options.configPath +
                              " would be imported too. Give one of them, not both");
        }
        scenarios->push_back(*parsed.scenario);
    }
    const double scale = options.timeScale.value_or(sim::TimeScale());
    for (const host::Scenario& scenario : *scenarios) {
        if (auto error = host::CheckWaits(scenario, scale)) {
            return InputError(error->ToString());
        }
    }
    return 0;
}

// One scenario in a child process; for the fault runner it also writes what
// the run did into --fault-record. A run asked to fail a call that it never
// made ran without its fault, and says so (the fault runner reads that from
// the record). The fault is armed in that process alone: the walk's survey
// of the configuration runs in a process of its own before it, and must not
// meet the fault meant for the walk.
int RunOne(const host::Scenario& scenario, const host::RunSettings& settings,
           const host::Options& options) {
    return host::RunIsolated("scenario " + scenario.name, [&] {
        if (!options.faultPoint.empty()) {
            sim::FailCallFromStart(options.faultPoint, options.faultCall);
        }
        if (options.faultRecord.empty()) {
            int status = host::RunScenario(scenario, settings);
            if (!options.faultPoint.empty() && !sim::FailedCallFromStart()) {
                return InputError("--fault " + options.faultPoint + ":" +
                                  std::to_string(options.faultCall) +
                                  ": the run made no such call (it made " +
                                  std::to_string(sim::FaultCalls(options.faultPoint)) +
                                  "), so it ran without the fault");
            }
            return status;
        }
        host::FaultRecord record;
        host::RunSettings recorded = settings;
        recorded.record = &record;
        recorded.recordPath = options.faultRecord;
        return host::RunScenario(scenario, recorded);
    });
}

// The scenario files, or the walk, one after the other; the worst status wins.
int RunScenarios(const host::Options& options, const std::string& driver) {
    if (int status = CheckFaultPoint(options); status != 0) {
        return status;
    }
    // The record is written once the run is over: a path it cannot be
    // written to is found before the run, not after it.
    if (!options.faultRecord.empty()) {
        if (std::string problem = host::CreateOutputFile(options.faultRecord); !problem.empty()) {
            return InputError("--fault-record " + options.faultRecord + ": " + problem);
        }
    }
    std::vector<host::Scenario> scenarios;
    host::RunSettings settings;
    settings.driverPath = driver;
    settings.configPath = options.configPath;
    settings.traceLevel = options.traceLevel;
    settings.json = options.json;
    settings.timeScale = options.timeScale;
    if (int status = LoadScenarioFiles(options, &scenarios); status != 0) {
        return status;
    }
    if (std::string error = host::CheckConfigurations(options.configPath, scenarios);
        !error.empty()) {
        return InputError(error);
    }
    if (options.scenarios.empty()) {
        if (int status = LoadWalk(options, driver, &settings, &scenarios); status != 0) {
            return status;
        }
    }

    int worst = 0;
    int failed = 0;
    int crashed = 0;
    for (const host::Scenario& scenario : scenarios) {
        int status = RunOne(scenario, settings, options);
        failed += status != 0 && status != host::kExitCrashed ? 1 : 0;
        crashed += status == host::kExitCrashed ? 1 : 0;
        worst = std::max(worst, status);
    }
    if (scenarios.size() > 1 && !options.json) {
        std::printf("== %zu scenario(s), %d failed, %d crashed\n", scenarios.size(), failed,
                    crashed);
    }
    return worst;
}

int Main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    host::CommandLineResult parsed = host::ParseCommandLine(args);
    if (!parsed.options) {
        return Usage(parsed.error);
    }
    host::Options options = *parsed.options;
    if (options.mode == host::Mode::Help) {
        std::fputs(host::UsageText(), stdout);
        return 0;
    }
    // Every mode refuses a scale it could not run at: the soak and the bench
    // set scales of their own, but a mistyped environment is still a mistake.
    if (int status = ReadEnvironmentScale(&options); status != 0) {
        return status;
    }
    // A missing library is reported when a scenario first needs the driver,
    // so that scenarios of the simulated devices alone still run.
    // One that is there must be a regular file, wherever it was named: a FIFO
    // would keep the loader waiting for a writer.
    std::string driver = ResolveDriver(options.driverPath);
    const bool named = !options.driverPath.empty();
    if (named || (!driver.empty() && std::filesystem::exists(driver))) {
        if (std::string problem = host::RegularFileProblem(driver); !problem.empty()) {
            return InputError((named ? "--driver " : "HALVEX_DRIVER ") + driver + ": " + problem);
        }
    }
    switch (options.mode) {
    case host::Mode::CheckConfig:
        return host::RunIsolated("the configuration check", [&] {
            return host::CheckConfig(options.configPath, driver, options.json);
        });
    case host::Mode::Bench:
        return host::RunHostBench(driver);
    case host::Mode::Soak:
        return host::RunIsolated("the soak", [&] {
            return host::RunSoak(driver, options.soakMinutes, options.soakSeed);
        });
    case host::Mode::Faults:
        return host::RunFaults(options);
    default:
        return RunScenarios(options, driver);
    }
}

} // namespace

int main(int argc, char** argv) {
    host::ReportOutOfMemoryAtTermination();
    return host::FinishOutput(host::RunGuarded("the host", [&] { return Main(argc, argv); }));
}
