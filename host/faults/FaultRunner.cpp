#include "host/faults/FaultRunner.h"
#include "host/faults/FaultRecord.h"
#include "host/scenario/Runner.h"
#include "host/scenario/Scenario.h"
#include "host/scenario/Tokens.h"

#include "platform/sim/clock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kDefaultBudgetSeconds = 300;
// A run of many minutes says how far it has come at least this often.
constexpr std::chrono::seconds kProgressEvery(10);
// A clean run may take as long as the scenario's own waits last at its time
// scale, and this much more: a scenario that passes on its own passes its
// clean run. A fault run may take kRunBoundFactor times its clean run, and at
// least this. Past its bound a run is taken for a hang.
constexpr std::chrono::seconds kRunBound(60);
constexpr int kRunBoundFactor = 5;

// Calls on a handle the caller holds, which the platform fails only for a
// handle that is not valid (a fault of the caller that the sanitizers and the
// leak report show on their own), and calls that cannot fail at all, whose
// points only hold a call: never failed.
const std::set<std::string, std::less<>> kNeverFailing = {
    "SetEvent", "WaitForSingleObject", "WaitForMultipleObjects", "WdfTimerStart"};

// A release call that fails leaves what it was to release: one leftover of
// its kind is the fault's own, not the driver's (the leak report's line).
const std::map<std::string, std::string, std::less<>> kReleaseLeaves = {
    {"CloseHandle", "handles left open: 1"},
    {"CM_Unregister_Notification", "configuration manager registrations left open: 1"},
    {"CancelMibChangeNotify2", "IP interface registrations left open: 1"},
    {"PowerSettingUnregisterNotification", "display registrations left open: 1"},
    {"UnregisterTraceGuids", "software trace registrations left open: 1"},
    {"WlanCloseHandle", "WLAN registrations left open: 1"}};

struct Target {
    std::string path; // empty: the built-in walk
    std::string name;
    Clock::duration waits{}; // the scenario's waits in real time
    std::optional<FaultRecord> clean;
    Clock::duration cleanTime{};
    std::string cleanProblem;
    unsigned runs = 0;
    unsigned passed = 0;
    unsigned notReached = 0;
};

struct FaultRun {
    std::size_t target = 0;
    std::string point; // empty: the clean run
    unsigned call = 0;
    std::string dir;
    pid_t pid = -1;
    Clock::time_point started;
    Clock::duration bound{};
    bool killed = false;
    int raw = 0;
};

Target MakeTarget(std::string path, std::string name) {
    Target target;
    target.path = std::move(path);
    target.name = std::move(name);
    return target;
}

FaultRun MakeRun(std::size_t target, std::string point = {}, unsigned call = 0) {
    FaultRun run;
    run.target = target;
    run.point = std::move(point);
    run.call = call;
    return run;
}

struct Failure {
    std::size_t target;
    std::string point;
    unsigned call;
    std::string what;
    std::string dir;
};

std::string SelfPath() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("halvex-host") : path.string();
}

std::string ScaleText(double scale) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", scale);
    return text;
}

// --fault's POINT:CALL; empty for the clean run.
std::string FaultArg(const std::string& point, unsigned call) {
    return point.empty() ? std::string() : point + ":" + std::to_string(call);
}

// The run's command line, without the program; `fault` empty for a clean run.
std::vector<std::string> RunArgs(const Options& options, const Target& target,
                                 const std::string& record, const std::string& fault) {
    std::vector<std::string> args{"--fault-record", record};
    if (!fault.empty()) {
        args.insert(args.end(), {"--fault", fault});
    }
    if (!options.driverPath.empty()) {
        args.insert(args.end(), {"--driver", options.driverPath});
    }
    if (!options.configPath.empty()) {
        args.insert(args.end(), {"--config", options.configPath});
    }
    if (options.timeScale) {
        args.insert(args.end(), {"--time-scale", ScaleText(*options.timeScale)});
    }
    if (!target.path.empty()) {
        args.push_back(target.path);
    }
    return args;
}

