// The codec of any HART device against frames and replies written out by hand from the public
// layouts, the short replies of older revisions included.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "hart/Frame.h"
#include "hart/Status.h"
#include "hart/Universal.h"

using namespace tarvik::hart;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes Of(const FrameBytes& f) {
    return {f.Bytes().begin(), f.Bytes().end()};
}

// Frames the decoder finds in `stream`, fed in pieces of `piece` bytes.
std::vector<Frame> Found(const Bytes& stream, std::size_t piece = 1) {
    std::vector<Frame> out;
    FrameDecoder d;
    for (std::size_t i = 0; i < stream.size(); i += piece)
        d.Feed(std::span(stream).subspan(i, std::min(piece, stream.size() - i)),
               [&out](const Frame& f) { out.push_back(f); });
    return out;
}

const std::array<std::uint8_t, 5> kUnique{0x26, 0x06, 0x01, 0x02, 0x03};

} // namespace

TEST(HartCodec, FramesMatchTheLayouts) {
    struct Case {
        const char* what;
        FrameType type;
        Address address;
        Master master;
        std::uint8_t command;
        Bytes body;
        std::size_t preambles;
        Bytes expected;
    };
    const Case cases[] = {
        {"short command 0 to polling 0",
         FrameType::Request,
         Address::Polling(0),
         Master::Primary,
         0,
         {},
         5,
         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82}},
        {"short, secondary master, polling 15",
         FrameType::Request,
         Address::Polling(15),
         Master::Secondary,
         0,
         {},
         2,
         {0xFF, 0xFF, 0x02, 0x0F, 0x00, 0x00, 0x0D}},
        {"long command 1, primary",
         FrameType::Request,
         Address::Long(kUnique),
         Master::Primary,
         1,
         {},
         3,
         {0xFF, 0xFF, 0xFF, 0x82, 0xA6, 0x06, 0x01, 0x02, 0x03, 0x01, 0x00, 0x23}},
        {"long, master bits in the address dropped",
         FrameType::Request,
         Address::Long({0xE6, 0x06, 0x01, 0x02, 0x03}),
         Master::Secondary,
         1,
         {},
         0,
         {0x82, 0x26, 0x06, 0x01, 0x02, 0x03, 0x01, 0x00, 0xA3}},
        {"short burst reply with data",
         FrameType::Burst,
         Address::Polling(2),
         Master::Primary,
         1,
         {0x00, 0x00, 0x07, 0x3F, 0xC0, 0x00, 0x00},
         2,
         {0xFF, 0xFF, 0x01, 0xC2, 0x01, 0x07, 0x00, 0x00, 0x07, 0x3F, 0xC0, 0x00, 0x00, 0x3D}},
    };
    for (const Case& c : cases) {
        FrameBytes f;
        ASSERT_TRUE(BuildFrame(c.type, c.address, c.master, c.type == FrameType::Burst, c.command, c.body,
                               c.preambles, f))
            << c.what;
        EXPECT_EQ(Of(f), c.expected) << c.what;
        // The decoder reads back what was built (a frame needs preambles to be found).
        if (c.preambles < kMinPreambles) continue;
        const auto frames = Found(c.expected);
        ASSERT_EQ(frames.size(), 1u) << c.what;
        EXPECT_TRUE(frames[0].checksumOk);
        EXPECT_EQ(frames[0].type, c.type);
        EXPECT_EQ(frames[0].DeviceAddress(), c.address);
        EXPECT_EQ(frames[0].FromPrimary(), c.master == Master::Primary);
        EXPECT_EQ(Bytes(frames[0].Body().begin(), frames[0].Body().end()), c.body);
    }
    FrameBytes f;
    EXPECT_FALSE(BuildFrame(FrameType::Request, Address::Polling(0), Master::Primary, false, 0,
                            Bytes(kMaxData + 1), 5, f));
    EXPECT_FALSE(BuildFrame(FrameType::Request, Address::Polling(0), Master::Primary, false, 0, {},
                            kMaxPreambles + 1, f));
    EXPECT_EQ(f.size, 0u);
}

