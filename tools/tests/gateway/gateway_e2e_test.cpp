// End to end: tarvik-gateway against the simulator on pseudo-terminals, a real mosquitto broker and
// a real Prometheus, all on loopback. Waits are generous upper bounds, never timing assertions.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>

#include "Harness.h"

namespace {

using namespace gwtest;
using nlohmann::json;

bool IsJson(const std::string& s) {
    return json::accept(s);
}

TEST(GatewayE2E, PublishesValuesTakesCommandsAndSaysGoodbye) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--flow", "3:38400", "--pressure", "4:19200", "--readout", "5"},
                  dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({3, 4, 5}));
    Broker broker(dir);
    Client client(broker.Port(), "tarvik/#");
    // A command retained before the gateway starts must not be carried out when it arrives.
    client.Publish("tarvik/mfc1/setpoint/set", "55", true);
    GatewayProcess gw(dir, ports,
                      MqttSection(broker.Port()) +
                          Device("mfc1", 3, 38400, "[\"flow\", \"setpoint\"]", 0.2,
                                 "writable = true\nsetpoint_min = 0\nsetpoint_max = 80\n") +
                          "[[device]]\nname = \"pt1\"\nkind = \"pressure\"\nport = 4\nbaud = 19200\n"
                          "address = \"65:010204\"\nvalues = [\"pressure\"]\ninterval = 0.5\n"
                          "[[device]]\nname = \"unit\"\nkind = \"readout\"\nport = 5\nchannels = [1, 2]\n"
                          "values = [\"pv\", \"sp\"]\ninterval = 0.5\nwritable = true\ndigits = 1\n");

    std::string payload;
    ASSERT_TRUE(client.WaitFor("tarvik/mfc1/flow", IsJson, Seconds(20), &payload)) << gw.Log();
    json flow = json::parse(payload);
    EXPECT_EQ(flow["unit"], "l/min");
    EXPECT_EQ(flow["result"], "ResultOk");
    EXPECT_TRUE(flow["value"].is_number());
    EXPECT_TRUE(std::regex_match(flow["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    EXPECT_EQ(flow["status"]["status2"], 0);
    for (const char* topic : {"tarvik/pt1/pressure", "tarvik/unit/pv1", "tarvik/unit/sp2"})
        EXPECT_TRUE(client.WaitFor(topic, IsJson, Seconds(10))) << topic;
    for (const char* topic :
         {"tarvik/mfc1/status", "tarvik/pt1/status", "tarvik/unit/status", "tarvik/gw-test/status"})
        EXPECT_TRUE(client.WaitFor(
            topic, [](const std::string& p) { return p == "online"; }, Seconds(10)))
            << topic;
    // A retained command is refused and cleared from the broker, whether it was there before the
    // gateway came or arrives while it is connected (the broker then passes it on as not retained).
    const auto retainedRefused = [&](std::size_t since) {
        return client.WaitFor(
                   "tarvik/mfc1/setpoint/result",
                   [](const std::string& p) { return json::parse(p)["result"] == "RetainedCommand"; },
                   Seconds(10), nullptr, since) &&
               client.WaitFor(
                   "tarvik/mfc1/setpoint/set", [](const std::string& p) { return p.empty(); }, Seconds(10),
                   nullptr, since);
    };
    EXPECT_TRUE(retainedRefused(0));
    const std::size_t live = client.Count();
    client.Publish("tarvik/mfc1/setpoint/set", "56", true);
    EXPECT_TRUE(retainedRefused(live));

    // A message larger than the gateway takes never reaches it (the broker drops it): the first
    // answer after it is the next command's.
    {
        const std::size_t since = client.Count();
        client.Publish("tarvik/mfc1/setpoint/set", std::string(100000, '7'));
        client.Publish("tarvik/mfc1/setpoint/set", "huge?");
        std::string answer;
        ASSERT_TRUE(client.WaitFor("tarvik/mfc1/setpoint/result", IsJson, Seconds(10), &answer, since));
        EXPECT_EQ(json::parse(answer)["error"], "not a number") << answer;
    }

    // Commands: each answered on its result topic; only the valid ones write.
    struct Case {
        std::string device, command, payload;
        bool ok;
        std::string result;
    };
    const Case cases[] = {
        {"mfc1", "setpoint", "abc", false, "BadPayload"},
        {"mfc1", "setpoint", "NaN", false, "BadPayload"},
        {"mfc1", "setpoint", "1e-50", false, "BadPayload"}, // would reach the device as 0
        {"mfc1", "setpoint", "0x10", false, "BadPayload"},
        {"mfc1", "setpoint", "", false, "BadPayload"},
        {"mfc1", "setpoint", "80.5", false, "OutOfRange"},
        {"mfc1", "setpoint", "-1", false, "OutOfRange"},
        {"pt1", "setpoint", "10", false, "UnknownCommand"},
        {"nobody", "setpoint", "10", false, "UnknownDevice"},
        {"unit", "setpoint3", "10", false, "UnknownCommand"},
        {"unit", "setpoint", "10", false, "UnknownCommand"},
        {"mfc1", "flow", "10", false, "UnknownCommand"},
        {"mfc1", "setpoint", "62.5", true, "ResultOk"},
        {"unit", "setpoint2", "7.5", true, "ResultOk"},
    };
    for (const Case& c : cases) {
        const std::size_t since = client.Count();
        client.Publish("tarvik/" + c.device + "/" + c.command + "/set", c.payload);
        std::string answer;
        ASSERT_TRUE(client.WaitFor("tarvik/" + c.device + "/" + c.command + "/result", IsJson, Seconds(10),
                                   &answer, since))
            << c.device << "/" << c.command << " " << c.payload;
        const json j = json::parse(answer);
        EXPECT_EQ(j["ok"], c.ok) << answer;
        EXPECT_EQ(j["result"], c.result) << c.payload << ": " << answer;
    }
    // The written set points come back in the polled values; the rejected ones never did.
    EXPECT_TRUE(client.WaitFor(
        "tarvik/mfc1/setpoint", [](const std::string& p) { return json::parse(p)["value"] == 62.5; },
        Seconds(10)));
    EXPECT_TRUE(client.WaitFor(
        "tarvik/unit/sp2", [](const std::string& p) { return json::parse(p)["value"] == 7.5; }, Seconds(10)));

    // The same values as Prometheus metrics.
    const std::string metrics = gw.Metrics();
    EXPECT_NE(metrics.find("tarvik_value{device=\"mfc1\",value=\"flow\",unit=\"l/min\"}"), std::string::npos);
    EXPECT_NE(metrics.find("tarvik_value{device=\"mfc1\",value=\"setpoint\",unit=\"%\"} 62.5"),
              std::string::npos);
    EXPECT_NE(metrics.find("tarvik_device_up{device=\"unit\"} 1"), std::string::npos);
    EXPECT_NE(metrics.find("tarvik_mqtt_connected 1"), std::string::npos);
    EXPECT_GT(gw.Metric("tarvik_polls_total{device=\"pt1\",result=\"ResultOk\"}"), 0);

    // Another gateway online under the same prefix is said once; this one's own statuses never.
    client.Publish("tarvik/gw-other/status", "online", true);
    EXPECT_TRUE(
        WaitUntil([&] { return Said(gw.Log(), "tarvik/gw-other/status is online") == 1; }, Seconds(10)))
        << gw.Log();
    EXPECT_EQ(Said(gw.Log(), "shares the prefix"), 1u) << gw.Log();

    // SIGTERM: offline for every device and the gateway itself, a clean exit.
    const std::size_t since = client.Count();
    EXPECT_EQ(gw.Proc().Stop(SIGTERM), 0);
    for (const char* topic : {"tarvik/mfc1/status", "tarvik/unit/status", "tarvik/gw-test/status"})
        EXPECT_TRUE(client.WaitFor(
            topic, [](const std::string& p) { return p == "offline"; }, Seconds(5), nullptr, since))
            << topic;
}

TEST(GatewayE2E, BrokerDownAtStartAndMidRun) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--flow", "3:38400", "--flow", "4:38400"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({3, 4}));
    const int port = FreePort();
    // mfc1 is polled once a minute: after a reconnection its value can only come from the gateway's
    // memory of the latest values.
    GatewayProcess gw(dir, ports,
                      MqttSection(port) + Device("mfc1", 3, 38400, "[\"flow\"]", 60) +
                          Device("mfc2", 4, 38400, "[\"flow\"]", 0.1));
    // No broker: polling goes on.
    ASSERT_TRUE(
        WaitUntil([&] { return gw.Metric("tarvik_polls_total{device=\"mfc2\",result=\"ResultOk\"}") > 3; },
                  Seconds(20)))
        << gw.Log();
    EXPECT_EQ(gw.Metric("tarvik_mqtt_connected"), 0);

    {
        Broker broker(dir, port);
        Client client(port, "tarvik/#");
        EXPECT_TRUE(client.WaitFor("tarvik/mfc1/flow", IsJson, Seconds(15))) << gw.Log();
        EXPECT_TRUE(client.WaitFor("tarvik/mfc2/flow", IsJson, Seconds(5)));
        EXPECT_TRUE(client.WaitFor(
            "tarvik/gw-test/status", [](const std::string& p) { return p == "online"; }, Seconds(5)));
        EXPECT_EQ(gw.Metric("tarvik_mqtt_connected"), 1);
        broker.Stop(); // mid-run
    }
    const double before = gw.Metric("tarvik_polls_total{device=\"mfc2\",result=\"ResultOk\"}");
    ASSERT_TRUE(WaitUntil(
        [&] { return gw.Metric("tarvik_polls_total{device=\"mfc2\",result=\"ResultOk\"}") > before + 3; },
        Seconds(20)));
    EXPECT_EQ(gw.Metric("tarvik_mqtt_connected"), 0);
    EXPECT_TRUE(gw.Proc().Running());
    const std::string where = "the broker 127.0.0.1:" + std::to_string(port) + ": ";
    EXPECT_TRUE(
        WaitUntil([&] { return Said(gw.Log(), "lost the connection to " + where) == 1; }, Seconds(10)))
        << gw.Log();

    // A fresh broker (nothing retained): the gateway reconnects and publishes its latest values.
    Broker broker(dir, port);
    Client client(port, "tarvik/#");
    EXPECT_TRUE(client.WaitFor("tarvik/mfc1/flow", IsJson, Seconds(15))) << gw.Log();
    EXPECT_TRUE(client.WaitFor(
        "tarvik/mfc1/status", [](const std::string& p) { return p == "online"; }, Seconds(5)));
    EXPECT_EQ(gw.Proc().Stop(SIGINT), 0);

    // Each outage was said once however often the gateway tried meanwhile: unreachable at the
    // start, then the loss (the failed tries after it are part of it).
    EXPECT_EQ(Said(gw.Log(), "cannot connect to " + where), 1u) << gw.Log();
    EXPECT_EQ(Said(gw.Log(), "lost the connection to " + where), 1u) << gw.Log();
}

TEST(GatewayE2E, SilentDeviceGoesOfflineAndBackWithoutDisturbingOthers) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    auto simA =
        std::make_unique<Simulator>(ports, std::vector<std::string>{"--flow", "3:38400"}, dir.File("a.log"));
    Simulator simB(ports, {"--flow", "4:38400"}, dir.File("b.log"));
    ASSERT_TRUE(simA->Ready({3}));
    ASSERT_TRUE(simB.Ready({4}));
    Broker broker(dir);
    Client client(broker.Port(), "tarvik/#");
    GatewayProcess gw(dir, ports,
                      MqttSection(broker.Port()) + Device("mfc1", 3, 38400, "[\"flow\", \"setpoint\"]", 0.2) +
                          Device("mfc2", 4, 38400, "[\"flow\"]", 0.2));
    const auto online = [](const std::string& p) { return p == "online"; };
    const auto offline = [](const std::string& p) { return p == "offline"; };
    ASSERT_TRUE(client.WaitFor("tarvik/mfc1/status", online, Seconds(20))) << gw.Log();
    ASSERT_TRUE(client.WaitFor("tarvik/mfc2/status", online, Seconds(5)));

    simA->Stop(); // unplugged: its port is gone
    std::size_t since = client.Count();
    ASSERT_TRUE(client.WaitFor("tarvik/mfc1/status", offline, Seconds(10), nullptr, since));
    EXPECT_EQ(gw.Metric("tarvik_device_up{device=\"mfc1\"}"), 0);
    // Polls go on at the interval, and the other port is untouched.
    const double failed = gw.Metric("tarvik_polls_total{device=\"mfc1\",result=\"ResultPortAbsent\"}");
    const double good = gw.Metric("tarvik_polls_total{device=\"mfc2\",result=\"ResultOk\"}");
    EXPECT_TRUE(WaitUntil(
        [&] {
            return gw.Metric("tarvik_polls_total{device=\"mfc1\",result=\"ResultPortAbsent\"}") >
                       failed + 2 &&
                   gw.Metric("tarvik_polls_total{device=\"mfc2\",result=\"ResultOk\"}") > good + 2;
        },
        Seconds(10)))
        << gw.Metrics();
    EXPECT_EQ(client.Last("tarvik/mfc2/status"), "online");

    simA =
        std::make_unique<Simulator>(ports, std::vector<std::string>{"--flow", "3:38400"}, dir.File("a.log"));
    ASSERT_TRUE(simA->Ready({3}));
    since = client.Count();
    EXPECT_TRUE(client.WaitFor("tarvik/mfc1/status", online, Seconds(10), nullptr, since));
    EXPECT_TRUE(client.WaitFor("tarvik/mfc1/flow", IsJson, Seconds(5), nullptr, since));
    EXPECT_EQ(gw.Proc().Stop(SIGTERM), 0);
}

