// The HART device models: framing, address matching, every command's reply length, refusals,
// process dynamics, write protection and backup.
#include <gtest/gtest.h>

#include <cmath>

#include "FlowDevice.h"
#include "HartLink.h"
#include "PressureDevice.h"
#include "Transmitter.h"
#include "hart/Universal.h"

namespace tarvik::sim {
namespace {

constexpr std::size_t kPreambles = 5;
const HartIdentity kFlowId{0x0A, 0x64, {0x01, 0x02, 0x03}, 1, 1, 1};
const HartIdentity kPressureId{0x0A, 0x65, {0x01, 0x02, 0x04}, 1, 1, 1};

Bytes Request(const std::array<std::uint8_t, 5>& address, std::uint8_t command, Bytes data = {}) {
    Bytes out(kPreambles, kPreambleByte);
    out.push_back(kDelimiterRequest);
    out.insert(out.end(), address.begin(), address.end());
    out.push_back(command);
    out.push_back(static_cast<std::uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(XorOf(std::span(out).subspan(kPreambles)));
    return out;
}

std::array<std::uint8_t, 5> Own(const HartIdentity& id) {
    return {0x8A, id.deviceType, id.id[0], id.id[1], id.id[2]};
}
constexpr std::array<std::uint8_t, 5> kBroadcast = {0x80, 0, 0, 0, 0};

// A reply as the library stores it: preamble dropped.
struct Stored {
    Bytes bytes;
    std::uint8_t Status1() const { return bytes.at(8); }
    std::uint8_t Status2() const { return bytes.at(9); }
    float FloatAt(std::size_t pos) const { return sim::FloatAt(bytes, pos); }
};

std::optional<Stored> Ask(HartDevice& dev, const Bytes& request, double now = 0) {
    HartRequestParser parser;
    auto requests = parser.Feed(request);
    EXPECT_EQ(requests.size(), 1u);
    auto reply = dev.Answer(requests.at(0), now);
    if (!reply) return std::nullopt;
    std::size_t p = 0;
    while (p < reply->size() && (*reply)[p] == kPreambleByte)
        ++p;
    EXPECT_EQ(p, kPreambles);
    Stored s{Bytes(reply->begin() + static_cast<std::ptrdiff_t>(p), reply->end())};
    EXPECT_EQ(s.bytes.front(), kDelimiterReply);
    EXPECT_EQ(XorOf(std::span(s.bytes).first(s.bytes.size() - 1)), s.bytes.back()) << "reply checksum";
    EXPECT_EQ(s.bytes.at(7), s.bytes.size() - 9) << "byte count";
    return s;
}

Bytes FloatData(std::uint8_t unit, float v) {
    Bytes d{unit};
    AppendFloat(d, v);
    return d;
}

TEST(HartLink, PackedAsciiMatchesPublishedExamples) {
    const struct {
        const char* text;
        Bytes packed;
    } cases[] = {
        {"ABCDEFGH", {0x04, 0x20, 0xC4, 0x14, 0x61, 0xC8}},
        {"    ABCD", {0x82, 0x08, 0x20, 0x04, 0x20, 0xC4}},
        {"FT-101  ", {0x19, 0x4B, 0x71, 0xC3, 0x18, 0x20}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PackAscii(c.text), c.packed) << c.text;
        EXPECT_EQ(UnpackAscii(c.packed), c.text);
    }
    EXPECT_EQ(UnpackAscii(PackAscii("abcdefgh")), "!\"#$%&'(");
}

TEST(HartLink, ParserSkipsPreambleAndNoiseAndAcceptsPieces) {
    Bytes stream = {0x13, 0x37}; // noise before the frame
    const Bytes req = Request(Own(kFlowId), 1);
    stream.insert(stream.end(), req.begin(), req.end());
    HartRequestParser parser;
    EXPECT_TRUE(parser.Feed(std::span(stream).first(9)).empty());
    EXPECT_FALSE(parser.Idle());
    auto got = parser.Feed(std::span(stream).subspan(9));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].command, 1);
    EXPECT_TRUE(got[0].checksumOk);
    EXPECT_TRUE(parser.Idle());

