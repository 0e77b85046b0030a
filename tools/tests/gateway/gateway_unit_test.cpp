// The gateway's pure pieces: configuration checks, command parsing, payloads and metrics text.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "../ArgumentRows.h"
#include <crypt.h>
#include <httplib.h>

#include "Backlog.h"
#include "Command.h"
#include "Config.h"
#include "HttpServer.h"
#include "Kit.h"
#include "Metrics.h"
#include "Payload.h"
#include "TarvikDLL.h"
#include "WriteRange.h"

namespace tarvik::gateway {
namespace {

using nlohmann::json;

constexpr const char* kDevice = R"(
[[device]]
name = "mfc1"
kind = "flow"
port = 3
address = "64:010203"
values = ["flow"]
)";

TEST(GatewayConfig, TheExampleIsValidAndReadsAsWritten) {
    const Config c = LoadConfig(TARVIK_GATEWAY_EXAMPLE);
    EXPECT_EQ(c.mqtt.clientId, "gw-lab1");
    EXPECT_EQ(c.metrics.port, 9464);
    ASSERT_EQ(c.devices.size(), 3u);
    const DeviceConfig& mfc = c.devices[0];
    EXPECT_EQ(mfc.kind, DeviceKind::Flow);
    EXPECT_EQ(mfc.deviceType, 0x64);
    EXPECT_EQ(mfc.id[2], 0x03);
    EXPECT_DOUBLE_EQ(mfc.interval, 0.5);
    const DeviceConfig& unit = c.devices[2];
    ASSERT_EQ(unit.values.size(), 4u);
    // Channel by channel: pv1 sp1 pv2 sp2.
    EXPECT_EQ(unit.values[0].topic, "pv1");
    EXPECT_EQ(unit.values[1].topic, "sp1");
    EXPECT_EQ(unit.values[3].topic, "sp2");
    EXPECT_EQ(unit.values[3].channel, 2);
    EXPECT_EQ(unit.digits, 1);
}

TEST(GatewayConfig, DefaultsAndSharedPorts) {
    const Config c = ParseConfig(std::string(kDevice) + R"(
[[device]]
name = "mfc2"
kind = "flow"
port = 3
baud = 38400
address = "64:010204"
values = ["setpoint"]
[[device]]
name = "unit"
kind = "readout"
port = 3
channels = [4]
values = ["pv"]
)",
                                 "g.toml");
    EXPECT_EQ(c.mqtt.host, "127.0.0.1");
    EXPECT_EQ(c.mqtt.port, 1883);
    EXPECT_EQ(c.mqtt.prefix, "tarvik");
    EXPECT_EQ(c.mqtt.clientId.rfind("tarvik-", 0), 0u);
    EXPECT_TRUE(c.metrics.enabled);
    ASSERT_EQ(c.devices.size(), 3u); // one port, three line settings: they take turns
    EXPECT_EQ(c.devices[0].baud, 19200);
    EXPECT_TRUE(c.devices[0].writes.empty());
    EXPECT_EQ(c.devices[2].values[0].topic, "pv4");
    EXPECT_FALSE(ParseConfig("[metrics]\nlisten = \"\"\n" + std::string(kDevice), "g.toml").metrics.enabled);
}

