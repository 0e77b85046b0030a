// Configuring the simulator's transmitters with `tarvik hart`: each write shows what the device
// now holds and its response code in words, refused arguments and dry runs send nothing, a
// write-protected device is told before anything is sent (and a device swapped under the address
// when --expect names the one scanned), and a loop test ends on Ctrl-C.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "Kit.h"

using namespace tarvik::testkit;
using Json = nlohmann::json;

namespace {

// The requests the simulator logged (-v), one line each.
std::vector<std::string> RequestLines(const std::string& log) {
    std::ifstream in(log);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        if (const auto at = line.find(" <- "); at != std::string::npos) out.push_back(line.substr(at + 4));
    return out;
}

Json LastJson(const std::string& text) {
    const auto at = text.rfind("\n{");
    return Json::parse(at == std::string::npos ? text : text.substr(at + 1));
}

} // namespace

TEST(HartConfigure, EachWriteShowsWhatTheDeviceNowHolds) {
    Simulator sim({"--transmitter", "12:9600x2"});
    ASSERT_TRUE(sim.Ready({12}));
    const std::string at = " -p 12 -b 9600 --polling-address 0 --json";
    const struct {
        std::string args;
        std::string pointer; // in the JSON report
        Json expected;
    } cases[] = {
        {"hart set-damping 2.5", "/now/damping_s", 2.5},
        {"hart set-range --unit degC" + at + " -- 200 -50", "/now/lower_range", -50},
        {"hart set-unit degF", "/now/range_unit/unit", 33},
        {"hart set-transfer-function sqrt", "/now/transfer_function", 1},
        {"hart set-variable-unit 1 35", "/now/unit", 35},
        {"hart set-assignments 3 0 1 2", "/now/pv", 3},
        {"hart set-preambles 8", "/response_59/code", 0},
        {"hart loop-test --exit", "/response_40/text", "success"},
        {"hart burst set --command vars --vars 0,1 --period 2", "/now/period_s", 2},
        {"hart burst", "/now/variables", Json::array({0, 1})},
        {"hart burst off", "/now/mode", 0},
        {"hart reset-changed", "/config_changed", false},
    };
    for (const auto& c : cases) {
        const std::string args = c.args.find(" -- ") != std::string::npos ? c.args : c.args + at;
        const ToolRun r = sim.Tool(args);
        ASSERT_EQ(r.exit, 0) << args << "\n" << r.out;
        const Json j = r.Json();
        ASSERT_TRUE(j.contains(Json::json_pointer(c.pointer))) << args << "\n" << j.dump();
        EXPECT_EQ(j[Json::json_pointer(c.pointer)], c.expected) << args;
        if (c.args.rfind("hart set-", 0) == 0) {
            EXPECT_EQ(j["config_changed"], true) << args;
        }
    }
    // A span below the sensor's minimum: taken with a warning (the process may lie outside it now).
    const ToolRun narrow = sim.Tool("hart set-range 105 100 --unit degC" + at);
    EXPECT_TRUE(narrow.exit == 0 || narrow.exit == 3) << narrow.out;
    EXPECT_EQ(narrow.Json()["response_35"]["text"], "span too small");
    EXPECT_EQ(narrow.Json()["now"]["upper_range"], 105);
    // The device's refusals, in words: a range beyond the sensor, a loop test in multidrop mode.
    const struct {
        std::string args;
        std::string response;
        const char* text;
    } refused[] = {
        {"hart set-range 900 0 --unit degC" + at, "/response_35/text", "upper range value too high"},
        {"hart loop-test 12 -p 12 -b 9600 --polling-address 1 --json", "/response_40/text",
         "in multidrop mode"},
        {"hart set-damping 100" + at, "/response_34/text", "passed parameter too large"},
    };
    for (const auto& c : refused) {
        const ToolRun r = sim.Tool(c.args);
        EXPECT_EQ(r.exit, 1) << c.args << "\n" << r.out;
        EXPECT_EQ(r.Json()[Json::json_pointer(c.response)], c.text) << c.args;
    }
}

