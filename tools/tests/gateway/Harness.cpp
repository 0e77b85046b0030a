#include "Harness.h"

#include <signal.h>

namespace gwtest {

Client::Client(int port, std::string pattern, const std::string& id) : pattern_(std::move(pattern)) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(id.empty() ? nullptr : id.c_str(), id.empty(), this);
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

std::vector<std::pair<std::string, std::string>> Client::Messages() {
    std::lock_guard lock(mutex_);
    return all_;
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

bool Client::WaitSubscribed(const std::string& probeTopic) {
    const auto seen = [&] { return Has(probeTopic); };
    return WaitUntil(
        [&] {
            if (seen()) return true;
            Publish(probeTopic, "probe");
            return WaitFor(
                probeTopic, [](const std::string&) { return true; }, Seconds(0.5));
        },
        Seconds(20));
}

void Client::Publish(const std::string& topic, const std::string& payload, bool retain) {
    mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                      retain);
}

} // namespace gwtest
