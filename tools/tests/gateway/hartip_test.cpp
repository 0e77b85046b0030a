// The gateway's HART-IP server over real sockets on free loopback ports: sessions on TCP and UDP,
// their statuses and limits, the gateway as a HART device, bad clients; its [hartip] section; and
// one running gateway reached by a host.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>

#include <atomic>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "Config.h"
#include "Harness.h"
#include "HartIpCapture.h"
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
        {"allow = [\"10.0.0.0/33\"]\n", "hartip.allow: must be addresses or networks"},
        {"allow_writes = [\"gateway.local\"]\n", "hartip.allow_writes: must be addresses or networks"},
        {"allow = \"127.0.0.1\"\n", "hartip.allow: must be an array"},
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

TEST(HartIpAccess, AddressesAndNetworks) {
    using gateway::ParseAddress;
    using gateway::ParseNetwork;
    const struct {
        const char *network, *client;
        bool inside;
    } cases[] = {
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", "127.0.0.2", false},
        {"10.0.0.0/8", "10.200.3.4", true},
        {"10.0.0.0/8", "11.0.0.1", false},
        {"192.168.1.128/25", "192.168.1.200", true},
        {"192.168.1.128/25", "192.168.1.127", false},
        {"0.0.0.0/0", "203.0.113.9", true},
        {"0.0.0.0/0", "::1", false},
        {"::1", "::1", true},
        {"fd00::/8", "fd12::7", true},
        {"fd00::/8", "fe80::1", false},
        {"::ffff:10.0.0.0/104", "10.1.2.3", true},
    };
    for (const auto& c : cases) {
        const auto n = ParseNetwork(c.network);
        ASSERT_TRUE(n) << c.network;
        EXPECT_EQ(gateway::Contains({*n}, *ParseAddress(c.client)), c.inside) << c.network << " " << c.client;
    }
    for (const char* bad : {"", "10.0.0.0/", "10.0.0.0/33", "::/129", "10.0.0.0/8x", "host", "1.2.3"})
        EXPECT_FALSE(ParseNetwork(bad)) << bad;
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

namespace {

// A HART-IP host's view of the gateway in front of a simulated multidrop line (COM6, polling
// addresses 0..2; the gateway polls 0 and 1): one TCP session and the HART frames it exchanges.
class IoHost {
public:
    IoHost(int port, bool tcp = true) : host_(port, tcp) {
        EXPECT_EQ(host_.Ask(kIdSessionInitiate, Initiate(kMasterPrimary, 60000), ++sequence_)->header.status,
                  kStatusSuccess);
    }
    // The reply frame to `command` at `to`, or nothing (no answer, or not a pass-through response).
    std::optional<hart::Frame> Ask(const hart::Address& to, std::uint8_t command, const Bytes& data = {},
                                   std::uint8_t* status = nullptr) {
        const Bytes pdu = Request(to, command, data);
        const auto m = host_.Ask(kIdPassThrough, pdu, ++sequence_);
        if (!m || m->header.sequence != sequence_) return std::nullopt;
        MessageBytes request, answer;
        BuildRequest(kIdPassThrough, sequence_, pdu, request);
        Build(m->header, m->Body(), answer);
        exchanges_.emplace_back(testkit::Of(request), testkit::Of(answer));
        if (status) *status = m->header.status;
        hart::Frame f;
        if (!DecodePdu(m->Body(), f)) return std::nullopt;
        return f;
    }
    std::optional<hart::Frame> Gateway(std::uint8_t command, const Bytes& data = {}) {
        return Ask(hart::Address::Polling(0), command, data);
    }
    Host& Raw() { return host_; }
    // Every pass-through exchanged: the request's and the answer's bytes.
    const std::vector<std::pair<Bytes, Bytes>>& Exchanges() const { return exchanges_; }

private:
    Host host_;
    std::vector<std::pair<Bytes, Bytes>> exchanges_;
    std::uint16_t sequence_ = 0;
};

// Command 77 to card 0, channel 0: a short or long frame for the sub-device.
Bytes Sub(const hart::Address& to, std::uint8_t command, const Bytes& data = {}, std::uint8_t card = 0) {
    Bytes b = {card, 0, 5};
    const Bytes frame = Request(to, command, data);
    b.insert(b.end(), frame.begin(), frame.end() - 1); // no checksum inside 77
    return b;
}

std::string HartIpGatewayConfig(int port, const std::string& access) {
    return gwtest::MqttSection(gwtest::FreePort()) +
           "[hartip]\nlisten = \"127.0.0.1:" + std::to_string(port) + "\"\n" + access +
           "[[device]]\nname = \"t0\"\nkind = \"hart\"\nport = 6\npolling_address = 0\ninterval = 0.5\n"
           "[[device]]\nname = \"t1\"\nkind = \"hart\"\nport = 6\npolling_address = 1\ninterval = 0.5\n";
}

// The request of `command` to `unique` as the simulator logs it (hex after the preambles).
std::string OnTheLine(const hart::Address& unique, std::uint8_t command) {
    hart::FrameBytes f;
    hart::BuildRequest(unique, hart::Master::Primary, command, {}, 0, f);
    std::string hex;
    for (std::size_t i = 0; i < 1 + hart::kLongAddressSize + 1; ++i)
        hex += fmt::format("{}{:02X}", i ? " " : "", f.bytes[i]);
    return hex;
}

// An independent decoder (tshark's HART-IP dissector) reads the exchanges as the test did: header
// fields, command numbers and response codes, and nothing malformed or unexpected.
void DecodedByTshark(const std::vector<std::pair<Bytes, Bytes>>& exchanges) {
    using testkit::Output;
    if (Output("command -v tshark").empty()) return; // the codec's own tshark test says it is missing
    gwtest::TempDir dir;
    const std::string path = dir.File("io.pcap");
    testkit::Capture capture;
    capture.Tcp(true, {}, 0x02);
    capture.Tcp(false, {}, 0x12);
    capture.Tcp(true, {}, 0x10);
    std::string expected;
    for (const auto& [request, answer] : exchanges) {
        capture.Tcp(true, request);
        capture.Tcp(false, answer);
        for (const Bytes* b : {&request, &answer}) {
            Message m;
            ASSERT_EQ(DecodeDatagram(*b, m), Verdict::Ok);
            hart::Frame f;
            const bool pdu = DecodePdu(m.Body(), f);
            std::string code =
                pdu && f.type == hart::FrameType::Reply ? std::to_string(f.ResponseCode()) : "";
            // A 77 reply holds the sub-device's reply (card, channel, delimiter, address, command,
            // count, response code): its response code follows the gateway's.
            const auto d = f.Data();
            if (!code.empty() && f.command == gateway::kCmdSubDeviceCommand && d.size() > 2) {
                const std::size_t at = (d[2] & hart::kLongFrameBit) ? 10 : 6;
                if (d.size() > at) code += "," + std::to_string(d[at]);
            }
            expected += fmt::format("{}\t{}\t{}\t{}\t{}\n", m.header.type, m.header.status, m.header.sequence,
                                    pdu ? std::to_string(f.command) : "", code);
        }
    }
    ASSERT_TRUE(capture.Save(path));
    const std::string tshark = "tshark -n -r " + path + " -d tcp.port==5094,hart_ip ";
    const std::string fields = Output(
        tshark + "-Y hart_ip -T fields -E separator=/t -e hart_ip.message_type -e hart_ip.status "
                 "-e hart_ip.transaction_id -e hart_ip.pt.command -e hart_ip.pt.response_code 2>/dev/null");
    // Requests have no response code (the dissector reads an embedded request's first data byte as
    // one): that column counts for answers only.
    std::string seen;
    std::istringstream lines(fields);
    for (std::string line; std::getline(lines, line);)
        seen += (line.starts_with("0\t") ? line.substr(0, line.rfind('\t') + 1) : line) + "\n";
    EXPECT_EQ(seen, expected);
    const std::string verbose = Output(tshark + "-V 2>&1");
    EXPECT_EQ(verbose.find("Malformed"), std::string::npos) << verbose;
    EXPECT_EQ(verbose.find("Unexpected"), std::string::npos) << verbose;
}

} // namespace

// The I/O system end to end: 74, 84 (identities the gateway read itself), 77 and 75 by card and
// channel, long frames by unique ID, a missing sub-device, a refused write that never reaches the
// line, a flood that leaves another session and polling served, and a reload that lets writes
// through and then refuses the client.
TEST(HartIpGateway, AnIoSystemInFrontOfAMultidropLine) {
    using namespace gwtest;
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim({"--transmitter", "6:19200x3"},
                  {.dir = ports, .log = dir.File("sim.log"), .verbose = true, .lineTiming = true});
    ASSERT_TRUE(sim.Ready({6}));
    const int port = FreePort();
    GatewayProcess gw(dir, ports, HartIpGatewayConfig(port, "allow = [\"127.0.0.1\"]\n"));
    ASSERT_TRUE(WaitUntil([&] { return gw.Log().find("HART-IP at") != std::string::npos; }, Seconds(20)))
        << gw.Log();
    IoHost host(port);

    const auto caps = host.Gateway(gateway::kCmdIoCapabilities);
    ASSERT_TRUE(caps);
    EXPECT_EQ(Bytes(caps->Data().begin(), caps->Data().begin() + 5),
              (Bytes{1, 1, 64, 0, 3})); // cards .. detected
    // The gateway asks its devices who they are: 84 then names them by their unique IDs.
    std::array<hart::Address, 3> unique{};
    for (std::uint8_t i : {1, 2}) {
        ASSERT_TRUE(WaitUntil(
            [&] {
                const auto s = host.Gateway(gateway::kCmdSubDeviceSummary, {0, i});
                if (!s || s->ResponseCode() != 0 || s->Data().size() < 11 || s->Data()[10] != i) return false;
                const auto d = s->Data();
                unique[i - 1u] =
                    hart::Address::Long({static_cast<std::uint8_t>(d[6] & 0x3F), d[7], d[8], d[9], d[10]});
                return true;
            },
            Seconds(20)))
            << i;
    }
    EXPECT_EQ(host.Gateway(gateway::kCmdSubDeviceSummary, {0, 9})->ResponseCode(), hart::kRcInvalidSelection);

    // 77 by card/channel, 75 (finds the unconfigured third device), long frames by unique ID.
    const auto sub = host.Gateway(gateway::kCmdSubDeviceCommand, Sub(hart::Address::Polling(1), 0));
    ASSERT_TRUE(sub && sub->ResponseCode() == 0);
    const auto embedded = sub->Data();
    ASSERT_GE(embedded.size(), 8u);
    EXPECT_EQ(embedded[2], hart::kDelimiterShortReply);
    EXPECT_EQ(embedded[4], 0); // command
    EXPECT_EQ(hart::DecodeIdentity(embedded.subspan(8)).LongAddress(), unique[1]);
    EXPECT_EQ(
        host.Gateway(gateway::kCmdSubDeviceCommand, Sub(hart::Address::Polling(1), 0, {}, 1))->ResponseCode(),
        hart::kRcInvalidSelection);
    const auto polled = host.Gateway(gateway::kCmdPollSubDevice, {0, 0, 2});
    ASSERT_TRUE(polled && polled->ResponseCode() == 0);
    unique[2] = hart::DecodeIdentity(polled->Data()).LongAddress();
    EXPECT_EQ(host.Gateway(gateway::kCmdIoCapabilities)->Data()[4], 4); // detected: the third counts now
    for (const auto& u : unique) {
        const auto tag = host.Ask(u, hart::kCmdReadTagDescriptorDate);
        ASSERT_TRUE(tag);
        EXPECT_EQ(tag->DeviceAddress(), u);
        EXPECT_EQ(tag->ResponseCode(), 0);
        EXPECT_EQ(hart::DecodeTagDescriptorDate(tag->Data()).tag.substr(0, 4), "TT-6");
    }
    std::uint8_t status = 0;
    host.Ask(hart::Address::Long({0x26, 0x66, 9, 9, 9}), 0, {}, &status);
    EXPECT_EQ(status, kStatusUnknownDevice);
    // Nobody at polling address 5: an answer says so, in the time a host waits.
    EXPECT_EQ(host.Gateway(gateway::kCmdSubDeviceCommand, Sub(hart::Address::Polling(5), 0))->ResponseCode(),
              35);

    // A write from a client not on allow_writes: refused, logged, and nothing on the line.
    const Bytes message(24, 0x82);
    EXPECT_EQ(host.Ask(unique[1], hart::kCmdWriteMessage, message)->ResponseCode(),
              hart::kRcAccessRestricted);
    EXPECT_EQ(host.Gateway(gateway::kCmdSubDeviceCommand, Sub(unique[1], hart::kCmdWriteMessage, message))
                  ->ResponseCode(),
              hart::kRcAccessRestricted);
    EXPECT_EQ(Said(ReadFile(dir.File("sim.log")), OnTheLine(unique[1], hart::kCmdWriteMessage)), 0u);
    EXPECT_EQ(Said(gw.Log(), "HART-IP command 17 to t1: refused"), 2u) << gw.Log();
    DecodedByTshark(host.Exchanges());

    // One client floods the line; another session's requests and the polls go on.
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        IoHost a(port);
        for (std::uint16_t sequence = 100; flooding;) {
            for (int i = 0; i < 8; ++i) // more than a session may have waiting: some answered busy
                a.Raw().Send(kIdPassThrough,
                             Request(hart::Address::Polling(0), gateway::kCmdSubDeviceCommand,
                                     Sub(hart::Address::Polling(0), 3)),
                             ++sequence);
            for (int i = 0; i < 8; ++i)
                a.Raw().Receive();
        }
    });
    const std::string polls = "tarvik_polls_total{device=\"t1\",result=\"ResultOk\"}";
    const double before = gw.Metric(polls);
    {
        IoHost b(port, false);
        for (int i = 0; i < 5; ++i) {
            const auto r = b.Gateway(gateway::kCmdSubDeviceCommand, Sub(hart::Address::Polling(1), 1));
            ASSERT_TRUE(r);
            EXPECT_EQ(r->ResponseCode(), 0) << i;
        }
    }
    EXPECT_TRUE(WaitUntil([&] { return gw.Metric(polls) >= before + 2; }, Seconds(20)));
    flooding = false;
    flood.join();

    // Writes allowed for this client: the session stays, the write reaches the device and the log.
    dir.Write("gw.toml",
              HartIpGatewayConfig(port, "allow = [\"127.0.0.1\"]\nallow_writes = [\"127.0.0.0/8\"]\n"));
    ::kill(gw.Proc().Pid(), SIGHUP);
    ASSERT_TRUE(WaitUntil([&] { return Said(gw.Log(), "reloaded") == 1; }, Seconds(20))) << gw.Log();
    EXPECT_EQ(host.Ask(unique[1], hart::kCmdWriteMessage, message)->ResponseCode(), 0);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return Said(ReadFile(dir.File("sim.log")), OnTheLine(unique[1], hart::kCmdWriteMessage)) == 1;
        },
        Seconds(10)));
    EXPECT_EQ(Said(gw.Log(), "HART-IP command 17 to t1: response code 0 (from 127.0.0.1)"), 1u) << gw.Log();

    // This client no longer allowed: its session ends, a new connection is refused at once.
    dir.Write("gw.toml", HartIpGatewayConfig(port, "allow = [\"10.0.0.0/8\"]\n"));
    ::kill(gw.Proc().Pid(), SIGHUP);
    EXPECT_TRUE(host.Raw().Closed());
    Host refused(port, true);
    EXPECT_TRUE(refused.Closed());
    const std::string metrics = gw.Metrics();
    EXPECT_GE(MetricValue(metrics, "tarvik_hartip_refused_total{what=\"client\"}"), 1) << metrics;
    EXPECT_GE(MetricValue(metrics, "tarvik_hartip_refused_total{what=\"write\"}"), 2) << metrics;
    EXPECT_EQ(gw.Proc().Stop(SIGTERM), 0);
}
