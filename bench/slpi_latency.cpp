// How long a reading of the sensor hub's SAR sensor takes to reach the modem:
// from the report leaving the simulated hub (an HMX indication posted to the
// driver's client) to the modem's antennas holding the new back-off index,
// through the HMCI receive path, the indication's decoding, the channel's
// worker and the modem's SAR set. Measured round for round against the floor
// of the same run, a bare two-thread ping-pong on the stand-in's events.
//
// The path crosses three threads (the hub's delivery thread, the channel's
// worker, the modem's completion thread) where the floor crosses one, and the
// end is seen by polling the modem, so a ratio near 3 is the shape of the
// path, not overhead of the driver's own.
#include "bench/bench_support.h"
#include "halvex/driver/Driver.h"
#include "hmx/hmx_cci_startup.h"
#include "platform/sim/driver_host.h"
#include "platform/sim/ip_interfaces.h"
#include "platform/sim/modem.h"
#include "platform/sim/quiescence.h"
#include "platform/sim/registry.h"
#include "platform/sim/sensor_client_service.h"
#include "platform/sim/trace_recorder.h"
#include "platform/trace.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <thread>

namespace {

using bench::NowNs;
using bench::PinCurrentThread;
using bench::Processors;
using bench::Samples;

bench::AgainstFloor gReport;

constexpr char kConfig[] = "Windows Registry Editor Version 5.00\n"
                           "[Device Parameters]\n\"NumberOfChannels\"=dword:1\n"
                           "[Device Parameters\\channel0]\n\"ChannelType\"=\"MODEM\"\n"
                           "\"SarMappingCount\"=dword:2\n\"0\"=dword:1\n\"1\"=dword:3\n"
                           "[Device Parameters\\channel0\\0]\n\"Type\"=\"SLPI\"\n\"ID\"=dword:5\n";

// A started device whose one channel's SLPI sensor has subscribed to the hub.
class SlpiDevice {
public:
    SlpiDevice() {
        sim::hub::Reset();
        hmx_cci_library_start();
        sim::registry::ImportRegText(kConfig);
        sim::modem::Install(2, 0);
        sim::ip::AddInterface();
        mHost.LoadEntry(DriverEntry);
        mHost.AddDevice();
        mHost.Start();
        sim::Settle();
        for (float value : {0.0f, 1.0f}) {
            mBodies.push_back(sim::hub::IndicationBody(sim::hub::EventMessage(
                sim::hub::kDefaultSarSuid,
                {{sim::hub::kSensorEvent, sim::hub::SensorEventPayload({value})}})));
        }
        auto clients = sim::hub::Transport().ClientHandles(sim::hub::kServiceId);
        mClient = clients.empty() ? 0 : clients.front();
    }
    ~SlpiDevice() { mHost.Remove(); }

    bool Ready() const { return mClient != 0; }

    // One round: the sensor turns to the other state; returns the time from
    // the report leaving the hub to the antennas holding the index.
    double Round() {
        mDetected = !mDetected;
        const std::int32_t index = mDetected ? 3 : 1;
        const auto& body = mBodies[mDetected ? 1 : 0];
        std::int64_t sentAt = NowNs();
        sim::hub::Transport().SendIndication(mClient, 0x21, body);
        while (sim::modem::BackoffIndexes().front() != index) {
            std::this_thread::yield();
        }
        return static_cast<double>(NowNs() - sentAt);
    }

private:
    sim::DriverHost mHost;
    std::vector<std::vector<std::uint8_t>> mBodies;
    std::uint32_t mClient = 0;
    bool mDetected = true; // a sensor that has not reported counts as detected
};

void BM_ReportAgainstFloor(benchmark::State& state) {
    PinCurrentThread(Processors().sender);
    bench::PingPongFloor floor;
    SlpiDevice device;
    if (!device.Ready()) {
        state.SkipWithError("the SLPI sensor did not subscribe to the hub");
        return;
    }
    gReport.Run(state, floor, device, "hub report to modem");
}
BENCHMARK(BM_ReportAgainstFloor)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    if (bench::RunBenchmarks(argc, argv) != 0) {
        return 1;
    }
    gReport.Print("hub report to modem", 3.0);
    return 0;
}