TEST(HartCodec, IdentityOfEachRevision) {
    const Bytes rev5{254, 0x26, 0x06, 5, 5, 3, 2, 0x0C, 0, 0x01, 0x02, 0x03};
    Bytes rev7 = rev5;
    rev7[4] = 7;
    for (std::uint8_t b : {5, 3, 0x00, 0x2A, 0x01, 0x00, 0x26, 0x00, 0x00, 0x8C})
        rev7.push_back(b);

    const Identity a = DecodeIdentity(rev5);
    EXPECT_TRUE(a.complete);
    EXPECT_EQ(a.preambles, 5);
    EXPECT_EQ(a.hardwareRevision, 1);
    EXPECT_EQ(a.signalling, 4);
    EXPECT_EQ(a.LongAddress(), Address::Long(kUnique));
    EXPECT_FALSE(a.replyPreambles);

    const Identity b = DecodeIdentity(rev7);
    EXPECT_EQ(b.universalRevision, 7);
    EXPECT_EQ(b.replyPreambles, 5);
    EXPECT_EQ(b.lastDeviceVariable, 3);
    EXPECT_EQ(b.configChangeCounter, 0x2A);
    EXPECT_EQ(b.extendedStatus, 1);
    EXPECT_EQ(b.manufacturerCode, 0x26);
    EXPECT_EQ(b.privateLabel, 0);
    EXPECT_EQ(b.profile, 0x8C);

    // Cut short: what came is decoded, the rest is empty, and it makes no address.
    const Identity c = DecodeIdentity(std::span(rev5).first(3));
    EXPECT_FALSE(c.complete);
    EXPECT_EQ(c.deviceType, 0x06);
    EXPECT_EQ(c.deviceId[0], 0);
}

TEST(HartCodec, IdentityNamesMakerAndTypeByRevision) {
    // Bytes 1-2 are the maker and the type before revision 7, the expanded type from it on (the
    // maker then in bytes 17-18, the private label in 19-20). The long address is bytes 1-2 always.
    const Bytes head{254, 0xE1, 0xA7, 5, 0, 7, 2, 0x0C, 0, 0x01, 0x02, 0x03};
    const Bytes rev7Tail{5, 3, 0x00, 0x2A, 0x00, 0x00, 0x26, 0x00, 0x27, 0x01};
    struct Case {
        const char* what;
        std::uint8_t revision;
        std::size_t tail; // bytes of rev7Tail after the head
        std::uint16_t manufacturer, deviceType;
        std::optional<std::uint16_t> privateLabel;
    };
    const Case cases[] = {
        {"revision 5", 5, 0, 0xE1, 0xA7, {}},
        {"revision 6", 6, 2, 0xE1, 0xA7, {}},
        {"revision 7", 7, rev7Tail.size(), 38, 0xE1A7, 39},
        {"revision 7 cut before the maker", 7, 5, 0, 0xE1A7, {}},
    };
    for (const Case& c : cases) {
        Bytes data = head;
        data[4] = c.revision;
        data.insert(data.end(), rev7Tail.begin(), rev7Tail.begin() + static_cast<std::ptrdiff_t>(c.tail));
        const Identity id = DecodeIdentity(data);
        EXPECT_EQ(id.manufacturer, c.manufacturer) << c.what;
        EXPECT_EQ(id.deviceType, c.deviceType) << c.what;
        EXPECT_EQ(id.privateLabel, c.privateLabel) << c.what;
        EXPECT_EQ(id.LongAddress(), Address::Long({0x21, 0xA7, 0x01, 0x02, 0x03})) << c.what;
        EXPECT_EQ(id.AddressType(), 0xA7) << c.what;
    }
}