// Three devices on one port with different line settings take turns; the port is reopened for each.
// Only the flow device at 38400 exists: the others get no answer, and it is polled all the same.
TEST(GatewayE2E, DevicesOnOnePortTakeTurns) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--flow", "3:38400"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({3}));
    Broker broker(dir);
    Client client(broker.Port(), "tarvik/#");
    GatewayProcess gw(
        dir, ports,
        MqttSection(broker.Port()) + Device("mfc1", 3, 38400, "[\"flow\"]", 0.1) +
            Device("slow", 3, 19200, "[\"flow\"]", 0.1) +
            "[[device]]\nname = \"unit\"\nkind = \"readout\"\nport = 3\nchannels = [1]\nvalues = [\"pv\"]\n"
            "interval = 0.1\n");
    const auto is = [](const char* text) { return [text](const std::string& p) { return p == text; }; };
    EXPECT_TRUE(client.WaitFor("tarvik/mfc1/status", is("online"), Seconds(20))) << gw.Log();
    EXPECT_TRUE(client.WaitFor("tarvik/slow/status", is("offline"), Seconds(10)));
    EXPECT_TRUE(client.WaitFor("tarvik/unit/status", is("offline"), Seconds(10)));
    const double ok = gw.Metric("tarvik_polls_total{device=\"mfc1\",result=\"ResultOk\"}");
    EXPECT_TRUE(WaitUntil(
        [&] {
            return gw.Metric("tarvik_polls_total{device=\"mfc1\",result=\"ResultOk\"}") > ok + 3 &&
                   gw.Metric("tarvik_polls_total{device=\"slow\",result=\"ResultNoReply\"}") > 1 &&
                   gw.Metric("tarvik_polls_total{device=\"unit\",result=\"ResultNoReply\"}") > 1;
        },
        Seconds(20)))
        << gw.Metrics();
    EXPECT_EQ(gw.Proc().Stop(SIGTERM), 0);
}

