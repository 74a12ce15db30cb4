#include "host/CommandLine.h"
#include "host/Limits.h"
#include "host/Tokens.h"

namespace host {

const char* UsageText() {
    return "usage: halvex-host [--driver PATH] [--config FILE.reg] [--trace error|flow|verbose]\n"
           "                   [--json] [--time-scale F] [SCENARIO.scn ...]\n"
           "       halvex-host --check-config FILE.reg [--json] [--driver PATH]\n"
           "       halvex-host --bench [--driver PATH]\n"
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
        } else if (!arg.empty() && arg[0] == '-') {
            return fail("unknown option '" + Printable(arg) + "'");
        } else {
            options.scenarios.push_back(arg);
        }
    }
    if (checkConfig && bench) {
        return fail("--check-config and --bench cannot be combined");
    }
    if ((checkConfig || bench) && !options.scenarios.empty()) {
        return fail(std::string(checkConfig ? "--check-config" : "--bench") +
                    " takes no scenario files");
    }
    if (checkConfig) {
        options.mode = Mode::CheckConfig;
    } else if (bench) {
        options.mode = Mode::Bench;
    }
    result.options = options;
    return result;
}

} // namespace host
