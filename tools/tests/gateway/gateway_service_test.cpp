// The gateway as a service, end to end against real mosquitto and the simulator: start-up errors,
// one gateway per metrics address, readiness, health, reloads, slow scrapers, glitches that must
// not wipe a value, coalesced writes, and readings kept while the broker is away.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "Harness.h"

namespace {

using namespace gwtest;
using nlohmann::json;

bool IsJson(const std::string& s) {
    return json::accept(s);
}

const auto kOnline = [](const std::string& p) { return p == "online"; };

// A TCP connection to the metrics port that sends half a request and then nothing.
struct SlowClient {
    explicit SlowClient(int port) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) [[maybe_unused]]
            auto n = ::send(fd, "GET /metr", 9, MSG_NOSIGNAL);
    }
    ~SlowClient() { ::close(fd); }
    int fd;
};

// The datagrams a notify socket received, as one text.
std::string Received(int fd) {
    std::string all;
    char buffer[256];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
        all.append(buffer, static_cast<std::size_t>(n)).append("\n");
    return all;
}

TEST(GatewayService, StartupErrorsReadinessHealthAndOneGatewayPerAddress) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--flow", "3:38400"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({3}));
    Broker broker(dir);
    const int metrics = FreePort();
    // The service manager's socket: readiness and watchdog pings arrive there.
    const int notify = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = dir.File("notify");
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string config = "[mqtt]\nport = " + std::to_string(broker.Port()) +
                               "\nclient_id = \"gw-a\"\n" +
                               "[metrics]\nlisten = \"127.0.0.1:" + std::to_string(metrics) + "\"\n" +
                               "[log]\nformat = \"json\"\n" + Device("mfc1", 3, 38400, "[\"flow\"]", 0.1);
    dir.Write("a.toml", config);
    Process first({TARVIK_GATEWAY, "--config", dir.File("a.toml")}, dir.File("a.log"),
                  {"TARVIK_PORT_DIR=" + ports, "NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=3000000"});
    std::string said;
    ASSERT_TRUE(WaitUntil(
        [&] {
            said += Received(notify);
            return said.find("READY=1") != std::string::npos && said.find("WATCHDOG=1") != std::string::npos;
        },
        Seconds(20)))
        << said << ReadFile(dir.File("a.log"));
    // The watchdog is fed at half its limit (1.5 s here), not more often.
    const auto nextPing = [&] {
        const std::size_t pings = Said(said, "WATCHDOG=1");
        EXPECT_TRUE(
            WaitUntil([&] { return Said(said += Received(notify), "WATCHDOG=1") > pings; }, Seconds(20)));
        return std::chrono::steady_clock::now();
    };
    const auto ping = nextPing();
    EXPECT_GE(nextPing() - ping, std::chrono::milliseconds(1200)) << said;
    ASSERT_TRUE(
        WaitUntil([&] { return HttpGet(metrics, "/health").find("\"status\": \"ok\"") != std::string::npos; },
                  Seconds(20)))
        << HttpGet(metrics, "/health");

    // A second gateway on the same metrics address fails at once with one line, the first serves on.
    const auto startFails = [&](const std::string& name, const std::string& text, int exit,
                                const std::string& line) {
        dir.Write(name + ".toml", text);
        Process p({TARVIK_GATEWAY, "--config", dir.File(name + ".toml")}, dir.File(name + ".log"),
                  {"TARVIK_PORT_DIR=" + ports});
        EXPECT_EQ(p.Wait(Seconds(10)), exit) << name;
        const std::string log = ReadFile(dir.File(name + ".log"));
        EXPECT_NE(log.find(line), std::string::npos) << name << ": " << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << name << ": " << log;
    };
    startFails("b", config, 1, "cannot listen on 127.0.0.1:" + std::to_string(metrics));
    startFails(
        "c",
        MqttSection(broker.Port(), "username = \"u\"\npassword_file = \"" + dir.File("absent") + "\"\n") +
            Device("mfc1", 3, 38400, "[\"flow\"]", 1),
        2, "mqtt.password_file: cannot read " + dir.File("absent"));
    EXPECT_NE(HttpGet(metrics, "/metrics").find("tarvik_device_up{device=\"mfc1\"} 1"), std::string::npos);

    // An offline device is not healthy, however recent its last answer.
    sim.Stop();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return HttpGet(metrics, "/metrics").find("tarvik_device_up{device=\"mfc1\"} 0") !=
                   std::string::npos;
        },
        Seconds(20)));
    int offlineStatus = 0;
    const std::string offline = HttpGet(metrics, "/health", &offlineStatus);
    EXPECT_EQ(offlineStatus, 503) << offline;
    ASSERT_TRUE(IsJson(offline)) << offline;
    EXPECT_EQ(json::parse(offline)["devices"]["mfc1"], "offline") << offline;

    // Without the broker the service is unhealthy, and says why.
    broker.Stop();
    std::string health;
    int status = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            health = HttpGet(metrics, "/health", &status);
            return IsJson(health) && json::parse(health)["broker"] == "disconnected";
        },
        Seconds(20)))
        << health;
    EXPECT_EQ(status, 503);
    EXPECT_EQ(json::parse(health)["reasons"][0], "not connected to the broker");
    EXPECT_EQ(first.Stop(SIGTERM), 0);
    // Every line of the log is one JSON object.
    std::istringstream lines(ReadFile(dir.File("a.log")));
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(IsJson(line)) << line;
    ::close(notify);
}

