// ReadFlow from end to end through a scripted device on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "TarvikDLL.h"
#include "support/HartFrames.h"

using namespace tarvik::test;

namespace {

constexpr int kPort = 3;
constexpr int kBaud = 38400; // 115 ms wait
const Bytes kRequest{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0x8A, 0x64, 0x01, 0x02, 0x03, 0x01, 0x00, 0x6D};
const Bytes kGood = HartFrame(1, 0x00, 0x00, {0x39, 0x42, 0xC8, 0x00, 0x00});

struct Outputs {
    int32_t value = 0x5A5A5A5A;
    uint8_t units = 0xAA, s1 = 0xAB, s2 = 0xAC;
    int Call(int port = kPort, int baud = kBaud) {
        return ReadFlow(port, baud, 0x01, 0x02, 0x03, 0x64, &value, &units, &s1, &s2);
    }
    bool Untouched() const { return value == 0x5A5A5A5A && units == 0xAA && s1 == 0xAB && s2 == 0xAC; }
};

Bytes WithStatus2(std::uint8_t s2) {
    return HartFrame(1, 0x00, s2, {0x39, 0x42, 0xC8, 0x00, 0x00});
}

} // namespace

TEST(ReadFlowEndToEnd, GoodReplyIsDecodedAndTheRequestIsExact) {
    ScriptedPeer peer(kPort);
    peer.Reply(OnLine(kGood, 5));
    Outputs o;
    EXPECT_EQ(o.Call(), ResultOk);
    EXPECT_EQ(o.value, 0x42C80000);
    EXPECT_EQ(o.units, 0x39);
    EXPECT_EQ(o.s1, 0);
    EXPECT_EQ(o.s2, 0);
    ASSERT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(peer.Requests()[0], kRequest);
}

TEST(ReadFlowEndToEnd, ResultsByReplyShape) {
    ScriptedPeer peer(kPort);
    Bytes altered = kGood;
    altered[12] ^= 0x10;
    Bytes shortGood = HartFrame(1, 0x40, 0x00, {});
    Bytes shortBad = shortGood;
    shortBad.back() ^= 0x01;
    Bytes withExtra = kGood;
    withExtra.push_back(0x99);
    Bytes fifteen(kGood.begin(), kGood.begin() + 15);
    Bytes sixty(60, 0x10);
    struct Case {
        const char* name;
        Bytes line;
        int result;
        bool writesAll, writesStatus;
    } cases[] = {
        {"status2 0x40", OnLine(WithStatus2(0x40)), ResultOk, true, true},
        {"status2 0x50", OnLine(WithStatus2(0x50)), ResultDeviceStatus, true, true},
        {"17th byte ignored", OnLine(withExtra), ResultOk, true, true},
        {"altered data byte", OnLine(altered), ResultBadChecksum, false, false},
        {"short reply", OnLine(shortGood), ResultErrorReply, false, true},
        {"short reply bad checksum", OnLine(shortBad), ResultErrorReplyChecksum, false, false},
        {"15 bytes", OnLine(fifteen), ResultBadLength, false, false},
        {"0xFF only", Bytes(20, 0xFF), ResultBadLength, false, false},
        {"60 bytes", sixty, ResultBadLength, false, false},
    };
    for (const auto& c : cases) {
        peer.Reply(c.line);
        Outputs o;
        EXPECT_EQ(o.Call(), c.result) << c.name;
        if (c.writesAll) {
            EXPECT_EQ(o.value, 0x42C80000) << c.name;
        } else if (c.writesStatus) {
            EXPECT_EQ(o.value, 0x5A5A5A5A) << c.name;
            EXPECT_EQ(o.units, 0xAA) << c.name;
            EXPECT_EQ(o.s1, 0x40) << c.name;
            EXPECT_EQ(o.s2, 0x00) << c.name;
        } else {
            EXPECT_TRUE(o.Untouched()) << c.name;
        }
    }
}