    Bytes bad = Request(Own(kFlowId), 1);
    bad.back() ^= 0x01;
    got = parser.Feed(bad);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_FALSE(got[0].checksumOk);
}

TEST(HartLink, ReplyFrameLayout) {
    const Bytes r = BuildReply(Own(kFlowId), 1, 0, 0x40, Bytes{0x39, 0x42, 0xC8, 0, 0}, 5);
    ASSERT_EQ(r.size(), 5u + 16u);
    EXPECT_EQ(r[5], kDelimiterReply);
    EXPECT_EQ(r[12], 7); // byte count: two status bytes and five data bytes
    EXPECT_EQ(r[14], 0x40);
    EXPECT_EQ(XorOf(std::span(r).subspan(5, 15)), r.back());
}

// Every command the library sends gets a reply of the length the library expects.
TEST(FlowDevice, EveryCommandAnswersWithItsFullLength) {
    FlowDevice dev(kFlowId, "FT-103", 19200, 7);
    const struct {
        std::uint8_t command;
        Bytes data;
        std::size_t length;
        bool broadcast;
    } cases[] = {
        {0, {}, 23, true},
        {11, PackAscii("FT-103  "), 23, true},
        {13, {}, 32, true},
        {1, {}, 16, false},
        {235, {}, 21, false},
        {236, FloatData(57, 40.0f), 21, false},
        {48, {}, 15, false},
        {151, {3}, 32, false},
        {150, {3}, 24, false},
        {193, {}, 15, false},
        {195, {2}, 12, false},
        {196, {19, 0}, 13, false},
        {230, {}, 12, false},
        {231, {0}, 12, false},
        {240, {}, 13, false},
        {241, {1}, 12, false},
        {242, {}, 16, false},
        {39, {0}, 12, false},
        {128, Bytes{0x04, 0x20, 0xC4, 0x14, 0x61, 0xC8, 0}, 12, false},
    };
    for (const auto& c : cases) {
        auto s = Ask(dev, Request(c.broadcast ? kBroadcast : Own(kFlowId), c.command, c.data));
        ASSERT_TRUE(s) << int(c.command);
        EXPECT_EQ(s->bytes.size(), c.length) << "command " << int(c.command);
        EXPECT_EQ(s->Status1(), kRcSuccess) << "command " << int(c.command);
    }
}

TEST(PressureDevice, EveryCommandAnswersWithItsFullLength) {
    PressureDevice dev(kPressureId, "PT-204", 9600, 7);
    const struct {
        std::uint8_t command;
        Bytes data;
        std::size_t length;
    } cases[] = {{1, {}, 16}, {159, {3}, 16}, {198, {7}, 12}, {194, {3}, 12}, {192, {}, 16}, {48, {}, 15}};
    for (const auto& c : cases) {
        auto s = Ask(dev, Request(Own(kPressureId), c.command, c.data));
        ASSERT_TRUE(s);
        EXPECT_EQ(s->bytes.size(), c.length) << "command " << int(c.command);
        EXPECT_EQ(s->Status1(), kRcSuccess);
    }
}

TEST(FlowDevice, IdentityCarriesAddressAtTheLibrarysPositions) {
    FlowDevice dev(kFlowId, "FT-103", 19200, 7);
    auto s = Ask(dev, Request(kBroadcast, 0));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->bytes[12], 0x64);
    EXPECT_EQ(s->bytes[19], 0x01);
    EXPECT_EQ(s->bytes[20], 0x02);
    EXPECT_EQ(s->bytes[21], 0x03);
    EXPECT_EQ(s->bytes[11] & kManufacturerMask, 0x0A);

    auto tag = Ask(dev, Request(kBroadcast, 13));
    ASSERT_TRUE(tag);
    EXPECT_EQ(UnpackAscii(std::span(tag->bytes).subspan(10, 6)), "FT-103  ");
    EXPECT_EQ(UnpackAscii(std::span(tag->bytes).subspan(16, 12)), "MASS FLOW CTRL  ");
}

