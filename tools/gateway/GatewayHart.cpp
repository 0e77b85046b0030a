// Any HART device (kind "hart") in the gateway: polled with commands 3 and 2 through the generic
// master, or, when configured to burst, switched to burst mode once and then published from its
// burst frames as they come, without polling. Frames of bursting devices that arrive while another
// device of the line is polled are taken as well (the master hands them to OnBurst).
#include <algorithm>
#include <cmath>
#include <optional>

#include "Gateway.h"
#include "hart/Universal.h"

namespace tarvik::gateway {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kUnitMilliamperes = 39; // HART unit code of the loop current
constexpr std::uint8_t kCommandPv = 1;
constexpr std::uint8_t kCommandCurrent = 2;
constexpr std::uint8_t kCommandVariables = 3;
constexpr auto kListenSlice = std::chrono::milliseconds(100); // how soon a stop or a command is seen
// How long the line is left quiet for a burst frame to start: a device in burst mode sends into a
// pause of the line (after its own frame, or after a reply); polls one after the other leave none.
constexpr auto kYieldWindow = std::chrono::milliseconds(150);
constexpr std::size_t kQuantities = 6; // pv sv tv qv current percent

hart::Address HartAddress(const DeviceConfig& d) {
    if (d.polling >= 0) return hart::Address::Polling(static_cast<std::uint8_t>(d.polling));
    std::array<std::uint8_t, hart::kLongAddressSize> bytes{};
    std::copy(std::begin(d.longAddress), std::end(d.longAddress), bytes.begin());
    return hart::Address::Long(bytes);
}

// What one reply or burst frame says of the six quantities.
struct Sample {
    std::array<std::optional<float>, kQuantities> value{};
    std::array<int, kQuantities> unit{};

    void Variables(const hart::DynamicVariables& dv) {
        for (std::size_t i = 0; i < dv.count && i < dv.variables.size(); ++i) {
            value[i] = dv.variables[i].value;
            unit[i] = dv.variables[i].unit;
        }
        if (dv.milliamperes) Current(hart::LoopCurrent{dv.milliamperes, std::nullopt});
    }
    void Current(const hart::LoopCurrent& lc) {
        if (lc.milliamperes) value[4] = lc.milliamperes, unit[4] = kUnitMilliamperes;
        if (lc.percentOfRange) value[5] = lc.percentOfRange, unit[5] = kUnitPercent;
    }
    void Primary(const hart::PrimaryVariable& pv) {
        if (pv.value) value[0] = pv.value, unit[0] = pv.unit.value_or(0);
    }
};

// A reply whose data the master decoded: it came, without a communication error.
bool Decoded(const link::HartReply& r) {
    return r.Replied() && !r.CommError();
}

std::size_t Index(Quantity q) {
    return static_cast<std::size_t>(q) - static_cast<std::size_t>(Quantity::Pv);
}

// Hands `accept` the reading of every value a sample holds; the values it lacks are left as they
// are (a burst of command 1 says nothing of the SV) unless `fadeMissing`.
template <class Values, class Base, class Accept>
void PublishSample(const Values& values, const Sample& s, const Base& base, bool fadeMissing,
                   const Accept& accept) {
    for (std::size_t k = 0; k < values.size(); ++k) {
        const std::size_t i = Index(values[k].spec.quantity);
        if (!s.value[i] && !fadeMissing) continue;
        Base r = base;
        r.hasValue = s.value[i].has_value() && std::isfinite(*s.value[i]);
        r.value = s.value[i].value_or(0);
        r.unitCode = s.unit[i];
        accept(k, r);
    }
}

} // namespace

std::optional<bool> Gateway::PollHart(Worker& w, DeviceState& d, std::int32_t& last) {
    const DeviceConfig& dc = d.config;
    const hart::Address address = HartAddress(dc);
    if (dc.burst && d.bursting) {
        // Its frames keep it online; a device that stays silent is switched to burst mode again.
        // Silence counts only when the line paused for its frames since the last look (or when
        // another link holds the port, so that nobody listens): while polls of its neighbours fill
        // the line, it cannot send.
        const bool heard = d.burstFrames > 0;
        const bool paused = w.pauses != d.pausesSeen || !Listening(w);
        d.burstFrames = 0;
        d.pausesSeen = w.pauses;
        if (!heard && !paused) return std::nullopt;
        last = heard ? ResultOk : ResultNoReply;
        if (!heard) {
            std::lock_guard lock(d.mutex);
            if (d.misses + 1 >= dc.offlineAfter) d.bursting = false;
        }
        return heard;
    }
    const auto start = Clock::now();
    last = Prepare(w, dc);
    if (last != ResultOk) {
        d.metrics->Poll(last, Clock::now() - start);
        return false;
    }
    if (dc.burst) {
        const auto id = w.master.ReadIdentity(address);
        last = id.reply.result;
        if (id.Ok() && id.value.complete) {
            d.unique = id.value.LongAddress().unique;
            const auto command = w.master.WriteBurstCommand(address, kCommandVariables);
            const auto mode = command.Ok() ? w.master.SetBurstMode(address, true) : command;
            last = mode.reply.result;
            d.bursting = mode.Ok();
        }
        d.metrics->Poll(last, Clock::now() - start);
        return !NoAnswer(last);
    }
    const auto dv = w.master.ReadDynamicVariables(address);
    last = dv.reply.result;
    d.metrics->Poll(last, Clock::now() - start);
    if (NoAnswer(last)) return false;
    Sample s;
    if (Decoded(dv.reply)) s.Variables(dv.value);
    const auto started = Clock::now();
    const auto lc = w.master.ReadLoopCurrent(address);
    d.metrics->Poll(lc.reply.result, Clock::now() - started);
    if (Decoded(lc.reply)) s.Current(lc.value);
    Reading base;
    base.result = dv.reply.result;
    base.hasStatus = dv.reply.Replied();
    base.status1 = dv.reply.responseCode;
    base.status2 = dv.reply.deviceStatus;
    PublishSample(d.values, s, base, true, [&](std::size_t k, const Reading& r) { Accept(d, k, r); });
    return true;
}

