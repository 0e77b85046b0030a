// Counting replacements of the C allocation functions (glibc lets a program define them; the
// real ones stay reachable as __libc_*). C++ new and delete end here as well. Counters are per
// thread, so that the simulated devices and other threads do not show in a host call's figures.
#include "Alloc.h"

#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t n, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void __libc_free(void* p);
}

namespace {
thread_local std::int64_t t_allocations = 0;
thread_local std::int64_t t_frees = 0;
} // namespace

// Default visibility: the C++ runtime and libc must find these, not their own.
#define TARVIK_EXPORTED __attribute__((visibility("default")))

extern "C" {

TARVIK_EXPORTED void* malloc(std::size_t size) {
    ++t_allocations;
    return __libc_malloc(size);
}

TARVIK_EXPORTED void* calloc(std::size_t n, std::size_t size) {
    ++t_allocations;
    return __libc_calloc(n, size);
}

TARVIK_EXPORTED void* realloc(void* p, std::size_t size) {
    if (!p) ++t_allocations;
    if (p && size == 0) ++t_frees;
    return __libc_realloc(p, size);
}

TARVIK_EXPORTED void free(void* p) {
    if (p) ++t_frees;
    __libc_free(p);
}

} // extern "C"

namespace tarvik::bench {

HeapCount ThreadHeap() {
    return {t_allocations, t_frees};
}

} // namespace tarvik::bench
