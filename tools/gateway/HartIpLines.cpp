// The gateway's side of HART-IP: the devices it polls, and the HART-IP calls each port's worker
// runs between its polls. A line's queue is bounded; while polls are due, the worker alternates one
// poll and one call, so that a flood of HART-IP requests costs polling at most half the line and
// polling cannot shut HART-IP out.
#include <algorithm>

#include "Gateway.h"

namespace tarvik::gateway {
namespace {

constexpr std::size_t kMaxLineCalls = 16; // HART-IP calls waiting per line

hart::Address LineAddress(const DeviceConfig& d) {
    if (d.kind != DeviceKind::Hart) // the library's own devices: long frames, manufacturer byte 0
        return hart::Address::Long({0, d.deviceType, d.id[0], d.id[1], d.id[2]});
    if (d.polling >= 0) return hart::Address::Polling(static_cast<std::uint8_t>(d.polling));
    std::array<std::uint8_t, hart::kLongAddressSize> bytes{};
    std::copy(std::begin(d.longAddress), std::end(d.longAddress), bytes.begin());
    return hart::Address::Long(bytes);
}

} // namespace

std::vector<LineDevice> Gateway::LineDevices() const {
    std::shared_lock lock(devicesMutex_);
    std::vector<LineDevice> out;
    for (const auto& d : devices_)
        if (d->config.kind != DeviceKind::Readout)
            out.push_back({d->config.name, d->config.port, d->config.baud, LineAddress(d->config)});
    return out;
}

bool Gateway::Submit(std::shared_ptr<LineCall> call) {
    std::shared_lock lock(devicesMutex_);
    for (const auto& w : workers_) {
        if (w->port != call->port) continue;
        std::lock_guard wl(w->mutex);
        if (w->stop || w->calls.size() >= kMaxLineCalls) return false;
        w->calls.push_back(std::move(call));
        metrics_.LineQueue(w->port, w->calls.size());
        w->cv.notify_one();
        return true;
    }
    return false;
}

bool Gateway::ServeLineCall(Worker& w, std::unique_lock<std::mutex>& lock, bool pollDue) {
    if (w.calls.empty() || (pollDue && w.pollsSinceCall == 0)) return false;
    const std::shared_ptr<LineCall> call = std::move(w.calls.front());
    w.calls.pop_front();
    w.pollsSinceCall = 0;
    metrics_.LineQueue(w.port, w.calls.size());
    lock.unlock();
    w.busySince.store(std::chrono::steady_clock::now().time_since_epoch().count());
    RunLineCall(w, *call);
    w.busySince.store(0);
    lock.lock();
    return true;
}

void Gateway::RunLineCall(Worker& w, LineCall& call) {
    if (!call.Start()) return; // the server gave it up: never sent
    DeviceConfig line;
    line.kind = DeviceKind::Hart;
    line.baud = call.baud;
    LineReply r;
    if (Prepare(w, line) == ResultOk) {
        Yield(w);
        const link::HartReply reply = w.master.Command(call.address, call.command, call.data);
        if (reply.Replied()) {
            r.answered = true;
            r.responseCode = reply.responseCode;
            r.deviceStatus = reply.deviceStatus;
            r.data.assign(reply.Data().begin(), reply.Data().end());
        }
    }
    call.Finish(std::move(r));
}

} // namespace tarvik::gateway
