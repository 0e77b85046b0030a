// The gateway's set-point commands, its reload and its health.
#include <algorithm>
#include <fmt/format.h>

#include <cstdlib>
#include <optional>
#include <set>

#include "Command.h"
#include "Gateway.h"
#include "Log.h"
#include "Payload.h"
#include "WriteRange.h"

namespace tarvik::gateway {
namespace {

using Clock = std::chrono::steady_clock;
using SystemClock = std::chrono::system_clock;

constexpr std::size_t kResultCapacity = 512;

// A write went through: the device took it (a device status condition does not undo it).
bool Written(std::int32_t rc) {
    return rc == ResultOk || rc == ResultDeviceStatus;
}

// The shortest decimal that reads back as the same float: what a device holds is a float, and its
// widening to double would print float noise (7.300000190734863 for 7.3).
double Shortest(float value) {
    return std::strtod(fmt::format("{}", value).c_str(), nullptr);
}

// One line in the write log: every command that reached a device's queue, written or superseded.
void LogWrite(const std::string& device, const std::string& topic, const std::string& client,
              double requested, std::optional<double> held, const std::string& result) {
    std::string text = "write " + topic + " " + fmt::format("{}", requested) + ": " + result;
    if (held) text += fmt::format(", the device holds {}", *held);
    if (!client.empty()) text += " (from " + client + ")";
    const LogField heldField = held ? LogField("held", *held) : LogField("held", nullptr);
    const LogField clientField = client.empty() ? LogField("client", nullptr) : LogField("client", client);
    LogEvent("write", text,
             {{"device", device},
              {"topic", topic},
              clientField,
              {"requested", requested},
              heldField,
              {"result", result}});
}

} // namespace

void Gateway::PublishResult(const std::string& topic, bool ok, std::string_view result, bool hasValue,
                            double value, bool hasRequested, double requested, std::string_view error) {
    char buffer[kResultCapacity];
    const std::string_view payload = FormatCommandResult(
        {ok, result, hasValue, value, hasRequested, requested, error}, buffer, sizeof buffer);
    // Results answer one command; a retained one would greet the next commander with an old answer.
    Publish(topic, payload, false);
    if (observer_)
        observer_->OnCommandResult(topic, ok, result, hasValue ? std::optional(value) : std::nullopt);
}

void Gateway::OnMessage(std::string_view topic, std::string_view payload, bool retained,
                        std::string_view client) {
    if (NoticeStatus(topic, payload)) return;
    const CommandTopic ct = ParseCommandTopic(prefix_, topic);
    if (!ct.ok) return;
    // An empty retained message clears a retained command (ours, below): nothing to answer.
    if (retained && payload.empty()) return;
    const std::string resultTopic =
        prefix_ + "/" + std::string(ct.device) + "/" + std::string(ct.command) + "/result";
    const ParsedNumber number = ParseCommandNumber(payload);
    const auto reject = [&](std::string_view result, std::string_view error) {
        PublishResult(resultTopic, false, result, false, 0, number.Ok(), number.value, error);
    };
    // A retained command would be carried out again at every reconnection: it is refused and
    // cleared from the broker, so that nobody meets it later.
    if (retained) {
        if (mqtt_ && json_) mqtt_->Publish(topic, {}, true);
        LogEvent("write", "refused the retained command on " + std::string(topic),
                 {{"topic", topic}, {"client", client}, {"result", "RetainedCommand"}});
        return reject("RetainedCommand", "retained commands are not carried out");
    }
    std::shared_lock devices(devicesMutex_);
    const auto found = byName_.find(std::string(ct.device));
    if (found == byName_.end()) return reject("UnknownDevice", "no device of this name");
    DeviceState& d = *found->second;
    const DeviceConfig& dc = d.config;
    const int channel = SetPointChannel(ct.command);
    const bool unit = dc.kind == DeviceKind::Readout;
    if (channel < 0 ||
        (unit && std::find(dc.channels.begin(), dc.channels.end(), channel) == dc.channels.end()) ||
        (!unit && channel != 0) || dc.kind == DeviceKind::Pressure || dc.kind == DeviceKind::Hart)
        return reject("UnknownCommand", unit
                                            ? "commands are setpoint<channel>/set for the configured channels"
                                            : "this device takes no such command");
    if (!dc.Writable(ct.command))
        return reject("NotWritable", "this set point is not in the device's writable list");
    if (!number.Ok()) return reject("BadPayload", CommandErrorName(number.error));
    if (const RangeVerdict v = CheckWriteValue(dc, channel, number.value); !v.ok)
        return reject("OutOfRange", v.reason);

    // Only the newest command per set point waits: an older one still waiting is superseded.
    Command replaced;
    bool superseded = false;
    {
        Worker& w = *d.worker;
        std::lock_guard lock(w.mutex);
        if (w.stop) return reject("Busy", "the gateway is stopping or reloading");
        auto [at, fresh] = d.pending.try_emplace(channel);
        if (!fresh) {
            replaced = std::move(at->second);
            superseded = true;
        }
        at->second = {channel, number.value, resultTopic, std::string(topic), std::string(client)};
        w.cv.notify_one();
    }
    if (!superseded) return;
    PublishResult(replaced.resultTopic, false, "Superseded", false, 0, true, replaced.value,
                  "a newer command for this set point came before it was written");
    LogWrite(dc.name, replaced.setTopic, replaced.client, replaced.value, std::nullopt, "Superseded");
}

// The next command whose device may be written to now; else `wake` is when one may.
bool Gateway::NextCommand(Worker& w, Clock::time_point now, DeviceState*& device, Command& c,
                          Clock::time_point& wake) {
    for (const auto& d : w.devices) {
        if (d->pending.empty()) continue;
        if (now < d->nextWrite) {
            wake = std::min(wake, d->nextWrite);
            continue;
        }
        c = std::move(d->pending.begin()->second);
        d->pending.erase(d->pending.begin());
        device = d.get();
        return true;
    }
    return false;
}

void Gateway::Execute(Worker& w, DeviceState& d, const Command& c) {
    const DeviceConfig& dc = d.config;
    const bool unit = dc.kind == DeviceKind::Readout;
    std::int32_t rc = Prepare(w, dc);
    if (rc == ResultOk)
        rc = unit ? w.unit.WriteSetPoint(c.channel, dc.digits, static_cast<float>(c.value)).result
                  : w.hart.WriteSetPoint(Address(dc), kUnitPercent, static_cast<float>(c.value)).result;
    d.nextWrite = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(dc.writeInterval));
    // What the device holds now (it may round: one decimal of the 0731 unit).
    std::optional<double> held;
    if (Written(rc)) {
        if (unit) {
            const auto m = w.unit.ReadSetPoint(c.channel);
            if (m.result == ResultOk) held = Shortest(m.value);
        } else {
            const auto m = w.hart.ReadSetPoint({dc.deviceType, dc.id[0], dc.id[1], dc.id[2]});
            if (m.hasValue) held = Shortest(m.value.percent);
        }
    }
    const std::string& name = ResultNames::Get().Name(rc);
    metrics_.Written(Written(rc));
    PublishResult(c.resultTopic, Written(rc), name, held.has_value(), held.value_or(0), true, c.value, {});
    LogWrite(dc.name, c.setTopic, c.client, c.value, held, name);
}

