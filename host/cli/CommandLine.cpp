#include "host/cli/CommandLine.h"
#include "host/cli/Limits.h"
#include "host/scenario/Tokens.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <thread>

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

// Which modes read each option. One that the mode would not read is refused,
// so that a run is never taken for what it did not do.
enum ModeBit : unsigned { kRun = 1, kCheck = 2, kBench = 4, kSoak = 8, kFaults = 16 };

struct OptionUse {
    const char* option;
    unsigned modes;
    const char* why; // said when the option is refused; may be empty
    // It takes a value, which a second one would silently replace (--config
    // has a check of its own, shared with --check-config).
    bool once;
};

constexpr OptionUse kOptionUses[] = {
    {"--driver", kRun | kCheck | kBench | kSoak | kFaults, "", true},
    {"--config", kRun | kFaults,
     "--check-config takes its file itself; the soak and the bench build configurations of "
     "their own",
     false},
    {"--trace", kRun, "only a scenario run prints a timeline", true},
    {"--json", kRun | kCheck, "", false},
    {"--time-scale", kRun | kFaults, "", true},
    {"--minutes", kSoak, "", true},
    {"--seed", kSoak, "", true},
    {"--budget", kFaults, "", true},
    {"--all-calls", kFaults, "", false},
    {"--jobs", kFaults, "", true},
    {"--fault", kRun, "", true},
    {"--fault-record", kRun, "", true},
};

std::string ModeName(unsigned mode) {
    switch (mode) {
    case kCheck:
        return "--check-config";
    case kBench:
        return "--bench";
    case kSoak:
        return "--soak";
    case kFaults:
        return "--faults";
    default:
        return "a scenario run";
    }
}

bool IsOption(const std::string& arg) {
    return !arg.empty() && arg[0] == '-';
}

