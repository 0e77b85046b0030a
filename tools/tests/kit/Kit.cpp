#include "Kit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace tarvik::testkit {

bool WaitUntil(const std::function<bool()>& done, Seconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

bool PortOpen(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/tarvik-test-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    path_ = made ? made : "";
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

void TempDir::Write(const std::string& name, const std::string& text) const {
    std::ofstream(File(name)) << text;
}

std::vector<std::string> TempDir::Files() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Process::Process(std::vector<std::string> argv, const std::string& log, std::vector<std::string> env,
                 int nice) {
    pid_ = ::fork();
    if (pid_ == 0) {
        const int fd = log.empty() ? -1 : ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (!log.empty() && fd < 0) ::_exit(126);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        for (std::string& e : env)
            ::putenv(e.data());
        if (nice != 0) (void)::setpriority(PRIO_PROCESS, 0, nice);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
}

Process::~Process() {
    Stop(SIGKILL, Seconds(5));
}

Process::Process(Process&& other) noexcept : pid_(other.pid_), status_(other.status_) {
    other.pid_ = -1;
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        Stop(SIGKILL, Seconds(5));
        pid_ = other.pid_;
        status_ = other.status_;
        other.pid_ = -1;
    }
    return *this;
}

bool Process::Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    const int r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return false;
    }
    return true;
}

int Process::Wait(Seconds timeout) {
    WaitUntil([this] { return !Running(); }, timeout);
    return pid_ > 0 ? -2 : status_;
}

int Process::Stop(int signal, Seconds timeout) {
    if (!Running()) return status_;
    ::kill(pid_, signal);
    if (!WaitUntil([this] { return !Running(); }, timeout)) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        status_ = -1;
    }
    return status_;
}

ToolRun Shell(const std::string& command) {
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

std::string Quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::size_t Said(const std::string& log, const std::string& text) {
    std::size_t n = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        ++n;
    return n;
}

std::string TarvikSim() {
    return TARVIK_SIM;
}

std::string TarvikCli() {
    return TARVIK_CLI;
}

Simulator::Simulator(std::vector<std::string> args, SimulatorOptions options) : dir_(std::move(options.dir)) {
    if (dir_.empty()) {
        char tmpl[] = "/tmp/tarvik-test-XXXXXX";
        const char* made = ::mkdtemp(tmpl);
        dir_ = made ? made : "";
        ownDir_ = true;
    }
    args.insert(args.begin(), {options.program, "--dir", dir_, "-q", "--seed", "5"});
    if (options.lineTiming) args.push_back("--line-timing");
    if (options.verbose) args.push_back("-v");
    process_ = Process(std::move(args), options.log, {}, kDeviceNice);
}

Simulator::Simulator(const std::string& portDir, std::vector<std::string> args, const std::string& log)
    : Simulator(std::move(args), {.dir = portDir, .log = log, .lineTiming = true}) {}

Simulator::~Simulator() {
    process_.Stop(SIGINT);
    std::error_code ec;
    if (ownDir_ && !dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

bool Simulator::Ready(std::initializer_list<int> coms) const {
    return WaitUntil(
        [&] {
            for (int c : coms)
                if (::access(Link(c).c_str(), F_OK) != 0) return false;
            return true;
        },
        Seconds(10));
}

std::string Simulator::Command(const std::string& args) const {
    return "TARVIK_PORT_DIR=" + Quoted(dir_) + " " + Quoted(TarvikCli()) + " " + args;
}

Broker::Broker(const TempDir& dir, int port, std::string more)
    : dir_(dir), port_(port ? port : FreePort()), more_(std::move(more)) {
    Start();
}

void Broker::Start() {
    const std::string conf = "broker-" + std::to_string(port_) + ".conf";
    dir_.Write(conf, std::string(more_.empty() ? "" : "per_listener_settings true\n") + "listener " +
                         std::to_string(port_) + " 127.0.0.1\nallow_anonymous true\npersistence false\n" +
                         more_);
    process_ = Process({"mosquitto", "-c", dir_.File(conf)}, dir_.File("broker.log"));
    WaitUntil([this] { return PortOpen(port_); }, Seconds(10));
}

std::string HttpGet(int port, const std::string& path, int* status) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2);
    client.set_read_timeout(5);
    const auto res = client.Get(path.c_str());
    if (status) *status = res ? res->status : -1;
    if (status && res) return res->body;
    return res && res->status == 200 ? res->body : std::string();
}

double MetricValue(const std::string& metrics, const std::string& series) {
    std::string text = "\n"; // appended, not prepended: GCC 12 at -O3 misjudges an insert at 0
    text += metrics;
    const auto at = text.find("\n" + series + " ");
    if (at == std::string::npos) return -1;
    return std::stod(text.substr(at + series.size() + 2));
}

} // namespace tarvik::testkit
