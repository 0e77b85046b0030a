// The gateway's configuration: a TOML file with [mqtt], [metrics] and one [[device]] table per
// instrument. Loading checks everything up front: unknown keys, wrong types, values out of range
// and duplicate names are errors that name the file, the line and the key.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvik::gateway {

enum class DeviceKind { Flow, Pressure, Readout };

// One quantity a device is polled for. HART devices: flow, setpoint, totalizer (flow devices),
// pressure (pressure devices). The 0731 unit: pv and sp, once per configured channel.
enum class Quantity { Flow, SetPoint, Totalizer, Pressure, UnitPv, UnitSp };

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
    double interval = 1.0; // seconds; 0 polls as fast as the line allows
    std::vector<int> channels;
    std::vector<ValueSpec> values; // in polling order
    bool writable = false;
    double setpointMin = 0.0;
    double setpointMax = 100.0;
    int digits = 2; // 0731 unit: decimals of a written set point
    int line = 0;   // where the table starts in the file, for messages
};

struct MqttConfig {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string prefix = "tarvik";
    std::string clientId; // default tarvik-<hostname>
    std::string username;
    std::string passwordFile;
    std::string caFile; // TLS when set
    int keepalive = 30;
};

struct MetricsConfig {
    std::string host = "127.0.0.1"; // empty host: metrics off
    int port = 9464;                // 0: any free port (printed at start)
    bool enabled = true;
};

struct Config {
    std::string path;
    MqttConfig mqtt;
    MetricsConfig metrics;
    std::vector<DeviceConfig> devices;
};

class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws ConfigError with "FILE:LINE: KEY: what is wrong".
Config LoadConfig(const std::string& path);
// The same from text; `path` only names it in messages.
Config ParseConfig(const std::string& text, const std::string& path);

const char* KindName(DeviceKind kind);

} // namespace tarvik::gateway