TEST(HartCodec, RequestsAndRepliesThatChangeWithTheRevision) {
    // Command 6 gains the loop current mode at revision 6: enabled at address 0 only.
    const struct {
        std::uint8_t polling, revision;
        Bytes expected;
    } requests[] = {{3, 5, {3}}, {3, 6, {3, 0}}, {0, 7, {0, 1}}, {12, 7, {12, 0}}};
    for (const auto& c : requests) {
        std::array<std::uint8_t, kPollingAddressRequestBytes> out{};
        const std::size_t n = PollingAddressRequest(c.polling, c.revision, out);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)), c.expected)
            << int(c.polling) << " rev " << int(c.revision);
    }
    // Command 15's byte 16 is reserved (250) from revision 7: no private label there.
    const Bytes info{0, 0, 7, 0x42, 0x48, 0, 0, 0, 0, 0, 0, 0x3F, 0xC0, 0, 0, 0, 250, 0};
    EXPECT_EQ(DecodeDeviceInfoOfRevision(info, 6).privateLabel, 250);
    EXPECT_FALSE(DecodeDeviceInfoOfRevision(info, 7).privateLabel);
    EXPECT_EQ(DecodeDeviceInfoOfRevision(info, 7).analogChannelFlags, 0);
}

TEST(HartCodec, VariablesCurrentAndRanges) {
    // 4.0 = 40 80 00 00, 12.0 = 41 40 00 00, 50.0 = 42 48 00 00, 1.5 = 3F C0 00 00.
    const PrimaryVariable pv = DecodePrimaryVariable(Bytes{7, 0x3F, 0xC0, 0x00, 0x00});
    EXPECT_EQ(pv.unit, 7);
    EXPECT_EQ(pv.value, 1.5f);
    const PrimaryVariable unitOnly = DecodePrimaryVariable(Bytes{7, 0x3F});
    EXPECT_EQ(unitOnly.unit, 7);
    EXPECT_FALSE(unitOnly.value);

    const LoopCurrent lc = DecodeLoopCurrent(Bytes{0x41, 0x40, 0, 0, 0x42, 0x48, 0, 0});
    EXPECT_EQ(lc.milliamperes, 12.0f);
    EXPECT_EQ(lc.percentOfRange, 50.0f);

    // Command 3: a device with two variables, and one whose third is cut short.
    const Bytes two{0x41, 0x40, 0, 0, 7, 0x3F, 0xC0, 0, 0, 32, 0x42, 0x48, 0, 0};
    Bytes cut = two;
    for (std::uint8_t b : {57, 0x40})
        cut.push_back(b);
    for (const Bytes& data : {two, cut}) {
        const DynamicVariables v = DecodeDynamicVariables(data);
        EXPECT_EQ(v.milliamperes, 12.0f);
        ASSERT_EQ(v.count, 2u);
        EXPECT_EQ(v.variables[0].unit, 7);
        EXPECT_EQ(v.variables[0].value, 1.5f);
        EXPECT_EQ(v.variables[1].unit, 32);
        EXPECT_EQ(v.variables[1].value, 50.0f);
    }
    EXPECT_EQ(DecodeDynamicVariables(Bytes{0x41}).count, 0u);

    // Command 15: revision 5 (17 bytes) and 6 (18 bytes); damping 1.5 s.
    Bytes info{0, kTransferSquareRoot, 7, 0x42, 0x48, 0, 0, 0, 0, 0, 0, 0x3F, 0xC0, 0, 0, 0, 250};
    const DeviceInfo d5 = DecodeDeviceInfo(info);
    EXPECT_EQ(d5.transferFunction, kTransferSquareRoot);
    EXPECT_EQ(d5.upperRange, 50.0f);
    EXPECT_EQ(d5.lowerRange, 0.0f);
    EXPECT_EQ(d5.dampingSeconds, 1.5f);
    EXPECT_EQ(d5.privateLabel, 250);
    EXPECT_FALSE(d5.analogChannelFlags);
    info.push_back(1);
    EXPECT_EQ(DecodeDeviceInfo(info).analogChannelFlags, 1);

    const TransducerInfo t =
        DecodeTransducerInfo(Bytes{0x01, 0x02, 0x03, 7, 0x42, 0x48, 0, 0, 0, 0, 0, 0, 0x3F, 0xC0, 0, 0});
    EXPECT_EQ(t.serialNumber, 0x010203u);
    EXPECT_EQ(t.limitsUnit, 7);
    EXPECT_EQ(t.upperLimit, 50.0f);
    EXPECT_EQ(t.lowerLimit, 0.0f);
    EXPECT_EQ(t.minimumSpan, 1.5f);
    EXPECT_EQ(DecodeFinalAssembly(Bytes{0x00, 0x30, 0x39}), 12345u);
    EXPECT_FALSE(DecodeFinalAssembly(Bytes{0x00, 0x30}));
    EXPECT_EQ(DecodePollingAddress(Bytes{3}).address, 3);
    EXPECT_FALSE(DecodePollingAddress(Bytes{3}).loopCurrentMode);
    EXPECT_EQ(DecodeAdditionalStatus(Bytes(30, 0x11)).count, 25u);
}