TEST(GatewayService, ReloadChangesOnlyWhatChangedAndRefusesABadConfig) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--flow", "3:38400", "--flow", "4:38400"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({3, 4}));
    Broker broker(dir);
    Client client(broker.Port(), "tarvik/#");
    const std::string mfc1 = Device("mfc1", 3, 38400, "[\"flow\"]", 0.1);
    GatewayProcess gw(dir, ports, MqttSection(broker.Port()) + mfc1);
    ASSERT_TRUE(client.WaitFor("tarvik/mfc1/status", kOnline, Seconds(20))) << gw.Log();
    const auto polls = [&](const char* device) {
        return gw.Metric(std::string("tarvik_polls_total{device=\"") + device + "\",result=\"ResultOk\"}");
    };
    const auto reload = [&](const std::string& text) {
        dir.Write("gw.toml", text);
        ::kill(gw.Proc().Pid(), SIGHUP);
    };

    // Added: mfc2 comes; mfc1's counters go on from where they were (it was not restarted).
    const double before = polls("mfc1");
    reload(MqttSection(broker.Port()) + mfc1 + Device("mfc2", 4, 38400, "[\"flow\"]", 0.1));
    EXPECT_TRUE(client.WaitFor("tarvik/mfc2/status", kOnline, Seconds(20))) << gw.Log();
    EXPECT_GE(polls("mfc1"), before);

    // A bad configuration is refused, the running one stays.
    reload(MqttSection(broker.Port()) + mfc1 + "[[device]]\nname = \"x\"\n");
    EXPECT_TRUE(WaitUntil([&] { return gw.Log().find("reload refused") != std::string::npos; }, Seconds(10)));
    EXPECT_EQ(gw.Metric("tarvik_config_last_reload_successful"), 0);
    const double mfc2 = polls("mfc2");
    EXPECT_TRUE(WaitUntil([&] { return polls("mfc2") > mfc2; }, Seconds(10)));

    // Removed: mfc2 says offline and its series go; mfc1 polls on.
    const std::size_t since = client.Count();
    reload(MqttSection(broker.Port()) + mfc1);
    EXPECT_TRUE(client.WaitFor(
        "tarvik/mfc2/status", [](const std::string& p) { return p == "offline"; }, Seconds(10), nullptr,
        since));
    EXPECT_TRUE(
        WaitUntil([&] { return gw.Metrics().find("device=\"mfc2\"") == std::string::npos; }, Seconds(10)));
    const double later = polls("mfc1");
    EXPECT_TRUE(WaitUntil([&] { return polls("mfc1") > later; }, Seconds(10)));
    EXPECT_EQ(gw.Proc().Stop(SIGTERM), 0);
}

