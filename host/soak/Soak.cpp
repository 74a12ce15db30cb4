#include "host/soak/Soak.h"
#include "host/machine/Machine.h"
#include "host/scenario/Tokens.h"
#include "host/soak/SoakSensors.h"
#include "host/soak/SoakWlan.h"

#include "platform/sim/clock.h"
#include "platform/sim/display.h"
#include "platform/sim/driver_host.h"
#include "platform/sim/ip_interfaces.h"
#include "platform/sim/modem.h"
#include "platform/sim/quiescence.h"
#include "platform/sim/registry.h"
#include "platform/sim/trace_recorder.h"
#include "platform/trace.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace host {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The driver's 10000 ms time-outs pass in 200 ms of real time: a modem that
// never answers costs little, and one that answers at once stays far inside
// them even in a sanitizer build on a loaded machine.
constexpr double kTimeScale = 0.02;
constexpr int kIoctlThreads = 4;

// A power call, or the removal, returns within this much machine time, half
// the driver's wait for an absent sensor service: none waits on the service
// (the hub sensor's worker ends its wait within a slice of the stop), and a
// modem that never answers costs a call one time-out. The bound leaves room
// for a sanitizer build on a loaded machine: 1 s of real time.
constexpr std::uint64_t kPowerBoundMs = 50000;

// The modem channel's mapping table, as the configuration below states it.
constexpr std::int32_t kNothingNear = 1;
constexpr std::int32_t kSomethingNear = 3;
constexpr int kAntennas = 2;

// The APPS sensors the IOCTLs set, 1 to kSensors: the modem channel's two,
// then one for each WLAN channel.
constexpr int kModemSensors = 2;
constexpr int kSensors = kModemSensors + SoakWlan::kChannels;

constexpr char kModemChannel[] = R"(
; One MODEM channel: nothing near sends back-off index 1, something near (any
; sensor) index 3. Its first sensor is the one a proximity sensor sets, then
; APPS sensors 1 and 2, then the sensor hub's.
[Device Parameters\channel0]
"ChannelType"="MODEM"
"SarMappingCount"=dword:00000002
"0"=dword:00000001
"1"=dword:00000003

[Device Parameters\channel0\1]
"Type"="APPS"
"ID"=dword:00000001

[Device Parameters\channel0\2]
"Type"="APPS"
"ID"=dword:00000002
)";

// The modem channel, then the WLAN channels behind the sensors after the modem's.
std::string Configuration() {
    return "Windows Registry Editor Version 5.00\n\n[Device Parameters]\n"
           "\"NumberOfChannels\"=dword:" +
           std::to_string(1 + SoakWlan::kChannels) +
           "\n\"WlanAntCount\"=dword:" + std::to_string(SoakWlan::kAntennas) + "\n" +
           kModemChannel + SoakSensors::FirstSensorKey(0) + SoakSensors::HubSensorKey(0, 3) +
           SoakWlan::Config(1, kModemSensors + 1);
}

enum Kind {
    kSleepWake,
    kHibernateResume,
    kShutdownRestart,
    kSetState,
    kGetInfo,
    kMalformed,
    kDisplayOff,
    kDisplayOn,
    kDisplayDimmed,
    kWwanLoss,
    kWwanReturn,
    kModemTimeout,
    kModemError,
    kModemNotSupported,
    kModemCleared,
    kCheckpoint,
    kKinds
};

constexpr const char* kKindNames[kKinds] = {"sleep and wake",       "hibernate and resume",
                                            "shutdown and restart", "IOCTL set-state",
                                            "IOCTL get-info",       "IOCTL malformed",
                                            "display off",          "display on",
                                            "display dimmed",       "WWAN interface lost",
                                            "WWAN interface back",  "modem fault: time-out",
                                            "modem fault: error",   "modem fault: not supported",
                                            "modem faults cleared", "checkpoints"};

