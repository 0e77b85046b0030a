// The MQTT side: one libmosquitto client driven by a thread of our own, which connects, reconnects
// with backoff (0.25 s doubling to at most 5 s between tries) and runs the network loop.
// Publishing is thread-safe and happens only while connected: nothing piles up while the broker is
// away, and at most kMaxInFlight messages wait for their acknowledgement.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>

#include "Config.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace tarvik::gateway {

class Mqtt {
public:
    static constexpr int kQos = 1;
    static constexpr int kMaxInFlight = 1000;
    // The largest MQTT packet the broker may send us; commands are a few bytes.
    static constexpr int kMaxIncomingPacket = 4096;

    struct Callbacks {
        std::function<void()> connected; // on the client thread, after each (re)connection
        std::function<void(bool)> state; // connected or not
        std::function<void(std::string_view topic, std::string_view payload, bool retained)> message;
    };

    // `willTopic` gets `willPayload` (retained) from the broker when the connection breaks.
    Mqtt(const MqttConfig& config, std::string willTopic, std::string willPayload, Callbacks callbacks);
    ~Mqtt();
    Mqtt(const Mqtt&) = delete;
    Mqtt& operator=(const Mqtt&) = delete;

    // Creates the client and starts its thread; false with a message when the settings cannot work
    // (TLS files, password file). An unreachable broker is not an error: the thread keeps trying.
    bool Start(std::string& error);
    // Publishes with QoS 1; false when not connected, closed, or too many messages are unacknowledged.
    bool Publish(std::string_view topic, std::string_view payload, bool retain);
    bool Subscribe(const std::string& pattern);
    bool Connected() const { return connected_.load(std::memory_order_acquire); }
    bool WaitConnected(std::chrono::milliseconds timeout);
    // After Close only PublishFinal goes out: the last words cannot be overtaken by a poller.
    void Close();
    bool PublishFinal(std::string_view topic, std::string_view payload);
    // Waits until every published message is acknowledged, or the timeout.
    bool WaitAcknowledged(std::chrono::milliseconds timeout);
    // Disconnects cleanly (the broker then keeps the will to itself) and ends the thread.
    void Stop();

private:
    bool PublishNow(std::string_view topic, std::string_view payload, bool retain);
    void Run();
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

    MqttConfig config_;
    std::string willTopic_, willPayload_;
    Callbacks callbacks_;
    mosquitto* mosq_ = nullptr;
    mqtt5__property* connectProperties_ = nullptr;
    std::thread thread_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> leaving_{false}; // Stop has begun: no more reconnects
    std::atomic<int> inFlight_{0};
    std::shared_mutex closeMutex_;
    bool closed_ = false;
    std::mutex waitMutex_;
    std::condition_variable waitCv_;
};

} // namespace tarvik::gateway
