// Counts of the port component for tests and benchmarks that check that an idle port stays idle.
#pragma once

#include <cstdint>

namespace tarvik::comport::diagnostics {

// How often event threads of this process woke up to look at their line: each pass of an event
// thread's loop and of its wait for the line.
std::uint64_t EventThreadWakeups() noexcept;
void CountEventThreadWakeup() noexcept;

} // namespace tarvik::comport::diagnostics
