// The gateway's Prometheus metrics. Pollers update fixed slots (atomics, no locks, no heap); the
// text format is rendered only when scraped.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
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

    struct Value {
        std::string name;
        std::atomic<bool> has{false};
        std::atomic<float> number{0};
        std::atomic<int> unit{kNoUnit};
        std::atomic<double> time{0}; // seconds since the epoch of the last good reading
    };
    // One device's series. Its pollers update them without locks; a reload that keeps the device
    // (same name and values) keeps them too, so that counters do not restart.
    struct Device {
        std::string name;
        double staleAfter = 0;   // seconds: an older value is not exported
        std::atomic<int> up{-1}; // -1 until it is known
        std::unique_ptr<std::atomic<std::uint64_t>[]> polls;
        std::array<std::atomic<std::uint64_t>, kBuckets.size()> buckets{};
        std::atomic<std::uint64_t> count{0};
        std::atomic<std::uint64_t> sumNs{0};
        std::atomic<double> lastSuccess{0}; // seconds since the epoch; 0: never
        std::vector<std::unique_ptr<Value>> values;

        void Poll(std::int32_t result, std::chrono::nanoseconds duration);
        void Good(std::size_t value, float number, int unitCode, double time);
        void Up(bool up) { this->up.store(up ? 1 : 0, std::memory_order_relaxed); }
    };

    explicit Metrics(const std::vector<DeviceConfig>& devices);

    // The series of `config`, kept from before when a device of that name had the same values.
    std::shared_ptr<Device> Attach(const DeviceConfig& config);
    // Exactly the devices of `devices` are exported (after a reload).
    void Keep(const std::vector<DeviceConfig>& devices);
    Device& At(std::size_t index); // in the order of the configuration

    void MqttConnected(bool connected) { mqtt_.store(connected ? 1 : 0, std::memory_order_relaxed); }
    void Published(std::uint64_t count = 1) { published_.fetch_add(count, std::memory_order_relaxed); }
    void Dropped(std::uint64_t count = 1) { dropped_.fetch_add(count, std::memory_order_relaxed); }
    void Backlog(std::size_t held, std::uint64_t dropped) {
        backlog_.store(held, std::memory_order_relaxed);
        backlogDropped_.store(dropped, std::memory_order_relaxed);
    }
    void BacklogDamaged(std::uint64_t stretches) {
        backlogDamaged_.store(stretches, std::memory_order_relaxed);
    }
    void Written(bool ok) { (ok ? writes_ : writesFailed_).fetch_add(1, std::memory_order_relaxed); }
    void Reloaded(bool ok);

    // HART-IP (HartIpServer): sessions open, answers by message type and status, clients and
    // writes refused, and the HART-IP calls waiting per line.
    void HartIpSessions(std::size_t open) { hartipSessions_.store(open, std::memory_order_relaxed); }
    void HartIpAnswer(std::uint8_t type, std::uint8_t status);
    void HartIpRefusedClient() { hartipRefusedClients_.fetch_add(1, std::memory_order_relaxed); }
    void HartIpRefusedWrite() { hartipRefusedWrites_.fetch_add(1, std::memory_order_relaxed); }
    void LineQueue(int port, std::size_t depth);

    std::uint64_t PollCount(std::size_t device) const; // all results
    // `now`: seconds since the epoch (values older than their limit are left out).
    std::string Render(double now) const;
    std::string Render() const;

private:
    void RenderGateway(std::string& out) const;
    void RenderHartIp(std::string& out) const;
    static constexpr std::size_t kHartIpTypes = 16; // the header's message types 0..15
    static constexpr std::size_t kPorts = 41;       // COM1..COM40
    mutable std::mutex mutex_;                      // the list of devices; their series are atomics
    std::vector<std::shared_ptr<Device>> devices_;
    std::atomic<int> mqtt_{0};
    std::atomic<std::uint64_t> published_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::size_t> backlog_{0};
    std::atomic<std::uint64_t> backlogDropped_{0};
    std::atomic<std::uint64_t> backlogDamaged_{0};
    std::atomic<std::uint64_t> writes_{0}, writesFailed_{0};
    std::atomic<std::size_t> hartipSessions_{0};
    std::array<std::atomic<std::uint64_t>, kHartIpTypes * 256> hartipAnswers_{};
    std::atomic<std::uint64_t> hartipRefusedClients_{0}, hartipRefusedWrites_{0};
    std::atomic<bool> hartip_{false};
    std::array<std::atomic<int>, kPorts> lineQueue_{}; // -1: no HART-IP call ever queued there
    std::atomic<int> reloadOk_{1};
    std::atomic<double> reloadTime_{0};
};

double EpochSeconds(std::chrono::system_clock::time_point time);

} // namespace tarvik::gateway