TEST(FlowDevice, StaysSilentForOtherAddressesAndOtherTags) {
    FlowDevice dev(kFlowId, "FT-103", 19200, 7);
    EXPECT_FALSE(Ask(dev, Request({0x8A, 0x64, 0x01, 0x02, 0x04}, 1)));
    EXPECT_FALSE(Ask(dev, Request({0x8B, 0x64, 0x01, 0x02, 0x03}, 1))); // another maker's bits
    EXPECT_FALSE(Ask(dev, Request(kBroadcast, 1)));                     // command 1 is not broadcast
    EXPECT_FALSE(Ask(dev, Request(kBroadcast, 11, PackAscii("FT-999  "))));
}

TEST(FlowDevice, RefusesMalformedAndUnknownRequestsWithShortReplies) {
    FlowDevice dev(kFlowId, "FT-103", 19200, 7);
    const struct {
        std::uint8_t command;
        Bytes data;
        std::uint8_t code;
    } cases[] = {
        {99, {}, kRcNotImplemented},
        {236, {57}, kRcTooFewBytes},
        {236, FloatData(1, 5), kRcInvalidSelection},
        {236, FloatData(57, 101), kRcTooLarge},
        {236, FloatData(57, -1), kRcTooSmall},
        {236, FloatData(57, NAN), kRcInvalidSelection},
        {151, {0}, kRcInvalidSelection},
        {151, {11}, kRcInvalidSelection},
        {196, {200, 0}, kRcInvalidSelection},
        {231, {3}, kRcTooLarge},
        {241, {3}, kRcTooLarge},
        {39, {7}, kRcInvalidSelection},
        {128, Bytes(6, 0), kRcTooFewBytes},
    };
    for (const auto& c : cases) {
        auto s = Ask(dev, Request(Own(kFlowId), c.command, c.data));
        ASSERT_TRUE(s);
        EXPECT_EQ(s->bytes.size(), 11u) << "command " << int(c.command);
        EXPECT_EQ(s->Status1(), c.code) << "command " << int(c.command);
    }
    Bytes bad = Request(Own(kFlowId), 1);
    bad.back() ^= 0x55;
    auto s = Ask(dev, bad);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->bytes.size(), 11u);
    EXPECT_EQ(s->Status1(), kCommErrorChecksum);
}

TEST(FlowDevice, FlowFollowsSetPointAndTotalizerIntegrates) {
    FlowDevice dev(kFlowId, "FT-103", 19200, 7);
    dev.SetDynamics(1.0, 0.0);
    ASSERT_TRUE(Ask(dev, Request(Own(kFlowId), 236, FloatData(57, 50.0f)), 0.0));
    auto early = Ask(dev, Request(Own(kFlowId), 1), 0.5);
    ASSERT_TRUE(early);
    EXPECT_GT(early->FloatAt(11), 5.0f); // on its way: 1 - e^-0.5 of 25 l/min
    EXPECT_LT(early->FloatAt(11), 15.0f);
    auto settled = Ask(dev, Request(Own(kFlowId), 1), 20.0);
    ASSERT_TRUE(settled);
    EXPECT_EQ(settled->bytes[10], 17); // l/min
    EXPECT_NEAR(settled->FloatAt(11), 25.0f, 0.01f);
    // From 0 to 20 s the lag costs tau seconds of flow: 25 l/min * (20 - 1) s = 7.92 l.
    auto total = Ask(dev, Request(Own(kFlowId), 242), 20.0);
    ASSERT_TRUE(total);
    EXPECT_EQ(total->bytes[10], 41); // liters
    EXPECT_NEAR(total->FloatAt(11), 25.0 * 19.0 / 60.0, 0.05);

    auto sp = Ask(dev, Request(Own(kFlowId), 235), 20.0);
    ASSERT_TRUE(sp);
    EXPECT_EQ(sp->bytes[10], 57);
    EXPECT_FLOAT_EQ(sp->FloatAt(11), 50.0f);
    EXPECT_EQ(sp->bytes[15], 17);
    EXPECT_FLOAT_EQ(sp->FloatAt(16), 25.0f);
}

