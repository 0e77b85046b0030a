// The HART-IP server's way past the gateway: the I/O system commands, pass-through to a sub-device
// by its unique ID, the line calls they wait for, the access rules (allow, allow_writes) and the
// write log, and the reload of [hartip].
#include <arpa/inet.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>

#include "HartIpServer.h"
#include "Log.h"
#include "hart/Status.h"
#include "hart/Universal.h"

namespace tarvik::gateway {
namespace {

using namespace hartip;

constexpr std::uint8_t kRcDelayedResponseDead = 35; // the sub-device did not answer
constexpr std::size_t kPollRequestSize = 3;         // command 75: card, channel, polling address
constexpr std::size_t kSummaryRequestSize = 2;      // command 84: the index
constexpr std::uint8_t kMaxPolling = 63;
constexpr auto kDiscoverWaitLimit = std::chrono::seconds(60);
constexpr auto kRefusalLogInterval = std::chrono::seconds(1); // refused clients: at most a line a second

hart::Master MasterOf(const hart::Frame& request) {
    return request.FromPrimary() ? hart::Master::Primary : hart::Master::Secondary;
}

std::string AddressText(const std::array<std::uint8_t, 16>& a) {
    constexpr std::array<std::uint8_t, 12> kMapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    char text[INET6_ADDRSTRLEN] = {};
    if (std::equal(kMapped.begin(), kMapped.end(), a.begin()))
        ::inet_ntop(AF_INET, a.data() + kMapped.size(), text, sizeof text);
    else
        ::inet_ntop(AF_INET6, a.data(), text, sizeof text);
    return text;
}

std::string DeviceName(const IoSystem& io, int port, const hart::Address& a) {
    for (const SubDevice& d : io.Devices())
        if (d.port == port && (d.address == a || d.Unique() == a) && !d.name.empty()) return d.name;
    return a.isLong ? fmt::format("COM{} {:02X}", port, fmt::join(a.unique, ""))
                    : fmt::format("COM{} polling address {}", port, a.polling);
}

} // namespace

void HartIpServer::Waker::Wake() {
    std::lock_guard lock(mutex);
    const char wake = 0;
    if (fd >= 0 && ::write(fd, &wake, 1) < 0) {
    } // a full pipe already wakes the loop
}

HartIpServer::Outcome HartIpServer::PassThrough(const std::string& peer, const Message& m,
                                                Clock::time_point now, MessageBytes& out) {
    hart::Frame request;
    if (!DecodePdu(m.Body(), request) || request.type != hart::FrameType::Request) {
        BuildAnswer(m.header, kTypeResponse, kStatusTooFewBytes, {}, out);
        return {true, false};
    }
    if (device_.Addressed(request)) {
        const std::uint8_t c = request.command;
        if (request.checksumOk && (c == kCmdIoCapabilities || c == kCmdPollSubDevice ||
                                   c == kCmdSubDeviceCommand || c == kCmdSubDeviceSummary))
            return IoCommand(peer, m, request, now, out);
        hart::FrameBytes reply;
        device_.Answer(request, reply);
        BuildAnswer(m.header, kTypeResponse, kStatusSuccess, reply.Bytes(), out);
        return {true, false};
    }
    if (lines_ && request.isLong && io_.ByUnique(request.DeviceAddress()))
        return ToSubDevice(peer, m, request, now, out);
    BuildAnswer(m.header, kTypeResponse, kStatusUnknownDevice, {}, out);
    return {true, false};
}

HartIpServer::Outcome HartIpServer::IoCommand(const std::string& peer, const Message& m,
                                              const hart::Frame& request, Clock::time_point now,
                                              MessageBytes& out) {
    hart::FrameBytes reply;
    const auto answer = [&](std::uint8_t code, std::span<const std::uint8_t> data) {
        device_.Reply(request, code, data, reply);
        BuildAnswer(m.header, kTypeResponse, kStatusSuccess, reply.Bytes(), out);
        return Outcome{true, false};
    };
    const auto data = request.Data();
    Pending p{peer, m.header, request, Route::Poll, {}, {}, false, nullptr, {}};
    switch (request.command) {
    case kCmdIoCapabilities:
        return answer(hart::kRcSuccess, io_.Capabilities(kLineRetries));
    case kCmdSubDeviceSummary: {
        if (data.size() < kSummaryRequestSize) return answer(hart::kRcTooFewBytes, {});
        const auto index = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
        if (index == 0) return answer(hart::kRcSuccess, device_.Summary());
        const auto summary = io_.Summary(index);
        return summary ? answer(hart::kRcSuccess, *summary) : answer(hart::kRcInvalidSelection, {});
    }
    case kCmdPollSubDevice: {
        if (data.size() < kPollRequestSize) return answer(hart::kRcTooFewBytes, {});
        const auto port = io_.PortOf(data[0], data[1]);
        if (!port || data[2] > kMaxPolling) return answer(hart::kRcInvalidSelection, {});
        const auto address = hart::Address::Polling(data[2]);
        if (!Defer(p, *port, address, MasterOf(request), hart::kCmdReadUniqueId, {}, now + kLineWaitLimit))
            return answer(hart::kRcBusy, {});
        return {};
    }
    default: { // 77
        const auto sub = ParseSubCommand(data);
        if (!sub) return answer(hart::kRcTooFewBytes, {});
        const auto port = io_.PortOf(sub->card, sub->channel);
        if (!port) return answer(hart::kRcInvalidSelection, {});
        p.route = Route::Sub;
        p.sub = *sub;
        p.device = DeviceName(io_, *port, sub->address);
        p.write = ChangesDevice(sub->command, sub->data);
        if (p.write && !MayWrite(peer)) {
            LogWrite(p, "refused: the client is not on allow_writes");
            if (metrics_) metrics_->HartIpRefusedWrite();
            return answer(hart::kRcAccessRestricted, {});
        }
        if (!Defer(p, *port, sub->address, sub->master, sub->command, sub->data, now + kLineWaitLimit)) {
            if (p.write) LogWrite(p, "busy: not sent");
            return answer(hart::kRcBusy, {});
        }
        return {};
    }
    }
}

HartIpServer::Outcome HartIpServer::ToSubDevice(const std::string& peer, const Message& m,
                                                const hart::Frame& request, Clock::time_point now,
                                                MessageBytes& out) {
    const hart::Address address = request.DeviceAddress();
    const SubDevice& d = *io_.ByUnique(address);
    const auto answer = [&](std::uint8_t code) {
        hart::FrameBytes reply;
        hart::BuildReply(hart::FrameType::Reply, address, MasterOf(request), request.command, code, 0, {}, 0,
                         reply);
        BuildAnswer(m.header, kTypeResponse, kStatusSuccess, reply.Bytes(), out);
        return Outcome{true, false};
    };
    // A damaged request is answered as the device would: a communication error, nothing sent.
    if (!request.checksumOk) return answer(hart::kCommErrorBit | hart::kCommLongitudinalParity);
    Pending p{peer,  m.header, request, Route::Direct, {}, DeviceName(io_, d.port, address),
              false, nullptr,  {}};
    p.write = ChangesDevice(request.command, request.Data());
    if (p.write && !MayWrite(peer)) {
        LogWrite(p, "refused: the client is not on allow_writes");
        if (metrics_) metrics_->HartIpRefusedWrite();
        return answer(hart::kRcAccessRestricted);
    }
    const auto data = request.Data();
    if (!Defer(p, d.port, address, MasterOf(request), request.command, {data.begin(), data.end()},
               now + kLineWaitLimit)) {
        if (p.write) LogWrite(p, "busy: not sent");
        return answer(hart::kRcBusy);
    }
    return {};
}

bool HartIpServer::Defer(const Pending& p, int port, const hart::Address& address, hart::Master master,
                         std::uint8_t command, std::vector<std::uint8_t> data, Clock::time_point deadline) {
    if (!lines_) return false;
    if (!p.peer.empty() &&
        static_cast<std::size_t>(std::count_if(pending_.begin(), pending_.end(), [&](const Pending& q) {
            return q.peer == p.peer;
        })) >= kMaxCallsPerSession)
        return false;
    auto call = std::make_shared<LineCall>(port, io_.BaudOf(port), address, master, command, std::move(data),
                                           [waker = waker_] { waker->Wake(); });
    if (!lines_->Submit(call)) return false;
    Pending& q = pending_.emplace_back(p);
    q.call = std::move(call);
    q.deadline = deadline;
    return true;
}

void HartIpServer::Complete(Clock::time_point now,
                            const std::function<void(const std::string&, const MessageBytes&)>& deliver) {
    for (std::size_t i = 0; i < pending_.size();) {
        LineReply r;
        const bool done = pending_[i].call->Done(r);
        if (!done && !(now >= pending_[i].deadline && pending_[i].call->Abandon())) {
            ++i;
            continue;
        }
        const Pending p = std::move(pending_[i]);
        pending_.erase(pending_.begin() + static_cast<long>(i));
        if (done) Learn(p, r);
        if (p.write)
            LogWrite(p, !done        ? "busy: not sent"
                        : r.answered ? fmt::format("response code {}", r.responseCode)
                                     : "no answer");
        if (p.peer.empty()) continue;
        MessageBytes out;
        AnswerPending(p, done ? &r : nullptr, out);
        deliver(p.peer, out);
    }
    StartDiscovery(now);
}

void HartIpServer::AnswerPending(const Pending& p, const LineReply* r, MessageBytes& out) {
    hart::FrameBytes frame;
    const bool answered = r && r->answered;
    const std::uint8_t failed = r ? kRcDelayedResponseDead : hart::kRcBusy;
    std::vector<std::uint8_t> data;
    switch (p.route) {
    case Route::Direct:
        if (answered)
            hart::BuildReply(hart::FrameType::Reply, p.request.DeviceAddress(), MasterOf(p.request),
                             p.request.command, r->responseCode, r->deviceStatus, r->data, 0, frame);
        else
            hart::BuildReply(hart::FrameType::Reply, p.request.DeviceAddress(), MasterOf(p.request),
                             p.request.command, failed, 0, {}, 0, frame);
        break;
    case Route::Poll: // the sub-device's command 0 reply, as the gateway's
        if (answered && !(r->responseCode & hart::kCommErrorBit))
            device_.Reply(p.request, r->responseCode, r->data, frame);
        else
            device_.Reply(p.request, failed, {}, frame);
        break;
    default: // Sub
        if (answered && BuildSubReply(p.sub, *r, data))
            device_.Reply(p.request, hart::kRcSuccess, data, frame);
        else
            device_.Reply(p.request, failed, {}, frame);
    }
    BuildAnswer(p.header, kTypeResponse, kStatusSuccess, frame.Bytes(), out);
}

// What a reply tells of a sub-device: its identity (0, 11, 21, 75), its long tag (20).
void HartIpServer::Learn(const Pending& p, const LineReply& r) {
    if (!r.answered || r.responseCode != hart::kRcSuccess) return;
    const LineCall& c = *p.call;
    if (c.command == hart::kCmdReadUniqueId || c.command == hart::kCmdReadUniqueIdByTag ||
        c.command == hart::kCmdReadUniqueIdByLongTag)
        io_.LearnIdentity(c.port, c.address, hart::DecodeIdentity(r.data));
    else if (c.command == hart::kCmdReadLongTag)
        io_.LearnLongTag(c.port, c.address, r.data);
    if (p.route == Route::Discover) {
        Pending tag = p;
        tag.route = Route::DiscoverTag;
        Defer(tag, c.port, c.address, c.master, hart::kCmdReadLongTag, {}, Clock::now() + kDiscoverWaitLimit);
    }
}

void HartIpServer::Discover() {
    if (!lines_) return;
    io_.Configure(lines_->LineDevices());
    toDiscover_.clear();
    for (const SubDevice& d : io_.Devices()) {
        if (metrics_) metrics_->LineQueue(d.port, 0);
        if (!d.name.empty() && !d.identity) toDiscover_.emplace_back(d.port, d.address);
    }
}

void HartIpServer::StartDiscovery(Clock::time_point now) {
    std::erase_if(toDiscover_, [&](const std::pair<int, hart::Address>& d) {
        const bool busy = std::any_of(pending_.begin(), pending_.end(), [&](const Pending& p) {
            return p.peer.empty() && p.call->port == d.first;
        });
        if (busy) return false;
        const Pending p{{}, {}, {}, Route::Discover, {}, {}, false, nullptr, {}};
        return Defer(p, d.first, d.second, hart::Master::Primary, hart::kCmdReadUniqueId, {},
                     now + kDiscoverWaitLimit);
    });
}

void HartIpServer::LogWrite(const Pending& p, std::string_view result) {
    const auto client = ClientOf(p.peer);
    const std::string who = client ? AddressText(*client) : "unknown";
    const int command = p.route == Route::Sub ? p.sub.command : p.request.command;
    LogEvent(
        "write", fmt::format("HART-IP command {} to {}: {} (from {})", command, p.device, result, who),
        {{"device", p.device}, {"command", command}, {"client", who}, {"via", "hartip"}, {"result", result}});
}

bool HartIpServer::Allowed(const std::array<std::uint8_t, 16>& client) const {
    return !config_.allow || Contains(*config_.allow, client);
}

bool HartIpServer::MayWrite(const std::string& peer) const {
    const auto client = ClientOf(peer);
    return client && Contains(config_.allowWrites, *client);
}

void HartIpServer::Refused(const std::string& client) {
    if (metrics_) metrics_->HartIpRefusedClient();
    const auto now = Clock::now();
    if (now - lastRefusalLog_ < kRefusalLogInterval) {
        ++refusedUnlogged_;
        return;
    }
    const std::string more =
        refusedUnlogged_ ? fmt::format(" ({} more refused since the last such line)", refusedUnlogged_) : "";
    LogEvent("hartip", "HART-IP client " + client + " refused: not on the allow list" + more,
             {{"client", client}, {"result", "refused"}});
    lastRefusalLog_ = now;
    refusedUnlogged_ = 0;
}

void HartIpServer::Count(const MessageBytes& out) {
    if (metrics_ && out.size >= kHeaderSize) metrics_->HartIpAnswer(out.bytes[kAtType], out.bytes[kAtStatus]);
}

void HartIpServer::Reload(const HartIpConfig& config) {
    {
        std::lock_guard lock(reloadMutex_);
        reload_ = config;
    }
    waker_->Wake();
}

// On the loop: the new section applies; sessions and connections of clients no longer allowed end.
void HartIpServer::ApplyReload() {
    std::optional<HartIpConfig> next;
    {
        std::lock_guard lock(reloadMutex_);
        next.swap(reload_);
    }
    if (!next) return;
    if (next->host != config_.host || next->port != config_.port)
        LogEvent("reload", "HART-IP: a new listen address takes effect at the next start");
    next->host = config_.host;
    next->port = config_.port;
    config_ = *next;
    max_ = config_.maxSessions;
    device_ = GatewayDevice(config_);
    EndRefused();
    Discover();
}

std::string HartIpServer::HealthJson() const {
    return fmt::format("{{\"listen\": \"{}\", \"sessions\": {}, \"max_sessions\": {}}}", listen_,
                       open_.load(), max_.load());
}

} // namespace tarvik::gateway
