// The outage a plant cares about: the broker away for a minute while the gateways keep polling, each
// gateway restarted meanwhile with its backlog file, then the broker back on the same port. What a
// gateway took is known from its wire trace (one line per request, stamped when it starts): every
// reading must reach a subscriber whose session outlives the broker's restart exactly once, in
// order, marked historical, unless the bound dropped it (then it is one of the oldest, counted).
// About 70 s of real time: labelled `long`, run once in the release build, not under the sanitizers.
#include <gtest/gtest.h>
#include <signal.h>

#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Harness.h"

namespace {

using namespace gwtest;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr auto kOutage = std::chrono::seconds(60);
constexpr double kInterval = 0.5; // seconds between a device's polls
constexpr int kSmallBound = 40;   // the second gateway's backlog: less than a minute of readings
constexpr const char* kRead = " HartLink::ReadFlow "; // the trace's name of a flow reading

// One gateway (one flow device, its own prefix and backlog file), traced, restartable.
struct Gw {
    const TempDir& dir;
    std::string name, ports;
    int broker, com, bound;
    Process process;

    std::string File(const std::string& ext) const { return dir.File(name + ext); }
    void Start() {
        dir.Write(name + ".toml", fmt::format("[mqtt]\nport = {}\nprefix = \"{}\"\nclient_id = \"gw-{}\"\n"
                                              "buffer = {}\nbuffer_file = \"{}\"\n[metrics]\n"
                                              "listen = \"127.0.0.1:0\"\n{}",
                                              broker, name, name, bound, File(".backlog"),
                                              Device("mfc", com, 38400, "[\"flow\"]", kInterval)));
        process = Process({TARVIK_GATEWAY, "--config", File(".toml")}, File(".log"),
                          {"TARVIK_PORT_DIR=" + ports, "TARVIK_TRACE=" + File(".trace")});
    }
    std::string Log() const { return ReadFile(File(".log")); }
    std::string Topic() const { return name + "/mfc/flow"; }
    // The metrics of the running process: its port is the last one its log names.
    double Metric(const std::string& series) {
        const std::string log = Log();
        const auto at = log.rfind("metrics at http://127.0.0.1:");
        if (at == std::string::npos) return -1;
        const int port = std::stoi(log.substr(at + 28));
        std::string text = "\n"; // appended: GCC 12 at -O3 misjudges an insert at the front
        text += HttpGet(port, "/metrics");
        const auto line = text.find("\n" + series + " ");
        return line == std::string::npos ? -1 : std::stod(text.substr(line + series.size() + 2));
    }
    // When each successful reading's request started, in order (both runs).
    std::vector<std::string> Readings() const {
        std::vector<std::string> times;
        std::istringstream in(ReadFile(File(".trace")));
        for (std::string line; std::getline(in, line);)
            if (line.find(kRead) != std::string::npos && line.ends_with(" result=ResultOk"))
                times.push_back(line.substr(0, line.find(' ')));
        return times;
    }
};

struct Message {
    std::string time;
    bool historical;
};

std::vector<Message> Good(const std::vector<std::string>& payloads) {
    std::vector<Message> out;
    for (const std::string& p : payloads) {
        const json j = json::parse(p, nullptr, false);
        if (j.is_object() && j.value("quality", "") == "good")
            out.push_back({j["time"].get<std::string>(), j.value("historical", false)});
    }
    return out;
}

// How many messages each reading got: message times fall between the starts of their reading's
// request and the next one's.
std::vector<int> Received(const std::vector<std::string>& readings, const std::vector<Message>& messages) {
    std::vector<int> got(readings.size(), 0);
    for (const Message& m : messages) {
        const auto next = std::upper_bound(readings.begin(), readings.end(), m.time);
        if (next != readings.begin()) ++got[static_cast<std::size_t>(next - readings.begin() - 1)];
    }
    return got;
}

std::string Utc() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[64];
    std::snprintf(
        text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
        tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
        static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000));
    return text;
}

