// The fast link to HART devices against scripted devices. Every command is driven through its
// export and through the link with the same replies (in memory, with a virtual clock): both must
// send the same request and agree on the result, the status bytes and the decoded values (the
// link's floats are the exports' bit patterns). Then what only the link does: replies that end at
// their byte count, the timeout, retries, stale bytes, the port held open (in memory); opening,
// a port that fails, and the end of a reply on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "api/Transport.h"
#include "support/HartFrames.h"
#include "support/MemoryPeer.h"
#include "support/ScriptedPeer.h"
#include "tarvik/Link.h"

using namespace tarvik::link;
using namespace tarvik::test;

namespace {

constexpr int kExportPort = 24;
constexpr int kLinkPort = 25;
constexpr int kBaud = 38400; // 115 ms wait
constexpr DeviceAddress kDevice{0x64, 0x01, 0x02, 0x03};
const Bytes kBroadcast{0x80, 0x00, 0x00, 0x00, 0x00};
constexpr std::uint8_t kUnset = 0x5A;
constexpr std::uint8_t kStatusUnset1 = 0xAB, kStatusUnset2 = 0xAC;

// What one call left: result, status bytes (when written) and the outputs as numbers.
struct Observed {
    std::int32_t result = 0;
    bool status = false;
    std::uint8_t s1 = 0, s2 = 0;
    bool values = false;
    std::vector<std::int64_t> numbers;
};

// Export outputs, preset so that a write shows.
struct Out {
    std::array<std::uint8_t, 40> bytes;
    std::array<std::int32_t, 4> words;
    std::uint8_t s1 = kStatusUnset1, s2 = kStatusUnset2;
    Out() {
        bytes.fill(kUnset);
        words.fill(0x5A5A5A5A);
    }
};

std::int64_t Bits(float f) {
    return std::bit_cast<std::int32_t>(f);
}

template <class T>
Observed FromLink(const HartResult<T>& r, std::vector<std::int64_t> numbers) {
    return {r.result,  r.hasStatus, r.status1,
            r.status2, r.hasValue,  r.hasValue ? numbers : std::vector<std::int64_t>{}};
}

// `n` byte outputs and `w` word outputs of the export, interleaved as the command lists them.
using ExportCall = std::function<std::int32_t(Out&)>;
using Numbers = std::function<std::vector<std::int64_t>(const Out&)>;
using LinkCall = std::function<Observed(HartLink&)>;

struct Command {
    const char* name;
    std::uint8_t command;
    int fullLength;
    bool broadcast;
    Bytes goodData; // data after the status bytes of a good reply (fullLength - 11 bytes)
    ExportCall viaExport;
    Numbers exportNumbers;
    LinkCall viaLink;
};

Bytes DataOf(int n, std::uint8_t seed) {
    Bytes d(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < d.size(); ++i)
        d[i] = static_cast<std::uint8_t>(seed + 0x11 * i) & 0x7F; // readable characters, no 0x5A run
    return d;
}

Numbers Bytes_(std::size_t n) {
    return [n](const Out& o) { return std::vector<std::int64_t>(o.bytes.begin(), o.bytes.begin() + n); };
}
Numbers UnitAndWord() {
    return [](const Out& o) { return std::vector<std::int64_t>{o.words[0], o.bytes[0]}; };
}
Numbers None() {
    return [](const Out&) { return std::vector<std::int64_t>{}; };
}

Observed Measured(const HartResult<Measurement>& r) {
    return FromLink(r, {Bits(r.value.value), r.value.units});
}
Observed Plain(const HartResult<Done>& r) {
    return FromLink(r, {});
}
Observed FourBytesOf(const HartResult<std::array<std::uint8_t, 4>>& r) {
    return FromLink(r, {r.value[0], r.value[1], r.value[2], r.value[3]});
}
Observed Identity(const HartResult<DeviceAddress>& r) {
    return FromLink(r, {r.value.idHigh, r.value.idMid, r.value.idLow, r.value.deviceType});
}

#define ADDR 0x01, 0x02, 0x03, 0x64

const Command kCommands[] = {
    {"ReadFlow",
     1,
     16,
     false,
     {0x39, 0x42, 0xC8, 0x00, 0x00},
     [](Out& o) { return ReadFlow(kExportPort, kBaud, ADDR, &o.words[0], &o.bytes[0], &o.s1, &o.s2); },
     UnitAndWord(),
     [](HartLink& l) { return Measured(l.ReadFlow(kDevice)); }},
    {"ReadPressure", 1, 16, false, DataOf(5, 3),
     [](Out& o) { return ReadPressure(kExportPort, kBaud, ADDR, &o.words[0], &o.bytes[0], &o.s1, &o.s2); },
     UnitAndWord(), [](HartLink& l) { return Measured(l.ReadPressure(kDevice)); }},
    {"ReadTotalizer", 242, 16, false, DataOf(5, 4),
     [](Out& o) { return ReadTotalizer(kExportPort, kBaud, ADDR, &o.words[0], &o.bytes[0], &o.s1, &o.s2); },
     UnitAndWord(), [](HartLink& l) { return Measured(l.ReadTotalizer(kDevice)); }},
    {"ReadFullScaleRangePressure", 159, 16, false, DataOf(5, 5),
     [](Out& o) {
         return ReadFullScaleRangePressure(kExportPort, kBaud, ADDR, 2, &o.bytes[0], &o.words[0], &o.s1,
                                           &o.s2);
     },
     UnitAndWord(), [](HartLink& l) { return Measured(l.ReadFullScaleRangePressure(kDevice, 2)); }},
    {"ReadSetPoint", 235, 21, false, DataOf(10, 6),
     [](Out& o) {
         return ReadSetPoint(kExportPort, kBaud, ADDR, &o.words[0], &o.bytes[0], &o.words[1], &o.s1, &o.s2);
     },
     [](const Out& o) {
         return std::vector<std::int64_t>{o.words[0], o.bytes[0], o.words[1]};
     },
     [](HartLink& l) {
         const auto r = l.ReadSetPoint(kDevice);
         return FromLink(r, {Bits(r.value.percent), r.value.units, Bits(r.value.inUnits)});
     }},
    {"WriteSetPoint", 236, 21, false, DataOf(10, 7),
     [](Out& o) { return WriteSetPoint(kExportPort, kBaud, ADDR, 57, 0x42480000, &o.s1, &o.s2); }, None(),
     [](HartLink& l) { return Plain(l.WriteSetPoint(kDevice, 57, 50.0f)); }},
    {"ReadAddStatus",
     48,
     15,
     false,
     {0x81, 0x02, 0x40, 0xFF},
     [](Out& o) {
         return ReadAddStatus(kExportPort, kBaud, ADDR, &o.bytes[0], &o.bytes[8], &o.bytes[16], &o.bytes[24],
                              &o.s1, &o.s2);
     },
     Bytes_(32),
     [](HartLink& l) {
         const auto r = l.ReadAddStatus(kDevice);
         std::vector<std::int64_t> flags;
         for (std::uint8_t b : r.value)
             for (int bit = 0; bit < 8; ++bit)
                 flags.push_back((b >> bit) & 1);
         return FromLink(r, flags);
     }},
    {"ReadGasData", 151, 32, false, DataOf(21, 8),
     [](Out& o) {
         return ReadGasData(kExportPort, kBaud, ADDR, 3, &o.bytes[0], &o.words[0], &o.bytes[1], &o.words[1],
                            &o.bytes[2], &o.words[2], &o.bytes[3], &o.words[3], &o.s1, &o.s2);
     },
     [](const Out& o) {
         std::vector<std::int64_t> n;
         for (int i = 0; i < 4; ++i) {
             n.push_back(o.bytes[static_cast<std::size_t>(i)]);
             n.push_back(o.words[static_cast<std::size_t>(i)]);
         }
         return n;
     },
     [](HartLink& l) {
         const auto r = l.ReadGasData(kDevice, 3);
         std::vector<std::int64_t> n;
         for (const auto& e : r.value.entries) {
             n.push_back(e.units);
             n.push_back(Bits(e.value));
         }
         return FromLink(r, n);
     }},
    {"ReadProcessGasType", 150, 24, false, DataOf(13, 0x41),
     [](Out& o) {
         return ReadProcessGasType(kExportPort, kBaud, ADDR, 3, reinterpret_cast<char*>(o.bytes.data()),
                                   &o.s1, &o.s2);
     },
     Bytes_(12),
     [](HartLink& l) {
         const auto r = l.ReadProcessGasType(kDevice, 3);
         return FromLink(r, std::vector<std::int64_t>(r.value.begin(), r.value.end()));
     }},
    {"ReadOperationalSettings", 193, 15, false, DataOf(4, 9),
     [](Out& o) {
         return ReadOperationalSettings(kExportPort, kBaud, ADDR, &o.bytes[0], &o.bytes[1], &o.bytes[2],
                                        &o.bytes[3], &o.s1, &o.s2);
     },
     Bytes_(4), [](HartLink& l) { return FourBytesOf(l.ReadOperationalSettings(kDevice)); }},
    {"ReadOperationalSettingsPressure", 192, 16, false, DataOf(5, 10),
     [](Out& o) {
         return ReadOperationalSettingsPressure(kExportPort, kBaud, ADDR, &o.bytes[0], &o.bytes[1],
                                                &o.bytes[2], &o.bytes[3], &o.s1, &o.s2);
     },
     Bytes_(4), [](HartLink& l) { return FourBytesOf(l.ReadOperationalSettingsPressure(kDevice)); }},
    {"SelectFlowUnit", 196, 13, false, DataOf(2, 11),
     [](Out& o) { return SelectFlowUnit(kExportPort, kBaud, ADDR, 17, 0x20, &o.s1, &o.s2); }, None(),
     [](HartLink& l) { return Plain(l.SelectFlowUnit(kDevice, 17, 0x20)); }},
    {"SelectGasNumber",
     195,
     12,
     false,
     {4},
     [](Out& o) { return SelectGasNumber(kExportPort, kBaud, ADDR, 4, &o.s1, &o.s2); },
     None(),
     [](HartLink& l) { return Plain(l.SelectGasNumber(kDevice, 4)); }},
    {"SelectPressureUnit",
     198,
     12,
     false,
     {7},
     [](Out& o) { return SelectPressureUnit(kExportPort, kBaud, ADDR, 7, &o.s1, &o.s2); },
     None(),
     [](HartLink& l) { return Plain(l.SelectPressureUnit(kDevice, 7)); }},
    {"SelectPressureApplication",
     194,
     12,
     false,
     {5},
     [](Out& o) { return SelectPressureApplication(kExportPort, kBaud, ADDR, 5, &o.s1, &o.s2); },
     None(),
     [](HartLink& l) { return Plain(l.SelectPressureApplication(kDevice, 5)); }},
    {"ReadVORState",
     230,
     12,
     false,
     {2},
     [](Out& o) { return ReadVORState(kExportPort, kBaud, ADDR, &o.bytes[0], &o.s1, &o.s2); },
     Bytes_(1),
     [](HartLink& l) {
         const auto r = l.ReadVORState(kDevice);
         return FromLink(r, {r.value});
     }},
    {"WriteVORState",
     231,
     12,
     false,
     {1},
     [](Out& o) { return WriteVORState(kExportPort, kBaud, ADDR, 1, &o.s1, &o.s2); },
     None(),
     [](HartLink& l) { return Plain(l.WriteVORState(kDevice, 1)); }},
    {"ReadTotalizerState",
     240,
     13,
     false,
     {1, 9},
     [](Out& o) { return ReadTotalizerState(kExportPort, kBaud, ADDR, &o.bytes[0], &o.s1, &o.s2); },
     Bytes_(1),
     [](HartLink& l) {
         const auto r = l.ReadTotalizerState(kDevice);
         return FromLink(r, {r.value});
     }},
    {"WriteTotalizerState",
     241,
     12,
     false,
     {2},
     [](Out& o) { return WriteTotalizerState(kExportPort, kBaud, ADDR, 2, &o.s1, &o.s2); },
     None(),
     [](HartLink& l) { return Plain(l.WriteTotalizerState(kDevice, 2)); }},
    {"WriteProtectS",
     128,
     12,
     false,
     {1},
     [](Out& o) { return WriteProtectS(kExportPort, kBaud, "SECRET01", 8, ADDR, 1, &o.s1, &o.s2); },
     None(),
     [](HartLink& l) { return Plain(l.WriteProtect(kDevice, "SECRET01", 1)); }},
    {"WriteProtectS echo mismatch",
     128,
     12,
     false,
     {0},
     [](Out& o) { return WriteProtectS(kExportPort, kBaud, "SECRET01", 8, ADDR, 1, &o.s1, &o.s2); },
     None(),
     [](HartLink& l) { return Plain(l.WriteProtect(kDevice, "SECRET01", 1)); }},
    {"BackupDatabaseS",
     39,
     12,
     false,
     {0},
     [](Out& o) { return BackupDatabaseS(kExportPort, kBaud, ADDR, &o.s1, &o.s2); },
     None(),
     [](HartLink& l) { return Plain(l.BackupDatabase(kDevice)); }},
    {"ReadDeviceID",
     0,
     23,
     true,
     {0xFE, 0x26, 0x64, 0x05, 0x05, 0x01, 0x0C, 0x08, 0x00, 0x11, 0x22, 0x33},
     [](Out& o) {
         return ReadDeviceID(0, kExportPort, kBaud, nullptr, 0, &o.bytes[0], &o.bytes[1], &o.bytes[2],
                             &o.bytes[3], &o.s1, &o.s2);
     },
     Bytes_(4),
     [](HartLink& l) { return Identity(l.ReadDeviceId()); }},
    {"ReadDeviceID by tag",
     11,
     23,
     true,
     {0xFE, 0x26, 0x65, 0x05, 0x05, 0x01, 0x0C, 0x08, 0x00, 0x44, 0x55, 0x66},
     [](Out& o) {
         return ReadDeviceID(1, kExportPort, kBaud, "FT-103AB", 8, &o.bytes[0], &o.bytes[1], &o.bytes[2],
                             &o.bytes[3], &o.s1, &o.s2);
     },
     Bytes_(4),
     [](HartLink& l) { return Identity(l.ReadDeviceIdByTag("FT-103AB")); }},
    {"ReadTAG", 13, 32, true, DataOf(21, 0x21),
     [](Out& o) { return ReadTAG(kExportPort, kBaud, o.bytes.data(), &o.s1, &o.s2); }, Bytes_(27),
     [](HartLink& l) {
         const auto r = l.ReadTag();
         std::vector<std::int64_t> n;
         for (char c : r.value.tag + r.value.descriptor)
             n.push_back(static_cast<std::uint8_t>(c));
         n.insert(n.end(), {r.value.day, r.value.month, r.value.yearSince1900});
         return FromLink(r, n);
     }},
};

#undef ADDR

struct Shape {
    const char* name;
    std::function<Bytes(const Command&)> reply;
};

Bytes Frame(const Command& c, std::uint8_t s1, std::uint8_t s2, const Bytes& data) {
    return HartFrame(c.command, s1, s2, data, c.broadcast ? kBroadcast : Bytes{0x8A, 0x64, 0x01, 0x02, 0x03});
}

const Shape kShapes[] = {
    {"good", [](const Command& c) { return OnLine(Frame(c, 0x00, 0x00, c.goodData), 5); }},
    {"device status", [](const Command& c) { return OnLine(Frame(c, 0x00, 0x50, c.goodData)); }},
    {"short reply", [](const Command& c) { return OnLine(Frame(c, 0x40, 0x00, {})); }},
    {"bad checksum",
     [](const Command& c) {
         Bytes f = Frame(c, 0x00, 0x00, c.goodData);
         f.back() ^= 0x01;
         return OnLine(f);
     }},
    {"cut short",
     [](const Command& c) {
         Bytes f = Frame(c, 0x00, 0x00, c.goodData);
         f.resize(f.size() - 2);
         return OnLine(f);
     }},
};

class LinkHartSameAsExport : public ::testing::TestWithParam<std::size_t> {};

} // namespace