TEST(GatewayE2E, PrometheusScrapesTheFlow) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--flow", "3:38400"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({3}));
    const int metricsPort = FreePort();
    const int promPort = FreePort();
    // No broker at all: metrics do not depend on one.
    GatewayProcess gw(dir, ports,
                      "[mqtt]\nport = " + std::to_string(FreePort()) + "\n[metrics]\nlisten = \"127.0.0.1:" +
                          std::to_string(metricsPort) + "\"\n" + Device("mfc1", 3, 38400, "[\"flow\"]", 0.2));
    ASSERT_TRUE(WaitUntil([&] { return PortOpen(metricsPort); }, Seconds(10))) << gw.Log();
    dir.Write("prometheus.yml", "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: tarvik\n"
                                "    static_configs:\n      - targets: ['127.0.0.1:" +
                                    std::to_string(metricsPort) + "']\n");
    Process prometheus({"prometheus", "--config.file=" + dir.File("prometheus.yml"),
                        "--storage.tsdb.path=" + dir.File("tsdb"),
                        "--web.listen-address=127.0.0.1:" + std::to_string(promPort)},
                       dir.File("prometheus.log"));
    const std::string query =
        "/api/v1/query?query=tarvik_value%7Bdevice%3D%22mfc1%22%2Cvalue%3D%22flow%22%7D";
    json result;
    const bool found = WaitUntil(
        [&] {
            const std::string body = HttpGet(promPort, query);
            if (!IsJson(body)) return false;
            result = json::parse(body);
            return result["status"] == "success" && !result["data"]["result"].empty();
        },
        Seconds(60));
    ASSERT_TRUE(found) << ReadFile(dir.File("prometheus.log")) << result.dump();
    const json& series = result["data"]["result"][0];
    EXPECT_EQ(series["metric"]["unit"], "l/min");
    EXPECT_EQ(series["metric"]["job"], "tarvik");
    EXPECT_NO_THROW(std::stod(series["value"][1].get<std::string>()));
    prometheus.Stop(SIGTERM);
    EXPECT_EQ(gw.Proc().Stop(SIGTERM), 0);
}