// Half-sent requests hold connections, not the server: scrapes go on, and SIGTERM ends it.
TEST(GatewayService, SlowScrapersStallNeitherScrapesNorShutdown) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--flow", "3:38400"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({3}));
    GatewayProcess gw(dir, ports, MqttSection(FreePort()) + Device("mfc1", 3, 38400, "[\"flow\"]", 0.2));
    const int port = gw.MetricsPort();
    std::vector<std::unique_ptr<SlowClient>> slow;
    for (int i = 0; i < 100; ++i)
        slow.push_back(std::make_unique<SlowClient>(port));
    EXPECT_NE(gw.Metrics().find("tarvik_polls_total"), std::string::npos);
    EXPECT_EQ(HttpGet(port, "/nothing"), "");
    EXPECT_EQ(gw.Proc().Stop(SIGTERM), 0);
}

// Line faults: a reply without a value or no reply at all never wipes the last good value, and a
// single miss does not make the device offline.
TEST(GatewayService, GlitchesKeepTheLastGoodValue) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--flow", "3:38400", "--faults", "checksum=0.2,silent=0.1"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({3}));
    Broker broker(dir);
    Client client(broker.Port(), "tarvik/#");
    GatewayProcess gw(dir, ports,
                      MqttSection(broker.Port()) +
                          Device("mfc1", 3, 38400, "[\"flow\"]", 0.05, "offline_after = 100\n"));
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto all = client.All("tarvik/mfc1/flow");
            return std::count_if(all.begin(), all.end(), [](const std::string& p) {
                       return json::parse(p)["quality"] == "stale";
                   }) >= 3;
        },
        Seconds(60)))
        << gw.Log();
    bool good = false;
    for (const std::string& p : client.All("tarvik/mfc1/flow")) {
        const json j = json::parse(p);
        good = good || j["quality"] == "good";
        if (!good) continue;
        EXPECT_TRUE(j["value"].is_number()) << p;
        EXPECT_EQ(j["unit"], "l/min") << p;
        EXPECT_TRUE(j["last_good"].is_string()) << p;
    }
    for (const std::string& s : client.All("tarvik/mfc1/status"))
        EXPECT_EQ(s, "online");
    EXPECT_EQ(gw.Proc().Stop(SIGTERM), 0);
}

// A reply that comes late spoils few exchanges: the link waits the stray bytes out before its next
// request, so the share of failed polls stays near the share of faults the simulator injects (a
// late reply costs its own poll and, arriving later than the link waits, the one it lands in),
// instead of shifting every reply onto the next request while polls follow each other closely.
TEST(GatewayService, DamagedExchangesDoNotSpoilTheNextOnes) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim({"--flow", "3:19200", "--faults", "late=0.05"},
                  {.dir = ports, .log = dir.File("sim.log"), .verbose = true, .lineTiming = true});
    ASSERT_TRUE(sim.Ready({3}));
    GatewayProcess gw(dir, ports,
                      MqttSection(FreePort()) +
                          Device("mfc1", 3, 19200, "[\"flow\", \"setpoint\"]", 0, "offline_after = 1000\n"));
    const auto polls = [&](const std::string& metrics) {
        double all = 0;
        std::istringstream lines(metrics);
        for (std::string line; std::getline(lines, line);)
            if (line.starts_with("tarvik_polls_total{")) all += std::stod(line.substr(line.rfind(' ') + 1));
        return all;
    };
    std::string metrics;
    ASSERT_TRUE(WaitUntil([&] { return polls(metrics = gw.Metrics()) >= 400; }, Seconds(120))) << gw.Log();
    const std::size_t faults = Said(ReadFile(dir.File("sim.log")), "[fault: ");
    const double failed =
        polls(metrics) - MetricValue(metrics, "tarvik_polls_total{device=\"mfc1\",result=\"ResultOk\"}");
    EXPECT_GT(faults, 0u);
    EXPECT_LE(failed, 2.5 * static_cast<double>(faults) + 5) << faults << " faults\n" << metrics;
    EXPECT_EQ(gw.Proc().Stop(SIGTERM), 0);
}

