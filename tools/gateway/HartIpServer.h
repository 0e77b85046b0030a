// The HART-IP server of the gateway: TCP and UDP on one address and port, one thread with an
// event loop over non-blocking sockets, so that a slow, silent or malicious client holds at most
// its own slot. A host opens a session (session initiate), keeps it with any message (keep-alive
// when it has nothing else to say) and closes it; a session silent for its inactivity time is
// ended (on TCP the connection closes). Nothing but session initiate is served without a session.
// Pass-through requests to the gateway itself (polling address 0 or its long address) are
// answered by GatewayDevice, or as an I/O system (74, 75, 77, 84: HartIpIo.h); long frames to a
// sub-device's unique ID go to the line that holds it (HartIpRoute.cpp). A line's reply is held
// until it comes (the loop goes on serving meanwhile); a request the line cannot take in time is
// answered busy, one the device does not answer "delayed response dead" (docs/hartip.md).
// Memory is bounded: at most max_sessions sessions, twice as many TCP connections, one message of
// input and a few of output per connection, kMaxCallsPerSession line calls per session.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Config.h"
#include "HartIpDevice.h"
#include "HartIpIo.h"
#include "HartIpLines.h"
#include "Metrics.h"
#include "hartip/Message.h"

namespace tarvik::gateway {

class HartIpServer {
public:
    using Clock = std::chrono::steady_clock;
    // The bounds of a session's inactivity time; a request outside them is answered with the
    // nearest bound and status 8.
    static constexpr std::uint32_t kMinInactivityMs = 1000;
    static constexpr std::uint32_t kMaxInactivityMs = 3600 * 1000;
    // A TCP connection that opens no session within this time is closed.
    static constexpr auto kNoSessionLimit = std::chrono::seconds(10);
    // Answers waiting for a client that does not read: beyond this the connection is closed.
    static constexpr std::size_t kMaxQueued = 4 * hartip::kMaxMessage;
    static constexpr int kConnectionsPerSession = 2;
    // Line calls a session may have waiting; more are answered busy at once.
    static constexpr std::size_t kMaxCallsPerSession = 4;
    // How long a call may wait for its line before it is given up (answered busy, never sent):
    // within the few seconds a host waits, with the device's own time-outs on top.
    static constexpr auto kLineWaitLimit = std::chrono::seconds(3);
    // The master's further tries on a line (command 74 reports them).
    static constexpr std::uint8_t kLineRetries = 2;

    // Sub-devices are reached through `lines` (none: the gateway alone is served); `metrics` may
    // be null.
    explicit HartIpServer(const HartIpConfig& config, HartIpLines* lines = nullptr,
                          Metrics* metrics = nullptr);
    ~HartIpServer();
    HartIpServer(const HartIpServer&) = delete;
    HartIpServer& operator=(const HartIpServer&) = delete;

    // Binds TCP and UDP on the configured address (port 0: a free port for both); the port, or -1
    // with `error`.
    int Listen(std::string& error);
    void Start();
    void Stop(); // at once, whatever the clients do
    // A new [hartip] section (its listen address takes effect at the next start) and the gateway's
    // device list read again; sessions of clients still allowed stay. From any thread.
    void Reload(const HartIpConfig& config);
    // The HART-IP part of /health: {"listen": ..., "sessions": n, "max_sessions": m}.
    std::string HealthJson() const;