std::string Gateway::Reload(const Config& config) {
    std::unique_lock lock(devicesMutex_);
    int added = 0, removed = 0, changed = 0;
    std::vector<std::shared_ptr<DeviceState>> next;
    std::set<int> ports;
    for (const DeviceConfig& dc : config.devices)
        ports.insert(dc.port);
    for (int port : ports) {
        std::vector<const DeviceConfig*> wanted;
        for (const DeviceConfig& dc : config.devices)
            if (dc.port == port) wanted.push_back(&dc);
        Worker& w = WorkerFor(port);
        const bool same =
            w.devices.size() == wanted.size() &&
            std::equal(wanted.begin(), wanted.end(), w.devices.begin(),
                       [](const DeviceConfig* a, const auto& b) { return a->SameSettings(b->config); });
        if (same) continue; // undisturbed
        if (w.thread.joinable()) StopWorker(w);
        std::vector<std::shared_ptr<DeviceState>> list;
        for (const DeviceConfig* dc : wanted) {
            const auto old = std::find_if(devices_.begin(), devices_.end(),
                                          [&](const auto& d) { return d->config.SameSettings(*dc); });
            if (old != devices_.end()) {
                list.push_back(*old);
                continue;
            }
            const bool known = byName_.count(dc->name) > 0;
            (known ? changed : added) += 1;
            list.push_back(MakeDevice(*dc));
        }
        for (auto& d : list)
            d->worker = &w;
        w.devices = std::move(list);
        if (running_) StartWorker(w);
    }
    for (const auto& d : devices_) {
        const bool kept = std::any_of(config.devices.begin(), config.devices.end(),
                                      [&](const DeviceConfig& dc) { return dc.name == d->config.name; });
        if (kept) continue;
        ++removed;
        Publish(d->statusTopic, "offline", true);
    }
    // Ports left without devices end.
    for (auto& w : workers_)
        if (!ports.count(w->port)) StopWorker(*w);
    std::erase_if(workers_, [&](const auto& w) { return !ports.count(w->port); });
    for (const DeviceConfig& dc : config.devices)
        for (const auto& w : workers_)
            for (const auto& d : w->devices)
                if (d->config.name == dc.name) next.push_back(d);
    devices_ = std::move(next);
    Index();
    metrics_.Keep(config.devices);
    return fmt::format("{} added, {} removed, {} changed", added, removed, changed);
}

