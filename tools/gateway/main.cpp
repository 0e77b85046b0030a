// tarvik-gateway: polls instruments through the fast link and publishes their values to an MQTT
// broker and as Prometheus metrics. See docs/gateway.md.
#include <fmt/format.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <time.h>

#include "Config.h"
#include "Gateway.h"
#include "HartIpServer.h"
#include "HttpServer.h"
#include "Log.h"
#include "Metrics.h"
#include "Mqtt.h"
#include "SdNotify.h"
#include "SparkplugNode.h"

#ifndef TARVIK_VERSION
#define TARVIK_VERSION "unknown"
#endif

namespace {

using namespace tarvik::gateway;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2; // also every configuration error
constexpr auto kOnceConnectWait = std::chrono::seconds(5);
constexpr auto kAckWait = std::chrono::milliseconds(100);
constexpr auto kSignalWait = std::chrono::milliseconds(1000);
// A worker inside one request for longer than this is stuck: the watchdog is no longer fed.
constexpr auto kStuckLimit = std::chrono::seconds(30);

sigset_t HandledSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, s);
    return signals;
}

void LogLines(const std::string& text, std::string_view event) {
    std::size_t begin = 0;
    while (begin <= text.size()) {
        const auto end = std::min(text.find('\n', begin), text.size());
        LogEvent(event, text.substr(begin, end - begin));
        begin = end + 1;
    }
}

HttpServer::Response Serve(const std::string& path, const Metrics& metrics, const Gateway& gateway,
                           const HartIpServer* hartip) {
    if (path == "/metrics") return {200, "text/plain; version=0.0.4; charset=utf-8", metrics.Render()};
    if (path == "/health") {
        Health h = gateway.CheckHealth(std::chrono::system_clock::now());
        if (hartip && h.json.ends_with('}'))
            h.json.insert(h.json.size() - 1, ", \"hartip\": " + hartip->HealthJson());
        return {h.ok ? 200 : 503, "application/json", h.json + "\n"};
    }
    if (path == "/") return {200, "text/plain", "tarvik-gateway: metrics at /metrics, health at /health\n"};
    return {404, "text/plain", "not found\n"};
}

void Reload(const std::string& path, const Config& running, Gateway& gateway, Metrics& metrics,
            HartIpServer* hartip, SparkplugNode* spark) {
    SdNotify("RELOADING=1");
    try {
        const Config next = LoadConfig(path);
        if (!(next.mqtt == running.mqtt) || !(next.metrics == running.metrics) ||
            next.logFormat != running.logFormat || next.hartip.enabled != running.hartip.enabled ||
            !(next.sparkplug == running.sparkplug) || !(next.report == running.report))
            LogEvent("reload", "reload: [mqtt], [metrics], [log], [sparkplug] and [report] changes and "
                               "[hartip] on or off take effect at the next start");
        const std::string summary = gateway.Reload(next);
        if (hartip && next.hartip.enabled) hartip->Reload(next.hartip);
        if (spark) spark->Reload(next);
        metrics.Reloaded(true);
        LogEvent("reload", "reloaded " + path + ": " + summary, {{"result", "ok"}, {"summary", summary}});
    } catch (const ConfigError& e) {
        metrics.Reloaded(false);
        LogLines(e.what(), "reload");
        LogEvent("reload", "reload refused, the running configuration stays", {{"result", "refused"}});
    }
    SdNotify("READY=1");
}

// Until SIGTERM or SIGINT: SIGHUP reloads, the watchdog is fed while the workers come back.
int WaitForTheEnd(const std::string& path, const Config& config, Gateway& gateway, Metrics& metrics,
                  HartIpServer* hartip, SparkplugNode* spark) {
    using Clock = std::chrono::steady_clock;
    const sigset_t signals = HandledSignals();
    const auto ping = WatchdogPingInterval(); // half the service manager's limit; 0: no watchdog
    auto nextPing = Clock::now();
    for (;;) {
        auto wait = std::chrono::microseconds(kSignalWait);
        if (ping.count() > 0) {
            const auto now = Clock::now();
            if (now >= nextPing) {
                if (gateway.Responsive(kStuckLimit)) SdNotify("WATCHDOG=1");
                nextPing = now + ping;
            }
            wait = std::chrono::ceil<std::chrono::microseconds>(nextPing - now);
        }
        timespec timeout{static_cast<time_t>(wait.count() / 1000000),
                         static_cast<long>(wait.count() % 1000000) * 1000};
        const int signal = sigtimedwait(&signals, nullptr, &timeout);
        if (signal == SIGHUP) Reload(path, config, gateway, metrics, hartip, spark);
        if (signal == SIGTERM || signal == SIGINT) return signal;
    }
}