// A flood of commands is coalesced (only the newest waiting one is written, the others are answered
// Superseded), the result names what the device holds, and every write is logged.
TEST(GatewayService, WritesAreCoalescedCheckedAndLogged) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--flow", "3:38400", "--readout", "5"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({3, 5}));
    Broker broker(dir);
    Client client(broker.Port(), "tarvik/#");
    GatewayProcess gw(dir, ports,
                      MqttSection(broker.Port()) + "[log]\nformat = \"json\"\n" +
                          Device("mfc1", 3, 38400, "[\"setpoint\"]", 0.1, "writable = [\"setpoint\"]\n") +
                          "[[device]]\nname = \"unit\"\nkind = \"readout\"\nport = 5\nchannels = [1, 2]\n"
                          "values = [\"sp\"]\ninterval = 0.5\nwritable = [\"setpoint2\"]\ndigits = 1\n");
    ASSERT_TRUE(client.WaitFor("tarvik/mfc1/status", kOnline, Seconds(20))) << gw.Log();
    ASSERT_TRUE(client.WaitFor("tarvik/unit/status", kOnline, Seconds(20))) << gw.Log();

    constexpr int kFlood = 50;
    const std::size_t since = client.Count();
    for (int i = 1; i <= kFlood; ++i)
        client.Publish("tarvik/mfc1/setpoint/set", std::to_string(i));
    std::string last;
    ASSERT_TRUE(client.WaitFor(
        "tarvik/mfc1/setpoint/result",
        [](const std::string& p) { return json::parse(p)["requested"] == kFlood; }, Seconds(30), &last,
        since));
    EXPECT_EQ(json::parse(last)["value"], kFlood) << last;
    int written = 0, superseded = 0;
    const auto results = client.All("tarvik/mfc1/setpoint/result");
    for (const std::string& p : results) {
        const json j = json::parse(p);
        written += j["result"] == "ResultOk";
        superseded += j["result"] == "Superseded";
    }
    EXPECT_EQ(written + superseded, kFlood);
    EXPECT_LT(written, kFlood / 5) << "written one by one";

    // The 0731 unit keeps one decimal: the result says what it holds, beside what was asked.
    const struct {
        const char* command;
        const char* payload;
        const char* result;
    } cases[] = {{"setpoint2", "7.25", "ResultOk"}, {"setpoint1", "7", "NotWritable"}};
    for (const auto& c : cases) {
        const std::size_t at = client.Count();
        client.Publish(std::string("tarvik/unit/") + c.command + "/set", c.payload);
        std::string answer;
        ASSERT_TRUE(client.WaitFor(std::string("tarvik/unit/") + c.command + "/result", IsJson, Seconds(20),
                                   &answer, at));
        const json j = json::parse(answer);
        EXPECT_EQ(j["result"], c.result) << answer;
        if (j["result"] != "ResultOk") continue;
        EXPECT_EQ(j["requested"], 7.25);
        // The float it holds, said as the decimal it reads back as (no float noise).
        EXPECT_TRUE(j["value"] == 7.2 || j["value"] == 7.3) << answer;
    }
    // Results answer one command each: a client that comes later finds none retained.
    Client late(broker.Port(), "tarvik/#");
    ASSERT_TRUE(late.WaitSubscribed("tarvik/probe"));
    EXPECT_TRUE(late.Has("tarvik/mfc1/status"));
    EXPECT_FALSE(late.Has("tarvik/mfc1/setpoint/result"));
    EXPECT_FALSE(late.Has("tarvik/unit/setpoint2/result"));
    EXPECT_EQ(gw.Proc().Stop(SIGTERM), 0);
    // Every command that reached the queue has its line: written, or superseded.
    std::istringstream lines(gw.Log());
    int logged = 0, loggedSuperseded = 0;
    for (std::string line; std::getline(lines, line);) {
        const json j = json::parse(line);
        if (j["event"] != "write" || !j.contains("held")) continue;
        ++(j["result"] == "Superseded" ? loggedSuperseded : logged);
        for (const char* key : {"time", "device", "topic", "client", "requested", "result"})
            EXPECT_TRUE(j.contains(key)) << key << " in " << line;
        if (j["device"] == "unit") {
            EXPECT_TRUE(j["held"] == 7.2 || j["held"] == 7.3) << line;
            EXPECT_TRUE(j["msg"].get<std::string>().ends_with("holds " + j["held"].dump())) << line;
        }
    }
    EXPECT_EQ(logged, written + 1);
    EXPECT_EQ(loggedSuperseded, superseded);
}

