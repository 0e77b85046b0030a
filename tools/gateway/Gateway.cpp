#include "Gateway.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "Facts.h"
#include "Log.h"
#include "Payload.h"

namespace tarvik::gateway {
namespace {

using Clock = std::chrono::steady_clock;
using SystemClock = std::chrono::system_clock;

constexpr std::string_view kOnline = "online";
constexpr std::string_view kOffline = "offline";
constexpr std::string_view kStatusLevel = "/status";
constexpr std::size_t kMaxStrangers = 64; // names of other gateways' statuses remembered

bool PercentValue(Quantity q) {
    return q == Quantity::SetPoint || q == Quantity::Percent;
}

Clock::duration Seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

} // namespace

bool Gateway::NoAnswer(std::int32_t rc) {
    return rc == ResultNoReply || rc == ResultPortAbsent || rc == ResultPortBusy || rc == ResultBadPort ||
           rc == ResultBadBaud;
}

link::DeviceAddress Gateway::Address(const DeviceConfig& d) {
    return {d.deviceType, d.id[0], d.id[1], d.id[2]};
}

const char* QualityName(Quality q) {
    switch (q) {
    case Quality::Good:
        return "good";
    case Quality::Stale:
        return "stale";
    case Quality::Bad:
    case Quality::None:
        return "bad";
    }
    return "bad";
}

Gateway::Gateway(const Config& config, Metrics& metrics)
    : metrics_(metrics), prefix_(config.mqtt.prefix), clientId_(config.mqtt.clientId), report_(config.report),
      backlog_(BacklogOptions(config.mqtt)) {
    metrics_.BacklogDamaged(backlog_.DamagedCount());
    for (const DeviceConfig& dc : config.devices) {
        auto d = MakeDevice(dc);
        Worker& w = WorkerFor(dc.port);
        w.devices.push_back(d);
        d->worker = &w;
        devices_.push_back(std::move(d));
    }
    Index();
}

Gateway::~Gateway() {
    Stop();
}

std::shared_ptr<Gateway::DeviceState> Gateway::MakeDevice(const DeviceConfig& dc) {
    auto d = std::make_shared<DeviceState>();
    d->config = dc;
    d->statusTopic = prefix_ + "/" + dc.name + "/status";
    d->values.resize(dc.values.size());
    for (std::size_t k = 0; k < dc.values.size(); ++k) {
        d->values[k].spec = dc.values[k];
        d->values[k].topic = prefix_ + "/" + dc.name + "/" + dc.values[k].topic;
        d->values[k].report = report_.For(dc.name, dc.values[k].topic, PercentValue(dc.values[k].quantity));
    }
    d->metrics = metrics_.Attach(dc);
    return d;
}

Gateway::Worker& Gateway::WorkerFor(int port) {
    for (auto& w : workers_)
        if (w->port == port) return *w;
    workers_.push_back(std::make_unique<Worker>());
    workers_.back()->port = port;
    return *workers_.back();
}

void Gateway::Index() {
    byName_.clear();
    for (const auto& d : devices_)
        byName_.emplace(d->config.name, d.get());
}

std::size_t Gateway::PortCount() const {
    std::shared_lock lock(devicesMutex_);
    return workers_.size();
}

void Gateway::Attach(Mqtt* mqtt, std::FILE* echo, bool json) {
    mqtt_ = mqtt;
    echo_ = echo;
    json_ = json;
}

// With --once every value published is printed too.
void Gateway::Echo(const std::string& topic, std::string_view payload) {
    if (!echo_) return;
    std::lock_guard lock(echoMutex_);
    std::fprintf(echo_, "%s %.*s\n", topic.c_str(), static_cast<int>(payload.size()), payload.data());
    std::fflush(echo_);
}

void Gateway::Publish(const std::string& topic, std::string_view payload, bool retain) {
    Echo(topic, payload);
    if (mqtt_ && json_ && !mqtt_->Publish(topic, payload, retain)) metrics_.Dropped();
}

// A reading goes to the broker, or waits in the backlog while the broker is away or slow.
void Gateway::PublishReading(const std::string& topic, std::string_view payload) {
    Echo(topic, payload);
    if (!mqtt_ || !json_) return;
    const bool kept =
        backlog_.Offer(topic, payload, [this](std::string_view t, std::string_view p, bool retain) {
            return mqtt_->Publish(t, p, retain);
        });
    if (!kept) metrics_.Dropped();
    metrics_.Backlog(backlog_.Size(), backlog_.DroppedCount());
}

void Gateway::OnTick() {
    if (!mqtt_ || !mqtt_->Connected() || backlog_.Size() == 0) return;
    backlog_.Drain(
        [this](std::string_view t, std::string_view p, bool retain) { return mqtt_->Publish(t, p, retain); });
    metrics_.Backlog(backlog_.Size(), backlog_.DroppedCount());
}

void Gateway::OnConnected() {
    if (!mqtt_) return;
    mqtt_->Subscribe(CommandPattern());
    mqtt_->Subscribe(StatusPattern());
    Publish(ClientStatusTopic(), kOnline, true);
    // The broker may have lost what we sent while it was away: publish the latest of everything
    // that does not wait in the backlog (that goes out in order, the newest retained last).
    std::shared_lock devices(devicesMutex_);
    for (const auto& d : devices_) {
        std::lock_guard lock(d->mutex);
        if (d->online != Online::Unknown)
            Publish(d->statusTopic, d->online == Online::Up ? kOnline : kOffline, true);
        for (const ValueState& v : d->values)
            if (v.size && !backlog_.Waiting(v.topic)) Publish(v.topic, {v.payload.data(), v.size}, true);
    }
}

bool Gateway::NoticeStatus(std::string_view topic, std::string_view payload) {
    const std::size_t from = prefix_.size() + 1;
    if (topic.size() <= from + kStatusLevel.size() || !topic.starts_with(prefix_) || topic[from - 1] != '/' ||
        !topic.ends_with(kStatusLevel))
        return false;
    const std::string_view name = topic.substr(from, topic.size() - from - kStatusLevel.size());
    if (name.find('/') != std::string_view::npos) return false;
    if (payload != kOnline || name == clientId_ || strangers_.size() >= kMaxStrangers ||
        strangers_.count(name))
        return true;
    {
        std::shared_lock devices(devicesMutex_);
        if (byName_.count(std::string(name))) return true;
    }
    strangers_.emplace(name);
    LogEvent("broker",
             fmt::format("another gateway shares the prefix {}: {} is online and not this gateway's; give "
                         "each gateway its own prefix (commands for the other's devices are answered "
                         "UnknownDevice here)",
                         prefix_, topic),
             {{"topic", topic}});
    return true;
}

void Gateway::PublishOffline() {
    if (!mqtt_) return;
    std::shared_lock devices(devicesMutex_);
    for (const auto& d : devices_)
        mqtt_->PublishFinal(d->statusTopic, kOffline);
    mqtt_->PublishFinal(ClientStatusTopic(), kOffline);
}

// Readies the device's link on the port's line: opened once, and again when its rate changes or
// a failure closed the port. The line itself switches to the link's settings at its next request.
std::int32_t Gateway::Prepare(Worker& w, const DeviceConfig& d) {
    if (d.kind == DeviceKind::Readout) return w.unit.IsOpen() ? ResultOk : w.unit.Open(w.port);
    const bool any = d.kind == DeviceKind::Hart;
    int& rate = any ? w.masterBaud : w.hartBaud;
    if (rate == d.baud && (any ? w.master.IsOpen() : w.hart.IsOpen())) return ResultOk;
    const std::int32_t rc = any ? w.master.Open(w.port, d.baud) : w.hart.Open(w.port, d.baud);
    rate = rc == ResultOk ? d.baud : 0;
    return rc;
}

void Gateway::CloseLinks(Worker& w) {
    w.hart.Close();
    w.unit.Close();
    w.master.Close();
    w.hartBaud = w.masterBaud = 0;
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
    case Quantity::Pv: // any HART device: read by PollHart, a poll at a time
    case Quantity::Sv:
    case Quantity::Tv:
    case Quantity::Qv:
    case Quantity::Current:
    case Quantity::Percent:
        break;
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

// Publishes a value's payload: the last good value with the quality of this poll and its time.
void Gateway::PublishValue(DeviceState& d, ValueState& v, const Reading& r, Quality quality) {
    char buffer[kPayloadCapacity];
    std::string_view payload;
    bool due = false;
    std::optional<float> good;
    {
        std::lock_guard lock(d.mutex);
        UpdateStatus(v, r);
        v.quality = quality;
        payload = FormatValuePayload({v.hasGood, v.good, v.unitSymbol, SystemClock::now(),
                                      ResultNames::Get().Name(r.result), v.statusJson, QualityName(quality),
                                      v.hasGood, v.goodTime},
                                     buffer, sizeof buffer);
        std::copy(payload.begin(), payload.end(), v.payload.begin());
        v.size = payload.size();
        if (v.hasGood) good = v.good;
        due =
            v.filter.Offer(v.report, true, good, static_cast<int>(quality), Clock::now(), d.config.interval);
    }
    if (due) PublishReading(v.topic, payload);
    if (observer_)
        observer_->OnValue(d.config.name, static_cast<std::size_t>(&v - d.values.data()), good, v.unitSymbol,
                           quality);
}

// Takes one value's reading: a good value is published with its time; an answer without a value
// (a checksum error, a status-only reply) never replaces a good one, it only lowers the quality.
bool Gateway::Accept(DeviceState& d, std::size_t k, const Reading& r) {
    ValueState& v = d.values[k];
    const auto now = SystemClock::now();
    if (r.hasValue) {
        {
            std::lock_guard lock(d.mutex);
            v.hasGood = true;
            v.good = r.value;
            v.goodTime = now;
        }
        d.metrics->Good(k, r.value, r.unitCode, EpochSeconds(now));
        PublishValue(d, v, r, Quality::Good);
        return true;
    }
    Lower(d, v, r);
    return false;
}

void Gateway::Lower(DeviceState& d, ValueState& v, Reading kept) {
    const bool fresh = v.hasGood && SystemClock::now() - v.goodTime <= Seconds(d.config.staleAfter);
    const Quality q = fresh ? Quality::Stale : Quality::Bad;
    if (q == v.quality) return;
    kept.unitCode = v.unitCode;
    PublishValue(d, v, kept, q);
}

// Values not answered from `from` on: their quality falls with time, said when it changes.
void Gateway::Fade(DeviceState& d, std::size_t from, std::int32_t last) {
    for (std::size_t k = from; k < d.values.size(); ++k) {
        ValueState& v = d.values[k];
        if (v.quality == Quality::None) continue; // nothing said of it yet
        Reading kept;
        kept.result = last;
        kept.hasStatus = v.statusKey >= 0;
        kept.status1 = static_cast<std::uint8_t>(std::max(v.statusKey, 0) >> 8);
        kept.status2 = static_cast<std::uint8_t>(std::max(v.statusKey, 0) & 0xFF);
        Lower(d, v, kept);
    }
}

void Gateway::PollDevice(Worker& w, DeviceState& d) {
    const DeviceConfig& dc = d.config;
    std::int32_t last = ResultOk;
    if (!(dc.kind == DeviceKind::Hart && dc.burst && d.bursting)) Yield(w); // that one is only heard
    if (dc.kind == DeviceKind::Hart) {
        const std::optional<bool> answered = PollHart(w, d, last);
        if (!answered) return; // nothing to judge yet
        if (!*answered) Fade(d, 0, last);
        SetOnline(d, *answered, last);
        return;
    }
    bool answered = false;
    std::size_t k = 0;
    for (; k < d.values.size(); ++k) {
        const auto start = Clock::now();
        Reading r;
        r.result = Prepare(w, dc);
        if (r.result == ResultOk) r = Read(w, dc, d.values[k].spec);
        d.metrics->Poll(r.result, Clock::now() - start);
        last = r.result;
        if (NoAnswer(r.result)) break; // the rest would wait in vain too; try again next time
        answered = true;
        Accept(d, k, r);
    }
    Fade(d, k, last);
    SetOnline(d, answered, last);
}

// Online at the first answer; offline only after offline_after polls in a row without one.
void Gateway::SetOnline(DeviceState& d, bool answered, std::int32_t result) {
    Online now;
    bool changed;
    {
        std::lock_guard lock(d.mutex);
        d.misses = answered ? 0 : d.misses + 1;
        if (answered) d.lastAnswer = SystemClock::now();
        now = answered ? Online::Up : d.misses >= d.config.offlineAfter ? Online::Down : d.online;
        changed = d.online != now;
        d.online = now;
    }
    if (observer_)
        observer_->OnPolled(d.config.name, now == Online::Up     ? Observer::Presence::Up
                                           : now == Online::Down ? Observer::Presence::Down
                                                                 : Observer::Presence::Unknown);
    if (!changed) return;
    const bool up = now == Online::Up;
    d.metrics->Up(up);
    Publish(d.statusTopic, up ? kOnline : kOffline, true);
    const std::string& name = d.config.name;
    if (up)
        LogEvent("device", "device " + name + " online", {{"device", name}, {"state", "online"}});
    else
        LogEvent("device",
                 "device " + name + " offline after " + std::to_string(d.config.offlineAfter) +
                     " polls without an answer (" + ResultNames::Get().Name(result) + ")",
                 {{"device", name}, {"state", "offline"}, {"result", ResultNames::Get().Name(result)}});
}

void Gateway::RunWorker(Worker& w, bool once) {
    const auto start = Clock::now();
    for (const auto& d : w.devices)
        d->due = start;
    if (once) {
        for (const auto& d : w.devices)
            PollDevice(w, *d);
        return;
    }
    std::unique_lock lock(w.mutex);
    while (!w.stop) {
        auto now = Clock::now();
        DeviceState* target = nullptr;
        Command command;
        auto wake = Clock::time_point::max();
        if (NextCommand(w, now, target, command, wake)) {
            lock.unlock();
            w.busySince.store(now.time_since_epoch().count());
            Execute(w, *target, command);
            w.busySince.store(0);
            lock.lock();
            continue;
        }
        DeviceState* next =
            std::min_element(w.devices.begin(), w.devices.end(), [](const auto& a, const auto& b) {
                return a->due < b->due;
            })->get();
        if (ServeLineCall(w, lock, now >= next->due)) continue;
        if (now < next->due) {
            if (Listening(w)) {
                lock.unlock();
                Listen(w, std::min(next->due, wake));
                lock.lock();
            } else {
                w.cv.wait_until(lock, std::min(next->due, wake));
            }
            continue;
        }
        lock.unlock();
        w.busySince.store(now.time_since_epoch().count());
        PollDevice(w, *next);
        w.busySince.store(0);
        // The next poll keeps to the grid start + k * interval; polls that could not be made in
        // time are skipped, not made up in a burst.
        now = Clock::now();
        const auto interval = Seconds(next->config.interval);
        if (interval.count() <= 0) {
            next->due = now;
        } else {
            next->due += interval;
            if (next->due <= now) next->due += ((now - next->due) / interval + 1) * interval;
        }
        lock.lock();
        ++w.pollsSinceCall;
    }
}

void Gateway::StartWorker(Worker& w) {
    w.stop = false;
    w.master.SetBurstHandler([this, &w](const hart::Frame& frame) { OnBurst(w, frame); });
    w.thread = std::thread([this, &w] { RunWorker(w, false); });
}

void Gateway::StopWorker(Worker& w) {
    {
        std::lock_guard lock(w.mutex);
        w.stop = true;
        w.cv.notify_all();
    }
    if (w.thread.joinable()) w.thread.join();
    CloseLinks(w);
}

void Gateway::Start() {
    std::unique_lock lock(devicesMutex_);
    running_ = true;
    for (auto& w : workers_)
        StartWorker(*w);
}

void Gateway::RunOnce() {
    // The first port is polled on the calling thread, the others each on a thread of their own.
    for (std::size_t i = 1; i < workers_.size(); ++i)
        workers_[i]->thread = std::thread([this, wp = workers_[i].get()] { RunWorker(*wp, true); });
    if (!workers_.empty()) RunWorker(*workers_.front(), true);
    for (auto& w : workers_)
        if (w->thread.joinable()) w->thread.join();
}

void Gateway::RequestStop() {
    std::shared_lock lock(devicesMutex_);
    for (auto& w : workers_) {
        std::lock_guard wl(w->mutex);
        w->stop = true;
        w->cv.notify_all();
    }
}

void Gateway::Stop() {
    std::unique_lock lock(devicesMutex_);
    running_ = false;
    for (auto& w : workers_) {
        std::lock_guard wl(w->mutex);
        w->stop = true;
        w->cv.notify_all();
    }
    for (auto& w : workers_)
        StopWorker(*w);
}

bool Gateway::Responsive(Clock::duration limit) const {
    std::shared_lock lock(devicesMutex_);
    const auto now = Clock::now().time_since_epoch().count();
    for (const auto& w : workers_) {
        const auto since = w->busySince.load();
        if (since != 0 && now - since > limit.count()) return false;
    }
    return true;
}

} // namespace tarvik::gateway