TEST(FlowDevice, SetPointInFlowUnitsAndUnitConversion) {
    FlowDevice dev(kFlowId, "FT-103", 19200, 7);
    dev.SetDynamics(0.001, 0.0);
    ASSERT_TRUE(Ask(dev, Request(Own(kFlowId), 196, {19, 0})));             // m3/h
    auto r = Ask(dev, Request(Own(kFlowId), 236, FloatData(250, 1.5f)), 0); // 1.5 m3/h = 25 l/min = 50 %
    ASSERT_TRUE(r);
    EXPECT_NEAR(r->FloatAt(11), 50.0f, 1e-3);
    auto flow = Ask(dev, Request(Own(kFlowId), 1), 5);
    ASSERT_TRUE(flow);
    EXPECT_EQ(flow->bytes[10], 19);
    EXPECT_NEAR(flow->FloatAt(11), 1.5f, 1e-3);
    EXPECT_EQ(flow->Status2(), kStatusConfigChanged);
}

TEST(FlowDevice, ValveOverrideDrivesFlowAndRaisesMoreStatus) {
    FlowDevice dev(kFlowId, "FT-103", 19200, 7);
    dev.SetDynamics(0.001, 0.0);
    Ask(dev, Request(Own(kFlowId), 236, FloatData(57, 50.0f)), 0);
    auto closed = Ask(dev, Request(Own(kFlowId), 231, {kVorClosed}), 0);
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->Status2() & kStatusMoreStatus, kStatusMoreStatus);
    auto flow = Ask(dev, Request(Own(kFlowId), 1), 1);
    EXPECT_NEAR(flow->FloatAt(11), 0.0f, 1e-3);
    auto add = Ask(dev, Request(Own(kFlowId), 48), 1);
    EXPECT_EQ(add->bytes[10], 0x01 | 0x02 | 0x04); // away from set point, override, totalizer running
    Ask(dev, Request(Own(kFlowId), 231, {kVorOpen}), 1);
    EXPECT_NEAR(Ask(dev, Request(Own(kFlowId), 1), 2)->FloatAt(11), 55.0f, 1e-3);
    Ask(dev, Request(Own(kFlowId), 231, {kVorNormal}), 2);
    auto normal = Ask(dev, Request(Own(kFlowId), 230), 3);
    EXPECT_EQ(normal->bytes[10], kVorNormal);
    EXPECT_EQ(normal->Status2(), 0);
}

TEST(FlowDevice, TotalizerStates) {
    FlowDevice dev(kFlowId, "FT-103", 19200, 7);
    dev.SetDynamics(0.001, 0.0);
    Ask(dev, Request(Own(kFlowId), 236, FloatData(57, 100.0f)), 0);
    Ask(dev, Request(Own(kFlowId), 241, {kTotalStop}), 60);
    const float stopped = Ask(dev, Request(Own(kFlowId), 242), 60)->FloatAt(11);
    EXPECT_NEAR(stopped, 50.0f, 0.1f); // one minute at 50 l/min
    EXPECT_FLOAT_EQ(Ask(dev, Request(Own(kFlowId), 242), 120)->FloatAt(11), stopped);
    EXPECT_EQ(Ask(dev, Request(Own(kFlowId), 240), 120)->bytes[10], kTotalStop);
    Ask(dev, Request(Own(kFlowId), 241, {kTotalReset}), 120);
    EXPECT_FLOAT_EQ(Ask(dev, Request(Own(kFlowId), 242), 130)->FloatAt(11), 0.0f);
}