TEST(GatewayOutage, AMinuteWithARestartKeepsEveryReadingWithinTheBound) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--flow", "3:38400", "--flow", "4:38400"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({3, 4}));
    // The subscriber's session and the retained values outlive the broker's restart; nothing it
    // should get is queued away.
    Broker broker(dir, 0,
                  "persistence true\npersistence_location " + dir.Path() + "/\nmax_queued_messages 0\n");
    Client sub(broker.Port(), "#", "outage-subscriber");
    ASSERT_TRUE(sub.WaitSubscribed("probe/outage"));
    Gw wide{dir, "wide", ports, broker.Port(), 3, 10000, {}},
        narrow{dir, "narrow", ports, broker.Port(), 4, kSmallBound, {}};
    for (Gw* g : {&wide, &narrow}) {
        g->Start();
        ASSERT_TRUE(WaitUntil([&] { return Good(sub.All(g->Topic())).size() >= 3; }, Seconds(30)))
            << g->Log();
    }

    const auto down = Clock::now();
    const std::string stopped = Utc();
    broker.Stop();
    for (Gw* g : {&wide, &narrow})
        ASSERT_TRUE(
            WaitUntil([&] { return Said(g->Log(), "lost the connection to the broker") == 1; }, Seconds(20)))
            << g->Log();
    const std::string lost = Utc(); // readings from here on can only have waited
    // Each gateway restarted once its backlog holds readings (the narrow one far from full).
    for (Gw* g : {&wide, &narrow}) {
        ASSERT_TRUE(WaitUntil([&] { return g->Metric("tarvik_backlog_messages") >= 10; }, Seconds(60)))
            << g->Log();
        EXPECT_EQ(g->Metric("tarvik_backlog_dropped_total"), 0);
        ASSERT_EQ(g->process.Stop(SIGTERM), 0) << g->Log();
        const std::size_t readings = g->Readings().size();
        g->Start();
        ASSERT_TRUE(WaitUntil([&] { return g->Readings().size() > readings + 3; }, Seconds(30))) << g->Log();
    }
    ASSERT_TRUE(WaitUntil([&] { return Clock::now() - down >= kOutage; }, 2 * kOutage));
    const std::string back = Utc();
    broker.Start();

    for (Gw* g : {&wide, &narrow}) {
        SCOPED_TRACE(g->name);
        // Replayed up to readings taken after the broker came back.
        ASSERT_TRUE(WaitUntil(
            [&] {
                const auto m = Good(sub.All(g->Topic()));
                return !m.empty() && m.back().time > back && !m.back().historical;
            },
            Seconds(60)))
            << g->Log();
        // Messages first: a reading's trace line is written before it is published.
        const std::vector<Message> messages = Good(sub.All(g->Topic()));
        const std::vector<std::string> readings = g->Readings();
        // From the loss on (a live message of the instant the broker stopped may come twice: the
        // broker may not have taken the subscriber's acknowledgement).
        for (std::size_t i = 1; i < messages.size(); ++i)
            if (messages[i].time >= lost) {
                ASSERT_LT(messages[i - 1].time, messages[i].time) << "duplicated or out of order at " << i;
            }
        const std::vector<int> got = Received(readings, messages);
        // The outage's readings: from the first after the loss was seen to the last before the broker was
        // back.
        const auto first = static_cast<std::size_t>(std::lower_bound(readings.begin(), readings.end(), lost) -
                                                    readings.begin());
        const auto last = static_cast<std::size_t>(std::lower_bound(readings.begin(), readings.end(), back) -
                                                   readings.begin());
        ASSERT_GT(last - first, 60u) << "a minute at two readings a second";
        std::size_t missing = 0;
        while (first + missing < last && got[first + missing] == 0)
            ++missing;
        // Every reading since, up to the newest received, exactly once.
        const auto newest = static_cast<std::size_t>(
            std::upper_bound(readings.begin(), readings.end(), messages.back().time) - readings.begin());
        for (std::size_t i = first + missing; i < newest; ++i)
            EXPECT_EQ(got[i], 1) << "reading " << i << " of " << readings.size() << " taken at "
                                 << readings[i];
        // Dropped oldest first: those counted are the missing ones and at most the few that never
        // arrived from before the loss was seen here (taken before the broker's stop too, when a
        // loaded machine had not yet sent them).
        const auto unreceived = static_cast<std::size_t>(std::count(got.begin(), got.begin() + last, 0));
        const double dropped = g->Metric("tarvik_backlog_dropped_total");
        const auto before = static_cast<std::size_t>(
            std::lower_bound(readings.begin(), readings.end(), stopped) - readings.begin());
        EXPECT_GE(dropped, static_cast<double>(missing));
        EXPECT_LE(dropped, static_cast<double>(unreceived));
        if (g->bound > static_cast<int>(newest - before)) {
            EXPECT_EQ(missing, 0u);
        } else {
            EXPECT_GE(missing, last - first - static_cast<std::size_t>(g->bound));
        }
        // Historical, but for the newest waiting when the broker was back: it may be from before.
        for (std::size_t i = 0; i + 1 < messages.size(); ++i)
            if (messages[i].time >= lost && messages[i + 1].time < back) {
                EXPECT_TRUE(messages[i].historical) << messages[i].time;
            }
        // The retained value is the newest: a newcomer gets it first.
        Client late(broker.Port(), g->Topic());
        std::string retained;
        ASSERT_TRUE(late.WaitFor(
            g->Topic(), [](const std::string&) { return true; }, Seconds(20), &retained));
        const json r = json::parse(retained);
        EXPECT_FALSE(r.contains("historical"));
        EXPECT_GE(r["time"].get<std::string>(), back);
    }
}

} // namespace