TEST(HartCodec, ConfigurationReadsOfEachRevision) {
    // Command 9: extended status, slots of (code, class, unit, value, status), then at revision 7
    // the time of day; revision 6 ends after the slots.
    const Bytes slot0{0, 64, 32, 0x42, 0x48, 0, 0, 0xC0}, slot1{246, 65, 7, 0x3F, 0xC0, 0, 0, 0x30};
    Bytes rev6{0x02};
    rev6.insert(rev6.end(), slot0.begin(), slot0.end());
    rev6.insert(rev6.end(), slot1.begin(), slot1.end());
    Bytes rev7 = rev6;
    for (std::uint8_t b : {0x00, 0x01, 0x86, 0xA0})
        rev7.push_back(b);
    for (const Bytes& data : {rev6, rev7}) {
        const DeviceVariablesWithStatus v = DecodeVariablesWithStatus(data);
        EXPECT_EQ(v.extendedStatus, 0x02);
        ASSERT_EQ(v.count, 2u);
        EXPECT_EQ(v.slots[0].classification, 64);
        EXPECT_EQ(v.slots[0].value, 50.0f);
        EXPECT_EQ(v.slots[1].code, 246);
        EXPECT_EQ(v.slots[1].unit, 7);
        EXPECT_EQ(v.slots[1].value, 1.5f);
        EXPECT_EQ(v.slots[1].status, 0x30);
        EXPECT_EQ(v.timeOfDay,
                  data.size() == rev7.size() ? std::optional<std::uint32_t>(100000) : std::nullopt);
    }
    EXPECT_EQ(DecodeVariablesWithStatus(std::span(rev6).first(12)).count, 1u); // second slot cut short

    // Command 33: (code, unit, value) slots; command 50: four codes.
    const DeviceVariables dv = DecodeDeviceVariables(Bytes{1, 7, 0x3F, 0xC0, 0, 0, 2, 32, 0x42});
    ASSERT_EQ(dv.count, 1u);
    EXPECT_EQ(dv.slots[0].code, 1);
    EXPECT_EQ(dv.slots[0].value, 1.5f);
    const VariableAssignments a = DecodeVariableAssignments(Bytes{3, 0, 1, 2, 9});
    EXPECT_EQ(a.count, 4u);
    EXPECT_EQ(a.codes, (std::array<std::uint8_t, 4>{3, 0, 1, 2}));

    // Command 105: revision 6 (mode, command, four slots) and revision 7 (29 bytes).
    const Bytes burst6{1, 33, 0, 1, 2, 3};
    Bytes burst7{1, 9, 0, 1, 2, 3, 250, 250, 250, 250, 0, 3, 0x00, 0x09};
    for (std::uint8_t b : {0x00, 0x00, 0x7D, 0x00, 0x00, 0x1D, 0x4C, 0x00, 4, 64, 32, 0x42, 0x48, 0, 0})
        burst7.push_back(b);
    const BurstConfiguration b6 = DecodeBurstConfiguration(burst6);
    EXPECT_EQ(b6.command, 33);
    EXPECT_EQ(b6.variableCount, 4u);
    EXPECT_FALSE(b6.message);
    const BurstConfiguration b7 = DecodeBurstConfiguration(burst7);
    EXPECT_EQ(b7.variableCount, 8u);
    EXPECT_EQ(b7.variables[4], 250);
    EXPECT_EQ(b7.maxMessages, 3);
    EXPECT_EQ(b7.extendedCommand, 9);
    EXPECT_EQ(b7.updatePeriod, 32000u);      // 1 s
    EXPECT_EQ(b7.maxUpdatePeriod, 1920000u); // 60 s
    EXPECT_EQ(b7.triggerMode, 4);
    EXPECT_EQ(b7.triggerUnit, 32);
    EXPECT_EQ(b7.triggerLevel, 50.0f);
}

