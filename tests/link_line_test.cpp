// Several links on one Line (one port): each request runs with its own family's settings, and a
// user that floods the line (a long Listen) leaves the others their turns.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>

#include "hart/Frame.h"
#include "support/HartFrames.h"
#include "support/MemoryPeer.h"
#include "support/Threads.h"
#include "tarvik/HartMaster.h"
#include "tarvik/Line.h"

using namespace tarvik;
using namespace tarvik::test;

namespace {

constexpr int kPort = 29;
constexpr link::DeviceAddress kDevice{0x64, 0x01, 0x02, 0x03};
const Bytes kFlowGood = OnLine(HartFrame(1, 0x00, 0x00, {0x39, 0x42, 0xC8, 0x00, 0x00}), 5);
const Bytes kIdentity = BytesOf("Tarvik Instrument Model 0731\r\n");

Bytes PvReply() {
    hart::FrameBytes f;
    const std::array<std::uint8_t, 5> data{7, 0x3F, 0xC0, 0, 0};
    hart::BuildReply(hart::FrameType::Reply, hart::Address::Polling(0), hart::Master::Primary, 1, 0, 0, data,
                     5, f);
    return {f.Bytes().begin(), f.Bytes().end()};
}

class LineTest : public ::testing::Test {
protected:
    MemoryLines lines;
    MemoryPeer peer{kPort};
    link::Line line;
    link::HartLink hart{line};
    link::ReadoutLink unit{line};
    link::HartMaster master{line};
};

} // namespace

TEST_F(LineTest, APortMixingFamiliesAndRatesSwitchesItsSettingsPerRequest) {
    ASSERT_EQ(hart.Open(kPort, 9600), ResultOk);
    ASSERT_EQ(unit.Open(kPort), ResultOk);
    ASSERT_EQ(master.Open(kPort, 1200), ResultOk);
    peer.Reply(kFlowGood);
    EXPECT_EQ(hart.ReadFlow(kDevice).result, ResultOk);
    peer.Reply(kFlowGood); // the same settings again: the port stays open
    EXPECT_EQ(hart.ReadFlow(kDevice).result, ResultOk);
    peer.Reply(kIdentity);
    EXPECT_EQ(unit.TestComs().result, ResultOk);
    peer.Reply(PvReply());
    EXPECT_EQ(master.ReadPrimaryVariable(hart::Address::Polling(0)).value.value, 1.5f);
    using O = std::pair<int, bool>;
    EXPECT_EQ(peer.Opens(), (std::vector<O>{{9600, true},
                                            {9600, false},
                                            {1200, true}, // the Opens
                                            {9600, true},
                                            {9600, false},
                                            {1200, true}}));
    EXPECT_TRUE(line.IsOpen());
    unit.Close(); // closes the port; the others open it again at their next request
    EXPECT_FALSE(master.IsOpen());
    EXPECT_EQ(unit.TestComs().result, ResultBadPort);
    peer.Reply(kFlowGood);
    EXPECT_EQ(hart.ReadFlow(kDevice).result, ResultOk);
}

TEST_F(LineTest, AListenThatNeverEndsLeavesTheOtherUsersTheirTurns) {
    ASSERT_EQ(unit.Open(kPort), ResultOk);
    ASSERT_EQ(master.Open(kPort, 1200), ResultOk);
    const std::size_t looksBefore = peer.Looks();
    std::atomic<std::int32_t> listened{-1};
    std::thread listener([&] { listened = master.Listen(INT_MAX, [](const hart::Frame&) { return true; }); });
    ASSERT_TRUE(Eventually([&] { return peer.Looks() > looksBefore; })); // listening
    for (int i = 0; i < 3; ++i) {
        peer.Reply(kIdentity);
        EXPECT_EQ(unit.TestComs().result, ResultOk) << i;
    }
    EXPECT_EQ(listened, -1); // still listening
    master.Close();          // a turn too: the Listen ends at its next slice
    listener.join();
    EXPECT_EQ(listened, ResultBadPort);
}
