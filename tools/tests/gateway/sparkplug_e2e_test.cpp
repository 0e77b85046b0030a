// The gateway as a Sparkplug B edge node, seen by a host on a real broker: every payload it
// publishes is decoded by an independent implementation (the npm package `sparkplug-payload`);
// commands are encoded with our own codec. And report by exception on the JSON topics.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "Harness.h"
#include "SparkplugPayload.h"

namespace {

using namespace gwtest;
using nlohmann::json;
namespace sp = tarvik::sparkplug;

const std::string kNode = "spBv1.0/plant/";

bool IsAny(const std::string&) {
    return true;
}

std::string SparkplugSection(const std::string& extra = "") {
    return "[sparkplug]\ngroup_id = \"plant\"\nedge_node_id = \"gw1\"\n" + extra;
}

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes)
        out.append(1, kDigits[c >> 4]).append(1, kDigits[c & 15]);
    return out;
}

struct Message {
    std::string topic, type; // "spBv1.0/plant/DDATA/gw1/mfc1", "DDATA"
    json payload;            // as the independent decoder reads it
};

// Every message of the client, decoded independently; empty when the decoder cannot run.
std::vector<Message> Decoded(Client& client, const TempDir& dir) {
    const auto all = client.Messages();
    {
        std::ofstream out(dir.File("payloads.hex"));
        for (const auto& [topic, payload] : all)
            out << (topic.starts_with(kNode) ? Hex(payload) : Hex("\n")) << "\n";
    }
    const ToolRun run = Shell("node " + Quoted(TARVIK_SPARKPLUG_DECODER) + " < " +
                              Quoted(dir.File("payloads.hex")) + " 2>&1");
    if (run.exit != 0) return {};
    std::vector<Message> decoded;
    std::istringstream lines(run.out);
    std::size_t i = 0;
    for (std::string line; std::getline(lines, line) && i < all.size(); ++i) {
        if (!all[i].first.starts_with(kNode)) continue; // a host's STATE
        const std::string rest = all[i].first.substr(kNode.size());
        const std::string type = rest.substr(0, rest.find('/'));
        if (type != "NCMD" && type != "DCMD")
            decoded.push_back({all[i].first, type, json::parse(line)}); // not the host's own
    }
    return decoded;
}

// A payload of our own codec holding one metric.
std::string Command(const std::string& name, sp::DataType type, sp::Value value) {
    sp::Payload p;
    p.timestamp = 1;
    sp::Metric m;
    m.name = name;
    m.datatype = type;
    m.value = std::move(value);
    p.metrics.push_back(m);
    return sp::Encode(p);
}

// Whether a payload (our decoding) has metric `name` with `value`.
bool Holds(const std::string& payload, const std::string& name, float value) {
    sp::Payload p;
    if (!sp::Decode(payload, p)) return false;
    for (const sp::Metric& m : p.metrics)
        if (m.name == name && std::holds_alternative<float>(m.value) && std::get<float>(m.value) == value)
            return true;
    return false;
}

std::uint64_t BdSeq(const json& payload) {
    for (const json& m : payload["metrics"])
        if (m["name"] == "bdSeq") return m["value"].get<std::uint64_t>();
    return 999;
}

// The rules every session keeps: topics, seq 0 at each NBIRTH and one more at every message (NDEATH
// has none), births complete, DDATA only for what changed, DDEATH and DBIRTH in turn per device.
void CheckSession(const std::vector<Message>& messages, const std::set<std::string>& devices) {
    const std::regex topic("spBv1\\.0/plant/(NBIRTH|NDATA|NDEATH|DBIRTH|DDATA|DDEATH)/gw1(/([a-z0-9]+))?");
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0].type, "NBIRTH");
    std::uint64_t seq = 0;
    std::map<std::string, json> last;        // device/metric -> value and Quality as last said
    std::map<std::string, std::string> said; // device -> DBIRTH or DDEATH
    for (const Message& m : messages) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(m.topic, parts, topic)) << m.topic;
        const std::string device = parts[3];
        EXPECT_EQ(m.type[0] == 'D', !device.empty()) << m.topic;
        EXPECT_TRUE(device.empty() || devices.count(device)) << m.topic;
        if (m.type == "NDEATH") {
            EXPECT_FALSE(m.payload.contains("seq")) << m.payload;
            continue;
        }
        const std::uint64_t expected = m.type == "NBIRTH" ? 0 : (seq + 1) % 256;
        EXPECT_EQ(m.payload.value("seq", json()), expected) << m.topic << " " << m.payload;
        seq = m.payload.value("seq", std::uint64_t{0});
        if (m.type == "NBIRTH") said.clear(); // every device is born anew
        if (m.type == "DBIRTH" || m.type == "DDEATH") {
            EXPECT_NE(said[device], m.type) << "two " << m.type << " in a row for " << device;
            said[device] = m.type;
        }
        for (const json& metric : m.payload.value("metrics", json::array())) {
            const std::string key = device + "/" + metric.value("name", "");
            EXPECT_TRUE(metric.contains("type") && metric.contains("value")) << m.topic << " " << metric;
            const json props = metric.value("properties", json::object());
            const json state = {metric.value("value", json()), props.value("Quality", json())};
            if (m.type == "DDATA" && !metric.value("isHistorical", false)) {
                EXPECT_NE(last[key], state) << "unchanged " << key << " in DDATA";
            }
            if (m.type == "DBIRTH" || m.type == "DDATA") last[key] = state;
            if (m.type == "DBIRTH") {
                EXPECT_TRUE(props.contains("Quality") && props.contains("readOnly")) << metric;
            }
        }
    }
}

