// The generic HART master against scripted devices in memory (virtual clock): the frames it sends
// (short and long, preambles learnt, master bit), which replies it takes on a shared line, when it
// tries again, the scan and refused texts.
#include <gtest/gtest.h>

#include "hart/Frame.h"
#include "hart/Status.h"
#include "hart/Universal.h"
#include "support/MemoryPeer.h"
#include "tarvik/HartMaster.h"

using namespace tarvik;
using namespace tarvik::test;
using link::HartMaster;

namespace {

constexpr int kPort = 27;
constexpr int kBaud = 9600;
const std::array<std::uint8_t, 5> kUnique{0x1C, 0x66, 0x03, 0x1B, 0x01};

Bytes Reply(const hart::Address& from, std::uint8_t command, std::uint8_t rc, const Bytes& data,
            hart::FrameType type = hart::FrameType::Reply) {
    hart::FrameBytes f;
    hart::BuildReply(type, from, hart::Master::Primary, command, rc, 0, data, 5, f);
    return {f.Bytes().begin(), f.Bytes().end()};
}

Bytes Corrupt(Bytes b) {
    b.back() ^= 0x01;
    return b;
}

Bytes Identity(std::uint8_t preambles) {
    return {hart::kExpansionCode, 0x1C, 0x66, preambles, 7, 1, 1, 0x10, 0, 0x03, 0x1B, 0x01};
}

class HartMasterTest : public ::testing::Test {
protected:
    HartMasterTest() {
        link::MasterOptions o;
        o.busyBackoffMs = 10;
        EXPECT_EQ(master.Open(kPort, kBaud, o), ResultOk);
    }
    MemoryLines lines;
    MemoryPeer peer{kPort};
    HartMaster master;
};

} // namespace

TEST_F(HartMasterTest, FramesCarryAddressMasterBitAndLearntPreambles) {
    const hart::Address polling2 = hart::Address::Polling(2);
    peer.Reply(Reply(polling2, 0, 0, Identity(7)));
    const auto id = master.ReadIdentity(polling2);
    ASSERT_TRUE(id.Ok());
    EXPECT_EQ(id.value.LongAddress(), hart::Address::Long(kUnique));
    EXPECT_EQ(peer.Requests().at(0), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x82, 0x00, 0x00, 0x80}));

    // The device asked for 7 preambles: at its polling address and at its long address.
    link::MasterOptions o = master.GetOptions();
    o.master = hart::Master::Secondary;
    master.SetOptions(o);
    peer.Reply(Reply(polling2, 1, 0, {7, 0x3F, 0xC0, 0, 0}));
    peer.Reply(Reply(hart::Address::Long(kUnique), 1, 0, {7, 0x3F, 0xC0, 0, 0}));
    EXPECT_EQ(master.ReadPrimaryVariable(polling2).value.value, 1.5f);
    EXPECT_EQ(master.ReadPrimaryVariable(hart::Address::Long(kUnique)).value.unit, 7);
    const auto requests = peer.Requests();
    EXPECT_EQ(requests.at(1),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x02, 0x01, 0x00, 0x01}));
    EXPECT_EQ(requests.at(2).size(), 7u + 9u);
    EXPECT_EQ(requests.at(2)[8], 0x1C); // secondary master: top bit clear
}

TEST_F(HartMasterTest, TriesAgainOnlyWhenTheReplyIsMissingDamagedOrBusy) {
    const hart::Address to = hart::Address::Polling(1);
    const Bytes good = Reply(to, 1, 0, {7, 0x3F, 0xC0, 0, 0});
    struct Case {
        const char* what;
        std::vector<ScriptedReply> replies;
        std::int32_t result;
        std::uint8_t responseCode;
        std::int32_t attempts;
    };
    const Case cases[] = {
        {"silent twice", {{{}, 0, 0, 0, true}, {{}, 0, 0, 0, true}, {good}}, ResultOk, 0, 3},
        {"always silent", {}, ResultNoReply, 0, 3},
        {"damaged", {{Corrupt(good)}, {Corrupt(good)}, {Corrupt(good)}}, ResultBadChecksum, 0, 3},
        {"request damaged on the way", {{Reply(to, 1, 0x88, {})}, {good}}, ResultOk, 0, 2},
        {"busy, then done",
         {{Reply(to, 1, hart::kRcBusy, {})}, {Reply(to, 1, hart::kRcBusy, {})}, {good}},
         ResultOk,
         0,
         3},
        {"not implemented is an answer", {{Reply(to, 1, hart::kRcNotImplemented, {})}}, ResultOk, 64, 1},
        {"another device's reply is not it",
         {{Reply(hart::Address::Polling(3), 1, 0, {7})}},
         ResultNoReply,
         0,
         3},
    };
    for (const Case& c : cases) {
        for (const ScriptedReply& r : c.replies)
            peer.Queue(r);
        const link::HartReply r = master.Command(to, 1);
        EXPECT_EQ(r.result, c.result) << c.what;
        EXPECT_EQ(r.responseCode, c.responseCode) << c.what;
        EXPECT_EQ(r.attempts, c.attempts) << c.what;
        peer.ClearReceived();
    }
}

