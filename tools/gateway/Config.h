// The gateway's configuration: a TOML file with [mqtt], [metrics] and one [[device]] table per
// instrument. Loading checks everything up front: unknown keys, wrong types, values out of range
// and duplicate names are errors that name the file, the line and the key.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "HartIpAccess.h"
#include "ReportByException.h"

namespace tarvik::gateway {

enum class DeviceKind { Flow, Pressure, Readout, Hart };

// One quantity a device is polled for. HART devices: flow, setpoint, totalizer (flow devices),
// pressure (pressure devices). The 0731 unit: pv and sp, once per configured channel. Any HART
// device (kind "hart"): pv, sv, tv, qv (command 3), current and percent (command 2).
enum class Quantity { Flow, SetPoint, Totalizer, Pressure, UnitPv, UnitSp, Pv, Sv, Tv, Qv, Current, Percent };

struct ValueSpec {
    Quantity quantity = Quantity::Flow;
    int channel = 0;   // 1..4 for the 0731 unit, 0 otherwise
    std::string topic; // the last topic level: "flow", "pv1"
};

struct DeviceConfig {
    std::string name;
    DeviceKind kind = DeviceKind::Flow;
    int port = 0;
    int baud = 19200; // HART devices; the 0731 unit's line is fixed
    std::uint8_t deviceType = 0;
    std::uint8_t id[3] = {0, 0, 0};
    // Any HART device: its polling address (short frames), or -1 and its five-byte long address.
    int polling = -1;
    std::uint8_t longAddress[5] = {0, 0, 0, 0, 0};
    // Any HART device: switched to burst mode (command 3) at first contact, then published from its
    // burst frames as they come instead of being polled.
    bool burst = false;
    double interval = 1.0; // seconds; 0 polls as fast as the line allows
    std::vector<int> channels;
    std::vector<ValueSpec> values; // in polling order
    // The set-point commands this device takes ("setpoint", "setpoint2"): `writable = true` allows
    // every set point of the device, a list allows the named ones; empty: read-only.
    std::vector<std::string> writes;
    double setpointMin = 0.0;
    double setpointMax = 100.0;
    int digits = 2;             // 0731 unit: decimals of a written set point
    double writeInterval = 1.0; // seconds at least between two writes to the device
    int offlineAfter = 3;       // consecutive polls without an answer before the device is offline
    double staleAfter = 0;      // seconds after which the last good value is no longer vouched for
    int line = 0;               // where the table starts in the file, for messages

    bool Writable(std::string_view command) const;
    // Everything but `line`: a reload leaves a device whose settings are the same alone.
    bool SameSettings(const DeviceConfig& other) const;
};

struct MqttConfig {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string prefix = "tarvik";
    std::string clientId; // default tarvik-<hostname>
    std::string username;
    std::string passwordFile;
    std::string caFile;   // TLS when set
    std::string certFile; // a client certificate (with keyFile) for brokers that ask for one
    std::string keyFile;
    int keepalive = 30;
    int buffer = 10000;     // readings kept while the broker is away; 0: none
    std::string bufferFile; // those readings also kept in this file (survive a restart); empty: memory only
    int bufferMaxBytes = 32 * 1024 * 1024; // the file's bound; the waiting readings take at most half
    bool operator==(const MqttConfig&) const = default;
};

struct MetricsConfig {
    std::string host = "127.0.0.1"; // empty host: metrics off
    int port = 9464;                // 0: any free port (printed at start)
    bool enabled = true;
    // Basic authentication: user -> bcrypt hash of the password; empty: no authentication.
    std::vector<std::pair<std::string, std::string>> users;
    std::string tlsCertFile, tlsKeyFile; // HTTPS when set
    bool operator==(const MetricsConfig&) const = default;
};

// [hartip]: the HART-IP server (TCP and UDP on one address and port) and the gateway's own
// identity as a HART device there. Off when the section is absent.
struct HartIpConfig {
    bool enabled = false;
    std::string host = "127.0.0.1";
    int port = 5094; // 0: any free port (printed at start)
    int maxSessions = 8;
    std::string tag = "TARVIK-GW"; // the long tag (command 20); command 13 takes its first 8 characters
    std::uint32_t deviceId = 0;    // 24 bits; 0: derived from the host name
    std::optional<std::vector<Network>> allow; // clients served; none given: every client
    std::vector<Network> allowWrites;          // clients whose commands may change a device
    bool operator==(const HartIpConfig&) const = default;
};

// [sparkplug]: the gateway as a Sparkplug B edge node (docs/sparkplug.md). Off when absent.
struct SparkplugConfig {
    bool enabled = false;
    std::string groupId;
    std::string edgeNodeId;
    std::string primaryHost; // empty: publish whenever connected
    bool aliases = false;    // DATA messages name metrics by the alias given in the birth
    bool json = true;        // the JSON topics too (false: Sparkplug only)
    bool operator==(const SparkplugConfig&) const = default;
};

enum class LogFormat { Text, Json };

struct Config {
    std::string path;
    MqttConfig mqtt;
    MetricsConfig metrics;
    HartIpConfig hartip;
    SparkplugConfig sparkplug;
    ReportConfig report;
    LogFormat logFormat = LogFormat::Text;
    std::vector<DeviceConfig> devices;
};

class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws ConfigError with one line "FILE:LINE: KEY: what is wrong" per error found: every table is
// read to its end or its first error, and the files the settings name are checked to be readable.
Config LoadConfig(const std::string& path);
// The same from text; `path` only names it in messages.
Config ParseConfig(const std::string& text, const std::string& path);

const char* KindName(DeviceKind kind);

} // namespace tarvik::gateway