TEST(HartCodec, TextFields) {
    // "ABCD    " packed: 04 20 C4 82 08 20.
    const Bytes abcd{0x04, 0x20, 0xC4, 0x82, 0x08, 0x20};
    std::array<std::uint8_t, kPackedTagBytes> tag{};
    ASSERT_TRUE(TagRequest("ABCD", tag));
    EXPECT_EQ(Bytes(tag.begin(), tag.end()), abcd);
    EXPECT_FALSE(TagRequest("abcd", tag)); // would arrive as "!\"#$"
    EXPECT_FALSE(TagRequest("ABCDEFGHI", tag));

    Bytes tdd = abcd;
    for (int i = 0; i < 4; ++i)
        tdd.insert(tdd.end(), abcd.begin(), abcd.begin() + 3); // "ABCD" x4 descriptor
    for (std::uint8_t b : {7, 12, 125})
        tdd.push_back(b);
    const TagDescriptorDate t = DecodeTagDescriptorDate(tdd);
    EXPECT_EQ(t.tag, "ABCD");
    EXPECT_EQ(t.descriptor, "ABCDABCDABCDABCD");
    EXPECT_EQ(t.day, 7);
    EXPECT_EQ(t.yearSince1900, 125);
    const TagDescriptorDate older = DecodeTagDescriptorDate(std::span(tdd).first(8));
    EXPECT_EQ(older.tag, "ABCD");
    EXPECT_EQ(older.descriptor, "");
    EXPECT_FALSE(older.day);

    std::array<std::uint8_t, kPackedMessageBytes> message{};
    EXPECT_TRUE(MessageRequest("HELLO PLANT", message));
    EXPECT_EQ(DecodeMessage(message), "HELLO PLANT");
    EXPECT_FALSE(MessageRequest(std::string(33, 'A'), message));

    std::array<std::uint8_t, kLongTagChars> longTag{};
    ASSERT_TRUE(LongTagRequest("Boiler feed, north", longTag));
    EXPECT_EQ(longTag[18], 0);
    EXPECT_EQ(DecodeLongTag(longTag), "Boiler feed, north");
    EXPECT_FALSE(LongTagRequest(std::string_view("A\0B", 3), longTag));
}

TEST(HartCodec, StatusBytes) {
    EXPECT_TRUE(DecodeFirstStatus(0x00).Success());
    EXPECT_TRUE(DecodeFirstStatus(kRcBusy).Busy());
    const FirstStatus e = DecodeFirstStatus(0x88);
    EXPECT_TRUE(e.commError);
    EXPECT_EQ(e.commFlags, kCommLongitudinalParity);
    EXPECT_FALSE(e.Busy());
    EXPECT_STREQ(ResponseCodeText(kRcNotImplemented), "command not implemented");
    EXPECT_EQ(ResponseCodeText(9), nullptr); // command-specific
}