TEST(FlowDevice, WriteProtectionRefusesWritesUntilUnlockedWithTheSameText) {
    FlowDevice dev(kFlowId, "FT-103", 19200, 7);
    Bytes lock = PackAscii("SECRET12");
    lock.push_back(kProtectOn);
    auto r = Ask(dev, Request(Own(kFlowId), 128, lock));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->bytes[10], kProtectOn); // echo
    for (std::uint8_t cmd : {236, 195, 196, 231, 241, 39}) {
        const Bytes data = cmd == 236 ? FloatData(57, 10) : cmd == 196 ? Bytes{17, 0} : Bytes{1};
        auto refused = Ask(dev, Request(Own(kFlowId), cmd, data));
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->bytes.size(), 11u);
        EXPECT_EQ(refused->Status1(), kRcWriteProtected) << int(cmd);
    }
    EXPECT_EQ(Ask(dev, Request(Own(kFlowId), 1))->Status1(), kRcSuccess); // reads still work
    Bytes wrong = PackAscii("GUESS123");
    wrong.push_back(kProtectOff);
    EXPECT_EQ(Ask(dev, Request(Own(kFlowId), 128, wrong))->Status1(), kRcAccessRestricted);
    lock.back() = kProtectOff;
    EXPECT_EQ(Ask(dev, Request(Own(kFlowId), 128, lock))->Status1(), kRcSuccess);
    EXPECT_EQ(Ask(dev, Request(Own(kFlowId), 236, FloatData(57, 10)))->Status1(), kRcSuccess);
}

TEST(FlowDevice, BackupClearsConfigurationChangedAndRestoreReloads) {
    FlowDevice dev(kFlowId, "FT-103", 19200, 7);
    EXPECT_EQ(Ask(dev, Request(Own(kFlowId), 195, {4}))->Status2(), kStatusConfigChanged);
    auto saved = Ask(dev, Request(Own(kFlowId), 39, {kEepromBurn}));
    EXPECT_EQ(saved->bytes[10], kEepromBurn);
    EXPECT_EQ(saved->Status2(), 0);
    Ask(dev, Request(Own(kFlowId), 195, {9}));
    EXPECT_EQ(dev.ActiveGas(), 9);
    Ask(dev, Request(Own(kFlowId), 39, {kEepromRestore}));
    EXPECT_EQ(dev.ActiveGas(), 4);
    auto settings = Ask(dev, Request(Own(kFlowId), 193));
    EXPECT_EQ(settings->bytes[11], 4);
}

TEST(FlowDevice, GasTable) {
    FlowDevice dev(kFlowId, "FT-103", 19200, 7);
    auto name = Ask(dev, Request(Own(kFlowId), 150, {4}));
    EXPECT_EQ(std::string(name->bytes.begin() + 11, name->bytes.begin() + 23), "ARGON AR    ");
    auto data = Ask(dev, Request(Own(kFlowId), 151, {4}));
    EXPECT_EQ(data->bytes[11], 17);
    EXPECT_FLOAT_EQ(data->FloatAt(12), 70.0f);
    EXPECT_EQ(data->bytes[16], 92);
    EXPECT_EQ(data->bytes[21], 32);
    EXPECT_EQ(data->bytes[26], 7);
}

TEST(PressureDevice, ApplicationsUnitsAndOverRange) {
    PressureDevice dev(kPressureId, "PT-204", 9600, 7);
    auto p = Ask(dev, Request(Own(kPressureId), 1));
    EXPECT_EQ(p->bytes[10], 7);
    EXPECT_NEAR(p->FloatAt(11), 3.2f, 0.06f);
    EXPECT_EQ(p->Status2(), 0);
    Ask(dev, Request(Own(kPressureId), 198, {6})); // psi
    auto range = Ask(dev, Request(Own(kPressureId), 159, {4}));
    EXPECT_EQ(range->bytes[10], 6);
    EXPECT_NEAR(range->FloatAt(11), 145.04f, 0.01f);
    // Application 1 (1 bar) cannot hold 3.2 bar.
    auto over = Ask(dev, Request(Own(kPressureId), 194, {1}));
    EXPECT_EQ(over->Status2() & (kStatusPvOutOfLimits | kStatusMoreStatus),
              kStatusPvOutOfLimits | kStatusMoreStatus);
    EXPECT_EQ(Ask(dev, Request(Own(kPressureId), 48))->bytes[10] & 0x01, 0x01);
    auto settings = Ask(dev, Request(Own(kPressureId), 192));
    EXPECT_EQ(settings->bytes[10], 1);
    EXPECT_EQ(settings->bytes[11], 6);
    EXPECT_EQ(Ask(dev, Request(Own(kPressureId), 194, {7}))->Status1(), kRcInvalidSelection);
    EXPECT_EQ(Ask(dev, Request(Own(kPressureId), 198, {57}))->Status1(), kRcInvalidSelection);
}

