#include "PausedEventfd.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace tarvik::test {

namespace {

std::atomic<pid_t> pausedTid{0};
std::atomic<bool> paused{false};
std::atomic<bool> released{false};

} // namespace

void PauseEventfdOf(pid_t tid) {
    released = false;
    paused = false;
    pausedTid = tid;
}

bool EventfdPaused() {
    return paused;
}

void ReleaseEventfd() {
    released = true;
    pausedTid = 0;
}

} // namespace tarvik::test

extern "C" int eventfd(unsigned int initial, int flags) {
    using namespace tarvik::test;
    if (pausedTid != 0 && pausedTid == ::gettid()) {
        paused = true;
        while (!released)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        paused = false;
    }
    return static_cast<int>(::syscall(SYS_eventfd2, initial, flags));
}
