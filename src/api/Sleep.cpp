// The fixed response waits. A translation unit of its own, so that the fuzzing build can replace
// the real sleep by an instant one.
#include <chrono>
#include <thread>

#include "CallFrame.h"

namespace tarvik::api {

void SleepMs(std::int32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace tarvik::api
