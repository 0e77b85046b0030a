#include "Mqtt.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <utility>

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
    mosquitto_message_v5_callback_set(mosq_, &Mqtt::OnMessage);
    mosquitto_log_callback_set(mosq_, &Mqtt::OnLog);
    if (!ApplyWill()) {
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
        const int rc =
            mosquitto_tls_set(mosq_, config_.caFile.c_str(), nullptr,
                              config_.certFile.empty() ? nullptr : config_.certFile.c_str(),
                              config_.keyFile.empty() ? nullptr : config_.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "TLS with " + config_.caFile + ": " + mosquitto_strerror(rc);
            return false;
        }
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void Mqtt::SetWill(std::function<std::string()> payload, bool retain) {
    willSource_ = std::move(payload);
    willRetain_ = retain;
}

bool Mqtt::ApplyWill() {
    if (willSource_) willPayload_ = willSource_();
    return mosquitto_will_set(mosq_, willTopic_.c_str(), static_cast<int>(willPayload_.size()),
                              willPayload_.data(), kQos, willRetain_) == MOSQ_ERR_SUCCESS;
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
        int rc = MOSQ_ERR_SUCCESS;
        if (!socketUp) {
            refused_ = accepted_ = false;
            if (willSource_) ApplyWill();
            // Every try is a full connect, so that the CONNECT carries our properties each time.
            rc = mosquitto_connect_bind_v5(mosq_, config_.host.c_str(), config_.port, config_.keepalive,
                                           nullptr, connectProperties_);
            socketUp = rc == MOSQ_ERR_SUCCESS;
        }
        if (socketUp) {
            rc = mosquitto_loop(mosq_, LoopTimeoutMs(), 1);
            if (connected_.load()) backoff = kFirstBackoff;
            if (std::chrono::steady_clock::now() >= nextFlush_) {
                if (callbacks_.tick && connected_.load()) callbacks_.tick();
                Flush();
            }
        }
        if (rc != MOSQ_ERR_SUCCESS && !stop_.load()) {
            socketUp = false;
            if (connected_.exchange(false) && callbacks_.state) callbacks_.state(false);
            // A refusal was said already; a TLS handshake may fail in the loop, after the socket connected.
            if (!refused_ && !leaving_.load())
                Problem(accepted_ ? "lost" : "connect",
                        (accepted_ ? "lost the connection to the broker " : "cannot connect to the broker ") +
                            Where() + ": " + Why(rc));
            std::unique_lock lock(waitMutex_);
            waitCv_.wait_for(lock, backoff, [this] { return stop_.load(); });
            backoff = std::min<std::chrono::milliseconds>(backoff * 2, kMaxBackoff);
        }
    }
}

std::string Mqtt::Where() const {
    return config_.host + ":" + std::to_string(config_.port);
}

std::string Mqtt::Why(int rc) {
    // libmosquitto's own text is general ("A TLS error occurred."); the error it logged just before
    // says more (the certificate that failed to verify).
    // A keepalive loss is not named by libmosquitto 2.0 ("Unknown error").
    std::string why = rc == MOSQ_ERR_KEEPALIVE ? std::string("no answer within the keepalive")
                                               : std::string(mosquitto_strerror(rc));
    if (!why.empty() && why.back() == '.') why.pop_back();
    std::lock_guard lock(logMutex_);
    if (!lastError_.empty()) why += " (" + lastError_ + ")";
    lastError_.clear();
    return why;
}

void Mqtt::OnConnect(mosquitto*, void* self, int rc) {
    auto* m = static_cast<Mqtt*>(self);
    if (rc != 0) { // refused; the loop ends the connection and tries again
        m->refused_ = true;
        m->Problem("refused",
                   "the broker " + m->Where() + " refused the connection: " + mosquitto_reason_string(rc));
        return;
    }
    m->accepted_ = true;
    m->lastProblem_.clear(); // the next problem is news again
    // Messages still waiting for an acknowledgement from the last connection are gone.
    m->inFlight_.store(0);
    m->connected_.store(true, std::memory_order_release);
    if (m->callbacks_.state) m->callbacks_.state(true);
    if (m->callbacks_.connected) m->callbacks_.connected();
    std::lock_guard lock(m->waitMutex_);
    m->waitCv_.notify_all();
}

void Mqtt::OnLog(mosquitto*, void* self, int level, const char* text) {
    auto* m = static_cast<Mqtt*>(self);
    if (level != MOSQ_LOG_ERR || !text) return;
    std::lock_guard lock(m->logMutex_);
    m->lastError_ = text;
}

void Mqtt::Problem(const std::string& kind, const std::string& why) {
    // One outage is said once: the tries that fail after a loss belong to it.
    if (kind == lastProblem_ || (kind == "connect" && lastProblem_ == "lost")) return;
    lastProblem_ = kind;
    if (callbacks_.problem) callbacks_.problem(why);
}

