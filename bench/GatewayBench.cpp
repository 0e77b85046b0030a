// The gateway under load: 16 simulated HART flow devices (tarvik-sim with line timing), one per
// port, each polled as fast as its line allows. Prints
//   - the single-port rate of the fast link (ReadFlow in a loop on one port),
//   - the gateway's total polls per second over all ports, against 16 x the single-port rate,
//   - the gateway process's CPU time over wall time (its share of one core),
//   - heap allocations of one poll after warm-up: payload and metrics alone (polling thread), and
//     with the MQTT publish (polling thread, and the whole process: libmosquitto's copies are
//     made on its network thread).
// With a mosquitto binary on the PATH the gateway publishes to a real broker during the run.
//
// With --sparkplug yes it then compares the ways out, each publishing to the broker: the JSON
// topics, Sparkplug only, and the JSON topics with report by exception (the messages they save).
//
//   tarvik_gateway_bench --sim build/bin/tarvik-sim --gateway build/bin/tarvik-gateway [--ports 16]
//                        [--baud 38400] [--seconds 10] [--broker no] [--sparkplug yes]
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Alloc.h"
#include "Config.h"
#include "Gateway.h"
#include "Kit.h"
#include "Metrics.h"
#include "Mqtt.h"
#include "tarvik/Link.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace gw = tarvik::gateway;
namespace kit = tarvik::testkit;

// Sum over every device of the series `name{...}`.
double Sum(const std::string& metrics, const std::string& name) {
    double total = 0;
    std::istringstream in(metrics);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(name + "{", 0) == 0) total += std::stod(line.substr(line.rfind(' ') + 1));
    return total;
}

// User plus system CPU time of a process, in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stod(field);
        if (i == 15) stime = std::stod(field);
    }
    return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double ThreadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string DeviceToml(int port, int baud) {
    char text[256];
    std::snprintf(
        text, sizeof text,
        "[[device]]\nname = \"mfc%d\"\nkind = \"flow\"\nport = %d\nbaud = %d\naddress = \"64:0102%02X\"\n"
        "values = [\"flow\"]\ninterval = 0\nwritable = true\n",
        port, port, baud, port);
    return text;
}

// Resident memory of a process, in MB.
double RssMb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024;
    return 0;
}

double Metric(const std::string& metrics, const std::string& series) {
    return kit::MetricValue(metrics, series);
}

// A gateway on every port, publishing to the broker at `brokerPort`; `body` runs while it does.
void WithGateway(const std::string& gateway, const std::string& dir, int ports, int baud, int brokerPort,
                 const std::function<void(kit::Process&, int metricsPort)>& body) {
    const int metricsPort = kit::FreePort();
    {
        std::ofstream toml(dir + "/gateway2.toml");
        toml << "[mqtt]\nport = " << brokerPort
             << "\nclient_id = \"bench\"\n[metrics]\nlisten = \"127.0.0.1:" << metricsPort << "\"\n";
        for (int p = 1; p <= ports; ++p)
            toml << DeviceToml(p, baud);
    }
    kit::Process process({gateway, "--config", dir + "/gateway2.toml"}, dir + "/gateway2.log");
    std::this_thread::sleep_for(std::chrono::seconds(3)); // warm-up
    body(process, metricsPort);
    process.Stop(SIGTERM);
}

// 100 set-point commands a second to mfc1: its polling rate against the same time before.
void FloodRun(const std::string& gateway, const std::string& dir, int ports, int baud, int brokerPort,
              double seconds) {
    WithGateway(gateway, dir, ports, baud, brokerPort, [&](kit::Process&, int metricsPort) {
        const std::string series = "tarvik_polls_total{device=\"mfc1\",result=\"ResultOk\"}";
        const auto rate = [&](const std::function<void()>& during) {
            const double p0 = Metric(kit::HttpGet(metricsPort, "/metrics"), series);
            const auto t0 = Clock::now();
            during();
            const double p1 = Metric(kit::HttpGet(metricsPort, "/metrics"), series);
            return (p1 - p0) / std::chrono::duration<double>(Clock::now() - t0).count();
        };
        const double quiet =
            rate([&] { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); });
        gw::MqttConfig config;
        config.port = brokerPort;
        config.clientId = "flooder";
        gw::Mqtt flooder(config, "bench/flooder", "gone", {});
        std::string error;
        if (!flooder.Start(error) || !flooder.WaitConnected(std::chrono::seconds(5))) return;
        int sent = 0;
        const double flooded = rate([&] {
            const auto start = Clock::now();
            while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
                flooder.Publish("tarvik/mfc1/setpoint/set", std::to_string(sent % 100), false);
                ++sent;
                std::this_thread::sleep_until(start + sent * std::chrono::milliseconds(10));
            }
        });
        const std::string m = kit::HttpGet(metricsPort, "/metrics");
        std::printf("  flood: %d commands to mfc1 in %.0f s; its polls %.1f/s quiet, %.1f/s flooded = %.2f "
                    "(goal >= 0.8); %.0f writes made\n",
                    sent, seconds, quiet, flooded, quiet > 0 ? flooded / quiet : 0.0,
                    Metric(m, "tarvik_writes_total{result=\"ok\"}"));
        flooder.Stop();
    });
}

