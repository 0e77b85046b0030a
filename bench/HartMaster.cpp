// The generic HART master on the simulator's multidrop line (three transmitters at polling
// addresses 0..2, 1200 bit/s, replies paced at the line rate): a scan of 16 polling addresses
// against the wire time of the requests and replies plus the time-outs of the empty addresses, and
// one Command against its wire time, with its heap use.
#include <benchmark/benchmark.h>

#include "Bench.h"
#include "Heap.h"
#include "hart/Frame.h"
#include "tarvik/HartMaster.h"

namespace tarvik::bench {

namespace {

constexpr int kScanLast = 15;
constexpr int kScanBitTimes = 60; // the master's wait past a request, as HartMaster::Scan sizes it
constexpr int kScanSlackMs = 20;
constexpr int kShortRequestBytes = hart::kDefaultPreambles + 5; // preambles, delimiter .. checksum
constexpr int kIdentityReplyBytes = hart::kDefaultPreambles + 7 + 22;
constexpr int kPvReplyBytes = hart::kDefaultPreambles + 7 + 5;

double EmptyAddressMs() {
    return (kShortRequestBytes * kBitsPerByte + kScanBitTimes) * 1000.0 / kMultidropBaud + kScanSlackMs;
}

void BM_HartScan16(benchmark::State& state) {
    link::HartMaster m;
    if (m.Open(kMultidropPort, kMultidropBaud) != ResultOk) state.SkipWithError("open failed");
    std::vector<double> times;
    std::size_t found = 0;
    for (auto _ : state) {
        const double t = TimeMs([&] { found = m.Scan(0, kScanLast).size(); });
        state.SetIterationTime(t / 1000);
        times.push_back(t);
    }
    if (found != kMultidropDevices) state.SkipWithError("the scan missed devices");
    const double budget =
        static_cast<double>(found) * WireMs(kShortRequestBytes + kIdentityReplyBytes, kMultidropBaud) +
        static_cast<double>(kScanLast + 1 - found) * EmptyAddressMs();
    auto& f = Figures();
    f["hart scan16 1200.median"] = Median(times);
    f["hart scan16 1200.budget"] = budget;
    state.counters["median_ms"] = Median(times);
    state.counters["budget_ms"] = budget;
    state.counters["vs_budget"] = Median(times) / budget; // at most 1.2
}
BENCHMARK(BM_HartScan16)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_HartCommand(benchmark::State& state) {
    link::HartMaster m;
    if (m.Open(kMultidropPort, kMultidropBaud) != ResultOk) state.SkipWithError("open failed");
    const hart::Address device = hart::Address::Polling(1);
    std::vector<double> times;
    for (auto _ : state) {
        const double t = TimeMs([&] {
            if (!m.Command(device, 1).Success()) state.SkipWithError("Command failed");
        });
        state.SetIterationTime(t / 1000);
        times.push_back(t);
    }
    const double wire = WireMs(kShortRequestBytes + kPvReplyBytes, kMultidropBaud);
    Figures()["hart Command 1200.median"] = Median(times);
    Figures()["hart Command 1200.wire"] = wire;
    state.counters["median_ms"] = Median(times);
    state.counters["wire_ms"] = wire;
    state.counters["vs_wire"] = Median(times) / wire; // at most 1.1
}
BENCHMARK(BM_HartCommand)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

void BM_HartCommandHeap(benchmark::State& state) {
    link::HartMaster m;
    m.Open(kMultidropPort, kMultidropBaud);
    const hart::Address device = hart::Address::Polling(1);
    HeapOf(state, "hart Command", 10, [&] { m.Command(device, 1); });
}
BENCHMARK(BM_HartCommandHeap)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

} // namespace tarvik::bench
