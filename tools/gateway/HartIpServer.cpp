#include "HartIpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "Log.h"
#include "hartip/Stream.h"

namespace tarvik::gateway {
namespace {

constexpr int kBindAttempts = 20;        // port 0: tries for a port free on both TCP and UDP
constexpr std::size_t kReadChunk = 4096; // bytes read from a connection per round
constexpr int kDatagramsPerRound = 64;   // so that a UDP flood cannot starve TCP
constexpr auto kLongestWait = std::chrono::seconds(1);
constexpr auto kClosingLimit = std::chrono::seconds(1); // to send the last answer before closing
constexpr char kTcpPeer = 't', kUdpPeer = 'u';

// A socket or pipe end, closed when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) Reset(), fd_ = std::exchange(o.fd_, -1);
        return *this;
    }
    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// A socket of `type` bound to host:port; with port 0 the system picks one. -1 with `error`.
int Bound(const std::string& host, int port, int type, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc =
            ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found)) {
        error = ::gai_strerror(rc);
        return -1;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
    Fd fd(::socket(found->ai_family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0) {
        error = std::strerror(errno);
        return -1;
    }
    const int yes = 1;
    if (type == SOCK_STREAM) ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd.Get(), found->ai_addr, found->ai_addrlen) != 0 ||
        (type == SOCK_STREAM && ::listen(fd.Get(), SOMAXCONN) != 0)) {
        error = std::strerror(errno);
        return -1;
    }
    return fd.Release();
}

int PortOf(int fd) {
    sockaddr_storage a{};
    socklen_t n = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0) return -1;
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
}

// The 16-byte form of a client's address (IPv4 mapped), and its text.
std::array<std::uint8_t, 16> ClientBytes(const sockaddr_storage& a) {
    std::array<std::uint8_t, 16> b{};
    if (a.ss_family == AF_INET6) {
        std::memcpy(b.data(), &reinterpret_cast<const sockaddr_in6*>(&a)->sin6_addr, b.size());
    } else {
        b[10] = b[11] = 0xFF;
        std::memcpy(b.data() + 12, &reinterpret_cast<const sockaddr_in*>(&a)->sin_addr, 4);
    }
    return b;
}

std::string ClientText(const sockaddr_storage& a) {
    char text[INET6_ADDRSTRLEN] = {};
    const void* at = a.ss_family == AF_INET6
                         ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&a)->sin6_addr)
                         : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&a)->sin_addr);
    ::inet_ntop(a.ss_family, at, text, sizeof text);
    return text;
}

std::string UdpPeer(const sockaddr_storage& a, socklen_t n) {
    std::string key(1, kUdpPeer);
    key.append(reinterpret_cast<const char*>(&a), n);
    return key;
}

std::uint32_t Clamped(std::uint32_t ms) {
    return std::clamp(ms, HartIpServer::kMinInactivityMs, HartIpServer::kMaxInactivityMs);
}

} // namespace

struct HartIpServer::Connection {
    Fd fd;
    std::string peer;
    std::array<std::uint8_t, 16> client{};
    hartip::StreamDecoder decoder;
    std::string out; // answers not yet sent, at most kMaxQueued
    Clock::time_point opened;
    Clock::time_point closeBy = Clock::time_point::max(); // closing: the last answer goes out first
    bool done = false;
};

HartIpServer::HartIpServer(const HartIpConfig& config, HartIpLines* lines, Metrics* metrics)
    : config_(config), lines_(lines), metrics_(metrics), device_(config),
      sessions_(static_cast<std::size_t>(config.maxSessions)), max_(config.maxSessions) {}

HartIpServer::~HartIpServer() {
    Stop();
    {
        std::lock_guard lock(waker_->mutex); // line calls still out wake nobody now
        waker_->fd = -1;
    }
    for (int fd : {tcp_, udp_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
}

int HartIpServer::Listen(std::string& error) {
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
        Fd tcp(Bound(config_.host, config_.port, SOCK_STREAM, error));
        if (tcp.Get() < 0) return -1;
        const int port = PortOf(tcp.Get());
        Fd udp(Bound(config_.host, port, SOCK_DGRAM, error));
        if (udp.Get() < 0) {
            if (config_.port == 0 && errno == EADDRINUSE) continue; // another port, both free
            return -1;
        }
        if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
            error = std::strerror(errno);
            return -1;
        }
        tcp_ = tcp.Release();
        udp_ = udp.Release();
        waker_->fd = wake_[1];
        listen_ = config_.host + ":" + std::to_string(port);
        return port;
    }
    return -1;
}

