// The gateway's HART-IP server over real sockets on free loopback ports: sessions on TCP and UDP,
// their statuses and limits, the gateway as a HART device, bad clients; its [hartip] section; and
// one running gateway reached by a host.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "Config.h"
#include "Harness.h"
#include "HartIpServer.h"
#include "hart/Status.h"
#include "hart/Universal.h"
#include "hartip/Stream.h"

namespace {

using namespace tarvik;
using namespace tarvik::hartip;
using gateway::HartIpServer;
using Bytes = std::vector<std::uint8_t>;

constexpr int kWaitMs = 5000; // for an answer; the server answers at once
constexpr std::uint32_t kTestDeviceId = 0x00002A;

// A HART-IP host over TCP or UDP.
class Host {
public:
    Host(int port, bool tcp) : tcp_(tcp) {
        fd_ = ::socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Host() { ::close(fd_); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    bool Connected() const { return connected_; }

    void SendRaw(const Bytes& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    void Send(std::uint8_t id, const Bytes& body, std::uint16_t sequence, std::uint8_t version = kVersion) {
        MessageBytes m;
        Header h;
        h.version = version;
        h.id = id;
        h.sequence = sequence;
        Build(h, body, m);
        SendRaw(Bytes(m.Bytes().begin(), m.Bytes().end()));
    }
    // The next message, or nothing when none came (or the server closed the connection).
    std::optional<Message> Receive(int waitMs = kWaitMs) {
        std::optional<Message> got;
        while (!got) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, waitMs) <= 0) return std::nullopt;
            std::uint8_t buffer[kMaxMessage + 16];
            const ssize_t n = ::recv(fd_, buffer, tcp_ ? 1 : sizeof buffer, 0); // TCP: a byte at a time
            if (n <= 0) {
                closed_ = tcp_;
                return std::nullopt;
            }
            const std::span<const std::uint8_t> bytes(buffer, static_cast<std::size_t>(n));
            if (!tcp_) {
                Message m;
                if (DecodeDatagram(bytes, m) == Verdict::Ok) got = m;
                continue;
            }
            stream_.Feed(bytes, [&](const Message& m) { got = m; });
        }
        return got;
    }
    std::optional<Message> Ask(std::uint8_t id, const Bytes& body, std::uint16_t sequence) {
        Send(id, body, sequence);
        return Receive();
    }
    // Whether the server closed the connection (waits for it).
    bool Closed(int waitMs = kWaitMs) {
        while (!closed_ && Receive(waitMs)) {
        }
        return closed_;
    }

private:
    int fd_ = -1;
    bool tcp_, connected_ = false, closed_ = false;
    StreamDecoder stream_;
};

Bytes Initiate(std::uint8_t master, std::uint32_t ms) {
    const auto b = EncodeSessionInitiate({master, ms});
    return Bytes(b.begin(), b.end());
}

Bytes Request(const hart::Address& to, std::uint8_t command, const Bytes& data = {}) {
    hart::FrameBytes f;
    hart::BuildRequest(to, hart::Master::Primary, command, data, 0, f);
    return Bytes(f.Bytes().begin(), f.Bytes().end());
}

// A server on a free port of its own, running for the test.
struct Server {
    explicit Server(int maxSessions = 8) {
        gateway::HartIpConfig c;
        c.enabled = true;
        c.port = 0;
        c.maxSessions = maxSessions;
        c.tag = "lab-gw-7";
        c.deviceId = kTestDeviceId;
        server = std::make_unique<HartIpServer>(c);
        std::string error;
        port = server->Listen(error);
        EXPECT_GT(port, 0) << error;
        server->Start();
    }
    std::unique_ptr<HartIpServer> server;
    int port = -1;
};

hart::Address GatewayLong() {
    return hart::Address::Long({0xE1, 0xA7, 0x00, 0x00, 0x2A});
}

} // namespace

