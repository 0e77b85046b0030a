// The gateway proper: one worker thread per serial port polls that port's devices through the fast
// link, each at its own interval on a fixed grid (no drift), and publishes what it reads. Devices on
// one port take turns; a slow or silent device delays only its own port. Set-point commands from
// MQTT are checked at once and queued to the device's port worker, which writes between polls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Config.h"
#include "Metrics.h"
#include "Mqtt.h"
#include "tarvik/Link.h"

namespace tarvik::gateway {

// Large enough for the longest payload (value, unit, time, result name, decoded device status).
constexpr std::size_t kPayloadCapacity = 1024;
// Commands waiting per port; more are answered "Busy".
constexpr std::size_t kMaxQueuedCommands = 8;

class Gateway {
public:
    Gateway(const Config& config, Metrics& metrics);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Publishing goes through `mqtt` (may be null: polls and metrics only). With `echo`, every
    // value published is also written there as "topic payload" (for --once).
    void Attach(Mqtt* mqtt, std::FILE* echo = nullptr);

    // Topics of the gateway itself.
    std::string ClientStatusTopic() const { return prefix_ + "/" + clientId_ + "/status"; }
    std::string CommandPattern() const { return prefix_ + "/+/+/set"; }

    // MQTT callbacks: after each (re)connection, and for every message on a command topic.
    void OnConnected();
    void OnMessage(std::string_view topic, std::string_view payload, bool retained);

    void Start();   // one worker per port, polling until Stop
    void RunOnce(); // every device polled once (ports in parallel), then returns; repeatable
    void Stop();    // a request in progress completes first
    // The last words, after Mqtt::Close: every device and the gateway `offline`.
    void PublishOffline();

    std::size_t PortCount() const { return workers_.size(); }

private:
    struct ValueState {
        ValueSpec spec;
        std::string topic;
        std::array<char, kPayloadCapacity> payload{};
        std::size_t size = 0; // 0: nothing published yet
        int unitCode = kNoUnit - 1;
        std::string unitSymbol;
        int statusKey = -1;
        std::string statusJson;
    };
    enum class Online { Unknown, Up, Down };
    struct Worker;
    struct DeviceState {
        std::size_t index = 0;
        const DeviceConfig* config = nullptr;
        std::string statusTopic;
        std::vector<ValueState> values;
        std::mutex mutex; // payloads and `online`, which OnConnected republishes
        Online online = Online::Unknown;
        std::chrono::steady_clock::time_point due;
        Worker* worker = nullptr;
    };
    struct Command {
        DeviceState* device = nullptr;
        int channel = 0;
        double value = 0;
        std::string resultTopic;
    };
    struct Worker {
        int port = 0;
        std::vector<DeviceState*> devices;
        std::thread thread;
        std::mutex mutex;
        std::condition_variable cv;
        std::deque<Command> commands;
        bool stop = false;
        link::HartLink hart;
        link::ReadoutLink unit;
        int hartBaud = 0; // the rate `hart` was opened at
    };
    struct Reading {
        std::int32_t result = ResultNoReply;
        bool hasValue = false;
        float value = 0;
        int unitCode = kNoUnit;
        bool hasStatus = false;
        std::uint8_t status1 = 0, status2 = 0;
    };

    void RunWorker(Worker& w, bool once);
    void PollDevice(Worker& w, DeviceState& d);
    std::int32_t Prepare(Worker& w, const DeviceConfig& d);
    Reading Read(Worker& w, const DeviceConfig& d, const ValueSpec& v);
    void Execute(Worker& w, Command& c);
    void PublishResult(const std::string& topic, bool ok, std::string_view result, bool hasValue,
                       double value, std::string_view error);
    void Publish(const std::string& topic, std::string_view payload, bool retain);
    static void UpdateStatus(ValueState& v, const Reading& r);

    Metrics& metrics_;
    std::string prefix_, clientId_;
    Mqtt* mqtt_ = nullptr;
    std::FILE* echo_ = nullptr;
    std::mutex echoMutex_;
    std::vector<std::unique_ptr<DeviceState>> devices_;
    std::unordered_map<std::string, DeviceState*> byName_;
    std::vector<std::unique_ptr<Worker>> workers_;
};

} // namespace tarvik::gateway
