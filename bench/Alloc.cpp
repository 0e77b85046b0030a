// Counting replacements of the C allocation functions (glibc lets a program define them; the
// real ones stay reachable as __libc_*). C++ new and delete end here as well. Counters are per
// thread, so that the simulated devices and other threads do not show in a host call's figures,
// and for the whole process (what a library's own threads allocate).
#include "Alloc.h"

#include <atomic>
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
std::atomic<std::int64_t> g_allocations{0};
std::atomic<std::int64_t> g_frees{0};

void Allocated() {
    ++t_allocations;
    g_allocations.fetch_add(1, std::memory_order_relaxed);
}

void Freed() {
    ++t_frees;
    g_frees.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

// Default visibility: the C++ runtime and libc must find these, not their own.
#define TARVIK_EXPORTED __attribute__((visibility("default")))

extern "C" {

TARVIK_EXPORTED void* malloc(std::size_t size) {
    Allocated();
    return __libc_malloc(size);
}

TARVIK_EXPORTED void* calloc(std::size_t n, std::size_t size) {
    Allocated();
    return __libc_calloc(n, size);
}

TARVIK_EXPORTED void* realloc(void* p, std::size_t size) {
    if (!p) Allocated();
    if (p && size == 0) Freed();
    return __libc_realloc(p, size);
}

TARVIK_EXPORTED void free(void* p) {
    if (p) Freed();
    __libc_free(p);
}

} // extern "C"

namespace tarvik::bench {

HeapCount ThreadHeap() {
    return {t_allocations, t_frees};
}

HeapCount ProcessHeap() {
    return {g_allocations.load(std::memory_order_relaxed), g_frees.load(std::memory_order_relaxed)};
}

} // namespace tarvik::bench