// One IOCTL of the storm and the status it must end with.
struct Request {
    Kind kind = kSetState;
    ULONG code = kIoctlSetSensorState;
    std::vector<std::uint8_t> input;
    std::size_t outLen = 0;
    NTSTATUS expected = STATUS_SUCCESS;
    std::string what;
};

// Draws by remainders of the generator's raw output, not through the
// standard distributions: their results differ between libraries, and a seed
// must replay the same operations wherever the host was built.
Request DrawRequest(std::mt19937_64& rng) {
    const auto id = static_cast<std::uint32_t>(1 + rng() % kSensors);
    const auto state = static_cast<std::uint32_t>(rng() % 2);
    const std::uint64_t pick = rng() % 10;
    Request r;
    if (pick < 6) {
        r.input = SetSensorStateInput(id, state);
        r.what = "set-state " + std::to_string(id) + " " + std::to_string(state);
        return r;
    }
    if (pick < 8) {
        r = {kGetInfo, kIoctlGetInfo, {}, 8, STATUS_SUCCESS, "get-info"};
        return r;
    }
    switch (rng() % 4) {
    case 0:
        return {kMalformed, kIoctlSetSensorState, SetSensorStateInput(id, 2),
                0,          STATUS_UNSUCCESSFUL,  "set-state with state 2"};
    case 1:
        return {kMalformed, kIoctlSetSensorState, SetSensorStateInput(99, state),
                0,          STATUS_UNSUCCESSFUL,  "set-state of unknown sensor 99"};
    case 2:
        return {kMalformed, kIoctlSetSensorState,    {1, 0, 0, 0},
                0,          STATUS_BUFFER_TOO_SMALL, "set-state with 4 bytes of input"};
    default:
        return {kMalformed, kIoctlGetInfo, {}, 4, STATUS_BUFFER_TOO_SMALL, "get-info into 4 bytes"};
    }
}

class Soak {
public:
    Soak(std::uint64_t seed, double minutes)
        : mSeed(seed), mMinutes(minutes), mOutageRng(seed ^ 0x5DEECE66Dull) {}
    int Run(const std::string& driverPath);

private:
    void Fail(const std::string& what);
    // What went wrong so far, with the figures; then, after a hang, the
    // process ends here: tearing down a device that hangs would hang too.
    int Report();
    [[noreturn]] void Hung(const std::string& what);
    template <typename Call> NTSTATUS Bounded(const std::string& what, Call call);
    template <typename Call> NTSTATUS PowerCall(const std::string& what, Call call);
    bool Expect(const char* what, NTSTATUS status);
    // Runs a change of the sensors with the IOCTL threads still (or held,
    // out of D0).
    template <typename Change> void Quietly(Change change);

    bool SetUp(const std::string& driverPath);
    void IoctlThread(int index, const sim::HostFile& file);
    void Count(Kind kind) { mCounts[kind].fetch_add(1, std::memory_order_relaxed); }
    bool WaitForProgress();
    void PowerCycle(std::mt19937_64& rng);
    void Environment(std::mt19937_64& rng);
    bool SetSensors(const bool (&near)[kSensors]);
    // One APPS sensor through the IOCTL, checked to succeed.
    bool SetSensor(std::uint32_t id, bool near);
    // The WLAN channels' sensors, as the WLAN part sets them.
    SoakWlan::SetSensor WlanSensors();
    bool SetAllSensors(const bool (&near)[kSensors], const SoakSensors::States& states);
    bool WaitForModem(std::int32_t index, const std::string& what);
    void Pause();
    void Resume();
    void Checkpoint(std::mt19937_64& rng);
    void TearDown(std::mt19937_64& rng);

