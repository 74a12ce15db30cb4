// How long a sensor change takes to reach the radio path: from a provider
// signalling its channel's sensor-changed event to the notifier's Notify being
// entered, against the floor of the same machine: a bare two-thread ping-pong
// on the stand-in's events. Both are one-way latencies, timed per round.
//
// The sending thread and the answering thread (the ping-pong responder, the
// channel worker) are pinned to the same two processors in every benchmark:
// on a virtual machine a wake-up costs several times more on some processor
// pairs than on others, and a ratio is only fair when both sides draw the same.
//
// Tracing stays at the error level, where a deployed driver's recorder runs;
// a flow-level trace per pass would measure the recorder, not the channel.
#include "halvex/driver/ChannelConfig.h"
#include "halvex/driver/EventHandler.h"
#include "platform/sim/trace_recorder.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>

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

// The sender's and the answerer's processors: the first two this process may use.
struct ProcessorPair {
    int sender = -1;
    int answerer = -1;
    ProcessorPair() {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
            return;
        }
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &allowed)) {
                (sender < 0 ? sender : answerer) = cpu;
                if (answerer >= 0) {
                    break;
                }
            }
        }
    }
};

const ProcessorPair& Processors() {
    static const ProcessorPair pair;
    return pair;
}

void PinCurrentThread(int cpu) {
    if (cpu < 0) {
        return; // a single processor: nothing to choose
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

class PingPongFloor {
public:
    PingPongFloor() {
        mThread = CreateThread(nullptr, 0, Responder, this, 0, nullptr);
        Round(); // lets the responder pin itself
    }
    ~PingPongFloor() {
        mQuit = true;
        SetEvent(mPing);
        WaitForSingleObject(mThread, INFINITE);
        CloseHandle(mThread);
        CloseHandle(mPing);
        CloseHandle(mPong);
    }

    // One round; returns the one-way latency in nanoseconds.
    double Round() {
        mSentAt = NowNs();
        SetEvent(mPing);
        WaitForSingleObject(mPong, INFINITE);
        return static_cast<double>(mLatency.load());
    }

private:
    static DWORD WINAPI Responder(LPVOID parameter) {
        auto* self = static_cast<PingPongFloor*>(parameter);
        PinCurrentThread(Processors().answerer);
        for (;;) {
            if (WaitForSingleObject(self->mPing, INFINITE) != WAIT_OBJECT_0 || self->mQuit) {
                return 0;
            }
            self->mLatency = NowNs() - self->mSentAt;
            SetEvent(self->mPong);
        }
    }

    HANDLE mPing = NewAutoResetEvent();
    HANDLE mPong = NewAutoResetEvent();
    HANDLE mThread = nullptr;
    std::atomic<std::int64_t> mSentAt{0};
    std::atomic<std::int64_t> mLatency{0};
    std::atomic<bool> mQuit{false};
};

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
    explicit BenchNotifier(HANDLE ack) : mAck(ack) {}
    bool Start() override { return true; }
    bool Stop() override { return true; }
    bool Notify(ULONG, LONG*) override {
        latency = NowNs() - sentAt;
        if (!mPinned) {
            PinCurrentThread(Processors().answerer); // the worker thread
            mPinned = true;
        }
        SetEvent(mAck);
        DeliveryCompleted();
        return true;
    }

    std::atomic<std::int64_t> sentAt{0};
    std::atomic<std::int64_t> latency{0};

private:
    HANDLE mAck;
    bool mPinned = false;
};

// A running channel whose notifier answers every Notify.
class BenchChannel {
public:
    explicit BenchChannel(int providerCount) {
        mNotifier = new BenchNotifier(mAck);
        auto* interpreter = new Interpreter;
        interpreter->SetMapping(0, 1);
        interpreter->SetMapping(1, 2);
        mHandler = new EventHandler(mNotifier, interpreter, ChannelTypeWlan);
        mNotifier->ResendDataEvent = mHandler->GetNotifierEvent();
        for (int i = 0; i < providerCount; ++i) {
            mHandler->AddSensor(new BenchProvider);
        }
        mHandler->Start();
        mSensorEvent = mHandler->GetSensorEvent();
        Round(); // lets the worker pin itself
    }
    ~BenchChannel() {
        mHandler->Stop();
        delete mHandler;
        CloseHandle(mAck);
    }

    // One round: a provider signals, the worker passes over every provider,
    // the table gives an index, Notify is entered and answers. Returns the
    // one-way latency from the signal to Notify, in nanoseconds.
    double Round() {
        mNotifier->sentAt = NowNs();
        SetEvent(mSensorEvent);
        WaitForSingleObject(mAck, INFINITE);
        return static_cast<double>(mNotifier->latency.load());
    }

private:
    HANDLE mAck = NewAutoResetEvent();
    BenchNotifier* mNotifier = nullptr;
    EventHandler* mHandler = nullptr;
    HANDLE mSensorEvent = nullptr;
};

void BM_EventPingPongFloor(benchmark::State& state) {
    PinCurrentThread(Processors().sender);
    PingPongFloor floor;
    Samples local;
    for (auto _ : state) {
        local.ns.push_back(floor.Round());
    }
    state.counters["median_one_way_ns"] = local.Median();
}
BENCHMARK(BM_EventPingPongFloor)->UseRealTime();

// The channel against the floor, round for round, so that both see the same
// machine (load, frequency, where the scheduler puts the threads).
void BM_ChannelAgainstFloor(benchmark::State& state) {
    PinCurrentThread(Processors().sender);
    PingPongFloor floor;
    BenchChannel channel(1);
    Samples floorSamples;
    Samples channelSamples;
    for (auto _ : state) {
        floorSamples.ns.push_back(floor.Round());
        channelSamples.ns.push_back(channel.Round());
    }
    double floorMedian = floorSamples.Median();
    double channelMedian = channelSamples.Median();
    state.counters["floor_median_ns"] = floorMedian;
    state.counters["channel_median_ns"] = channelMedian;
    state.counters["ratio"] = floorMedian > 0.0 ? channelMedian / floorMedian : 0.0;
    gFloor.ns.insert(gFloor.ns.end(), floorSamples.ns.begin(), floorSamples.ns.end());
    gChannel.ns.insert(gChannel.ns.end(), channelSamples.ns.begin(), channelSamples.ns.end());
}
BENCHMARK(BM_ChannelAgainstFloor)->UseRealTime();

// The cost of a whole round with 1, 4 and 16 providers on the channel.
void BM_ChannelPass(benchmark::State& state) {
    PinCurrentThread(Processors().sender);
    BenchChannel channel(static_cast<int>(state.range(0)));
    Samples local;
    for (auto _ : state) {
        local.ns.push_back(channel.Round());
    }
    state.counters["median_one_way_ns"] = local.Median();
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