void Gateway::PublishHart(DeviceState& d, const hart::Frame& frame, std::int32_t result) {
    Sample s;
    const auto data = frame.Data();
    if (frame.command == kCommandVariables)
        s.Variables(hart::DecodeDynamicVariables(data));
    else if (frame.command == kCommandCurrent)
        s.Current(hart::DecodeLoopCurrent(data));
    else if (frame.command == kCommandPv)
        s.Primary(hart::DecodePrimaryVariable(data));
    Reading base;
    base.result = result;
    base.hasStatus = true;
    base.status1 = frame.ResponseCode();
    base.status2 = frame.DeviceStatus();
    PublishSample(d.values, s, base, false, [&](std::size_t k, const Reading& r) { Accept(d, k, r); });
}

// A burst frame from the line, on the worker's thread (inside a master call).
void Gateway::OnBurst(Worker& w, const hart::Frame& frame) {
    if (!frame.checksumOk || frame.type != hart::FrameType::Burst) return;
    const auto now = Clock::now();
    const auto gap = now - w.lastBurst;
    if (w.lastBurst != Clock::time_point{} && (w.burstGap.count() == 0 || gap < w.burstGap)) w.burstGap = gap;
    w.lastBurst = now;
    if (!frame.HasStatus() || (frame.ResponseCode() & hart::kCommErrorBit) != 0) return;
    const hart::Address from = frame.DeviceAddress();
    for (const auto& d : w.devices) {
        const DeviceConfig& dc = d->config;
        if (dc.kind != DeviceKind::Hart || !dc.burst) continue;
        const bool match = from.isLong ? (dc.polling < 0 ? HartAddress(dc) == from : d->unique == from.unique)
                                       : dc.polling == from.polling;
        if (!match) continue;
        ++d->burstFrames;
        PublishHart(*d, frame, ResultOk);
        SetOnline(*d, true, ResultOk);
        return;
    }
}

bool Gateway::Listening(const Worker& w) const {
    return w.master.IsOpen() && std::any_of(w.devices.begin(), w.devices.end(), [](const auto& d) {
               return d->config.kind == DeviceKind::Hart && d->bursting;
           });
}

// Listens for burst frames until `until`, in slices short enough for a stop or a command to be seen.
void Gateway::Listen(Worker& w, Clock::time_point until) {
    const auto slice = std::min(until, Clock::now() + kListenSlice);
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(slice - Clock::now()).count();
    ++w.pauses;
    const std::int32_t rc = w.master.Listen(static_cast<std::int32_t>(std::max<long long>(ms, 1)),
                                            [this, &w](const hart::Frame& frame) {
                                                OnBurst(w, frame);
                                                return true;
                                            });
    if (rc == ResultOk) return;
    std::unique_lock lock(w.mutex); // the port failed: wait as without listening
    w.cv.wait_until(lock, slice, [&w] { return w.stop; });
}

} // namespace tarvik::gateway

namespace tarvik::gateway {

// Waits, at most the window, for a burst frame to start, and then for its end; skipped while the
// next frame cannot be due yet (sooner after the last than three quarters of the shortest gap seen).
void Gateway::Yield(Worker& w) {
    if (!Listening(w)) return;
    if (w.burstGap.count() > 0 && Clock::now() - w.lastBurst < w.burstGap * 3 / 4) return;
    const auto ms = static_cast<std::int32_t>(kYieldWindow.count());
    ++w.pauses;
    w.master.Listen(ms, [this, &w](const hart::Frame& frame) {
        OnBurst(w, frame);
        return false; // one frame: the line is ours until the next is due
    });
}

} // namespace tarvik::gateway
