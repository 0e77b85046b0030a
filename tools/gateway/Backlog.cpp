#include "Backlog.h"

namespace tarvik::gateway {

std::string Backlog::Historical(std::string_view payload) {
    if (payload.empty() || payload.front() != '{') return std::string(payload);
    return "{\"historical\": true, " + std::string(payload.substr(1));
}

void Backlog::Push(std::string_view topic, std::string_view payload) {
    if (entries_.size() >= capacity_) {
        const auto at = perTopic_.find(entries_.front().topic);
        if (at != perTopic_.end() && --at->second == 0) perTopic_.erase(at);
        entries_.pop_front();
        ++dropped_;
    }
    entries_.push_back({std::string(topic), std::string(payload)});
    ++perTopic_[entries_.back().topic];
}

bool Backlog::Offer(std::string_view topic, std::string_view payload,
                    const std::function<bool(std::string_view, std::string_view, bool)>& send) {
    std::lock_guard lock(mutex_);
    if (entries_.empty() && send(topic, payload, true)) return true;
    if (capacity_ == 0) return false;
    Push(topic, payload);
    return true;
}

void Backlog::Drain(const std::function<bool(std::string_view, std::string_view, bool)>& send) {
    std::lock_guard lock(mutex_);
    while (!entries_.empty()) {
        const Entry& e = entries_.front();
        const auto at = perTopic_.find(e.topic);
        const bool newest = at == perTopic_.end() || at->second <= 1;
        const bool sent =
            newest ? send(e.topic, e.payload, true) : send(e.topic, Historical(e.payload), false);
        if (!sent) return;
        if (at != perTopic_.end() && --at->second == 0) perTopic_.erase(at);
        entries_.pop_front();
    }
}

bool Backlog::Waiting(std::string_view topic) const {
    std::lock_guard lock(mutex_);
    return perTopic_.count(std::string(topic)) > 0;
}

std::size_t Backlog::Size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

std::uint64_t Backlog::DroppedCount() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

} // namespace tarvik::gateway