TEST(Sparkplug, EdgeNodeSessionWritesRebirthAndDeviceOutage) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator flow(ports, {"--flow", "3:38400"}, dir.File("sim.log"));
    auto unit =
        std::make_unique<Simulator>(ports, std::vector<std::string>{"--readout", "5"}, dir.File("u.log"));
    ASSERT_TRUE(flow.Ready({3}) && unit->Ready({5}));
    Broker broker(dir);
    Client host(broker.Port(), "spBv1.0/#");
    ASSERT_TRUE(host.WaitSubscribed("spBv1.0/probe"));
    GatewayProcess gw(dir, ports,
                      MqttSection(broker.Port()) + SparkplugSection("json = false\n") +
                          Device("mfc1", 3, 38400, "[\"flow\", \"setpoint\"]", 0.2,
                                 "writable = true\nsetpoint_max = 80\n") +
                          "[[device]]\nname = \"unit\"\nkind = \"readout\"\nport = 5\nchannels = [1]\n"
                          "values = [\"pv\", \"sp\"]\ninterval = 0.2\noffline_after = 2\n");
    for (const char* t : {"DBIRTH/gw1/mfc1", "DBIRTH/gw1/unit"})
        ASSERT_TRUE(host.WaitFor(kNode + t, IsAny, Seconds(20))) << gw.Log();

    // Writes: the same write control as the JSON commands; only the allowed one is written.
    struct Case {
        std::string device, metric;
        float value;
        const char* refusal; // null: written and read back
    };
    const Case cases[] = {
        {"mfc1", "setpoint", 80.5f, "OutOfRange"},
        {"mfc1", "flow", 3, "UnknownCommand"},
        {"unit", "sp1", 5, "NotWritable"},
        {"mfc1", "setpoint", 62.5f, nullptr},
    };
    for (const Case& c : cases) {
        const std::size_t since = host.Count();
        host.Publish(kNode + "DCMD/gw1/" + c.device, Command(c.metric, sp::DataType::Float, c.value));
        if (c.refusal)
            EXPECT_TRUE(WaitUntil(
                [&] {
                    return Said(gw.Log(), "refused the DCMD write of " + c.device + "/" + c.metric + ": " +
                                              c.refusal) == 1;
                },
                Seconds(10)))
                << gw.Log();
        else
            EXPECT_TRUE(host.WaitFor(
                kNode + "DDATA/gw1/" + c.device,
                [&](const std::string& p) { return Holds(p, c.metric, c.value); }, Seconds(10), nullptr,
                since))
                << gw.Log();
    }
    EXPECT_TRUE(WaitUntil(
        [&] { return Said(gw.Log(), "write tarvik/mfc1/setpoint/set 62.5: ResultOk") == 1; }, Seconds(5)))
        << gw.Log();

    // A rebirth asked by the host: NBIRTH (seq 0, same bdSeq) and the DBIRTHs, no new connection.
    std::size_t since = host.Count();
    host.Publish(kNode + "NCMD/gw1", Command("Node Control/Rebirth", sp::DataType::Boolean, true));
    ASSERT_TRUE(host.WaitFor(kNode + "DBIRTH/gw1/unit", IsAny, Seconds(10), nullptr, since));

    // The unit unplugged and back: DDEATH, then a new DBIRTH.
    unit.reset();
    since = host.Count();
    ASSERT_TRUE(host.WaitFor(kNode + "DDEATH/gw1/unit", IsAny, Seconds(10), nullptr, since));
    unit = std::make_unique<Simulator>(ports, std::vector<std::string>{"--readout", "5"}, dir.File("u.log"));
    ASSERT_TRUE(unit->Ready({5}));
    ASSERT_TRUE(host.WaitFor(kNode + "DBIRTH/gw1/unit", IsAny, Seconds(10), nullptr, since));
    EXPECT_EQ(gw.Proc().Stop(SIGTERM), 0);
    ASSERT_TRUE(host.WaitFor(kNode + "NDEATH/gw1", IsAny, Seconds(5)));

    const std::vector<Message> messages = Decoded(host, dir);
    if (messages.empty())
        GTEST_SKIP() << "the independent decoder cannot run (node, npm ci in tools/tests/sparkplug)";
    CheckSession(messages, {"mfc1", "unit"});
    std::vector<std::uint64_t> births;
    for (const Message& m : messages)
        if (m.type == "NBIRTH" || m.type == "NDEATH") births.push_back(BdSeq(m.payload));
    EXPECT_EQ(births, (std::vector<std::uint64_t>{0, 0, 0})) << "NBIRTH, rebirth, NDEATH";
    // The set point is the one writable metric, with its range and unit.
    for (const Message& m : messages) {
        if (m.topic != kNode + "DBIRTH/gw1/mfc1") continue;
        for (const json& metric : m.payload["metrics"]) {
            const json& props = metric["properties"];
            EXPECT_EQ(props["readOnly"]["value"], metric["name"] != "setpoint") << metric;
            EXPECT_EQ(props["engUnit"]["value"], metric["name"] == "setpoint" ? "%" : "l/min") << metric;
        }
    }
}

