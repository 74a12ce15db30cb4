#include "host/scenario/Runner.h"
#include "host/cli/Limits.h"
#include "host/machine/DriverView.h"
#include "host/machine/Machine.h"
#include "host/machine/PartitionService.h"
#include "host/machine/ProximitySensors.h"
#include "host/machine/SensorHub.h"
#include "host/machine/WlanAdapter.h"
#include "host/scenario/Checks.h"
#include "host/scenario/ExpectedTraces.h"
#include "host/scenario/Timeline.h"
#include "host/scenario/Tokens.h"

#include "platform/sim/clock.h"
#include "platform/sim/faults.h"
#include "platform/sim/quiescence.h"
#include "platform/sim/trace_recorder.h"
#include "platform/sim/wlan.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace host {

namespace {

constexpr std::chrono::milliseconds kCheckBound(10000);
// In a run for the fault runner a check that does not hold is common and
// each one would cost the whole bound: such runs wait less.
constexpr std::chrono::milliseconds kFaultRunCheckBound(3000);
// While the machine works towards settling (a timer's first run may be a long
// machine time away), what it does is shown this often, so that the timeline
// gives each thing about the time it happened.
constexpr std::chrono::milliseconds kObserveEvery(1);

std::string IoctlResultText(const IoOutcome& outcome) {
    std::string text = StatusText(outcome.status) + ", " + std::to_string(outcome.bytes) + " bytes";
    if (outcome.bytes > 0) {
        std::vector<std::uint8_t> returned(
            outcome.output.begin(),
            outcome.output.begin() +
                static_cast<long>(std::min(outcome.bytes, outcome.output.size())));
        text += " " + HexBytes(returned);
    }
    return text;
}

// What the trace sink prints to, while the run lasts.
struct SinkGate {
    std::mutex lock;
    Timeline* timeline = nullptr;
    std::uint64_t startMs = 0;
    ExpectedTraces expected;
    FaultRecord* record = nullptr;
    int command = 0; // the scenario's command under way, counted from 1
};

// An IOCTL sent and not yet completed.
struct PendingIoctl {
    const Command* command;
    PendingIo io;
};

class ScenarioRun {
public:
    ScenarioRun(const Scenario& scenario, const RunSettings& settings)
        : mScenario(scenario), mSettings(settings), mMachine(settings.driverPath),
          mTimeline(stdout, settings.json) {}

    int Run();

private:
    double Now() const { return static_cast<double>(sim::NowMs() - mStartMs); }
    // Prints the settings that reached the modem since the last look.
    void DrainModem();
    // Prints the commands the WLAN adapter received since the last look.
    void DrainWlan();
    // Prints the IOCTLs that completed since the last look; the latest is
    // the one `expect status` and friends compare.
    void PollPending();
    // Everything that may have happened after a command: late completions
    // first, then what reached the radios and what the other devices did.
    void Observe() {
        PollPending();
        DrainModem();
        DrainWlan();
        for (const auto& activity : {HubActivity(), PartitionActivity()}) {
            for (const std::string& line : activity) {
                mTimeline.Note(Now(), line);
            }
        }
    }
    // Settles within kSettleBound, observing as it goes; false when it did not.
    bool Settle();
    std::string SendIoctl(const Command& c, std::string* result);
    // What every radio holds now, for `show`. Each simulated radio adds its part.
    std::string Radios();
    void Wait(std::uint32_t ms);
    // Returns an empty string, or a host error.
    std::string Execute(const Command& c, std::string* result);
    // As Execute for the commands of one group; empty when the command is
    // not of that group.
    std::optional<std::string> ExecuteDriverCommand(const Command& c, std::string* result);
    std::optional<std::string> ExecuteMachineCommand(const Command& c, std::string* result);
    std::string ExecuteDeviceCommand(const Command& c, std::string* result);
    bool RunCheck(const Command& c);
    int HostError(const std::string& where, int line, const std::string& message);
    std::shared_ptr<SinkGate> OpenTraceSink();
    void CloseTraceSink(SinkGate& gate);
    int ImportStartConfig();
    int RunCommands(SinkGate& gate);
    // Settles, unloads a driver whose device is gone and names what never completed.
    void Finish();
    void ReportLeaks();
    // For the fault runner: the first failure, the tables built, the end.
    void RecordFailure(const Command& c, const std::string& what);
    void RecordTables();
    void RecordEnd();
    // Writes the record; returns the run's status, 2 when it cannot be written.
    int WriteRecord(int exitStatus);