// The broker stopped for a while: readings made meanwhile are kept and published in order when it
// returns, marked historical but for the newest, which is the retained current value; nothing is
// lost within the bound and nothing comes twice.
TEST(GatewayService, ReadingsAreKeptWhileTheBrokerIsAway) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    auto sim = std::make_unique<Simulator>(ports, std::vector<std::string>{"--flow", "3:38400"},
                                           dir.File("sim.log"));
    ASSERT_TRUE(sim->Ready({3}));
    const int port = FreePort();
    // The broker keeps the test client's session across its restart, so that the client gets
    // every message, also those sent before it is back.
    const std::string persist =
        "persistence true\npersistence_location " + dir.Path() + "/\nmax_queued_messages 0\n";
    auto broker = std::make_unique<Broker>(dir, port, persist);
    auto client = std::make_unique<Client>(port, "tarvik/#", "keeper");
    ASSERT_TRUE(client->WaitSubscribed("tarvik/probe"));
    GatewayProcess gw(dir, ports, MqttSection(port) + Device("mfc1", 3, 38400, "[\"flow\"]", 0.1));
    const auto ok = [&] { return gw.Metric("tarvik_polls_total{device=\"mfc1\",result=\"ResultOk\"}"); };
    ASSERT_TRUE(client->WaitFor("tarvik/mfc1/flow", IsJson, Seconds(20))) << gw.Log();

    broker->Stop();
    const double before = ok();
    ASSERT_TRUE(WaitUntil([&] { return ok() > before + 20; }, Seconds(30)));
    EXPECT_GT(gw.Metric("tarvik_backlog_messages"), 10);
    sim.reset(); // no more readings: the count is final
    const double total = ok();
    broker = std::make_unique<Broker>(dir, port, persist);
    const auto good = [&] {
        std::vector<json> readings;
        for (const std::string& p : client->All("tarvik/mfc1/flow"))
            if (const json j = json::parse(p); j["quality"] == "good") readings.push_back(j);
        return readings;
    };
    EXPECT_TRUE(WaitUntil([&] { return good().size() >= total; }, Seconds(60)))
        << good().size() << " of " << total;
    const std::vector<json> readings = good();
    EXPECT_EQ(readings.size(), static_cast<std::size_t>(total));
    int historical = 0;
    for (std::size_t i = 1; i < readings.size(); ++i) {
        EXPECT_LT(readings[i - 1]["time"].get<std::string>(), readings[i]["time"].get<std::string>()) << i;
        historical += readings[i].value("historical", false);
    }
    EXPECT_GT(historical, 10);
    EXPECT_EQ(gw.Metric("tarvik_backlog_dropped_total"), 0);
    // The retained value is the newest, not historical.
    Client late(port, "tarvik/mfc1/flow");
    std::string retained;
    ASSERT_TRUE(late.WaitFor("tarvik/mfc1/flow", IsJson, Seconds(10), &retained));
    EXPECT_FALSE(json::parse(retained).contains("historical")) << retained;
    EXPECT_EQ(gw.Proc().Stop(SIGTERM), 0);
}

} // namespace