// Every error names the file, the line and the key.
TEST(GatewayConfig, ErrorsNameFileLineAndKey) {
    struct Case {
        const char* what;
        std::string text;
        const char* expected; // a part of the message after "g.toml:"
    };
    const std::string d = kDevice;
    const Case cases[] = {
        {"unknown top key", "colour = 1\n" + d, "1: colour: unknown key"},
        {"unknown mqtt key", "[mqtt]\nhots = \"x\"\n" + d, "2: mqtt.hots: unknown key"},
        {"port type", "[mqtt]\nport = \"1883\"\n" + d, "2: mqtt.port: must be a whole number"},
        {"prefix wildcard", "[mqtt]\nprefix = \"a/#\"\n" + d, "2: mqtt.prefix:"},
        {"listen", "[metrics]\nlisten = \"localhost\"\n" + d, "2: metrics.listen:"},
        {"no devices", "[mqtt]\n", "1: device: no [[device]] table"},
        {"syntax", "[mqtt\n", "1:"},
        {"unknown device key", d + "colour = 2\n", "8: device[0].colour: unknown key"},
        {"bad kind", d + "[[device]]\nname = \"x\"\nkind = \"valve\"\n", "10: device[1].kind: must be flow"},
        {"bad name", "[[device]]\nname = \"a b\"\n", "2: device[0].name: must be"},
        {"duplicate name", d + d, "10: device[1].name: 'mfc1' is taken by the device at line 3"},
        {"port range", "[[device]]\nname = \"x\"\nkind = \"flow\"\nport = 41\n",
         "4: device[0].port: must be 1..40"},
        {"baud", d + "baud = 1000\n", "8: device[0].baud: must be 1200"},
        {"address", "[[device]]\nname=\"x\"\nkind=\"flow\"\nport=1\naddress=\"64-01\"\n",
         "5: device[0].address"},
        {"missing address", "[[device]]\nname=\"x\"\nkind=\"flow\"\nport=1\nvalues=[\"flow\"]\n",
         "1: device[0].address: missing"},
        {"value of other kind",
         "[[device]]\nname=\"x\"\nkind=\"pressure\"\nport=1\naddress=\"65:010203\"\n"
         "values=[\"flow\"]\n",
         "6: device[0].values: 'flow' is not a value of a pressure device"},
        {"channel range", "[[device]]\nname=\"u\"\nkind=\"readout\"\nport=1\nchannels=[5]\n",
         "5: device[0].channels: must be whole numbers 1..4"},
        {"baud on readout", "[[device]]\nname=\"u\"\nkind=\"readout\"\nport=1\nbaud=9600\n",
         "5: device[0].baud: a readout unit's line is fixed"},
        {"negative interval", d + "interval = -1\n", "8: device[0].interval: must be 0..86400"},
        {"setpoint range", d + "setpoint_min = 5\nsetpoint_max = 1\n", "9: device[0].setpoint_max"},
        {"nan", d + "setpoint_max = nan\n", "8: device[0].setpoint_max: must be a finite number"},
        {"writable type", d + "writable = 1\n", "8: device[0].writable: must be true, false or a list"},
        {"writable names", d + "writable = [\"setpoint2\"]\n", "8: device[0].writable: must name set points"},
        {"password without user", "[mqtt]\npassword_file = \"/etc/hostname\"\n" + d,
         "2: mqtt.password_file: needs username"},
        {"absent file", "[mqtt]\nusername = \"u\"\npassword_file = \"/nonexistent/pw\"\n" + d,
         "3: mqtt.password_file: cannot read /nonexistent/pw"},
        {"half a client certificate",
         "[mqtt]\nca_file = \"/etc/hostname\"\ncert_file = \"/etc/hostname\"\n" + d,
         "3: mqtt.cert_file: cert_file and key_file go together"},
        {"backlog directory", "[mqtt]\nbuffer_file = \"/nonexistent/backlog\"\n" + d,
         "2: mqtt.buffer_file: the directory /nonexistent does not exist"},
        {"backlog not a file", "[mqtt]\nbuffer_file = \"/dev/null\"\n" + d,
         "2: mqtt.buffer_file: /dev/null exists and is not a regular file"},
        {"backlog bound", "[mqtt]\nbuffer_max_bytes = 1000\n" + d,
         "2: mqtt.buffer_max_bytes: must be 65536.."},
        {"log format", "[log]\nformat = \"xml\"\n" + d, "2: log.format: must be text or json"},
        // What a start loads, --check loads: files that are there but would not do.
        {"garbage ca_file", "[mqtt]\nca_file = \"/etc/hostname\"\n" + d,
         "2: mqtt.ca_file: /etc/hostname holds no certificate"},
        {"directory ca_file", "[mqtt]\nca_file = \"/tmp\"\n" + d,
         "2: mqtt.ca_file: /tmp is not a regular file"},
        {"garbage metrics certificate",
         "[metrics]\ntls_cert_file = \"/etc/hostname\"\ntls_key_file = \"/etc/hostname\"\n" + d,
         "2: metrics.tls_cert_file: /etc/hostname holds no certificate"},
        {"backlog a directory", "[mqtt]\nbuffer_file = \"/tmp\"\n" + d,
         "2: mqtt.buffer_file: /tmp exists and is not a regular file"},
        {"offline_after", d + "offline_after = 0\n", "8: device[0].offline_after: must be 1..1000"},
        {"sparkplug without group", "[sparkplug]\nedge_node_id = \"gw1\"\n" + d,
         "1: sparkplug.group_id: missing"},
        {"sparkplug id with a slash", "[sparkplug]\ngroup_id = \"a/b\"\nedge_node_id = \"gw1\"\n" + d,
         "2: sparkplug.group_id: must be 1..64 printable characters without '/'"},
        {"negative deadband", "[report]\ndeadband = -1\n" + d, "2: report.deadband: must be 0 or more"},
        {"heartbeat below minimum", "[report]\nmin_interval = 5\nmax_interval = 1\n" + d,
         "3: report.max_interval: must be at least min_interval"},
        {"range upside down", "[report.flow]\nrange = [10, 0]\n" + d,
         "2: report.\"flow\".range: must be [low, high] with low < high"},
        {"unknown report key", "[report.\"mfc1/flow\"]\ndeadbnd = 1\n" + d,
         "2: report.\"mfc1/flow\".deadbnd: unknown key"},
    };
    for (const Case& c : cases) {
        try {
            ParseConfig(c.text, "g.toml");
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const ConfigError& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind("g.toml:", 0), 0u) << c.what << ": " << message;
            EXPECT_NE(message.find(std::string("g.toml:") + c.expected), std::string::npos)
                << c.what << ": " << message;
        }
    }
}

