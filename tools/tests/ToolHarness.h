// Shared by the end-to-end tool tests: a simulator in its own port directory, and runs of the
// tarvik tool against it.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

namespace tarvik::tools::test {

inline constexpr int kDeviceNice = -10;

struct ToolRun {
    int exit = -1;
    std::string out;
    nlohmann::json Json() const { return nlohmann::json::parse(out); }
};

// Output (stdout, with stderr when the command says 2>&1) and exit status of a shell command.
inline ToolRun Shell(const std::string& command) {
    ToolRun r;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        r.out.append(buf, n);
    const int status = ::pclose(p);
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

inline std::string Quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A fresh directory under /tmp, removed with everything in it at the end of the scope.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/tarvik-tools-XXXXXX";
        const char* made = ::mkdtemp(tmpl);
        path_ = made ? made : "";
    }
    ~TempDir() {
        if (!path_.empty()) Shell("rm -rf " + Quoted(path_));
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

class Simulator {
public:
    // Serves in a directory of its own, or in `dir` when given. With `log`, the simulator logs
    // every request and reply (-v) to that file.
    explicit Simulator(std::vector<std::string> args, std::string dir = {}, std::string log = {}) {
        if (dir.empty()) {
            char tmpl[] = "/tmp/tarvik-tools-XXXXXX";
            dir_ = ::mkdtemp(tmpl);
            ownDir_ = true;
        } else {
            dir_ = std::move(dir);
        }
        args.insert(args.begin(), {TARVIK_SIM, "--dir", dir_, "-q", "--seed", "5"});
        if (!log.empty()) args.push_back("-v");
        pid_ = ::fork();
        if (pid_ == 0) {
            if (!log.empty()) {
                std::FILE* f = std::fopen(log.c_str(), "w");
                if (!f || ::dup2(::fileno(f), STDOUT_FILENO) < 0) ::_exit(126);
            }
            // The simulator stands for devices, which answer in time however busy the host is: it
            // runs ahead of the machine's other work where that is allowed (root or CAP_SYS_NICE).
            (void)::setpriority(PRIO_PROCESS, 0, kDeviceNice);
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(TARVIK_SIM, argv.data());
            ::_exit(127);
        }
    }
    ~Simulator() {
        Stop();
        if (ownDir_) Shell("rm -rf " + Quoted(dir_));
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Waits for the links of the given COM numbers.
    bool Ready(std::initializer_list<int> coms) const {
        for (int i = 0; i < 500; ++i) {
            bool all = true;
            for (int c : coms)
                all = all && ::access(Link(c).c_str(), F_OK) == 0;
            if (all) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // Ctrl-C (or another signal); returns the simulator's exit status, -1 when a signal ended it.
    int Stop(int signal = SIGINT) {
        if (pid_ <= 0) return -1;
        ::kill(pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Whether the simulator still runs (it exits at once when it cannot serve its ports).
    bool Running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
        pid_ = -1;
        return false;
    }
    std::string Link(int com) const { return dir_ + "/COM" + std::to_string(com); }
    const std::string& Dir() const { return dir_; }

    // Runs `tarvik <args>` with this simulator's port directory; stdout captured, stderr dropped.
    ToolRun Tool(const std::string& args) const { return Shell(Command(args) + " 2>/dev/null"); }
    // The same with stderr after stdout.
    ToolRun ToolAll(const std::string& args) const { return Shell(Command(args) + " 2>&1"); }
    // Only stderr.
    ToolRun ToolErr(const std::string& args) const { return Shell(Command(args) + " 2>&1 >/dev/null"); }

private:
    std::string Command(const std::string& args) const {
        return "TARVIK_PORT_DIR=" + Quoted(dir_) + " '" TARVIK_CLI "' " + args;
    }
    std::string dir_;
    bool ownDir_ = false;
    pid_t pid_ = -1;
};

} // namespace tarvik::tools::test
