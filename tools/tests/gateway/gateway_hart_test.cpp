// Any HART device in the gateway: the configuration it takes, and end to end a simulated
// multidrop line of three transmitters, one of them in burst mode, published through mosquitto.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include "Config.h"
#include "Harness.h"

namespace {

using namespace gwtest;
using nlohmann::json;

std::string HartDevice(const std::string& name, const std::string& keys, int baud = 19200) {
    return "[[device]]\nname = \"" + name + "\"\nkind = \"hart\"\nport = 6\nbaud = " + std::to_string(baud) +
           "\n" + keys;
}

TEST(GatewayHartConfig, AddressesValuesAndMistakes) {
    using tarvik::gateway::ParseConfig;
    const auto c =
        ParseConfig(HartDevice("a", "polling_address = 2\n") +
                        HartDevice("b", "address = \"1C:66:030401\"\nvalues = [\"pv\", \"percent\"]\n"
                                        "burst = true\n"),
                    "t.toml");
    ASSERT_EQ(c.devices.size(), 2u);
    EXPECT_EQ(c.devices[0].polling, 2);
    EXPECT_EQ(c.devices[0].values.size(), 6u); // all of them by default
    EXPECT_EQ(c.devices[1].polling, -1);
    EXPECT_EQ(c.devices[1].longAddress[0], 0x1C);
    EXPECT_EQ(c.devices[1].longAddress[4], 0x01);
    EXPECT_TRUE(c.devices[1].burst);
    EXPECT_EQ(c.devices[1].values[1].topic, "percent");
    const struct {
        std::string keys, error;
    } bad[] = {
        {"", "polling_address: missing"},
        {"polling_address = 64\n", "must be 0..63"},
        {"polling_address = 1\naddress = \"1C:66:030401\"\n", "not both"},
        {"address = \"64:010203\"\n", "MM:TT:IIIIII"},
        {"address = \"40:66:030401\"\n", "MM:TT:IIIIII"}, // a master bit in the address
        {"polling_address = 1\nvalues = [\"flow\"]\n", "not a value of a hart device"},
        {"polling_address = 1\nwritable = [\"setpoint\"]\n", "it has none"},
        {"polling_address = 1\nwritable = true\n", "this device has no set points"},
        {"polling_address = 1\nburst = 1\n", "must be true or false"},
    };
    for (const auto& b : bad) {
        try {
            ParseConfig(HartDevice("x", b.keys), "t.toml");
            ADD_FAILURE() << b.keys;
        } catch (const tarvik::gateway::ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find(b.error), std::string::npos) << e.what();
        }
    }
}

TEST(GatewayHartE2E, MultidropLineWithABurstingTransmitter) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--transmitter", "6:19200x3"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({6}));
    Broker broker(dir);
    Client client(broker.Port(), "tarvik/#");
    GatewayProcess gw(dir, ports,
                      MqttSection(broker.Port()) + HartDevice("t0", "polling_address = 0\ninterval = 0.2\n") +
                          HartDevice("t1", "polling_address = 1\ninterval = 0.2\n") +
                          HartDevice("t2", "polling_address = 2\nburst = true\nvalues = [\"pv\", \"sv\", "
                                           "\"current\"]\ninterval = 2\n"));
    const auto good = [](const std::string& p) {
        return json::accept(p) && json::parse(p)["quality"] == "good" && json::parse(p)["value"].is_number();
    };
    std::string payload;
    for (const char* name : {"t0", "t1", "t2"}) {
        for (const char* value : {"pv", "sv", "current"})
            ASSERT_TRUE(
                client.WaitFor(std::string("tarvik/") + name + "/" + value, good, Seconds(20), &payload))
                << name << "/" << value << "\n"
                << gw.Log();
        EXPECT_TRUE(client.WaitFor(
            std::string("tarvik/") + name + "/status", [](const std::string& p) { return p == "online"; },
            Seconds(10)));
    }
    EXPECT_EQ(json::parse(client.Last("tarvik/t0/current"))["unit"], "mA");
    for (const char* value : {"tv", "qv", "percent"})
        EXPECT_TRUE(client.WaitFor(std::string("tarvik/t1/") + value, good, Seconds(10))) << value;
    EXPECT_FALSE(client.Has("tarvik/t2/percent"));

    // Once in burst mode t2 is no longer asked (its poll count stands still) while its frames keep
    // coming between the polls of t0 and t1.
    const std::string t2Polls = "tarvik_polls_total{device=\"t2\",result=\"ResultOk\"}";
    const double polls = gw.Metric(t2Polls);
    const std::size_t bursts = client.All("tarvik/t2/pv").size();
    const std::size_t t0 = client.All("tarvik/t0/pv").size();
    EXPECT_TRUE(WaitUntil(
        [&] {
            return client.All("tarvik/t2/pv").size() >= bursts + 5 &&
                   client.All("tarvik/t0/pv").size() >= t0 + 5;
        },
        Seconds(30)))
        << gw.Log();
    EXPECT_EQ(gw.Metric(t2Polls), polls);
    EXPECT_EQ(gw.Proc().Stop(SIGTERM), 0);
}

// A slow line where a neighbour is polled back to back by its long address: polling leaves the
// pauses a bursting device needs, so its frames keep coming and it stays online.
TEST(GatewayHartE2E, ABurstingDeviceIsHeardBesideABusyNeighbour) {
    TempDir dir;
    const std::string ports = dir.File("ports");
    Simulator sim(ports, {"--transmitter", "6:1200x2"}, dir.File("sim.log"));
    ASSERT_TRUE(sim.Ready({6}));
    Broker broker(dir);
    Client client(broker.Port(), "tarvik/#");
    GatewayProcess gw(
        dir, ports,
        MqttSection(broker.Port()) +
            HartDevice("t0", "polling_address = 0\nburst = true\nvalues = [\"pv\"]\ninterval = 0.5\n", 1200) +
            HartDevice("t1", "address = \"1C:66:030602\"\nvalues = [\"pv\"]\ninterval = 0.5\n", 1200));
    const auto good = [](const std::string& p) {
        return json::accept(p) && json::parse(p)["quality"] == "good";
    };
    ASSERT_TRUE(client.WaitFor(
        "tarvik/t0/status", [](const std::string& p) { return p == "online"; }, Seconds(30)))
        << gw.Log();
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto all = client.All("tarvik/t0/pv");
            return std::count_if(all.begin(), all.end(), good) >= 5 && client.All("tarvik/t1/pv").size() >= 3;
        },
        Seconds(60)))
        << client.All("tarvik/t0/pv").size() << " burst values\n"
        << gw.Log();
    for (const std::string& s : client.All("tarvik/t0/status"))
        EXPECT_EQ(s, "online");
    EXPECT_EQ(gw.Proc().Stop(SIGTERM), 0);
}

} // namespace