// One run names every error, not just the first: each table up to its first error, and the files.
TEST(GatewayConfig, EveryErrorIsNamed) {
    const std::string text = "[mqtt]\nca_file = \"/nonexistent/ca\"\n[metrics]\nlisten = \"x\"\n" +
                             std::string(kDevice) + "baud = 1\n[[device]]\nname = \"b\"\nkind = \"valve\"\n";
    try {
        ParseConfig(text, "g.toml");
        ADD_FAILURE() << "accepted";
    } catch (const ConfigError& e) {
        const std::string m = e.what();
        for (const char* part : {"g.toml:2: mqtt.ca_file: cannot read", "g.toml:4: metrics.listen",
                                 "g.toml:12: device[0].baud", "g.toml:15: device[1].kind"})
            EXPECT_NE(m.find(part), std::string::npos) << part << " in\n" << m;
    }
    // A list of set points allows those only.
    const Config c = ParseConfig("[[device]]\nname=\"u\"\nkind=\"readout\"\nport=1\nchannels=[1, 2]\n"
                                 "values=[\"pv\"]\nwritable=[\"setpoint2\"]\n",
                                 "g.toml");
    EXPECT_TRUE(c.devices[0].Writable("setpoint2"));
    EXPECT_FALSE(c.devices[0].Writable("setpoint1"));
}

TEST(GatewayCommand, PayloadNumbers) {
    struct Case {
        std::string payload;
        CommandError error;
        double value;
    };
    const Case cases[] = {
        {"42", CommandError::None, 42},
        {" -1.5\r\n", CommandError::None, -1.5},
        {"+2.5e1", CommandError::None, 25},
        {".5", CommandError::None, 0.5},
        {"7.", CommandError::None, 7},
        {"", CommandError::Empty, 0},
        {" \t", CommandError::Empty, 0},
        {"nan", CommandError::NotANumber, 0},
        {"NaN", CommandError::NotANumber, 0},
        {"inf", CommandError::NotANumber, 0},
        {"-Infinity", CommandError::NotANumber, 0},
        {"1e400", CommandError::OutOfRange, 0},
        {"3.5e38", CommandError::OutOfRange, 0},
        {"-1e-50", CommandError::TooSmall, 0},
        {"1e-400", CommandError::TooSmall, 0},
        {"0e-400", CommandError::None, 0},
        {"0x10", CommandError::NotANumber, 0},
        {"12,5", CommandError::NotANumber, 0},
        {"12.5 l/min", CommandError::NotANumber, 0},
        {"1 2", CommandError::NotANumber, 0},
        {"{\"value\": 1}", CommandError::NotANumber, 0},
        {"--1", CommandError::NotANumber, 0},
        {"1e", CommandError::NotANumber, 0},
        {".", CommandError::NotANumber, 0},
        {std::string("1\0", 2), CommandError::NotANumber, 0},
        {std::string(kMaxCommandPayload + 1, '1'), CommandError::TooLong, 0},
    };
    for (const Case& c : cases) {
        const ParsedNumber n = ParseCommandNumber(c.payload);
        EXPECT_EQ(n.error, c.error) << "'" << c.payload << "'";
        if (c.error == CommandError::None) {
            EXPECT_DOUBLE_EQ(n.value, c.value) << c.payload;
        }
    }
}

