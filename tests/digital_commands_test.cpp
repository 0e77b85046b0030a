// The digital commands without a port: packed ASCII, the worked request frames, and how each
// command's reply description classifies replies.
#include <gtest/gtest.h>

#include <string>

#include "TarvikDLL.h"
#include "digital/Commands.h"
#include "digital/PackedText.h"
#include "support/HartFrames.h"

using namespace tarvik::digital;
using tarvik::test::Bytes;
using tarvik::test::HartFrame;

namespace {

Bytes Pack(const std::string& text) {
    Bytes packed(text.size() / kPackedGroupChars * kPackedGroupBytes, 0);
    PackAscii(tarvik::test::BytesOf(text), packed);
    return packed;
}

std::string Unpack(const Bytes& packed) {
    Bytes text(packed.size() / kPackedGroupBytes * kPackedGroupChars, 0);
    UnpackAscii(packed, text);
    return std::string(text.begin(), text.end());
}

const Address kDevice = Address::Device(0x64, 0x01, 0x02, 0x03);

Bytes Frame(std::initializer_list<std::uint8_t> afterPreamble) {
    Bytes f(5, 0xFF);
    for (std::uint8_t b : afterPreamble)
        f.push_back(b);
    return f;
}

Reply Stored(const Bytes& bytes) {
    Reply r;
    for (auto b : bytes)
        r.Collect(b);
    return r;
}

// A reply of `k` stored bytes whose first `L` bytes are a full reply with a correct checksum (cut
// when k < L, padded when k > L).
Reply FullOfLength(const CommandSpec& desc, int L, int k, std::uint8_t status2 = 0) {
    Bytes f = HartFrame(desc.command, 0x00, status2, Bytes(static_cast<std::size_t>(L - 11), 0x31));
    f.resize(static_cast<std::size_t>(k), 0x5C);
    return Stored(f);
}

// A short reply (byte count 2, correct checksum), optionally followed by one more byte.
Reply ShortReply(const CommandSpec& desc, bool trailing) {
    Bytes f = HartFrame(desc.command, 0x40, 0x00, {});
    if (trailing) f.push_back(0x5C);
    return Stored(f);
}

} // namespace

TEST(PackedText, WorkedExamplesPackAndUnpackBothWays) {
    struct Case {
        std::string text;
        Bytes packed;
    } cases[] = {
        {"ABCDEFGH", {0x04, 0x20, 0xC4, 0x14, 0x61, 0xC8}},
        {"    ABCD", {0x82, 0x08, 0x20, 0x04, 0x20, 0xC4}},
        {"FT-101  ", {0x19, 0x4B, 0x71, 0xC3, 0x18, 0x20}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Pack(c.text), c.packed) << c.text;
        EXPECT_EQ(Unpack(c.packed), c.text) << c.text;
    }
}

TEST(PackedText, LowerCaseLosesItsTopBitsAndReadsBackAsPunctuation) {
    EXPECT_EQ(Pack("abcdefgh"), (Bytes{0x86, 0x28, 0xE4, 0x96, 0x69, 0xE8}));
    EXPECT_EQ(Unpack(Pack("abcdefgh")), "!\"#$%&'(");
    // Bytes with the top bit set keep only their low six bits as well.
    EXPECT_EQ(Pack("\xC1\xC2\xC3\xC4"), Pack("ABCD"));
}

TEST(PackedText, EveryCodeInEveryPositionSurvivesARoundTrip) {
    for (std::uint8_t code = 0; code < 64; ++code) {
        for (std::size_t pos = 0; pos < kPackedGroupChars; ++pos) {
            Bytes packed{0, 0, 0};
            // Place one code among zero codes (unpacked as '@').
            Bytes text(kPackedGroupChars, '@');
            text[pos] = code;
            PackAscii(text, packed);
            Bytes back(kPackedGroupChars, 0);
            UnpackAscii(packed, back);
            const std::uint8_t expected = code < 0x20 ? static_cast<std::uint8_t>(code + 0x40) : code;
            EXPECT_EQ(back[pos], expected) << int{code} << " at " << pos;
            for (std::size_t other = 0; other < kPackedGroupChars; ++other)
                if (other != pos) {
                    EXPECT_EQ(back[other], '@') << int{code} << " at " << pos;
                }
        }
    }
}