TEST(ReadFlowEndToEnd, CarriageReturnsAndHighBytesTravelUntouched) {
    ScriptedPeer peer(kPort);
    // Value bytes 0x0D 0x0A 0x11 0x13 would be eaten or translated by a cooked line.
    peer.Reply(OnLine(HartFrame(1, 0, 0, {0x0D, 0x0D, 0x0A, 0x11, 0x13})));
    Outputs o;
    EXPECT_EQ(o.Call(), ResultOk);
    EXPECT_EQ(o.units, 0x0D);
    EXPECT_EQ(static_cast<uint32_t>(o.value), 0x0D0A1113u);
    // A request whose address holds the same bytes reaches the device unchanged.
    int32_t v;
    uint8_t u, s1, s2;
    peer.Reply(OnLine(kGood));
    EXPECT_EQ(ReadFlow(kPort, kBaud, 0x0D, 0x11, 0x13, 0x0A, &v, &u, &s1, &s2), ResultOk);
    const Bytes req = peer.Requests().back();
    EXPECT_EQ(Bytes(req.begin() + 7, req.begin() + 11), (Bytes{0x0A, 0x0D, 0x11, 0x13}));
}

TEST(ReadFlowEndToEnd, SilentLateAndSplitReplies) {
    ScriptedPeer peer(kPort);
    Outputs o;
    EXPECT_EQ(o.Call(), ResultNoReply); // nothing queued: the device stays silent
    EXPECT_TRUE(o.Untouched());

    peer.Reply(OnLine(kGood), 400); // arrives after the 115 ms wait
    EXPECT_EQ(o.Call(), ResultNoReply);
    EXPECT_TRUE(o.Untouched());
    usleep(400 * 1000); // let the late reply land and be purged by the next open

    peer.ReplySplit(OnLine(kGood), 10, 0, 400); // still arriving when the wait ends
    EXPECT_EQ(o.Call(), ResultBadLength);
    EXPECT_TRUE(o.Untouched());
    usleep(400 * 1000);

    peer.Reply(OnLine(kGood)); // and the next call on the same port works
    EXPECT_EQ(o.Call(), ResultOk);
}

TEST(ReadFlowEndToEnd, SlowerRatesWaitLonger) {
    ScriptedPeer peer(kPort);
    peer.Reply(OnLine(kGood), 250); // inside 262 ms at 3600, outside 161 ms at 9600
    Outputs o;
    EXPECT_EQ(o.Call(kPort, 3600), ResultOk);
    peer.Reply(OnLine(kGood), 250);
    Outputs p;
    EXPECT_EQ(p.Call(kPort, 9600), ResultNoReply);
}

TEST(ReadFlowEndToEnd, ArgumentAndPortFailures) {
    Outputs o;
    EXPECT_EQ(o.Call(0, 1000), ResultBadPort); // port before baud
    EXPECT_EQ(o.Call(41, kBaud), ResultBadPort);
    EXPECT_EQ(o.Call(-1, kBaud), ResultBadPort);
    EXPECT_EQ(o.Call(kPort, 14400), ResultBadBaud);
    EXPECT_EQ(o.Call(kPort, 115200), ResultBadBaud);
    EXPECT_EQ(o.Call(kPort + 1, kBaud), ResultPortAbsent); // no COM4 in the port directory
    EXPECT_TRUE(o.Untouched());
}

TEST(ReadFlowEndToEnd, PortHeldByAnotherIsBusyAndNothingIsSent) {
    ScriptedPeer peer(kPort);
    peer.Reply(OnLine(kGood));
    const int holder = ::open(peer.LinkPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    Outputs o;
    EXPECT_EQ(o.Call(), ResultPortBusy);
    EXPECT_TRUE(o.Untouched());
    ::close(holder);
    usleep(50 * 1000);
    EXPECT_TRUE(peer.Received().empty());
    EXPECT_EQ(o.Call(), ResultOk); // released: the queued reply answers the next call
}

TEST(ReadFlowEndToEnd, PortsFromTenOnUseTheDeviceNamespaceForm) {
    ScriptedPeer peer(10);
    peer.Reply(OnLine(kGood));
    Outputs o;
    EXPECT_EQ(o.Call(10), ResultOk);
    EXPECT_EQ(o.value, 0x42C80000);
}

TEST(ReadFlowEndToEnd, PortEntryThatIsNotATerminalIsBusyAndUntouched) {
    const std::string path = PortDir() + "/COM7";
    {
        FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    Outputs o;
    EXPECT_EQ(o.Call(7), ResultPortBusy);
    FILE* f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fgetc(f), EOF); // not a byte written to it
    std::fclose(f);
    ::unlink(path.c_str());
}