// The broker away for `seconds`: readings kept (bounded), memory, and the replay when it is back.
void OutageRun(const std::string& gateway, const kit::TempDir& temp, int ports, int baud, double seconds) {
    kit::Broker broker(temp);
    WithGateway(gateway, temp.Path(), ports, baud, broker.Port(), [&](kit::Process& gw, int metricsPort) {
        const double rss0 = RssMb(gw.Pid());
        broker.Stop();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const std::string away = kit::HttpGet(metricsPort, "/metrics");
        const double rssAway = RssMb(gw.Pid());
        broker.Start();
        const auto t0 = Clock::now();
        kit::WaitUntil(
            [&] { return Metric(kit::HttpGet(metricsPort, "/metrics"), "tarvik_backlog_messages") == 0; },
            kit::Seconds(60));
        const double replay = std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf(
            "  outage: broker away %.0f s: %.0f readings kept, %.0f dropped (oldest first); RSS %.1f MB "
            "before, %.1f MB during; backlog replayed %.1f s after the broker returned\n",
            seconds, Metric(away, "tarvik_backlog_messages"), Metric(away, "tarvik_backlog_dropped_total"),
            rss0, rssAway, replay);
    });
}

struct Options {
    std::string sim = "tarvik-sim", gateway = "tarvik-gateway";
    int ports = 16, baud = 38400;
    double seconds = 10;
    bool broker = true;
    bool sparkplug = false; // compare the ways out instead of the flood and outage runs
};

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--sim")
            o.sim = value;
        else if (key == "--gateway")
            o.gateway = value;
        else if (key == "--ports")
            o.ports = std::stoi(value);
        else if (key == "--baud")
            o.baud = std::stoi(value);
        else if (key == "--seconds")
            o.seconds = std::stod(value);
        else if (key == "--broker")
            o.broker = value != "no";
        else if (key == "--sparkplug")
            o.sparkplug = value == "yes";
    }
    return o;
}

struct SinglePort {
    bool opened = false;
    double rate = 0;       // good polls per second
    double cpuPerPoll = 0; // seconds of CPU of the polling thread, per request
};

// The fast link's rate on COM1 alone: ReadFlow in a loop for half the run's time.
SinglePort SinglePortRate(const Options& o) {
    SinglePort r;
    tarvik::link::HartLink link;
    if (link.Open(1, o.baud) != ResultOk) return r;
    r.opened = true;
    const tarvik::link::DeviceAddress device{0x64, 0x01, 0x02, 0x01};
    for (int i = 0; i < 5; ++i)
        link.ReadFlow(device);
    int ok = 0, polls = 0;
    const double cpu0 = ThreadCpuSeconds();
    const auto start = Clock::now();
    while (std::chrono::duration<double>(Clock::now() - start).count() < o.seconds / 2) {
        ok += link.ReadFlow(device).Ok() ? 1 : 0;
        ++polls;
    }
    r.rate = ok / std::chrono::duration<double>(Clock::now() - start).count();
    r.cpuPerPoll = (ThreadCpuSeconds() - cpu0) / polls;
    return r;
}

struct Allocations {
    long long alone = -1;       // payload and metrics, on the polling thread
    long long withMqtt = -1;    // the same with the MQTT publish
    long long mqttProcess = -1; // the whole process with the MQTT publish
};

