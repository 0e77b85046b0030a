// The gateway proper: one worker thread per serial port polls that port's devices through the fast
// link, each at its own interval on a fixed grid (no drift), and publishes what it reads. Devices on
// one port take turns; a slow or silent device delays only its own port. Set-point commands from
// MQTT are checked at once and handed to the device's port worker: per set point only the newest
// waits (older ones are answered "Superseded"), and writes to a device keep write_interval apart,
// so that a flood of commands costs polling at most one write per interval.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Backlog.h"
#include "Config.h"
#include "HartIpLines.h"
#include "Metrics.h"
#include "Mqtt.h"
#include "tarvik/HartMaster.h"
#include "tarvik/Line.h"
#include "tarvik/Link.h"

namespace tarvik::gateway {

// Large enough for the longest payload (value, unit, times, result name, decoded device status).
constexpr std::size_t kPayloadCapacity = 1024;
constexpr std::uint8_t kUnitPercent = 57; // HART unit code of percent (of full scale, of range)

enum class Quality { None, Good, Stale, Bad };
const char* QualityName(Quality q);

// What else listens to the gateway's values (the Sparkplug edge node): called on the port workers
// and the MQTT client threads, never under a lock of the gateway's devices.
class Observer {
public:
    enum class Presence { Unknown, Up, Down };
    virtual ~Observer() = default;
    // A value read, or its quality changed: `good` the last good value (none yet), `unit` its symbol.
    virtual void OnValue(const std::string& device, std::size_t index, std::optional<float> good,
                         const std::string& unit, Quality quality) = 0;
    // One poll of a device is over (the values it read came before).
    virtual void OnPolled(const std::string& device, Presence presence) = 0;
    // A set-point command was answered on `resultTopic`; `held` what the device holds after a write.
    virtual void OnCommandResult(const std::string& resultTopic, bool ok, std::string_view result,
                                 std::optional<double> held) = 0;
};

// Whether the device answered within its window, and the broker is connected: for /health.
struct Health {
    bool ok = true;
    std::string json; // {"broker": "connected", "devices": {"mfc1": "ok", ...}, "reasons": [...]}
};

class Gateway : public HartIpLines {
public:
    Gateway(const Config& config, Metrics& metrics);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Publishing goes through `mqtt` (may be null: polls and metrics only). With `echo`, every
    // value published is also written there as "topic payload" (for --once).
    // `json` false: the JSON topics are not published (Sparkplug only); `mqtt` then only says
    // whether the broker is connected.
    void Attach(Mqtt* mqtt, std::FILE* echo = nullptr, bool json = true);
    void Observe(Observer* observer) { observer_ = observer; }

    // Topics of the gateway itself.
    std::string ClientStatusTopic() const { return prefix_ + "/" + clientId_ + "/status"; }
    std::string CommandPattern() const { return prefix_ + "/+/+/set"; }
    std::string StatusPattern() const { return prefix_ + "/+/status"; }

    // MQTT callbacks: after each (re)connection, for every message on a command topic, and on the
    // client's thread between network rounds (hands the backlog over).
    void OnConnected();
    void OnMessage(std::string_view topic, std::string_view payload, bool retained, std::string_view client);
    void OnTick();

    void Start();   // one worker per port, polling until Stop
    void RunOnce(); // every device polled once (ports in parallel), then returns; repeatable
    // Tells every worker to end after the request in progress, without waiting: the last words
    // to the broker go out meanwhile.
    void RequestStop();
    void Stop(); // a request in progress completes first
    // The last words, after Mqtt::Close: every device and the gateway `offline`.
    void PublishOffline();
    // Applies a new device list: ports whose devices are unchanged go on undisturbed; a changed
    // port's worker is restarted with the devices that stay keeping their values and state.
    // Returns a summary ("2 added, 1 removed, 1 changed").
    std::string Reload(const Config& config);
    Health CheckHealth(std::chrono::system_clock::time_point now) const;
    // False when a port worker has been inside one poll or write for longer than `limit`: the
    // watchdog is fed only while every worker comes back.
    bool Responsive(std::chrono::steady_clock::duration limit) const;

    std::size_t PortCount() const;

