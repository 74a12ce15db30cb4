// Runs one parsed scenario against a fresh machine in this process and prints
// its timeline. Returns the scenario's exit status: 0 every check held, 1 a
// check failed, 2 the host could not do what a command asked (an unreadable
// or malformed .reg file, a driver that cannot be loaded).
#pragma once

#include "host/cli/CommandLine.h"
#include "host/faults/FaultRecord.h"
#include "host/scenario/Scenario.h"

#include <string>
#include <vector>

namespace host {

struct RunSettings {
    std::string driverPath;
    std::string configPath;    // imported before the first command, when set
    std::string builtinConfig; // .reg text imported before the first command, when set
    int traceLevel = 0;
    bool json = false;
    std::optional<double> timeScale;
    // When set, the run fills it for the fault runner, and ends with the
    // device removed and the driver unloaded whatever the scenario left.
    FaultRecord* record = nullptr;
    // Where the record goes (--fault-record). It is written before the
    // timeline's last line, so that a record that cannot be written makes
    // the run's status 2 there as well.
    std::string recordPath;
};

int RunScenario(const Scenario& scenario, const RunSettings& settings);

// Every configuration a run of these scenarios imports (`configPath`, when
// set, and each `config` line), read and checked before any scenario runs,
// so that a malformed one never leaves the scenarios before it run for
// nothing. The first problem, "FILE:LINE: ..." for a config line; empty when
// every one is sound.
std::string CheckConfigurations(const std::string& configPath,
                                const std::vector<Scenario>& scenarios);

} // namespace host