// The shared argument table's rows: a set-point payload is taken exactly when the table takes it,
// and the write control's check judges every numeric argument as the command line does.
TEST(GatewayCommand, ValuesAsTheArgumentTableSays) {
    for (const tools::test::Row& r : tools::test::RowsFromTable()) {
        const auto& spec = tools::Arguments::Get().Spec(r.argument);
        if (spec.kind == tools::ArgumentKind::Number) {
            const auto n = ParseCommandNumber(r.value);
            EXPECT_EQ(n.Ok() && CommandValueProblem(r.argument, n.value).empty(), r.accepted) << r.value;
            continue;
        }
        const auto number = ParseCommandNumber(r.value);
        if (spec.kind == tools::ArgumentKind::Text || !number.Ok()) continue; // names and texts: not payloads
        const std::string problem = CommandValueProblem(r.argument, number.value);
        EXPECT_EQ(problem.empty(), r.accepted) << r.argument << " " << r.value << ": " << problem;
        if (!r.accepted) {
            EXPECT_EQ(problem.rfind(r.argument + " ", 0), 0u) << problem;
        }
    }
    EXPECT_NE(CommandValueProblem("gas", 2.5), "");
    EXPECT_NE(CommandValueProblem("no such argument", 1), "");
    EXPECT_EQ(CommandValueProblem("setpoint", 42.5), "");
}

// The write control's range: the configured range, and a 0731 value its decimals would send as 0.
TEST(GatewayCommand, WriteRangeOfADevice) {
    DeviceConfig unit;
    unit.kind = DeviceKind::Readout;
    unit.digits = 1;
    DeviceConfig mfc;
    DeviceConfig ranged; // both ends of the configured range may be written
    ranged.setpointMin = 10;
    ranged.setpointMax = 20;
    struct Case {
        const DeviceConfig& device;
        double value;
        bool ok;
    } cases[] = {{unit, 0.01, false},   {unit, 0.05, true},    {unit, 0, true},    {mfc, 0.01, true},
                 {mfc, 100.5, false},   {mfc, -1, false},      {ranged, 10, true}, {ranged, 20, true},
                 {ranged, 9.99, false}, {ranged, 20.01, false}};
    for (const Case& c : cases)
        EXPECT_EQ(CheckWriteValue(c.device, 1, c.value).ok, c.ok) << c.value;
}