TEST(PackedText, OnlyWholeGroupsThatFitBothSidesAreTouched) {
    Bytes packed(5, 0xEE); // room for one group only
    PackAscii(tarvik::test::BytesOf("ABCDEFGH"), packed);
    EXPECT_EQ(packed, (Bytes{0x04, 0x20, 0xC4, 0xEE, 0xEE}));
    Bytes text(7, '.'); // room for one group only
    UnpackAscii(Bytes{0x04, 0x20, 0xC4, 0x14, 0x61, 0xC8}, text);
    EXPECT_EQ(std::string(text.begin(), text.end()), "ABCD...");
}

TEST(DigitalRequests, WorkedFramesOfTheCommands) {
    const std::uint8_t tag[] = {0x04, 0x20, 0xC4, 0x14, 0x61, 0xC8};
    const std::uint8_t three[] = {3};
    const std::uint8_t two[] = {2};
    const std::uint8_t setPoint[] = {kUnitPercent, 0x42, 0x48, 0x00, 0x00};
    struct Case {
        const char* name;
        Bytes built, expected;
    } cases[] = {
        {"identity, broadcast", BuildRequest(Address::Broadcast(), kReadUniqueIdentifier.command, {}),
         Frame({0x82, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02})},
        {"identity by tag", BuildRequest(Address::Broadcast(), kReadUniqueIdentifierByTag.command, tag),
         Frame({0x82, 0x80, 0x00, 0x00, 0x00, 0x00, 0x0B, 0x06, 0x04, 0x20, 0xC4, 0x14, 0x61, 0xC8, 0x52})},
        {"tag", BuildRequest(Address::Broadcast(), kReadTagDescriptorDate.command, {}),
         Frame({0x82, 0x80, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x0F})},
        {"full-scale range", BuildRequest(kDevice, kReadFullScaleRangePressure.command, three),
         Frame({0x82, 0x8A, 0x64, 0x01, 0x02, 0x03, 0x9F, 0x01, 0x03, 0xF1})},
        {"pressure application", BuildRequest(kDevice, kSelectPressureApplication.command, three),
         Frame({0x82, 0x8A, 0x64, 0x01, 0x02, 0x03, 0xC2, 0x01, 0x03, 0xAC})},
        {"valve override", BuildRequest(kDevice, kWriteVORState.command, two),
         Frame({0x82, 0x8A, 0x64, 0x01, 0x02, 0x03, 0xE7, 0x01, 0x02, 0x88})},
        {"set point", BuildRequest(kDevice, kWriteSetPoint.command, setPoint),
         Frame({0x82, 0x8A, 0x64, 0x01, 0x02, 0x03, 0xEC, 0x05, 0x39, 0x42, 0x48, 0x00, 0x00, 0xB6})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.built, c.expected) << c.name;
}

// Each command's description against the lengths, tests and status rules its reply must meet.
TEST(DigitalReplies, EachCommandAcceptsItsOwnLengthsAndTests) {
    struct Row {
        const char* name;
        const CommandSpec& desc;
        std::uint8_t command;
        int L;
        bool byteCountTest, deviceStatus, statusOnSuccess;
    } rows[] = {
        {"ReadDeviceID/0", kReadUniqueIdentifier, 0x00, 23, false, false, true},
        {"ReadDeviceID/1", kReadUniqueIdentifierByTag, 0x0B, 23, false, false, true},
        {"ReadTAG", kReadTagDescriptorDate, 0x0D, 32, false, true, false},
        {"ReadSetPoint", kReadSetPoint, 235, 21, false, true, true},
        {"WriteSetPoint", kWriteSetPoint, 236, 21, false, true, true},
        {"ReadAddStatus", kReadAdditionalStatus, 48, 15, false, false, true},
        {"ReadProcessGasType", kReadProcessGasType, 150, 24, false, true, true},
        {"ReadGasData", kReadGasData, 151, 32, false, true, true},
        {"ReadOperationalSettings", kReadOperationalSettings, 193, 15, false, true, true},
        {"SelectGasNumber", kSelectGasNumber, 195, 12, true, true, true},
        {"SelectFlowUnit", kSelectFlowUnit, 196, 13, false, true, true},
        {"ReadVORState", kReadVORState, 230, 12, true, true, true},
        {"WriteVORState", kWriteVORState, 231, 12, true, true, true},
        {"ReadTotalizerState", kReadTotalizerState, 240, 13, false, true, true},
        {"WriteTotalizerState", kWriteTotalizerState, 241, 12, true, true, true},
        {"ReadTotalizer", kReadTotalizer, 242, 16, false, true, true},
        {"ReadPressure", kReadPressure, 1, 16, false, true, true},
        {"ReadFullScaleRangePressure", kReadFullScaleRangePressure, 159, 16, false, true, true},
        {"ReadOperationalSettingsPressure", kReadOperationalSettingsPressure, 192, 16, false, true, true},
        {"SelectPressureApplication", kSelectPressureApplication, 194, 12, true, true, true},
        {"SelectPressureUnit", kSelectPressureUnit, 198, 12, false, true, true},
        {"WriteProtectS", kWriteProtect, 128, 12, true, true, true},
        {"BackupDatabaseS", kEepromControl, 39, 12, true, true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const CommandSpec& desc = row.desc;
        EXPECT_EQ(desc.command, row.command);

        // Full replies: L and L + 1 bytes; one byte fewer or two more is a length error.
        for (int k : {row.L, row.L + 1}) {
            const Classification c = Classify(FullOfLength(desc, row.L, k), desc);
            EXPECT_EQ(c.result, ResultOk) << k;
            EXPECT_TRUE(c.full) << k;
            EXPECT_EQ(c.status, row.statusOnSuccess) << k;
        }
        if (row.L - 1 > 12) {
            EXPECT_EQ(Classify(FullOfLength(desc, row.L, row.L - 1), desc).result, ResultBadLength);
        }
        EXPECT_EQ(Classify(FullOfLength(desc, row.L, row.L + 2), desc).result, ResultBadLength);

        // Status2 0x80: a device status, unless the command never reports one.
        const Classification flagged = Classify(FullOfLength(desc, row.L, row.L, 0x80), desc);
        EXPECT_EQ(flagged.result, row.deviceStatus ? ResultDeviceStatus : ResultOk);
        EXPECT_TRUE(flagged.full);

        // Short replies: 11 bytes always, 12 only when 12 is not the full length.
        EXPECT_EQ(Classify(ShortReply(desc, false), desc).result, ResultErrorReply);
        if (row.L != 12) {
            EXPECT_EQ(Classify(ShortReply(desc, true), desc).result, ResultErrorReply);
        }

        // The byte-count test: a well-formed full reply with byte count 4 is refused, without status.
        Bytes wrongCount =
            HartFrame(desc.command, 0x00, 0x00, Bytes(static_cast<std::size_t>(row.L - 11), 0x31));
        wrongCount[7] = 4;
        wrongCount.back() ^= 3 ^ 4; // keep the checksum right
        if (row.L == 12) {
            const Classification c = Classify(Stored(wrongCount), desc);
            EXPECT_EQ(c.result, row.byteCountTest ? ResultBadLength : ResultOk);
            EXPECT_EQ(c.status, !row.byteCountTest);
        }
    }
}
