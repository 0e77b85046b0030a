// tarvik_sparkplug_bench: encoding a Sparkplug B payload of 16 metrics (a DDATA of a busy device:
// name, alias, timestamp, datatype, value, engUnit and Quality each). Goal: at most 5 us.
#include <benchmark/benchmark.h>

#include <string>

#include "SparkplugPayload.h"

namespace {

using namespace tarvik::sparkplug;

Payload SixteenMetrics() {
    Payload p;
    p.timestamp = 1765180800000;
    p.seq = 42;
    for (int i = 0; i < 16; ++i) {
        Metric m;
        m.name = "mfc" + std::to_string(i / 4) + "/value" + std::to_string(i % 4);
        m.alias = static_cast<std::uint64_t>(i + 1);
        m.timestamp = 1765180800000 + static_cast<std::uint64_t>(i);
        m.datatype = DataType::Float;
        m.value = 12.5f + static_cast<float>(i);
        m.engUnit = "l/min";
        m.quality = kQualityGood;
        p.metrics.push_back(std::move(m));
    }
    return p;
}

void EncodeSixteenMetrics(benchmark::State& state) {
    const Payload p = SixteenMetrics();
    Encoder encoder;
    std::string out;
    for (auto _ : state) {
        encoder.Encode(p, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["bytes"] = static_cast<double>(out.size());
}
BENCHMARK(EncodeSixteenMetrics);

} // namespace

BENCHMARK_MAIN();
