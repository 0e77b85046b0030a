// The gateway's Prometheus metrics. Pollers update fixed slots (atomics, no locks, no heap); the
// text format is rendered only when scraped.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Config.h"

namespace tarvik::gateway {

// Result codes and their names (from the tools' decoding table), looked up without allocating.
class ResultNames {
public:
    ResultNames();
    static const ResultNames& Get();
    const std::string& Name(std::int32_t code) const; // "ResultOk"; "ResultOther" when unknown
    std::size_t Index(std::int32_t code) const;       // 0..Count()-1; Count()-1 for unknown codes
    std::size_t Count() const { return names_.size(); }
    const std::string& NameAt(std::size_t index) const { return names_[index]; }

private:
    std::vector<std::int32_t> codes_;
    std::vector<std::string> names_; // the last is the catch-all
};

// A unit label for values without a HART unit code (the 0731 unit's values).
constexpr int kNoUnit = -1;

class Metrics {
public:
    static constexpr std::array<double, 10> kBuckets = {0.005, 0.01, 0.02, 0.05, 0.1,
                                                        0.2,   0.5,  1.0,  2.0,  5.0};

    explicit Metrics(const std::vector<DeviceConfig>& devices);

    void Poll(std::size_t device, std::int32_t result, std::chrono::nanoseconds duration);
    void Value(std::size_t device, std::size_t value, float number, int unitCode);
    void DeviceUp(std::size_t device, bool up);
    void MqttConnected(bool connected) { mqtt_.store(connected ? 1 : 0, std::memory_order_relaxed); }
    void Published() { published_.fetch_add(1, std::memory_order_relaxed); }
    void Dropped(std::uint64_t count = 1) { dropped_.fetch_add(count, std::memory_order_relaxed); }

    std::uint64_t PollCount(std::size_t device) const; // all results
    std::string Render() const;

private:
    struct ValueSlot {
        std::string name;
        std::atomic<bool> has{false};
        std::atomic<float> number{0};
        std::atomic<int> unit{kNoUnit};
    };
    struct DeviceSlot {
        std::string name;
        std::atomic<int> up{-1}; // -1 until the first poll
        std::unique_ptr<std::atomic<std::uint64_t>[]> polls;
        std::array<std::atomic<std::uint64_t>, kBuckets.size()> buckets{};
        std::atomic<std::uint64_t> count{0};
        std::atomic<std::uint64_t> sumNs{0};
        std::vector<std::unique_ptr<ValueSlot>> values;
    };
    std::vector<std::unique_ptr<DeviceSlot>> devices_;
    std::atomic<int> mqtt_{0};
    std::atomic<std::uint64_t> published_{0};
    std::atomic<std::uint64_t> dropped_{0};
};

} // namespace tarvik::gateway
