// Holds one thread of the test inside its next eventfd() call until released: a test reaches the
// moment when a port is making the descriptors that its first wait needs. The test program's own
// eventfd() stands in for the C library's (every other thread gets the system's call at once).
#pragma once

#include <sys/types.h>

namespace tarvik::test {

// The next eventfd() of thread `tid` waits until ReleaseEventfd().
void PauseEventfdOf(pid_t tid);
// Whether that thread now waits inside eventfd().
bool EventfdPaused();
void ReleaseEventfd();

} // namespace tarvik::test
