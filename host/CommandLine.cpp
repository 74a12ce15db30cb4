#include "host/CommandLine.h"
#include "host/Limits.h"
#include "host/Tokens.h"

#include <cerrno>
#include <cstdlib>

namespace host {

namespace {

// A day at most: a mistyped number must not keep a machine busy for weeks.
std::optional<double> ParseSoakMinutes(const std::string& text) {
    char* end = nullptr;
    double minutes = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(minutes > 0.0 && minutes <= 1440.0)) {
        return std::nullopt;
    }
    return minutes;
}

std::optional<std::uint64_t> ParseSeed(const std::string& text) {
    if (text.empty() || text.size() > 20 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    errno = 0;
    unsigned long long seed = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE) {
        return std::nullopt;
    }
    return seed;
}

} // namespace

const char* UsageText() {
    return "usage: halvex-host [--driver PATH] [--config FILE.reg] [--trace error|flow|verbose]\n"
           "                   [--json] [--time-scale F] [SCENARIO.scn ...]\n"
           "       halvex-host --check-config FILE.reg [--json] [--driver PATH]\n"
           "       halvex-host --bench [--driver PATH]\n"
           "       halvex-host --soak [--minutes N] [--seed S] [--driver PATH]\n"
           "       halvex-host --faults [--budget SECONDS] [--all-calls] [--jobs N] "
           "[SCENARIO.scn ...]\n"
           "       halvex-host --help\n"
           "With no scenario, runs the built-in walk: a modem and a WLAN channel behind one "
           "sensor,\n"
           "device add, start, the sensor cleared and set, a WWAN interface, display off and "
           "on,\n"
           "hibernate and resume, removal. With --config and no scenario, walks that "
           "configuration.\n"
           "The scenario language: docs/scenarios.md.\n"
           "Exit status: 0 every check held, 1 a check failed, 2 bad command line, file or "
           "syntax,\nor a command the machine cannot carry out, 3 a scenario crashed.\n";
}

CommandLineResult ParseCommandLine(const std::vector<std::string>& args) {
    CommandLineResult result;
    Options options;
    bool checkConfig = false;
    bool bench = false;
    bool soak = false;
    bool soakOption = false;
    bool faults = false;
    auto fail = [&](std::string message) {
        result.error = std::move(message);
        return result;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) {
                return false;
            }
            *out = args[++i];
            return true;
        };
        std::string v;
        if (arg == "-h" || arg == "--help") {
            options.mode = Mode::Help;
            result.options = options;
            return result;
        } else if (arg == "--driver") {
            if (!value(&options.driverPath)) {
                return fail("--driver needs the path of a driver library");
            }
        } else if (arg == "--config") {
            if (!value(&options.configPath)) {
                return fail("--config needs a .reg file");
            }
        } else if (arg == "--check-config") {
            if (!value(&options.configPath)) {
                return fail("--check-config needs a .reg file");
            }
            checkConfig = true;
        } else if (arg == "--trace") {
            if (!value(&v)) {
                return fail("--trace needs a level: error, flow or verbose");
            }
            if (v == "error") {
                options.traceLevel = 2;
            } else if (v == "flow") {
                options.traceLevel = 4;
            } else if (v == "verbose") {
                options.traceLevel = 5;
            } else {
                return fail("--trace: expected error, flow or verbose, found '" + Printable(v) +
                            "'");
            }
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--time-scale") {
            if (!value(&v)) {
                return fail("--time-scale needs a factor, such as 0.001");
            }
            auto scale = ParseScale(v);
            if (!scale) {
                return fail(std::string("--time-scale: expected a number ") + kTimeScaleRangeText +
                            ", found '" + Printable(v) + "'");
            }
            options.timeScale = *scale;
        } else if (arg == "--bench") {
            bench = true;
        } else if (arg == "--soak") {
            soak = true;
        } else if (arg == "--minutes") {
            soakOption = true;
            auto minutes = value(&v) ? ParseSoakMinutes(v) : std::nullopt;
            if (!minutes) {
                return fail("--minutes: expected a number of minutes above 0, at most 1440");
            }
            options.soakMinutes = *minutes;
        } else if (arg == "--seed") {
            soakOption = true;
            auto seed = value(&v) ? ParseSeed(v) : std::nullopt;
            if (!seed) {
                return fail("--seed: expected a decimal number below 2^64");
            }
            options.soakSeed = *seed;
        } else if (arg == "--faults") {
            faults = true;
        } else if (arg == "--all-calls") {
            options.allCalls = true;
        } else if (arg == "--budget" || arg == "--jobs") {
            char* end = nullptr;
            double n = value(&v) ? std::strtod(v.c_str(), &end) : 0;
            if (end == nullptr || *end != '\0' || v.empty() || !(n >= 1) || n > 1e6 ||
                (arg == "--jobs" && n != static_cast<unsigned>(n))) {
                return fail(arg + " needs a number of " +
                            (arg == "--jobs" ? "runs at once" : "seconds") + ", 1 or more");
            }
            if (arg == "--jobs") {
                options.jobs = static_cast<unsigned>(n);
            } else {
                options.budgetSeconds = n;
            }
        } else if (arg == "--fault") {
            if (!value(&options.faultCall) ||
                options.faultCall.find_last_of(':') == std::string::npos) {
                return fail("--fault needs POINT:CALL, such as CM_Register_Notification:1");
            }
        } else if (arg == "--fault-record") {
            if (!value(&options.faultRecord)) {
                return fail("--fault-record needs a file");
            }
        } else if (!arg.empty() && arg[0] == '-') {
            return fail("unknown option '" + Printable(arg) + "'");
        } else {
            options.scenarios.push_back(arg);
        }
    }
    if (checkConfig + bench + soak + faults > 1) {
        return fail("--check-config, --bench, --soak and --faults cannot be combined");
    }
    if (soakOption && !soak) {
        return fail("--minutes and --seed go with --soak");
    }
    if (soak && !options.scenarios.empty()) {
        return fail("--soak takes no scenario files");
    }
    if (!faults && (options.allCalls || options.jobs != 0 || options.budgetSeconds != 0)) {
        return fail("--budget, --all-calls and --jobs go with --faults");
    }
    if ((checkConfig || bench) && !options.scenarios.empty()) {
        return fail(std::string(checkConfig ? "--check-config" : "--bench") +
                    " takes no scenario files");
    }
    if (checkConfig) {
        options.mode = Mode::CheckConfig;
    } else if (bench) {
        options.mode = Mode::Bench;
    } else if (soak) {
        options.mode = Mode::Soak;
    } else if (faults) {
        options.mode = Mode::Faults;
    }
    result.options = options;
    return result;
}

} // namespace host
