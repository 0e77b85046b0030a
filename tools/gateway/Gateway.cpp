#include "Gateway.h"

#include <algorithm>
#include <cmath>

#include "Command.h"
#include "Facts.h"
#include "Payload.h"

namespace tarvik::gateway {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kUnitPercent = 57; // HART unit code of a set point in percent of full scale
constexpr std::string_view kOnline = "online";
constexpr std::string_view kOffline = "offline";
constexpr std::size_t kResultCapacity = 512;

// Results after which the device cannot have heard or answered the request.
bool NoAnswer(std::int32_t rc) {
    return rc == ResultNoReply || rc == ResultPortAbsent || rc == ResultPortBusy || rc == ResultBadPort ||
           rc == ResultBadBaud;
}

// A write went through: the device took it (a device status condition does not undo it).
bool Written(std::int32_t rc) {
    return rc == ResultOk || rc == ResultDeviceStatus;
}

link::DeviceAddress Address(const DeviceConfig& d) {
    return {d.deviceType, d.id[0], d.id[1], d.id[2]};
}

} // namespace

Gateway::Gateway(const Config& config, Metrics& metrics)
    : metrics_(metrics), prefix_(config.mqtt.prefix), clientId_(config.mqtt.clientId) {
    for (std::size_t i = 0; i < config.devices.size(); ++i) {
        const DeviceConfig& dc = config.devices[i];
        auto d = std::make_unique<DeviceState>();
        d->index = i;
        d->config = &dc;
        d->statusTopic = prefix_ + "/" + dc.name + "/status";
        d->values.resize(dc.values.size());
        for (std::size_t k = 0; k < dc.values.size(); ++k) {
            d->values[k].spec = dc.values[k];
            d->values[k].topic = prefix_ + "/" + dc.name + "/" + dc.values[k].topic;
        }
        auto w =
            std::find_if(workers_.begin(), workers_.end(), [&](const auto& x) { return x->port == dc.port; });
        if (w == workers_.end()) {
            workers_.push_back(std::make_unique<Worker>());
            workers_.back()->port = dc.port;
            w = workers_.end() - 1;
        }
        (*w)->devices.push_back(d.get());
        d->worker = w->get();
        byName_.emplace(dc.name, d.get());
        devices_.push_back(std::move(d));
    }
}

Gateway::~Gateway() {
    Stop();
}

void Gateway::Attach(Mqtt* mqtt, std::FILE* echo) {
    mqtt_ = mqtt;
    echo_ = echo;
}

void Gateway::Publish(const std::string& topic, std::string_view payload, bool retain) {
    if (echo_) {
        std::lock_guard lock(echoMutex_);
        std::fprintf(echo_, "%s %.*s\n", topic.c_str(), static_cast<int>(payload.size()), payload.data());
        std::fflush(echo_);
    }
    if (!mqtt_) return;
    if (mqtt_->Publish(topic, payload, retain))
        metrics_.Published();
    else
        metrics_.Dropped();
}

void Gateway::OnConnected() {
    if (!mqtt_) return;
    mqtt_->Subscribe(CommandPattern());
    Publish(ClientStatusTopic(), kOnline, true);
    // The broker may have lost what we sent while it was away: publish the latest of everything.
    for (const auto& d : devices_) {
        std::lock_guard lock(d->mutex);
        if (d->online != Online::Unknown)
            Publish(d->statusTopic, d->online == Online::Up ? kOnline : kOffline, true);
        for (const ValueState& v : d->values)
            if (v.size) Publish(v.topic, {v.payload.data(), v.size}, true);
    }
}

void Gateway::PublishOffline() {
    if (!mqtt_) return;
    for (const auto& d : devices_)
        mqtt_->PublishFinal(d->statusTopic, kOffline);
    mqtt_->PublishFinal(ClientStatusTopic(), kOffline);
}

void Gateway::PublishResult(const std::string& topic, bool ok, std::string_view result, bool hasValue,
                            double value, std::string_view error) {
    char buffer[kResultCapacity];
    const std::string_view payload =
        FormatCommandResult(ok, result, hasValue, value, error, buffer, sizeof buffer);
    // Results answer one command; a retained one would greet the next commander with an old answer.
    Publish(topic, payload, false);
}