void HartIpServer::Start() {
    if (tcp_ < 0 || thread_.joinable()) return;
    if (metrics_) metrics_->HartIpSessions(0);
    Discover();
    thread_ = std::thread([this] { Run(); });
}

void HartIpServer::Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    const char stop = 1;
    while (::write(wake_[1], &stop, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
}

std::size_t HartIpServer::Sessions() const {
    return static_cast<std::size_t>(
        std::count_if(sessions_.begin(), sessions_.end(), [](const Session& s) { return !s.peer.empty(); }));
}

HartIpServer::Session* HartIpServer::Find(const std::string& peer) {
    for (Session& s : sessions_)
        if (s.peer == peer) return &s;
    return nullptr;
}

bool HartIpServer::Waiting(const Connection& c) const {
    return c.closeBy == Clock::time_point::max() &&
           std::none_of(sessions_.begin(), sessions_.end(),
                        [&](const Session& s) { return s.peer == c.peer; });
}

HartIpServer::Outcome HartIpServer::Handle(const std::string& peer, const hartip::Message& m,
                                           Clock::time_point now, hartip::MessageBytes& out) {
    using namespace hartip;
    const Header& h = m.header;
    if (h.type != kTypeRequest) return {}; // a host's responses, publishes, errors: nothing to answer
    if (h.version != kVersion) {
        BuildAnswer(h, kTypeResponse, kStatusVersionNotSupported, {}, out);
        return {true, false};
    }
    if (h.id == kIdSessionInitiate) return Initiate(peer, m, now, out);
    if (h.id > kIdPassThrough) {
        BuildAnswer(h, kTypeNak, kStatusNotImplemented, {}, out);
        return {true, false};
    }
    Session* s = Find(peer);
    if (!s) {
        const std::uint8_t closed[] = {kErrorSessionClosed};
        BuildAnswer(h, kTypeError, kStatusSuccess, closed, out);
        return {true, false};
    }
    s->last = now;
    switch (h.id) {
    case kIdSessionClose:
        s->peer.clear();
        BuildAnswer(h, kTypeResponse, kStatusSuccess, {}, out);
        return {true, true};
    case kIdKeepAlive:
        BuildAnswer(h, kTypeResponse, kStatusSuccess, {}, out);
        return {true, false};
    default:
        return PassThrough(peer, m, now, out);
    }
}

HartIpServer::Outcome HartIpServer::Initiate(const std::string& peer, const hartip::Message& m,
                                             Clock::time_point now, hartip::MessageBytes& out) {
    using namespace hartip;
    const Header& h = m.header;
    if (Session* s = Find(peer)) { // one session per connection (or client address)
        s->last = now;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(s->inactivity).count();
        BuildAnswer(h, kTypeResponse, kStatusSessionExists,
                    EncodeSessionInitiate({s->master, static_cast<std::uint32_t>(ms)}), out);
        return {true, false};
    }
    const auto asked = DecodeSessionInitiate(m.Body());
    if (!asked) {
        BuildAnswer(h, kTypeResponse, kStatusTooFewBytes, {}, out);
        return {true, false};
    }
    if (asked->masterType != kMasterPrimary && asked->masterType != kMasterSecondary) {
        BuildAnswer(h, kTypeResponse, kStatusInvalidMasterType, EncodeSessionInitiate(*asked), out);
        return {true, false};
    }
    if (Sessions() >= static_cast<std::size_t>(config_.maxSessions)) {
        BuildAnswer(h, kTypeResponse, kStatusAllSessionsInUse, EncodeSessionInitiate(*asked), out);
        return {true, false};
    }
    Session* free = Find("");
    if (!free) free = &sessions_.emplace_back();
    const std::uint32_t ms = Clamped(asked->inactivityMs);
    *free = {peer, asked->masterType, std::chrono::milliseconds(ms), now};
    BuildAnswer(h, kTypeResponse, ms == asked->inactivityMs ? kStatusSuccess : kStatusValueAdjusted,
                EncodeSessionInitiate({asked->masterType, ms}), out);
    return {true, false};
}

std::vector<std::string> HartIpServer::Expire(Clock::time_point now) {
    std::vector<std::string> ended;
    for (Session& s : sessions_)
        if (!s.peer.empty() && now - s.last >= s.inactivity) ended.push_back(std::exchange(s.peer, {}));
    return ended;
}

void HartIpServer::Forget(const std::string& peer) {
    if (Session* s = Find(peer)) s->peer.clear();
    // Its calls not yet on a line are never sent; those under way end unheard.
    std::erase_if(pending_, [&](Pending& p) {
        if (p.peer != peer) return false;
        p.call->Abandon();
        return true;
    });
}

HartIpServer::Clock::time_point HartIpServer::NextDeadline() const {
    auto next = Clock::now() + kLongestWait;
    for (const Session& s : sessions_)
        if (!s.peer.empty()) next = std::min(next, s.last + s.inactivity);
    for (const Pending& p : pending_)
        next = std::min(next, p.deadline);
    for (const Connection& c : connections_)
        next = std::min(next, Waiting(c) ? c.opened + kNoSessionLimit : c.closeBy);
    return next;
}

void HartIpServer::Run() {
    std::vector<Connection>& connections = connections_;
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({wake_[0], POLLIN, 0});
        fds.push_back({tcp_, POLLIN, 0});
        fds.push_back({udp_, POLLIN, 0});
        for (const Connection& c : connections)
            fds.push_back({c.fd.Get(), static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(NextDeadline() - Clock::now());
        const int n = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait.count(), 0)));
        if (n < 0 && errno != EINTR) {
            LogEvent("error", std::string("HART-IP server: poll: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents) { // a line call finished, a reload, or Stop
            char drain[64];
            while (::read(wake_[0], drain, sizeof drain) > 0) {
            }
            if (stopping_) return;
        }
        try {
            ApplyReload();
            Complete(Clock::now(), [this](const std::string& peer, const hartip::MessageBytes& out) {
                Deliver(peer, out);
            });
            for (std::size_t i = 0; i < connections.size(); ++i)
                if (fds[3 + i].revents) Serve(connections[i]);
            if (fds[1].revents & POLLIN) Accept();
            if (fds[2].revents & POLLIN) ReceiveDatagrams();
        } catch (const std::exception& e) { // bad_alloc: the clients of this round lose, the server goes on
            LogEvent("error", std::string("HART-IP server: ") + e.what());
        }
        const auto now = Clock::now();
        for (const std::string& peer : Expire(now))
            for (Connection& c : connections)
                if (c.peer == peer) c.done = true;
        for (Connection& c : connections)
            if (now >= c.closeBy || (Waiting(c) && now - c.opened >= kNoSessionLimit)) c.done = true;
        for (Connection& c : connections)
            if (c.done) Forget(c.peer);
        std::erase_if(connections, [](const Connection& c) { return c.done; });
        open_ = Sessions();
        if (metrics_) metrics_->HartIpSessions(open_);
    }
}

void HartIpServer::Accept() {
    std::vector<Connection>& connections = connections_;
    const std::size_t limit = static_cast<std::size_t>(config_.maxSessions) * kConnectionsPerSession;
    for (;;) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        Fd fd(::accept4(tcp_, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (fd.Get() < 0) return;                  // EAGAIN, or a connection that went before it was taken
        if (connections.size() >= limit) continue; // closed at once: no slot for it
        if (!Allowed(ClientBytes(from))) {
            Refused(ClientText(from));
            continue;
        }
        const int yes = 1;
        ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        Connection c;
        c.fd = std::move(fd);
        c.peer = kTcpPeer + std::to_string(nextConnection_++);
        c.opened = Clock::now();
        c.client = ClientBytes(from);
        connections.push_back(std::move(c));
    }
}

void HartIpServer::ReceiveDatagrams() {
    for (int i = 0; i < kDatagramsPerRound; ++i) {
        std::uint8_t buffer[hartip::kMaxMessage + 1]; // one byte more: a longer datagram is seen as such
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const ssize_t n =
            ::recvfrom(udp_, buffer, sizeof buffer, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return;
        hartip::Message m;
        if (static_cast<std::size_t>(n) > sizeof buffer ||
            hartip::DecodeDatagram(std::span(buffer, static_cast<std::size_t>(n)), m) != hartip::Verdict::Ok)
            continue; // not one whole message: dropped, as a datagram may be
        hartip::MessageBytes out;
        if (!Allowed(ClientBytes(from))) { // refused at initiate; anything else unanswered
            if (m.header.type != hartip::kTypeRequest || m.header.id != hartip::kIdSessionInitiate) continue;
            Refused(ClientText(from));
            const std::uint8_t refused[] = {hartip::kErrorServiceUnavailable};
            hartip::BuildAnswer(m.header, hartip::kTypeError, hartip::kStatusSuccess, refused, out);
        } else if (!Handle(UdpPeer(from, length), m, Clock::now(), out).answer) {
            continue;
        }
        Count(out);
        ::sendto(udp_, out.bytes.data(), out.size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), length);
    }
}

void HartIpServer::Serve(Connection& c) {
    if (!c.out.empty()) Flush(c);
    std::uint8_t buffer[kReadChunk];
    const ssize_t n = ::recv(c.fd.Get(), buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        c.done = true;
        return;
    }
    if (n < 0 || c.closeBy != Clock::time_point::max()) return; // a closing connection takes no more
    const hartip::Verdict v =
        c.decoder.Feed(std::span(buffer, static_cast<std::size_t>(n)), [&](const hartip::Message& m) {
            if (c.done || c.closeBy != Clock::time_point::max()) return;
            hartip::MessageBytes out;
            const Outcome o = Handle(c.peer, m, Clock::now(), out);
            if (o.answer) {
                Count(out);
                if (c.out.size() + out.size > kMaxQueued) {
                    c.done = true; // it does not read its answers
                    return;
                }
                c.out.append(reinterpret_cast<const char*>(out.bytes.data()), out.size);
            }
            if (o.close) c.closeBy = Clock::now() + kClosingLimit;
        });
    if (v != hartip::Verdict::Ok) c.done = true; // the stream's framing is lost
    Flush(c);
}

void HartIpServer::Flush(Connection& c) {
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd.Get(), c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c.done = true;
            return;
        }
        c.out.erase(0, static_cast<std::size_t>(n));
    }
    if (c.closeBy != Clock::time_point::max()) c.done = true; // its last answer is out
}

