// The gateway's MQTT client against a real broker: what it holds for a broker that does not
// acknowledge is bounded, and what it accepted arrives in order once the broker answers again.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <string>

#include "Harness.h"
#include "Mqtt.h"

using namespace gwtest;
using tarvik::gateway::Mqtt;
using tarvik::gateway::MqttConfig;

namespace {

// Lets a stopped broker run again whatever way the test ends.
struct Resume {
    int pid;
    ~Resume() { ::kill(pid, SIGCONT); }
};

} // namespace

TEST(GatewayMqtt, AStalledBrokerBoundsTheQueueAndGetsEverythingAcceptedInOrder) {
    TempDir dir;
    Broker broker(dir);
    Client client(broker.Port(), "bound/#");
    // The recorder must be subscribed before the broker stops: else, once it runs again, the broker
    // may route the first messages before it takes the subscription (one message short under load).
    ASSERT_TRUE(client.WaitSubscribed("bound/probe"));
    MqttConfig config;
    config.port = broker.Port();
    config.clientId = "bound-test";
    std::atomic<std::size_t> dropped{0};
    Mqtt::Callbacks callbacks;
    callbacks.dropped = [&dropped](std::size_t n) { dropped += n; };
    std::atomic<std::size_t> acknowledged{0}; // what tarvik_mqtt_published_total counts
    callbacks.acknowledged = [&acknowledged](std::size_t n) { acknowledged += n; };
    Mqtt mqtt(config, "bound/status", "offline", callbacks);
    std::string error;
    ASSERT_TRUE(mqtt.Start(error)) << error;
    ASSERT_TRUE(mqtt.WaitConnected(std::chrono::seconds(5)));

    ASSERT_EQ(::kill(broker.Pid(), SIGSTOP), 0);
    Resume resume{broker.Pid()};
    int accepted = 0;
    for (int i = 0; i < 3 * Mqtt::kMaxInFlight; ++i)
        if (mqtt.Publish("bound/n", std::to_string(i), false)) ++accepted;
    EXPECT_EQ(accepted, Mqtt::kMaxInFlight);
    EXPECT_FALSE(mqtt.WaitAcknowledged(std::chrono::milliseconds(300)));
    EXPECT_EQ(acknowledged.load(), 0u); // accepted is not published while the broker stalls

    ::kill(broker.Pid(), SIGCONT);
    EXPECT_TRUE(mqtt.WaitAcknowledged(std::chrono::seconds(10)));
    EXPECT_EQ(dropped.load(), 0u);
    EXPECT_EQ(acknowledged.load(), static_cast<std::size_t>(accepted));
    EXPECT_TRUE(mqtt.Publish("bound/n", "again", false));
    ASSERT_TRUE(client.WaitFor(
        "bound/n", [](const std::string& p) { return p == "again"; }, Seconds(10)));
    const std::vector<std::string> got = client.All("bound/n");
    ASSERT_EQ(got.size(), static_cast<std::size_t>(accepted) + 1);
    for (int i = 0; i < accepted; ++i)
        ASSERT_EQ(got[static_cast<std::size_t>(i)], std::to_string(i));
    mqtt.Stop();
}