TEST(HartIpServer, ASessionOnTcpAndTheRequestsItServes) {
    Server s;
    Host host(s.port, true);
    ASSERT_TRUE(host.Connected());
    // Nothing but session initiate before a session.
    for (std::uint8_t id : {kIdKeepAlive, kIdPassThrough, kIdSessionClose}) {
        const auto m =
            host.Ask(id, id == kIdPassThrough ? Request(hart::Address::Polling(0), 0) : Bytes{}, 40);
        ASSERT_TRUE(m) << int(id);
        EXPECT_EQ(m->header.type, kTypeError) << int(id);
        EXPECT_EQ(m->header.sequence, 40);
        EXPECT_EQ(Bytes(m->Body().begin(), m->Body().end()), Bytes{kErrorSessionClosed});
    }
    auto m = host.Ask(kIdSessionInitiate, Initiate(kMasterPrimary, 30000), 1);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->header, (Header{kVersion, kTypeResponse, kIdSessionInitiate, kStatusSuccess, 1, 13}));
    EXPECT_EQ(DecodeSessionInitiate(m->Body()), (SessionInitiate{kMasterPrimary, 30000}));
    m = host.Ask(kIdSessionInitiate, Initiate(kMasterSecondary, 5000), 2); // a second one on the connection
    ASSERT_TRUE(m);
    EXPECT_EQ(m->header.status, kStatusSessionExists);
    EXPECT_EQ(DecodeSessionInitiate(m->Body()), (SessionInitiate{kMasterPrimary, 30000}));

    const struct {
        const char* what;
        std::uint8_t id, version;
        Bytes body;
        std::uint8_t type, status;
        std::uint8_t command, responseCode; // of the HART reply in a pass-through
        std::size_t data;                   // its data bytes after the status bytes
    } cases[] = {
        {"keep-alive", kIdKeepAlive, kVersion, {}, kTypeResponse, kStatusSuccess, 0, 0, 0},
        {"command 0 at polling address 0", kIdPassThrough, kVersion, Request(hart::Address::Polling(0), 0),
         kTypeResponse, kStatusSuccess, 0, hart::kRcSuccess, hart::kIdentityRev7Bytes},
        {"command 12", kIdPassThrough, kVersion, Request(GatewayLong(), 12), kTypeResponse, kStatusSuccess,
         12, hart::kRcSuccess, hart::kPackedMessageBytes},
        {"command 13", kIdPassThrough, kVersion, Request(GatewayLong(), 13), kTypeResponse, kStatusSuccess,
         13, hart::kRcSuccess, hart::kTagDescriptorDateBytes},
        {"command 20", kIdPassThrough, kVersion, Request(GatewayLong(), 20), kTypeResponse, kStatusSuccess,
         20, hart::kRcSuccess, hart::kLongTagChars},
        {"command 38", kIdPassThrough, kVersion, Request(GatewayLong(), 38), kTypeResponse, kStatusSuccess,
         38, hart::kRcSuccess, 2},
        {"command 48", kIdPassThrough, kVersion, Request(GatewayLong(), 48), kTypeResponse, kStatusSuccess,
         48, hart::kRcSuccess, 9},
        {"command 3 (not the gateway's)", kIdPassThrough, kVersion, Request(GatewayLong(), 3), kTypeResponse,
         kStatusSuccess, 3, hart::kRcNotImplemented, 0},
        {"another polling address", kIdPassThrough, kVersion, Request(hart::Address::Polling(5), 0),
         kTypeResponse, kStatusUnknownDevice, 0, 0, 0},
        {"another long address", kIdPassThrough, kVersion,
         Request(hart::Address::Long({0xE1, 0xA7, 0, 0, 0x2B}), 0), kTypeResponse, kStatusUnknownDevice, 0, 0,
         0},
        {"a PDU cut short",
         kIdPassThrough,
         kVersion,
         {0x82, 0xA1, 0xA7},
         kTypeResponse,
         kStatusTooFewBytes,
         0,
         0,
         0},
        {"a message id of a later version", 9, kVersion, {}, kTypeNak, kStatusNotImplemented, 0, 0, 0},
        {"version 2", kIdKeepAlive, 2, {}, kTypeResponse, kStatusVersionNotSupported, 0, 0, 0},
    };
    std::uint16_t sequence = 0xFFF0;
    for (const auto& c : cases) {
        host.Send(c.id, c.body, ++sequence, c.version);
        m = host.Receive();
        ASSERT_TRUE(m) << c.what;
        EXPECT_EQ(m->header.type, c.type) << c.what;
        EXPECT_EQ(m->header.id, c.id) << c.what;
        EXPECT_EQ(m->header.status, c.status) << c.what;
        EXPECT_EQ(m->header.sequence, sequence) << c.what;
        if (c.type != kTypeResponse || c.id != kIdPassThrough || c.status != kStatusSuccess) {
            EXPECT_EQ(m->bodySize, 0u) << c.what;
            continue;
        }
        hart::Frame reply;
        ASSERT_TRUE(DecodePdu(m->Body(), reply)) << c.what;
        EXPECT_TRUE(reply.checksumOk) << c.what;
        EXPECT_EQ(reply.type, hart::FrameType::Reply) << c.what;
        EXPECT_EQ(reply.command, c.command) << c.what;
        EXPECT_EQ(reply.ResponseCode(), c.responseCode) << c.what;
        EXPECT_EQ(reply.Data().size(), c.data) << c.what;
        if (c.command == 0) {
            const hart::Identity id = hart::DecodeIdentity(reply.Data());
            EXPECT_EQ(id.LongAddress(), GatewayLong());
        }
        if (c.command == 20) {
            EXPECT_EQ(hart::DecodeLongTag(reply.Data()), "lab-gw-7");
        }
        if (c.command == 13) {
            EXPECT_EQ(hart::DecodeTagDescriptorDate(reply.Data()).tag, "LAB-GW-7");
        }
    }
    m = host.Ask(kIdSessionClose, {}, 77);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->header, (Header{kVersion, kTypeResponse, kIdSessionClose, kStatusSuccess, 77, 8}));
    EXPECT_TRUE(host.Closed());
}