    const std::uint64_t mSeed;
    const double mMinutes;
    std::unique_ptr<sim::DriverHost> mHost = std::make_unique<sim::DriverHost>();
    std::vector<sim::HostFile> mFiles;
    std::vector<std::thread> mThreads;
    std::atomic<bool> mStop{false};
    std::atomic<bool> mFailed{false};
    std::array<std::atomic<std::uint64_t>, kKinds> mCounts{};
    // Their operations run on the control thread only.
    SoakWlan mWlan;
    SoakSensors mSensors;
    std::mt19937_64 mOutageRng;
    bool mWwanPresent = true;
    bool mInD0 = false;
    // The longest power call in machine time, and the longest with the sensor
    // service away.
    std::uint64_t mLongestPowerMs = 0;
    std::uint64_t mLongestAwayMs = 0;
    std::string mFinal;

    std::mutex mLock;
    std::condition_variable mProgress;
    std::uint64_t mCompleted = 0;
    // The IOCTL threads stand still while a checkpoint runs.
    std::condition_variable mGate;
    bool mPaused = false;
    int mParked = 0;
    std::vector<std::string> mFailures;
};

void Soak::Fail(const std::string& what) {
    std::lock_guard guard(mLock);
    mFailures.push_back(Printable(what));
    mFailed.store(true);
    mProgress.notify_all();
}

int Soak::Report() {
    std::printf("soak: seed %llu, %.2f minutes, %d IOCTL threads\n",
                static_cast<unsigned long long>(mSeed), mMinutes, kIoctlThreads);
    for (int k = 0; k < kKinds; ++k) {
        std::printf("  %-28s %llu\n", kKindNames[k],
                    static_cast<unsigned long long>(mCounts[k].load()));
    }
    mWlan.PrintCounts();
    mSensors.PrintCounts();
    std::printf("  longest power call: %llu ms of machine time, %llu ms with the sensor service "
                "away (at most %llu)\n",
                static_cast<unsigned long long>(mLongestPowerMs),
                static_cast<unsigned long long>(mLongestAwayMs),
                static_cast<unsigned long long>(kPowerBoundMs));
    if (!mFinal.empty()) {
        std::printf("  %s\n", mFinal.c_str());
    }
    std::vector<std::string> failures;
    {
        std::lock_guard guard(mLock);
        failures = mFailures;
    }
    if (failures.empty()) {
        std::printf("soak: passed\n");
        std::fflush(stdout);
        return 0;
    }
    std::printf("soak: FAILED\n");
    for (const std::string& failure : failures) {
        std::printf("  %s\n", failure.c_str());
    }
    // The driver's last error traces, for the one who replays the seed, but
    // for those the malformed IOCTLs draw by the thousand.
    auto records = sim::TraceSnapshot();
    std::vector<const sim::TraceRecord*> shown;
    for (auto it = records.rbegin(); it != records.rend() && shown.size() < 12; ++it) {
        if (it->file.find("Ioctl") == std::string::npos && it->function != "UpdateSensorState") {
            shown.insert(shown.begin(), &*it);
        }
    }
    for (const sim::TraceRecord* record : shown) {
        std::printf("  trace %.1f ms %s: %s\n", record->timeMs / 1.0, record->function.c_str(),
                    Printable(record->message).c_str());
    }
    std::printf("replay: halvex-host --soak --minutes %g --seed %llu\n", mMinutes,
                static_cast<unsigned long long>(mSeed));
    std::fflush(stdout);
    return 1;
}

void Soak::Hung(const std::string& what) {
    Fail(what + " did not return within " + std::to_string(kSoakHangBound.count()) + " s");
    Report();
    std::fflush(stderr);
    std::_Exit(1);
}

// A PnP or power call, or a stand-in control, that must come back.
template <typename Call> NTSTATUS Soak::Bounded(const std::string& what, Call call) {
    std::packaged_task<NTSTATUS()> task(std::move(call));
    auto done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(kSoakHangBound) != std::future_status::ready) {
        runner.detach();
        Hung(what);
    }
    runner.join();
    return done.get();
}

