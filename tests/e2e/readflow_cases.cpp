// ReadFlow from end to end against a scripted device: the same cases on Linux and under Wine.
#include "e2e/E2E.h"

namespace tarvik::e2e {

namespace {

constexpr int kPort = 3;
constexpr int kDeviceNamespacePort = 12; // opened as "\\.\COM12"
constexpr int kBaud = 9600;              // 161 ms response delay
constexpr std::int32_t kValue = 0x42C80000;
constexpr std::uint8_t kUnits = 0x39;
const Bytes kRequest{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0x8A, 0x64, 0x01, 0x02, 0x03, 0x01, 0x00, 0x6D};

Bytes FlowReply(std::uint8_t status1, std::uint8_t status2,
                const Bytes& data = {kUnits, 0x42, 0xC8, 0x00, 0x00}) {
    return HartFrame(1, status1, status2, data);
}

struct Outputs {
    std::int32_t value = 0x5A5A5A5A;
    std::uint8_t units = 0xAA, s1 = 0xAB, s2 = 0xAC;
    std::int32_t Call(std::int32_t port = kPort, std::int32_t baud = kBaud) {
        return ReadFlow(port, baud, 0x01, 0x02, 0x03, 0x64, &value, &units, &s1, &s2);
    }
    bool Untouched() const { return value == 0x5A5A5A5A && units == 0xAA && s1 == 0xAB && s2 == 0xAC; }
};

} // namespace

E2E_PTY_CASE(ReadFlowShared, GoodReplyIsDecodedAndTheRequestIsExact) {
    auto peer = MakePeer(kPort);
    peer->Reply(OnLine(FlowReply(0, 0), 5));
    Outputs o;
    E2E_EXPECT_EQ(o.Call(), ResultOk);
    E2E_EXPECT_EQ(o.value, kValue);
    E2E_EXPECT_EQ(o.units, kUnits);
    E2E_EXPECT_EQ(o.s1, 0);
    E2E_EXPECT_EQ(o.s2, 0);
    E2E_EXPECT_TRUE(peer->WaitForRequests(1));
    E2E_ASSERT_EQ(peer->Requests().size(), 1u);
    E2E_EXPECT_EQ(peer->Requests()[0], kRequest);
}

E2E_CASE(ReadFlowShared, ResultsByReplyShape) {
    auto peer = MakePeer(kPort);
    Bytes altered = FlowReply(0, 0);
    altered[12] ^= 0x10;
    const Bytes shortGood = FlowReply(0x40, 0x00, {});
    Bytes shortBad = shortGood;
    shortBad.back() ^= 0x01;
    const Bytes good = FlowReply(0, 0);
    const Bytes fifteen(good.begin(), good.begin() + 15);
    struct Case {
        const char* name;
        Bytes line;
        std::int32_t result;
        bool writesAll, writesStatus;
    } cases[] = {
        {"status2 0x40", OnLine(FlowReply(0, 0x40)), ResultOk, true, true},
        {"status2 0x50", OnLine(FlowReply(0, 0x50)), ResultDeviceStatus, true, true},
        {"altered data byte", OnLine(altered), ResultBadChecksum, false, false},
        {"short reply", OnLine(shortGood), ResultErrorReply, false, true},
        {"short reply, bad checksum", OnLine(shortBad), ResultErrorReplyChecksum, false, false},
        {"15 bytes", OnLine(fifteen), ResultBadLength, false, false},
    };
    for (const auto& c : cases) {
        peer->Reply(c.line);
        Outputs o;
        E2E_EXPECT_EQ(o.Call(), c.result) << c.name;
        if (c.writesAll) {
            E2E_EXPECT_EQ(o.value, kValue) << c.name;
            E2E_EXPECT_EQ(o.units, kUnits) << c.name;
        } else if (c.writesStatus) {
            E2E_EXPECT_EQ(o.value, 0x5A5A5A5A) << c.name;
            E2E_EXPECT_EQ(o.units, 0xAA) << c.name;
            E2E_EXPECT_EQ(o.s1, 0x40) << c.name;
            E2E_EXPECT_EQ(o.s2, 0x00) << c.name;
        } else {
            E2E_EXPECT_TRUE(o.Untouched()) << c.name;
        }
    }
}

E2E_CASE(ReadFlowShared, SilentDeviceIsNoReplyAndOutputsStay) {
    auto peer = MakePeer(kPort);
    Outputs o;
    E2E_EXPECT_EQ(o.Call(), ResultNoReply);
    E2E_EXPECT_TRUE(o.Untouched());
    E2E_EXPECT_TRUE(peer->WaitForRequests(1));
    E2E_EXPECT_EQ(peer->Requests().size(), 1u); // the request went out all the same
}

E2E_CASE(ReadFlowShared, ControlAndHighBytesTravelUntouched) {
    // CR, LF, XON, XOFF and 0xFF would be translated, eaten or stripped by a line that is not raw.
    auto peer = MakePeer(kPort);
    peer->Reply(OnLine(FlowReply(0, 0, {0x0D, 0x0A, 0x11, 0x13, 0xFF})));
    Outputs o;
    E2E_EXPECT_EQ(o.Call(), ResultOk);
    E2E_EXPECT_EQ(o.units, 0x0D);
    E2E_EXPECT_EQ(static_cast<std::uint32_t>(o.value), 0x0A1113FFu);
    peer->Reply(OnLine(FlowReply(0, 0)));
    std::int32_t v = 0;
    std::uint8_t u = 0, s1 = 0, s2 = 0;
    E2E_EXPECT_EQ(ReadFlow(kPort, kBaud, 0x0D, 0x11, 0x13, 0x0A, &v, &u, &s1, &s2), ResultOk);
    E2E_EXPECT_TRUE(peer->WaitForRequests(2));
    E2E_ASSERT_EQ(peer->Requests().size(), 2u);
    const Bytes request = peer->Requests()[1];
    E2E_ASSERT_EQ(request.size(), kRequest.size());
    E2E_EXPECT_EQ(Bytes(request.begin() + 7, request.begin() + 11), (Bytes{0x0A, 0x0D, 0x11, 0x13}));
}

E2E_PTY_CASE(ReadFlowShared, LateReplyIsDiscardedAndCallsInARowWork) {
    auto peer = MakePeer(kPort);
    peer->Reply(OnLine(FlowReply(0, 0)), 400); // lands after the 161 ms wait
    Outputs late;
    E2E_EXPECT_EQ(late.Call(), ResultNoReply);
    E2E_EXPECT_TRUE(late.Untouched());
    PauseMs(400); // the late bytes wait in the queue; the next open purges them

    // Several calls in a row on one port, each opening it with odd parity again.
    for (std::uint8_t units : {0x11, 0x22, 0x33}) {
        peer->Reply(OnLine(FlowReply(0, 0, {units, 0x42, 0xC8, 0x00, 0x00})));
        Outputs o;
        E2E_EXPECT_EQ(o.Call(), ResultOk) << "units " << int(units);
        E2E_EXPECT_EQ(o.units, units);
    }
}

E2E_CASE(ReadFlowShared, ArgumentAndPortFailures) {
    Outputs o;
    E2E_EXPECT_EQ(o.Call(0, 1000), ResultBadPort); // the port before the baud rate
    E2E_EXPECT_EQ(o.Call(41, kBaud), ResultBadPort);
    E2E_EXPECT_EQ(o.Call(-1, kBaud), ResultBadPort);
    E2E_EXPECT_EQ(o.Call(kPort, 14400), ResultBadBaud);
    E2E_EXPECT_EQ(o.Call(kPort, 115200), ResultBadBaud);
    E2E_EXPECT_EQ(o.Call(AbsentPort(), kBaud), ResultPortAbsent);
    E2E_EXPECT_TRUE(o.Untouched());
}

E2E_PTY_CASE(ReadFlowShared, PortsFromTenOnUseTheDeviceNamespaceForm) {
    auto peer = MakePeer(kDeviceNamespacePort);
    peer->Reply(OnLine(FlowReply(0, 0)));
    Outputs o;
    E2E_EXPECT_EQ(o.Call(kDeviceNamespacePort), ResultOk);
    E2E_EXPECT_EQ(o.value, kValue);
    E2E_EXPECT_TRUE(peer->WaitForRequests(1));
    E2E_EXPECT_EQ(peer->Requests().size(), 1u);
}

} // namespace tarvik::e2e