// The generic transmitter's reply data to `command` at its polling address (response code first).
std::pair<std::uint8_t, Bytes> AskTransmitter(Transmitter& t, std::uint8_t command, const Bytes& data = {}) {
    hart::FrameBytes request;
    hart::BuildRequest(hart::Address::Polling(t.Polling()), hart::Master::Primary, command, data, 5, request);
    hart::FrameDecoder d;
    hart::Frame asked;
    d.Feed(request.Bytes(), [&](const hart::Frame& f) { asked = f; });
    const auto reply = t.Answer(asked, 1.0);
    std::pair<std::uint8_t, Bytes> out{0xFF, {}};
    if (reply)
        d.Feed(*reply, [&](const hart::Frame& f) {
            out = {f.ResponseCode(), Bytes(f.Data().begin(), f.Data().end())};
        });
    return out;
}

TEST(Transmitter, Revision7IdentityAndConfigurationReads) {
    TransmitterConfig config;
    config.polling = 1;
    Transmitter t(config, 7);
    const auto [rc, data] = AskTransmitter(t, hart::kCmdReadUniqueId);
    ASSERT_EQ(rc, 0);
    const hart::Identity id = hart::DecodeIdentity(data);
    EXPECT_EQ(id.deviceType, kTransmitterType);
    EXPECT_EQ(id.manufacturer, kTransmitterManufacturer);
    EXPECT_EQ(id.privateLabel, kTransmitterPrivateLabel);
    EXPECT_EQ(id.LongAddress(), t.LongAddress());
    EXPECT_EQ(id.extendedStatus, 0); // healthy, though its loop current is fixed (multidrop)
    EXPECT_FALSE(
        hart::DecodeDeviceInfoOfRevision(AskTransmitter(t, hart::kCmdReadDeviceInfo).second, 7).privateLabel);

    EXPECT_EQ(AskTransmitter(t, hart::kCmdReadLoopConfiguration).second,
              (Bytes{1, hart::kLoopCurrentDisabled}));
    EXPECT_EQ(AskTransmitter(t, hart::kCmdReadClassifications).second.size(), 4u);
    const auto withStatus = hart::DecodeVariablesWithStatus(
        AskTransmitter(t, hart::kCmdReadVariablesWithStatus, {0, 248}).second);
    ASSERT_EQ(withStatus.count, 2u);
    EXPECT_EQ(withStatus.extendedStatus, 0);
    EXPECT_EQ(withStatus.slots[1].unit, 37); // TV: the sensor resistance in ohms
    EXPECT_EQ(withStatus.timeOfDay, 32000u); // 1 s after midnight
    EXPECT_EQ(hart::DecodeDeviceVariables(AskTransmitter(t, hart::kCmdReadDeviceVariables, {1}).second).count,
              1u);
    EXPECT_EQ(
        hart::DecodeVariableAssignments(AskTransmitter(t, hart::kCmdReadVariableAssignments).second).count,
        4u);
    const auto burst =
        hart::DecodeBurstConfiguration(AskTransmitter(t, hart::kCmdReadBurstConfiguration).second);
    EXPECT_EQ(burst.command, 1);
    EXPECT_EQ(burst.triggerLevel, 0.0f);
    EXPECT_EQ(AskTransmitter(t, hart::kCmdReadVariablesWithStatus, {200}).first, kRcInvalidSelection);

    // Command 6 with the loop current mode: enabled, the current follows the process again.
    EXPECT_EQ(AskTransmitter(t, hart::kCmdWritePollingAddress, {1, hart::kLoopCurrentEnabled}).first, 0);
    EXPECT_EQ(AskTransmitter(t, hart::kCmdReadLoopConfiguration).second,
              (Bytes{1, hart::kLoopCurrentEnabled}));
    EXPECT_EQ(AskTransmitter(t, hart::kCmdWritePollingAddress, {1, 7}).first, kRcInvalidSelection);
}

} // namespace
} // namespace tarvik::sim