    const Scenario& mScenario;
    const RunSettings& mSettings;
    Machine mMachine;
    Timeline mTimeline;
    LastResults mLast;
    std::uint64_t mStartMs = 0;
    std::chrono::steady_clock::time_point mRealStart;
    std::size_t mModemSeen = 0;
    std::size_t mWlanSeen = 0;
    std::vector<PendingIoctl> mPending;
    int mCommandNumber = 0;
};

bool ScenarioRun::Settle() {
    const auto deadline = std::chrono::steady_clock::now() + sim::kSettleBound;
    while (!sim::Settle(kObserveEvery)) {
        Observe();
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
    }
    return true;
}

void ScenarioRun::PollPending() {
    for (auto it = mPending.begin(); it != mPending.end();) {
        if (!it->io.WaitFor(std::chrono::milliseconds(0))) {
            ++it;
            continue;
        }
        IoOutcome outcome = it->io.Take();
        mTimeline.Completion(Now(), it->command->file, it->command->line, it->command->text,
                             IoctlResultText(outcome));
        mLast.ioctl = std::move(outcome);
        it = mPending.erase(it);
    }
}

std::string ScenarioRun::SendIoctl(const Command& c, std::string* result) {
    std::uint32_t code = c.op == Op::IoctlSetState  ? kIoctlSetSensorState
                         : c.op == Op::IoctlGetInfo ? kIoctlGetInfo
                                                    : c.a;
    std::vector<std::uint8_t> input = c.op == Op::IoctlSetState ? SetSensorStateInput(c.a, c.b)
                                      : c.op == Op::IoctlRaw    ? c.bytes
                                                                : std::vector<std::uint8_t>{};
    std::size_t outLen = c.outLen.value_or(c.op == Op::IoctlGetInfo ? 8 : 0);
    std::string error;
    PendingIo io = mMachine.SendIoctl(code, input, outLen, &error);
    if (!error.empty()) {
        return error;
    }
    // In D0 the driver answers at once. Out of D0 the framework holds the
    // request until the next D0 entry: it is shown as pending, and its
    // completion when it comes.
    const bool inD0 = mMachine.InD0();
    if (!inD0) {
        sim::Settle();
    }
    if (io.WaitFor(inD0 ? kCheckBound : std::chrono::milliseconds(0))) {
        IoOutcome outcome = io.Take();
        *result = IoctlResultText(outcome);
        mLast.ioctl = std::move(outcome);
        return {};
    }
    *result = inD0 ? "pending (not completed within 10 s)"
                   : "pending (held until the device is back in D0)";
    mPending.push_back(PendingIoctl{&c, std::move(io)});
    return {};
}

std::string ScenarioRun::Radios() {
    std::string modem = "modem: none";
    if (mMachine.ModemPresent()) {
        modem = "modem antennas at " + IndexList(mMachine.ModemIndexes()) + " (" +
                std::to_string(mMachine.ModemSetCount()) + " setting(s) received, back-off " +
                (mMachine.ModemEnabled() ? "enabled" : "not enabled") + ")";
    }
    return modem + "; " + WlanSummary();
}

// A long wait tells how far it has come, so that a run is never silent for long.
void ScenarioRun::Wait(std::uint32_t ms) {
    const auto end = std::chrono::steady_clock::now() + sim::RealDuration(ms);
    const std::uint64_t from = sim::NowMs();
    while (true) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end) {
            return;
        }
        // Whether a progress line is due depends on the steps, not on how
        // late a loaded machine wakes the host from its sleep.
        const bool lastStep = end - now <= kWaitProgressEvery;
        std::this_thread::sleep_for(lastStep ? end - now : kWaitProgressEvery);
        if (lastStep) {
            return;
        }
        mTimeline.Note(Now(), "waiting: " + std::to_string(sim::NowMs() - from) + " of " +
                                  std::to_string(ms) + " ms passed");
    }
}

