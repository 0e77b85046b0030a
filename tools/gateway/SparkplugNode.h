// The gateway as a Sparkplug B edge node (docs/sparkplug.md), on an MQTT connection of its own:
// its will is the NDEATH of that connection's bdSeq, set anew before every connection try, which
// the JSON connection's retained "offline" will cannot share. After each connection (and, with a
// primary host, once that host says it is online) it publishes NBIRTH with seq 0, then a DBIRTH for
// every device online; afterwards DDATA with the metrics that changed (report by exception),
// DDEATH when a device goes offline and DBIRTH when it returns. NCMD Node Control/Rebirth births
// everything again. DCMD writes go through the gateway's write control as JSON commands do; what
// the device then holds is published as DDATA. While not live (broker or primary host away) the
// values that would have gone out are kept (bounded) and follow the next birth as historical.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Config.h"
#include "Gateway.h"
#include "Mqtt.h"
#include "SparkplugPayload.h"

namespace tarvik::gateway {

class SparkplugNode : public Observer {
public:
    static constexpr std::size_t kMaxKept = 10000; // values kept while not live
    // Hands a write to the gateway's write control as if it came on `topic` (a JSON command).
    using Submit =
        std::function<void(std::string_view topic, std::string_view payload, std::string_view client)>;

    SparkplugNode(const Config& config, Submit submit);
    SparkplugNode(const SparkplugNode&) = delete;
    SparkplugNode& operator=(const SparkplugNode&) = delete;

    // The connection's settings (its own client id) and callbacks; `base` keeps the logging ones.
    MqttConfig ConnectionConfig() const { return mqttConfig_; }
    Mqtt::Callbacks Callbacks(Mqtt::Callbacks base);
    void Attach(Mqtt* mqtt) { mqtt_ = mqtt; }
    std::string Will(); // the NDEATH of the coming connection
    std::string DeathTopic() const { return Topic("NDEATH"); }
    // A clean stop, after Mqtt::Close: the NDEATH the broker keeps to itself at the DISCONNECT.
    void PublishDeath();
    // A new device list: everything is born again with it.
    void Reload(const Config& config);

    void OnValue(const std::string& device, std::size_t index, std::optional<float> good,
                 const std::string& unit, Quality quality) override;
    void OnPolled(const std::string& device, Presence presence) override;
    void OnCommandResult(const std::string& resultTopic, bool ok, std::string_view result,
                         std::optional<double> held) override;

private:
    struct MetricState {
        std::string name;
        std::string command; // the JSON command that writes it; empty: none
        bool writable = false;
        std::uint64_t alias = 0;
        ReportSettings report;
        ReportFilter filter;
        std::optional<float> value;
        std::string unit, bornUnit;
        std::int32_t quality = sparkplug::kQualityBad;
        std::uint64_t time = 0;
        bool changed = false;
    };
    struct DeviceNode {
        std::string name;
        std::string dataTopic; // its DDATA topic, made once
        int port = 0;
        double interval = 0;
        std::vector<MetricState> metrics;
        Presence presence = Presence::Unknown;
        bool born = false;
    };
    struct Kept {
        std::size_t device = 0, metric = 0;
        std::optional<float> value;
        std::int32_t quality = 0;
        std::uint64_t time = 0;
    };

    void Build(const Config& config); // under mutex_
    std::string Topic(std::string_view type, std::string_view device = {}) const;
    void OnConnected();
    void OnState(bool up);
    void OnMessage(std::string_view topic, std::string_view payload, bool retained);
    void OnHostState(std::string_view payload);
    void OnNodeCommand(std::string_view payload);
    void OnDeviceCommand(std::string_view device, std::string_view payload, bool retained);
    // Under mutex_ from here on.
    bool Live() const;
    void Birth();
    void BirthDevice(DeviceNode& d);
    void DeathDevice(DeviceNode& d);
    void PublishNodeHealth();
    void PublishChanged(DeviceNode& d);
    void PublishKept();
    sparkplug::Metric DataMetric(const MetricState& m) const;
    void Send(const std::string& topic, sparkplug::Payload& p, bool seq = true);
    std::uint64_t DevicesOnline() const;
    std::uint64_t LinesUp() const;

    SparkplugConfig config_;
    MqttConfig mqttConfig_;
    std::string prefix_; // of the JSON command topics
    Submit submit_;
    Mqtt* mqtt_ = nullptr;
    std::mutex mutex_;
    std::vector<DeviceNode> devices_;
    std::map<std::string, std::size_t, std::less<>> byName_;
    std::map<std::string, std::pair<std::size_t, std::size_t>, std::less<>> byResult_; // result topic
    std::map<std::string, int, std::less<>> commanded_; // result topics of DCMD writes in progress
    bool connected_ = false, hostOnline_ = false, born_ = false, usedWill_ = false;
    std::uint64_t bdSeq_ = 0, seq_ = 0, nextAlias_ = 0;
    std::deque<Kept> kept_;
    std::uint64_t keptDropped_ = 0;
    sparkplug::Encoder encoder_;
    std::string bytes_;
};

} // namespace tarvik::gateway