// POINT:CALL. The call is counted in 32 bits, from 1; whether the point is
// one the machine has is for the host to say, which knows the machine.
bool ParseFaultCall(const std::string& text, std::string* point, std::uint32_t* call) {
    std::size_t colon = text.find_last_of(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string number = text.substr(colon + 1);
    if (number.empty() || number.size() > 10 ||
        number.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long long n = std::strtoull(number.c_str(), nullptr, 10);
    if (n < 1 || n > 0xFFFFFFFFull) {
        return false;
    }
    *point = text.substr(0, colon);
    *call = static_cast<std::uint32_t>(n);
    return true;
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
    // A path: the next argument unless it is an option.
    bool PathValue(std::string* out) {
        return mAt + 1 < mArgs.size() && !IsOption(mArgs[mAt + 1]) && Value(out);
    }
    // A .reg file: the next argument, or, when options come first, the first
    // argument after them that is not one (`--check-config --json x.reg`).
    void FileValue(const std::string& option, std::string* out) {
        if (!PathValue(out)) {
            mPendingOption = option;
            mPendingFile = out;
        }
    }
    // Records the first error; the reader stops at it.
    bool Fail(std::string message) {
        mError = std::move(message);
        return true;
    }
    bool ReadRunOption(const std::string& arg);
    bool ReadSoakOption(const std::string& arg);
    bool ReadFaultOption(const std::string& arg);
    // An option that takes a value counts once: a second one would silently
    // replace the first.
    bool Repeated(const std::string& arg);
    // The mode the options ask for; false (with the error) when they do not
    // go together.
    bool ResolveMode();

    const std::vector<std::string>& mArgs;
    std::size_t mAt = 0;
    Options mOptions;
    std::string mError;
    std::vector<std::string> mGiven; // the options met, once each
    std::string mPendingOption;      // --config or --check-config still without its file
    std::string* mPendingFile = nullptr;
    bool mCheckConfig = false;
    bool mBench = false;
    bool mSoak = false;
    bool mFaults = false;
};

// The driver, the configuration, what is printed and the time scale.
bool CommandLineReader::ReadRunOption(const std::string& arg) {
    std::string v;
    if (arg == "--driver") {
        return PathValue(&mOptions.driverPath) ||
               Fail("--driver needs the path of a driver library");
    }
    if (arg == "--config" || arg == "--check-config") {
        if (!mOptions.configPath.empty() || mPendingFile != nullptr) {
            return Fail("--config and --check-config name one .reg file between them");
        }
        mCheckConfig = mCheckConfig || arg == "--check-config";
        FileValue(arg, &mOptions.configPath);
        return true;
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
        auto minutes = Value(&v) ? ParseSoakMinutes(v) : std::nullopt;
        if (!minutes) {
            return Fail("--minutes: expected a number of minutes above 0, at most 1440");
        }
        mOptions.soakMinutes = *minutes;
        return true;
    }
    if (arg == "--seed") {
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
        const bool jobs = arg == "--jobs";
        const double most = jobs ? MaxJobs() : kMaxBudgetSeconds;
        char* end = nullptr;
        double n = Value(&v) ? std::strtod(v.c_str(), &end) : 0;
        if (end == nullptr || *end != '\0' || v.empty() || !(n >= 1) || n > most ||
            (jobs && n != static_cast<unsigned>(n))) {
            return Fail(jobs ? "--jobs needs a number of runs at once from 1 to " +
                                   std::to_string(MaxJobs()) + " (at most " +
                                   std::to_string(kMaxJobsPerCore) +
                                   " runs at once per core on this machine)"
                             : std::string("--budget needs a number of seconds from 1 to ") +
                                   kMaxBudgetText);
        }
        if (jobs) {
            mOptions.jobs = static_cast<unsigned>(n);
        } else {
            mOptions.budgetSeconds = n;
        }
        return true;
    }
    if (arg == "--fault") {
        if (!Value(&v) || !ParseFaultCall(v, &mOptions.faultPoint, &mOptions.faultCall)) {
            return Fail("--fault needs POINT:CALL, CALL a call number from 1 to 4294967295, such "
                        "as CM_Register_Notification:1" +
                        (v.empty() ? std::string() : ", found '" + Printable(v) + "'"));
        }
        return true;
    }
    if (arg == "--fault-record") {
        return PathValue(&mOptions.faultRecord) || Fail("--fault-record needs a file");
    }
    return false;
}

bool CommandLineReader::Repeated(const std::string& arg) {
    if (std::find(mGiven.begin(), mGiven.end(), arg) == mGiven.end()) {
        mGiven.push_back(arg);
        return false;
    }
    bool once = std::any_of(std::begin(kOptionUses), std::end(kOptionUses),
                            [&](const OptionUse& use) { return use.once && arg == use.option; });
    return once && Fail(arg + " is given twice: give it once");
}

bool CommandLineReader::ResolveMode() {
    if (mCheckConfig + mBench + mSoak + mFaults > 1) {
        return !Fail("--check-config, --bench, --soak and --faults cannot be combined");
    }
    const unsigned mode = mCheckConfig ? kCheck
                          : mBench     ? kBench
                          : mSoak      ? kSoak
                          : mFaults    ? kFaults
                                       : kRun;
    if ((mode == kCheck || mode == kBench || mode == kSoak) && !mOptions.scenarios.empty()) {
        return !Fail(ModeName(mode) + " takes no scenario files");
    }
    for (const OptionUse& use : kOptionUses) {
        bool given = std::find(mGiven.begin(), mGiven.end(), use.option) != mGiven.end();
        if (given && (use.modes & mode) == 0) {
            std::string goesWith;
            for (unsigned m = kRun; m <= kFaults; m <<= 1) {
                if ((use.modes & m) != 0) {
                    goesWith += (goesWith.empty() ? "" : ", ") + ModeName(m);
                }
            }
            return !Fail(std::string(use.option) + " does not go with " + ModeName(mode) +
                         ": it goes with " + goesWith +
                         (*use.why != '\0' ? std::string(" (") + use.why + ")" : ""));
        }
    }
    mOptions.mode = mode == kCheck    ? Mode::CheckConfig
                    : mode == kBench  ? Mode::Bench
                    : mode == kSoak   ? Mode::Soak
                    : mode == kFaults ? Mode::Faults
                                      : Mode::Run;
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
        if (IsOption(arg) && Repeated(arg)) {
            break;
        }
        if (ReadRunOption(arg) || ReadSoakOption(arg) || ReadFaultOption(arg)) {
            continue;
        }
        if (IsOption(arg)) {
            Fail("unknown option '" + Printable(arg) + "'");
        } else if (mPendingFile != nullptr) {
            *mPendingFile = arg;
            mPendingFile = nullptr;
        } else {
            mOptions.scenarios.push_back(arg);
        }
    }
    if (mError.empty() && mPendingFile != nullptr) {
        Fail(mPendingOption + " needs a .reg file");
    }
    if (mError.empty() && ResolveMode()) {
        result.options = mOptions;
    }
    result.error = mError;
    return result;
}

} // namespace

unsigned MaxJobs() {
    return kMaxJobsPerCore * std::max(1u, std::thread::hardware_concurrency());
}

const char* UsageText() {
    return "usage: halvex-host [--driver PATH] [--config FILE.reg] [--trace error|flow|verbose]\n"
           "                   [--json] [--time-scale F] [--fault POINT:CALL] [--fault-record "
           "FILE]\n"
           "                   [SCENARIO.scn ...]\n"
           "       halvex-host --check-config FILE.reg [--json] [--driver PATH]\n"
           "       halvex-host --bench [--driver PATH]\n"
           "       halvex-host --soak [--minutes N] [--seed S] [--driver PATH]\n"
           "       halvex-host --faults [--budget SECONDS] [--all-calls] [--jobs N] [--driver "
           "PATH]\n"
           "                   [--config FILE.reg] [--time-scale F] [SCENARIO.scn ...]\n"
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