void ScenarioRun::DrainModem() {
    auto payloads = mMachine.ModemPayloads();
    if (payloads.size() < mModemSeen) {
        mModemSeen = 0; // a new modem was installed: its record starts afresh
    }
    for (std::size_t i = mModemSeen; i < payloads.size(); ++i) {
        mTimeline.Modem(Now(), payloads[i], i + 1);
    }
    mModemSeen = payloads.size();
}

void ScenarioRun::DrainWlan() {
    for (const WlanEvent& event : WlanEventsSince(mWlanSeen)) {
        mTimeline.Wlan(Now(), event);
        mWlanSeen = event.number;
    }
}

void ScenarioRun::ReportLeaks() {
    std::string leaks = mMachine.LeakReport();
    if (!leaks.empty()) {
        mTimeline.Note(Now(), "left behind after unload: " + leaks);
    }
}

void ScenarioRun::RecordFailure(const Command& c, const std::string& what) {
    if (mSettings.record != nullptr && mSettings.record->failure.empty()) {
        mSettings.record->failureCommand = mCommandNumber;
        mSettings.record->failure =
            c.file + ":" + std::to_string(c.line) + ": " + c.text + " (" + what + ")";
    }
}

void ScenarioRun::RecordTables() {
    auto view = mSettings.record != nullptr ? ReadDeviceView(mMachine) : std::nullopt;
    for (const ChannelView& channel : view ? view->channels : std::vector<ChannelView>{}) {
        for (const auto& [mask, index] : channel.mapping) {
            (channel.type == 0 ? mSettings.record->modemTable : mSettings.record->wlanTable)
                .insert(index);
        }
    }
}

// The device goes and the driver is unloaded whatever the scenario left, so
// that every run is judged on what removal and unload leave behind.
void ScenarioRun::RecordEnd() {
    FaultRecord& record = *mSettings.record;
    RecordTables();
    if (mMachine.Loaded()) {
        mMachine.Unload(&record.endError);
        Settle();
        Observe();
        ReportLeaks();
    }
    record.leaks = mMachine.LeakReport();
    if (mMachine.ModemPresent()) {
        record.modemFinal = mMachine.ModemIndexes();
    }
    for (const auto& entry : sim::wlan::Current().entries) {
        record.wlanFinal.push_back(entry.index);
    }
}

int ScenarioRun::WriteRecord(int exitStatus) {
    FaultRecord& record = *mSettings.record;
    record.status = exitStatus;
    record.faultFailed = sim::FailedCallFromStart();
    record.points = sim::FaultPointsReached();
    errno = 0;
    if (!WriteFaultRecord(mSettings.recordPath, record)) {
        const int error = errno;
        return HostError("--fault-record " + mSettings.recordPath, 0,
                         std::string("cannot write the record") +
                             (error != 0 ? std::string(" (") + std::strerror(error) + ")" : ""));
    }
    return exitStatus;
}

int ScenarioRun::HostError(const std::string& where, int line, const std::string& message) {
    std::string text =
        where + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + message;
    mTimeline.Note(Now(), "error: " + text);
    std::fprintf(stderr, "halvex-host: %s\n", Printable(text).c_str());
    return 2;
}

