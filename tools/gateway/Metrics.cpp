#include "Metrics.h"

#include <fmt/format.h>

#include "Facts.h"

namespace tarvik::gateway {
namespace {

// Label values escape backslash, double quote and line feed.
std::string Label(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += {'\\', c};
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

} // namespace

ResultNames::ResultNames() {
    for (const auto& r : tools::Facts::Get().Results()) {
        codes_.push_back(r.code);
        names_.push_back(r.name);
    }
    names_.push_back("ResultOther");
}

const ResultNames& ResultNames::Get() {
    static const ResultNames names;
    return names;
}

std::size_t ResultNames::Index(std::int32_t code) const {
    for (std::size_t i = 0; i < codes_.size(); ++i)
        if (codes_[i] == code) return i;
    return names_.size() - 1;
}

const std::string& ResultNames::Name(std::int32_t code) const {
    return names_[Index(code)];
}

Metrics::Metrics(const std::vector<DeviceConfig>& devices) {
    const std::size_t results = ResultNames::Get().Count();
    for (const DeviceConfig& d : devices) {
        auto slot = std::make_unique<DeviceSlot>();
        slot->name = d.name;
        slot->polls = std::make_unique<std::atomic<std::uint64_t>[]>(results);
        for (std::size_t i = 0; i < results; ++i)
            slot->polls[i].store(0);
        for (const ValueSpec& v : d.values) {
            auto value = std::make_unique<ValueSlot>();
            value->name = v.topic;
            slot->values.push_back(std::move(value));
        }
        devices_.push_back(std::move(slot));
    }
}

void Metrics::Poll(std::size_t device, std::int32_t result, std::chrono::nanoseconds duration) {
    DeviceSlot& d = *devices_[device];
    d.polls[ResultNames::Get().Index(result)].fetch_add(1, std::memory_order_relaxed);
    const double seconds = std::chrono::duration<double>(duration).count();
    for (std::size_t i = 0; i < kBuckets.size(); ++i)
        if (seconds <= kBuckets[i]) d.buckets[i].fetch_add(1, std::memory_order_relaxed);
    d.sumNs.fetch_add(static_cast<std::uint64_t>(duration.count()), std::memory_order_relaxed);
    d.count.fetch_add(1, std::memory_order_relaxed);
}

void Metrics::Value(std::size_t device, std::size_t value, float number, int unitCode) {
    ValueSlot& v = *devices_[device]->values[value];
    v.number.store(number, std::memory_order_relaxed);
    v.unit.store(unitCode, std::memory_order_relaxed);
    v.has.store(true, std::memory_order_release);
}

void Metrics::DeviceUp(std::size_t device, bool up) {
    devices_[device]->up.store(up ? 1 : 0, std::memory_order_relaxed);
}

std::uint64_t Metrics::PollCount(std::size_t device) const {
    return devices_[device]->count.load(std::memory_order_relaxed);
}

std::string Metrics::Render() const {
    const auto& names = ResultNames::Get();
    const auto& facts = tools::Facts::Get();
    std::string out;
    out += "# HELP tarvik_value The latest value read from an instrument.\n# TYPE tarvik_value gauge\n";
    for (const auto& d : devices_)
        for (const auto& v : d->values) {
            if (!v->has.load(std::memory_order_acquire)) continue;
            const int unit = v->unit.load(std::memory_order_relaxed);
            const std::string symbol = unit == kNoUnit ? std::string() : facts.UnitSymbol(unit);
            out += fmt::format("tarvik_value{{device=\"{}\",value=\"{}\",unit=\"{}\"}} {}\n", Label(d->name),
                               Label(v->name), Label(symbol), v->number.load(std::memory_order_relaxed));
        }
    out +=
        "# HELP tarvik_polls_total Requests to instruments, by result.\n# TYPE tarvik_polls_total counter\n";
    for (const auto& d : devices_)
        for (std::size_t i = 0; i < names.Count(); ++i) {
            const std::uint64_t n = d->polls[i].load(std::memory_order_relaxed);
            if (n == 0 && names.NameAt(i) != "ResultOk") continue;
            out += fmt::format("tarvik_polls_total{{device=\"{}\",result=\"{}\"}} {}\n", Label(d->name),
                               names.NameAt(i), n);
        }
    out += "# HELP tarvik_poll_duration_seconds Time of one request, from sending to the decoded reply.\n"
           "# TYPE tarvik_poll_duration_seconds histogram\n";
    for (const auto& d : devices_) {
        const std::string device = Label(d->name);
        for (std::size_t i = 0; i < kBuckets.size(); ++i)
            out += fmt::format("tarvik_poll_duration_seconds_bucket{{device=\"{}\",le=\"{}\"}} {}\n", device,
                               kBuckets[i], d->buckets[i].load(std::memory_order_relaxed));
        const std::uint64_t count = d->count.load(std::memory_order_relaxed);
        out += fmt::format("tarvik_poll_duration_seconds_bucket{{device=\"{}\",le=\"+Inf\"}} {}\n", device,
                           count);
        out += fmt::format("tarvik_poll_duration_seconds_sum{{device=\"{}\"}} {}\n", device,
                           static_cast<double>(d->sumNs.load(std::memory_order_relaxed)) / 1e9);
        out += fmt::format("tarvik_poll_duration_seconds_count{{device=\"{}\"}} {}\n", device, count);
    }
    out += "# HELP tarvik_device_up 1 while the instrument answers, 0 when it does not.\n"
           "# TYPE tarvik_device_up gauge\n";
    for (const auto& d : devices_) {
        const int up = d->up.load(std::memory_order_relaxed);
        if (up >= 0) out += fmt::format("tarvik_device_up{{device=\"{}\"}} {}\n", Label(d->name), up);
    }
    out += "# HELP tarvik_mqtt_connected 1 while the gateway is connected to the MQTT broker.\n"
           "# TYPE tarvik_mqtt_connected gauge\n";
    out += fmt::format("tarvik_mqtt_connected {}\n", mqtt_.load(std::memory_order_relaxed));
    out += "# HELP tarvik_mqtt_published_total Messages handed to the MQTT client.\n"
           "# TYPE tarvik_mqtt_published_total counter\n";
    out += fmt::format("tarvik_mqtt_published_total {}\n", published_.load(std::memory_order_relaxed));
    out += "# HELP tarvik_mqtt_dropped_total Messages not sent because the broker was away or too slow.\n"
           "# TYPE tarvik_mqtt_dropped_total counter\n";
    out += fmt::format("tarvik_mqtt_dropped_total {}\n", dropped_.load(std::memory_order_relaxed));
    return out;
}

} // namespace tarvik::gateway