TEST_F(HartMasterTest, BurstFramesOnTheLineGoToTheirHandler) {
    const hart::Address to = hart::Address::Polling(0);
    const Bytes burst = Reply(hart::Address::Long(kUnique), 3, 0, {0x40, 0x80, 0, 0}, hart::FrameType::Burst);
    Bytes both = burst;
    both.push_back(0x00); // a stray byte between
    const Bytes reply = Reply(to, 2, 0, {0x41, 0x40, 0, 0, 0x42, 0x48, 0, 0});
    both.insert(both.end(), reply.begin(), reply.end());
    peer.Reply(both);
    int bursts = 0;
    master.SetBurstHandler([&](const hart::Frame& f) { bursts += f.command == 3 && f.BurstBit(); });
    const auto lc = master.ReadLoopCurrent(to);
    ASSERT_TRUE(lc.Ok());
    EXPECT_EQ(lc.value.milliamperes, 12.0f);
    EXPECT_EQ(bursts, 1);
}

TEST_F(HartMasterTest, ScanFindsTheDevicesThatAnswer) {
    peer.SetResponder([](const Bytes& request) {
        ScriptedReply r;
        r.silent = true;
        hart::FrameDecoder d;
        d.Feed(request, [&](const hart::Frame& f) {
            const std::uint8_t p = f.DeviceAddress().polling;
            if (p != 1 && p != 4) return;
            Bytes id = Identity(5);
            id[11] = p;
            r = {Reply(f.DeviceAddress(), 0, 0, id)};
        });
        return r;
    });
    std::vector<int> heard;
    const auto found = master.Scan(
        0, 5, 0, [&](std::uint8_t p, const link::FoundDevice* d) { heard.push_back(d ? p + 100 : p); });
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1].polling, 4);
    EXPECT_EQ(found[1].identity.deviceId[2], 4);
    EXPECT_EQ(heard, (std::vector<int>{0, 101, 2, 3, 104, 5}));
    EXPECT_EQ(peer.Requests().size(), 6u); // silence is not tried again while scanning
}

TEST_F(HartMasterTest, WritePollingAddressSendsTheRequestOfTheDevicesRevision) {
    // Command 0 first; from revision 6 command 6 carries the loop current mode too.
    const hart::Address to = hart::Address::Polling(0);
    for (const auto& [revision, sent] : {std::pair{5, Bytes{4}}, std::pair{7, Bytes{4, 0}}}) {
        Bytes id = Identity(5);
        id[4] = static_cast<std::uint8_t>(revision);
        peer.Reply(Reply(to, 0, 0, id));
        peer.Reply(Reply(to, 6, 0, sent));
        const auto r = master.WritePollingAddress(to, 4);
        ASSERT_TRUE(r.Ok()) << revision;
        const auto requests = peer.Requests();
        ASSERT_EQ(requests.size(), 2u) << revision;
        hart::FrameDecoder d;
        d.Feed(requests[1], [&](const hart::Frame& f) {
            EXPECT_EQ(f.command, hart::kCmdWritePollingAddress);
            EXPECT_EQ(Bytes(f.Body().begin(), f.Body().end()), sent) << revision;
        });
        EXPECT_EQ(d.Frames(), 1u);
        peer.ClearReceived();
    }
}

TEST_F(HartMasterTest, TextsThatDoNotFitAreRefusedBeforeTheWire) {
    const hart::Address to = hart::Address::Polling(0);
    EXPECT_EQ(master.WriteMessage(to, "lower case").reply.result, ResultBadTextLength);
    EXPECT_EQ(master.WriteLongTag(to, std::string(33, 'x')).reply.result, ResultBadTextLength);
    EXPECT_EQ(master.ReadIdentityByTag("TOO-LONG-TAG").reply.result, ResultBadTextLength);
    EXPECT_EQ(master.WritePollingAddress(to, 64).reply.result, ResultBadLength);
    EXPECT_TRUE(peer.Requests().empty());
}
