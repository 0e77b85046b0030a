// tarvik-gateway: polls instruments through the fast link and publishes their values to an MQTT
// broker and as Prometheus metrics. See docs/gateway.md.
#include <httplib.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "Config.h"
#include "Gateway.h"
#include "Metrics.h"
#include "Mqtt.h"

#ifndef TARVIK_VERSION
#define TARVIK_VERSION "unknown"
#endif

namespace {

using namespace tarvik::gateway;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2; // also every configuration error
constexpr auto kOnceConnectWait = std::chrono::seconds(5);
constexpr auto kAckWait = std::chrono::milliseconds(300);
constexpr int kHttpThreads = 2;

// /metrics over HTTP, on a thread of the server's own.
class MetricsServer {
public:
    explicit MetricsServer(const Metrics& metrics) {
        server_.new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
        server_.Get("/metrics", [&metrics](const httplib::Request&, httplib::Response& res) {
            res.set_content(metrics.Render(), "text/plain; version=0.0.4; charset=utf-8");
        });
        server_.Get("/", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("tarvik-gateway: metrics at /metrics\n", "text/plain");
        });
    }
    ~MetricsServer() { Stop(); }
    // Port 0 takes any free port; returns the port, or -1.
    int Listen(const std::string& host, int port) {
        const int bound =
            port == 0 ? server_.bind_to_any_port(host) : (server_.bind_to_port(host, port) ? port : -1);
        if (bound < 0) return -1;
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        return bound;
    }
    void Stop() {
        if (!thread_.joinable()) return;
        server_.stop();
        thread_.join();
    }

private:
    httplib::Server server_;
    std::thread thread_;
};

int Run(const Config& config, bool once) {
    Metrics metrics(config.devices);
    Gateway gateway(config, metrics);

    std::unique_ptr<MetricsServer> http;
    if (config.metrics.enabled && !once) {
        http = std::make_unique<MetricsServer>(metrics);
        const int port = http->Listen(config.metrics.host, config.metrics.port);
        if (port < 0) {
            std::fprintf(stderr, "tarvik-gateway: cannot listen on %s:%d for metrics\n",
                         config.metrics.host.c_str(), config.metrics.port);
            return kExitFailed;
        }
        std::fprintf(stderr, "tarvik-gateway: metrics at http://%s:%d/metrics\n", config.metrics.host.c_str(),
                     port);
    }

    Mqtt::Callbacks callbacks;
    callbacks.connected = [&gateway] { gateway.OnConnected(); };
    callbacks.state = [&metrics](bool up) { metrics.MqttConnected(up); };
    callbacks.dropped = [&metrics](std::size_t count) { metrics.Dropped(count); };
    callbacks.problem = [](const std::string& why) {
        std::fprintf(stderr, "tarvik-gateway: %s\n", why.c_str());
    };
    callbacks.message = [&gateway](std::string_view topic, std::string_view payload, bool retained) {
        gateway.OnMessage(topic, payload, retained);
    };
    Mqtt mqtt(config.mqtt, gateway.ClientStatusTopic(), "offline", callbacks);
    gateway.Attach(&mqtt, once ? stdout : nullptr);
    std::string error;
    if (!mqtt.Start(error)) {
        std::fprintf(stderr, "tarvik-gateway: %s\n", error.c_str());
        return kExitFailed;
    }
    std::fprintf(stderr, "tarvik-gateway: %zu devices on %zu ports, broker %s:%d, topics %s/...\n",
                 config.devices.size(), gateway.PortCount(), config.mqtt.host.c_str(), config.mqtt.port,
                 config.mqtt.prefix.c_str());

    if (once) {
        const bool connected = mqtt.WaitConnected(kOnceConnectWait);
        if (!connected)
            std::fprintf(stderr,
                         "tarvik-gateway: not connected to the broker at %s:%d; values only printed\n",
                         config.mqtt.host.c_str(), config.mqtt.port);
        gateway.RunOnce();
        // The gateway is not running on: its own status says so (the devices keep theirs).
        mqtt.Close();
        mqtt.PublishFinal(gateway.ClientStatusTopic(), "offline");
        const bool acknowledged = connected && mqtt.WaitAcknowledged(kOnceConnectWait);
        mqtt.Stop();
        return acknowledged ? kExitOk : kExitFailed;
    }

    gateway.Start();
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    int signal = 0;
    while (sigwait(&signals, &signal) != 0) {
    }
    // Last words first, so that subscribers learn it at once; a request in progress then ends.
    mqtt.Close();
    gateway.PublishOffline();
    mqtt.WaitAcknowledged(kAckWait);
    mqtt.Stop();
    gateway.Stop();
    if (http) http->Stop();
    std::fprintf(stderr, "tarvik-gateway: stopped (%s)\n", signal == SIGTERM ? "SIGTERM" : "SIGINT");
    return kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"tarvik-gateway: polls instruments through the fast link and publishes their values to an\n"
                 "MQTT broker (retained, QoS 1) and as Prometheus metrics; takes set points from MQTT.",
                 "tarvik-gateway"};
    std::string configPath, trace;
    bool once = false, check = false, version = false;
    app.add_option("-c,--config", configPath, "the configuration file (TOML)");
    app.add_flag("--once", once, "poll every device once, publish, print what was published, exit");
    app.add_flag("--check", check, "check the configuration and exit (0 valid, 2 not)");
    app.add_flag("--version", version, "print the version and exit");
    app.add_option("--trace", trace, "log every exchange on the line to FILE (- for stderr)");
    app.footer("Examples:\n"
               "  tarvik-gateway --config /etc/tarvik/gateway.toml\n"
               "  tarvik-gateway --config gateway.toml --check\n"
               "  tarvik-gateway --config gateway.toml --once\n"
               "Exit status: 0 success, 1 failure (broker unreachable with --once, metrics port taken),\n"
               "2 usage or configuration error. SIGTERM or SIGINT: publishes offline, exits 0.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    if (version) {
        std::printf("tarvik-gateway %s\n", TARVIK_VERSION);
        return kExitOk;
    }
    if (configPath.empty()) {
        std::fprintf(stderr, "tarvik-gateway: --config FILE is required (see --help)\n");
        return kExitUsage;
    }
    // The library reads it at its first call on a port; that is after this.
    if (!trace.empty()) ::setenv("TARVIK_TRACE", trace.c_str(), 1);

    Config config;
    try {
        config = LoadConfig(configPath);
    } catch (const ConfigError& e) {
        std::fprintf(stderr, "tarvik-gateway: %s\n", e.what());
        return kExitUsage;
    }
    if (check) {
        std::printf("%s: valid, %zu devices\n", configPath.c_str(), config.devices.size());
        return kExitOk;
    }
    // Every thread started from here on inherits the mask; the main thread takes the signals. A
    // --once run keeps the default actions: Ctrl-C ends it at once.
    if (!once) {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    }
    ::signal(SIGPIPE, SIG_IGN);
    try {
        return Run(config, once);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvik-gateway: %s\n", e.what());
        return kExitFailed;
    }
}
