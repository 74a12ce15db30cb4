// What the benchmarks share: a clock, per-round samples, processor pinning and
// the floor every latency is measured against, a bare two-thread ping-pong on
// the stand-in's events.
#pragma once

#include "platform/sim/trace_recorder.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <benchmark/benchmark.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

inline std::int64_t NowNs() {
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

inline HANDLE NewAutoResetEvent() {
    return CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

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

inline const ProcessorPair& Processors() {
    static const ProcessorPair pair;
    return pair;
}

inline void PinCurrentThread(int cpu) {
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

// A path measured against the floor round for round, so that both see the
// same machine (load, frequency, where the scheduler puts the threads); the
// rounds of every run are kept for the closing line.
struct AgainstFloor {
    Samples floor;
    Samples path;

    // Runs the benchmark's rounds and publishes both medians and their ratio.
    template <typename Floor, typename Path>
    void Run(benchmark::State& state, Floor& floorPath, Path& measured, const char* name) {
        Samples f;
        Samples p;
        for (auto _ : state) {
            f.ns.push_back(floorPath.Round());
            p.ns.push_back(measured.Round());
        }
        double floorMedian = f.Median();
        double pathMedian = p.Median();
        state.counters["floor_median_ns"] = floorMedian;
        state.counters[std::string(name) + "_median_ns"] = pathMedian;
        state.counters["ratio"] = floorMedian > 0.0 ? pathMedian / floorMedian : 0.0;
        floor.ns.insert(floor.ns.end(), f.ns.begin(), f.ns.end());
        path.ns.insert(path.ns.end(), p.ns.begin(), p.ns.end());
    }

    // "floor median F ns, NAME median P ns, ratio R (aim: at most AIM)".
    void Print(const char* name, double aim) {
        double f = floor.Median();
        double p = path.Median();
        if (f > 0.0 && p > 0.0) {
            std::printf("floor median %.0f ns, %s median %.0f ns, ratio %.2f (aim: at most %.2f)\n",
                        f, name, p, p / f, aim);
        } else {
            std::printf("floor or %s benchmark not run: no ratio\n", name);
        }
    }
};

// Runs the registered benchmarks with tracing at the error level, where a
// deployed driver's recorder runs. 1 for an unknown argument.
inline int RunBenchmarks(int argc, char** argv) {
    sim::SetTraceLevel(TRACE_LEVEL_ERROR);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace bench