TEST(Sparkplug, NdeathFromTheBrokerWhenKilledAndBdSeqPerConnection) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--flow", "3:38400"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({3}));
    const int port = FreePort();
    auto broker = std::make_unique<Broker>(dir, port);
    auto host = std::make_unique<Client>(port, "spBv1.0/#");
    ASSERT_TRUE(host->WaitSubscribed("spBv1.0/probe"));
    GatewayProcess gw(dir, ports,
                      MqttSection(port) + SparkplugSection() + Device("mfc1", 3, 38400, "[\"flow\"]", 0.2));
    std::string birth;
    ASSERT_TRUE(host->WaitFor(kNode + "NBIRTH/gw1", IsAny, Seconds(20), &birth)) << gw.Log();
    sp::Payload p;
    ASSERT_TRUE(sp::Decode(birth, p));
    EXPECT_EQ(p.metrics.at(0).value, sp::Value(std::uint64_t{0}));

    // A new connection: the next bdSeq, in the NBIRTH and in the will.
    host.reset();
    broker.reset();
    broker = std::make_unique<Broker>(dir, port);
    host = std::make_unique<Client>(port, "spBv1.0/#");
    ASSERT_TRUE(host->WaitSubscribed("spBv1.0/probe"));
    // The gateway may have been born again before the host came: a rebirth asked until it is.
    ASSERT_TRUE(WaitUntil(
        [&] {
            host->Publish(kNode + "NCMD/gw1", Command("Node Control/Rebirth", sp::DataType::Boolean, true));
            return host->WaitFor(kNode + "DBIRTH/gw1/mfc1", IsAny, Seconds(1));
        },
        Seconds(30)))
        << gw.Log();
    ::kill(gw.Proc().Pid(), SIGKILL);
    ASSERT_TRUE(host->WaitFor(kNode + "NDEATH/gw1", IsAny, Seconds(60)));
    std::vector<Message> messages = Decoded(*host, dir);
    if (messages.empty()) GTEST_SKIP() << "the independent decoder cannot run";
    while (!messages.empty() && messages.front().type != "NBIRTH")
        messages.erase(messages.begin());
    CheckSession(messages, {"mfc1"});
    EXPECT_EQ(BdSeq(messages.front().payload), 1u);
    EXPECT_EQ(messages.back().type, "NDEATH");
    EXPECT_EQ(BdSeq(messages.back().payload), 1u);
}

