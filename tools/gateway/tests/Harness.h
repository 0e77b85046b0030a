// Real servers for the gateway's end-to-end tests, each on a free loopback port: a mosquitto
// broker, the simulator, the gateway itself and Prometheus; and an MQTT client that records what
// arrives. Every process is stopped (and waited for) when its object goes.
#pragma once

#include <mosquitto.h>
#include <signal.h>

#include "Local.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace gwtest {

class Broker {
public:
    // Listens on `port` (a free one when 0) for anyone; `more` adds to the configuration (further
    // listeners with their own settings, which then apply per listener).
    explicit Broker(const TempDir& dir, int port = 0, std::string more = "");
    ~Broker() { Stop(); }
    void Start();
    void Stop() { process_.Stop(SIGTERM); }
    int Port() const { return port_; }
    int Pid() const { return process_.Pid(); }

private:
    const TempDir& dir_;
    int port_;
    std::string more_;
    Process process_;
};

class Simulator {
public:
    Simulator(const std::string& portDir, std::vector<std::string> args, const std::string& log);
    bool Ready(std::initializer_list<int> coms) const;
    void Stop() { process_.Stop(SIGINT); }

private:
    std::string dir_;
    Process process_;
};

// An MQTT client subscribed to `pattern`; keeps the last payload of every topic and every message.
class Client {
public:
    Client(int port, std::string pattern);
    ~Client();
    std::string Last(const std::string& topic);
    bool Has(const std::string& topic);
    // Waits for a message on `topic` (after `since` messages) whose payload passes `accept`.
    bool WaitFor(const std::string& topic, const std::function<bool(const std::string&)>& accept,
                 Seconds timeout, std::string* payload = nullptr, std::size_t since = 0);
    std::size_t Count();
    // Every payload that arrived on `topic`, in order.
    std::vector<std::string> All(const std::string& topic);
    void Publish(const std::string& topic, const std::string& payload, bool retain = false);
    void Clear();

private:
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* m);
    mosquitto* mosq_ = nullptr;
    std::string pattern_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<std::string, std::string> last_;
    std::vector<std::pair<std::string, std::string>> all_;
};

} // namespace gwtest
