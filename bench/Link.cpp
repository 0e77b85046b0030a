// The fast link against the simulator's line-timed devices: time per reading against the bytes'
// time on the wire and against the export's time for the same reading; heap use per call.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cmath>

#include "Bench.h"
#include "Heap.h"
#include "Minimal.h"
#include "digital/Hart.h"
#include "readout/Protocol.h"
#include "tarvik/Link.h"

namespace tarvik::bench {

namespace {

constexpr int kFlowPort = 1;
constexpr int kChannel = 1;
constexpr int kHartRequestBytes = 14;
constexpr int kHartReplyBytes = kHartReplyPreambles + 16;
constexpr int kReadoutRequestBytes = 7; // "AZ.01K\r"
constexpr link::DeviceAddress kDevice{kFlowDeviceType, kFlowIdHigh, kFlowIdMid, kFlowPort};

// CPU time of the calling thread (the link's own work: the simulator runs on threads of its own).
double ThreadCpuUs() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// Times each call on the wall clock and the thread's CPU clock.
template <class F>
void Measure(benchmark::State& state, std::vector<double>& times, std::vector<double>& cpu, F&& call) {
    for (auto _ : state) {
        const double c0 = ThreadCpuUs();
        const double t = TimeMs(call);
        cpu.push_back(ThreadCpuUs() - c0);
        state.SetIterationTime(t / 1000);
        times.push_back(t);
    }
}

void Publish(benchmark::State& state, const std::string& key, const std::vector<double>& times,
             const std::vector<double>& cpu, double wire, const char* exportKey) {
    auto& f = Figures();
    f[key + ".median"] = Median(times);
    f[key + ".cpu_us"] = Median(cpu);
    state.counters["cpu_us"] = f[key + ".cpu_us"];
    f[key + ".wire"] = wire;
    const auto e = f.find(exportKey);
    f[key + ".export"] = e == f.end() ? std::nan("") : e->second;
    state.counters["median_ms"] = f[key + ".median"];
    state.counters["wire_ms"] = wire;
    state.counters["vs_budget"] = f[key + ".median"] / (1.3 * wire + 1.0);
    state.counters["vs_export"] = f[key + ".median"] / f[key + ".export"];
}

void BM_LinkReadFlow(benchmark::State& state) {
    link::HartLink l;
    if (l.Open(kFlowPort, kFlowBaud) != ResultOk) state.SkipWithError("open failed");
    std::vector<double> times, cpu;
    Measure(state, times, cpu, [&] {
        if (l.ReadFlow(kDevice).result != ResultOk) state.SkipWithError("ReadFlow failed");
    });
    Publish(state, "link ReadFlow 38400", times, cpu, WireMs(kHartRequestBytes + kHartReplyBytes, kFlowBaud),
            "ReadFlow 38400.call");
}
BENCHMARK(BM_LinkReadFlow)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

void BM_LinkReadProcessVariable(benchmark::State& state) {
    link::ReadoutLink l;
    if (l.Open(kReadoutPort) != ResultOk) state.SkipWithError("open failed");
    std::vector<double> times, cpu;
    Measure(state, times, cpu, [&] {
        if (l.ReadProcessVariable(kChannel).result != ResultOk)
            state.SkipWithError("ReadProcessVariable failed");
    });
    // The unit's reply length as the minimal transaction saw it (the export benchmark runs first).
    const auto it = Figures().find("readout.replyBytes");
    const int replyBytes = it == Figures().end() ? 0 : static_cast<int>(it->second);
    Publish(state, "link ReadProcessVariable 9600", times, cpu,
            WireMs(kReadoutRequestBytes + replyBytes, 9600), "ReadProcessVariable_0731.call");
}
BENCHMARK(BM_LinkReadProcessVariable)->UseManualTime()->Iterations(50)->Unit(benchmark::kMillisecond);

// The same readings by a hand-written poll loop on a line kept open: the floor of the link's CPU.
void BM_MinimalPollReadFlow(benchmark::State& state) {
    MinimalPollLine line(PortPath(kFlowPort), {kFlowBaud, true});
    if (!line.IsOpen()) state.SkipWithError("open failed");
    const auto request = digital::BuildRequest(
        digital::Address::Device(kFlowDeviceType, kFlowIdHigh, kFlowIdMid, kFlowPort), 1, {});
    std::array<std::uint8_t, 64> reply{};
    std::vector<double> times, cpu;
    Measure(state, times, cpu, [&] {
        if (line.Exchange(request, reply, kHartReplyBytes, kFlowWaitMs) != kHartReplyBytes)
            state.SkipWithError("no full reply");
    });
    Figures()["minimal poll ReadFlow 38400.cpu_us"] = Median(cpu);
    state.counters["cpu_us"] = Median(cpu);
}
BENCHMARK(BM_MinimalPollReadFlow)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

void BM_MinimalPollReadProcessVariable(benchmark::State& state) {
    MinimalPollLine line(PortPath(kReadoutPort), {9600, false});
    if (!line.IsOpen()) state.SkipWithError("open failed");
    const std::string text = readout::RequestLine("01", "K");
    const std::vector<std::uint8_t> request(text.begin(), text.end());
    std::array<std::uint8_t, 256> reply{};
    std::vector<double> times, cpu;
    Measure(state, times, cpu, [&] {
        if (line.Exchange(request, reply, 0, kReadoutWaitMs) <= 0) state.SkipWithError("no reply");
    });
    Figures()["minimal poll ReadProcessVariable 9600.cpu_us"] = Median(cpu);
    state.counters["cpu_us"] = Median(cpu);
}
BENCHMARK(BM_MinimalPollReadProcessVariable)->UseManualTime()->Iterations(50)->Unit(benchmark::kMillisecond);

void BM_LinkHeap(benchmark::State& state) {
    link::HartLink l;
    l.Open(kFlowPort, kFlowBaud);
    HeapOf(state, "link ReadFlow", 300, [&] { l.ReadFlow(kDevice); });
}
BENCHMARK(BM_LinkHeap)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_LinkHeap0731(benchmark::State& state) {
    link::ReadoutLink l;
    l.Open(kReadoutPort);
    HeapOf(state, "link ReadProcessVariable", 100, [&] { l.ReadProcessVariable(kChannel); });
}
BENCHMARK(BM_LinkHeap0731)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

} // namespace tarvik::bench