// A power call, or the removal: bounded as every call is, and in machine
// time too.
template <typename Call> NTSTATUS Soak::PowerCall(const std::string& what, Call call) {
    const bool away = mSensors.ServiceAway();
    const std::uint64_t start = sim::NowMs();
    NTSTATUS status = Bounded(what, std::move(call));
    const std::uint64_t took = sim::NowMs() - start;
    mLongestPowerMs = std::max(mLongestPowerMs, took);
    if (away) {
        mLongestAwayMs = std::max(mLongestAwayMs, took);
    }
    if (took > kPowerBoundMs) {
        Fail(what + " took " + std::to_string(took) + " ms of machine time" +
             (away ? " with the sensor service away" : "") + ", more than " +
             std::to_string(kPowerBoundMs));
    }
    return status;
}

template <typename Change> void Soak::Quietly(Change change) {
    if (mInD0) {
        Pause();
    }
    if (!mFailed.load()) {
        if (std::string error = change(); !error.empty()) {
            Fail(error);
        }
    }
    if (mInD0) {
        Resume();
    }
}

bool Soak::Expect(const char* what, NTSTATUS status) {
    if (status != STATUS_SUCCESS) {
        Fail(std::string(what) + " returned " + StatusText(static_cast<std::uint32_t>(status)));
        return false;
    }
    return true;
}

bool Soak::SetUp(const std::string& driverPath) {
    if (driverPath.empty()) {
        Fail("no driver library was built in this tree (use --driver PATH)");
        return false;
    }
    if (auto imported = sim::registry::ImportRegText(Configuration(), "soak"); !imported) {
        Fail("the soak's configuration: " + imported.error);
        return false;
    }
    sim::modem::Install(kAntennas, 0);
    sim::ip::AddInterface(IF_TYPE_WWANPP);
    mWlan.SetUp();
    if (!Expect("loading the driver library", mHost->LoadLibrary(driverPath)) ||
        !Expect("device add", Bounded("device add", [&] { return mHost->AddDevice(); })) ||
        !Expect("start", PowerCall("start", [&] { return mHost->Start(); }))) {
        return false;
    }
    mInD0 = true;
    mSensors.Started();
    for (int i = 0; i < kIoctlThreads; ++i) {
        sim::HostFile file = mHost->OpenFile();
        if (!file) {
            Fail("opening the device returned " +
                 StatusText(static_cast<std::uint32_t>(file.status)));
            return false;
        }
        mFiles.push_back(file);
    }
    return true;
}

void Soak::IoctlThread(int index, const sim::HostFile& file) {
    // Each thread draws from its own generator, so that its sequence of
    // requests depends on the seed alone, whatever the other threads do.
    std::mt19937_64 rng(mSeed + 0x9E3779B97F4A7C15ull * static_cast<std::uint64_t>(index + 1));
    while (!mStop.load() && !mFailed.load()) {
        {
            std::unique_lock lock(mLock);
            if (mPaused) {
                ++mParked;
                mProgress.notify_all();
                mGate.wait(lock, [&] { return !mPaused; });
                --mParked;
            }
        }
        Request r = DrawRequest(rng);
        auto pending = mHost->DeviceIoControlAsync(file, r.code, r.input, r.outLen);
        if (pending.wait_for(kSoakHangBound) != std::future_status::ready) {
            Hung("IOCTL " + r.what + " (thread " + std::to_string(index) + ")");
        }
        sim::IoResult result = pending.get();
        if (result.status != r.expected) {
            Fail("IOCTL " + r.what + " ended with " +
                 StatusText(static_cast<std::uint32_t>(result.status)) + ", expected " +
                 StatusText(static_cast<std::uint32_t>(r.expected)));
        } else if (r.kind == kGetInfo &&
                   (result.bytes != 8 ||
                    result.output != std::vector<std::uint8_t>{1, 0, 0, 0, 1, 0, 0, 0})) {
            Fail("IOCTL get-info answered " + std::to_string(result.bytes) +
                 " bytes other than {1, 1}");
        }
        Count(r.kind);
        std::lock_guard guard(mLock);
        ++mCompleted;
        mProgress.notify_all();
    }
}