// Starts the host itself in a process group of its own (so that a hang can be
// killed with the scenario's own child), output into the run's folder.
pid_t Spawn(const std::string& self, const std::vector<std::string>& args, const std::string& dir) {
    std::vector<std::string> all{self};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int out = open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0) {
            _exit(127);
        }
        dup2(out, 1);
        dup2(err, 2);
        execv(self.c_str(), argv.data());
        _exit(127);
    }
    if (pid > 0) {
        setpgid(pid, pid);
    }
    return pid;
}

std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The first line of a sanitizer's report in the run's error output.
std::string SanitizerLine(const std::string& dir) {
    for (const std::string& line : Lines(dir + "/err")) {
        for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                 "runtime error:", "ThreadSanitizer", "ERROR: UndefinedBehavior"}) {
            if (line.find(mark) != std::string::npos) {
                return line;
            }
        }
    }
    return {};
}

std::string OneLine(std::string text) {
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    std::replace(text.begin(), text.end(), '\n', ';');
    return text;
}

std::string NumberList(const std::vector<std::int32_t>& numbers) {
    std::string text;
    for (std::int32_t n : numbers) {
        text += (text.empty() ? "" : ",") + std::to_string(n);
    }
    return text;
}

// Indexes no row of the tables (nor the modem's own start) gives.
std::string RadioProblem(const FaultRecord& clean, const FaultRecord& run) {
    std::string problem;
    if (run.modemFinal) {
        for (std::int32_t index : *run.modemFinal) {
            if (!clean.modemTable.count(index) && !run.modemInitial.count(index)) {
                problem = "modem antennas at " + NumberList(*run.modemFinal) + ": " +
                          std::to_string(index) + " is in no MODEM table and not the initial index";
                break;
            }
        }
    }
    for (std::int32_t index : run.wlanFinal) {
        if (!clean.wlanTable.count(index)) {
            problem += (problem.empty() ? "" : "; ") + std::string("WLAN setting entries at ") +
                       NumberList(run.wlanFinal) + ": " + std::to_string(index) +
                       " is in no WLAN table";
            break;
        }
    }
    return problem;
}

// What went wrong with a finished run, or empty when it passed. `clean` is
// the scenario's clean record (the run's own for the clean run).
std::string Judge(const FaultRun& run, const FaultRecord* clean, std::optional<FaultRecord>* out) {
    if (run.killed) {
        return "hang: killed after " +
               std::to_string(std::chrono::duration_cast<std::chrono::seconds>(run.bound).count()) +
               " s";
    }
    if (WIFSIGNALED(run.raw)) {
        return "crash: signal " + std::to_string(WTERMSIG(run.raw)) + " (" +
               strsignal(WTERMSIG(run.raw)) + ")";
    }
    if (std::string line = SanitizerLine(run.dir); !line.empty()) {
        return "sanitizer: " + line;
    }
    const int status = WIFEXITED(run.raw) ? WEXITSTATUS(run.raw) : -1;
    if (status >= 3) {
        for (const std::string& line : Lines(run.dir + "/err")) {
            if (line.find("crashed") != std::string::npos) {
                return "crash: " + line;
            }
        }
        return "crash: status " + std::to_string(status);
    }
    *out = ReadFaultRecord(run.dir + "/record");
    if (!*out) {
        auto err = Lines(run.dir + "/err");
        return "no record of the run (status " + std::to_string(status) + ")" +
               (err.empty() ? "" : ": " + err.front());
    }
    const FaultRecord& record = **out;
    if (clean == nullptr) {
        clean = &record;
    }
    auto release = kReleaseLeaves.find(run.point);
    const bool ownLeftover = release != kReleaseLeaves.end() && record.faultFailed &&
                             record.leaks == release->second + "\n";
    if (!record.leaks.empty() && !ownLeftover) {
        return "leak: " + OneLine(record.leaks);
    }
    if (!record.endError.empty()) {
        return "removal and unload at the end: " + record.endError;
    }
    if (std::string radio = RadioProblem(*clean, record); !radio.empty()) {
        return "radio state: " + radio;
    }
    if (record.status == 0) {
        return {};
    }
    // An error trace the clean run did not draw by the same command, drawn by
    // the command that failed or before it, explains the failure.
    std::map<std::pair<int, std::string>, int> before;
    for (const auto& trace : clean->errorTraces) {
        ++before[trace];
    }
    if (&record != clean) {
        for (const auto& trace : record.errorTraces) {
            if (trace.first <= record.failureCommand && --before[trace] < 0) {
                return {};
            }
        }
    }
    std::string what =
        record.failure.empty() ? "status " + std::to_string(record.status) : record.failure;
    return std::string(&record == clean     ? "clean run failed: "
                       : record.faultFailed ? "unexplained failure (no new error trace): "
                                            : "failure with the call never reached: ") +
           what;
}

