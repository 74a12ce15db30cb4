#include "host/bench/HostBench.h"
#include "host/cli/Isolation.h"
#include "host/machine/Machine.h"

#include "platform/sim/quiescence.h"
#include "platform/sim/trace_recorder.h"
#include "platform/win32.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sched.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 2000;
constexpr int kIoctlSamples = 300;
constexpr int kAddSamples = 15;
constexpr int kScalingSamples = 5;

double Median(std::vector<double> samples) {
    if (samples.empty()) {
        return 0.0;
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Every measuring process runs on the same two processors: on a virtual
// machine a wake-up costs more on some processor pairs than on others, and the
// ratio is only fair when the floor and the driver draw the same pair.
void PinToTwoProcessors() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return;
    }
    cpu_set_t pair;
    CPU_ZERO(&pair);
    int taken = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE && taken < 2; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            CPU_SET(cpu, &pair);
            ++taken;
        }
    }
    if (taken == 2) {
        sched_setaffinity(0, sizeof pair, &pair);
    }
}

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// The floor: one thread signals, the other wakes and signals back.
struct PingPong {
    HANDLE ping = nullptr;
    HANDLE pong = nullptr;
    std::atomic<bool> stop{false};
};

DWORD WINAPI PongThread(LPVOID parameter) {
    auto* pp = static_cast<PingPong*>(parameter);
    while (WaitForSingleObject(pp->ping, INFINITE) == WAIT_OBJECT_0 && !pp->stop.load()) {
        SetEvent(pp->pong);
    }
    return 0;
}

// The floor's two threads, kept for the whole measurement so that its rounds
// can be interleaved with the driver's.
class Floor {
public:
    Floor() {
        mPingPong.ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        mPingPong.pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        mThread = CreateThread(nullptr, 0, PongThread, &mPingPong, 0, nullptr);
    }
    ~Floor() {
        mPingPong.stop = true;
        SetEvent(mPingPong.ping);
        WaitForSingleObject(mThread, INFINITE);
        CloseHandle(mThread);
        CloseHandle(mPingPong.ping);
        CloseHandle(mPingPong.pong);
    }
    Floor(const Floor&) = delete;
    Floor& operator=(const Floor&) = delete;

    double RoundTripMicros() {
        auto begin = Clock::now();
        SetEvent(mPingPong.ping);
        WaitForSingleObject(mPingPong.pong, INFINITE);
        return Micros(Clock::now() - begin);
    }

private:
    PingPong mPingPong;
    HANDLE mThread = nullptr;
};

std::string Dword(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(value));
    return text;
}

// `channels` MODEM channels, channel c with APPS sensor c + 1.
std::string ChannelsConfig(int channels) {
    std::string text = "Windows Registry Editor Version 5.00\n\n[Device Parameters]\n";
    text += "\"NumberOfChannels\"=" + Dword(channels) + "\n";
    for (int c = 0; c < channels; ++c) {
        std::string key = "[Device Parameters\\channel" + std::to_string(c) + "]\n";
        text += "\n" + key + "\"ChannelType\"=\"MODEM\"\n\"SarMappingCount\"=dword:00000002\n";
        text += "\"0\"=dword:00000001\n\"1\"=dword:00000003\n";
        text += "\n[Device Parameters\\channel" + std::to_string(c) + "\\0]\n\"Type\"=\"APPS\"\n";
        text += "\"ID\"=" + Dword(c + 1) + "\n";
    }
    return text;
}

// Medians, in microseconds, of the floor's round trip and of the time from the
// IOCTL until the modem has the new indexes, measured in alternation so that
// both see the same load on the machine. Empty on failure.
std::vector<double> MeasureIoctlToModem(const std::string& driverPath) {
    Machine machine(driverPath);
    std::string error = machine.ImportConfigText(ChannelsConfig(1), "bench.reg");
    machine.ModemAntennas(2, 0);
    machine.WwanAdd(243);
    if (error.empty() && machine.AddDevice(&error) == 0 && error.empty()) {
        machine.Start(&error);
    }
    if (!error.empty()) {
        std::fprintf(stderr, "halvex-host: %s\n", error.c_str());
        return {};
    }
    sim::SetTraceLevel(2); // the measured path should not pay for verbose tracing
    Floor floor;
    std::vector<double> floorSamples;
    std::vector<double> samples;
    std::vector<double> ioctlOnly;
    std::uint32_t state = 0;
    for (int i = 0; i < kIoctlSamples; ++i) {
        for (int r = 0; r < kRoundTrips / kIoctlSamples; ++r) {
            floorSamples.push_back(floor.RoundTripMicros());
        }
        sim::Settle();
        auto ioctlBegin = Clock::now();
        machine.Ioctl(kIoctlGetInfo, {}, 8, &error);
        ioctlOnly.push_back(Micros(Clock::now() - ioctlBegin));
        sim::Settle();
        std::size_t before = machine.ModemSetCount();
        auto begin = Clock::now();
        machine.Ioctl(kIoctlSetSensorState, SetSensorStateInput(1, state), 0, &error);
        while (machine.ModemSetCount() == before) {
            std::this_thread::yield();
            if (Clock::now() - begin > std::chrono::seconds(5)) {
                std::fprintf(stderr, "halvex-host: the modem received nothing within 5 s\n");
                return {};
            }
        }
        samples.push_back(Micros(Clock::now() - begin));
        state ^= 1;
    }
    machine.Remove(&error);
    return {Median(floorSamples), Median(samples), Median(ioctlOnly)};
}