TEST(HartConfigure, RefusedArgumentsAndDryRunsSendNothing) {
    TempDir dir;
    Simulator sim({"--transmitter", "13:9600x2"}, {.log = dir / "sim.log", .verbose = true});
    ASSERT_TRUE(sim.Ready({13}));
    for (const char* args : {"set-damping 700",
                             "set-damping -- -1",
                             "set-unit furlongs",
                             "set-unit 300",
                             "set-transfer-function cubic",
                             "set-preambles 4",
                             "set-preambles 21",
                             "set-assignments 0 1 2 250",
                             "set-variable-unit 1 999",
                             "loop-test 25",
                             "loop-test 2",
                             "trim-zero 30 --yes",
                             "trim-gain 19.9",
                             "burst set --period 0",
                             "burst set --trigger sometimes",
                             "burst set --command 4",
                             "burst set --message 3",
                             "reset",
                             "set-zero",
                             "set-range 1e39 0 --unit degC",
                             "vars 250"}) {
        const ToolRun r = sim.ToolErr(std::string("hart ") + args + " -p 13 -b 9600 --polling-address 1");
        EXPECT_EQ(r.exit, 2) << args << "\n" << r.out;
    }
    // The exact frame: command 34 with 2.0 s to polling address 1, from the primary master.
    const ToolRun dry = sim.Tool("hart set-damping 2 --dry-run -p 13 -b 9600 --polling-address 1 --json");
    ASSERT_EQ(dry.exit, 0) << dry.out;
    EXPECT_EQ(dry.Json()["frames"][0]["frame"], "FF FF FF FF FF 02 81 22 04 40 00 00 00 E5");
    const ToolRun loop = sim.Tool("hart loop-test 12 --dry-run -p 13 -b 9600 --json");
    ASSERT_EQ(loop.exit, 0) << loop.out;
    EXPECT_EQ(loop.Json()["frames"].size(), 2u); // entering, and leaving again
    ASSERT_EQ(sim.Tool("hart burst set --period 1 --dry-run -p 13 -b 9600 --polling-address 1").exit, 0);
    EXPECT_EQ(RequestLines(dir / "sim.log"), std::vector<std::string>{});
}

TEST(HartConfigure, AWriteProtectedDeviceIsToldBeforeSending) {
    TempDir dir;
    Simulator sim({"--transmitter", "14:9600x2", "--write-protected", "14:1"},
                  {.log = dir / "sim.log", .verbose = true});
    ASSERT_TRUE(sim.Ready({14}));
    const ToolRun r = sim.ToolAll("hart set-damping 3 -p 14 -b 9600 --polling-address 1");
    EXPECT_EQ(r.exit, 1) << r.out;
    EXPECT_NE(r.out.find("write-protected: nothing sent"), std::string::npos) << r.out;
    const auto requests = RequestLines(dir / "sim.log");
    ASSERT_EQ(requests.size(), 1u); // command 15 alone
    EXPECT_NE(requests[0].find(" 81 0F 00 "), std::string::npos) << requests[0];
    // The device itself refuses with 7; its neighbour takes the write.
    EXPECT_EQ(
        sim.Tool("hart cmd 34 40400000 -p 14 -b 9600 --polling-address 1 --json").Json()["status1"]["byte"],
        7);
    EXPECT_EQ(sim.Tool("hart set-damping 3 -p 14 -b 9600 --polling-address 0").exit, 0);
    // Another device than the one scanned at the address: refused after command 0 alone.
    const std::size_t before = RequestLines(dir / "sim.log").size();
    const ToolRun swapped =
        sim.ToolAll("hart set-damping 4 --expect 66:030E02 -p 14 -b 9600 --polling-address 0");
    EXPECT_EQ(swapped.exit, 1) << swapped.out;
    EXPECT_NE(swapped.out.find("1C:66:030E01 answers, not 66:030E02"), std::string::npos) << swapped.out;
    EXPECT_EQ(RequestLines(dir / "sim.log").size(), before + 1);
    EXPECT_EQ(sim.Tool("hart set-damping 4 --expect 1C:66:030E01 -p 14 -b 9600 --polling-address 0").exit, 0);
}

TEST(HartConfigure, ALoopTestEndsOnCtrlC) {
    Simulator sim({"--transmitter", "15:9600x1"});
    ASSERT_TRUE(sim.Ready({15}));
    TempDir dir;
    const std::string out = dir / "loop.out";
    Process loop({TarvikCli(), "hart", "loop-test", "12", "-p", "15", "-b", "9600", "--json"}, out,
                 {"TARVIK_PORT_DIR=" + sim.Dir()});
    ASSERT_TRUE(WaitUntil([&] { return Said(ReadFile(out), "holding 12 mA") > 0; }, Seconds(30)))
        << ReadFile(out);
    EXPECT_EQ(loop.Stop(SIGINT), 0);
    const Json j = LastJson(ReadFile(out));
    EXPECT_EQ(j["now"]["current_ma"], 12) << j.dump();
    EXPECT_EQ(j["released"], true) << j.dump();
    const Json read = sim.Tool("hart read -p 15 -b 9600 --json").Json();
    EXPECT_NE(read["current_ma"], 12) << read.dump(); // back to the current of the process
}
