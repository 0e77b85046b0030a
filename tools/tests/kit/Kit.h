// The one test kit of the tool tests and the gateway benchmark: shell commands, temporary
// directories, child processes that are stopped (and waited for) when their object goes, free
// loopback ports and an HTTP GET, waiting for an event, and the simulator in a port directory with
// runs of the tarvik tool against it.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tarvik::testkit {

using Seconds = std::chrono::duration<double>;

// Polls `done` every 20 ms until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& done, Seconds timeout);

int FreePort();
bool PortOpen(int port);

// GET http://127.0.0.1:port/path; empty on failure. With `status`, the body whatever the status.
std::string HttpGet(int port, const std::string& path, int* status = nullptr);
// The value of the first line of a Prometheus text that starts with `series`, or -1.
double MetricValue(const std::string& metrics, const std::string& series);

struct ToolRun {
    int exit = -1;
    std::string out;
    nlohmann::json Json() const { return nlohmann::json::parse(out); }
};

// Output (stdout, with stderr when the command says 2>&1) and exit status of a shell command.
ToolRun Shell(const std::string& command);
// `s` in single quotes for the shell.
std::string Quoted(const std::string& s);

std::string ReadFile(const std::string& path);
// How often `text` stands in `log`.
std::size_t Said(const std::string& log, const std::string& text);

// A fresh directory under /tmp, removed with everything in it at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    std::string operator/(const std::string& name) const { return File(name); }
    void Write(const std::string& name, const std::string& text) const;
    // The names in the directory, dot files too, sorted.
    std::vector<std::string> Files() const;

private:
    std::string path_;
};

class Process {
public:
    Process() = default;
    // stdout and stderr go to `log` (appended), or stay the test's when `log` is empty. `env` adds
    // NAME=value entries; `nice` is the child's priority where it may raise it (root, CAP_SYS_NICE).
    Process(std::vector<std::string> argv, const std::string& log, std::vector<std::string> env = {},
            int nice = 0);
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    bool Running();
    // Sends `signal` and waits up to `timeout`; then SIGKILL. The exit status, or -1 when killed.
    int Stop(int signal, Seconds timeout = Seconds(10));
    // Waits for the process to end by itself; exit status, -1 when a signal ended it, -2 when it runs on.
    int Wait(Seconds timeout);
    int Pid() const { return pid_; }

private:
    int pid_ = -1;
    int status_ = -1;
};

// The simulator and the tool this kit was built with.
std::string TarvikSim();
std::string TarvikCli();

// The simulator stands for devices, which answer in time however busy the host is: it runs ahead
// of the machine's other work where that is allowed.
inline constexpr int kDeviceNice = -10;

struct SimulatorOptions {
    std::string program = TarvikSim(); // the simulator binary
    std::string dir{};                 // the port directory; one of its own (removed at the end) when empty
    std::string log{};                 // stdout and stderr go here; the test's own when empty
    bool verbose = false;              // -v: every request and reply in the log
    bool lineTiming = false;           // --line-timing: bytes take the time the baud rate gives them
};

class Simulator {
public:
    explicit Simulator(std::vector<std::string> args, SimulatorOptions options = {});
    // The gateway tests' form: in `portDir`, with line timing, logging to `log`.
    Simulator(const std::string& portDir, std::vector<std::string> args, const std::string& log);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Waits for the links of the given COM numbers.
    bool Ready(std::initializer_list<int> coms) const;
    // Ctrl-C (or another signal); returns the simulator's exit status, -1 when a signal ended it.
    int Stop(int signal = SIGINT) { return process_.Stop(signal); }
    // Whether the simulator still runs (it exits at once when it cannot serve its ports).
    bool Running() { return process_.Running(); }
    std::string Link(int com) const { return dir_ + "/COM" + std::to_string(com); }
    const std::string& Dir() const { return dir_; }

    // Runs `tarvik <args>` with this simulator's port directory; stdout captured, stderr dropped.
    ToolRun Tool(const std::string& args) const { return Shell(Command(args) + " 2>/dev/null"); }
    // The same with stderr after stdout.
    ToolRun ToolAll(const std::string& args) const { return Shell(Command(args) + " 2>&1"); }
    // Only stderr.
    ToolRun ToolErr(const std::string& args) const { return Shell(Command(args) + " 2>&1 >/dev/null"); }
    // `tarvik <args>` with this simulator's port directory, as a shell command.
    std::string Command(const std::string& args) const;

private:
    std::string dir_;
    bool ownDir_ = false;
    Process process_;
};

// A mosquitto broker on 127.0.0.1, configured and logging in `dir`.
class Broker {
public:
    // Listens on `port` (a free one when 0) for anyone; `more` adds to the configuration (further
    // listeners with their own settings, which then apply per listener).
    explicit Broker(const TempDir& dir, int port = 0, std::string more = "");
    ~Broker() { Stop(); }
    // Starts it (again, on the same port) and waits until it listens.
    void Start();
    void Stop() { process_.Stop(SIGTERM); }
    // Whether it listens.
    bool Up() const { return PortOpen(port_); }
    int Port() const { return port_; }
    int Pid() const { return process_.Pid(); }

private:
    const TempDir& dir_;
    int port_;
    std::string more_;
    Process process_;
};

} // namespace tarvik::testkit
