// The MQTT side: one libmosquitto client driven by a thread of our own, which connects, reconnects
// with backoff (0.25 s doubling to at most 5 s between tries) and runs the network loop.
// Publishing is thread-safe and accepted only while connected: nothing piles up while the broker
// is away, and at most kMaxInFlight messages are queued or wait for their acknowledgement.
// Messages are queued and handed to the client by its own thread every kFlushInterval, in order:
// a publisher never wakes the network thread, which then wakes about once per batch instead of
// twice per message.
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
#include <vector>

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
    static constexpr auto kFlushInterval = std::chrono::milliseconds(10);

    struct Callbacks {
        std::function<void()> connected; // on the client thread, after each (re)connection
        std::function<void(bool)> state; // connected or not
        // `client`: the publisher's MQTT 5 user property "client", when it set one.
        std::function<void(std::string_view topic, std::string_view payload, bool retained,
                           std::string_view client)>
            message;
        std::function<void()> tick;                    // on the client thread before each hand-over
        std::function<void(std::size_t)> acknowledged; // messages the broker acknowledged
        // Messages accepted by Publish that could not be handed over (the connection broke).
        std::function<void(std::size_t count)> dropped;
        // Why the broker cannot be reached or refused us ("broker 127.0.0.1:8883 refused the
        // connection: Not authorized"); said once per cause, not at every try.
        std::function<void(const std::string& why)> problem;
    };

    // `willTopic` gets `willPayload` (retained) from the broker when the connection breaks.
    Mqtt(const MqttConfig& config, std::string willTopic, std::string willPayload, Callbacks callbacks);
    ~Mqtt();
    Mqtt(const Mqtt&) = delete;
    Mqtt& operator=(const Mqtt&) = delete;

    // Before Start: the will is asked of `payload` before every connection try (a Sparkplug edge
    // node's NDEATH carries the bdSeq of the connection it belongs to), sent with `retain`.
    void SetWill(std::function<std::string()> payload, bool retain);
    // Creates the client and starts its thread; false with a message when the settings cannot work
    // (TLS files, password file). An unreachable broker is not an error: the thread keeps trying.
    bool Start(std::string& error);
    // Queues a message for QoS 1; false when not connected, closed, or too many messages are queued
    // or unacknowledged. `topic` and `payload` are copied.
    bool Publish(std::string_view topic, std::string_view payload, bool retain);
    bool Subscribe(const std::string& pattern);
    bool Connected() const { return connected_.load(std::memory_order_acquire); }
    bool WaitConnected(std::chrono::milliseconds timeout);
    // After Close only PublishFinal goes out: the last words cannot be overtaken by a poller.
    void Close();
    bool PublishFinal(std::string_view topic, std::string_view payload, bool retain = true);
    // Waits until every queued message is handed over and acknowledged, or the timeout.
    bool WaitAcknowledged(std::chrono::milliseconds timeout);
    // Disconnects cleanly (the broker then keeps the will to itself) and ends the thread.
    void Stop();

private:
    struct Message {
        std::string topic, payload; // their capacity is kept from batch to batch
        bool retain = false;
    };
    bool Enqueue(std::string_view topic, std::string_view payload, bool retain);
    void Flush();        // on the client thread
    int LoopTimeoutMs(); // how long the network loop may wait before the next flush
    void Run();
    bool ApplyWill(); // on the client thread, before a connection try
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message,
                          const mqtt5__property* props);
    static void OnLog(mosquitto*, void* self, int level, const char* text);
    // On the client thread: says `why` unless a problem of the same `kind` was said since the last
    // connection (the text of one outage may vary from try to try: refused, reset, timed out).
    void Problem(const std::string& kind, const std::string& why);
    std::string Where() const;
    std::string Why(int rc); // libmosquitto's text for `rc`, with the error it logged last

    MqttConfig config_;
    std::string willTopic_, willPayload_;
    std::function<std::string()> willSource_;
    bool willRetain_ = true;
    Callbacks callbacks_;
    mosquitto* mosq_ = nullptr;
    mqtt5__property* connectProperties_ = nullptr;
    std::thread thread_;
    std::mutex logMutex_;
    std::string lastError_; // the last error libmosquitto logged, under logMutex_
    // The client thread's own: the last problem said; this try's connection refused / accepted.
    std::string lastProblem_;
    bool refused_ = false, accepted_ = false;
    std::atomic<bool> connected_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> leaving_{false}; // Stop has begun: no more reconnects
    std::atomic<int> inFlight_{0};
    std::mutex queueMutex_;                // taken inside waitMutex_, never the other way round
    std::vector<Message> queue_, sending_; // queue_[0, queued_) wait for the next flush
    std::size_t queued_ = 0;
    std::chrono::steady_clock::time_point nextFlush_{};
    std::shared_mutex closeMutex_;
    bool closed_ = false;
    std::mutex waitMutex_;
    std::condition_variable waitCv_;
};

} // namespace tarvik::gateway
