// The read-out unit's addressing, request lines and reply rules, judged without a port.
#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <optional>
#include <string>

#include "TarvikDLL.h"
#include "readout/Protocol.h"

using namespace tarvik::readout;
using namespace std::string_literals;

TEST(ReadoutRules, ChannelsHaveAnOddAndAnEvenAddress) {
    const char* measurement[] = {"01", "03", "05", "07"};
    const char* control[] = {"02", "04", "06", "08"};
    for (int32_t ch = 1; ch <= 4; ++ch) {
        EXPECT_EQ(ChannelAddress(ch, AddressKind::Measurement), measurement[ch - 1]);
        EXPECT_EQ(ChannelAddress(ch, AddressKind::Control), control[ch - 1]);
    }
    for (int32_t bad :
         {0, 5, -1, 257, 258, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()}) {
        EXPECT_FALSE(ChannelAddress(bad, AddressKind::Measurement)) << bad;
        EXPECT_FALSE(ChannelAddress(bad, AddressKind::Control)) << bad;
    }
}

TEST(ReadoutRules, RequestLinesByteForByte) {
    struct Case {
        std::string line, expected;
    } cases[] = {
        {RequestLine("05", kProcessValueRead.command), "AZ.05K\r"},
        {RequestLine("01", DecimalPlaceCommand(2)), "AZ.01P03=2\r"},
        {RequestLine("06", ValveWriteCommand(2)), "AZ.06P29=2\r"},
        {RequestLine("04", SetPointCommand(12.5f, 2)), "AZ.04P01=12.50\r"},
        {RequestLine("02", SetPointCommand(-7.0f, 0)), "AZ.02P01=-7\r"},
        {RequestLine("02", SetPointCommand(std::numeric_limits<float>::quiet_NaN(), 1)), "AZ.02P01=NAN\r"},
        {RequestLine("02", kSetPointRead.command), "AZ.02P01?\r"},
        {RequestLine("08", kSourceReadCommand), "AZ.08P46?\r"},
        {RequestLine("04", SourceWriteCommand(true)), "AZ.04P46=1\r"},
        {RequestLine("04", SourceWriteCommand(false)), "AZ.04P46=0\r"},
        {RequestLine("03", kMeasureUnitRead.command), "AZ.03P04?\r"},
        {RequestLine("03", kTimeUnitRead.command), "AZ.03P10?\r"},
        {RequestLine("07", kFullScaleRead.command), "AZ.07P09?\r"},
        {RequestLine("07", kDecimalPlaceRead.command), "AZ.07P03?\r"},
        {std::string(kLinkTestRequest), "AZI\r"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.line, c.expected);
}

TEST(ReadoutRules, ContainedTextIgnoresCaseAndStopsAtAZeroByte) {
    struct Case {
        std::string reply, text;
        bool found;
    } cases[] = {
        {"xx P46,1, yy", "P46,1,", true},
        {"p46,1,", "P46,1,", true},
        {"P46,1,", "p46,1,", true},
        {"tarvik INSTRUMENT", "Tarvik Instrument", true},
        {"P46,1", "P46,1,", false},
        {"P46 ,1,", "P46,1,", false},
        {"", "P46,1,", false},
        {"P46,1,\0"s, "P46,1,", true},
        {"\0P46,1,"s, "P46,1,", false},
        {"P4\0"
         "6,1,"s,
         "P46,1,", false},
        {"ab\r\0\n"s, "\n", false},
        // Only ASCII letters change case.
        {"\xE9", "\xC9", false},
        {"P46{1,", "P46[1,", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ContainsNoCase(c.reply, c.text), c.found) << c.reply << " / " << c.text;
}

TEST(ReadoutRules, ValueFieldIsTheFieldAfterKCommas) {
    struct Case {
        std::string reply, marker;
        int field;
        std::optional<std::string> value;
    } cases[] = {
        {"AZ,01,P04,0,12,\r\n", "P04", 4, "12"},
        {"AZ,01,P04,0,12,7,8\r\n", "P04", 4, "12"},
        {"az,01,p04,0,12,\r\n", "P04", 4, "12"},
        {"\r\nAZ,01,P04,0,12,", "P04", 4, "12"}, // CR and LF may stand anywhere
        {"\n,,,,12,P04\r", "P04", 4, "12"},
        {",,,,,\r\nP04", "P04", 4, ""}, // empty fields count
        // Only four commas: the fifth field is not followed by one.
        {"AZ,01,P04,0,12\r\n", "P04", 4, ""},
        {"AZ,01\r\nP04", "P04", 4, ""},
        // The comma search runs past a zero byte, the marker search does not.
        {"P04\r\n\0,,,,12,"s, "P04", 4, "12"},
        // Step 1 fails.
        {"AZ,01,P04,0,12,\r", "P04", 4, std::nullopt},
        {"AZ,01,P04,0,12,\n", "P04", 4, std::nullopt},
        {"AZ,01,P4,0,12,\r\n", "P04", 4, std::nullopt},
        {"AZ,01,\0P04,0,12,\r\n"s, "P04", 4, std::nullopt},
        {"AZ,01,P04,0,12,\0\r\n"s, "P04", 4, std::nullopt},
        {"", "P04", 4, std::nullopt},
        // The process value: marker AZ, one field further on.
        {"AZ,03,K,0,0,12.5,\r\n", "AZ", 5, "12.5"},
        {"AZ,03,K,0,12.5,\r\n", "AZ", 5, ""},
    };
    for (const auto& c : cases) {
        const auto v = ValueField(c.reply, c.marker, c.field);
        ASSERT_EQ(v.has_value(), c.value.has_value()) << c.reply;
        if (v) {
            EXPECT_EQ(*v, *c.value) << c.reply;
        }
    }
}

TEST(ReadoutRules, IdentityNeedsMakerAndModel) {
    struct Case {
        std::string reply;
        int32_t result;
    } cases[] = {
        {"Tarvik Instrument 0731 V2.1\r\n", ResultOk},
        {"TARVIK INSTRUMENT 0731", ResultOk},
        {"0731 by tarvik instrument", ResultOk},
        {"xTarvik Instrumentx0731x", ResultOk},
        {"Tarvik Instrument 0732\r\n", ResultWrongIdentity},
        {"Tarvik 0731 Instrument", ResultWrongIdentity},
        {"TarvikInstrument 0731", ResultWrongIdentity},
        {"Tarvik Instrument\0 0731"s, ResultWrongIdentity},
        {"0731", ResultWrongIdentity},
        {"", ResultWrongIdentity},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JudgeIdentity(c.reply), c.result) << c.reply;
}

TEST(ReadoutRules, SetPointSourceRepliesAndConfirmations) {
    struct Case {
        std::string reply;
        uint8_t source;
        int32_t readResult, serialWrite, manualWrite;
    } cases[] = {
        {"AZ,02,P46,1,\r\n", 1, ResultOk, ResultOk, ResultSourceNotConfirmed},
        {"AZ,02,P46,0,\r\n", 2, ResultOk, ResultSourceNotConfirmed, ResultOk},
        {"p46,1,", 1, ResultOk, ResultOk, ResultSourceNotConfirmed},
        {"P46,1,P46,0,", 2, ResultOk, ResultOk, ResultOk},
        {"P46,0,P46,1,", 2, ResultOk, ResultOk, ResultOk},
        {"P46,1", 0, ResultBadSourceReply, ResultSourceNotConfirmed, ResultSourceNotConfirmed},
        {"P46,2,", 0, ResultBadSourceReply, ResultSourceNotConfirmed, ResultSourceNotConfirmed},
        {"P46=1\r\n", 0, ResultBadSourceReply, ResultSourceNotConfirmed, ResultSourceNotConfirmed},
        {"", 0, ResultBadSourceReply, ResultSourceNotConfirmed, ResultSourceNotConfirmed},
    };
    for (const auto& c : cases) {
        uint8_t source = 0xA5;
        EXPECT_EQ(JudgeSource(c.reply, source), c.readResult) << c.reply;
        EXPECT_EQ(source, c.source) << c.reply;
        EXPECT_EQ(JudgeSourceWrite(c.reply, true), c.serialWrite) << c.reply;
        EXPECT_EQ(JudgeSourceWrite(c.reply, false), c.manualWrite) << c.reply;
    }
}

TEST(ReadoutRules, ValveAndDecimalPlaceConfirmations) {
    struct Case {
        std::string reply;
        int32_t value;
        bool valve, places; // accepted as the valve state / the places `value`
    } cases[] = {
        {"AZ,06,P29,2,\r\n", 2, true, false},
        {"P29,1", 1, true, false},  // no comma needed after the valve digit
        {"P29,17", 1, true, false}, // further digits do not matter
        {"p29,0", 0, true, false},
        {"P29,2", 1, false, false},
        {"P29 2", 2, false, false},
        {"AZ,01,P03,2,\r\n", 2, false, true},
        {"p03,3,", 3, false, true},
        {"P03,2", 2, false, false}, // the places digit needs its comma
        {"P03,21,", 2, false, false},
        {"P03,1,", 2, false, false},
        {"P29,2,P03,2,", 2, true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JudgeValveWrite(c.reply, c.value), c.valve ? ResultOk : ResultValveNotConfirmed) << c.reply;
        EXPECT_EQ(JudgeDecimalPlaceWrite(c.reply, c.value),
                  c.places ? ResultOk : ResultDecimalPlaceNotConfirmed)
            << c.reply;
    }
}

TEST(ReadoutRules, SetPointWriteNeedsMarkerWithCommaAndALineEnd) {
    struct Case {
        std::string reply;
        int32_t result;
    } cases[] = {
        {"AZ,04,P01,12.50,\r\n", ResultOk},
        {"p01,\n\r", ResultOk},
        {"AZ,04,P01,99,\r\n", ResultOk}, // the value is not compared
        {"AZ,04,P01=12.50\r\n", ResultSetPointNotConfirmed},
        {"AZ,04,P01,12.50,\r", ResultSetPointNotConfirmed},
        {"AZ,04,P01,12.50,\n", ResultSetPointNotConfirmed},
        {"AZ,04,P01,12.50,", ResultSetPointNotConfirmed},
        {"", ResultSetPointNotConfirmed},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JudgeSetPointWrite(c.reply), c.result) << c.reply;
}

TEST(ReadoutRules, IntegerReadsWriteTheValueOrMinusOne) {
    struct Case {
        const ValueRead* read;
        std::string reply;
        int32_t result, value;
    } cases[] = {
        {&kMeasureUnitRead, "AZ,01,P04,0,12,\r\n", ResultOk, 12},
        {&kMeasureUnitRead, "AZ,01,P04,0, 12,\r\n", ResultOk, 12},
        {&kMeasureUnitRead, "AZ,01,P04,0,12 ,\r\n", ResultBadMeasureUnitReply, -1},
        {&kMeasureUnitRead, "AZ,01,P04,0,1.5,\r\n", ResultBadMeasureUnitReply, -1},
        {&kMeasureUnitRead, "AZ,01,P04,0,12\r\n", ResultBadMeasureUnitReply, -1},
        {&kMeasureUnitRead, "AZ,01,P04,0,12,", ResultBadMeasureUnitReply, -1},
        {&kMeasureUnitRead, "AZ,01,P10,0,12,\r\n", ResultBadMeasureUnitReply, -1},
        {&kMeasureUnitRead, "AZ,01,P04,0,,\r\n", ResultBadMeasureUnitReply, -1},
        {&kMeasureUnitRead, "AZ,01,P04,0,-1,\r\n", ResultOk, -1},
        {&kTimeUnitRead, "az,03,p10,0,$10,\r\n", ResultOk, 16},
        {&kTimeUnitRead, "AZ,03,P10,0,4,\r\n", ResultOk, 4},
        {&kTimeUnitRead, "AZ,03,P04,0,4,\r\n", ResultBadTimeUnitReply, -1},
        {&kDecimalPlaceRead, "AZ,05,P03,0,7,\r\n", ResultOk, 7}, // passed on unchecked
        {&kDecimalPlaceRead, "AZ,05,P03,0,x,\r\n", ResultBadDecimalPlace, -1},
        {&kDecimalPlaceRead, "AZ,05,P03,0,99999999999,\r\n", ResultBadDecimalPlace, -1},
    };
    for (const auto& c : cases) {
        int32_t value = 0x5A5A5A5A;
        EXPECT_EQ(JudgeValue(c.reply, *c.read, value), c.result) << c.reply;
        EXPECT_EQ(value, c.value) << c.reply;
    }
}

TEST(ReadoutRules, FloatReadsWriteTheValueOrMinus999) {
    struct Case {
        const ValueRead* read;
        std::string reply;
        int32_t result;
        float value;
    } cases[] = {
        {&kFullScaleRead, "AZ,01,P09,0,250.0,\r\n", ResultOk, 250.0f},
        {&kFullScaleRead, "AZ,01,P09,0,25E1,\r\n", ResultOk, 250.0f},
        {&kFullScaleRead, "AZ,01,P09,0, 2.5e+2  ,\r\n", ResultOk, 250.0f},
        {&kFullScaleRead, "AZ,01,P09,0,1e39,\r\n", ResultBadFullScaleReply, -999.0f},
        {&kFullScaleRead, "AZ,01,P09,0,INF,\r\n", ResultBadFullScaleReply, -999.0f},
        {&kFullScaleRead, "AZ,01,P09,0,250.0\r\n", ResultBadFullScaleReply, -999.0f},
        {&kProcessValueRead, "AZ,03,K,0,0,12.5,\r\n", ResultOk, 12.5f},
        {&kProcessValueRead, "az,03,K,0,0,-0.25,9\r\n", ResultOk, -0.25f},
        {&kProcessValueRead, "AZ,03,K,0,12.5,\r\n", ResultBadProcessValueReply, -999.0f}, // fifth field
        {&kProcessValueRead, "A Z,03,K,0,0,12.5,\r\n", ResultBadProcessValueReply, -999.0f},
        {&kProcessValueRead, "AZ,03,K,0,0,12.5,\r", ResultBadProcessValueReply, -999.0f},
        {&kSetPointRead, "AZ,02,P01,0,37.5,\r\n", ResultOk, 37.5f},
        {&kSetPointRead, "az,02,p01,0,37.5,\r\n", ResultOk, 37.5f},
        {&kSetPointRead, "AZ,02,P01 ,0,37.5,\r\n", ResultBadSetPointReply, -999.0f}, // marker has a comma
        {&kSetPointRead, "AZ,02,P01,0,37,5,\r\n", ResultOk, 37.0f},
        {&kSetPointRead, "AZ,02,P01,0,37;5,\r\n", ResultBadSetPointReply, -999.0f},
        {&kSetPointRead, "\n\rAZ,02,P01,0,37.5", ResultBadSetPointReply, -999.0f},
    };
    for (const auto& c : cases) {
        float value = 1234.5f;
        EXPECT_EQ(JudgeValue(c.reply, *c.read, value), c.result) << c.reply;
        EXPECT_EQ(value, c.value) << c.reply;
    }
    EXPECT_EQ(std::bit_cast<uint32_t>(kFloatFailure), 0xC479C000u);
}

TEST(ReadoutRules, AReplyIsCompleteOnceItHoldsACarriageReturnAndALineFeed) {
    EXPECT_FALSE(LineComplete(""));
    EXPECT_FALSE(LineComplete("AZ,02,P01,0,37.5,\r"));
    EXPECT_FALSE(LineComplete("AZ,02,P01,0,37.5,\n"));
    EXPECT_TRUE(LineComplete("AZ,02,P01,0,37.5,\r\n"));
    EXPECT_TRUE(LineComplete("\nAZ\r")); // in any order, as the rule B of the value reads needs both
    EXPECT_TRUE(LineComplete("AZ\0,\r\n"s));

    // What is still to come: the missing line end marks at least, the rest of a typical reply likely.
    const struct {
        std::string reply;
        std::size_t typical, atLeast, likely;
    } rests[] = {
        {"", 0, 2, 2},        {"AZ,03", 0, 2, 2},
        {"AZ,03", 21, 2, 16}, {"AZ,03,K\r", 21, 1, 13},
        {"AZ\n", 0, 1, 1},    {"AZ,03,K,0,0,-1.5", 10, 2, 2},
        {"AZ\r\n", 30, 0, 0}, {"\nAZ\r", 30, 0, 0},
    };
    for (const auto& r : rests) {
        const ReplyRest rest = RestOfReply(r.reply, r.typical);
        EXPECT_EQ(rest.atLeast, r.atLeast) << r.reply << " / " << r.typical;
        EXPECT_EQ(rest.likely, r.likely) << r.reply << " / " << r.typical;
    }
}