TEST(HartIpServer, InitiateStatuses) {
    Server s;
    const struct {
        const char* what;
        Bytes body;
        std::uint8_t status;
        std::optional<SessionInitiate> echoed;
    } cases[] = {
        {"secondary host", Initiate(kMasterSecondary, 2000), kStatusSuccess, SessionInitiate{0, 2000}},
        {"time below the bounds", Initiate(kMasterPrimary, 10), kStatusValueAdjusted,
         SessionInitiate{1, HartIpServer::kMinInactivityMs}},
        {"time above the bounds", Initiate(kMasterPrimary, 0xFFFFFFFF), kStatusValueAdjusted,
         SessionInitiate{1, HartIpServer::kMaxInactivityMs}},
        {"master type 2", Initiate(2, 2000), kStatusInvalidMasterType, SessionInitiate{2, 2000}},
        {"four bytes", {1, 0, 0, 7}, kStatusTooFewBytes, std::nullopt},
    };
    for (bool tcp : {true, false})
        for (const auto& c : cases) {
            Host host(s.port, tcp);
            const auto m = host.Ask(kIdSessionInitiate, c.body, 9);
            ASSERT_TRUE(m) << c.what;
            EXPECT_EQ(m->header.status, c.status) << c.what << (tcp ? " on TCP" : " on UDP");
            EXPECT_EQ(DecodeSessionInitiate(m->Body()), c.echoed) << c.what;
            if (c.status == kStatusSuccess || c.status == kStatusValueAdjusted) {
                EXPECT_EQ(host.Ask(kIdSessionClose, {}, 10)->header.status, kStatusSuccess) << c.what;
            }
        }
    // Version 2 is not spoken; the answer says which version is.
    Host host(s.port, true);
    host.Send(kIdSessionInitiate, Initiate(kMasterPrimary, 2000), 3, 2);
    const auto m = host.Receive();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->header.status, kStatusVersionNotSupported);
    EXPECT_EQ(m->header.version, kVersion);
}

TEST(HartIpServer, SessionsAreLimitedAndEndWhenSilent) {
    Server s(2);
    Host udp(s.port, false), first(s.port, true), second(s.port, true), third(s.port, true);
    ASSERT_EQ(udp.Ask(kIdSessionInitiate, Initiate(kMasterPrimary, 1000), 1)->header.status, kStatusSuccess);
    ASSERT_EQ(first.Ask(kIdSessionInitiate, Initiate(kMasterPrimary, 1000), 1)->header.status,
              kStatusSuccess);
    EXPECT_EQ(second.Ask(kIdSessionInitiate, Initiate(kMasterPrimary, 1000), 1)->header.status,
              kStatusAllSessionsInUse);
    // Silent for its inactivity time, the TCP session ends with its connection; the UDP session,
    // older, has ended too, and a slot is free again.
    EXPECT_TRUE(first.Closed(3 * kWaitMs));
    const auto m = udp.Ask(kIdKeepAlive, {}, 2);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->header.type, kTypeError);
    EXPECT_EQ(third.Ask(kIdSessionInitiate, Initiate(kMasterPrimary, 60000), 1)->header.status,
              kStatusSuccess);
}

