// Waiting for what other threads do, and counting this process's threads (Linux tests).
#pragma once

#include <dirent.h>

#include <chrono>
#include <thread>

namespace tarvik::test {

// Waits until `done` holds, looking every millisecond, for at most `within` (generous: a loaded
// machine stays far below it, and a fault never ends before it).
template <class F>
bool Eventually(F&& done, std::chrono::milliseconds within = std::chrono::seconds(20)) {
    const auto until = std::chrono::steady_clock::now() + within;
    while (!done() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

// The threads of this process now.
inline int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

} // namespace tarvik::test