// The command line: --check, --version, --trace, --once, and configuration errors.
TEST(GatewayE2E, CommandLine) {
    TempDir dir;
    const auto run = [&](const std::vector<std::string>& args, std::vector<std::string> env = {}) {
        std::vector<std::string> argv{TARVIK_GATEWAY};
        argv.insert(argv.end(), args.begin(), args.end());
        std::remove(dir.File("out.log").c_str());
        Process p(argv, dir.File("out.log"), std::move(env));
        const int rc = p.Wait(Seconds(30));
        return std::make_pair(rc, ReadFile(dir.File("out.log")));
    };
    auto [rc, out] = run({"--version"});
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out.rfind("tarvik-gateway ", 0), 0u);
    std::tie(rc, out) =
        run({"--config", TARVIK_GATEWAY_EXAMPLE, "--check", "--trace", dir.File("trace.log")});
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("valid, 3 devices"), std::string::npos);
    dir.Write("bad.toml", "[mqtt]\nport = 1883\nprefx = \"x\"\n");
    std::tie(rc, out) = run({"--config", dir.File("bad.toml"), "--check"});
    EXPECT_EQ(rc, 2);
    EXPECT_NE(out.find(dir.File("bad.toml") + ":3: mqtt.prefx: unknown key"), std::string::npos) << out;
    std::tie(rc, out) = run({"--config", dir.File("missing.toml")});
    EXPECT_EQ(rc, 2);
    std::tie(rc, out) = run({"--bogus"});
    EXPECT_EQ(rc, 2);
    std::tie(rc, out) = run({});
    EXPECT_EQ(rc, 2);

    // --once: every value polled once, published, printed.
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--flow", "3:38400"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({3}));
    Broker broker(dir);
    Client client(broker.Port(), "tarvik/#");
    dir.Write("once.toml",
              MqttSection(broker.Port()) + Device("mfc1", 3, 38400, "[\"flow\", \"setpoint\"]", 1));
    std::tie(rc, out) = run({"--config", dir.File("once.toml"), "--once", "--trace", dir.File("trace.log")},
                            {"TARVIK_PORT_DIR=" + ports});
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("tarvik/mfc1/flow {\"value\": "), std::string::npos) << out;
    EXPECT_TRUE(client.WaitFor("tarvik/mfc1/setpoint", IsJson, Seconds(5)));
    EXPECT_TRUE(client.WaitFor(
        "tarvik/gw-test/status", [](const std::string& p) { return p == "offline"; }, Seconds(5)));
}