void Gateway::OnMessage(std::string_view topic, std::string_view payload, bool retained) {
    const CommandTopic ct = ParseCommandTopic(prefix_, topic);
    if (!ct.ok) return;
    const std::string resultTopic =
        prefix_ + "/" + std::string(ct.device) + "/" + std::string(ct.command) + "/result";
    const ParsedNumber number = ParseCommandNumber(payload);
    const auto reject = [&](std::string_view result, std::string_view error) {
        PublishResult(resultTopic, false, result, number.Ok(), number.value, error);
    };
    const auto found = byName_.find(std::string(ct.device));
    if (found == byName_.end()) return reject("UnknownDevice", "no device of this name");
    DeviceState& d = *found->second;
    const DeviceConfig& dc = *d.config;
    const int channel = SetPointChannel(ct.command);
    const bool unit = dc.kind == DeviceKind::Readout;
    if (channel < 0 ||
        (unit && std::find(dc.channels.begin(), dc.channels.end(), channel) == dc.channels.end()) ||
        (!unit && channel != 0) || dc.kind == DeviceKind::Pressure)
        return reject("UnknownCommand", unit
                                            ? "commands are setpoint<channel>/set for the configured channels"
                                            : "this device takes no such command");
    // A retained command would be carried out again at every reconnection.
    if (retained) return reject("RetainedCommand", "retained commands are not carried out");
    if (!dc.writable) return reject("NotWritable", "the device is configured read-only");
    if (!number.Ok()) return reject("BadPayload", CommandErrorName(number.error));
    if (number.value < dc.setpointMin || number.value > dc.setpointMax)
        return reject("OutOfRange", "outside setpoint_min..setpoint_max");

    Worker& w = *d.worker;
    {
        std::lock_guard lock(w.mutex);
        if (!w.stop && w.commands.size() < kMaxQueuedCommands) {
            w.commands.push_back({&d, channel, number.value, resultTopic});
            w.cv.notify_one();
            return;
        }
    }
    reject("Busy", "too many commands waiting for this port");
}

void Gateway::Execute(Worker& w, Command& c) {
    const DeviceConfig& dc = *c.device->config;
    std::int32_t rc = Prepare(w, dc);
    if (rc == ResultOk) {
        if (dc.kind == DeviceKind::Readout)
            rc = w.unit.WriteSetPoint(c.channel, dc.digits, static_cast<float>(c.value)).result;
        else
            rc = w.hart.WriteSetPoint(Address(dc), kUnitPercent, static_cast<float>(c.value)).result;
    }
    PublishResult(c.resultTopic, Written(rc), ResultNames::Get().Name(rc), true, c.value, {});
}

// Opens the port with the device's family and line settings, unless it is open so already.
std::int32_t Gateway::Prepare(Worker& w, const DeviceConfig& d) {
    if (d.kind == DeviceKind::Readout) {
        if (w.unit.IsOpen()) return ResultOk;
        w.hart.Close();
        w.hartBaud = 0;
        return w.unit.Open(w.port);
    }
    if (w.hart.IsOpen() && w.hartBaud == d.baud) return ResultOk;
    w.unit.Close();
    const std::int32_t rc = w.hart.Open(w.port, d.baud);
    w.hartBaud = rc == ResultOk ? d.baud : 0;
    return rc;
}

Gateway::Reading Gateway::Read(Worker& w, const DeviceConfig& d, const ValueSpec& v) {
    Reading r;
    const auto hart = [&r](const auto& m) {
        r.result = m.result;
        r.hasStatus = m.hasStatus;
        r.status1 = m.status1;
        r.status2 = m.status2;
    };
    switch (v.quantity) {
    case Quantity::Flow:
    case Quantity::Totalizer:
    case Quantity::Pressure: {
        const auto m = v.quantity == Quantity::Flow        ? w.hart.ReadFlow(Address(d))
                       : v.quantity == Quantity::Totalizer ? w.hart.ReadTotalizer(Address(d))
                                                           : w.hart.ReadPressure(Address(d));
        hart(m);
        r.hasValue = m.hasValue;
        r.value = m.value.value;
        r.unitCode = m.value.units;
        break;
    }
    case Quantity::SetPoint: {
        const auto m = w.hart.ReadSetPoint(Address(d));
        hart(m);
        r.hasValue = m.hasValue;
        r.value = m.value.percent;
        r.unitCode = kUnitPercent;
        break;
    }
    case Quantity::UnitPv:
    case Quantity::UnitSp: {
        const auto m = v.quantity == Quantity::UnitPv ? w.unit.ReadProcessVariable(v.channel)
                                                      : w.unit.ReadSetPoint(v.channel);
        r.result = m.result;
        r.hasValue = m.result == ResultOk;
        r.value = m.value;
        break;
    }
    }
    if (r.hasValue && !std::isfinite(r.value)) r.hasValue = false;
    return r;
}

