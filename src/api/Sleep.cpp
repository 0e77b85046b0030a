// The fixed response waits and the fast link's rests. A translation unit of its own, so that the
// fuzzing build can replace the real sleep by an instant one.
#include <chrono>
#include <thread>

#include "CallFrame.h"

namespace tarvik::api {

void SleepFor(std::chrono::microseconds time) {
    std::this_thread::sleep_for(time);
}

} // namespace tarvik::api
