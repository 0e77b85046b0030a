// Plain runs of one request each, with nothing else on the calling thread, for counting system
// calls per request (bench/syscalls.sh runs each under strace): the exports, the minimal
// transaction, the fast link and the minimal poll loop, for both readings.
#include <benchmark/benchmark.h>

#include <array>
#include <string>
#include <vector>

#include "Bench.h"
#include "Minimal.h"
#include "TarvikDLL.h"
#include "digital/Hart.h"
#include "readout/Protocol.h"
#include "tarvik/Link.h"

namespace tarvik::bench {

namespace {

constexpr int kFlowPort = 1;
constexpr int kHartReplyBytes = kHartReplyPreambles + 16;

std::vector<std::uint8_t> FlowRequest() {
    return digital::BuildRequest(
        digital::Address::Device(kFlowDeviceType, kFlowIdHigh, kFlowIdMid, kFlowPort), 1, {});
}

std::vector<std::uint8_t> ReadoutRequest() {
    const std::string line = readout::RequestLine("01", "K");
    return {line.begin(), line.end()};
}

// The framework's own calls around a benchmark, taken off the others'.
void BM_Calls_Nothing(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(state.iterations());
}
BENCHMARK(BM_Calls_Nothing)->Iterations(1);

void BM_Calls_ExportReadFlow(benchmark::State& state) {
    std::int32_t v = 0;
    std::uint8_t u = 0, s1 = 0, s2 = 0;
    for (auto _ : state)
        ReadFlow(kFlowPort, kFlowBaud, kFlowIdHigh, kFlowIdMid, kFlowPort, kFlowDeviceType, &v, &u, &s1, &s2);
}
BENCHMARK(BM_Calls_ExportReadFlow)->Iterations(20);

void BM_Calls_ExportReadProcessVariable(benchmark::State& state) {
    float v = 0;
    for (auto _ : state)
        ReadProcessVariable_0731(kReadoutPort, 1, &v);
}
BENCHMARK(BM_Calls_ExportReadProcessVariable)->Iterations(6);

void BM_Calls_MinimalTransactionReadFlow(benchmark::State& state) {
    const auto request = FlowRequest();
    std::array<std::uint8_t, 64> reply{};
    for (auto _ : state)
        MinimalTransaction(PortPath(kFlowPort), {kFlowBaud, true}, request, kFlowWaitMs, reply);
}
BENCHMARK(BM_Calls_MinimalTransactionReadFlow)->Iterations(20);

void BM_Calls_MinimalTransactionReadProcessVariable(benchmark::State& state) {
    const auto request = ReadoutRequest();
    std::array<std::uint8_t, 256> reply{};
    for (auto _ : state)
        MinimalTransaction(PortPath(kReadoutPort), {9600, false}, request, kReadoutWaitMs, reply);
}
BENCHMARK(BM_Calls_MinimalTransactionReadProcessVariable)->Iterations(6);

void BM_Calls_LinkReadFlow(benchmark::State& state) {
    link::HartLink l;
    l.Open(kFlowPort, kFlowBaud);
    for (auto _ : state)
        l.ReadFlow({kFlowDeviceType, kFlowIdHigh, kFlowIdMid, kFlowPort});
}
BENCHMARK(BM_Calls_LinkReadFlow)->Iterations(100);

void BM_Calls_LinkReadProcessVariable(benchmark::State& state) {
    link::ReadoutLink l;
    l.Open(kReadoutPort);
    for (auto _ : state)
        l.ReadProcessVariable(1);
}
BENCHMARK(BM_Calls_LinkReadProcessVariable)->Iterations(30);

void BM_Calls_MinimalPollReadFlow(benchmark::State& state) {
    MinimalPollLine line(PortPath(kFlowPort), {kFlowBaud, true});
    const auto request = FlowRequest();
    std::array<std::uint8_t, 64> reply{};
    for (auto _ : state)
        line.Exchange(request, reply, kHartReplyBytes, kFlowWaitMs);
}
BENCHMARK(BM_Calls_MinimalPollReadFlow)->Iterations(100);

void BM_Calls_MinimalPollReadProcessVariable(benchmark::State& state) {
    MinimalPollLine line(PortPath(kReadoutPort), {9600, false});
    const auto request = ReadoutRequest();
    std::array<std::uint8_t, 256> reply{};
    for (auto _ : state)
        line.Exchange(request, reply, 0, kReadoutWaitMs);
}
BENCHMARK(BM_Calls_MinimalPollReadProcessVariable)->Iterations(30);

} // namespace

} // namespace tarvik::bench