Health Gateway::CheckHealth(SystemClock::time_point now) const {
    Health h;
    char buffer[8192];
    JsonWriter j(buffer, sizeof buffer);
    const bool broker = mqtt_ && mqtt_->Connected();
    std::vector<std::string> reasons;
    if (!broker) reasons.push_back("not connected to the broker");
    j.Raw("{\"broker\": ");
    j.String(broker ? "connected" : "disconnected");
    j.Raw(", \"devices\": {");
    std::shared_lock lock(devicesMutex_);
    bool first = true;
    for (const auto& d : devices_) {
        std::lock_guard dl(d->mutex);
        const auto window = std::chrono::duration<double>(d->config.staleAfter);
        const auto since = d->lastAnswer.time_since_epoch().count() ? d->lastAnswer : started_;
        // An offline device is not vouched for, however recent its last answer.
        const bool offline = d->online == Online::Down;
        const bool ok = !offline && now - since <= window;
        const std::string silence =
            fmt::format("{:.0f} s", std::chrono::duration<double>(now - since).count());
        if (offline)
            reasons.push_back("device " + d->config.name + " is offline (last answer " + silence + " ago)");
        else if (!ok)
            reasons.push_back("device " + d->config.name + " has not answered for " + silence);
        if (!first) j.Raw(", ");
        first = false;
        j.String(d->config.name);
        j.Raw(": ");
        j.String(ok ? "ok" : offline ? "offline" : "silent");
    }
    j.Raw("}, \"reasons\": [");
    for (std::size_t i = 0; i < reasons.size(); ++i) {
        if (i) j.Raw(", ");
        j.String(reasons[i]);
    }
    h.ok = reasons.empty();
    j.Raw("], \"status\": ");
    j.String(h.ok ? "ok" : "unhealthy");
    j.Raw("}");
    h.json = std::string(j.View());
    return h;
}

} // namespace tarvik::gateway