TEST(GatewayCommand, TopicsAndChannels) {
    struct Case {
        const char* prefix;
        const char* topic;
        bool ok;
        const char* device;
        const char* command;
    };
    const Case cases[] = {
        {"tarvik", "tarvik/mfc1/setpoint/set", true, "mfc1", "setpoint"},
        {"site/a", "site/a/unit/setpoint2/set", true, "unit", "setpoint2"},
        {"tarvik", "tarvik/mfc1/setpoint/result", false, "", ""},
        {"tarvik", "tarvik/mfc1/setpoint/set/x", false, "", ""},
        {"tarvik", "tarvik//setpoint/set", false, "", ""},
        {"tarvik", "tarvikx/mfc1/setpoint/set", false, "", ""},
        {"tarvik", "tarvik_mfc1/setpoint/set", false, "", ""},
        {"tarvik", "other/mfc1/setpoint/set", false, "", ""},
        {"tarvik", "tarvik/mfc1/set", false, "", ""},
    };
    for (const Case& c : cases) {
        const CommandTopic t = ParseCommandTopic(c.prefix, c.topic);
        EXPECT_EQ(t.ok, c.ok) << c.topic;
        if (c.ok) {
            EXPECT_EQ(t.device, c.device);
            EXPECT_EQ(t.command, c.command);
        }
    }
    EXPECT_EQ(SetPointChannel("setpoint"), 0);
    EXPECT_EQ(SetPointChannel("setpoint3"), 3);
    EXPECT_EQ(SetPointChannel("setpoint10"), -1);
    EXPECT_EQ(SetPointChannel("setpointx"), -1);
    EXPECT_EQ(SetPointChannel("flow"), -1);
}

TEST(GatewayPayload, ValueAndResultAreJson) {
    char buffer[1024];
    const auto time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796644800123));
    const std::string status = R"("status": {"status1": 0, "status2": 64, "conditions": ["a \"b\""]})";
    json j = json::parse(FormatValuePayload({true, 12.5f, "l/min", time, "ResultOk", status, {}, false, {}},
                                            buffer, sizeof buffer));
    EXPECT_EQ(j["value"], 12.5);
    EXPECT_EQ(j["unit"], "l/min");
    EXPECT_EQ(j["time"], "2026-12-07T12:00:00.123Z");
    EXPECT_EQ(j["result"], "ResultOk");
    EXPECT_EQ(j["status"]["status2"], 64);
    EXPECT_EQ(j["status"]["conditions"][0], "a \"b\"");

    j = json::parse(
        FormatValuePayload({true, NAN, "\x01", time, "ResultOk", {}, {}, false, {}}, buffer, sizeof buffer));
    EXPECT_TRUE(j["value"].is_null());
    EXPECT_EQ(j["unit"], "\x01");
    EXPECT_FALSE(j.contains("status"));
    j = json::parse(FormatValuePayload({false, 3.0f, "", time, "ResultBadChecksum", {}, {}, false, {}},
                                       buffer, sizeof buffer));
    EXPECT_TRUE(j["value"].is_null());

    j = json::parse(
        FormatCommandResult({false, "OutOfRange", false, 0, true, 120.25, "outside"}, buffer, sizeof buffer));
    EXPECT_EQ(j["ok"], false);
    EXPECT_TRUE(j["value"].is_null());
    EXPECT_EQ(j["requested"], 120.25);
    EXPECT_EQ(j["error"], "outside");
    j = json::parse(FormatValuePayload({true, 0.1f, "%", time, "ResultOk", {}, "stale", true, time}, buffer,
                                       sizeof buffer));
    EXPECT_EQ(j["quality"], "stale");
    EXPECT_EQ(j["last_good"], "2026-12-07T12:00:00.123Z");

    // A buffer that is too small cuts, never overruns.
    char small[8] = {};
    JsonWriter w(small, 4);
    w.String("abcdef");
    EXPECT_TRUE(w.Overflow());
    EXPECT_EQ(w.View(), "\"abc");
    EXPECT_EQ(small[4], 0);
}