    // What one message from a peer leads to (the protocol without sockets; the loop calls it).
    struct Outcome {
        bool answer = false; // `out` holds an answer to send
        bool close = false;  // the TCP connection ends after the answer
    };
    // `peer` names a TCP connection or a UDP client address.
    Outcome Handle(const std::string& peer, const hartip::Message& m, Clock::time_point now,
                   hartip::MessageBytes& out);
    // Ends the sessions silent for their inactivity time; returns their peers.
    std::vector<std::string> Expire(Clock::time_point now);
    // Forgets the session of a peer that went away.
    void Forget(const std::string& peer);
    std::size_t Sessions() const;
    // Answers of line calls that came, and calls given up; their answers go to `deliver`.
    void Complete(Clock::time_point now,
                  const std::function<void(const std::string& peer, const hartip::MessageBytes&)>& deliver);

private:
    // Reads the gateway's device list again and asks every device not yet known for its identity
    // and long tag, one call at a time per line (at start and after a reload).
    void Discover();
    void StartDiscovery(Clock::time_point now);
    struct Session {
        std::string peer; // empty: free
        std::uint8_t master = hartip::kMasterPrimary;
        Clock::duration inactivity{};
        Clock::time_point last{};
    };
    struct Connection;
    enum class Route { Direct, Poll, Sub, Discover, DiscoverTag };
    struct Pending {
        std::string peer; // empty: the gateway's own (discovery)
        hartip::Header header;
        hart::Frame request;
        Route route = Route::Direct;
        SubCommand sub;
        std::string device; // its name, for the write log
        bool write = false;
        std::shared_ptr<LineCall> call;
        Clock::time_point deadline;
    };
    // Wakes the loop when a line call finished; outlives the server while calls hold it.
    struct Waker {
        std::mutex mutex;
        int fd = -1;
        void Wake();
    };
    Session* Find(const std::string& peer);
    // A connection without a session that is not closing: it has kNoSessionLimit to open one.
    bool Waiting(const Connection& c) const;
    Outcome Initiate(const std::string& peer, const hartip::Message& m, Clock::time_point now,
                     hartip::MessageBytes& out);
    Outcome PassThrough(const std::string& peer, const hartip::Message& m, Clock::time_point now,
                        hartip::MessageBytes& out);
    Outcome IoCommand(const std::string& peer, const hartip::Message& m, const hart::Frame& request,
                      Clock::time_point now, hartip::MessageBytes& out);
    Outcome ToSubDevice(const std::string& peer, const hartip::Message& m, const hart::Frame& request,
                        Clock::time_point now, hartip::MessageBytes& out);
    // Hands a call to its line; false (nothing queued) when the session or the line has no room.
    bool Defer(const Pending& p, int port, const hart::Address& address, hart::Master master,
               std::uint8_t command, std::vector<std::uint8_t> data, Clock::time_point deadline);
    void AnswerPending(const Pending& p, const LineReply* reply, hartip::MessageBytes& out);
    void Learn(const Pending& p, const LineReply& reply);
    void LogWrite(const Pending& p, std::string_view result);
    std::optional<std::array<std::uint8_t, 16>> ClientOf(const std::string& peer) const;
    bool Allowed(const std::array<std::uint8_t, 16>& client) const;
    bool MayWrite(const std::string& peer) const;
    void Refused(const std::string& client);
    void Count(const hartip::MessageBytes& out);
    void ApplyReload();
    void EndRefused();
    Clock::time_point NextDeadline() const;
    void Run();
    void Accept();
    void ReceiveDatagrams();
    void Serve(Connection& c);
    void Flush(Connection& c);
    void Deliver(const std::string& peer, const hartip::MessageBytes& out);

    HartIpConfig config_;
    HartIpLines* lines_ = nullptr;
    Metrics* metrics_ = nullptr;
    GatewayDevice device_;
    IoSystem io_;
    std::vector<Session> sessions_;
    std::vector<Connection> connections_;
    std::vector<Pending> pending_;
    std::shared_ptr<Waker> waker_ = std::make_shared<Waker>();
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> open_{0}; // sessions, for /health
    std::atomic<int> max_{0};
    std::vector<std::pair<int, hart::Address>> toDiscover_; // port and address of devices not yet asked
    std::string listen_;                                    // "host:port" once bound
    mutable std::mutex reloadMutex_;
    std::optional<HartIpConfig> reload_;
    Clock::time_point lastRefusalLog_{};
    std::uint64_t refusedUnlogged_ = 0;
    int tcp_ = -1, udp_ = -1;
    int wake_[2] = {-1, -1};
    std::uint64_t nextConnection_ = 1;
    std::thread thread_;
};

} // namespace tarvik::gateway