TEST(HartCodec, StreamDecoderFindsFramesAmongGarbage) {
    FrameBytes a, b, c;
    const Bytes pv{7, 0x3F, 0xC0, 0, 0};
    ASSERT_TRUE(BuildReply(FrameType::Reply, Address::Polling(1), Master::Primary, 1, 0, 0, pv, 5, a));
    ASSERT_TRUE(
        BuildReply(FrameType::Burst, Address::Long(kUnique), Master::Secondary, 3, 0, 0x40, pv, 3, b));
    ASSERT_TRUE(BuildRequest(Address::Polling(4), Master::Primary, 0, {}, 5, c));
    Bytes stream{0x12, 0x02, 0xFF, 0x86, 0x33}; // garbage, a delimiter without preambles
    auto add = [&stream](const FrameBytes& f, std::size_t cut) {
        stream.insert(stream.end(), f.Bytes().begin(), f.Bytes().end() - static_cast<std::ptrdiff_t>(cut));
    };
    add(a, 0);
    add(b, 4); // cut short by the next frame
    add(c, 0);
    add(b, 0);
    stream.push_back(0xFF); // a lone preamble byte at the end
    for (std::size_t piece : {1u, 7u, 1000u}) {
        const auto frames = Found(stream, piece);
        std::vector<FrameType> good;
        for (const Frame& f : frames)
            if (f.checksumOk) good.push_back(f.type);
        EXPECT_EQ(good, (std::vector{FrameType::Reply, FrameType::Request, FrameType::Burst})) << piece;
        EXPECT_EQ(frames.back().Data().size(), pv.size());
        EXPECT_TRUE(frames.back().BurstBit());
    }
}

TEST(HartCodec, StreamDecoderSkipsTheExpansionBytesTheDelimiterAnnounces) {
    // Delimiter bits 6-5 count the expansion bytes after the address; the checksum covers them.
    struct Case {
        const char* what;
        Bytes frame; // after the preamble, checksum last
        Bytes expansion;
        std::uint8_t command;
        Bytes body;
    };
    const Case cases[] = {
        {"short reply, one byte", {0x26, 0x82, 0xAA, 0x01, 0x02, 0x00, 0x40, 0x4D}, {0xAA}, 1, {0x00, 0x40}},
        {"long reply, two bytes",
         {0xC6, 0xA1, 0xA7, 0x01, 0x02, 0x03, 0x11, 0x22, 0x02, 0x02, 0x00, 0x00, 0xF3},
         {0x11, 0x22},
         2,
         {0x00, 0x00}},
        {"short burst, three bytes", {0x61, 0xC0, 1, 2, 3, 0x03, 0x00, 0xA2}, {1, 2, 3}, 3, {}},
    };
    for (const Case& c : cases) {
        Bytes stream(3 + c.frame.size(), kPreambleByte);
        std::copy(c.frame.begin(), c.frame.end(), stream.begin() + 3);
        for (std::size_t piece : {1u, 1000u}) {
            const auto frames = Found(stream, piece);
            ASSERT_EQ(frames.size(), 1u) << c.what;
            EXPECT_TRUE(frames[0].checksumOk) << c.what;
            EXPECT_EQ(
                Bytes(frames[0].expansion.begin(),
                      frames[0].expansion.begin() + static_cast<std::ptrdiff_t>(frames[0].expansionSize)),
                c.expansion)
                << c.what;
            EXPECT_EQ(frames[0].command, c.command) << c.what;
            EXPECT_EQ(Bytes(frames[0].Body().begin(), frames[0].Body().end()), c.body) << c.what;
        }
    }
}

TEST(HartCodec, StreamDecoderStaysBounded) {
    // Random bytes rich in preambles and delimiters: every frame reported is whole and the
    // decoder's memory is its fixed size, whatever comes.
    std::mt19937 rng(7);
    const std::uint8_t alphabet[] = {0xFF, 0xFF, 0x02, 0x06, 0x86, 0x81, 0x26, 0xE6, 0x00, 0x05, 0x80};
    FrameDecoder d;
    std::uint64_t reported = 0;
    for (int i = 0; i < 200000; ++i) {
        const std::uint8_t b =
            (i % 3) ? alphabet[rng() % std::size(alphabet)] : static_cast<std::uint8_t>(rng());
        d.Feed(std::span(&b, 1), [&](const Frame& f) {
            ++reported;
            EXPECT_LE(f.bodySize, kMaxData);
        });
    }
    EXPECT_EQ(reported, d.Frames() + d.Damaged());
    EXPECT_GT(d.SkippedBytes(), 0u);
}