// Heap allocations of one poll after warm-up, in this process: alone, and publishing to the broker
// at `brokerPort` when one is up.
Allocations AllocationsPerPoll(int baud, int brokerPort, bool brokerUp) {
    Allocations a;
    const std::string toml = "[mqtt]\nport = " + std::to_string(brokerPort) + "\n" + DeviceToml(1, baud);
    const gw::Config config = gw::ParseConfig(toml, "bench.toml");
    gw::Metrics metrics(config.devices);
    gw::Gateway g(config, metrics);
    constexpr int kPolls = 20;
    // Allocations per poll after warm-up, on this thread and in the process; `settle` waits for
    // work the poll handed to other threads.
    const auto perPoll = [&g](const std::function<void()>& settle) {
        for (int i = 0; i < 3; ++i)
            g.RunOnce(); // warm-up: port opened, tables and caches filled
        settle();
        const auto thread0 = tarvik::bench::ThreadHeap().allocations;
        const auto process0 = tarvik::bench::ProcessHeap().allocations;
        for (int i = 0; i < kPolls; ++i)
            g.RunOnce();
        settle();
        return std::make_pair((tarvik::bench::ThreadHeap().allocations - thread0) / kPolls,
                              (tarvik::bench::ProcessHeap().allocations - process0) / kPolls);
    };
    a.alone = perPoll([] {}).first;
    if (!brokerUp) return a;
    gw::Mqtt::Callbacks callbacks;
    gw::Mqtt mqtt(config.mqtt, g.ClientStatusTopic(), "offline", callbacks);
    std::string error;
    if (mqtt.Start(error) && mqtt.WaitConnected(std::chrono::seconds(5))) {
        g.Attach(&mqtt);
        std::tie(a.withMqtt, a.mqttProcess) =
            perPoll([&mqtt] { mqtt.WaitAcknowledged(std::chrono::seconds(5)); });
        g.Attach(nullptr);
    }
    mqtt.Stop();
    return a;
}

struct GatewayRun {
    double rate = 0;     // polls per second over every port
    double cpu = 0;      // the process's CPU time over wall time
    double request = 0;  // mean request time, seconds
    double messages = 0; // acknowledged by the broker, per second
    double rssMb = 0;    // at the end
};

// The gateway process, every port as fast as its line allows, publishing to `mqttPort`; `extra`
// is more of its configuration.
GatewayRun MeasureGateway(const Options& o, const std::string& dir, int mqttPort,
                          const std::string& extra = "") {
    const int metricsPort = kit::FreePort();
    {
        std::ofstream toml(dir + "/gateway.toml");
        toml << "[mqtt]\nport = " << mqttPort << "\n[metrics]\nlisten = \"127.0.0.1:" << metricsPort << "\"\n"
             << extra;
        for (int p = 1; p <= o.ports; ++p)
            toml << DeviceToml(p, o.baud);
    }
    kit::Process gatewayProcess({o.gateway, "--config", dir + "/gateway.toml"}, dir + "/gateway.log");
    std::this_thread::sleep_for(std::chrono::seconds(3)); // warm-up
    const std::string m0 = kit::HttpGet(metricsPort, "/metrics");
    const double cpu0 = CpuSeconds(gatewayProcess.Pid());
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
    const std::string m1 = kit::HttpGet(metricsPort, "/metrics");
    const double cpu1 = CpuSeconds(gatewayProcess.Pid());
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double rss = RssMb(gatewayProcess.Pid());
    gatewayProcess.Stop(SIGTERM);
    const double polls = Sum(m1, "tarvik_polls_total") - Sum(m0, "tarvik_polls_total");
    const double busy =
        Sum(m1, "tarvik_poll_duration_seconds_sum") - Sum(m0, "tarvik_poll_duration_seconds_sum");
    const double messages =
        Metric(m1, "tarvik_mqtt_published_total") - Metric(m0, "tarvik_mqtt_published_total");
    return {polls / wall, (cpu1 - cpu0) / wall, polls > 0 ? busy / polls : 0.0, messages / wall, rss};
}

// Every device's set point at half scale: its flow follows, with noise, so values change at every
// poll (a closed valve reads a steady zero, and Sparkplug would publish nothing).
void OpenValves(const Options& o) {
    constexpr std::uint8_t kPercent = 57;
    constexpr float kHalf = 50;
    for (int p = 1; p <= o.ports; ++p) {
        tarvik::link::HartLink link;
        if (link.Open(p, o.baud) == ResultOk)
            link.WriteSetPoint({0x64, 0x01, 0x02, static_cast<std::uint8_t>(p)}, kPercent, kHalf);
    }
    std::this_thread::sleep_for(std::chrono::seconds(3)); // the flow's lag
}

