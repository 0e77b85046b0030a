// Heap use per call and growth over many calls, on the calling thread.
#pragma once

#include <benchmark/benchmark.h>

#include <string>

#include "Alloc.h"
#include "Bench.h"

namespace tarvik::bench {

// Heap allocations of one call, and live allocations left behind over many calls.
template <class Call>
void HeapOf(benchmark::State& state, const std::string& key, int calls, Call&& call) {
    for (auto _ : state) {
        call(); // warm-up: one-time tables
        const HeapCount before = ThreadHeap();
        call();
        const HeapCount one = ThreadHeap();
        for (int i = 1; i < calls; ++i)
            call();
        const HeapCount after = ThreadHeap();
        const double perCall = static_cast<double>(one.allocations - before.allocations);
        const double growth =
            static_cast<double>((after.allocations - after.frees) - (before.allocations - before.frees));
        state.counters["allocs_per_call"] = perCall;
        state.counters["live_growth"] = growth;
        Figures()[key + ".allocs"] = perCall;
        Figures()[key + ".growth"] = growth;
        Figures()[key + ".calls"] = calls;
    }
}

} // namespace tarvik::bench
