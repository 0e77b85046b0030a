// The HART-IP server of the gateway: TCP and UDP on one address and port, one thread with an
// event loop over non-blocking sockets, so that a slow, silent or malicious client holds at most
// its own slot. A host opens a session (session initiate), keeps it with any message (keep-alive
// when it has nothing else to say) and closes it; a session silent for its inactivity time is
// ended (on TCP the connection closes). Nothing but session initiate is served without a session.
// Pass-through requests to the gateway itself (polling address 0 or its long address) are
// answered by GatewayDevice. Memory is bounded: at most max_sessions sessions, twice as many TCP
// connections, one message of input and a few of output per connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Config.h"
#include "HartIpDevice.h"
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

    explicit HartIpServer(const HartIpConfig& config);
    ~HartIpServer();
    HartIpServer(const HartIpServer&) = delete;
    HartIpServer& operator=(const HartIpServer&) = delete;

    // Binds TCP and UDP on the configured address (port 0: a free port for both); the port, or -1
    // with `error`.
    int Listen(std::string& error);
    void Start();
    void Stop(); // at once, whatever the clients do

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

private:
    struct Session {
        std::string peer; // empty: free
        std::uint8_t master = hartip::kMasterPrimary;
        Clock::duration inactivity{};
        Clock::time_point last{};
    };
    struct Connection;
    Session* Find(const std::string& peer);
    // A connection without a session that is not closing: it has kNoSessionLimit to open one.
    bool Waiting(const Connection& c) const;
    Outcome Initiate(const std::string& peer, const hartip::Message& m, Clock::time_point now,
                     hartip::MessageBytes& out);
    void PassThrough(const hartip::Message& m, hartip::MessageBytes& out);
    Clock::time_point NextDeadline(const std::vector<Connection>& connections) const;
    void Run();
    void Accept(std::vector<Connection>& connections);
    void ReceiveDatagrams();
    void Serve(Connection& c);
    void Flush(Connection& c);

    HartIpConfig config_;
    GatewayDevice device_;
    std::vector<Session> sessions_;
    int tcp_ = -1, udp_ = -1;
    int wake_[2] = {-1, -1};
    std::uint64_t nextConnection_ = 1;
    std::thread thread_;
};

} // namespace tarvik::gateway