TEST(Sparkplug, PrimaryHostOfflineThenOnlineGetsTheKeptValuesAsHistorical) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--flow", "3:38400"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({3}));
    Broker broker(dir);
    Client host(broker.Port(), "spBv1.0/#");
    ASSERT_TRUE(host.WaitSubscribed("spBv1.0/probe"));
    const std::string state = "spBv1.0/STATE/scada";
    host.Publish(state, R"({"online": false, "timestamp": 1})", true);
    GatewayProcess gw(dir, ports,
                      MqttSection(broker.Port()) + SparkplugSection("primary_host = \"scada\"\n") +
                          Device("mfc1", 3, 38400, "[\"flow\", \"setpoint\"]", 0.1, "writable = true\n"));
    // Polling while the host is away; a set point written meanwhile (through JSON) is kept.
    ASSERT_TRUE(
        WaitUntil([&] { return gw.Metric("tarvik_polls_total{device=\"mfc1\",result=\"ResultOk\"}") > 4; },
                  Seconds(20)))
        << gw.Log();
    Client jsonClient(broker.Port(), "tarvik/#");
    jsonClient.Publish("tarvik/mfc1/setpoint/set", "40");
    ASSERT_TRUE(jsonClient.WaitFor(
        "tarvik/mfc1/setpoint", [](const std::string& p) { return json::parse(p)["value"] == 40; },
        Seconds(10)));
    EXPECT_FALSE(host.Has(kNode + "NBIRTH/gw1"));

    host.Publish(state, R"({"online": true, "timestamp": 2})", true);
    ASSERT_TRUE(host.WaitFor(kNode + "DBIRTH/gw1/mfc1", IsAny, Seconds(10)));
    ASSERT_TRUE(host.WaitFor(
        kNode + "DDATA/gw1/mfc1", [](const std::string& p) { return Holds(p, "setpoint", 40); },
        Seconds(10)));
    const std::vector<Message> messages = Decoded(host, dir);
    if (messages.empty()) GTEST_SKIP() << "the independent decoder cannot run";
    CheckSession(messages, {"mfc1"});
    // The kept values follow the births, oldest first, flagged; the set point's change among them.
    std::uint64_t before = 0;
    std::vector<double> setpoints;
    for (const Message& m : messages)
        for (const json& metric : m.payload["metrics"])
            if (metric.value("isHistorical", false)) {
                EXPECT_EQ(m.type, "DDATA");
                EXPECT_GE(metric["timestamp"].get<std::uint64_t>(), before);
                before = metric["timestamp"].get<std::uint64_t>();
                if (metric["name"] == "setpoint") setpoints.push_back(metric["value"].get<double>());
            }
    EXPECT_FALSE(setpoints.empty());
    EXPECT_EQ(setpoints.back(), 40);
}

// A steady value with a deadband and a heartbeat: far fewer messages than polls, the heartbeat on
// time, and a change beyond the deadband at once.
TEST(ReportByException, SteadyValueWithADeadbandAndAHeartbeat) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--flow", "3:38400"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({3}));
    Broker broker(dir);
    Client client(broker.Port(), "tarvik/#");
    constexpr double kHeartbeat = 2;
    GatewayProcess gw(dir, ports,
                      MqttSection(broker.Port()) +
                          Device("mfc1", 3, 38400, "[\"setpoint\"]", 0.05, "writable = true\n") +
                          "[report]\ndeadband_percent = 1\nmax_interval = 2\n");
    const std::string topic = "tarvik/mfc1/setpoint";
    ASSERT_TRUE(WaitUntil([&] { return client.All(topic).size() >= 4; }, Seconds(30))) << gw.Log();
    const double polls = gw.Metric("tarvik_polls_total{device=\"mfc1\",result=\"ResultOk\"}");
    const std::vector<std::string> beats = client.All(topic);
    EXPECT_GE(polls, 10.0 * static_cast<double>(beats.size() - 1)) << beats.size() << " messages";
    const auto time = [](const std::string& p) {
        std::tm tm{};
        double seconds = 0;
        const std::string t = json::parse(p)["time"];
        std::sscanf(t.c_str(), "%d-%d-%dT%d:%d:%lfZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &seconds);
        return static_cast<double>(tm.tm_hour * 3600 + tm.tm_min * 60) + seconds;
    };
    const auto good = [](const std::string& p) { return json::parse(p)["quality"] == "good"; };
    for (std::size_t i = 1; i < beats.size(); ++i) {
        if (!good(beats[i - 1]) || !good(beats[i])) continue; // a quality change goes out at once
        const double gap = time(beats[i]) - time(beats[i - 1]);
        EXPECT_GE(gap, kHeartbeat - 0.05) << i;
        EXPECT_LE(gap, kHeartbeat + 1.5) << i; // a poll late on a loaded machine
    }
    // Right after a heartbeat, a change beyond the deadband: it comes with the poll that reads it,
    // long before the next heartbeat.
    std::size_t since = client.Count();
    std::string beat, moved;
    ASSERT_TRUE(client.WaitFor(topic, IsAny, Seconds(10), &beat, since));
    since = client.Count();
    client.Publish("tarvik/mfc1/setpoint/set", "37.5");
    ASSERT_TRUE(client.WaitFor(
        topic, [](const std::string& p) { return json::parse(p)["value"] == 37.5; }, Seconds(10), &moved,
        since));
    EXPECT_LT(time(moved) - time(beat), kHeartbeat - 0.05);
}

} // namespace
