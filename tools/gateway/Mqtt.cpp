#include "Mqtt.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <fstream>

namespace tarvik::gateway {
namespace {

constexpr auto kFirstBackoff = std::chrono::milliseconds(250);
constexpr auto kMaxBackoff = std::chrono::seconds(5);
constexpr int kLoopTimeoutMs = 100;
constexpr auto kDisconnectWait = std::chrono::milliseconds(500);

// libmosquitto keeps a process-wide state; set it up once.
struct Library {
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
};

void EnsureLibrary() {
    static Library library;
}

} // namespace

Mqtt::Mqtt(const MqttConfig& config, std::string willTopic, std::string willPayload, Callbacks callbacks)
    : config_(config), willTopic_(std::move(willTopic)), willPayload_(std::move(willPayload)),
      callbacks_(std::move(callbacks)) {}

Mqtt::~Mqtt() {
    Stop();
    if (mosq_) mosquitto_destroy(mosq_);
    mosquitto_property_free_all(&connectProperties_);
}

bool Mqtt::Start(std::string& error) {
    EnsureLibrary();
    mosq_ = mosquitto_new(config_.clientId.c_str(), true, this);
    if (!mosq_) {
        error = "cannot create the MQTT client";
        return false;
    }
    mosquitto_threaded_set(mosq_, true);
    // MQTT 5: the CONNECT tells the broker the largest packet we take, so that nobody can make the
    // gateway read an arbitrarily large message (the broker drops larger ones for us).
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    if (mosquitto_property_add_int32(&connectProperties_, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                     kMaxIncomingPacket) != MOSQ_ERR_SUCCESS) {
        error = "cannot set the maximum packet size";
        return false;
    }
    mosquitto_connect_callback_set(mosq_, &Mqtt::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &Mqtt::OnDisconnect);
    mosquitto_publish_callback_set(mosq_, &Mqtt::OnPublish);
    mosquitto_message_callback_set(mosq_, &Mqtt::OnMessage);
    if (mosquitto_will_set(mosq_, willTopic_.c_str(), static_cast<int>(willPayload_.size()),
                           willPayload_.data(), kQos, true) != MOSQ_ERR_SUCCESS) {
        error = "cannot set the will on " + willTopic_;
        return false;
    }
    if (!config_.username.empty()) {
        std::string password;
        if (!config_.passwordFile.empty()) {
            std::ifstream in(config_.passwordFile);
            if (!in || !std::getline(in, password)) {
                error = "cannot read the password file " + config_.passwordFile;
                return false;
            }
        }
        if (mosquitto_username_pw_set(mosq_, config_.username.c_str(),
                                      config_.passwordFile.empty() ? nullptr : password.c_str()) !=
            MOSQ_ERR_SUCCESS) {
            error = "cannot set the user name";
            return false;
        }
    }
    if (!config_.caFile.empty()) {
        const int rc = mosquitto_tls_set(mosq_, config_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "TLS with " + config_.caFile + ": " + mosquitto_strerror(rc);
            return false;
        }
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void Mqtt::Run() {
    auto backoff = kFirstBackoff;
    bool socketUp = false;
    while (!stop_.load()) {
        if (!socketUp && leaving_.load()) {
            std::unique_lock lock(waitMutex_);
            waitCv_.wait_for(lock, kFirstBackoff, [this] { return stop_.load(); });
            continue;
        }
        if (!socketUp) {
            // Every try is a full connect, so that the CONNECT carries our properties each time.
            const int rc = mosquitto_connect_bind_v5(mosq_, config_.host.c_str(), config_.port,
                                                     config_.keepalive, nullptr, connectProperties_);
            if (rc == MOSQ_ERR_SUCCESS) {
                socketUp = true;
            } else {
                std::unique_lock lock(waitMutex_);
                waitCv_.wait_for(lock, backoff, [this] { return stop_.load(); });
                backoff = std::min<std::chrono::milliseconds>(backoff * 2, kMaxBackoff);
                continue;
            }
        }
        const int rc = mosquitto_loop(mosq_, kLoopTimeoutMs, 1);
        if (connected_.load()) backoff = kFirstBackoff;
        if (rc != MOSQ_ERR_SUCCESS && !stop_.load()) {
            socketUp = false;
            if (connected_.exchange(false) && callbacks_.state) callbacks_.state(false);
            std::unique_lock lock(waitMutex_);
            waitCv_.wait_for(lock, backoff, [this] { return stop_.load(); });
            backoff = std::min<std::chrono::milliseconds>(backoff * 2, kMaxBackoff);
        }
    }
}

void Mqtt::OnConnect(mosquitto*, void* self, int rc) {
    auto* m = static_cast<Mqtt*>(self);
    if (rc != 0) return; // refused; the loop ends the connection and tries again
    // Messages still waiting for an acknowledgement from the last connection are gone.
    m->inFlight_.store(0);
    m->connected_.store(true, std::memory_order_release);
    if (m->callbacks_.state) m->callbacks_.state(true);
    if (m->callbacks_.connected) m->callbacks_.connected();
    std::lock_guard lock(m->waitMutex_);
    m->waitCv_.notify_all();
}

void Mqtt::OnDisconnect(mosquitto*, void* self, int) {
    auto* m = static_cast<Mqtt*>(self);
    if (m->connected_.exchange(false) && m->callbacks_.state) m->callbacks_.state(false);
    std::lock_guard lock(m->waitMutex_);
    m->waitCv_.notify_all();
}

void Mqtt::OnPublish(mosquitto*, void* self, int) {
    auto* m = static_cast<Mqtt*>(self);
    if (m->inFlight_.fetch_sub(1) <= 1) {
        m->inFlight_.store(0);
        std::lock_guard lock(m->waitMutex_);
        m->waitCv_.notify_all();
    }
}

void Mqtt::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto* m = static_cast<Mqtt*>(self);
    if (!m->callbacks_.message || !message->topic) return;
    const std::string_view payload(static_cast<const char*>(message->payload),
                                   message->payload ? static_cast<std::size_t>(message->payloadlen) : 0);
    m->callbacks_.message(message->topic, payload, message->retain);
}

bool Mqtt::PublishNow(std::string_view topic, std::string_view payload, bool retain) {
    if (!mosq_ || !connected_.load(std::memory_order_acquire)) return false;
    if (inFlight_.load(std::memory_order_relaxed) >= kMaxInFlight) return false;
    // The topic must end in a NUL; topics are built once and kept as std::string, so their data
    // is terminated.
    inFlight_.fetch_add(1, std::memory_order_relaxed);
    const int rc = mosquitto_publish(mosq_, nullptr, topic.data(), static_cast<int>(payload.size()),
                                     payload.data(), kQos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        inFlight_.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }
    return true;
}

bool Mqtt::Publish(std::string_view topic, std::string_view payload, bool retain) {
    std::shared_lock lock(closeMutex_);
    if (closed_) return false;
    return PublishNow(topic, payload, retain);
}

bool Mqtt::PublishFinal(std::string_view topic, std::string_view payload) {
    return PublishNow(topic, payload, true);
}

bool Mqtt::Subscribe(const std::string& pattern) {
    return mosq_ && mosquitto_subscribe(mosq_, nullptr, pattern.c_str(), kQos) == MOSQ_ERR_SUCCESS;
}

bool Mqtt::WaitConnected(std::chrono::milliseconds timeout) {
    std::unique_lock lock(waitMutex_);
    return waitCv_.wait_for(lock, timeout, [this] { return connected_.load() || stop_.load(); }) &&
           connected_.load();
}

void Mqtt::Close() {
    std::unique_lock lock(closeMutex_);
    closed_ = true;
}

bool Mqtt::WaitAcknowledged(std::chrono::milliseconds timeout) {
    std::unique_lock lock(waitMutex_);
    return waitCv_.wait_for(lock, timeout, [this] { return inFlight_.load() <= 0 || !connected_.load(); }) &&
           inFlight_.load() <= 0;
}

void Mqtt::Stop() {
    if (!thread_.joinable()) return;
    leaving_.store(true);
    if (mosq_ && connected_.load()) {
        // The loop thread sends the DISCONNECT; the broker then keeps the will to itself.
        mosquitto_disconnect(mosq_);
        std::unique_lock lock(waitMutex_);
        waitCv_.wait_for(lock, kDisconnectWait, [this] { return !connected_.load(); });
    }
    {
        std::lock_guard lock(waitMutex_);
        stop_.store(true);
        waitCv_.notify_all();
    }
    thread_.join();
}

} // namespace tarvik::gateway
