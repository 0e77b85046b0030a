// `tarvik hart` against the simulator's multidrop line of generic transmitters: the scan finds
// every device through faults and keeps what it found when interrupted, burst frames flow while
// another device is polled, writes say what the device now holds, and what the user cannot have
// meant (texts packed text cannot carry, empty addresses and texts, ambiguous data, an address
// another device holds) never reaches the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Kit.h"

using namespace tarvik::testkit;
using Json = nlohmann::json;

namespace {

// The JSON lines of `text` (others, such as progress on stderr, are left out).
std::vector<Json> JsonLines(const std::string& text) {
    std::vector<Json> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && (line[0] == '{' || line[0] == '[')) out.push_back(Json::parse(line));
    return out;
}

// The bytes of every request the simulator logged (-v), one string: "FF FF 02 80 00 00 82 ...".
std::string Requests(const std::string& log) {
    std::ifstream in(log);
    std::string all;
    for (std::string line; std::getline(in, line);)
        if (const auto at = line.find(" <- "); at != std::string::npos) all += line.substr(at + 4) + " ";
    return all;
}

} // namespace

TEST(HartTool, ScanFindsEveryTransmitterOnAFaultyLine) {
    Simulator sim({"--transmitter", "6:9600x3", "--faults", "checksum=0.05,truncated=0.05,garbage=0.05"});
    ASSERT_TRUE(sim.Ready({6}));
    const ToolRun r = sim.Tool("hart scan --retries 5 -p 6 -b 9600 --last 4 --json-lines");
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
    const auto found = sim.Tool("hart scan -p 8 -b 9600 --last 6 --json").Json(); // one array
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

TEST(HartTool, WhatTheUserCannotHaveMeantNeverReachesTheLine) {
    TempDir dir;
    Simulator sim({"--transmitter", "10:9600x3"}, {.log = dir / "sim.log", .verbose = true});
    ASSERT_TRUE(sim.Ready({10}));
    const struct {
        std::string args;
        const char* says;
    } refused[] = {
        {"hart write-message -a '' X", "--address: empty"},
        {"flow -a ''", "--address: empty"}, // every command: not the broadcast of no -a
        {"hart read -a 1C:66:030A02 --polling-address 1", "not both"},
        {"hart read -a 9C:66:030A02", "must be 00..3F"},
        {"hart read -a 66030A02", "MM:TT:IIIIII"},
        {"hart cmd 17 123", "odd number of digits"},
        {"hart cmd 17 '0102 03'", "more than one byte"},
        {"hart write-tag ''", "--blank"},
        {"hart write-message ' '", "--blank"},
        {"hart write-tag --blank TT-1", "--blank"},
    };
    for (const auto& c : refused) {
        const ToolRun r = sim.ToolErr(c.args + " -p 10 -b 9600");
        EXPECT_EQ(r.exit, 2) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << "\n" << r.out;
    }
    EXPECT_EQ(Requests(dir / "sim.log"), "");

    // A new polling address that another device holds: command 0 there, and nothing written.
    const ToolRun taken = sim.ToolErr("hart write-polling-address 1 --polling-address 0 -p 10 -b 9600");
    EXPECT_EQ(taken.exit, 2) << taken.out;
    EXPECT_NE(taken.out.find("taken by 66:030A02 (-a 1C:66:030A02)"), std::string::npos) << taken.out;
    EXPECT_EQ(sim.Tool("hart scan -p 10 -b 9600 --last 2 --json").Json().size(), 3u);

    // Bytes apart are a byte each; the variable stands for -a, and --polling-address wins over it.
    ASSERT_NE(sim.Tool("hart cmd 17 '1 2 3 4' --polling-address 0 -p 10 -b 9600").exit, 2);
    EXPECT_NE(Requests(dir / "sim.log").find(" 11 04 01 02 03 04 "), std::string::npos);
    const std::string variable = "TARVIK_ADDRESS=1C:66:030A03 ";
    EXPECT_EQ(Shell(variable + sim.Command("hart read -p 10 -b 9600 --json")).Json()["address"],
              "1C:66:030A03");
    EXPECT_EQ(Shell(variable + sim.Command("hart read --polling-address 1 -p 10 -b 9600 --json"))
                  .Json()["polling_address"],
              1);
}

TEST(HartTool, AnInterruptedScanKeepsTheDevicesItFound) {
    Simulator sim({"--transmitter", "11:9600x3"});
    ASSERT_TRUE(sim.Ready({11}));
    TempDir dir;
    for (const std::string format : {"--json-lines", "--json"}) {
        const std::string out = dir / (format.substr(2) + ".out");
        // Silence at every address past the third takes its whole wait: Ctrl-C comes long before the end.
        Process scan({TarvikCli(), "hart", "scan", "-p", "11", "-b", "9600", "--last", "63", "--wait-ms",
                      "500", format},
                     out, {"TARVIK_PORT_DIR=" + sim.Dir()});
        ASSERT_TRUE(WaitUntil([&] { return Said(ReadFile(out), "polling address  3: -") > 0; }, Seconds(60)))
            << ReadFile(out);
        EXPECT_EQ(scan.Stop(SIGINT), 130) << format;
        std::vector<Json> found = JsonLines(ReadFile(out));
        if (format == "--json") {
            ASSERT_EQ(found.size(), 1u) << ReadFile(out);
            found = found[0].get<std::vector<Json>>();
        }
        ASSERT_EQ(found.size(), 3u) << format << "\n" << ReadFile(out);
        EXPECT_EQ(found[2]["long_address"], "1C:66:030B03");
    }
}

// Every command that opens a port says why it cannot, as the other commands do.
TEST(HartTool, PortProblemsAreNamed) {
    TempDir dir;
    ASSERT_EQ(::symlink("/dev/null", (dir / "COM1").c_str()), 0);
    for (const char* command : {"scan", "info", "read", "cmd 1", "listen --seconds 1", "write-tag TT-1",
                                "write-message M", "write-polling-address 3"}) {
        for (const auto& [portDir, kind] :
             {std::pair{dir / "missing", "port-dir"}, {dir.Path(), "not-a-terminal"}}) {
            const ToolRun r = Shell("TARVIK_PORT_DIR=" + Quoted(portDir) + " " + Quoted(TarvikCli()) +
                                    " hart " + command + " -p 1 --json 2>/dev/null");
            EXPECT_EQ(r.exit, 1) << command;
            EXPECT_EQ(r.Json()["diagnosis"]["kind"], kind) << command << "\n" << r.out;
        }
    }
}
