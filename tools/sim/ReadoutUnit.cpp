#include "ReadoutUnit.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace tarvik::sim {
namespace {

constexpr const char* kIdentityRequest = "AZI";
constexpr const char* kAddressedPrefix = "AZ.";
constexpr const char* kReplyEnd = ",\r\n";
constexpr int kErrUnknownCommand = 1;
constexpr int kErrBadValue = 2;
constexpr int kErrWrongAddress = 3;
constexpr int kMaxPlaces = 3;
constexpr int kVorClosed = 1;
constexpr int kVorOpen = 2;
constexpr double kMaxStep = 3600;

std::string TwoDigits(int n) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d", n);
    return buf;
}

std::optional<double> ParseNumber(const std::string& text) {
    double v = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (ec != std::errc() || ptr != end || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<int> ParseWhole(const std::string& text) {
    int v = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return v;
}

} // namespace

ReadoutUnit::ReadoutUnit(std::uint32_t seed, std::string serial) : serial_(std::move(serial)), rng_(seed) {
    channels_[0].fullScale = 100.0;
    channels_[0].places = 1;
    channels_[1].fullScale = 50.0;
    channels_[1].places = 2;
    channels_[2].fullScale = 10.0;
    channels_[2].places = 3;
    channels_[3].fullScale = 500.0;
    channels_[3].places = 0;
}

double ReadoutUnit::Target(const ReadoutChannel& c) const {
    if (c.vor == kVorClosed) return 0.0;
    if (c.vor == kVorOpen) return c.fullScale;
    return c.setPoint;
}

void ReadoutUnit::Advance(double dt) {
    const double decay = std::exp(-dt / tau_);
    for (ReadoutChannel& c : channels_) {
        const double target = Target(c);
        c.processValue = target + (c.processValue - target) * decay;
    }
}

std::string ReadoutUnit::Fixed(double value, int places) const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", places, value);
    std::string text = buf;
    // Noise around zero must not show as "-0.0".
    if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
    return text;
}

std::optional<std::string> ReadoutUnit::Answer(const std::string& line, double now) {
    if (lastTime_ >= 0 && now > lastTime_) Advance(std::min(now - lastTime_, kMaxStep));
    if (now > lastTime_) lastTime_ = now;

    if (line == kIdentityRequest) return "AZ,I,Tarvik Instrument,0731," + serial_ + ",V2.10" + kReplyEnd;
    if (line.rfind(kAddressedPrefix, 0) != 0 || line.size() < 6) return std::nullopt; // not for this unit
    const auto address = ParseWhole(line.substr(3, 2));
    if (!address || *address < 1 || *address > 2 * kChannelCount) return std::nullopt;
    const std::string command = line.substr(5);
    const std::string head = "AZ," + TwoDigits(*address) + ",";
    const auto error = [&](int code) { return head + "E," + std::to_string(code) + kReplyEnd; };

    if (command == "K") {
        if (*address % 2 == 0) return error(kErrWrongAddress);
        const ReadoutChannel& c = channels_[static_cast<std::size_t>((*address - 1) / 2)];
        std::normal_distribution<double> noise(0.0, noise_ * c.fullScale);
        const double pv = c.processValue + noise(rng_);
        const int alarm = pv > c.fullScale ? 1 : 0;
        return head + "R,K," + std::to_string(alarm) + "," + Fixed(pv, c.places) + kReplyEnd;
    }
    if (command.size() >= 4 && command[0] == 'P') {
        const std::string parameter = command.substr(0, 3);
        if (command.size() == 4 && command[3] == '?') return Read(*address, parameter);
        if (command[3] == '=') return Write(*address, parameter, command.substr(4));
    }
    return error(kErrUnknownCommand);
}

std::string ReadoutUnit::Read(int address, const std::string& parameter) {
    const bool control = address % 2 == 0;
    ReadoutChannel& c = channels_[static_cast<std::size_t>((address - 1) / 2)];
    const std::string head = "AZ," + TwoDigits(address) + ",";
    std::string value;
    if (control && parameter == "P01")
        value = Fixed(c.setPoint, c.places);
    else if (control && parameter == "P46")
        value = std::to_string(c.source);
    else if (control && parameter == "P29")
        value = std::to_string(c.vor);
    else if (!control && parameter == "P03")
        value = std::to_string(c.places);
    else if (!control && parameter == "P04")
        value = std::to_string(c.measureUnit);
    else if (!control && parameter == "P09")
        value = Fixed(c.fullScale, c.places);
    else if (!control && parameter == "P10")
        value = std::to_string(c.timeUnit);
    else
        return head + "E," + std::to_string(kErrWrongAddress) + kReplyEnd;
    return head + "R," + parameter + "," + value + kReplyEnd;
}

std::string ReadoutUnit::Write(int address, const std::string& parameter, const std::string& text) {
    const bool control = address % 2 == 0;
    ReadoutChannel& c = channels_[static_cast<std::size_t>((address - 1) / 2)];
    const std::string head = "AZ," + TwoDigits(address) + ",";
    const std::string bad = head + "E," + std::to_string(kErrBadValue) + kReplyEnd;
    std::string value;
    if (control && parameter == "P01") {
        const auto v = ParseNumber(text);
        if (!v || *v < 0 || *v > c.fullScale) return bad;
        c.setPoint = *v;
        value = Fixed(c.setPoint, c.places);
    } else if (control && (parameter == "P46" || parameter == "P29")) {
        const auto v = ParseWhole(text);
        const int max = parameter == "P46" ? 1 : kVorOpen;
        if (!v || *v < 0 || *v > max) return bad;
        (parameter == "P46" ? c.source : c.vor) = *v;
        value = std::to_string(*v);
    } else if (!control && parameter == "P03") {
        const auto v = ParseWhole(text);
        if (!v || *v < 0 || *v > kMaxPlaces) return bad;
        c.places = *v;
        value = std::to_string(*v);
    } else if (!control && (parameter == "P04" || parameter == "P10")) {
        const auto v = ParseWhole(text);
        if (!v || *v < 0) return bad;
        (parameter == "P04" ? c.measureUnit : c.timeUnit) = *v;
        value = std::to_string(*v);
    } else if (!control && parameter == "P09") {
        const auto v = ParseNumber(text);
        if (!v || *v <= 0) return bad;
        c.fullScale = *v;
        value = Fixed(c.fullScale, c.places);
    } else {
        return head + "E," + std::to_string(kErrWrongAddress) + kReplyEnd;
    }
    return head + "W," + parameter + "," + value + kReplyEnd;
}

} // namespace tarvik::sim