// The driver's own entry points: configuration, device add and power.
std::optional<std::string> ScenarioRun::ExecuteDriverCommand(const Command& c,
                                                             std::string* result) {
    std::string error;
    auto status = [&](std::uint32_t s) {
        *result = StatusText(s);
        return error;
    };
    switch (c.op) {
    case Op::Config:
        // The driver reads its configuration once, at device add.
        if (mMachine.Device() != nullptr) {
            return "config comes before add: the driver has read its configuration already";
        }
        return mMachine.ImportConfig(c.path);
    case Op::Add: {
        std::uint32_t s = mMachine.AddDevice(&error);
        if (error.empty()) {
            mLast.add = s;
            status(s);
            if (auto view = ReadDeviceView(mMachine); view && !view->modules.empty()) {
                *result += "; modules " + Joined(view->modules);
            }
        }
        return error;
    }
    case Op::Start:
        return status(mMachine.Start(&error));
    case Op::D0Entry:
        return status(mMachine.D0Entry(c.a, c.b, &error));
    case Op::D0Exit:
        return status(mMachine.D0Exit(c.a, c.b, &error));
    case Op::Sleep:
        return status(mMachine.Sleep(&error));
    case Op::Wake:
        return status(mMachine.Wake(&error));
    case Op::Hibernate:
        return status(mMachine.Hibernate(&error));
    case Op::Resume:
        return status(mMachine.Resume(&error));
    case Op::Shutdown:
        return status(mMachine.Shutdown(&error));
    case Op::Remove:
        return status(mMachine.Remove(&error));
    case Op::Unload:
        mMachine.Unload(&error);
        if (error.empty()) {
            ReportLeaks();
        }
        return error;
    default:
        return std::nullopt;
    }
}

// The machine around the driver: display, WWAN, modem, clock; and `show`.
std::optional<std::string> ScenarioRun::ExecuteMachineCommand(const Command& c,
                                                              std::string* result) {
    switch (c.op) {
    case Op::Display:
        return mMachine.Display(c.a);
    case Op::WwanAdd:
        return mMachine.WwanAdd(c.a);
    case Op::WwanRemove:
        return mMachine.WwanRemove(c.a);
    case Op::ModemAntennas:
        mModemSeen = 0;
        if (mSettings.record != nullptr) {
            mSettings.record->modemInitial.insert(static_cast<std::int32_t>(c.b));
        }
        return mMachine.ModemAntennas(c.a, static_cast<std::int32_t>(c.b));
    case Op::ModemNone:
        return mMachine.ModemNone();
    case Op::ModemFail:
        return mMachine.ModemFail(c.word, c.how, c.flag);
    case Op::ModemOk:
        return mMachine.ModemOk();
    case Op::BootTime:
        sim::SetUptimeMs(c.a);
        return std::string();
    case Op::Wait:
        Wait(c.a);
        return std::string();
    case Op::TimeScale:
        sim::SetTimeScale(c.scale);
        return std::string();
    case Op::Show:
        *result = Radios();
        return std::string();
    default:
        return std::nullopt;
    }
}

// The IOCTLs, and the simulated devices that carry out their own commands.
std::string ScenarioRun::ExecuteDeviceCommand(const Command& c, std::string* result) {
    switch (c.op) {
    case Op::IoctlSetState:
    case Op::IoctlGetInfo:
    case Op::IoctlRaw:
        return SendIoctl(c, result);
    case Op::HubPresent:
    case Op::HubAbsent:
    case Op::HubSar:
    case Op::HubReport:
    case Op::HubError:
    case Op::HubFail:
    case Op::HubRaw:
        return RunHubCommand(c, result);
    case Op::ProximityAdd:
    case Op::ProximityAddOther:
    case Op::ProximityNear:
    case Op::ProximityFar:
    case Op::ProximityUpdate:
    case Op::ProximityRemove:
    case Op::ProximityFail:
        return RunProximityCommand(c, result);
    case Op::WlanInterfaces:
    case Op::WlanArrive:
    case Op::WlanLeave:
    case Op::WlanNotify:
    case Op::WlanFail:
    case Op::WlanReply:
    case Op::WlanReadback:
    case Op::WlanOk:
        return RunWlanCommand(c, result);
    case Op::PartitionPresent:
    case Op::PartitionAbsent:
    case Op::PartitionQueryRemove:
    case Op::PartitionRemoveCancelled:
    case Op::PartitionRemoveComplete:
    case Op::PartitionFile:
    case Op::PartitionPeriod:
    case Op::PartitionDelete:
    case Op::PartitionFail:
    case Op::PartitionHang:
    case Op::PartitionOk:
        return RunPartitionCommand(c, result);
    default:
        return "not a command";
    }
}