// Runs `measure` in a fresh process and returns what it measured; empty on failure.
std::vector<double> MeasureIsolated(const std::string& what,
                                    const std::function<std::vector<double>()>& measure) {
    std::string bytes;
    int status = RunIsolatedForText(
        what,
        [&](std::string* out) {
            PinToTwoProcessors();
            std::vector<double> values = measure();
            out->assign(reinterpret_cast<const char*>(values.data()),
                        values.size() * sizeof(double));
            return values.empty() ? 2 : 0;
        },
        &bytes);
    std::vector<double> values(bytes.size() / sizeof(double));
    if (status != 0 || values.empty()) {
        return {};
    }
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(double));
    return values;
}

// Device add plus remove with `channels` channels, in microseconds: what
// grows with the size of the configuration (reading it, building and
// releasing the channels and their sensor-state entries).
std::vector<double> MeasureAddRemove(const std::string& driverPath, int channels) {
    Machine machine(driverPath);
    std::string error = machine.ImportConfigText(ChannelsConfig(channels), "bench.reg");
    sim::SetTraceLevel(2);
    // Loading the library (and registering its schemas) is no part of it.
    if (error.empty()) {
        machine.Load(&error);
    }
    auto begin = Clock::now();
    if (error.empty() && machine.AddDevice(&error) == 0 && error.empty()) {
        machine.Remove(&error);
    }
    double us = Micros(Clock::now() - begin);
    if (!error.empty()) {
        std::fprintf(stderr, "halvex-host: %s\n", error.c_str());
        return {};
    }
    return {us};
}

// One device add plus start with four channels (the device is removed after).
std::vector<double> MeasureAddStart(const std::string& driverPath) {
    Machine machine(driverPath);
    std::string error = machine.ImportConfigText(ChannelsConfig(4), "bench.reg");
    sim::SetTraceLevel(2);
    auto begin = Clock::now();
    if (error.empty() && machine.AddDevice(&error) == 0 && error.empty()) {
        machine.Start(&error);
    }
    double us = Micros(Clock::now() - begin);
    if (!error.empty()) {
        std::fprintf(stderr, "halvex-host: %s\n", error.c_str());
        return {};
    }
    machine.Remove(&error);
    return {us};
}

} // namespace

int RunHostBench(const std::string& driverPath) {
    // Each measurement runs in a process of its own: the driver's process-wide
    // state must start fresh, and the host process itself starts no threads.
    std::vector<double> latency = MeasureIsolated("the IOCTL-to-modem measurement",
                                                  [&] { return MeasureIoctlToModem(driverPath); });
    if (latency.size() != 3 || latency[0] <= 0) {
        return 2;
    }
    double floor = latency[0];
    double ioctl = latency[1];
    std::printf("event ping-pong round trip (floor):  median %9.1f us over %d\n", floor,
                kRoundTrips);
    std::printf("IOCTL to modem indexes:              median %9.1f us over %d\n", ioctl,
                kIoctlSamples);
    std::printf(
        "  a bare get-info IOCTL round trip:  median %9.1f us (the framework's request path)\n",
        latency[2]);
    std::printf("ratio IOCTL-to-modem / floor:        %9.2f  (aim: at most 3)\n", ioctl / floor);
    std::fflush(stdout);
    std::vector<double> adds;
    for (int i = 0; i < kAddSamples; ++i) {
        std::vector<double> us =
            MeasureIsolated("an add-and-start sample", [&] { return MeasureAddStart(driverPath); });
        if (us.size() != 1) {
            std::fprintf(stderr, "halvex-host: the add-and-start samples failed\n");
            return 2;
        }
        adds.push_back(us[0]);
    }
    std::printf("device add + start, 4 channels:      median %9.1f us over %d\n", Median(adds),
                kAddSamples);
    std::fflush(stdout);

    // How the cost grows with the number of channels. Device add has a fixed
    // cost of its own (the framework, its modules, the COM apartment), so
    // each step is judged by the cost of the channels it adds: a linear add
    // and removal keeps that flat from step to step.
    double previousTotal = 0;
    double previousPerChannel = 0;
    int previousChannels = 0;
    for (int channels : {1, 10, 100, 1000}) {
        std::vector<double> samples;
        for (int i = 0; i < kScalingSamples; ++i) {
            std::vector<double> us = MeasureIsolated(
                "an add-and-remove sample", [&] { return MeasureAddRemove(driverPath, channels); });
            if (us.size() != 1) {
                std::fprintf(stderr, "halvex-host: the add-and-remove samples failed\n");
                return 2;
            }
            samples.push_back(us[0]);
        }
        double total = Median(samples);
        std::printf("device add + remove, %4d channel(s): median %9.1f us", channels, total);
        if (previousChannels > 0) {
            double perChannel = (total - previousTotal) / (channels - previousChannels);
            std::printf(", %6.1f us per channel added", perChannel);
            if (previousPerChannel > 0) {
                std::printf(", x%.2f the step before (aim: at most 1.5)",
                            perChannel / previousPerChannel);
            }
            previousPerChannel = perChannel;
        }
        std::printf("\n");
        previousTotal = total;
        previousChannels = channels;
    }
    return 0;
}

} // namespace host