TEST_P(LinkHartSameAsExport, EveryReplyShape) {
    const Command& c = kCommands[GetParam()];
    ASSERT_EQ(static_cast<int>(c.goodData.size()), c.fullLength - 11) << c.name;
    MemoryLines lines;
    MemoryPeer exportPeer(kExportPort), linkPeer(kLinkPort);
    HartLink link;
    ASSERT_EQ(link.Open(kLinkPort, kBaud), ResultOk);
    for (const Shape& shape : kShapes) {
        const Bytes reply = shape.reply(c);
        exportPeer.ClearReceived();
        linkPeer.ClearReceived();
        exportPeer.Reply(reply);
        linkPeer.Reply(reply);

        Out o;
        Observed e;
        e.result = c.viaExport(o);
        e.status = o.s1 != kStatusUnset1 || o.s2 != kStatusUnset2;
        e.s1 = o.s1;
        e.s2 = o.s2;
        const auto numbers = c.exportNumbers(o);
        e.values = !numbers.empty() && numbers != c.exportNumbers(Out{});
        if (e.values) e.numbers = numbers;
        const Observed l = c.viaLink(link);

        const std::string what = std::string(c.name) + ", " + shape.name;
        EXPECT_EQ(l.result, e.result) << what;
        EXPECT_EQ(l.status, e.status) << what;
        if (l.status && e.status) {
            EXPECT_EQ(l.s1, e.s1) << what;
            EXPECT_EQ(l.s2, e.s2) << what;
        }
        if (!numbers.empty()) {
            EXPECT_EQ(l.values, e.values) << what;
            EXPECT_EQ(l.numbers, e.numbers) << what;
        }
        ASSERT_TRUE(exportPeer.WaitForRequests(1) && linkPeer.WaitForRequests(1)) << what;
        EXPECT_EQ(linkPeer.Requests(), exportPeer.Requests()) << what;
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, LinkHartSameAsExport,
                         ::testing::Range<std::size_t>(0, std::size(kCommands)), [](const auto& info) {
                             std::string name = kCommands[info.param].name;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

// ---- what only the link does -------------------------------------------------------------------

namespace {

const Bytes kFlowGood = OnLine(HartFrame(1, 0x00, 0x00, {0x39, 0x42, 0xC8, 0x00, 0x00}), 5);

class LinkHart : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(link_.Open(kLinkPort, kBaud), ResultOk); }
    MemoryLines lines_;
    MemoryPeer peer_{kLinkPort};
    HartLink link_;
};

} // namespace

TEST_F(LinkHart, ValuesAreFloats) {
    peer_.Reply(kFlowGood);
    const auto r = link_.ReadFlow(kDevice);
    ASSERT_EQ(r.result, ResultOk);
    EXPECT_TRUE(r.hasValue && r.hasStatus);
    EXPECT_EQ(r.value.value, 100.0f);
    EXPECT_EQ(r.value.units, 0x39);
}

TEST_F(LinkHart, TheReplyEndsAtItsByteCountAndLaterBytesAreDropped) {
    link_.SetOptions({.timeoutMs = 20000});
    Bytes withTrailer = kFlowGood;
    withTrailer.insert(withTrailer.end(), {0xFF, 0xFF, 0x86, 0x01}); // the start of something else
    peer_.Reply(withTrailer);
    auto& clock = tarvik::api::ActiveBackend().GetClock();
    const auto start = clock.Now();
    EXPECT_EQ(link_.ReadFlow(kDevice).result, ResultOk);
    EXPECT_LT(clock.Now() - start, std::chrono::seconds(10)); // not the timeout
    peer_.Reply(OnLine(HartFrame(1, 0x00, 0x00, {0x39, 0x3F, 0x80, 0x00, 0x00})));
    const auto next = link_.ReadFlow(kDevice);
    EXPECT_EQ(next.result, ResultOk);
    EXPECT_EQ(next.value.value, 1.0f);
}

TEST_F(LinkHart, AReplyInTwoPiecesIsWaitedFor) {
    peer_.ReplySplit(kFlowGood, 9, 2, 40);
    const auto r = link_.ReadFlow(kDevice);
    EXPECT_EQ(r.result, ResultOk);
    EXPECT_EQ(r.value.value, 100.0f);
}

TEST_F(LinkHart, SilenceAndLateRepliesAreNoReplyAndTheLateBytesDoNotReachTheNextRequest) {
    peer_.Queue({.bytes = {}, .silent = true});
    EXPECT_EQ(link_.ReadFlow(kDevice).result, ResultNoReply);
    peer_.Reply(OnLine(HartFrame(1, 0x00, 0x00, {0x39, 0x3F, 0x80, 0x00, 0x00})), 200); // after the 115 ms
    EXPECT_EQ(link_.ReadFlow(kDevice).result, ResultNoReply);
    PassTime(250); // the late reply is queued now
    peer_.Reply(kFlowGood);
    const auto r = link_.ReadFlow(kDevice);
    EXPECT_EQ(r.result, ResultOk);
    EXPECT_EQ(r.value.value, 100.0f);
}

TEST_F(LinkHart, RetriesOnMissingOrDamagedRepliesOnly) {
    Bytes damaged = HartFrame(1, 0x00, 0x00, {0x39, 0x42, 0xC8, 0x00, 0x00});
    damaged.back() ^= 0x01;
    link_.SetOptions({.retries = 2});
    peer_.Queue({.bytes = {}, .silent = true});
    peer_.Reply(OnLine(damaged));
    peer_.Reply(kFlowGood);
    EXPECT_EQ(link_.ReadFlow(kDevice).result, ResultOk);
    EXPECT_EQ(peer_.Requests().size(), 3u);

    // A device status or an error reply is an answer: no second try.
    peer_.ClearReceived();
    peer_.Reply(OnLine(HartFrame(1, 0x40, 0x00, {})));
    EXPECT_EQ(link_.ReadFlow(kDevice).result, ResultErrorReply);
    EXPECT_EQ(peer_.Requests().size(), 1u);

    // Out of tries: the last try's result.
    peer_.ClearReceived();
    link_.SetOptions({.retries = 1});
    peer_.Reply(OnLine(damaged));
    peer_.Reply(OnLine(damaged));
    EXPECT_EQ(link_.ReadFlow(kDevice).result, ResultBadChecksum);
    EXPECT_EQ(peer_.Requests().size(), 2u);
}

TEST_F(LinkHart, ArgumentChecksSendNothing) {
    EXPECT_EQ(link_.ReadGasData(kDevice, 0).result, ResultBadGasNumber);
    EXPECT_EQ(link_.ReadProcessGasType(kDevice, 11).result, ResultBadGasNumber);
    EXPECT_EQ(link_.SelectGasNumber(kDevice, 11).result, ResultBadGasNumber);
    EXPECT_EQ(link_.WriteSetPoint(kDevice, 58, 1.0f).result, ResultBadSetPointUnit);
    EXPECT_EQ(link_.WriteVORState(kDevice, 3).result, ResultBadVORState);
    EXPECT_EQ(link_.WriteTotalizerState(kDevice, 3).result, ResultBadTotalizerState);
    EXPECT_EQ(link_.ReadFullScaleRangePressure(kDevice, 7).result, ResultBadApplication);
    EXPECT_EQ(link_.SelectPressureApplication(kDevice, 0).result, ResultBadApplication);
    EXPECT_EQ(link_.WriteProtect(kDevice, "SHORT", 1).result, ResultBadTextLength);
    EXPECT_EQ(link_.ReadDeviceIdByTag("NINECHARS").result, ResultBadTextLength);
    EXPECT_TRUE(peer_.Received().empty());
}

TEST_F(LinkHart, ThePortIsHeldOpenAndExclusive) {
    std::int32_t v = 0;
    std::uint8_t u = 0, s1 = 0, s2 = 0;
    EXPECT_EQ(ReadFlow(kLinkPort, kBaud, 1, 2, 3, 0x64, &v, &u, &s1, &s2), ResultPortBusy);
    HartLink second;
    EXPECT_EQ(second.Open(kLinkPort, kBaud), ResultPortBusy);
    link_.Close();
    EXPECT_EQ(link_.ReadFlow(kDevice).result, ResultBadPort);
    EXPECT_EQ(second.Open(kLinkPort, kBaud), ResultOk);
}

TEST(LinkHartOpen, OpenResults) {
    ScriptedPeer peer(kLinkPort);
    HartLink link;
    EXPECT_EQ(link.ReadFlow(kDevice).result, ResultBadPort); // never opened
    EXPECT_EQ(link.Open(0, kBaud), ResultBadPort);
    EXPECT_EQ(link.Open(41, kBaud), ResultBadPort);
    EXPECT_EQ(link.Open(kLinkPort, 9601), ResultBadBaud);
    EXPECT_EQ(link.ReadFlow(kDevice).result, ResultBadBaud);
    EXPECT_EQ(link.Open(kLinkPort + 1, kBaud), ResultPortAbsent);
    EXPECT_EQ(link.Open(kLinkPort, kBaud), ResultOk);
    EXPECT_TRUE(link.IsOpen());
}

TEST(LinkHartOpen, APortThatFailsIsClosedAndOpenedAgainByTheNextRequest) {
    HartLink link;
    {
        ScriptedPeer peer(kLinkPort);
        ASSERT_EQ(link.Open(kLinkPort, kBaud), ResultOk);
        peer.HangUp();
        const auto r = link.ReadFlow(kDevice);
        EXPECT_TRUE(r.result == ResultPortBusy || r.result == ResultNoReply) << r.result;
    }
    ScriptedPeer again(kLinkPort);
    again.Reply(kFlowGood);
    auto r = link.ReadFlow(kDevice);
    if (r.result != ResultOk) { // the first request may still meet the old, dead terminal
        again.Reply(kFlowGood);
        r = link.ReadFlow(kDevice);
    }
    EXPECT_EQ(r.result, ResultOk);
}
