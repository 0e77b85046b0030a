#include "SparkplugNode.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "Log.h"

namespace tarvik::gateway {
namespace {

namespace sp = tarvik::sparkplug;

constexpr std::string_view kNamespace = "spBv1.0";
constexpr std::string_view kClient = "sparkplug"; // the write log's "from"
constexpr std::uint64_t kSeqModulo = 256;         // seq and bdSeq: 0..255, then 0
constexpr std::size_t kMaxHistoricalMetrics = 64; // per DDATA of kept values

// Node metrics, with their aliases.
constexpr std::string_view kBdSeq = "bdSeq";
constexpr std::string_view kRebirth = "Node Control/Rebirth";
constexpr std::string_view kDevicesOnline = "Gateway/Devices Online";
constexpr std::string_view kLinesUp = "Gateway/Lines Up";
constexpr std::string_view kBacklogSize = "Gateway/Backlog Size";
enum NodeAlias : std::uint64_t {
    kAliasBdSeq,
    kAliasRebirth,
    kAliasDevicesOnline,
    kAliasLinesUp,
    kAliasBacklog,
    kNodeAliases
};

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

std::int32_t QualityCode(Quality q) {
    return q == Quality::Good ? sp::kQualityGood : q == Quality::Stale ? sp::kQualityStale : sp::kQualityBad;
}

sp::Metric NodeMetric(std::string_view name, std::uint64_t alias, sp::DataType type, sp::Value value,
                      std::uint64_t now) {
    sp::Metric m;
    m.name = name;
    m.alias = alias;
    m.datatype = type;
    m.value = std::move(value);
    m.timestamp = now;
    return m;
}

// The JSON command that writes a value: a flow device's "setpoint", the 0731 unit's "sp<n>" as
// "setpoint<n>". Any other value has none (a write to it is refused by the write control).
std::string CommandFor(const ValueSpec& v) {
    if (v.quantity == Quantity::SetPoint) return "setpoint";
    if (v.quantity == Quantity::UnitSp) return "setpoint" + std::to_string(v.channel);
    return v.topic;
}

// {"online": true, ...}: whether the host says it is online (anything else: not).
bool SaysOnline(std::string_view json) {
    const auto key = json.find("\"online\"");
    if (key == std::string_view::npos) return false;
    auto at = json.find_first_not_of(" \t\r\n", key + 8);
    if (at == std::string_view::npos || json[at] != ':') return false;
    at = json.find_first_not_of(" \t\r\n", at + 1);
    return at != std::string_view::npos && json.substr(at, 4) == "true";
}

// A DCMD value as the text of a JSON command: the write control reads and checks it as it reads
// those, so a value it would refuse there is refused here too.
std::string CommandText(const sp::Value& v) {
    if (const auto* f = std::get_if<float>(&v)) return fmt::format("{}", *f);
    if (const auto* d = std::get_if<double>(&v)) return fmt::format("{}", *d);
    if (const auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
    if (const auto* u = std::get_if<std::uint64_t>(&v)) return std::to_string(*u);
    if (const auto* s = std::get_if<std::string>(&v)) return *s;
    if (const auto* b = std::get_if<bool>(&v)) return *b ? "true" : "false";
    return {};
}

} // namespace

SparkplugNode::SparkplugNode(const Config& config, Submit submit)
    : config_(config.sparkplug), mqttConfig_(config.mqtt), prefix_(config.mqtt.prefix),
      submit_(std::move(submit)) {
    // Two connections need two client ids; alone, the edge node takes the configured one.
    if (config_.json) mqttConfig_.clientId += "-sparkplug";
    // No store of our own on this connection: kept values wait in memory (kMaxKept).
    mqttConfig_.bufferFile.clear();
    std::lock_guard lock(mutex_);
    Build(config);
}

void SparkplugNode::Build(const Config& config) {
    devices_.clear();
    byName_.clear();
    byResult_.clear();
    kept_.clear();
    nextAlias_ = kNodeAliases;
    for (const DeviceConfig& dc : config.devices) {
        DeviceNode d;
        d.name = dc.name;
        d.dataTopic = Topic("DDATA", dc.name);
        d.port = dc.port;
        d.interval = dc.interval;
        for (const ValueSpec& v : dc.values) {
            MetricState m;
            m.name = v.topic;
            m.command = CommandFor(v);
            m.writable = (v.quantity == Quantity::SetPoint || v.quantity == Quantity::UnitSp) &&
                         dc.kind != DeviceKind::Pressure && dc.Writable(m.command);
            m.alias = nextAlias_++;
            const bool percent = v.quantity == Quantity::SetPoint || v.quantity == Quantity::Percent;
            m.report = config.report.For(dc.name, v.topic, percent);
            byResult_[prefix_ + "/" + dc.name + "/" + m.command + "/result"] = {devices_.size(),
                                                                                d.metrics.size()};
            d.metrics.push_back(std::move(m));
        }
        byName_[dc.name] = devices_.size();
        devices_.push_back(std::move(d));
    }
}

std::string SparkplugNode::Topic(std::string_view type, std::string_view device) const {
    std::string t = fmt::format("{}/{}/{}/{}", kNamespace, config_.groupId, type, config_.edgeNodeId);
    if (!device.empty()) t += "/" + std::string(device);
    return t;
}

Mqtt::Callbacks SparkplugNode::Callbacks(Mqtt::Callbacks base) {
    base.connected = [this] { OnConnected(); };
    const auto logState = base.state;
    base.state = [this, logState](bool up) {
        if (logState) logState(up);
        OnState(up);
    };
    base.message = [this](std::string_view topic, std::string_view payload, bool retained, std::string_view) {
        OnMessage(topic, payload, retained);
    };
    base.tick = nullptr;
    return base;
}

std::string SparkplugNode::Will() {
    std::lock_guard lock(mutex_);
    // bdSeq goes up with every connection that was made; a try that failed keeps it.
    if (std::exchange(usedWill_, false)) bdSeq_ = (bdSeq_ + 1) % kSeqModulo;
    sp::Payload p;
    p.timestamp = NowMs();
    p.metrics.push_back(NodeMetric(kBdSeq, kAliasBdSeq, sp::DataType::UInt64, bdSeq_, p.timestamp));
    return sp::Encode(p);
}

void SparkplugNode::PublishDeath() {
    if (!mqtt_) return;
    std::string death;
    {
        std::lock_guard lock(mutex_);
        if (!connected_) return;
        sp::Payload p;
        p.timestamp = NowMs();
        p.metrics.push_back(NodeMetric(kBdSeq, kAliasBdSeq, sp::DataType::UInt64, bdSeq_, p.timestamp));
        death = sp::Encode(p);
    }
    mqtt_->PublishFinal(DeathTopic(), death, false);
}

void SparkplugNode::Reload(const Config& config) {
    std::lock_guard lock(mutex_);
    Build(config);
    if (Live()) Birth();
}

void SparkplugNode::OnConnected() {
    mqtt_->Subscribe(Topic("NCMD"));
    mqtt_->Subscribe(Topic("DCMD") + "/+");
    if (!config_.primaryHost.empty())
        mqtt_->Subscribe(fmt::format("{}/STATE/{}", kNamespace, config_.primaryHost));
    std::lock_guard lock(mutex_);
    usedWill_ = true;
    connected_ = true;
    hostOnline_ = false; // said again by the host's retained STATE
    born_ = false;
    if (config_.primaryHost.empty()) Birth();
}

void SparkplugNode::OnState(bool up) {
    if (up) return;
    std::lock_guard lock(mutex_);
    connected_ = born_ = false;
    for (DeviceNode& d : devices_)
        d.born = false;
}

void SparkplugNode::OnMessage(std::string_view topic, std::string_view payload, bool retained) {
    const std::string device = Topic("DCMD") + "/";
    if (!config_.primaryHost.empty() && topic == fmt::format("{}/STATE/{}", kNamespace, config_.primaryHost))
        OnHostState(payload);
    else if (topic == Topic("NCMD"))
        OnNodeCommand(payload);
    else if (topic.starts_with(device))
        OnDeviceCommand(topic.substr(device.size()), payload, retained);
}

void SparkplugNode::OnHostState(std::string_view payload) {
    const bool online = SaysOnline(payload);
    std::lock_guard lock(mutex_);
    if (online == hostOnline_) return;
    hostOnline_ = online;
    LogEvent("sparkplug",
             fmt::format("primary host {} is {}", config_.primaryHost, online ? "online" : "offline"),
             {{"host", config_.primaryHost}, {"state", online ? "online" : "offline"}});
    if (!online) {
        born_ = false;
        for (DeviceNode& d : devices_)
            d.born = false;
        return;
    }
    if (connected_) Birth();
}

void SparkplugNode::OnNodeCommand(std::string_view payload) {
    sp::Payload p;
    if (!sp::Decode(payload, p)) return;
    const bool rebirth = std::any_of(p.metrics.begin(), p.metrics.end(), [](const sp::Metric& m) {
        return (m.name == kRebirth || (m.name.empty() && m.alias == kAliasRebirth)) &&
               std::holds_alternative<bool>(m.value) && std::get<bool>(m.value);
    });
    if (!rebirth) return;
    std::lock_guard lock(mutex_);
    LogEvent("sparkplug", "rebirth asked by NCMD", {{"event", "rebirth"}});
    if (Live()) Birth();
}

void SparkplugNode::OnDeviceCommand(std::string_view device, std::string_view payload, bool retained) {
    sp::Payload p;
    if (retained || !sp::Decode(payload, p)) {
        LogEvent("write",
                 fmt::format("refused a {} DCMD for {}", retained ? "retained" : "undecodable", device),
                 {{"device", device}, {"result", retained ? "RetainedCommand" : "BadPayload"}});
        return;
    }
    std::vector<std::pair<std::string, std::string>> writes; // JSON command topic, value text
    {
        std::lock_guard lock(mutex_);
        const auto found = byName_.find(device);
        if (found == byName_.end()) return;
        const DeviceNode& d = devices_[found->second];
        for (const sp::Metric& in : p.metrics) {
            const auto m = std::find_if(d.metrics.begin(), d.metrics.end(), [&](const MetricState& s) {
                return in.name.empty() ? in.alias == s.alias : in.name == s.name;
            });
            if (m == d.metrics.end()) {
                LogEvent("write", fmt::format("refused a DCMD for {}: no metric {}", device, in.name),
                         {{"device", device}, {"result", "UnknownCommand"}});
                continue;
            }
            const std::string base = prefix_ + "/" + d.name + "/" + m->command;
            ++commanded_[base + "/result"];
            writes.emplace_back(base + "/set", CommandText(in.value));
        }
    }
    // Outside the lock: the write control answers through OnCommandResult on this thread.
    for (const auto& [topic, text] : writes)
        submit_(topic, text, kClient);
}

void SparkplugNode::OnCommandResult(const std::string& resultTopic, bool ok, std::string_view result,
                                    std::optional<double> held) {
    std::lock_guard lock(mutex_);
    const auto found = byResult_.find(resultTopic);
    if (found == byResult_.end()) return;
    const auto asked = commanded_.find(resultTopic);
    const bool ours = asked != commanded_.end();
    if (ours && --asked->second == 0) commanded_.erase(asked);
    DeviceNode& d = devices_[found->second.first];
    MetricState& m = d.metrics[found->second.second];
    if (!ok && ours)
        LogEvent("write", fmt::format("refused the DCMD write of {}/{}: {}", d.name, m.name, result),
                 {{"device", d.name}, {"metric", m.name}, {"result", result}});
    if (!held) return;
    m.value = static_cast<float>(*held);
    m.quality = sp::kQualityGood;
    m.time = NowMs();
    // What the device holds after a write goes out at once, whatever the deadband (when not
    // live, the next poll's reading is kept).
    if (!Live() || !d.born) return;
    m.filter.Sent(*held, m.quality, ReportFilter::Clock::now());
    m.changed = true;
    PublishChanged(d);
}

void SparkplugNode::OnValue(const std::string& device, std::size_t index, std::optional<float> good,
                            const std::string& unit, Quality quality) {
    std::lock_guard lock(mutex_);
    const auto found = byName_.find(device);
    if (found == byName_.end() || index >= devices_[found->second].metrics.size()) return;
    DeviceNode& d = devices_[found->second];
    MetricState& m = d.metrics[index];
    m.value = good;
    m.unit = unit;
    m.quality = QualityCode(quality);
    m.time = NowMs();
    const std::optional<double> value = good ? std::optional<double>(*good) : std::nullopt;
    if (!m.filter.Offer(m.report, false, value, m.quality, ReportFilter::Clock::now(), d.interval)) return;
    if (Live() && d.born) {
        m.changed = true;
        return;
    }
    if (Live()) return; // the device's DBIRTH carries it
    if (kept_.size() >= kMaxKept) {
        kept_.pop_front();
        ++keptDropped_;
    }
    kept_.push_back({found->second, index, m.value, m.quality, m.time});
}

void SparkplugNode::OnPolled(const std::string& device, Presence presence) {
    std::lock_guard lock(mutex_);
    const auto found = byName_.find(device);
    if (found == byName_.end()) return;
    DeviceNode& d = devices_[found->second];
    d.presence = presence;
    if (!Live()) return;
    const bool unitChanged = std::any_of(d.metrics.begin(), d.metrics.end(),
                                         [](const MetricState& m) { return m.unit != m.bornUnit; });
    if (presence == Presence::Up && (!d.born || unitChanged)) {
        BirthDevice(d); // a unit is a property of the birth: a new one, a new birth
        PublishNodeHealth();
    } else if (presence == Presence::Down && d.born) {
        DeathDevice(d);
        PublishNodeHealth();
    } else if (d.born) {
        PublishChanged(d);
    }
}

bool SparkplugNode::Live() const {
    return connected_ && mqtt_ && (config_.primaryHost.empty() || hostOnline_);
}

void SparkplugNode::Send(const std::string& topic, sp::Payload& p, bool seq) {
    if (seq) {
        p.seq = seq_;
        seq_ = (seq_ + 1) % kSeqModulo;
    }
    if (!encoder_.Encode(p, bytes_)) return;
    mqtt_->Publish(topic, bytes_, false);
}

void SparkplugNode::Birth() {
    const std::uint64_t now = NowMs();
    sp::Payload p;
    p.timestamp = now;
    const auto node = [&](std::string_view name, std::uint64_t alias, sp::DataType type, sp::Value v) {
        sp::Metric m = NodeMetric(name, alias, type, std::move(v), now);
        if (!config_.aliases) m.alias.reset();
        p.metrics.push_back(std::move(m));
    };
    for (DeviceNode& d : devices_)
        d.born = false;
    node(kBdSeq, kAliasBdSeq, sp::DataType::UInt64, bdSeq_);
    node(kRebirth, kAliasRebirth, sp::DataType::Boolean, false);
    node(kDevicesOnline, kAliasDevicesOnline, sp::DataType::UInt32, std::uint64_t{0});
    node(kLinesUp, kAliasLinesUp, sp::DataType::UInt32, std::uint64_t{0});
    node(kBacklogSize, kAliasBacklog, sp::DataType::UInt64, std::uint64_t{kept_.size()});
    seq_ = 0;
    born_ = true;
    Send(Topic("NBIRTH"), p);
    for (DeviceNode& d : devices_)
        if (d.presence == Presence::Up) BirthDevice(d);
    if (DevicesOnline() > 0) PublishNodeHealth();
    PublishKept();
}

void SparkplugNode::BirthDevice(DeviceNode& d) {
    sp::Payload p;
    p.timestamp = NowMs();
    for (MetricState& m : d.metrics) {
        sp::Metric out;
        out.name = m.name;
        if (config_.aliases) out.alias = m.alias;
        out.timestamp = m.time ? m.time : p.timestamp;
        out.datatype = sp::DataType::Float;
        if (m.value) out.value = *m.value;
        out.quality = m.quality;
        if (!m.unit.empty()) out.engUnit = m.unit;
        if (m.report.HasRange()) {
            out.engLow = *m.report.low;
            out.engHigh = *m.report.high;
        }
        out.readOnly = !m.writable;
        m.bornUnit = m.unit;
        m.changed = false;
        p.metrics.push_back(std::move(out));
    }
    d.born = true;
    Send(Topic("DBIRTH", d.name), p);
}

void SparkplugNode::DeathDevice(DeviceNode& d) {
    sp::Payload p;
    p.timestamp = NowMs();
    d.born = false;
    Send(Topic("DDEATH", d.name), p);
}

void SparkplugNode::PublishNodeHealth() {
    sp::Payload p;
    p.timestamp = NowMs();
    const auto node = [&](std::string_view name, std::uint64_t alias, std::uint64_t v) {
        sp::Metric m = NodeMetric(config_.aliases ? std::string_view() : name, alias, sp::DataType::UInt32, v,
                                  p.timestamp);
        if (!config_.aliases) m.alias.reset();
        p.metrics.push_back(std::move(m));
    };
    node(kDevicesOnline, kAliasDevicesOnline, DevicesOnline());
    node(kLinesUp, kAliasLinesUp, LinesUp());
    Send(Topic("NDATA"), p);
}

sp::Metric SparkplugNode::DataMetric(const MetricState& m) const {
    sp::Metric out;
    if (config_.aliases)
        out.alias = m.alias;
    else
        out.name = m.name;
    out.timestamp = m.time;
    out.datatype = sp::DataType::Float;
    if (m.value) out.value = *m.value;
    out.quality = m.quality;
    return out;
}

void SparkplugNode::PublishChanged(DeviceNode& d) {
    sp::Payload p;
    for (MetricState& m : d.metrics)
        if (std::exchange(m.changed, false)) p.metrics.push_back(DataMetric(m));
    if (p.metrics.empty()) return;
    p.timestamp = NowMs();
    Send(d.dataTopic, p);
}

// The values kept while not live, oldest first, flagged historical; those of a device not born
// now cannot go out (a DDATA needs its DBIRTH) and are counted as dropped.
void SparkplugNode::PublishKept() {
    std::uint64_t lost = 0;
    while (!kept_.empty()) {
        const std::size_t device = kept_.front().device;
        DeviceNode& d = devices_[device];
        sp::Payload p;
        p.timestamp = NowMs();
        while (!kept_.empty() && kept_.front().device == device && p.metrics.size() < kMaxHistoricalMetrics) {
            const Kept& k = kept_.front();
            MetricState shown = d.metrics[k.metric];
            shown.value = k.value;
            shown.quality = k.quality;
            shown.time = k.time;
            sp::Metric m = DataMetric(shown);
            m.historical = true;
            p.metrics.push_back(std::move(m));
            kept_.pop_front();
        }
        if (d.born)
            Send(Topic("DDATA", d.name), p);
        else
            lost += p.metrics.size();
    }
    if (lost + keptDropped_ > 0)
        LogEvent("sparkplug",
                 fmt::format("{} kept values not published (bound {} reached, or their device offline)",
                             lost + keptDropped_, kMaxKept),
                 {{"dropped", static_cast<double>(lost + keptDropped_)}});
    keptDropped_ = 0;
}

std::uint64_t SparkplugNode::DevicesOnline() const {
    return static_cast<std::uint64_t>(
        std::count_if(devices_.begin(), devices_.end(), [](const DeviceNode& d) { return d.born; }));
}

std::uint64_t SparkplugNode::LinesUp() const {
    std::set<int> ports;
    for (const DeviceNode& d : devices_)
        if (d.born) ports.insert(d.port);
    return ports.size();
}

} // namespace tarvik::gateway