int RunOnce(Mqtt& mqtt, Gateway& gateway, const Config& config) {
    const bool connected = mqtt.WaitConnected(kOnceConnectWait);
    if (!connected)
        LogEvent("broker", fmt::format("not connected to the broker at {}:{}; values only printed",
                                       config.mqtt.host, config.mqtt.port));
    gateway.RunOnce();
    // The gateway is not running on: its own status says so (the devices keep theirs).
    mqtt.Close();
    mqtt.PublishFinal(gateway.ClientStatusTopic(), "offline");
    const bool acknowledged = connected && mqtt.WaitAcknowledged(kOnceConnectWait);
    mqtt.Stop();
    return acknowledged ? kExitOk : kExitFailed;
}

// The HART-IP server bound (not yet serving), or null with the reason logged.
std::unique_ptr<HartIpServer> ListenHartIp(const HartIpConfig& config, Gateway& gateway, Metrics& metrics) {
    auto server = std::make_unique<HartIpServer>(config, &gateway, &metrics);
    std::string error;
    const int port = server->Listen(error);
    if (port < 0) {
        LogEvent("error",
                 fmt::format("cannot listen on {}:{} for HART-IP: {}", config.host, config.port, error));
        return nullptr;
    }
    LogEvent("start", fmt::format("HART-IP at {}:{} (TCP and UDP), {} sessions", config.host, port,
                                  config.maxSessions));
    return server;
}

// The metrics and health server bound (not yet serving), or null with the reason logged. Its health
// holds the HART-IP server's part once `hartip` holds one.
std::unique_ptr<HttpServer> ListenHttp(const MetricsConfig& config, const Metrics& metrics,
                                       const Gateway& gateway, const std::unique_ptr<HartIpServer>& hartip) {
    auto http = std::make_unique<HttpServer>(
        [&metrics, &gateway, &hartip](const std::string& p) {
            return Serve(p, metrics, gateway, hartip.get());
        },
        config.users);
    std::string error;
    if (!config.tlsCertFile.empty() && !http->EnableTls(config.tlsCertFile, config.tlsKeyFile, error)) {
        LogEvent("error", error);
        return nullptr;
    }
    const int port = http->Listen(config.host, config.port, error);
    if (port < 0) {
        LogEvent("error",
                 fmt::format("cannot listen on {}:{} for metrics: {}", config.host, config.port, error));
        return nullptr;
    }
    LogEvent("start", fmt::format("metrics at http{}://{}:{}/metrics", config.tlsCertFile.empty() ? "" : "s",
                                  config.host, port));
    return http;
}

// The callbacks that log a connection's state and count its messages; `label` names it in the log.
Mqtt::Callbacks LoggingCallbacks(const MqttConfig& config, Metrics& metrics, const std::string& label,
                                 bool counted) {
    Mqtt::Callbacks callbacks;
    const std::string broker = fmt::format("{}:{}", config.host, config.port);
    callbacks.state = [&metrics, broker, label, counted](bool up) {
        if (counted) metrics.MqttConnected(up);
        if (up)
            LogEvent("broker", "connected to the broker " + broker + label,
                     {{"broker", broker}, {"state", "up"}});
    };
    callbacks.dropped = [&metrics](std::size_t count) { metrics.Dropped(count); };
    callbacks.acknowledged = [&metrics](std::size_t count) { metrics.Published(count); };
    callbacks.problem = [broker](const std::string& why) {
        LogEvent("broker", why, {{"broker", broker}, {"state", "down"}});
    };
    return callbacks;
}

// The Sparkplug edge node's own connection (its will changes with every connection), started.
std::unique_ptr<Mqtt> StartSparkplug(const Config& config, SparkplugNode& spark, Metrics& metrics) {
    auto mqtt = std::make_unique<Mqtt>(
        spark.ConnectionConfig(), spark.DeathTopic(), "",
        spark.Callbacks(LoggingCallbacks(config.mqtt, metrics, " (Sparkplug)", !config.sparkplug.json)));
    mqtt->SetWill([&spark] { return spark.Will(); }, false);
    spark.Attach(mqtt.get());
    std::string error;
    if (!mqtt->Start(error)) {
        LogEvent("error", error);
        return nullptr;
    }
    LogEvent("start",
             fmt::format("Sparkplug edge node {}/{}{}", config.sparkplug.groupId, config.sparkplug.edgeNodeId,
                         config.sparkplug.primaryHost.empty()
                             ? std::string()
                             : ", primary host " + config.sparkplug.primaryHost));
    return mqtt;
}

