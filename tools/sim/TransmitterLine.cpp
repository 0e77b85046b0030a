#include "TransmitterLine.h"

namespace tarvik::sim {

namespace {

constexpr int kMaxTransmitters = 64;        // polling addresses 0..63
constexpr double kBurstGapSeconds = 0.075;  // quiet time before a burst frame (a master may talk first)
constexpr double kBurstPeriodSeconds = 0.5; // between burst frames of the line
constexpr double kPi = 3.14159265358979323846;

std::string Padded(const char* prefix, int n) {
    return prefix + std::to_string(n);
}

} // namespace

TransmitterLine::TransmitterLine(int com, std::uint32_t baud, int count, std::uint32_t seed) : baud_(baud) {
    for (int i = 0; i < count && i < kMaxTransmitters; ++i) {
        TransmitterConfig c;
        c.polling = static_cast<std::uint8_t>(i);
        c.deviceId = {0x03, static_cast<std::uint8_t>(com), static_cast<std::uint8_t>(i + 1)};
        c.tag = Padded("TT-", com * 100 + i + 1);
        c.descriptor = "PROCESS TEMP";
        c.message = "SIMULATED TRANSMITTER " + std::to_string(i);
        c.longTag = "Line " + std::to_string(com) + " temperature " + std::to_string(i);
        c.phase = 2 * kPi * i / std::max(1, count);
        devices_.push_back(std::make_unique<Transmitter>(std::move(c), seed + static_cast<std::uint32_t>(i)));
    }
}

double TransmitterLine::WireTime(std::size_t bytes) const {
    return static_cast<double>(bytes) * Line().BitsPerByte() / baud_;
}

std::vector<Bytes> TransmitterLine::Feed(std::span<const std::uint8_t> bytes, double now) {
    std::vector<Bytes> replies;
    // A request under way keeps bursts off the line until its reply is out.
    quietFrom_ = std::max(quietFrom_, now + kBurstGapSeconds);
    decoder_.Feed(bytes, [&](const hart::Frame& request) {
        for (auto& device : devices_) {
            if (auto reply = device->Answer(request, now)) {
                quietFrom_ = std::max(quietFrom_, now + WireTime(reply->size()) + kBurstGapSeconds);
                replies.push_back(std::move(*reply));
                break; // one device per address: the first that answers holds the line
            }
        }
    });
    return replies;
}

void TransmitterLine::SendsUntil(double until) {
    quietFrom_ = std::max(quietFrom_, until + kBurstGapSeconds);
}

std::vector<Bytes> TransmitterLine::Unasked(double now) {
    if (now < quietFrom_ || now < nextBurst_ || decoder_.InFrame()) return {};
    for (std::size_t k = 0; k < devices_.size(); ++k) {
        Transmitter& d = *devices_[(burstTurn_ + k) % devices_.size()];
        if (auto frame = d.Burst(now)) {
            burstTurn_ = (burstTurn_ + k + 1) % devices_.size();
            quietFrom_ = now + WireTime(frame->size()) + kBurstGapSeconds;
            nextBurst_ = now + kBurstPeriodSeconds;
            return {std::move(*frame)};
        }
    }
    return {};
}

std::string TransmitterLine::Describe() const {
    std::string out = std::to_string(devices_.size()) + " HART transmitter(s):";
    for (const auto& d : devices_)
        out += "\n         " + d->Describe();
    return out;
}

} // namespace tarvik::sim