std::string ScenarioRun::Execute(const Command& c, std::string* result) {
    if (std::optional<std::string> error = ExecuteDriverCommand(c, result)) {
        return *error;
    }
    if (std::optional<std::string> error = ExecuteMachineCommand(c, result)) {
        return *error;
    }
    return ExecuteDeviceCommand(c, result);
}

bool ScenarioRun::RunCheck(const Command& c) {
    CheckOutcome outcome = WaitForCheck(
        c, mMachine, mLast, mSettings.record != nullptr ? kFaultRunCheckBound : kCheckBound,
        [this] { Observe(); });
    if (outcome.held) {
        mTimeline.CheckHeld(Now(), c.file, c.line, c.text);
        return true;
    }
    mTimeline.CheckFailed(Now(), c.file, c.line, c.text, outcome.expected, outcome.seen);
    RecordFailure(c, "expected " + outcome.expected + ", seen " + outcome.seen);
    if (mSettings.json) {
        // The JSON lines go to tools; a person still needs the failing line.
        std::fprintf(stderr, "%s:%d: check failed: %s\n    expected: %s\n    seen:     %s\n",
                     Printable(c.file).c_str(), c.line, Printable(c.text).c_str(),
                     Printable(outcome.expected).c_str(), Printable(outcome.seen).c_str());
    }
    return false;
}

// The recorder calls its sink outside its own lock, on the tracing thread, and
// a driver thread may still be tracing when the scenario ends: the gate lets
// the run close the sink for good before the timeline goes.
std::shared_ptr<SinkGate> ScenarioRun::OpenTraceSink() {
    auto gate = std::make_shared<SinkGate>();
    gate->timeline = &mTimeline;
    gate->startMs = mStartMs;
    gate->record = mSettings.record;
    const int printLevel = mSettings.traceLevel;
    sim::SetTraceSink([gate, printLevel](const sim::TraceRecord& record) {
        std::lock_guard guard(gate->lock);
        if (gate->record != nullptr && record.level <= 2) {
            gate->record->errorTraces.emplace_back(gate->command,
                                                   record.file + ": " + record.message);
        }
        if (gate->timeline != nullptr) {
            ExpectedMatch expected =
                record.level <= 2
                    ? gate->expected.Observe(record.threadId, record.file, record.message)
                    : ExpectedMatch{};
            gate->timeline->Trace(static_cast<double>(sim::NowMs() - gate->startMs), record.level,
                                  record.file, record.message,
                                  record.level <= printLevel || IsProximityEvent(record), expected);
        }
    });
    return gate;
}

void ScenarioRun::CloseTraceSink(SinkGate& gate) {
    sim::SetTraceSink(nullptr);
    std::lock_guard guard(gate.lock);
    gate.timeline = nullptr;
    gate.record = nullptr;
}

// The built-in configuration or --config, before the first command; returns
// the exit status, 0 when the run goes on.
int ScenarioRun::ImportStartConfig() {
    if (!mSettings.builtinConfig.empty()) {
        std::string error = mMachine.ImportConfigText(mSettings.builtinConfig, "built-in.reg");
        if (!error.empty()) {
            return HostError("built-in.reg", 0, error);
        }
        mTimeline.Note(
            Now(), "configuration: the built-in one (a MODEM and a WLAN channel, APPS sensor 1)");
    }
    if (!mSettings.configPath.empty()) {
        std::string error = mMachine.ImportConfig(mSettings.configPath);
        if (!error.empty()) {
            return HostError(mSettings.configPath, 0, error);
        }
        mTimeline.Note(Now(), "configuration: " + mSettings.configPath);
    }
    return 0;
}

