#include "ReportByException.h"

#include <cmath>

namespace tarvik::gateway {
namespace {

constexpr double kPercentLow = 0, kPercentHigh = 100;
constexpr double kPercent = 100;

} // namespace

std::optional<double> ReportSettings::Band() const {
    if (deadband) return deadband;
    if (deadbandPercent && HasRange()) return (*high - *low) * *deadbandPercent / kPercent;
    return std::nullopt;
}

ReportSettings ReportConfig::For(const std::string& device, const std::string& value, bool percent) const {
    const ReportSettings* chosen = &defaults;
    const std::string own = device + "/" + value;
    for (const ReportRule& r : rules)
        if (r.target == own) chosen = &r.settings;
    if (chosen == &defaults)
        for (const ReportRule& r : rules)
            if (r.target == value) chosen = &r.settings;
    ReportSettings s = *chosen;
    if (percent && !s.low && !s.high) {
        s.low = kPercentLow;
        s.high = kPercentHigh;
    }
    return s;
}

bool ReportFilter::Offer(const ReportSettings& s, bool everyPoll, std::optional<double> value, int quality,
                         Clock::time_point now, double poll) {
    const auto seconds = [](double x) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(x));
    };
    bool due = !sent_ || quality != quality_ || value.has_value() != value_.has_value();
    if (!due && now - time_ >= seconds(s.minInterval)) {
        const std::optional<double> band = s.Band();
        if (s.maxInterval > 0 && now - time_ + seconds(poll / 2) >= seconds(s.maxInterval))
            due = true; // the heartbeat
        else if (!band)
            due = everyPoll || value != value_;
        else
            due = value && value_ && std::fabs(*value - *value_) > *band;
    }
    if (due) Sent(value, quality, now);
    return due;
}

void ReportFilter::Sent(std::optional<double> value, int quality, Clock::time_point now) {
    sent_ = true;
    value_ = value;
    quality_ = quality;
    time_ = now;
}

} // namespace tarvik::gateway
