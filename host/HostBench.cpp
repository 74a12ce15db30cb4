#include "host/HostBench.h"
#include "host/Isolation.h"
#include "host/Machine.h"

#include "platform/sim/quiescence.h"
#include "platform/sim/trace_recorder.h"
#include "platform/win32.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 2000;
constexpr int kIoctlSamples = 300;
constexpr int kAddSamples = 15;

double Median(std::vector<double> samples) {
    if (samples.empty()) {
        return 0.0;
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
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

double MeasureFloor() {
    PingPong pp;
    pp.ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    pp.pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, PongThread, &pp, 0, nullptr);
    std::vector<double> samples;
    samples.reserve(kRoundTrips);
    for (int i = 0; i < kRoundTrips; ++i) {
        auto begin = Clock::now();
        SetEvent(pp.ping);
        WaitForSingleObject(pp.pong, INFINITE);
        samples.push_back(Micros(Clock::now() - begin));
    }
    pp.stop = true;
    SetEvent(pp.ping);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(pp.ping);
    CloseHandle(pp.pong);
    return Median(samples);
}

std::string ChannelsConfig(int channels) {
    std::string text = "Windows Registry Editor Version 5.00\n\n[Device Parameters]\n";
    text += "\"NumberOfChannels\"=dword:0000000" + std::to_string(channels) + "\n";
    for (int c = 0; c < channels; ++c) {
        std::string key = "[Device Parameters\\channel" + std::to_string(c) + "]\n";
        text += "\n" + key + "\"ChannelType\"=\"MODEM\"\n\"SarMappingCount\"=dword:00000002\n";
        text += "\"0\"=dword:00000001\n\"1\"=dword:00000003\n";
        text += "\n[Device Parameters\\channel" + std::to_string(c) + "\\0]\n\"Type\"=\"APPS\"\n";
        text += "\"ID\"=dword:0000000" + std::to_string(c + 1) + "\n";
    }
    return text;
}

std::vector<std::uint8_t> SetState(std::uint32_t id, std::uint32_t state) {
    std::vector<std::uint8_t> bytes(8, 0);
    bytes[0] = static_cast<std::uint8_t>(id);
    bytes[4] = static_cast<std::uint8_t>(state);
    return bytes;
}

// Median microseconds from the IOCTL until the modem has the new indexes; <0 on failure.
double MeasureIoctlToModem(const std::string& driverPath) {
    Machine machine(driverPath);
    std::string error = machine.ImportConfigText(ChannelsConfig(1), "bench.reg");
    machine.ModemAntennas(2, 0);
    machine.WwanAdd(243);
    if (error.empty() && machine.AddDevice(&error) == 0 && error.empty()) {
        machine.Start(&error);
    }
    if (!error.empty()) {
        std::fprintf(stderr, "halvex-host: %s\n", error.c_str());
        return -1;
    }
    sim::SetTraceLevel(2); // the measured path should not pay for verbose tracing
    std::vector<double> samples;
    std::uint32_t state = 0;
    for (int i = 0; i < kIoctlSamples; ++i) {
        sim::Settle();
        std::size_t before = machine.ModemSetCount();
        auto begin = Clock::now();
        machine.Ioctl(0x81290804u, SetState(1, state), 0, &error);
        while (machine.ModemSetCount() == before) {
            if (Clock::now() - begin > std::chrono::seconds(5)) {
                std::fprintf(stderr, "halvex-host: the modem received nothing within 5 s\n");
                return -1;
            }
        }
        samples.push_back(Micros(Clock::now() - begin));
        state ^= 1;
    }
    machine.Remove(&error);
    return Median(samples);
}

// Runs `measure` in a fresh process and returns what it measured; <0 on failure.
double MeasureIsolated(const std::string& what, const std::function<double()>& measure) {
    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    int status = RunIsolated(what, [&] {
        close(fds[0]);
        double value = measure();
        ssize_t written = write(fds[1], &value, sizeof value);
        close(fds[1]);
        return written == sizeof value && value >= 0 ? 0 : 2;
    });
    close(fds[1]);
    double value = -1;
    ssize_t got = read(fds[0], &value, sizeof value);
    close(fds[0]);
    return status == 0 && got == sizeof value ? value : -1;
}

// One device add plus start with four channels (the device is removed after).
double MeasureAddStart(const std::string& driverPath) {
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
        return -1;
    }
    machine.Remove(&error);
    return us;
}

} // namespace

int RunHostBench(const std::string& driverPath) {
    // Each measurement runs in a process of its own: the driver's process-wide
    // state must start fresh, and the host process itself starts no threads.
    double floor = MeasureIsolated("the ping-pong floor", MeasureFloor);
    double ioctl = MeasureIsolated("the IOCTL-to-modem measurement",
                                   [&] { return MeasureIoctlToModem(driverPath); });
    if (floor <= 0 || ioctl < 0) {
        return 2;
    }
    std::printf("event ping-pong round trip (floor):  median %9.1f us over %d\n", floor,
                kRoundTrips);
    std::printf("IOCTL to modem indexes:              median %9.1f us over %d\n", ioctl,
                kIoctlSamples);
    std::printf("ratio IOCTL-to-modem / floor:        %9.2f  (aim: at most 3)\n", ioctl / floor);
    std::fflush(stdout);
    std::vector<double> adds;
    for (int i = 0; i < kAddSamples; ++i) {
        double us =
            MeasureIsolated("an add-and-start sample", [&] { return MeasureAddStart(driverPath); });
        if (us < 0) {
            std::fprintf(stderr, "halvex-host: the add-and-start samples failed\n");
            return 2;
        }
        adds.push_back(us);
    }
    double add = Median(adds);
    std::printf("device add + start, 4 channels:      median %9.1f us over %d\n", add, kAddSamples);
    return 0;
}

} // namespace host
