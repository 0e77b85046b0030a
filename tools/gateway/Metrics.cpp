#include "Metrics.h"

#include <fmt/format.h>

#include <algorithm>

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

double EpochSeconds(std::chrono::system_clock::time_point time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

Metrics::Metrics(const std::vector<DeviceConfig>& devices) {
    for (auto& q : lineQueue_)
        q.store(-1, std::memory_order_relaxed);
    for (const DeviceConfig& d : devices)
        Attach(d);
}

std::shared_ptr<Metrics::Device> Metrics::Attach(const DeviceConfig& d) {
    std::lock_guard lock(mutex_);
    for (const auto& slot : devices_) {
        if (slot->name != d.name || slot->values.size() != d.values.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < d.values.size(); ++i)
            same = same && slot->values[i]->name == d.values[i].topic;
        if (!same) continue;
        slot->staleAfter = d.staleAfter;
        return slot;
    }
    std::erase_if(devices_, [&](const auto& slot) { return slot->name == d.name; });
    const std::size_t results = ResultNames::Get().Count();
    auto slot = std::make_shared<Device>();
    slot->name = d.name;
    slot->staleAfter = d.staleAfter;
    slot->polls = std::make_unique<std::atomic<std::uint64_t>[]>(results);
    for (std::size_t i = 0; i < results; ++i)
        slot->polls[i].store(0);
    for (const ValueSpec& v : d.values) {
        auto value = std::make_unique<Value>();
        value->name = v.topic;
        slot->values.push_back(std::move(value));
    }
    devices_.push_back(slot);
    return slot;
}

void Metrics::Keep(const std::vector<DeviceConfig>& devices) {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Device>> kept;
    for (const DeviceConfig& d : devices)
        for (const auto& slot : devices_)
            if (slot->name == d.name) kept.push_back(slot);
    devices_.swap(kept);
}

Metrics::Device& Metrics::At(std::size_t index) {
    std::lock_guard lock(mutex_);
    return *devices_.at(index);
}

void Metrics::Reloaded(bool ok) {
    reloadOk_.store(ok ? 1 : 0);
    if (ok) reloadTime_.store(EpochSeconds(std::chrono::system_clock::now()));
}

void Metrics::Device::Poll(std::int32_t result, std::chrono::nanoseconds duration) {
    polls[ResultNames::Get().Index(result)].fetch_add(1, std::memory_order_relaxed);
    const double seconds = std::chrono::duration<double>(duration).count();
    for (std::size_t i = 0; i < kBuckets.size(); ++i)
        if (seconds <= kBuckets[i]) buckets[i].fetch_add(1, std::memory_order_relaxed);
    sumNs.fetch_add(static_cast<std::uint64_t>(duration.count()), std::memory_order_relaxed);
    count.fetch_add(1, std::memory_order_relaxed);
}

void Metrics::Device::Good(std::size_t value, float number, int unitCode, double time) {
    Value& v = *values[value];
    v.number.store(number, std::memory_order_relaxed);
    v.unit.store(unitCode, std::memory_order_relaxed);
    v.time.store(time, std::memory_order_relaxed);
    v.has.store(true, std::memory_order_release);
    lastSuccess.store(time, std::memory_order_relaxed);
}

std::uint64_t Metrics::PollCount(std::size_t device) const {
    std::lock_guard lock(mutex_);
    return devices_.at(device)->count.load(std::memory_order_relaxed);
}

std::string Metrics::Render() const {
    return Render(EpochSeconds(std::chrono::system_clock::now()));
}

std::string Metrics::Render(double now) const {
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard lock(mutex_);
        devices = devices_;
    }
    const auto& names = ResultNames::Get();
    const auto& facts = tools::Facts::Get();
    std::string out;
    out += "# HELP tarvik_value The latest good value read from an instrument, while it is younger than its "
           "stale_after.\n# TYPE tarvik_value gauge\n";
    for (const auto& d : devices)
        for (const auto& v : d->values) {
            if (!v->has.load(std::memory_order_acquire)) continue;
            if (now - v->time.load(std::memory_order_relaxed) > d->staleAfter) continue;
            const int unit = v->unit.load(std::memory_order_relaxed);
            const std::string symbol = unit == kNoUnit ? std::string() : facts.UnitSymbol(unit);
            out += fmt::format("tarvik_value{{device=\"{}\",value=\"{}\",unit=\"{}\"}} {}\n", Label(d->name),
                               Label(v->name), Label(symbol), v->number.load(std::memory_order_relaxed));
        }
    out += "# HELP tarvik_last_success_timestamp_seconds When the instrument last gave a good value.\n"
           "# TYPE tarvik_last_success_timestamp_seconds gauge\n";
    for (const auto& d : devices)
        if (const double t = d->lastSuccess.load(std::memory_order_relaxed); t > 0)
            out += fmt::format("tarvik_last_success_timestamp_seconds{{device=\"{}\"}} {:.3f}\n",
                               Label(d->name), t);
    out +=
        "# HELP tarvik_polls_total Requests to instruments, by result.\n# TYPE tarvik_polls_total counter\n";
    for (const auto& d : devices)
        for (std::size_t i = 0; i < names.Count(); ++i) {
            const std::uint64_t n = d->polls[i].load(std::memory_order_relaxed);
            if (n == 0 && names.NameAt(i) != "ResultOk") continue;
            out += fmt::format("tarvik_polls_total{{device=\"{}\",result=\"{}\"}} {}\n", Label(d->name),
                               names.NameAt(i), n);
        }
    out += "# HELP tarvik_poll_duration_seconds Time of one request, from sending to the decoded reply.\n"
           "# TYPE tarvik_poll_duration_seconds histogram\n";
    for (const auto& d : devices) {
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
    out += "# HELP tarvik_device_up 1 while the instrument answers, 0 after offline_after polls without an "
           "answer.\n# TYPE tarvik_device_up gauge\n";
    for (const auto& d : devices) {
        const int up = d->up.load(std::memory_order_relaxed);
        if (up >= 0) out += fmt::format("tarvik_device_up{{device=\"{}\"}} {}\n", Label(d->name), up);
    }
    RenderGateway(out);
    RenderHartIp(out);
    return out;
}

// The gateway's own series: the broker, the backlog, writes, the configuration.
void Metrics::RenderGateway(std::string& out) const {
    const auto scalar = [&out](const char* name, const char* type, const char* help, auto value) {
        out += fmt::format("# HELP {0} {1}\n# TYPE {0} {2}\n{0} {3}\n", name, help, type, value);
    };
    scalar("tarvik_mqtt_connected", "gauge", "1 while the gateway is connected to the MQTT broker.",
           mqtt_.load(std::memory_order_relaxed));
    scalar("tarvik_mqtt_published_total", "counter", "Messages the MQTT broker acknowledged.",
           published_.load(std::memory_order_relaxed));
    scalar("tarvik_mqtt_dropped_total", "counter",
           "Messages not sent: the broker was away or too slow and the backlog full or off.",
           dropped_.load(std::memory_order_relaxed));
    scalar("tarvik_backlog_messages", "gauge", "Readings kept for the broker while it is away.",
           backlog_.load(std::memory_order_relaxed));
    scalar("tarvik_backlog_dropped_total", "counter", "Readings dropped from a full backlog, oldest first.",
           backlogDropped_.load(std::memory_order_relaxed));
    scalar("tarvik_backlog_damaged_total", "counter",
           "Damaged or cut stretches of the backlog file dropped at start (their readings lost).",
           backlogDamaged_.load(std::memory_order_relaxed));
    out += "# HELP tarvik_writes_total Set points written, by outcome.\n# TYPE tarvik_writes_total counter\n";
    out +=
        fmt::format("tarvik_writes_total{{result=\"ok\"}} {}\ntarvik_writes_total{{result=\"failed\"}} {}\n",
                    writes_.load(std::memory_order_relaxed), writesFailed_.load(std::memory_order_relaxed));
    scalar("tarvik_config_last_reload_successful", "gauge",
           "1 when the last configuration (re)load succeeded.", reloadOk_.load(std::memory_order_relaxed));
    scalar("tarvik_config_last_reload_success_timestamp_seconds", "gauge",
           "When the configuration was last loaded.",
           fmt::format("{:.3f}", reloadTime_.load(std::memory_order_relaxed)));
}

void Metrics::HartIpAnswer(std::uint8_t type, std::uint8_t status) {
    hartip_.store(true, std::memory_order_relaxed);
    const std::size_t t = std::min<std::size_t>(type, kHartIpTypes - 1);
    hartipAnswers_[t * 256 + status].fetch_add(1, std::memory_order_relaxed);
}

void Metrics::LineQueue(int port, std::size_t depth) {
    if (port >= 0 && static_cast<std::size_t>(port) < kPorts)
        lineQueue_[static_cast<std::size_t>(port)].store(static_cast<int>(depth), std::memory_order_relaxed);
}

// The HART-IP server's series, once it serves.
void Metrics::RenderHartIp(std::string& out) const {
    if (!hartip_.load(std::memory_order_relaxed)) return;
    out += fmt::format("# HELP tarvik_hartip_sessions HART-IP sessions open.\n# TYPE tarvik_hartip_sessions "
                       "gauge\ntarvik_hartip_sessions {}\n",
                       hartipSessions_.load(std::memory_order_relaxed));
    out += "# HELP tarvik_hartip_messages_total HART-IP messages sent, by message type and status.\n"
           "# TYPE tarvik_hartip_messages_total counter\n";
    static constexpr const char* kTypeNames[kHartIpTypes] = {
        "request", "response", "publish", "error", "4",  "5",  "6",  "7",
        "8",       "9",        "10",      "11",    "12", "13", "14", "nak"};
    for (std::size_t i = 0; i < hartipAnswers_.size(); ++i)
        if (const auto n = hartipAnswers_[i].load(std::memory_order_relaxed))
            out += fmt::format("tarvik_hartip_messages_total{{type=\"{}\",status=\"{}\"}} {}\n",
                               kTypeNames[i / 256], i % 256, n);
    out += fmt::format(
        "# HELP tarvik_hartip_refused_total HART-IP clients refused (not on the allow list) and writes "
        "refused (client not on the write list).\n# TYPE tarvik_hartip_refused_total counter\n"
        "tarvik_hartip_refused_total{{what=\"client\"}} {}\ntarvik_hartip_refused_total{{what=\"write\"}} "
        "{}\n",
        hartipRefusedClients_.load(std::memory_order_relaxed),
        hartipRefusedWrites_.load(std::memory_order_relaxed));
    out += "# HELP tarvik_hartip_line_queue HART-IP calls waiting for a serial line.\n"
           "# TYPE tarvik_hartip_line_queue gauge\n";
    for (std::size_t port = 0; port < kPorts; ++port)
        if (const int depth = lineQueue_[port].load(std::memory_order_relaxed); depth >= 0)
            out += fmt::format("tarvik_hartip_line_queue{{port=\"{}\"}} {}\n", port, depth);
}

} // namespace tarvik::gateway