// The later calls of a point in the order they are sampled: the last, then
// the middle, then the quarters' middles and so on; every call in the end.
std::vector<unsigned> LaterCalls(unsigned count) {
    std::vector<unsigned> order;
    std::set<unsigned> taken{1};
    auto take = [&](unsigned c) {
        if (c >= 1 && c <= count && taken.insert(c).second) {
            order.push_back(c);
        }
    };
    take(count);
    for (unsigned parts = 2; order.size() + 1 < count; parts *= 2) {
        for (unsigned k = 1; k < parts; k += 2) {
            take(1 + (count - 1) * k / parts);
        }
        if (parts > count * 2) {
            for (unsigned c = 2; c <= count; ++c) {
                take(c);
            }
        }
    }
    return order;
}

class FaultRunner {
public:
    explicit FaultRunner(const Options& options) : mOptions(options) {}
    int Run();

private:
    // Starts runs while there are fewer than `jobs` and the budget lasts, and
    // waits for one to end; returns false when nothing is queued or running.
    bool Step();
    bool BudgetSpent() const;
    void Progress();
    void Start(FaultRun run);
    void Finish(FaultRun& run);
    std::string NewRunDir();
    // The command line that runs it again, showing its timeline; `fault`
    // empty for the clean run.
    std::string Replay(const Target& target, const std::string& fault) const;

    const Options& mOptions;
    std::string mSelf = SelfPath();
    std::string mDir;
    unsigned mJobs = 1;
    unsigned mNextDir = 0;
    Clock::time_point mStart = Clock::now();
    Clock::time_point mLastProgress = mStart;
    std::optional<std::chrono::duration<double>> mBudget; // none: --all-calls alone
    bool mCut = false;                                    // runs were left out for want of budget
    std::vector<Target> mTargets;
    std::deque<FaultRun> mQueue;
    std::vector<FaultRun> mRunning;
    std::vector<Failure> mFailures;
};

std::string FaultRunner::NewRunDir() {
    std::string dir = mDir + "/" + std::to_string(mNextDir++);
    std::filesystem::create_directory(dir);
    return dir;
}

void FaultRunner::Start(FaultRun run) {
    run.dir = NewRunDir();
    const Target& target = mTargets[run.target];
    if (run.point.empty()) {
        run.bound = kRunBound + target.waits;
        if (target.waits >= std::chrono::seconds(1)) {
            std::printf("-- faults: %s waits %.0f s at its time scale: its clean run may take "
                        "%.0f s\n",
                        target.name.c_str(), std::chrono::duration<double>(target.waits).count(),
                        std::chrono::duration<double>(run.bound).count());
        }
    } else {
        run.bound = std::max<Clock::duration>(kRunBound, target.cleanTime * kRunBoundFactor);
    }
    run.started = Clock::now();
    run.pid =
        Spawn(mSelf, RunArgs(mOptions, target, run.dir + "/record", FaultArg(run.point, run.call)),
              run.dir);
    if (run.pid < 0) {
        std::fprintf(stderr, "halvex-host: cannot start a run: %s\n", std::strerror(errno));
        run.raw = 2 << 8;
        Finish(run);
        return;
    }
    mRunning.push_back(std::move(run));
}

bool FaultRunner::BudgetSpent() const {
    return mBudget && Clock::now() - mStart > *mBudget;
}

// Runs done, passed and failed so far, and the time the budget has left.
void FaultRunner::Progress() {
    const auto now = Clock::now();
    if (now - mLastProgress < kProgressEvery) {
        return;
    }
    mLastProgress = now;
    unsigned runs = 0;
    unsigned passed = 0;
    for (const Target& target : mTargets) {
        runs += target.runs;
        passed += target.passed;
    }
    std::string left = "no budget (--all-calls)";
    if (mBudget) {
        const double seconds = std::chrono::duration<double>(*mBudget - (now - mStart)).count();
        left = std::to_string(static_cast<long>(std::max(0.0, seconds))) + " s of the budget left";
    }
    std::printf("-- faults: %u run(s) done, %u passed, %zu failed, %zu under way, %s\n", runs,
                passed, mFailures.size(), mRunning.size(), left.c_str());
    std::fflush(stdout);
}

