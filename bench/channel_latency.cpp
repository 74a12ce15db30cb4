// How long a sensor change takes to reach the radio path: from a provider
// signalling its channel's sensor-changed event to the notifier's Notify being
// entered, against the floor of the same machine: a bare two-thread ping-pong
// on the stand-in's events. Both are one-way latencies, timed per round.
//
// Tracing stays at the error level, where a deployed driver's recorder runs;
// a flow-level trace per pass would measure the recorder, not the channel.
#include "halvex/driver/ChannelConfig.h"
#include "halvex/driver/EventHandler.h"
#include "platform/sim/trace_recorder.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One-way latencies of every round of a benchmark, over all its runs.
struct Samples {
    std::vector<double> ns;
    double Median() {
        if (ns.empty()) {
            return 0.0;
        }
        auto middle = ns.begin() + static_cast<std::ptrdiff_t>(ns.size() / 2);
        std::nth_element(ns.begin(), middle, ns.end());
        return *middle;
    }
};

Samples gFloor;
Samples gChannel;

HANDLE NewAutoResetEvent() {
    return CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

// --- The floor: two threads and two events, nothing else. ---

struct PingPong {
    HANDLE ping = NewAutoResetEvent();
    HANDLE pong = NewAutoResetEvent();
    std::atomic<std::int64_t> sentAt{0};
    std::atomic<std::int64_t> latency{0};
    std::atomic<bool> quit{false};

    static DWORD WINAPI Responder(LPVOID parameter) {
        auto* self = static_cast<PingPong*>(parameter);
        for (;;) {
            if (WaitForSingleObject(self->ping, INFINITE) != WAIT_OBJECT_0 || self->quit) {
                return 0;
            }
            self->latency = NowNs() - self->sentAt;
            SetEvent(self->pong);
        }
    }
};

void BM_EventPingPongFloor(benchmark::State& state) {
    PingPong pingPong;
    HANDLE thread = CreateThread(nullptr, 0, PingPong::Responder, &pingPong, 0, nullptr);
    Samples local;
    for (auto _ : state) {
        pingPong.sentAt = NowNs();
        SetEvent(pingPong.ping);
        WaitForSingleObject(pingPong.pong, INFINITE);
        local.ns.push_back(static_cast<double>(pingPong.latency.load()));
    }
    pingPong.quit = true;
    SetEvent(pingPong.ping);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(pingPong.ping);
    CloseHandle(pingPong.pong);
    state.counters["median_one_way_ns"] = local.Median();
    gFloor.ns.insert(gFloor.ns.end(), local.ns.begin(), local.ns.end());
}
BENCHMARK(BM_EventPingPongFloor)->UseRealTime();

// --- The channel path: a provider's signal through the worker to Notify. ---

class BenchProvider : public DataProvider {
public:
    bool Start() override { return true; }
    bool Stop() override { return true; }
    bool IsActive() override { return ValueOrForcedActive(); }
    void OnPowerSettingChange(ULONG, const POWERBROADCAST_SETTING*) override {}
};

class BenchNotifier : public DataNotifier {
public:
    bool Start() override { return true; }
    bool Stop() override { return true; }
    bool Notify(ULONG, LONG*) override {
        latency = NowNs() - sentAt;
        SetEvent(ack);
        DeliveryCompleted();
        return true;
    }

    HANDLE ack = NewAutoResetEvent();
    std::atomic<std::int64_t> sentAt{0};
    std::atomic<std::int64_t> latency{0};
};

// Rounds of: a provider signals, the worker passes over every provider, the
// table gives an index, Notify is entered and answers.
void RunChannel(benchmark::State& state, int providerCount, Samples* into) {
    auto* notifier = new BenchNotifier;
    HANDLE ack = notifier->ack;
    auto* interpreter = new Interpreter;
    interpreter->SetMapping(0, 1);
    interpreter->SetMapping(1, 2);
    {
        EventHandler handler(notifier, interpreter, ChannelTypeWlan);
        notifier->ResendDataEvent = handler.GetNotifierEvent();
        for (int i = 0; i < providerCount; ++i) {
            handler.AddSensor(new BenchProvider);
        }
        handler.Start();
        HANDLE sensorEvent = handler.GetSensorEvent();
        Samples local;
        for (auto _ : state) {
            notifier->sentAt = NowNs();
            SetEvent(sensorEvent);
            WaitForSingleObject(ack, INFINITE);
            local.ns.push_back(static_cast<double>(notifier->latency.load()));
        }
        handler.Stop();
        state.counters["median_one_way_ns"] = local.Median();
        if (into != nullptr) {
            into->ns.insert(into->ns.end(), local.ns.begin(), local.ns.end());
        }
    }
    CloseHandle(ack);
}

void BM_ChannelSensorToNotify(benchmark::State& state) {
    RunChannel(state, 1, &gChannel);
}
BENCHMARK(BM_ChannelSensorToNotify)->UseRealTime();

// The cost of a whole pass (signal, wake, IsActive of every provider, lookup,
// Notify, answer) with 1, 4 and 16 providers on the channel.
void BM_ChannelPass(benchmark::State& state) {
    RunChannel(state, static_cast<int>(state.range(0)), nullptr);
}
BENCHMARK(BM_ChannelPass)->Arg(1)->Arg(4)->Arg(16)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    sim::SetTraceLevel(TRACE_LEVEL_ERROR);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    double floor = gFloor.Median();
    double channel = gChannel.Median();
    if (floor > 0.0 && channel > 0.0) {
        std::printf(
            "floor median %.0f ns, channel median %.0f ns, ratio %.2f (aim: at most 1.50)\n", floor,
            channel, channel / floor);
    } else {
        std::printf("floor or channel benchmark not run: no ratio\n");
    }
    return 0;
}
