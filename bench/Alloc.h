// Heap use of the calling thread, counted by the bench binary's own malloc family.
#pragma once

#include <cstdint>

namespace tarvik::bench {

struct HeapCount {
    std::int64_t allocations = 0; // malloc, calloc, realloc of nothing
    std::int64_t frees = 0;
};

// Counts of the calling thread so far.
HeapCount ThreadHeap();
// Counts of every thread of the process so far.
HeapCount ProcessHeap();

} // namespace tarvik::bench