int Run(const std::string& path, const Config& config, bool once) {
    Metrics metrics(config.devices);
    metrics.Reloaded(true);
    // Declared before the gateway, whose workers tell it their values until they end.
    std::unique_ptr<SparkplugNode> spark;
    Gateway gateway(config, metrics);

    // Everything that can fail at start fails here, before any thread runs, with one line.
    std::unique_ptr<HartIpServer> hartip;
    std::unique_ptr<HttpServer> http;
    if (config.metrics.enabled && !once && !(http = ListenHttp(config.metrics, metrics, gateway, hartip)))
        return kExitFailed;
    if (config.hartip.enabled && !once && !(hartip = ListenHartIp(config.hartip, gateway, metrics)))
        return kExitFailed;

    // --once publishes the JSON topics whatever [sparkplug] says: it prints what it published.
    const bool json = once || !config.sparkplug.enabled || config.sparkplug.json;
    Mqtt::Callbacks callbacks = LoggingCallbacks(config.mqtt, metrics, "", true);
    callbacks.connected = [&gateway] { gateway.OnConnected(); };
    callbacks.message = [&gateway](std::string_view topic, std::string_view payload, bool retained,
                                   std::string_view client) {
        gateway.OnMessage(topic, payload, retained, client);
    };
    callbacks.tick = [&gateway] { gateway.OnTick(); };
    Mqtt mqtt(config.mqtt, gateway.ClientStatusTopic(), "offline", callbacks);
    std::unique_ptr<Mqtt> sparkMqtt;
    if (config.sparkplug.enabled && !once) {
        spark = std::make_unique<SparkplugNode>(
            config, [&gateway](std::string_view topic, std::string_view payload, std::string_view client) {
                gateway.OnMessage(topic, payload, false, client);
            });
        gateway.Observe(spark.get());
        if (!(sparkMqtt = StartSparkplug(config, *spark, metrics))) return kExitFailed;
    }
    gateway.Attach(json ? &mqtt : sparkMqtt.get(), once ? stdout : nullptr, json);
    std::string error;
    if (json && !mqtt.Start(error)) {
        LogEvent("error", error);
        return kExitFailed;
    }
    LogEvent("start", fmt::format("{} devices on {} ports, broker {}:{}, topics {}/...",
                                  config.devices.size(), gateway.PortCount(), config.mqtt.host,
                                  config.mqtt.port, json ? config.mqtt.prefix : std::string("spBv1.0")));
    if (once) return RunOnce(mqtt, gateway, config);

    gateway.Start();
    if (http) http->Start();
    if (hartip) hartip->Start();
    SdNotify("READY=1");
    const int signal = WaitForTheEnd(path, config, gateway, metrics, hartip.get(), spark.get());
    SdNotify("STOPPING=1");
    // Last words first, so that subscribers learn it at once; requests in progress end meanwhile.
    gateway.RequestStop();
    if (http) http->Stop();
    if (hartip) hartip->Stop();
    if (json) {
        mqtt.Close();
        gateway.PublishOffline();
    }
    if (sparkMqtt) {
        sparkMqtt->Close();
        spark->PublishDeath();
    }
    for (Mqtt* m : {&mqtt, sparkMqtt.get()})
        if (m) m->WaitAcknowledged(kAckWait);
    mqtt.Stop();
    if (sparkMqtt) sparkMqtt->Stop();
    gateway.Stop();
    LogEvent("stop", std::string("stopped (") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") + ")");
    return kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"tarvik-gateway: polls instruments through the fast link and publishes their values to an\n"
                 "MQTT broker (retained, QoS 1; with [sparkplug] also as a Sparkplug B edge node) and as\n"
                 "Prometheus metrics; takes set points from MQTT.",
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
               "2 usage or configuration error. SIGTERM or SIGINT: publishes offline (and NDEATH), exits 0;\n"
               "SIGHUP reloads.");
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
        LogLines(e.what(), "error");
        return kExitUsage;
    }
    SetLogFormat(config.logFormat);
    if (check) {
        std::printf("%s: valid, %zu devices\n", configPath.c_str(), config.devices.size());
        return kExitOk;
    }
    // Every thread started from here on inherits the mask; the main thread takes the signals. A
    // --once run keeps the default actions: Ctrl-C ends it at once.
    if (!once) {
        const sigset_t signals = HandledSignals();
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    }
    ::signal(SIGPIPE, SIG_IGN);
    try {
        return Run(configPath, config, once);
    } catch (const std::exception& e) {
        LogEvent("error", e.what());
        return kExitFailed;
    }
}