// An answer that was held (a line's reply): to its TCP connection or UDP client, if still there.
void HartIpServer::Deliver(const std::string& peer, const hartip::MessageBytes& out) {
    Count(out);
    if (peer.starts_with(kUdpPeer)) {
        sockaddr_storage to{};
        const std::size_t n = std::min(peer.size() - 1, sizeof to);
        std::memcpy(&to, peer.data() + 1, n);
        ::sendto(udp_, out.bytes.data(), out.size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to),
                 static_cast<socklen_t>(n));
        return;
    }
    for (Connection& c : connections_) {
        if (c.peer != peer || c.done || c.closeBy != Clock::time_point::max()) continue;
        if (c.out.size() + out.size > kMaxQueued) {
            c.done = true;
            return;
        }
        c.out.append(reinterpret_cast<const char*>(out.bytes.data()), out.size);
        Flush(c);
    }
}

// After a reload: the connections and sessions of clients no longer allowed end.
void HartIpServer::EndRefused() {
    for (Connection& c : connections_)
        if (!Allowed(c.client)) c.done = true; // forgotten by the loop
    for (Session& s : sessions_)
        if (const auto client = ClientOf(s.peer); !s.peer.empty() && client && !Allowed(*client))
            Forget(std::string(s.peer));
    std::erase_if(sessions_, [](const Session& s) { return s.peer.empty(); });
}

std::optional<std::array<std::uint8_t, 16>> HartIpServer::ClientOf(const std::string& peer) const {
    if (peer.starts_with(kUdpPeer)) {
        sockaddr_storage a{};
        std::memcpy(&a, peer.data() + 1, std::min(peer.size() - 1, sizeof a));
        return ClientBytes(a);
    }
    for (const Connection& c : connections_)
        if (c.peer == peer) return c.client;
    return std::nullopt;
}

} // namespace tarvik::gateway