void Mqtt::OnDisconnect(mosquitto*, void* self, int) {
    auto* m = static_cast<Mqtt*>(self);
    if (m->connected_.exchange(false) && m->callbacks_.state) m->callbacks_.state(false);
    std::lock_guard lock(m->waitMutex_);
    m->waitCv_.notify_all();
}

void Mqtt::OnPublish(mosquitto*, void* self, int) {
    auto* m = static_cast<Mqtt*>(self);
    if (m->callbacks_.acknowledged) m->callbacks_.acknowledged(1);
    if (m->inFlight_.fetch_sub(1) <= 1) {
        m->inFlight_.store(0);
        std::lock_guard lock(m->waitMutex_);
        m->waitCv_.notify_all();
    }
}

void Mqtt::OnMessage(mosquitto*, void* self, const mosquitto_message* message, const mqtt5__property* props) {
    auto* m = static_cast<Mqtt*>(self);
    if (!m->callbacks_.message || !message->topic) return;
    const std::string_view payload(static_cast<const char*>(message->payload),
                                   message->payload ? static_cast<std::size_t>(message->payloadlen) : 0);
    // MQTT does not tell a receiver who published; a publisher may say so in a user property.
    std::string client;
    for (const mqtt5__property* p = props; p;) {
        char *name = nullptr, *value = nullptr;
        p = mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, p != props);
        const bool found = p && name && std::string_view(name) == "client";
        if (found) client.assign(value ? value : "");
        std::free(name);
        std::free(value);
        if (found || !p) break;
    }
    m->callbacks_.message(message->topic, payload, message->retain, client);
}

bool Mqtt::Enqueue(std::string_view topic, std::string_view payload, bool retain) {
    if (!mosq_ || !connected_.load(std::memory_order_acquire)) return false;
    std::lock_guard lock(queueMutex_);
    if (queued_ + static_cast<std::size_t>(std::max(0, inFlight_.load())) >= kMaxInFlight) return false;
    if (queued_ == queue_.size()) queue_.emplace_back();
    Message& m = queue_[queued_++];
    m.topic.assign(topic);
    m.payload.assign(payload);
    m.retain = retain;
    return true;
}

int Mqtt::LoopTimeoutMs() {
    if (!connected_.load()) return kLoopTimeoutMs;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(nextFlush_ - std::chrono::steady_clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, kLoopTimeoutMs));
}

void Mqtt::Flush() {
    nextFlush_ = std::chrono::steady_clock::now() + kFlushInterval;
    // What was queued before a connection broke waits for the next one, and goes out first: a
    // round between a reconnection and the broker's acceptance must not throw it away.
    if (!connected_.load()) return;
    std::size_t n = 0;
    {
        std::lock_guard lock(queueMutex_);
        std::swap(queue_, sending_);
        n = std::exchange(queued_, 0);
        // Counted as in flight before they are handed over: the waits never see a gap, and an
        // acknowledgement may arrive before mosquitto_publish returns.
        inFlight_.fetch_add(static_cast<int>(n));
    }
    if (n == 0) return;
    std::size_t dropped = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Message& m = sending_[i];
        if (!connected_.load() ||
            mosquitto_publish(mosq_, nullptr, m.topic.c_str(), static_cast<int>(m.payload.size()),
                              m.payload.data(), kQos, m.retain) != MOSQ_ERR_SUCCESS) {
            inFlight_.fetch_sub(1);
            ++dropped;
        }
    }
    {
        std::lock_guard lock(waitMutex_);
        waitCv_.notify_all();
    }
    if (dropped > 0 && callbacks_.dropped) callbacks_.dropped(dropped);
}

bool Mqtt::Publish(std::string_view topic, std::string_view payload, bool retain) {
    std::shared_lock lock(closeMutex_);
    if (closed_) return false;
    return Enqueue(topic, payload, retain);
}

bool Mqtt::PublishFinal(std::string_view topic, std::string_view payload, bool retain) {
    return Enqueue(topic, payload, retain);
}

bool Mqtt::Subscribe(const std::string& pattern) {
    // Retain as published: a retained command is seen as one also when it arrives live.
    return mosq_ && mosquitto_subscribe_v5(mosq_, nullptr, pattern.c_str(), kQos,
                                           MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr) == MOSQ_ERR_SUCCESS;
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
    const auto done = [this] {
        std::lock_guard queue(queueMutex_); // the queue and what it hands over, seen together
        return queued_ == 0 && inFlight_.load() <= 0;
    };
    return waitCv_.wait_for(lock, timeout, [&] { return done() || !connected_.load(); }) && done();
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