// Runs the commands in order until a check fails or a command cannot be
// carried out; returns the exit status.
int ScenarioRun::RunCommands(SinkGate& gate) {
    for (const Command& c : mScenario.commands) {
        {
            std::lock_guard guard(gate.lock);
            mCommandNumber = ++gate.command;
        }
        if (!c.comment.empty()) {
            mTimeline.Note(Now(), c.comment);
        }
        if (IsCheck(c.op)) {
            if (!RunCheck(c)) {
                return 1; // a check that does not hold ends the scenario
            }
            continue;
        }
        std::string result;
        std::string error = Execute(c, &result);
        if (!error.empty()) {
            mTimeline.Command(Now(), c.file, c.line, c.text, "error");
            RecordFailure(c, "stopped: " + error);
            return HostError(c.file, c.line, error);
        }
        mTimeline.Command(Now(), c.file, c.line, c.text, result);
        if (c.op == Op::Add) {
            RecordTables();
        }
        if (!Settle()) {
            std::string owed = sim::OwedWork();
            mTimeline.Note(Now(), "the machine did not settle within " +
                                      std::to_string(sim::kSettleBound.count()) + " s" +
                                      (owed.empty() ? std::string() : "; still owed: " + owed));
        }
        Observe();
    }
    return 0;
}

// A scenario that removed its device ends like the framework's host: the
// driver is unloaded, and whatever it left behind is shown.
void ScenarioRun::Finish() {
    Settle();
    Observe();
    if (mSettings.record != nullptr) {
        RecordEnd();
    } else if (mMachine.Loaded() && mMachine.Device() == nullptr) {
        std::string error;
        mMachine.Unload(&error);
        ReportLeaks();
    }
    PollPending();
    for (const PendingIoctl& p : mPending) {
        mTimeline.Note(Now(), "never completed: " + p.command->text + " (line " +
                                  std::to_string(p.command->line) + ")");
    }
}

int ScenarioRun::Run() {
    if (mSettings.timeScale) {
        sim::SetTimeScale(*mSettings.timeScale);
    }
    // Everything is recorded, so that `expect trace` sees verbose messages too;
    // only what --trace asks for is printed.
    sim::SetTraceLevel(5);
    sim::ClearTrace();
    mStartMs = sim::NowMs();
    mRealStart = std::chrono::steady_clock::now();
    std::shared_ptr<SinkGate> gate = OpenTraceSink();
    mTimeline.Begin(mScenario.name, 0, sim::TimeScale());
    int exitStatus = ImportStartConfig();
    if (exitStatus == 0) {
        exitStatus = RunCommands(*gate);
    }
    Finish();
    if (mSettings.record != nullptr) {
        exitStatus = WriteRecord(exitStatus);
    }
    std::chrono::duration<double, std::milli> real = std::chrono::steady_clock::now() - mRealStart;
    mTimeline.End(Now(), real.count(), exitStatus);
    CloseTraceSink(*gate);
    return exitStatus;
}

} // namespace

int RunScenario(const Scenario& scenario, const RunSettings& settings) {
    ScenarioRun run(scenario, settings);
    return run.Run();
}

std::string CheckConfigurations(const std::string& configPath,
                                const std::vector<Scenario>& scenarios) {
    if (!configPath.empty()) {
        if (std::string error = Machine::CheckConfig(configPath); !error.empty()) {
            return error;
        }
    }
    for (const Scenario& scenario : scenarios) {
        for (const Command& c : scenario.commands) {
            if (c.op != Op::Config) {
                continue;
            }
            if (std::string error = Machine::CheckConfig(c.path); !error.empty()) {
                return c.file + ":" + std::to_string(c.line) + ": " + error;
            }
        }
    }
    return {};
}

} // namespace host
