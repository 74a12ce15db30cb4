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
#include "bench/bench_support.h"
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

using bench::NewAutoResetEvent;
using bench::NowNs;
using bench::PinCurrentThread;
using bench::PingPongFloor;
using bench::Processors;
using bench::Samples;

bench::AgainstFloor gChannel;

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
        // The first compute, once told to begin, lets the worker pin itself.
        mHandler->BeginComputing();
        WaitForSingleObject(mAck, INFINITE);
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
    gChannel.Run(state, floor, channel, "channel");
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
    if (bench::RunBenchmarks(argc, argv) != 0) {
        return 1;
    }
    gChannel.Print("channel", 1.5);
    return 0;
}