TEST(GatewayMetrics, TextFormat) {
    const Config c = ParseConfig(std::string(kDevice) + R"(
[[device]]
name = "u"
kind = "readout"
port = 5
channels = [2]
values = ["pv"]
)",
                                 "g.toml");
    Metrics m(c.devices);
    Metrics::Device& mfc = m.At(0);
    mfc.Poll(ResultOk, std::chrono::milliseconds(12));
    mfc.Poll(ResultOk, std::chrono::milliseconds(30));
    mfc.Poll(ResultNoReply, std::chrono::milliseconds(120));
    mfc.Poll(12345, std::chrono::milliseconds(1));
    const double now = 1796644800;
    mfc.Good(0, 12.5f, 17, now - 1);
    m.At(1).Good(0, 3.25f, kNoUnit, now - 11); // older than its stale_after (10 s): not exported
    mfc.Up(true);
    m.MqttConnected(true);
    const std::string text = m.Render(now);
    for (const char* line : {
             "tarvik_value{device=\"mfc1\",value=\"flow\",unit=\"l/min\"} 12.5\n",
             "tarvik_last_success_timestamp_seconds{device=\"u\"} 1796644789.000\n",
             "tarvik_polls_total{device=\"mfc1\",result=\"ResultOk\"} 2\n",
             "tarvik_polls_total{device=\"mfc1\",result=\"ResultNoReply\"} 1\n",
             "tarvik_polls_total{device=\"mfc1\",result=\"ResultOther\"} 1\n",
             "tarvik_polls_total{device=\"u\",result=\"ResultOk\"} 0\n",
             "tarvik_poll_duration_seconds_bucket{device=\"mfc1\",le=\"0.01\"} 1\n",
             "tarvik_poll_duration_seconds_bucket{device=\"mfc1\",le=\"0.05\"} 3\n",
             "tarvik_poll_duration_seconds_bucket{device=\"mfc1\",le=\"+Inf\"} 4\n",
             "tarvik_poll_duration_seconds_count{device=\"mfc1\"} 4\n",
             "tarvik_poll_duration_seconds_sum{device=\"mfc1\"} 0.163\n",
             "tarvik_device_up{device=\"mfc1\"} 1\n",
             "tarvik_mqtt_connected 1\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
    // No device_up line before a device was polled; no value older than its limit.
    EXPECT_EQ(text.find("tarvik_device_up{device=\"u\"}"), std::string::npos);
    EXPECT_EQ(text.find("tarvik_value{device=\"u\""), std::string::npos);
    EXPECT_EQ(m.PollCount(0), 4u);
    // A reload that keeps a device keeps its counters; one that drops it drops its series.
    const Config kept = ParseConfig(std::string(kDevice), "g.toml");
    EXPECT_EQ(m.Attach(kept.devices[0]).get(), &mfc);
    m.Keep(kept.devices);
    EXPECT_EQ(m.Render(now).find("device=\"u\""), std::string::npos);
}

// While the broker is away readings wait in order, the oldest give way to a full backlog, and on
// the way out all but the newest of a topic are historical and not retained.
TEST(GatewayBacklog, KeepsOrderBoundsAndMarksHistorical) {
    Backlog backlog(3);
    std::vector<std::tuple<std::string, std::string, bool>> sent;
    bool up = false;
    int room = 100;
    const auto send = [&](std::string_view t, std::string_view p, bool retain) {
        if (!up || room-- <= 0) return false;
        sent.emplace_back(t, p, retain);
        return true;
    };
    for (const auto& [t, p] :
         {std::pair{"a", "{\"v\": 1}"}, {"b", "{\"v\": 1}"}, {"a", "{\"v\": 2}"}, {"a", "{\"v\": 3}"}})
        EXPECT_TRUE(backlog.Offer(t, p, send));
    EXPECT_EQ(backlog.Size(), 3u);
    EXPECT_EQ(backlog.DroppedCount(), 1u);
    EXPECT_TRUE(backlog.Waiting("a"));
    up = true;
    room = 2; // the client takes two, then is full
    backlog.Drain(send);
    EXPECT_TRUE(backlog.Offer("b", "{\"v\": 2}", send)); // waits behind the rest: order is kept
    room = 100;
    backlog.Drain(send);
    const std::vector<std::tuple<std::string, std::string, bool>> expected = {
        {"b", "{\"v\": 1}", true}, // the newest of its topic when it went
        {"a", "{\"historical\": true, \"v\": 2}", false},
        {"a", "{\"v\": 3}", true},
        {"b", "{\"v\": 2}", true},
    };
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(backlog.Size(), 0u);
    EXPECT_TRUE(backlog.Offer("c", "{}", send)); // straight through again
    EXPECT_EQ(sent.size(), 5u);
    Backlog none(0);
    up = false;
    EXPECT_FALSE(none.Offer("a", "{}", send));
}

// A reading offered while older ones wait goes behind them even when the client has room again (the
// broker is back, the next hand-over has not come yet), also when they came from the file.
TEST(GatewayBacklog, NewReadingWaitsBehindOlderOnesWhileTheClientHasRoom) {
    const std::string path = testing::TempDir() + "/tarvik-backlog-queue";
    std::remove(path.c_str());
    std::vector<std::string> sent;
    bool up = false;
    const auto send = [&](std::string_view t, std::string_view p, bool) {
        if (up) sent.push_back(std::string(t) + std::string(p));
        return up;
    };
    Backlog(10, path, {}).Offer("a", "1", send);
    Backlog b(10, path, {});
    b.Offer("b", "1", send);
    up = true;
    EXPECT_TRUE(b.Offer("c", "1", send));
    b.Drain(send);
    EXPECT_EQ(sent, (std::vector<std::string>{"a1", "b1", "c1"}));
    std::remove(path.c_str());
}

// Readings waiting in a backlog file outlive the gateway: after a restart they go out in order,
// within the bound, and partial hand-overs and compactions before the restart are honoured.
TEST(GatewayBacklog, FileSurvivesARestart) {
    struct Case {
        const char* name;
        std::size_t capacity, sentBefore, capacityAfter;
        int readings;                 // topics a,b alternate; payload {"v": i}
        std::vector<std::string> out; // after the restart, as published
        std::uint64_t droppedBefore, droppedAfter;
    };
    const std::vector<Case> cases = {
        {"order kept", 5, 0, 5, 3, {"a{\"historical\": true, \"v\": 0}", "b{\"v\": 1}", "a{\"v\": 2}"}, 0, 0},
        {"sent ones gone", 5, 2, 5, 4, {"a{\"v\": 2}", "b{\"v\": 3}"}, 0, 0},
        {"bound kept", 2, 0, 2, 5, {"b{\"v\": 3}", "a{\"v\": 4}"}, 3, 0},
        {"compacted", 2, 0, 2, 40, {"a{\"v\": 38}", "b{\"v\": 39}"}, 38, 0},
        {"smaller bound", 3, 0, 1, 3, {"a{\"v\": 2}"}, 0, 2},
    };
    const tarvik::testkit::TempDir dir; // of its own: ctest runs of other trees may run beside this one
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File(std::string("backlog-") + c.name);
        std::remove(path.c_str());
        std::vector<std::string> out;
        int room = 0;
        const auto send = [&](std::string_view t, std::string_view p, bool) {
            if (room-- <= 0) return false;
            out.push_back(std::string(t) + std::string(p));
            return true;
        };
        int warnings = 0;
        const auto warn = [&](const std::string&) { ++warnings; };
        {
            Backlog before(c.capacity, path, warn);
            for (int i = 0; i < c.readings; ++i)
                before.Offer(i % 2 ? "b" : "a", "{\"v\": " + std::to_string(i) + "}", send);
            EXPECT_EQ(before.DroppedCount(), c.droppedBefore);
            room = static_cast<int>(c.sentBefore);
            before.Drain(send);
        }
        out.clear();
        Backlog after(c.capacityAfter, path, warn);
        EXPECT_EQ(after.DroppedCount(), c.droppedAfter);
        room = 100;
        after.Drain(send);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(warnings, 0);
        // once all is handed over, nothing is left for the next start
        Backlog again(c.capacityAfter, path, warn);
        EXPECT_EQ(again.Size(), 0u);
        std::remove(path.c_str());
    }
}

