#include "Endpoint.h"

namespace tarvik::sim {

std::vector<Bytes> HartEndpoint::Feed(std::span<const std::uint8_t> bytes, double now) {
    std::vector<Bytes> replies;
    for (const HartRequest& r : parser_.Feed(bytes))
        if (auto reply = device_->Answer(r, now)) replies.push_back(std::move(*reply));
    return replies;
}

std::string HartEndpoint::Describe() const {
    std::string tag = device_->Tag();
    while (!tag.empty() && tag.back() == ' ')
        tag.pop_back();
    return device_->Kind() + "  address " + AddressText(device_->Identity()) + "  tag " + tag;
}

std::vector<Bytes> ReadoutEndpoint::Feed(std::span<const std::uint8_t> bytes, double now) {
    std::vector<Bytes> replies;
    for (std::uint8_t b : bytes) {
        if (b != static_cast<std::uint8_t>(kLineEnd)) {
            // A line longer than any request is noise: start over.
            if (pending_.size() >= kMaxLineLength) pending_.clear();
            pending_.push_back(static_cast<char>(b));
            continue;
        }
        if (auto reply = unit_.Answer(pending_, now)) replies.emplace_back(reply->begin(), reply->end());
        pending_.clear();
    }
    return replies;
}

} // namespace tarvik::sim
