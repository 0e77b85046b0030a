// `tarvik hart` against the simulator's multidrop line of generic transmitters: the scan finds
// every device through faults, burst frames flow while another device is polled, writes say what
// the device now holds, and texts that packed text cannot carry never reach the wire.
#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>
#include <sstream>

#include "Kit.h"

using namespace tarvik::testkit;
using Json = nlohmann::json;

namespace {

std::vector<Json> JsonLines(const std::string& text) {
    std::vector<Json> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(Json::parse(line));
    return out;
}

} // namespace

TEST(HartTool, ScanFindsEveryTransmitterOnAFaultyLine) {
    Simulator sim({"--transmitter", "6:9600x3", "--faults", "checksum=0.05,truncated=0.05,garbage=0.05"});
    ASSERT_TRUE(sim.Ready({6}));
    const ToolRun r = sim.Tool("hart scan --retries 5 -p 6 -b 9600 --last 4 --json");
    ASSERT_EQ(r.exit, 0) << r.out;
    const auto found = JsonLines(r.out);
    ASSERT_EQ(found.size(), 3u) << r.out;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(found[i]["polling_address"], i);
        EXPECT_EQ(found[i]["address"], "66:0306" + std::string("0") + std::to_string(i + 1));
    }
}

TEST(HartTool, BurstFramesFlowWhileAnotherDeviceIsPolled) {
    Simulator sim({"--transmitter", "7:9600x3"});
    ASSERT_TRUE(sim.Ready({7}));
    ASSERT_EQ(sim.Tool("hart cmd --polling-address 2 109 01 -p 7 -b 9600").exit, 0);
    for (int i = 0; i < 3; ++i) {
        const ToolRun read = sim.Tool("hart read --polling-address 1 -p 7 -b 9600 --json");
        ASSERT_EQ(read.exit, 0) << read.out;
        const Json j = Json::parse(read.out);
        EXPECT_EQ(j["pv"]["unit"], 32);
        EXPECT_EQ(j["current_ma"], 4.0); // multidrop: the loop current stays at 4 mA
    }
    const ToolRun listen = sim.Tool("hart listen -p 7 -b 9600 --seconds 5 --count 2 --json");
    const auto frames = JsonLines(listen.out);
    ASSERT_EQ(frames.size(), 2u) << listen.out;
    for (const Json& f : frames) {
        EXPECT_EQ(f["from"], "1C:66:030703");
        EXPECT_EQ(f["command"], 1);
    }
}

TEST(HartTool, WritesSayWhatTheDeviceHolds) {
    Simulator sim({"--transmitter", "8:9600x2"});
    ASSERT_TRUE(sim.Ready({8}));
    const ToolRun tag = sim.Tool("hart write-tag --polling-address 1 TT-NEW -p 8 -b 9600 --json");
    ASSERT_EQ(tag.exit, 0) << tag.out;
    EXPECT_EQ(Json::parse(tag.out)["tag"], "TT-NEW");
    // A revision 7 identity: expanded type, maker and private label from command 0, not command 15.
    const Json info = Json::parse(sim.Tool("hart info -a 1C:66:030802 -p 8 -b 9600 --json").out);
    EXPECT_EQ(info["tag"], "TT-NEW");
    EXPECT_EQ(info["device_type"], 0x1C66);
    EXPECT_EQ(info["manufacturer"], 0x5A);
    EXPECT_EQ(info["private_label"], 0xA5);

    const ToolRun lower = sim.ToolAll("hart write-message 'hello' -p 8 -b 9600");
    EXPECT_EQ(lower.exit, 2);
    EXPECT_NE(lower.out.find("character 1 'h' is not in the packed alphabet"), std::string::npos)
        << lower.out;
    EXPECT_EQ(sim.ToolAll("hart write-polling-address 64 -p 8 -b 9600").exit, 2);

    ASSERT_EQ(sim.Tool("hart write-polling-address --polling-address 1 5 -p 8 -b 9600").exit, 0);
    const auto found = JsonLines(sim.Tool("hart scan -p 8 -b 9600 --last 6 --json").out);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1]["polling_address"], 5);
    const ToolRun loop = sim.Tool("hart cmd 7 --polling-address 5 -p 8 -b 9600 --json"); // loop configuration
    ASSERT_EQ(loop.exit, 0) << loop.out;
    EXPECT_EQ(Json::parse(loop.out)["data"], "05 00");
}

TEST(HartTool, BurstFramesGoBetweenRepliesAtTheLinesPace) {
    Simulator sim({"--transmitter", "9:1200x1"}, {.lineTiming = true});
    ASSERT_TRUE(sim.Ready({9}));
    ASSERT_EQ(sim.Tool("hart cmd 109 01 -p 9 -b 1200").exit, 0);
    for (int i = 0; i < 4; ++i) {
        const ToolRun read = sim.Tool("hart read -p 9 -b 1200 --json");
        ASSERT_EQ(read.exit, 0) << "read " << i << ": " << read.out;
    }
    const auto frames = JsonLines(sim.Tool("hart listen -p 9 -b 1200 --seconds 5 --count 2 --json").out);
    EXPECT_EQ(frames.size(), 2u);
}

TEST(HartTool, WatchLogsEveryPollAndKeepsItsColumns) {
    Simulator sim({"--transmitter", "9:9600x2"});
    ASSERT_TRUE(sim.Ready({9}));
    TempDir dir;
    const std::string csv = dir.Path() + "/tt.csv";
    const ToolRun watch =
        sim.Tool("hart watch pv percent --polling-address 1 -p 9 -b 9600 -n 2 -i 0 --json --csv " + csv);
    ASSERT_EQ(watch.exit, 0) << watch.out;
    const auto rounds = JsonLines(watch.out);
    ASSERT_EQ(rounds.size(), 2u);
    EXPECT_EQ(rounds[0]["values"]["pv"]["unit"], "degC");
    EXPECT_TRUE(rounds[1]["values"]["percent"]["value"].is_number());
    const ToolRun log = Shell("cat " + csv);
    EXPECT_EQ(log.out.rfind("time,pv,pv unit,pv result,percent,", 0), 0u) << log.out;
    EXPECT_EQ(std::count(log.out.begin(), log.out.end(), '\n'), 3);
    // Other columns into the same log are refused before the line is touched.
    EXPECT_EQ(sim.ToolAll("hart watch sv -p 9 -b 9600 -n 1 --csv " + csv).exit, 2);
}
