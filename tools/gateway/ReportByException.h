// Report by exception: whether a value read at a poll is published, per value and per way out (the
// JSON topics, Sparkplug). A value goes out when it moved beyond its deadband (absolute, or a
// percent of its range), when its quality changed, or when nothing went out for max_interval (a
// heartbeat that says the value is alive though steady); never twice within min_interval, except
// for a change of quality. Without a deadband the JSON topics keep publishing every poll and
// Sparkplug publishes every change.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tarvik::gateway {

struct ReportSettings {
    std::optional<double> deadband;        // in the value's unit
    std::optional<double> deadbandPercent; // of the value's range; used when it has one
    double minInterval = 0;                // seconds
    double maxInterval = 0;                // seconds; 0: no heartbeat
    std::optional<double> low, high;       // the value's range, where known
    bool operator==(const ReportSettings&) const = default;

    bool HasRange() const { return low && high && *high > *low; }
    // The deadband in the value's unit; none: not set (or a percent without a range).
    std::optional<double> Band() const;
};

// [report] and its tables: settings for every value, by value name ("flow") or by device and
// value ("mfc1/flow"); the most specific one applies, keys it leaves out come from [report].
struct ReportRule {
    std::string target;
    ReportSettings settings;
    bool operator==(const ReportRule&) const = default;
};

struct ReportConfig {
    ReportSettings defaults;
    std::vector<ReportRule> rules;
    bool operator==(const ReportConfig&) const = default;

    // `percent`: the value is a percent of something (a set point, a loop's percent of range),
    // whose range is 0..100 unless a rule says otherwise.
    ReportSettings For(const std::string& device, const std::string& value, bool percent) const;
};

// The publication state of one value on one way out.
class ReportFilter {
public:
    using Clock = std::chrono::steady_clock;
    // Whether this reading goes out; when it does it is taken as published. `everyPoll`: without a
    // deadband each reading goes out (else only a change). `poll`: the device's poll interval, so
    // that a heartbeat falls on the poll nearest to max_interval rather than the one after it.
    bool Offer(const ReportSettings& s, bool everyPoll, std::optional<double> value, int quality,
               Clock::time_point now, double poll = 0);
    // Taken as published now whatever the settings (a write's read-back goes out at once).
    void Sent(std::optional<double> value, int quality, Clock::time_point now);

private:
    bool sent_ = false;
    std::optional<double> value_;
    int quality_ = 0;
    Clock::time_point time_{};
};

} // namespace tarvik::gateway