    // The HART-IP server's way to the lines (HartIpLines.cpp): its calls wait in a bounded queue
    // per port and take turns with the polls.
    std::vector<LineDevice> LineDevices() const override;
    bool Submit(std::shared_ptr<LineCall> call) override;

private:
    struct ValueState {
        ValueSpec spec;
        std::string topic;
        std::array<char, kPayloadCapacity> payload{};
        std::size_t size = 0; // 0: nothing published yet
        int unitCode = kNoUnit - 1;
        std::string unitSymbol;
        int statusKey = -1;
        std::string statusJson;
        bool hasGood = false;
        float good = 0;
        std::chrono::system_clock::time_point goodTime{};
        Quality quality = Quality::None;
        ReportSettings report;
        ReportFilter filter; // the JSON topic's
    };
    enum class Online { Unknown, Up, Down };
    struct Worker;
    struct Command {
        int channel = 0;
        double value = 0;
        std::string resultTopic, setTopic, client;
    };
    struct DeviceState {
        DeviceConfig config;
        std::string statusTopic;
        std::vector<ValueState> values;
        std::shared_ptr<Metrics::Device> metrics;
        mutable std::mutex mutex; // payloads, `online`, `lastAnswer`: OnConnected and /health read them
        Online online = Online::Unknown;
        int misses = 0;
        std::chrono::system_clock::time_point lastAnswer{};
        std::chrono::steady_clock::time_point due;
        std::chrono::steady_clock::time_point nextWrite{};
        std::map<int, Command> pending; // per set point the newest command; under the worker's mutex
        Worker* worker = nullptr;
        // Any HART device in burst mode: switched to it, its long address, frames since the last look.
        bool bursting = false;
        std::array<std::uint8_t, hart::kLongAddressSize> unique{};
        int burstFrames = 0;
        std::uint64_t pausesSeen = 0; // the worker's `pauses` at the last look
    };
    struct Worker {
        int port = 0;
        std::vector<std::shared_ptr<DeviceState>> devices;
        std::thread thread;
        std::mutex mutex;
        std::condition_variable cv;
        bool stop = false;
        std::atomic<std::chrono::steady_clock::rep> busySince{0}; // 0: between requests
        // The port's one line: the three links take their turns on it, each with its family's
        // settings (the line switches between them when a port mixes families or rates).
        link::Line line;
        link::HartLink hart{line};
        link::ReadoutLink unit{line};
        link::HartMaster master{line};    // any HART device ("hart")
        int hartBaud = 0, masterBaud = 0; // the rates `hart` and `master` were opened with
        // Burst frames on the line: when the last came, the shortest time seen between two.
        std::chrono::steady_clock::time_point lastBurst{};
        std::chrono::steady_clock::duration burstGap{};
        std::uint64_t pauses = 0;                    // times the line was left quiet for burst frames
        std::deque<std::shared_ptr<LineCall>> calls; // HART-IP requests; under `mutex`
        int pollsSinceCall = 0;
    };
    struct Reading {
        std::int32_t result = ResultNoReply;
        bool hasValue = false;
        float value = 0;
        int unitCode = kNoUnit;
        bool hasStatus = false;
        std::uint8_t status1 = 0, status2 = 0;
    };

    std::shared_ptr<DeviceState> MakeDevice(const DeviceConfig& dc);
    Worker& WorkerFor(int port);
    void Index();
    void StartWorker(Worker& w);
    void StopWorker(Worker& w);
    void RunWorker(Worker& w, bool once);
    bool NextCommand(Worker& w, std::chrono::steady_clock::time_point now, DeviceState*& device, Command& c,
                     std::chrono::steady_clock::time_point& wake);
    void PollDevice(Worker& w, DeviceState& d);
    // Runs the next HART-IP call when no poll is due, or after a poll that was (under w.mutex, which
    // it leaves locked); whether it ran one.
    bool ServeLineCall(Worker& w, std::unique_lock<std::mutex>& lock, bool pollDue);
    void RunLineCall(Worker& w, LineCall& call);
    // A reply or burst frame taken: the value published good (false when it has none).
    bool Accept(DeviceState& d, std::size_t k, const Reading& r);
    void Fade(DeviceState& d, std::size_t from, std::int32_t last);
    // Any HART device (GatewayHart.cpp): a poll of commands 3 and 2 (or, for a device to burst,
    // the switch to burst mode), the frames of bursting devices, and the wait that listens for them.
    // Whether the device answered; none when there is nothing to judge (a bursting device whose
    // line gave it no pause since the last look).
    std::optional<bool> PollHart(Worker& w, DeviceState& d, std::int32_t& last);
    void OnBurst(Worker& w, const hart::Frame& frame);
    void PublishHart(DeviceState& d, const hart::Frame& frame, std::int32_t result);
    bool Listening(const Worker& w) const;
    void Listen(Worker& w, std::chrono::steady_clock::time_point until);
    // Before a request on a line with bursting devices: a pause for the burst frame that is due.
    void Yield(Worker& w);
    void PublishValue(DeviceState& d, ValueState& v, const Reading& r, Quality quality);
    // A value without a new reading: its quality falls with the age of its last good value,
    // published when it changes.
    void Lower(DeviceState& d, ValueState& v, Reading kept);
    void SetOnline(DeviceState& d, bool answered, std::int32_t result);
    std::int32_t Prepare(Worker& w, const DeviceConfig& d);
    static void CloseLinks(Worker& w);
    // Results after which the device cannot have heard or answered the request.
    static bool NoAnswer(std::int32_t rc);
    static link::DeviceAddress Address(const DeviceConfig& d);
    Reading Read(Worker& w, const DeviceConfig& d, const ValueSpec& v);
    void Execute(Worker& w, DeviceState& d, const Command& c);
    void PublishResult(const std::string& topic, bool ok, std::string_view result, bool hasValue,
                       double value, bool hasRequested, double requested, std::string_view error);
    void Publish(const std::string& topic, std::string_view payload, bool retain);
    void PublishReading(const std::string& topic, std::string_view payload);
    void Echo(const std::string& topic, std::string_view payload);
    // A status under the prefix: true when it was one. One whose name is neither a device here nor
    // this gateway says another gateway shares the prefix (logged once a name).
    bool NoticeStatus(std::string_view topic, std::string_view payload);
    static void UpdateStatus(ValueState& v, const Reading& r);

    Metrics& metrics_;
    std::string prefix_, clientId_;
    Mqtt* mqtt_ = nullptr;
    bool json_ = true;
    Observer* observer_ = nullptr;
    ReportConfig report_;
    std::FILE* echo_ = nullptr;
    std::mutex echoMutex_;
    Backlog backlog_;
    mutable std::shared_mutex devicesMutex_; // the lists below; Reload changes them
    std::vector<std::shared_ptr<DeviceState>> devices_;
    std::unordered_map<std::string, DeviceState*> byName_;
    std::vector<std::unique_ptr<Worker>> workers_;
    bool running_ = false;
    std::set<std::string, std::less<>> strangers_; // names said by NoticeStatus; the MQTT thread's own
    std::chrono::system_clock::time_point started_ = std::chrono::system_clock::now();
};

} // namespace tarvik::gateway