// TLS with a password or a client certificate: the gateway checks the broker's certificate against
// ca_file and logs in with username and password_file, or with cert_file and key_file. A wrong
// password, a certificate from another authority or a missing client certificate is said in the
// log, once however often the gateway tries again, and --once fails.
TEST(GatewayE2E, TlsAndPassword) {
    TempDir dir;
    const auto shell = [&](const std::string& command) {
        return std::system(("cd '" + dir.Path() + "' && (" + command + ") >>setup.log 2>&1").c_str());
    };
    // An authority, the broker's certificate for 127.0.0.1 signed by it, and another authority.
    const std::string key = "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    ASSERT_EQ(shell(key + "-x509 -days 2 -subj /CN=test-ca -keyout ca.key -out ca.crt && " + key +
                    "-x509 -days 2 -subj /CN=other-ca -keyout other.key -out other.crt && " + key +
                    "-subj /CN=127.0.0.1 -keyout server.key -out server.csr && "
                    "echo subjectAltName=IP:127.0.0.1 >san.ext && "
                    "openssl x509 -req -days 2 -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
                    "-extfile san.ext -out server.crt && "
                    "mosquitto_passwd -c -b passwd gw secret && chmod 0644 server.key passwd && " +
                    key +
                    "-subj /CN=gw-test -keyout client.key -out client.csr && "
                    "openssl x509 -req -days 2 -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
                    "-out client.crt"),
              0)
        << ReadFile(dir.File("setup.log"));
    dir.Write("good.secret", "secret\n");
    dir.Write("bad.secret", "guessed\n");
    // Anyone on the first listener (the test's client), TLS and a password on the second, TLS with
    // a client certificate on the third. The broker keeps our user, so that it can read the files
    // in the test's private directory.
    const int tls = FreePort(), certified = FreePort();
    const std::string serverTls = "cafile " + dir.File("ca.crt") + "\ncertfile " + dir.File("server.crt") +
                                  "\nkeyfile " + dir.File("server.key") + "\n";
    const passwd* user = ::getpwuid(::geteuid());
    ASSERT_NE(user, nullptr);
    Broker broker(dir, 0,
                  "user " + std::string(user->pw_name) + "\nlistener " + std::to_string(tls) +
                      " 127.0.0.1\nallow_anonymous false\npassword_file " + dir.File("passwd") + "\n" +
                      serverTls + "listener " + std::to_string(certified) +
                      " 127.0.0.1\nallow_anonymous true\nrequire_certificate true\n" + serverTls);
    ASSERT_TRUE(WaitUntil([&] { return PortOpen(tls) && PortOpen(certified); }, Seconds(10)))
        << ReadFile(dir.File("broker.log"));
    Client client(broker.Port(), "tarvik/#");
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--flow", "3:38400"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({3}));

    const auto login = [&](const char* secret, const char* authority) {
        return "username = \"gw\"\npassword_file = \"" + dir.File(secret) + "\"\nca_file = \"" +
               dir.File(authority) + "\"\n";
    };
    const std::string certificate = "ca_file = \"" + dir.File("ca.crt") + "\"\ncert_file = \"" +
                                    dir.File("client.crt") + "\"\nkey_file = \"" + dir.File("client.key") +
                                    "\"\n";
    const auto where = [](int port) { return "127.0.0.1:" + std::to_string(port); };
    const struct {
        const char* name;
        int port;
        std::string mqtt;
        int exit;
        std::string said; // once in the log
    } cases[] = {
        {"good", tls, login("good.secret", "ca.crt"), 0, ""},
        {"wrong-password", tls, login("bad.secret", "ca.crt"), 1,
         "the broker " + where(tls) + " refused the connection: "},
        {"other-authority", tls, login("good.secret", "other.crt"), 1,
         "cannot connect to the broker " + where(tls) + ": A TLS error occurred"},
        {"client-certificate", certified, certificate, 0, ""},
        {"no-client-certificate", certified, "ca_file = \"" + dir.File("ca.crt") + "\"\n", 1,
         "cannot connect to the broker " + where(certified) + ": "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir.Write(std::string(c.name) + ".toml",
                  MqttSection(c.port, c.mqtt) +
                      Device(std::string("mfc-") + c.name, 3, 38400, "[\"flow\"]", 1));
        const std::string log = dir.File(std::string(c.name) + ".log");
        Process gateway({TARVIK_GATEWAY, "--config", dir.File(std::string(c.name) + ".toml"), "--once"}, log,
                        {"TARVIK_PORT_DIR=" + ports});
        EXPECT_EQ(gateway.Wait(Seconds(30)), c.exit) << ReadFile(log);
        const std::string flow = std::string("tarvik/mfc-") + c.name + "/flow";
        if (c.exit == 0) {
            EXPECT_TRUE(client.WaitFor(flow, IsJson, Seconds(5)));
            continue;
        }
        EXPECT_EQ(Said(ReadFile(log), c.said), 1u) << ReadFile(log);
        EXPECT_FALSE(client.Has(flow));
    }
}

} // namespace