// The ways out compared, each publishing to the broker: CPU per poll and messages per second.
void CompareWaysOut(const Options& o, const std::string& dir, int brokerPort) {
    OpenValves(o);
    const std::string sparkplug = "[sparkplug]\ngroup_id = \"bench\"\nedge_node_id = \"gw\"\n";
    struct Way {
        const char* what;
        std::string extra;
    };
    const Way ways[] = {
        {"JSON topics (every poll)", ""},
        {"Sparkplug only", sparkplug + "json = false\n"},
        {"JSON and Sparkplug", sparkplug},
        {"JSON, deadband 1 %, heartbeat 10 s",
         "[report]\ndeadband_percent = 1\nmax_interval = 10\n[report.flow]\n"
         "range = [0, 100]\n"},
    };
    double json = 0;
    std::printf("  ways out, %d ports publishing to mosquitto:\n", o.ports);
    for (const Way& w : ways) {
        const GatewayRun run = MeasureGateway(o, dir, brokerPort, w.extra);
        const double perPoll = run.rate > 0 ? run.cpu / run.rate : 0;
        if (json == 0) json = perPoll;
        std::printf(
            "    %-36s %7.1f polls/s, %5.1f %% CPU, %4.0f us per poll (%.2f x JSON), %7.1f messages/s, "
            "RSS %.1f MB\n",
            w.what, run.rate, 100 * run.cpu, 1e6 * perPoll, json > 0 ? perPoll / json : 0.0, run.messages,
            run.rssMb);
    }
}

void Report(const Options& o, const SinglePort& single, const GatewayRun& alone, const GatewayRun* published,
            const Allocations& allocs) {
    std::printf(
        "gateway benchmark: %d simulated HART flow devices at %d bit/s with line timing, %.0f s each\n",
        o.ports, o.baud, o.seconds);
    std::printf("  single-port fast-link rate (ReadFlow loop)    %8.1f polls/s, %.0f us CPU per request\n",
                single.rate, single.cpuPerPoll * 1e6);
    const auto report = [&](const char* what, const GatewayRun& run) {
        std::printf("  gateway, %2d ports, %-26s %8.1f polls/s = %.3f x %d x single port (goal >= 0.95)\n",
                    o.ports, what, run.rate, run.rate / (o.ports * single.rate), o.ports);
        std::printf("      CPU time / wall time %5.1f %% of one core (goal <= 10 %%), %.0f us per poll\n",
                    100 * run.cpu, run.rate > 0 ? 1e6 * run.cpu / run.rate : 0.0);
        std::printf("      mean request time %.2f ms (the rest of the time between polls of a port is the "
                    "gateway's)\n",
                    1e3 * run.request);
    };
    report("no broker", alone);
    if (published) report("publishing to mosquitto", *published);
    std::printf("  heap allocations per poll after warm-up: %lld (payload and metrics)", allocs.alone);
    if (allocs.withMqtt >= 0)
        std::printf(", %lld on the polling thread with MQTT, %lld in the process (libmosquitto's copies)",
                    allocs.withMqtt, allocs.mqttProcess);
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    const Options o = ParseOptions(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    const kit::TempDir temp; // removed last, after every process below has ended
    const std::string& dir = temp.Path();
    const std::string portDir = dir + "/ports";
    ::setenv("TARVIK_PORT_DIR", portDir.c_str(), 1);

    std::vector<std::string> simArgs;
    for (int p = 1; p <= o.ports; ++p) {
        simArgs.push_back("--flow");
        simArgs.push_back(std::to_string(p) + ":" + std::to_string(o.baud));
    }
    kit::Simulator simulator(simArgs,
                             {.program = o.sim, .dir = portDir, .log = dir + "/sim.log", .lineTiming = true});
    if (!simulator.Ready({o.ports})) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    const SinglePort single = SinglePortRate(o);
    if (!single.opened) {
        std::fprintf(stderr, "cannot open COM1\n");
        return 1;
    }
    std::optional<kit::Broker> broker;
    if (o.broker) broker.emplace(temp);
    const bool brokerUp = broker && broker->Up();
    const int brokerPort = broker ? broker->Port() : kit::FreePort();
    const Allocations allocs = AllocationsPerPoll(o.baud, brokerPort, brokerUp);

    // Once without a broker (polling and metrics alone), once publishing to the broker.
    const GatewayRun alone = MeasureGateway(o, dir, kit::FreePort()); // nobody listens there
    GatewayRun published;
    if (brokerUp) published = MeasureGateway(o, dir, brokerPort);
    Report(o, single, alone, brokerUp ? &published : nullptr, allocs);
    if (brokerUp && o.sparkplug) {
        CompareWaysOut(o, dir, brokerPort);
    } else if (brokerUp) {
        FloodRun(o.gateway, dir, o.ports, o.baud, brokerPort, o.seconds);
        OutageRun(o.gateway, temp, o.ports, o.baud, o.seconds);
    }
    broker.reset();
    simulator.Stop(SIGINT);
    return 0;
}
