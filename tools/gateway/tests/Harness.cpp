#include "Harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace gwtest {

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
    char tmpl[] = "/tmp/tarvik-gateway-XXXXXX";
    path_ = ::mkdtemp(tmpl);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void TempDir::Write(const std::string& name, const std::string& text) const {
    std::ofstream(File(name)) << text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Process::Process(std::vector<std::string> argv, const std::string& log, std::vector<std::string> env) {
    pid_ = ::fork();
    if (pid_ == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        for (std::string& e : env)
            ::putenv(e.data());
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

Broker::Broker(const TempDir& dir, int port) : dir_(dir), port_(port ? port : FreePort()) {
    Start();
}

void Broker::Start() {
    const std::string conf = "broker-" + std::to_string(port_) + ".conf";
    dir_.Write(conf,
               "listener " + std::to_string(port_) + " 127.0.0.1\nallow_anonymous true\npersistence false\n");
    process_ = Process({"mosquitto", "-c", dir_.File(conf)}, dir_.File("broker.log"));
    WaitUntil([this] { return PortOpen(port_); }, Seconds(10));
}

Simulator::Simulator(const std::string& portDir, std::vector<std::string> args, const std::string& log)
    : dir_(portDir) {
    args.insert(args.begin(), {TARVIK_SIM, "--dir", portDir, "-q", "--seed", "5", "--line-timing"});
    process_ = Process(args, log);
}

bool Simulator::Ready(std::initializer_list<int> coms) const {
    return WaitUntil(
        [&] {
            for (int c : coms)
                if (::access((dir_ + "/COM" + std::to_string(c)).c_str(), F_OK) != 0) return false;
            return true;
        },
        Seconds(10));
}

Client::Client(int port, std::string pattern) : pattern_(std::move(pattern)) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(mosq_, &Client::OnConnect);
    mosquitto_message_callback_set(mosq_, &Client::OnMessage);
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_connect_async(mosq_, "127.0.0.1", port, 30);
    mosquitto_loop_start(mosq_);
}

Client::~Client() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, true);
    mosquitto_destroy(mosq_);
}

void Client::OnConnect(mosquitto* m, void* self, int rc) {
    auto* c = static_cast<Client*>(self);
    if (rc == 0) mosquitto_subscribe(m, nullptr, c->pattern_.c_str(), 1);
}

void Client::OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
    auto* c = static_cast<Client*>(self);
    std::string payload(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen));
    std::lock_guard lock(c->mutex_);
    c->last_[m->topic] = payload;
    c->all_.emplace_back(m->topic, payload);
    c->cv_.notify_all();
}

std::string Client::Last(const std::string& topic) {
    std::lock_guard lock(mutex_);
    const auto it = last_.find(topic);
    return it == last_.end() ? std::string() : it->second;
}

bool Client::Has(const std::string& topic) {
    std::lock_guard lock(mutex_);
    return last_.count(topic) > 0;
}

std::size_t Client::Count() {
    std::lock_guard lock(mutex_);
    return all_.size();
}

std::vector<std::string> Client::All(const std::string& topic) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> payloads;
    for (const auto& [t, p] : all_)
        if (t == topic) payloads.push_back(p);
    return payloads;
}

void Client::Clear() {
    std::lock_guard lock(mutex_);
    last_.clear();
}

bool Client::WaitFor(const std::string& topic, const std::function<bool(const std::string&)>& accept,
                     Seconds timeout, std::string* payload, std::size_t since) {
    std::unique_lock lock(mutex_);
    std::size_t next = since;
    return cv_.wait_for(lock, timeout, [&] {
        for (; next < all_.size(); ++next)
            if (all_[next].first == topic && accept(all_[next].second)) {
                if (payload) *payload = all_[next].second;
                return true;
            }
        return false;
    });
}

void Client::Publish(const std::string& topic, const std::string& payload, bool retain) {
    mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                      retain);
}

std::string HttpGet(int port, const std::string& path) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2);
    client.set_read_timeout(5);
    const auto res = client.Get(path.c_str());
    return res && res->status == 200 ? res->body : std::string();
}

} // namespace gwtest
