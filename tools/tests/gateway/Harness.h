// The gateway's end-to-end tests: a running gateway with its own configuration, an MQTT client
// that records what arrives, and configuration snippets. Brokers, simulators, processes and the
// rest come from the test kit (Kit.h), under the same names here.
#pragma once

#include <mosquitto.h>
#include <signal.h>

#include "Kit.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

namespace gwtest {

using namespace tarvik::testkit; // TempDir, Process, Simulator, Broker, WaitUntil, FreePort, HttpGet, Said...

// An MQTT client subscribed to `pattern`; keeps the last payload of every topic and every message.
class Client {
public:
    // With an `id` the session is kept by the broker while the client is away (QoS 1 messages wait).
    Client(int port, std::string pattern, const std::string& id = "");
    // Waits until the subscription is in place: a probe under the pattern comes back.
    bool WaitSubscribed(const std::string& probeTopic);
    ~Client();
    std::string Last(const std::string& topic);
    bool Has(const std::string& topic);
    // Waits for a message on `topic` (after `since` messages) whose payload passes `accept`.
    bool WaitFor(const std::string& topic, const std::function<bool(const std::string&)>& accept,
                 Seconds timeout, std::string* payload = nullptr, std::size_t since = 0);
    std::size_t Count();
    // Every payload that arrived on `topic`, in order.
    std::vector<std::string> All(const std::string& topic);
    // Every message that arrived, in order: topic and payload.
    std::vector<std::pair<std::string, std::string>> Messages();
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

// A running gateway with its own config; the metrics port is learnt from its log.
class GatewayProcess {
public:
    GatewayProcess(const TempDir& dir, const std::string& portDir, const std::string& config,
                   std::string name = "gw")
        : log_(dir.File(name + ".log")) {
        dir.Write(name + ".toml", config);
        process_ = Process({TARVIK_GATEWAY, "--config", dir.File(name + ".toml")}, log_,
                           {"TARVIK_PORT_DIR=" + portDir});
    }
    int MetricsPort() {
        if (metricsPort_ > 0) return metricsPort_;
        WaitUntil(
            [&] {
                std::smatch m;
                const std::string log = ReadFile(log_);
                if (!std::regex_search(log, m,
                                       std::regex("metrics at http://127\\.0\\.0\\.1:(\\d+)/metrics")))
                    return false;
                metricsPort_ = std::stoi(m[1]);
                return true;
            },
            Seconds(10));
        return metricsPort_;
    }
    std::string Metrics() { return HttpGet(MetricsPort(), "/metrics"); }
    // The value of the first metric line that starts with `series`, or -1.
    double Metric(const std::string& series) { return MetricValue(Metrics(), series); }
    Process& Proc() { return process_; }
    std::string Log() const { return ReadFile(log_); }

private:
    std::string log_;
    Process process_;
    int metricsPort_ = 0;
};

inline std::string MqttSection(int port, const std::string& extra = "") {
    return "[mqtt]\nport = " + std::to_string(port) + "\nclient_id = \"gw-test\"\n" + extra +
           "[metrics]\nlisten = \"127.0.0.1:0\"\n";
}

inline std::string Device(const std::string& name, int port, int baud, const std::string& values,
                          double interval, const std::string& extra = "") {
    return "[[device]]\nname = \"" + name + "\"\nkind = \"flow\"\nport = " + std::to_string(port) +
           "\nbaud = " + std::to_string(baud) + "\naddress = \"64:0102" + (port < 16 ? "0" : "") +
           [&] {
               char hex[3];
               std::snprintf(hex, sizeof hex, "%X", port);
               return std::string(hex);
           }() +
           "\"\nvalues = " + values + "\ninterval = " + std::to_string(interval) + "\n" + extra;
}

} // namespace gwtest
