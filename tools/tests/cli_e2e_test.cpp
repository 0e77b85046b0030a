// End to end: the tarvik tool, through the library, against tarvik-sim on pseudo-terminals.
// Every test starts its own simulator in its own port directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "Kit.h"

namespace {

using nlohmann::json;
using tarvik::testkit::Simulator;
using tarvik::testkit::ToolRun;

// Flow device at 38400 on COM3, pressure device at 19200 on COM4, read-out unit on COM5.
class ToolE2E : public ::testing::Test {
protected:
    Simulator sim{{"--flow", "3:38400", "--pressure", "4:19200", "--readout", "5"}};
    void SetUp() override { ASSERT_TRUE(sim.Ready({3, 4, 5})); }
    static constexpr const char* kFlow = " -p 3 -b 38400 -a 64:010203 --json";
    static constexpr const char* kPressure = " -p 4 -b 19200 -a 65:010204 --json";
};

TEST_F(ToolE2E, PortsListsTheSimulatorsLinks) {
    const ToolRun r = sim.Tool("ports --json");
    ASSERT_EQ(r.exit, 0);
    const json j = r.Json();
    ASSERT_EQ(j["ports"].size(), 3u);
    EXPECT_EQ(j["ports"][0]["name"], "COM3");
    EXPECT_EQ(j["ports"][2]["port"], 5);
}

TEST_F(ToolE2E, ScanFindsEachDeviceAtItsRateOnly) {
    const ToolRun r = sim.Tool("scan --ports 3,4,5 --bauds 9600,19200,38400 --all-rates --json");
    ASSERT_EQ(r.exit, 0) << r.out;
    const json devices = r.Json()["devices"];
    ASSERT_EQ(devices.size(), 2u) << devices.dump();
    EXPECT_EQ(devices[0]["port"], 3);
    EXPECT_EQ(devices[0]["baud"], 38400);
    EXPECT_EQ(devices[0]["address"], "64:010203");
    EXPECT_EQ(devices[0]["tag"], "FT-103");
    EXPECT_EQ(devices[1]["port"], 4);
    EXPECT_EQ(devices[1]["baud"], 19200);
    EXPECT_EQ(devices[1]["address"], "65:010204");

    const ToolRun none = sim.Tool("scan --ports 3 --bauds 1200,2400");
    EXPECT_EQ(none.exit, 1);
    EXPECT_NE(none.out.find("no device answered"), std::string::npos);
}

TEST_F(ToolE2E, ScanFindsTheReadoutUnitWhenAsked) {
    const ToolRun r = sim.Tool("scan --ports 5 --bauds 38400 --readout --json");
    ASSERT_EQ(r.exit, 0);
    EXPECT_EQ(r.Json()["devices"][0]["kind"], "0731");
}

// Every HART subcommand once, its JSON parsed back and its key value checked.
TEST_F(ToolE2E, EveryHartSubcommandAnswersWithDecodedValues) {
    const struct {
        std::string args;
        std::string key; // JSON pointer of a value to check
        json expected;   // null: only present
        int exit = 0;
    } cases[] = {
        {"id", "/address", "64:010203"},
        {"id --tag 'FT-103  '", "/device_type", 100},
        {"tag", "/tag", "FT-103"},
        {"tag", "/date", "2025-01-01"},
        {"flow", "/flow/unit_name", "liters per minute"},
        {"setpoint set 40", "/written/value", 40.0},
        {"setpoint get", "/setpoint/value", 40.0},
        {"setpoint get", "/setpoint_in_units/value", 20.0},
        {"setpoint set 10 --in-units", "/written/unit", 250},
        {"setpoint get", "/setpoint/value", 20.0},
        {"status", "/additional_status/bytes/0", nullptr},
        {"gas data 4", "/value1/value", 70.0},
        {"gas data 4", "/value2/symbol", "kg/m3"},
        {"gas name 4", "/gas/name", "ARGON AR"},
        {"gas list", "/gases/9/name", "N2O"},
        {"gas select 2", "/selected", 2},
        {"settings", "/settings/1", 2},
        {"flow-unit m3/h", "/selected/unit", 19},
        {"flow", "/flow/symbol", "m3/h"},
        {"vor get", "/vor/name", "normal"},
        {"vor set closed", "/written/name", "closed", 3}, // the device then reports more status
        {"vor get", "/vor/code", 1, 3},
        {"vor set normal", "/written/code", 0},
        {"totalizer state", "/state/name", "run"},
        {"totalizer set stop", "/written/name", "stop"},
        {"totalizer set reset", "/written/code", 2},
        {"totalizer get", "/total/value", 0.0},
        {"totalizer get", "/total/symbol", "m3"},
        {"backup", "/saved", true},
        {"protect SECRET12 on", "/protection/name", "on"},
        {"protect SECRET12 off", "/protection/code", 0},
    };
    for (const auto& c : cases) {
        const ToolRun r = sim.Tool(c.args + kFlow);
        EXPECT_EQ(r.exit, c.exit) << c.args << ": " << r.out;
        json j;
        ASSERT_NO_THROW(j = r.Json()) << c.args << ": " << r.out;
        const json::json_pointer ptr(c.key);
        ASSERT_TRUE(j.contains(ptr)) << c.args << ": " << j.dump();
        if (!c.expected.is_null()) {
            EXPECT_EQ(j[ptr], c.expected) << c.args << ": " << j.dump();
        }
    }
}

TEST_F(ToolE2E, EveryPressureSubcommand) {
    const struct {
        std::string args;
        std::string key;
        json expected;
        int exit = 0;
    } cases[] = {
        {"pressure get", "/pressure/symbol", "bar"},
        {"pressure range 4", "/full_scale/value", 10.0},
        {"pressure unit kPa", "/selected/symbol", "kPa"},
        {"pressure range 4", "/full_scale/value", 1000.0},
        {"pressure settings", "/settings/1", 12},
        {"pressure app 1", "/selected", 1, 3}, // 3.2 bar on a 1 bar range: out of limits
        {"pressure get", "/status2/meanings/2", "primary variable out of limits", 3},
    };
    for (const auto& c : cases) {
        const ToolRun r = sim.Tool(c.args + kPressure);
        EXPECT_EQ(r.exit, c.exit) << c.args << ": " << r.out;
        const json j = r.Json();
        const json::json_pointer ptr(c.key);
        ASSERT_TRUE(j.contains(ptr)) << c.args << ": " << j.dump();
        EXPECT_EQ(j[ptr], c.expected) << c.args << ": " << j.dump();
    }
}

TEST_F(ToolE2E, ResultCodesByNameAndExitStatus) {
    const struct {
        std::string args;
        std::string result;
        int exit;
    } cases[] = {
        {"flow -p 9 -b 38400 -a 64:010203", "ResultPortAbsent", 1},
        // A port or rate out of the library's range: a usage error, named by the library's result.
        {"flow -p 41 -b 38400 -a 64:010203", "ResultBadPort", 2},
        {"flow -p 3 -b 1201 -a 64:010203", "ResultBadBaud", 2},
        {"flow -p 3 -b 9600 -a 64:010203", "ResultNoReply", 1},  // the device is at 38400
        {"flow -p 3 -b 38400 -a 64:999999", "ResultNoReply", 1}, // another device's address
        // Outside the argument table: refused by the tool, the library's result never comes.
        {"gas data 11 -p 3 -b 38400 -a 64:010203", "", 2},
        {"vor set 3 -p 3 -b 38400 -a 64:010203", "", 2},
        {"pressure app 7 -p 4 -b 19200 -a 65:010204", "", 2},
        {"unit pv 5 -p 5", "", 2},
        {"unit test -p 3", "ResultNoReply", 1}, // a HART device does not speak the unit's protocol
    };
    for (const auto& c : cases) {
        const ToolRun r = sim.Tool(c.args + " --json");
        EXPECT_EQ(r.exit, c.exit) << c.args;
        const json j = r.Json();
        if (c.result.empty()) {
            EXPECT_EQ(j["error"]["kind"], "usage") << c.args;
            continue;
        }
        EXPECT_EQ(j["result"]["name"], c.result) << c.args;
        EXPECT_FALSE(j["result"]["reason"].get<std::string>().empty());
        EXPECT_FALSE(j["result"]["hint"].get<std::string>().empty());
    }
    EXPECT_EQ(sim.Tool("flow").exit, 2); // no port: usage error
    EXPECT_EQ(sim.Tool("flow -p 3 -a nonsense").exit, 2);
    EXPECT_EQ(sim.Tool("nosuchcommand").exit, 2);
}

TEST_F(ToolE2E, AWriteProtectedDeviceRefusesWithItsResponseCode) {
    ASSERT_EQ(sim.Tool(std::string("protect SECRET12 on") + kFlow).exit, 0);
    const ToolRun refused = sim.Tool(std::string("setpoint set 20") + kFlow);
    EXPECT_EQ(refused.exit, 1);
    const json j = refused.Json();
    EXPECT_EQ(j["result"]["name"], "ResultErrorReply");
    EXPECT_EQ(j["status1"]["byte"], 7);
    EXPECT_EQ(j["status1"]["meanings"][0], "in write-protect mode (7)");
    EXPECT_EQ(sim.Tool(std::string("protect WRONGKEY off") + kFlow).Json()["status1"]["byte"], 16);
    EXPECT_EQ(sim.Tool(std::string("protect SECRET12 off") + kFlow).exit, 0);
    EXPECT_EQ(sim.Tool(std::string("setpoint set 20") + kFlow).exit, 0);
}

TEST_F(ToolE2E, WithoutAnAddressTheToolAsksTheDevice) {
    const ToolRun r = sim.Tool("flow -p 3 -b 38400 --json");
    ASSERT_EQ(r.exit, 0);
    EXPECT_EQ(r.Json()["address"], "64:010203");
}

TEST_F(ToolE2E, HumanOutputNamesUnitsAndResults) {
    const ToolRun r = sim.Tool("flow -p 3 -b 38400 -a 64:010203");
    ASSERT_EQ(r.exit, 0);
    EXPECT_NE(r.out.find("l/min   (unit 17: liters per minute)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("device status   0x00 no conditions"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("result          ResultOk"), std::string::npos) << r.out;
    const ToolRun help = sim.Tool("setpoint set --help");
    EXPECT_EQ(help.exit, 0);
    EXPECT_NE(help.out.find("Examples:"), std::string::npos);
}

TEST_F(ToolE2E, EveryReadoutSubcommand) {
    const struct {
        std::string args;
        std::string key;
        json expected;
    } cases[] = {
        {"unit test", "/identity", "Tarvik Instrument 0731"},
        {"unit sp 1 42.5 --digits 1", "/written", 42.5},
        {"unit sp 1", "/setpoint", 42.5},
        {"unit source 1", "/source/name", "serial"},
        {"unit source 1 manual", "/written/name", "manual"},
        {"unit source 1", "/source/code", 2},
        {"unit source 1 serial", "/written/code", 1},
        {"unit vor 2 closed", "/written/code", 1},
        {"unit pv 2", "/pv", 0.0},
        {"unit units 1", "/time_unit", 2},
        {"unit full-scale 4", "/full_scale", 500.0},
        {"unit places 3 2", "/written", 2},
        {"unit places 3", "/places", 2},
    };
    for (const auto& c : cases) {
        const ToolRun r = sim.Tool(c.args + " -p 5 --json");
        EXPECT_EQ(r.exit, 0) << c.args << ": " << r.out;
        const json j = r.Json();
        const json::json_pointer ptr(c.key);
        ASSERT_TRUE(j.contains(ptr)) << c.args << ": " << j.dump();
        EXPECT_EQ(j[ptr], c.expected) << c.args << ": " << j.dump();
    }
}

TEST_F(ToolE2E, WatchPollsAndAppendsCsv) {
    const std::string csv = sim.Dir() + "/watch.csv";
    const ToolRun r =
        sim.Tool("watch flow setpoint pv:1 -p 3 -b 38400 -a 64:010203 --count 3 --interval 0.1 --csv " + csv);
    EXPECT_EQ(r.exit, 1) << r.out; // pv:1 asks COM3, where no read-out unit answers
    std::ifstream in(csv);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(
        lines[0],
        "time,flow,flow unit,flow result,setpoint,setpoint unit,setpoint result,pv:1,pv:1 unit,pv:1 result");
    EXPECT_NE(lines[1].find(",l/min,ResultOk,0,%,ResultOk,,,ResultNoReply"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[1][4], '-'); // ISO date first
    // A second run of the same items appends without a second header.
    EXPECT_EQ(sim.Tool("watch flow setpoint pv:1 -p 3 -b 38400 -a 64:010203 -n 1 --csv " + csv).exit, 1);
    std::ifstream again(csv);
    int count = 0;
    for (std::string l; std::getline(again, l);)
        ++count;
    EXPECT_EQ(count, 5);
}

TEST_F(ToolE2E, WatchJsonLinesFollowTheSetPoint) {
    ASSERT_EQ(sim.Tool(std::string("setpoint set 80") + kFlow).exit, 0);
    const ToolRun r = sim.Tool("watch flow -p 3 -b 38400 -a 64:010203 --count 2 --interval 3 --json");
    ASSERT_EQ(r.exit, 0);
    std::istringstream in(r.out);
    std::vector<json> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(json::parse(l));
    ASSERT_EQ(lines.size(), 2u);
    // 80 % of 50 l/min; after three seconds with a 1.5 s lag the flow is close.
    EXPECT_NEAR(lines[1]["values"]["flow"]["value"].get<double>(), 40.0, 6.0);
    EXPECT_GT(lines[1]["values"]["flow"]["value"].get<double>(),
              lines[0]["values"]["flow"]["value"].get<double>());
}

TEST(ToolE2EFaults, InjectedFaultsReachTheCallerAsResultCodes) {
    const struct {
        const char* faults;
        const char* result;
    } cases[] = {
        {"checksum=1", "ResultBadChecksum"},
        {"silent=1", "ResultNoReply"},
        {"late=1", "ResultNoReply"},
        {"short=1", "ResultErrorReply"},
    };
    for (const auto& c : cases) {
        Simulator sim({"--flow", "3:38400", "--faults", c.faults});
        ASSERT_TRUE(sim.Ready({3}));
        const ToolRun r = sim.Tool("flow -p 3 -b 38400 -a 64:010203 --json");
        EXPECT_EQ(r.exit, 1) << c.faults;
        EXPECT_EQ(r.Json()["result"]["name"], c.result) << c.faults;
    }
}

TEST(ToolE2ESimulator, LineTimingStillFitsTheLibrarysWaitAndCtrlCRemovesLinks) {
    Simulator sim({"--flow", "3:1200", "--line-timing"});
    ASSERT_TRUE(sim.Ready({3}));
    const ToolRun r = sim.Tool("tag -p 3 -b 1200 --json"); // the longest reply at the slowest rate
    EXPECT_EQ(r.exit, 0) << r.out;
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_NE(::access(sim.Link(3).c_str(), F_OK), 0);
}

TEST(ToolE2ESimulator, RefusesAPortThatIsTaken) {
    Simulator first({"--flow", "3:19200"});
    ASSERT_TRUE(first.Ready({3}));
    // A second simulator on the same directory and COM number must not steal the link.
    const std::string cmd =
        std::string("'") + TARVIK_SIM + "' -q --dir '" + first.Dir() + "' --flow 3 2>/dev/null";
    EXPECT_NE(std::system(cmd.c_str()), 0);
    EXPECT_EQ(::access(first.Link(3).c_str(), F_OK), 0);
}

} // namespace
