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

// Reads the arguments one option family at a time; each family's reader
// takes the argument at hand when it is one of its own.
class CommandLineReader {
public:
    explicit CommandLineReader(const std::vector<std::string>& args) : mArgs(args) {}

    CommandLineResult Read();

private:
    // The option's value, the next argument; false when there is none.
    bool Value(std::string* out) {
        if (mAt + 1 >= mArgs.size()) {
            return false;
        }
        *out = mArgs[++mAt];
        return true;
    }
    // Records the first error; the reader stops at it.
    bool Fail(std::string message) {
        mError = std::move(message);
        return true;
    }
    bool ReadRunOption(const std::string& arg);
    bool ReadSoakOption(const std::string& arg);
    bool ReadFaultOption(const std::string& arg);
    // The mode the options ask for; false (with the error) when they do not
    // go together.
    bool ResolveMode();

    const std::vector<std::string>& mArgs;
    std::size_t mAt = 0;
    Options mOptions;
    std::string mError;
    bool mCheckConfig = false;
    bool mBench = false;
    bool mSoak = false;
    bool mSoakOption = false;
    bool mFaults = false;
};

// The driver, the configuration, what is printed and the time scale.
bool CommandLineReader::ReadRunOption(const std::string& arg) {
    std::string v;
    if (arg == "--driver") {
        return Value(&mOptions.driverPath) || Fail("--driver needs the path of a driver library");
    }
    if (arg == "--config") {
        return Value(&mOptions.configPath) || Fail("--config needs a .reg file");
    }
    if (arg == "--check-config") {
        mCheckConfig = true;
        return Value(&mOptions.configPath) || Fail("--check-config needs a .reg file");
    }
    if (arg == "--trace") {
        if (!Value(&v)) {
            return Fail("--trace needs a level: error, flow or verbose");
        }
        if (v == "error") {
            mOptions.traceLevel = 2;
        } else if (v == "flow") {
            mOptions.traceLevel = 4;
        } else if (v == "verbose") {
            mOptions.traceLevel = 5;
        } else {
            return Fail("--trace: expected error, flow or verbose, found '" + Printable(v) + "'");
        }
        return true;
    }
    if (arg == "--json") {
        mOptions.json = true;
        return true;
    }
    if (arg == "--time-scale") {
        if (!Value(&v)) {
            return Fail("--time-scale needs a factor, such as 0.001");
        }
        auto scale = ParseScale(v);
        if (!scale) {
            return Fail(std::string("--time-scale: expected a number ") + kTimeScaleRangeText +
                        ", found '" + Printable(v) + "'");
        }
        mOptions.timeScale = *scale;
        return true;
    }
    if (arg == "--bench") {
        mBench = true;
        return true;
    }
    return false;
}

bool CommandLineReader::ReadSoakOption(const std::string& arg) {
    std::string v;
    if (arg == "--soak") {
        mSoak = true;
        return true;
    }
    if (arg == "--minutes") {
        mSoakOption = true;
        auto minutes = Value(&v) ? ParseSoakMinutes(v) : std::nullopt;
        if (!minutes) {
            return Fail("--minutes: expected a number of minutes above 0, at most 1440");
        }
        mOptions.soakMinutes = *minutes;
        return true;
    }
    if (arg == "--seed") {
        mSoakOption = true;
        auto seed = Value(&v) ? ParseSeed(v) : std::nullopt;
        if (!seed) {
            return Fail("--seed: expected a decimal number below 2^64");
        }
        mOptions.soakSeed = *seed;
        return true;
    }
    return false;
}

// The fault runner's options, and those of the runs it starts.
bool CommandLineReader::ReadFaultOption(const std::string& arg) {
    std::string v;
    if (arg == "--faults") {
        mFaults = true;
        return true;
    }
    if (arg == "--all-calls") {
        mOptions.allCalls = true;
        return true;
    }
    if (arg == "--budget" || arg == "--jobs") {
        char* end = nullptr;
        double n = Value(&v) ? std::strtod(v.c_str(), &end) : 0;
        if (end == nullptr || *end != '\0' || v.empty() || !(n >= 1) || n > 1e6 ||
            (arg == "--jobs" && n != static_cast<unsigned>(n))) {
            return Fail(arg + " needs a number of " +
                        (arg == "--jobs" ? "runs at once" : "seconds") + ", 1 or more");
        }
        if (arg == "--jobs") {
            mOptions.jobs = static_cast<unsigned>(n);
        } else {
            mOptions.budgetSeconds = n;
        }
        return true;
    }
    if (arg == "--fault") {
        if (!Value(&mOptions.faultCall) ||
            mOptions.faultCall.find_last_of(':') == std::string::npos) {
            return Fail("--fault needs POINT:CALL, such as CM_Register_Notification:1");
        }
        return true;
    }
    if (arg == "--fault-record") {
        return Value(&mOptions.faultRecord) || Fail("--fault-record needs a file");
    }
    return false;
}

bool CommandLineReader::ResolveMode() {
    if (mCheckConfig + mBench + mSoak + mFaults > 1) {
        return !Fail("--check-config, --bench, --soak and --faults cannot be combined");
    }
    if (mSoakOption && !mSoak) {
        return !Fail("--minutes and --seed go with --soak");
    }
    if (mSoak && !mOptions.scenarios.empty()) {
        return !Fail("--soak takes no scenario files");
    }
    if (!mFaults && (mOptions.allCalls || mOptions.jobs != 0 || mOptions.budgetSeconds != 0)) {
        return !Fail("--budget, --all-calls and --jobs go with --faults");
    }
    if ((mCheckConfig || mBench) && !mOptions.scenarios.empty()) {
        return !Fail(std::string(mCheckConfig ? "--check-config" : "--bench") +
                     " takes no scenario files");
    }
    if (mCheckConfig) {
        mOptions.mode = Mode::CheckConfig;
    } else if (mBench) {
        mOptions.mode = Mode::Bench;
    } else if (mSoak) {
        mOptions.mode = Mode::Soak;
    } else if (mFaults) {
        mOptions.mode = Mode::Faults;
    }
    return true;
}

CommandLineResult CommandLineReader::Read() {
    CommandLineResult result;
    for (mAt = 0; mAt < mArgs.size() && mError.empty(); ++mAt) {
        const std::string& arg = mArgs[mAt];
        if (arg == "-h" || arg == "--help") {
            mOptions.mode = Mode::Help;
            result.options = mOptions;
            return result;
        }
        if (ReadRunOption(arg) || ReadSoakOption(arg) || ReadFaultOption(arg)) {
            continue;
        }
        if (!arg.empty() && arg[0] == '-') {
            Fail("unknown option '" + Printable(arg) + "'");
        } else {
            mOptions.scenarios.push_back(arg);
        }
    }
    if (mError.empty() && ResolveMode()) {
        result.options = mOptions;
    }
    result.error = mError;
    return result;
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
    return CommandLineReader(args).Read();
}

} // namespace host