// Every control step ends in D0 and waits until the IOCTL threads have had
// some requests through: the held ones are presented, nothing is stuck.
bool Soak::WaitForProgress() {
    std::unique_lock lock(mLock);
    const std::uint64_t target = mCompleted + kIoctlThreads;
    if (!mProgress.wait_for(lock, kSoakHangBound,
                            [&] { return mCompleted >= target || mFailed.load(); })) {
        lock.unlock();
        Hung("the IOCTLs with the device in D0");
    }
    return !mFailed.load();
}

void Soak::Pause() {
    std::unique_lock lock(mLock);
    mPaused = true;
    if (!mProgress.wait_for(lock, kSoakHangBound,
                            [&] { return mParked == kIoctlThreads || mFailed.load(); })) {
        lock.unlock();
        Hung("the IOCTLs before a checkpoint");
    }
}

void Soak::Resume() {
    std::lock_guard guard(mLock);
    mPaused = false;
    mGate.notify_all();
}

// One power cycle, with some changes of the machine while the device is out
// of D0 (the IOCTL threads keep sending; their requests are held).
void Soak::PowerCycle(std::mt19937_64& rng) {
    static constexpr const char* kExit[] = {"sleep", "hibernate", "shutdown"};
    static constexpr const char* kEntry[] = {"wake", "resume", "restart from D3Final"};
    const auto kind = static_cast<Kind>(kSleepWake + rng() % 3);
    const int i = kind - kSleepWake;
    // A hibernation or a shutdown stops the hub sensor's worker; the time
    // its sensor has gone unread runs on across it.
    if (kind != kSleepWake) {
        mSensors.Stopping();
    }
    NTSTATUS status = PowerCall(kExit[i], [&] {
        return kind == kSleepWake         ? mHost->Sleep()
               : kind == kHibernateResume ? mHost->Hibernate()
                                          : mHost->Shutdown();
    });
    if (!Expect(kExit[i], status)) {
        return;
    }
    mInD0 = false;
    if (kind != kSleepWake) {
        if (std::string error = mSensors.Stopped(); !error.empty()) {
            Fail(error);
        }
    }
    for (std::uint64_t away = rng() % 3; away > 0; --away) {
        Environment(rng);
    }
    // A hibernation or a shutdown takes seconds, in which the proximity
    // watcher stopped at D0 exit reaches Stopped; a start while it is still
    // stopping fails and, as the driver is written, skips the display-state
    // registration. The machine settles first, as it would have.
    if (kind != kSleepWake) {
        if (std::string error = SoakSettle(kExit[i]); !error.empty()) {
            Fail(error);
        }
    }
    status = PowerCall(kEntry[i], [&] {
        return kind == kSleepWake         ? mHost->Wake()
               : kind == kHibernateResume ? mHost->Resume()
                                          : mHost->D0Entry(WdfPowerDeviceD3Final, PowerActionNone);
    });
    if (Expect(kEntry[i], status)) {
        mInD0 = true;
        if (kind != kSleepWake) {
            mSensors.Started();
        }
        Count(kind);
    }
}

// A change of the machine around the device: the display, the WWAN
// interface, the modem's behaviour, the WLAN adapter, the sensor hub and the
// proximity sensors.
void Soak::Environment(std::mt19937_64& rng) {
    const std::uint64_t pick = rng() % 10;
    if (pick < 2) {
        const auto state = static_cast<sim::display::State>(rng() % 3);
        mSensors.SetDisplay(state);
        Count(static_cast<Kind>(kDisplayOff + static_cast<int>(state)));
    } else if (pick == 2) {
        if (mWwanPresent) {
            sim::ip::RemoveInterface(IF_TYPE_WWANPP);
            Count(kWwanLoss);
        } else {
            sim::ip::AddInterface(IF_TYPE_WWANPP);
            Count(kWwanReturn);
        }
        mWwanPresent = !mWwanPresent;
    } else if (pick < 5) {
        static constexpr const char* kHow[] = {"timeout", "error", "notsupported"};
        const auto step = static_cast<sim::modem::Step>(rng() % 3);
        const std::uint64_t how = rng() % 3;
        const bool always = rng() % 2 == 1;
        sim::modem::Fail(step, *sim::modem::BehaviourFromName(kHow[how]), always);
        Count(static_cast<Kind>(kModemTimeout + how));
    } else if (pick == 5) {
        sim::modem::ClearFailures();
        Count(kModemCleared);
    } else if (pick < 8) {
        mWlan.Environment(rng);
    } else {
        Quietly([&] { return mSensors.Step(rng, mInD0); });
    }
}

