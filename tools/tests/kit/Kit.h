// Local helpers of the gateway's tests and benchmark: free loopback ports, an HTTP GET, temporary
// directories and child processes that are stopped (and waited for) when their object goes.
#pragma once

#include <signal.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace gwtest {

using Seconds = std::chrono::duration<double>;

// Polls `done` every 20 ms until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& done, Seconds timeout);

int FreePort();
bool PortOpen(int port);

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    void Write(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);

class Process {
public:
    Process() = default;
    // stdout and stderr go to `log` (appended).
    Process(std::vector<std::string> argv, const std::string& log, std::vector<std::string> env = {});
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    bool Running();
    // Sends `signal` and waits up to `timeout`; then SIGKILL. The exit status, or -1 when killed.
    int Stop(int signal, Seconds timeout = Seconds(10));
    // Waits for the process to end by itself; exit status or -1.
    int Wait(Seconds timeout);
    int Pid() const { return pid_; }

private:
    int pid_ = -1;
    int status_ = -1;
};

// GET http://127.0.0.1:port/path; empty on failure. With `status`, the body whatever the status.
std::string HttpGet(int port, const std::string& path, int* status = nullptr);

} // namespace gwtest
