// The exports: overhead above the fixed wait and its parts, beside the minimal transaction; many
// ports at once; heap use per call.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "Bench.h"
#include "Heap.h"
#include "Minimal.h"
#include "TarvikDLL.h"
#include "comport/ComPort.h"
#include "digital/Hart.h"
#include "readout/Protocol.h"

namespace tarvik::bench {

namespace {

using namespace comport;

constexpr int kFlowPort = 1;
constexpr int kChannel = 1;

std::int32_t CallReadFlow(int com) {
    std::int32_t value = 0;
    std::uint8_t units = 0, s1 = 0, s2 = 0;
    return ReadFlow(com, kFlowBaud, kFlowIdHigh, kFlowIdMid, com, kFlowDeviceType, &value, &units, &s1, &s2);
}

std::int32_t CallReadPV() {
    float value = 0;
    return ReadProcessVariable_0731(kReadoutPort, kChannel, &value);
}

// The parts of one call, each timed on its own.
double PortCheck(const std::string& device) {
    return TimeMs([&] { benchmark::DoNotOptimize(ComPortListed(device)); });
}

double TrialOpen(const std::string& device) {
    return TimeMs([&] {
        TComPort port;
        port.SetDeviceName(device);
        port.Open();
        port.Close();
    });
}

double RequestOpen(const std::string& device, TParity parity, TBaudRate baud) {
    return TimeMs([&] {
        TComPort port;
        port.SetParity(parity);
        port.SetBaudRate(baud);
        port.SetDeviceName(device);
        port.SetStopBits(sb1);
        port.SetDataBits(db8);
        port.Open();
        port.Close();
    });
}

struct Overheads {
    std::vector<double> total, check, trial, open, minimal, cycle;
    std::vector<double> calls; // whole export calls
};

void Publish(benchmark::State& state, const std::string& key, const Overheads& o, int waitMs) {
    auto& f = Figures();
    f[key + ".wait"] = waitMs;
    f[key + ".call"] = Median(o.calls);
    f[key + ".overhead"] = Median(o.total);
    f[key + ".check"] = Median(o.check);
    f[key + ".trial"] = Median(o.trial);
    f[key + ".open"] = Median(o.open);
    f[key + ".rest"] = f[key + ".overhead"] - f[key + ".check"] - f[key + ".trial"] - f[key + ".open"];
    f[key + ".minimal"] = Median(o.minimal);
    f[key + ".cycle"] = Median(o.cycle);
    state.counters["overhead_ms"] = f[key + ".overhead"];
    state.counters["check_ms"] = f[key + ".check"];
    state.counters["trial_ms"] = f[key + ".trial"];
    state.counters["open_ms"] = f[key + ".open"];
    state.counters["rest_ms"] = f[key + ".rest"];
    state.counters["minimal_ms"] = f[key + ".minimal"];
    state.counters["vs_minimal"] = f[key + ".overhead"] / f[key + ".minimal"];
    state.counters["vs_cycle"] = f[key + ".overhead"] / f[key + ".cycle"];
}

void BM_ExportReadFlowOverhead(benchmark::State& state) {
    const std::string device = "COM" + std::to_string(kFlowPort);
    const auto request = digital::BuildRequest(
        digital::Address::Device(kFlowDeviceType, kFlowIdHigh, kFlowIdMid, kFlowPort), 1, {});
    std::array<std::uint8_t, 64> reply{};
    Overheads o;
    for (auto _ : state) {
        std::int32_t rc = 0;
        const double call = TimeMs([&] { rc = CallReadFlow(kFlowPort); });
        if (rc != ResultOk) state.SkipWithError("ReadFlow failed");
        state.SetIterationTime(call / 1000);
        o.calls.push_back(call);
        o.total.push_back(call - kFlowWaitMs);
        o.check.push_back(PortCheck(device));
        o.trial.push_back(TrialOpen(device));
        o.open.push_back(RequestOpen(device, paOdd, br38400));
        int got = 0;
        const double minimal = TimeMs([&] {
            got = MinimalTransaction(PortPath(kFlowPort), {kFlowBaud, true}, request, kFlowWaitMs, reply);
        });
        if (got <= 0) state.SkipWithError("minimal transaction got no reply");
        o.minimal.push_back(minimal - kFlowWaitMs);
        const double cycle = TimeMs([&] {
            got = MinimalCycle(PortPath(kFlowPort), {kFlowBaud, true}, request, kFlowWaitMs, reply);
        });
        if (got <= 0) state.SkipWithError("minimal cycle got no reply");
        o.cycle.push_back(cycle - kFlowWaitMs);
    }
    Publish(state, "ReadFlow 38400", o, kFlowWaitMs);
}
BENCHMARK(BM_ExportReadFlowOverhead)->UseManualTime()->Iterations(25)->Unit(benchmark::kMillisecond);

void BM_ExportReadPVOverhead(benchmark::State& state) {
    const std::string device = "COM" + std::to_string(kReadoutPort);
    const std::string line = readout::RequestLine("01", "K");
    const std::vector<std::uint8_t> request(line.begin(), line.end());
    std::array<std::uint8_t, 256> reply{};
    Overheads o;
    int replyBytes = 0;
    for (auto _ : state) {
        std::int32_t rc = 0;
        const double call = TimeMs([&] { rc = CallReadPV(); });
        if (rc != ResultOk) state.SkipWithError("ReadProcessVariable_0731 failed");
        state.SetIterationTime(call / 1000);
        o.calls.push_back(call);
        o.total.push_back(call - kReadoutWaitMs);
        o.check.push_back(PortCheck(device));
        o.trial.push_back(TrialOpen(device));
        o.open.push_back(RequestOpen(device, paNone, br9600));
        const double minimal = TimeMs([&] {
            replyBytes =
                MinimalTransaction(PortPath(kReadoutPort), {9600, false}, request, kReadoutWaitMs, reply);
        });
        if (replyBytes <= 0) state.SkipWithError("minimal transaction got no reply");
        o.minimal.push_back(minimal - kReadoutWaitMs);
        const double cycle = TimeMs([&] {
            replyBytes = MinimalCycle(PortPath(kReadoutPort), {9600, false}, request, kReadoutWaitMs, reply);
        });
        if (replyBytes <= 0) state.SkipWithError("minimal cycle got no reply");
        o.cycle.push_back(cycle - kReadoutWaitMs);
    }
    Publish(state, "ReadProcessVariable_0731", o, kReadoutWaitMs);
    Figures()["readout.replyBytes"] = replyBytes;
}
BENCHMARK(BM_ExportReadPVOverhead)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// N ports, one host thread per port, each device on its own terminal: aggregate calls per second.
void BM_ExportParallelPorts(benchmark::State& state) {
    const int ports = static_cast<int>(state.range(0));
    constexpr int kCallsPerThread = 8;
    double callsPerSecond = 0;
    for (auto _ : state) {
        std::atomic<int> failures{0};
        std::atomic<int> waiting{ports};
        std::vector<std::thread> threads;
        Clock::time_point start;
        std::atomic<bool> go{false};
        for (int t = 0; t < ports; ++t)
            threads.emplace_back([&, com = 1 + t] {
                --waiting;
                while (!go.load())
                    std::this_thread::yield();
                for (int i = 0; i < kCallsPerThread; ++i)
                    if (CallReadFlow(com) != ResultOk) ++failures;
            });
        while (waiting.load() > 0)
            std::this_thread::yield();
        start = Clock::now();
        go = true;
        for (auto& t : threads)
            t.join();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        callsPerSecond = ports * kCallsPerThread / seconds;
        if (failures.load() > 0) state.SkipWithError("some calls failed");
    }
    state.counters["calls_per_s"] = callsPerSecond;
    Figures()["parallel." + std::to_string(ports)] = callsPerSecond;
}
BENCHMARK(BM_ExportParallelPorts)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Arg(16)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_ExportHeap(benchmark::State& state) {
    HeapOf(state, "export ReadFlow", 20, [] { CallReadFlow(kFlowPort); });
}
BENCHMARK(BM_ExportHeap)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ExportHeap0731(benchmark::State& state) {
    HeapOf(state, "export ReadProcessVariable_0731", 5, [] { CallReadPV(); });
}
BENCHMARK(BM_ExportHeap0731)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

} // namespace tarvik::bench
