// The tool's pure parts: the address notation, value formatting, the facts table and the status
// decoding.
#include <gtest/gtest.h>

#include "Address.h"
#include "Arguments.h"
#include "Facts.h"
#include "HartDecode.h"
#include "Report.h"
#include "TarvikDLL.h"
#include "api/ResultNames.h"

namespace tarvik::cli {
namespace {

using tools::FormatAddress;
using tools::HartAddress;
using tools::ParseAddress;
using tools::ParsePort;

TEST(AddressNotation, ParsesTheAcceptedFormsAndRefusesOthers) {
    const HartAddress want{0x64, {0x01, 0x02, 0x03}};
    for (const char* ok : {"64:010203", "64:01:02:03", "0x64:010203", "64:010203"})
        EXPECT_EQ(ParseAddress(ok), want) << ok;
    EXPECT_EQ(ParseAddress("aB:cDeF01"), (HartAddress{0xAB, {0xCD, 0xEF, 0x01}}));
    for (const char* bad : {"", "64", "6401020304", "64010203", "64:0102", "64:01020304", "6:4010203",
                            "64::010203", "64:01:0203", "64:01020g", "64:010203:", ":64010203", "640:10203"})
        EXPECT_FALSE(ParseAddress(bad)) << bad;
}

TEST(AddressNotation, FormatRoundTrips) {
    EXPECT_EQ(FormatAddress({0x64, {0x01, 0x02, 0x03}}), "64:010203");
    EXPECT_EQ(FormatAddress({0x0A, {0xFF, 0x00, 0xBC}}), "0A:FF00BC");
    const HartAddress a{0xE7, {0x10, 0x20, 0x30}};
    EXPECT_EQ(ParseAddress(FormatAddress(a)), a);
}

// The long address of `tarvik hart` (MM:TT:IIIIII) and the request data of `tarvik hart cmd`.
TEST(AddressNotation, LongAddressesAndHexBytes) {
    using Bytes = std::vector<std::uint8_t>;
    EXPECT_EQ(tools::ParseLongAddress("1c:66:030401").bytes,
              (std::array<std::uint8_t, 5>{0x1C, 0x66, 3, 4, 1}));
    const struct {
        const char* text;
        bool shaped;
        const char* reason; // empty: taken
    } longs[] = {{"3F:66:030401", true, ""},
                 {"9C:66:030605", true, "must be 00..3F"},
                 {"1C:66:0304", true, "MM:TT:IIIIII"},
                 {"1C:6G:030401", true, "hexadecimal"},
                 {"66:030401", false, ""},
                 {"", false, ""}};
    for (const auto& c : longs) {
        const auto a = tools::ParseLongAddress(c.text);
        EXPECT_EQ(a.shaped, c.shaped) << c.text;
        EXPECT_EQ(a.bytes.has_value(), c.shaped && !*c.reason) << c.text;
        EXPECT_NE(a.reason.find(c.reason), std::string::npos) << c.text << ": " << a.reason;
    }
    const struct {
        const char* text;
        std::optional<Bytes> bytes; // nothing: refused
    } hex[] = {{"1 2 3 4", Bytes{1, 2, 3, 4}},  {"3 0", Bytes{3, 0}},      {"0102", Bytes{1, 2}},
               {"01:0a,FF", Bytes{1, 10, 255}}, {"1", Bytes{1}},           {"", Bytes{}},
               {"123", std::nullopt},           {"0102 03", std::nullopt}, {"0x01", std::nullopt},
               {"01 2g", std::nullopt}};
    for (const auto& c : hex)
        EXPECT_EQ(tools::ParseHexBytes(c.text, 255).value, c.bytes) << c.text;
    EXPECT_FALSE(tools::ParseHexBytes(std::string(2 * 256, 'a'), 255).Ok());
}

TEST(PortNotation, NumbersAndComNames) {
    const struct {
        const char* text;
        std::optional<int> port;
    } cases[] = {
        {"3", 3}, {"COM3", 3},           {"com12", 12},        {"\\\\.\\COM40", 40}, {"41", 41},
        {"0", 0}, {"COM", std::nullopt}, {"x3", std::nullopt}, {"3x", std::nullopt}, {"", std::nullopt}};
    for (const auto& c : cases)
        EXPECT_EQ(ParsePort(c.text), c.port) << c.text;
}

TEST(ValueFormatting, RawPatternsBecomeNumbers) {
    EXPECT_EQ(Number(FloatOfRaw(0x42C80000)), "100");
    EXPECT_EQ(Number(FloatOfRaw(0x41200000)), "10");
    EXPECT_EQ(Number(25.03f), "25.03");
    EXPECT_EQ(Number(FloatOfRaw(0x7FC00000)), "nan");
    EXPECT_EQ(Number(FloatOfRaw(static_cast<std::int32_t>(0xFF800000))), "-inf");
    EXPECT_EQ(HumanNumber(24.780361f), "24.7804");
    EXPECT_EQ(RawHex(0x42C80000), "0x42C80000");
    EXPECT_EQ(RawOfFloat(100.0f), 0x42C80000);
    EXPECT_EQ(NumberJson(25.03f).dump(), "25.03");
    EXPECT_TRUE(NumberJson(FloatOfRaw(0x7FC00000)).is_null());
    EXPECT_EQ(ValueWithUnit(25.03f, 17), "25.03 l/min");
    EXPECT_EQ(ValueWithUnit(1.5f, 160), "1.5 percent plato");
    EXPECT_EQ(ValueWithUnit(1.5f, 157), "1.5 unit 157");
}

TEST(ValueFormatting, ReportCarriesValuesStatusAndResult) {
    Report r("flow");
    r.RawValue("flow", "flow", 0x41C80000, 17);
    r.Status(0x00, 0x50);
    r.Result(ResultDeviceStatus);
    const Json& j = r.AsJson();
    EXPECT_EQ(j["flow"]["value"], 25.0);
    EXPECT_EQ(j["flow"]["unit_name"], "liters per minute");
    EXPECT_EQ(j["flow"]["raw"], "0x41C80000");
    EXPECT_EQ(j["status2"]["meanings"].size(), 2u);
    EXPECT_EQ(j["result"]["name"], "ResultDeviceStatus");
    EXPECT_FALSE(j["result"]["ok"].get<bool>());
    EXPECT_NE(r.Human().find("25 l/min"), std::string::npos);
    EXPECT_NE(r.Human().find("configuration changed; more status available"), std::string::npos);
}

TEST(ExitStatus, ZeroOnlyForOk) {
    EXPECT_EQ(ExitCodeFor(ResultOk), kExitOk);
    EXPECT_EQ(ExitCodeFor(ResultDeviceStatus), kExitDeviceStatus);
    for (std::int32_t rc : std::initializer_list<std::int32_t>{ResultNoReply, ResultPortBusy,
                                                               ResultErrorReply, ResultBadChannel, 0, 99})
        EXPECT_EQ(ExitCodeFor(rc), kExitFailed) << rc;
    EXPECT_EQ(CombineExit(kExitOk, kExitDeviceStatus), kExitDeviceStatus);
    EXPECT_EQ(CombineExit(kExitFailed, kExitDeviceStatus), kExitFailed);
    EXPECT_EQ(CombineExit(kExitDeviceStatus, kExitFailed), kExitFailed);
}

TEST(Facts, EveryResultCodeOfTheHeaderHasNameReasonAndHint) {
    const auto& codes = tarvik::api::kResultNames;
    const auto& facts = tools::Facts::Get();
    EXPECT_EQ(facts.Results().size(), std::size(codes)) << "a code in the table that the header lacks";
    for (const auto& [code, name] : codes) {
        const auto f = facts.Result(code);
        ASSERT_TRUE(f) << name;
        EXPECT_EQ(f->name, name);
        EXPECT_FALSE(f->reason.empty()) << name;
        if (code != ResultOk) {
            EXPECT_FALSE(f->hint.empty()) << name;
        }
    }
    EXPECT_FALSE(facts.Result(-8));
}

TEST(Facts, UnitNamesSymbolsAndRanges) {
    const auto& f = tools::Facts::Get();
    EXPECT_EQ(f.UnitName(17), "liters per minute");
    EXPECT_EQ(f.UnitName(57), "percent");
    EXPECT_EQ(f.UnitName(250), "not used");
    EXPECT_EQ(f.UnitName(0), "no unit");
    EXPECT_EQ(f.UnitName(245), "manufacturer-specific unit 245");
    EXPECT_EQ(f.UnitName(180), "depends on the variable's classification unit 180");
    EXPECT_EQ(f.UnitName(157), "reserved unit 157");
    EXPECT_EQ(f.UnitSymbol(7), "bar");
    EXPECT_EQ(f.UnitSymbol(110), "bushels");
    EXPECT_EQ(f.UnitCode("m3/h"), 19);
    EXPECT_EQ(f.UnitCode("Liters per minute"), 17);
    EXPECT_EQ(f.UnitCode("0x11"), 17);
    EXPECT_EQ(f.UnitCode("42"), 42);
    EXPECT_FALSE(f.UnitCode("furlongs per fortnight"));
    EXPECT_GE(f.Units().size(), 170u);
}

TEST(Facts, StatusBytesDecode) {
    const auto& f = tools::Facts::Get();
    const struct {
        std::uint8_t byte;
        std::vector<std::string> meanings;
    } status2[] = {
        {0x00, {}},
        {0x40, {"configuration changed"}},
        {0x81, {"device malfunction", "primary variable out of limits"}},
        {0x10, {"more status available (read the additional status)"}},
    };
    for (const auto& c : status2)
        EXPECT_EQ(f.Status2(c.byte).meanings, c.meanings) << int(c.byte);
    EXPECT_EQ(f.Status2(0).Joined(), "no conditions");

    const struct {
        std::uint8_t byte;
        std::vector<std::string> meanings;
    } status1[] = {
        {0, {}},
        {7, {"in write-protect mode (7)"}},
        {64, {"command not implemented (64)"}},
        {9, {"command-specific response code 9"}},
        {0x88, {"communication error", "longitudinal parity (checksum) error"}},
        {0xC0, {"communication error", "vertical parity error"}},
    };
    for (const auto& c : status1)
        EXPECT_EQ(f.Status1(c.byte).meanings, c.meanings) << int(c.byte);
}

TEST(Facts, DeviceStateCodesByNameAndNumber) {
    const auto& f = tools::Facts::Get();
    EXPECT_EQ(f.CodeByName("vor_states", "closed"), 1);
    EXPECT_EQ(f.CodeByName("vor_states", "OPEN"), 2);
    EXPECT_EQ(f.CodeByName("vor_states", "5"), 5); // numbers pass: the library judges the range
    EXPECT_FALSE(f.CodeByName("vor_states", "ajar"));
    EXPECT_EQ(f.CodeByName("totalizer_states", "reset"), 2);
    EXPECT_EQ(f.CodeName("setpoint_sources", 2), "manual");
    EXPECT_EQ(f.CodeName("vor_states", 9), "code 9");
}

TEST(Facts, ABrokenTableIsRefusedWithAMessage) {
    EXPECT_THROW(tools::Facts::Parse("{"), std::runtime_error);
    EXPECT_THROW(tools::Facts::Parse("{\"units\": []}"), std::runtime_error);
}

TEST(HartDecode, ALatin1LongTagBecomesValidUtf8) {
    // "Kessel öl" in Latin-1, padded with zeros as a device sends it.
    std::vector<std::uint8_t> data(32, 0);
    const std::string latin1 = "Kessel \xF6l";
    std::copy(latin1.begin(), latin1.end(), data.begin());
    const auto fields = DecodeHartReply(20, data);
    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0].value, "Kessel \xC3\xB6l");
    EXPECT_NO_THROW((void)fields[0].value.dump()); // JSON refuses invalid UTF-8 by throwing
}

} // namespace
} // namespace tarvik::cli