// Caches the decoded device status and the unit symbol of a value: they are rebuilt only when the
// device reports other bytes or another unit, so a steady poll formats without the heap.
void Gateway::UpdateStatus(ValueState& v, const Reading& r) {
    const int key = r.hasStatus ? (r.status1 << 8 | r.status2) : -1;
    if (key != v.statusKey) {
        v.statusKey = key;
        v.statusJson.clear();
        if (r.hasStatus) {
            const auto& facts = tools::Facts::Get();
            char buffer[kPayloadCapacity / 2];
            JsonWriter j(buffer, sizeof buffer);
            j.Raw("\"status\": {\"status1\": ");
            j.Integer(r.status1);
            j.Raw(", \"status2\": ");
            j.Integer(r.status2);
            j.Raw(", \"conditions\": [");
            bool first = true;
            const tools::StatusText texts[] = {facts.Status1(r.status1), facts.Status2(r.status2)};
            for (const tools::StatusText& text : texts)
                for (const std::string& m : text.meanings) {
                    if (!first) j.Raw(", ");
                    first = false;
                    j.String(m);
                }
            j.Raw("]}");
            if (!j.Overflow()) v.statusJson.assign(j.View());
        }
    }
    if (r.unitCode != v.unitCode) {
        v.unitCode = r.unitCode;
        v.unitSymbol = r.unitCode == kNoUnit ? std::string() : tools::Facts::Get().UnitSymbol(r.unitCode);
    }
}

void Gateway::PollDevice(Worker& w, DeviceState& d) {
    const DeviceConfig& dc = *d.config;
    bool answered = false;
    for (std::size_t k = 0; k < d.values.size(); ++k) {
        ValueState& v = d.values[k];
        const auto start = Clock::now();
        Reading r;
        r.result = Prepare(w, dc);
        if (r.result == ResultOk) r = Read(w, dc, v.spec);
        metrics_.Poll(d.index, r.result, Clock::now() - start);
        if (NoAnswer(r.result)) break; // the rest would wait in vain too; try again next time
        answered = true;
        if (r.hasValue) metrics_.Value(d.index, k, r.value, r.unitCode);
        char buffer[kPayloadCapacity];
        std::string_view payload;
        {
            std::lock_guard lock(d.mutex);
            UpdateStatus(v, r);
            payload = FormatValuePayload({r.hasValue, r.value, v.unitSymbol, std::chrono::system_clock::now(),
                                          ResultNames::Get().Name(r.result), v.statusJson},
                                         buffer, sizeof buffer);
            std::copy(payload.begin(), payload.end(), v.payload.begin());
            v.size = payload.size();
        }
        Publish(v.topic, payload, true);
    }
    const Online now = answered ? Online::Up : Online::Down;
    bool changed;
    {
        std::lock_guard lock(d.mutex);
        changed = d.online != now;
        d.online = now;
    }
    if (changed) {
        metrics_.DeviceUp(d.index, answered);
        Publish(d.statusTopic, answered ? kOnline : kOffline, true);
    }
}

void Gateway::RunWorker(Worker& w, bool once) {
    const auto start = Clock::now();
    for (DeviceState* d : w.devices)
        d->due = start;
    if (once) {
        for (DeviceState* d : w.devices)
            PollDevice(w, *d);
        return;
    }
    std::unique_lock lock(w.mutex);
    while (!w.stop) {
        if (!w.commands.empty()) {
            Command c = std::move(w.commands.front());
            w.commands.pop_front();
            lock.unlock();
            Execute(w, c);
            lock.lock();
            continue;
        }
        DeviceState* next =
            *std::min_element(w.devices.begin(), w.devices.end(),
                              [](const DeviceState* a, const DeviceState* b) { return a->due < b->due; });
        if (Clock::now() < next->due) {
            w.cv.wait_until(lock, next->due, [&w] { return w.stop || !w.commands.empty(); });
            continue;
        }
        lock.unlock();
        PollDevice(w, *next);
        // The next poll keeps to the grid start + k * interval; polls that could not be made in
        // time are skipped, not made up in a burst.
        const auto now = Clock::now();
        const auto interval = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(next->config->interval));
        if (interval.count() <= 0) {
            next->due = now;
        } else {
            next->due += interval;
            if (next->due <= now) next->due += ((now - next->due) / interval + 1) * interval;
        }
        lock.lock();
    }
}

void Gateway::Start() {
    for (auto& w : workers_)
        w->thread = std::thread([this, wp = w.get()] { RunWorker(*wp, false); });
}

void Gateway::RunOnce() {
    // The first port is polled on the calling thread, the others each on a thread of their own.
    for (std::size_t i = 1; i < workers_.size(); ++i)
        workers_[i]->thread = std::thread([this, wp = workers_[i].get()] { RunWorker(*wp, true); });
    if (!workers_.empty()) RunWorker(*workers_.front(), true);
    for (auto& w : workers_)
        if (w->thread.joinable()) w->thread.join();
}

void Gateway::Stop() {
    for (auto& w : workers_) {
        std::lock_guard lock(w->mutex);
        w->stop = true;
        w->cv.notify_all();
    }
    for (auto& w : workers_)
        if (w->thread.joinable()) w->thread.join();
    for (auto& w : workers_) {
        w->hart.Close();
        w->unit.Close();
    }
}

} // namespace tarvik::gateway
