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
            HartIpServer* hartip) {
    SdNotify("RELOADING=1");
    try {
        const Config next = LoadConfig(path);
        if (!(next.mqtt == running.mqtt) || !(next.metrics == running.metrics) ||
            next.logFormat != running.logFormat || next.hartip.enabled != running.hartip.enabled)
            LogEvent("reload",
                     "reload: [mqtt], [metrics], [log] changes and [hartip] on or off take effect at "
                     "the next start");
        const std::string summary = gateway.Reload(next);
        if (hartip && next.hartip.enabled) hartip->Reload(next.hartip);
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
                  HartIpServer* hartip) {
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
        if (signal == SIGHUP) Reload(path, config, gateway, metrics, hartip);
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

int Run(const std::string& path, const Config& config, bool once) {
    Metrics metrics(config.devices);
    metrics.Reloaded(true);
    Gateway gateway(config, metrics);

    // Everything that can fail at start fails here, before any thread runs, with one line.
    std::unique_ptr<HttpServer> http;
    std::unique_ptr<HartIpServer> hartip;
    if (config.metrics.enabled && !once) {
        http = std::make_unique<HttpServer>(
            [&, h = &hartip](const std::string& p) { return Serve(p, metrics, gateway, h->get()); },
            config.metrics.users);
        std::string error;
        if (!config.metrics.tlsCertFile.empty() &&
            !http->EnableTls(config.metrics.tlsCertFile, config.metrics.tlsKeyFile, error)) {
            LogEvent("error", error);
            return kExitFailed;
        }
        const int port = http->Listen(config.metrics.host, config.metrics.port, error);
        if (port < 0) {
            LogEvent("error", fmt::format("cannot listen on {}:{} for metrics: {}", config.metrics.host,
                                          config.metrics.port, error));
            return kExitFailed;
        }
        LogEvent("start",
                 fmt::format("metrics at http{}://{}:{}/metrics",
                             config.metrics.tlsCertFile.empty() ? "" : "s", config.metrics.host, port));
    }

    if (config.hartip.enabled && !once && !(hartip = ListenHartIp(config.hartip, gateway, metrics)))
        return kExitFailed;

    Mqtt::Callbacks callbacks;
    callbacks.connected = [&gateway] { gateway.OnConnected(); };
    const std::string broker = fmt::format("{}:{}", config.mqtt.host, config.mqtt.port);
    callbacks.state = [&metrics, broker](bool up) {
        metrics.MqttConnected(up);
        if (up)
            LogEvent("broker", "connected to the broker " + broker, {{"broker", broker}, {"state", "up"}});
    };
    callbacks.dropped = [&metrics](std::size_t count) { metrics.Dropped(count); };
    callbacks.acknowledged = [&metrics](std::size_t count) { metrics.Published(count); };
    callbacks.problem = [broker](const std::string& why) {
        LogEvent("broker", why, {{"broker", broker}, {"state", "down"}});
    };
    callbacks.message = [&gateway](std::string_view topic, std::string_view payload, bool retained,
                                   std::string_view client) {
        gateway.OnMessage(topic, payload, retained, client);
    };
    callbacks.tick = [&gateway] { gateway.OnTick(); };
    Mqtt mqtt(config.mqtt, gateway.ClientStatusTopic(), "offline", callbacks);
    gateway.Attach(&mqtt, once ? stdout : nullptr);
    std::string error;
    if (!mqtt.Start(error)) {
        LogEvent("error", error);
        return kExitFailed;
    }
    LogEvent("start", fmt::format("{} devices on {} ports, broker {}, topics {}/...", config.devices.size(),
                                  gateway.PortCount(), broker, config.mqtt.prefix));
    if (once) return RunOnce(mqtt, gateway, config);

    gateway.Start();
    if (http) http->Start();
    if (hartip) hartip->Start();
    SdNotify("READY=1");
    const int signal = WaitForTheEnd(path, config, gateway, metrics, hartip.get());
    SdNotify("STOPPING=1");
    // Last words first, so that subscribers learn it at once; requests in progress end meanwhile.
    gateway.RequestStop();
    if (http) http->Stop();
    if (hartip) hartip->Stop();
    mqtt.Close();
    gateway.PublishOffline();
    mqtt.WaitAcknowledged(kAckWait);
    mqtt.Stop();
    gateway.Stop();
    LogEvent("stop", std::string("stopped (") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") + ")");
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
    app.footer(
        "Examples:\n"
        "  tarvik-gateway --config /etc/tarvik/gateway.toml\n"
        "  tarvik-gateway --config gateway.toml --check\n"
        "  tarvik-gateway --config gateway.toml --once\n"
        "Exit status: 0 success, 1 failure (broker unreachable with --once, metrics port taken),\n"
        "2 usage or configuration error. SIGTERM or SIGINT: publishes offline, exits 0; SIGHUP reloads.");
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