TEST(HartIpServer, BadClientsNeverStopTheServer) {
    Server s(2);
    Host good(s.port, true);
    ASSERT_EQ(good.Ask(kIdSessionInitiate, Initiate(kMasterPrimary, 60000), 1)->header.status,
              kStatusSuccess);
    const Bytes keepAlive{0x01, 0x00, 0x02, 0x00, 0x00, 0x05, 0x00, 0x08};
    // A byte count beyond the maximum, or below the header: the stream's framing is lost.
    for (const Bytes& bad : {Bytes{0x01, 0x00, 0x02, 0x00, 0x00, 0x01, 0xFF, 0xFF},
                             Bytes{0x01, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x03}}) {
        Host host(s.port, true);
        host.SendRaw(bad);
        EXPECT_TRUE(host.Closed());
    }
    // Datagrams that are not one whole message get no answer; whole ones do.
    Host udp(s.port, false);
    for (const Bytes& bad : {Bytes{0x01, 0x00, 0x02}, Bytes{0x01, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x10},
                             Bytes{0x01, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x08, 0x00}}) {
        udp.SendRaw(bad);
        udp.SendRaw(keepAlive);
        const auto m = udp.Receive();
        ASSERT_TRUE(m);
        EXPECT_EQ(m->header.sequence, 5); // the answer to the whole one, not to the bad one
    }
    // Connections beyond twice the sessions are closed at once; one that says nothing is closed
    // in time. Messages split and joined across writes are answered meanwhile.
    std::vector<std::unique_ptr<Host>> crowd;
    for (int i = 0; i < 6; ++i)
        crowd.push_back(std::make_unique<Host>(s.port, true));
    EXPECT_TRUE(crowd.back()->Closed());
    Bytes two = keepAlive;
    two.insert(two.end(), keepAlive.begin(), keepAlive.end());
    good.SendRaw(Bytes(two.begin(), two.begin() + 5));
    good.SendRaw(Bytes(two.begin() + 5, two.end()));
    EXPECT_EQ(good.Receive()->header.status, kStatusSuccess);
    EXPECT_EQ(good.Receive()->header.status, kStatusSuccess);
    EXPECT_TRUE(crowd.front()->Closed(
        static_cast<int>(3 * HartIpServer::kNoSessionLimit / std::chrono::milliseconds(1))));
    EXPECT_EQ(good.Ask(kIdKeepAlive, {}, 6)->header.status, kStatusSuccess);
}

TEST(HartIpConfig, SectionDefaultsAndMistakes) {
    using gateway::ParseConfig;
    const std::string device = "[[device]]\nname = \"d\"\nkind = \"hart\"\nport = 6\npolling_address = 0\n";
    EXPECT_FALSE(ParseConfig(device, "t.toml").hartip.enabled);
    const auto on = ParseConfig("[hartip]\n" + device, "t.toml").hartip;
    EXPECT_TRUE(on.enabled);
    EXPECT_EQ(on.host, "127.0.0.1");
    EXPECT_EQ(on.port, kPort);
    EXPECT_EQ(on.maxSessions, 8);
    const auto set =
        ParseConfig("[hartip]\nlisten = \"0.0.0.0:15094\"\nmax_sessions = 3\ndevice_id = 0x10203\n" + device,
                    "t.toml")
            .hartip;
    EXPECT_EQ(set.host, "0.0.0.0");
    EXPECT_EQ(set.port, 15094);
    EXPECT_EQ(set.maxSessions, 3);
    EXPECT_EQ(set.deviceId, 0x10203u);
    const struct {
        std::string keys, error;
    } bad[] = {
        {"listen = \"5094\"\n", "hartip.listen: must be HOST:PORT"},
        {"listen = \"127.0.0.1:70000\"\n", "hartip.listen: must be HOST:PORT"},
        {"max_sessions = 1\n", "hartip.max_sessions: must be 2..64"},
        {"tag = \"\"\n", "hartip.tag: must be 1..32"},
        {"tag = \"" + std::string(33, 'x') + "\"\n", "hartip.tag: must be 1..32"},
        {"device_id = 0x1000000\n", "hartip.device_id: must be 1..16777215"},
        {"port = 5094\n", "hartip.port: unknown key"},
    };
    for (const auto& b : bad) {
        try {
            ParseConfig("[hartip]\n" + b.keys + device, "t.toml");
            ADD_FAILURE() << b.keys;
        } catch (const gateway::ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find(b.error), std::string::npos) << e.what();
        }
    }
}

TEST(HartIpGateway, AHostReachesTheRunningGatewayOnTcpAndUdp) {
    using namespace gwtest;
    TempDir dir;
    Broker broker(dir);
    const int port = FreePort();
    GatewayProcess gw(dir, dir.File("ports"),
                      MqttSection(broker.Port()) + "[hartip]\nlisten = \"127.0.0.1:" + std::to_string(port) +
                          "\"\ndevice_id = 42\n" + Device("mfc1", 3, 19200, "[\"flow\"]", 1.0));
    ASSERT_TRUE(
        WaitUntil([&] { return gw.Log().find("HART-IP at 127.0.0.1:") != std::string::npos; }, Seconds(20)))
        << gw.Log();
    for (bool tcp : {true, false}) {
        Host host(port, tcp);
        ASSERT_EQ(host.Ask(kIdSessionInitiate, Initiate(kMasterPrimary, 30000), 1)->header.status,
                  kStatusSuccess);
        const auto m = host.Ask(kIdPassThrough, Request(hart::Address::Polling(0), 0), 2);
        ASSERT_TRUE(m);
        hart::Frame reply;
        ASSERT_TRUE(DecodePdu(m->Body(), reply));
        EXPECT_EQ(hart::DecodeIdentity(reply.Data()).LongAddress(), GatewayLong());
    }
    EXPECT_EQ(gw.Proc().Stop(SIGTERM), 0);
}