bool ModemAppsNear(const bool (&near)[kSensors]) {
    return near[0] || near[1];
}

std::int32_t TableIndex(bool near) {
    return near ? kSomethingNear : kNothingNear;
}

std::string IndexList(const std::vector<std::int32_t>& indexes) {
    std::string text;
    for (std::int32_t index : indexes) {
        text += (text.empty() ? "" : ",") + std::to_string(index);
    }
    return text;
}

bool Soak::SetAllSensors(const bool (&near)[kSensors], const SoakSensors::States& states) {
    if (std::string error = mSensors.Set(states); !error.empty()) {
        Fail(error);
        return false;
    }
    return SetSensors(near);
}

bool Soak::SetSensors(const bool (&near)[kSensors]) {
    // Each sensor is set the other way first, so that its state in the end is
    // a change the channel must act on.
    for (int pass = 0; pass < 2; ++pass) {
        for (std::uint32_t id = 1; id <= kSensors; ++id) {
            if (!SetSensor(id, near[id - 1] == (pass == 1))) {
                return false;
            }
        }
    }
    return true;
}

bool Soak::SetSensor(std::uint32_t id, bool near) {
    auto pending = mHost->DeviceIoControlAsync(mFiles[0], kIoctlSetSensorState,
                                               SetSensorStateInput(id, near ? 1 : 0), 0);
    if (pending.wait_for(kSoakHangBound) != std::future_status::ready) {
        Hung("a final set-state IOCTL");
    }
    return Expect("a final set-state IOCTL", pending.get().status);
}

SoakWlan::SetSensor Soak::WlanSensors() {
    return [this](int channel, bool near) {
        return SetSensor(static_cast<std::uint32_t>(kModemSensors + 1 + channel), near);
    };
}