// A file the backlog did not write, or one cut or changed, is set aside: start empty, say so once.
TEST(GatewayBacklog, DamagedFileIsNotTrusted) {
    const std::string good = "tarvik-gateway backlog 1\n+10 a\t{\"v\": 1}\n";
    const tarvik::testkit::TempDir dir;
    for (const std::string& text :
         {std::string("root:x:0:0:root:/root:/bin/bash\n"), good.substr(0, good.size() - 1),
          good.substr(0, good.size() - 4), good + "-2\n", good + "+99999999999 a\tb\n", good + "+3 abc\n",
          good + "x\n", std::string("tarvik-gateway backlog 1\n\0\xff", 27)}) {
        SCOPED_TRACE(text);
        const std::string path = dir.File("backlog-damaged");
        std::ofstream(path, std::ios::binary) << text;
        std::vector<std::string> warnings;
        {
            Backlog b(10, path, [&](const std::string& w) { warnings.push_back(w); });
            EXPECT_EQ(b.Size(), 0u);
            EXPECT_TRUE(b.Offer("c", "{}", [](auto, auto, bool) { return false; }));
        }
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find("damaged stretch"), std::string::npos) << warnings[0];
        Backlog restarted(10, path, [&](const std::string& w) { warnings.push_back(w); });
        EXPECT_EQ(restarted.Size(), 1u); // the fresh file is the backlog's own again
        EXPECT_EQ(warnings.size(), 1u);
        std::remove(path.c_str());
        std::remove((path + ".bad").c_str());
    }
}