bool FaultRunner::Step() {
    // Once the budget is spent no run starts, whatever the round: those under
    // way finish, within their own bound.
    if (!mQueue.empty() && BudgetSpent()) {
        mCut = true;
        mQueue.clear();
    }
    while (mRunning.size() < mJobs && !mQueue.empty()) {
        FaultRun run = std::move(mQueue.front());
        mQueue.pop_front();
        Start(std::move(run));
    }
    if (mRunning.empty()) {
        return false;
    }
    Progress();
    int raw = 0;
    pid_t done = waitpid(-1, &raw, WNOHANG);
    if (done <= 0) {
        const auto now = Clock::now();
        for (FaultRun& run : mRunning) {
            if (!run.killed && now - run.started > run.bound) {
                run.killed = true;
                kill(-run.pid, SIGKILL);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return true;
    }
    auto it = std::find_if(mRunning.begin(), mRunning.end(),
                           [&](const FaultRun& r) { return r.pid == done; });
    if (it != mRunning.end()) {
        FaultRun run = std::move(*it);
        mRunning.erase(it);
        run.raw = raw;
        // The scenario's own child may outlive a killed run.
        kill(-run.pid, SIGKILL);
        Finish(run);
    }
    return true;
}

void FaultRunner::Finish(FaultRun& run) {
    Target& target = mTargets[run.target];
    std::optional<FaultRecord> record;
    if (run.point.empty()) {
        target.cleanTime = Clock::now() - run.started;
        target.cleanProblem = Judge(run, nullptr, &record);
        target.clean = record;
        if (!target.cleanProblem.empty()) {
            mFailures.push_back({run.target, "", 0, target.cleanProblem, run.dir});
        } else {
            std::filesystem::remove_all(run.dir);
        }
        return;
    }
    ++target.runs;
    std::string what = Judge(run, &*target.clean, &record);
    if (record && !record->faultFailed) {
        ++target.notReached;
    }
    if (what.empty()) {
        ++target.passed;
        std::filesystem::remove_all(run.dir);
    } else {
        mFailures.push_back({run.target, run.point, run.call, what, run.dir});
    }
}

std::string FaultRunner::Replay(const Target& target, const std::string& fault) const {
    std::string line = "halvex-host";
    for (const std::string& a : RunArgs(mOptions, target, "", fault)) {
        if (!a.empty() && a != "--fault-record") {
            line += " " + a;
        }
    }
    return line;
}

int FaultRunner::Run() {
    // Every input is read and checked before the first run, as a scenario
    // run checks it.
    std::vector<Scenario> scenarios;
    for (const std::string& path : mOptions.scenarios) {
        ParseResult parsed = ParseScenarioFile(path);
        if (!parsed.scenario) {
            std::fprintf(stderr, "halvex-host: %s\n", Printable(parsed.error->ToString()).c_str());
            return 2;
        }
        scenarios.push_back(*parsed.scenario);
        mTargets.push_back(MakeTarget(path, path));
        mTargets.back().waits = std::chrono::duration_cast<Clock::duration>(
            RealWaitTime(*parsed.scenario, mOptions.timeScale.value_or(sim::TimeScale())));
    }
    if (std::string error = CheckConfigurations(mOptions.configPath, scenarios); !error.empty()) {
        std::fprintf(stderr, "halvex-host: %s\n", Printable(error).c_str());
        return 2;
    }
    if (mOptions.scenarios.empty()) {
        mTargets.push_back(
            MakeTarget("", mOptions.configPath.empty() ? "the built-in walk" : "the walk"));
    }
    // Under TMPDIR: the folder stays when a run failed, and a test suite
    // that expects failures keeps them in its own tree.
    std::error_code ec;
    std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
    std::string pattern =
        ((ec ? std::filesystem::path("/tmp") : temp) / "halvex-faults.XXXXXX").string();
    if (const char* made = mkdtemp(pattern.data()); made != nullptr) {
        mDir = made;
    } else {
        std::fprintf(stderr, "halvex-host: cannot make a folder for the runs: %s\n",
                     std::strerror(errno));
        return 2;
    }
    mJobs = mOptions.jobs != 0 ? mOptions.jobs : std::max(1u, std::thread::hardware_concurrency());
    mStart = Clock::now();
    mLastProgress = mStart;
    if (!mOptions.allCalls || mOptions.budgetSeconds > 0) {
        mBudget = std::chrono::duration<double>(mOptions.budgetSeconds > 0 ? mOptions.budgetSeconds
                                                                           : kDefaultBudgetSeconds);
    }

    for (std::size_t t = 0; t < mTargets.size(); ++t) {
        mQueue.push_back(MakeRun(t));
    }
    while (Step()) {
    }
    // Every point's first call, then the later calls round by round.
    std::vector<std::vector<std::pair<std::string, std::vector<unsigned>>>> later(mTargets.size());
    for (std::size_t t = 0; t < mTargets.size(); ++t) {
        if (!mTargets[t].clean || !mTargets[t].cleanProblem.empty()) {
            continue; // the clean run failed, or the budget was spent before it
        }
        for (const auto& [point, calls] : mTargets[t].clean->points) {
            if (kNeverFailing.count(point)) {
                continue;
            }
            mQueue.push_back(MakeRun(t, point, 1));
            later[t].emplace_back(point, LaterCalls(calls));
        }
    }
    while (Step()) {
    }
    for (std::size_t round = 0; !mCut; ++round) {
        bool any = false;
        for (std::size_t t = 0; t < mTargets.size(); ++t) {
            for (const auto& [point, calls] : later[t]) {
                if (round < calls.size()) {
                    mQueue.push_back(MakeRun(t, point, calls[round]));
                    any = true;
                }
            }
        }
        if (!any) {
            break;
        }
        while (Step()) {
        }
    }

    unsigned points = 0;
    unsigned calls = 0;
    unsigned runs = 0;
    unsigned passed = 0;
    for (const Target& target : mTargets) {
        unsigned targetCalls = 0;
        for (const auto& [point, n] :
             target.clean ? target.clean->points : decltype(target.clean->points){}) {
            targetCalls += n;
        }
        const std::size_t reached = target.clean ? target.clean->points.size() : 0;
        std::printf("== %s: %zu point(s) reached (%u calls), %u run(s), %u passed",
                    target.name.c_str(), reached, targetCalls, target.runs, target.passed);
        if (target.notReached > 0) {
            std::printf(", %u where the call was not reached", target.notReached);
        }
        if (!target.clean && target.cleanProblem.empty()) {
            std::printf(", not run: the budget was spent first");
        }
        std::printf("\n");
        points += static_cast<unsigned>(reached);
        calls += targetCalls;
        runs += target.runs;
        passed += target.passed;
    }
    std::sort(mFailures.begin(), mFailures.end(), [](const Failure& a, const Failure& b) {
        return std::tie(a.target, a.point, a.call) < std::tie(b.target, b.point, b.call);
    });
    for (const Failure& f : mFailures) {
        const Target& target = mTargets[f.target];
        const std::string run =
            f.point.empty() ? "clean run" : f.point + " call " + std::to_string(f.call);
        std::printf("FAIL %s, %s: %s\n     replay: %s\n", target.name.c_str(), run.c_str(),
                    f.what.c_str(), Replay(target, FaultArg(f.point, f.call)).c_str());
        std::printf("     output: %s\n", f.dir.c_str());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - mStart).count();
    std::printf("== faults: %zu scenario(s), %u point(s) reached (%u calls), %u run(s), %u "
                "passed, %zu failed, %.0f s%s\n",
                mTargets.size(), points, calls, runs, passed, mFailures.size(), seconds,
                mCut ? " (budget reached: the runs left were not started)" : "");
    if (mFailures.empty()) {
        std::filesystem::remove_all(mDir);
    }
    return mFailures.empty() ? 0 : 1;
}

} // namespace

int RunFaults(const Options& options) {
    FaultRunner runner(options);
    return runner.Run();
}

} // namespace host