// The channel's worker takes every sensor change in turn, so the modem passes
// through the indexes of the states between: only an index seen once the
// machine has settled is its answer to the last change.
bool Soak::WaitForModem(std::int32_t index, const std::string& what) {
    const std::vector<std::int32_t> want(kAntennas, index);
    const auto deadline = Clock::now() + kSoakHangBound;
    std::vector<std::int32_t> seen;
    while (true) {
        const bool settled = sim::Settle(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
        seen = sim::modem::BackoffIndexes();
        if ((settled && seen == want) || Clock::now() >= deadline) {
            break;
        }
        // Settled but not there yet: a timed wait of the driver has still to
        // run out. Look again shortly; the deadline ends the wait.
        std::this_thread::sleep_for(1ms);
    }
    if (seen != want) {
        using sim::modem::Step;
        Fail("the modem holds " + IndexList(seen) + " " + std::to_string(kSoakHangBound.count()) +
             " s after " + what + ", not the table's index " + std::to_string(index) +
             " (back-off " + (sim::modem::BackoffEnabled() ? "enabled" : "disabled") +
             ", calls config " + std::to_string(sim::modem::Calls(Step::Configuration)) +
             " enable " + std::to_string(sim::modem::Calls(Step::Enable)) + " set " +
             std::to_string(sim::modem::Calls(Step::Set)) + ", " +
             std::to_string(sim::ip::InterfaceTypes().size()) + " IP interface(s), display " +
             std::to_string(static_cast<int>(sim::display::CurrentState())) + "; " +
             mSensors.Summary() + ")");
        return false;
    }
    return true;
}

// With the IOCTL threads still (or ended): faults cleared, the WWAN
// interface lost and back (a modem that said "not supported" is left alone
// until its interface or the device starts again), the WLAN interface there.
// First the hub and proximity sensors as the run left them, the service back
// and a state the soak cannot know made known, what counts as detected
// without a reading (or the display forcing) left to make the index alone:
// with the modem's APPS sensors near, then far, the modem must take that
// index. Then, with the display on, two changes of every sensor whose table
// indexes differ, the last to states drawn from the seed: the modem must
// follow both, so that an index it happened to hold already proves nothing,
// and the WLAN adapter's merged setting must follow the last.
void Soak::Checkpoint(std::mt19937_64& rng) {
    sim::modem::ClearFailures();
    mWlan.Restore();
    if (mWwanPresent) {
        sim::ip::RemoveInterface(IF_TYPE_WWANPP);
    }
    sim::ip::AddInterface(IF_TYPE_WWANPP);
    mWwanPresent = true;
    if (!sim::Settle(kSoakHangBound)) {
        Fail("the machine did not settle before a checkpoint; still owed: " + sim::OwedWork());
        return;
    }
    bool othersNear = false;
    if (std::string error = mSensors.Known(rng, &othersNear); !error.empty()) {
        Fail(error);
        return;
    }
    bool allNear[kSensors];
    std::fill(std::begin(allNear), std::end(allNear), true);
    const bool noneNear[kSensors] = {};
    if (!SetSensors(allNear) || !WaitForModem(kSomethingNear, "a checkpoint's APPS sensors near") ||
        !SetSensors(noneNear) ||
        !WaitForModem(TableIndex(othersNear),
                      "a checkpoint's APPS sensors far, the hub and proximity sensors and the "
                      "display as the soak's model has them")) {
        return;
    }

    if (std::string error = mSensors.Prepare(); !error.empty()) {
        Fail(error);
        return;
    }
    bool last[kSensors];
    for (bool& near : last) {
        near = rng() % 2 == 1;
    }
    const SoakSensors::States lastStates = mSensors.Draw(rng);
    const bool lastNear = ModemAppsNear(last) || lastStates.Near();
    bool before[kSensors];
    for (int i = 0; i < kSensors; ++i) {
        before[i] = i < kModemSensors ? !lastNear : !last[i];
    }
    const SoakSensors::States beforeStates = lastNear ? SoakSensors::States{} : lastStates;
    if (!SetAllSensors(before, beforeStates) ||
        !WaitForModem(TableIndex(!lastNear), "a checkpoint's first change") ||
        !SetAllSensors(last, lastStates) ||
        !WaitForModem(TableIndex(lastNear), "a checkpoint's last change")) {
        return;
    }
    bool wlanNear[SoakWlan::kChannels];
    std::copy_n(last + kModemSensors, SoakWlan::kChannels, wlanNear);
    if (std::string error = mWlan.Check(wlanNear, WlanSensors()); !error.empty()) {
        Fail(error);
        return;
    }
    Count(kCheckpoint);
    // Whatever failed on the way, the modem was never sent an index from no
    // row of the table.
    const auto payloads = sim::modem::SetPayloads();
    for (const auto& payload : payloads) {
        for (const sim::modem::Antenna& antenna : payload) {
            if (antenna.backoff != kNothingNear && antenna.backoff != kSomethingNear) {
                Fail("the modem was sent index " + std::to_string(antenna.backoff) +
                     ", from no row of the table");
                break;
            }
        }
    }
    mFinal = "last checkpoint: sensors";
    for (bool near : last) {
        mFinal += " " + std::to_string(near);
    }
    mFinal += ", " + mSensors.Summary() + "; modem at " + IndexList(sim::modem::BackoffIndexes()) +
              " as the table says, after " + std::to_string(payloads.size()) + " sets; " +
              mWlan.Summary();
    // The channel's one worker has had its last answer: every operation it
    // gave up on has been cancelled, none is left running at the modem.
    sim::Settle(kSoakHangBound);
    unsigned left = 0;
    for (auto step :
         {sim::modem::Step::Configuration, sim::modem::Step::Enable, sim::modem::Step::Set}) {
        left += sim::modem::Outstanding(step);
    }
    if (left != 0) {
        Fail(std::to_string(left) + " modem operation(s) left running after a checkpoint");
    }
}

void Soak::TearDown(std::mt19937_64& rng) {
    // Every other seed's removal meets the adapter refusing the removal
    // setting once.
    if (!mFailed.load() && !mFiles.empty()) {
        if (std::string error = mWlan.BeforeRemoval(mSeed % 2 == 0, WlanSensors());
            !error.empty()) {
            Fail(error);
        }
    }
    for (sim::HostFile& file : mFiles) {
        mHost->CloseFile(file);
    }
    mFiles.clear();
    if (!mFailed.load()) {
        if (std::string error = mSensors.BeforeRemoval(rng); !error.empty()) {
            Fail(error);
        }
    }
    if (Expect("removal", PowerCall("removal", [&] { return mHost->Remove(); })) &&
        !mFailed.load()) {
        if (std::string error = mWlan.CheckRemoval(); !error.empty()) {
            Fail(error);
        }
    }
    Bounded("unload", [&] {
        mHost->Unload();
        return STATUS_SUCCESS;
    });
    if (sim::HostLeaks leaks = mHost->LeakReport(); !leaks.Empty()) {
        Fail("left behind after removal and unload: " + leaks.ToString());
    }
}

int Soak::Run(const std::string& driverPath) {
    sim::SetTimeScale(kTimeScale);
    // Only the error traces are kept: they explain a failure, and formatting
    // every flow message would slow the storm down.
    sim::SetTraceLevel(TRACE_LEVEL_ERROR);
    std::mt19937_64 rng(mSeed);
    if (SetUp(driverPath)) {
        for (int i = 0; i < kIoctlThreads; ++i) {
            mThreads.emplace_back([this, i] { IoctlThread(i, mFiles[i]); });
        }
        const auto end =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double, std::ratio<60>>(mMinutes));
        while (!mFailed.load() && Clock::now() < end) {
            const bool cycled = rng() % 5 < 2;
            if (cycled) {
                PowerCycle(rng);
            } else {
                Environment(rng);
            }
            if (!WaitForProgress()) {
                break;
            }
            if (mSensors.Due()) {
                // The hub's sensor cannot be read after an outage past the
                // wait: a checkpoint follows at once, while nothing has
                // reported since. Its draws come from a generator of their
                // own, as its moment depends on machine time.
                const bool pastTheWait = mSensors.PastTheWait();
                Quietly([&] { return mSensors.EndOutage(); });
                if (pastTheWait && !mFailed.load()) {
                    Pause();
                    Checkpoint(mOutageRng);
                    Resume();
                }
            }
            // Now and then, right after a power cycle, the radio is checked
            // against the table before the storm goes on.
            if (cycled && rng() % 25 == 0) {
                Pause();
                if (!mFailed.load()) {
                    Checkpoint(rng);
                }
                Resume();
            }
        }
        // The device is in D0 here (every cycle ends there), so each
        // thread's last request completes.
        mStop.store(true);
        for (std::thread& thread : mThreads) {
            thread.join();
        }
        if (!mFailed.load()) {
            Checkpoint(rng);
        }
    }
    if (mHost->Driver() != nullptr) {
        TearDown(rng);
    }
    return Report();
}

} // namespace

std::string SoakSettle(const std::string& after) {
    if (sim::Settle(kSoakHangBound)) {
        return {};
    }
    return "the machine did not settle after " + after + "; still owed: " + sim::OwedWork();
}

int RunSoak(const std::string& driverPath, double minutes, std::optional<std::uint64_t> seed) {
    if (!seed) {
        std::random_device entropy;
        seed = (static_cast<std::uint64_t>(entropy()) << 32) | entropy();
    }
    return Soak(*seed, minutes).Run(driverPath);
}

} // namespace host