TEST(GatewayHttp, BasicAuthenticationAndRequestsItRefuses) {
    char salt[64];
    crypt_data data{};
    ASSERT_NE(crypt_gensalt_rn("$2b$", 4, nullptr, 0, salt, sizeof salt), nullptr);
    const std::string hash = crypt_r("secret", salt, &data);
    HttpServer server(
        [](const std::string& path) {
            return HttpServer::Response{200, "text/plain", path};
        },
        {{"prom", hash}});
    std::string error;
    const int port = server.Listen("127.0.0.1", 0, error);
    ASSERT_GT(port, 0) << error;
    server.Start();
    // The address is not shared: a second server on it fails.
    HttpServer second([](const std::string&) { return HttpServer::Response{}; }, {});
    EXPECT_LT(second.Listen("127.0.0.1", port, error), 0);
    const struct {
        const char* user;
        const char* password;
        int status;
    } cases[] = {{nullptr, nullptr, 401},
                 {"prom", "wrong", 401},
                 {"other", "secret", 401},
                 {"prom", "secret", 200},
                 {"prom", "secret", 200}};
    for (const auto& c : cases) {
        httplib::Client client("127.0.0.1", port);
        if (c.user) client.set_basic_auth(c.user, c.password);
        const auto res = client.Get("/metrics?x=1");
        ASSERT_TRUE(res) << c.user;
        EXPECT_EQ(res->status, c.status)
            << (c.user ? c.user : "none") << " " << (c.password ? c.password : "");
        if (res->status == 200) {
            EXPECT_EQ(res->body, "/metrics");
        }
    }
    httplib::Client client("127.0.0.1", port);
    client.set_basic_auth("prom", "secret");
    EXPECT_EQ(client.Post("/metrics", "", "text/plain")->status, 405);
    EXPECT_EQ(client.Get("/metrics", {{"X-Big", std::string(HttpServer::kMaxRequest, 'x')}})->status, 400);
    server.Stop();
}

TEST(GatewayHttp, Tls) {
    tarvik::testkit::TempDir dir;
    ASSERT_EQ(
        std::system(("cd '" + dir.Path() +
                     "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                     "-subj /CN=127.0.0.1 -keyout key.pem -out cert.pem >/dev/null 2>&1")
                        .c_str()),
        0);
    HttpServer server(
        [](const std::string& path) {
            return HttpServer::Response{200, "text/plain", path};
        },
        {});
    std::string error;
    EXPECT_FALSE(HttpServer([](const std::string&) { return HttpServer::Response{}; }, {})
                     .EnableTls(dir.File("key.pem"), dir.File("cert.pem"), error));
    ASSERT_TRUE(server.EnableTls(dir.File("cert.pem"), dir.File("key.pem"), error)) << error;
    const int port = server.Listen("127.0.0.1", 0, error);
    ASSERT_GT(port, 0) << error;
    server.Start();
    httplib::SSLClient tls("127.0.0.1", port);
    tls.set_ca_cert_path(dir.File("cert.pem").c_str());
    const auto res = tls.Get("/health");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->body, "/health");
    httplib::Client plain("127.0.0.1", port);
    plain.set_read_timeout(2);
    const auto refused = plain.Get("/health");
    EXPECT_TRUE(!refused || refused->status != 200);
    server.Stop();
}

} // namespace
} // namespace tarvik::gateway
