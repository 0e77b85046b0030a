// Number text of the read-out unit: integer and float fields of replies, set points of requests.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <locale>
#include <optional>

#include "readout/NumberText.h"

using namespace tarvik::readout;

namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kMax = std::numeric_limits<float>::max();
constexpr float kTiny = std::numeric_limits<float>::denorm_min();

} // namespace

TEST(ReadoutNumbers, TextToIntAcceptsOnlyOneWholeInteger) {
    struct Case {
        const char* text;
        std::optional<int32_t> value;
    } cases[] = {
        {"12", 12},
        {" 12", 12},
        {"   -7", -7},
        {"+5", 5},
        {"007", 7},
        {"0", 0},
        {"-0", 0},
        {"$1F", 31},
        {"$ff", 255},
        {"x10", 16},
        {"X10", 16},
        {"0x10", 16},
        {"0XaB", 171},
        {"-$10", -16},
        {"2147483647", 2147483647},
        {"-2147483648", std::numeric_limits<int32_t>::min()},
        {"$7FFFFFFF", 2147483647},
        {"-0x80000000", std::numeric_limits<int32_t>::min()},
        // refused
        {"", std::nullopt},
        {" ", std::nullopt},
        {"12 ", std::nullopt},
        {"1 2", std::nullopt},
        {"- 1", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"$", std::nullopt},
        {"0x", std::nullopt},
        {"1.5", std::nullopt},
        {"1,5", std::nullopt},
        {"1e3", std::nullopt},
        {"12a", std::nullopt},
        {"\t12", std::nullopt},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"$80000000", std::nullopt},
        {"$FFFFFFFF", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"0x1G", std::nullopt},
        {"12\r\n", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TextToInt(c.text), c.value) << '"' << c.text << '"';
}

TEST(ReadoutNumbers, TextToFloatFollowsTheFieldGrammar) {
    struct Case {
        const char* text;
        std::optional<float> value;
    } cases[] = {
        {"12.5", 12.5f},
        {" 12.5", 12.5f},
        {"12.5  ", 12.5f},
        {"  -3", -3.0f},
        {"+0.25", 0.25f},
        {".5", 0.5f},
        {"5.", 5.0f},
        {"1E3", 1000.0f},
        {"1e3", 1000.0f},
        {"2.5e-2", 0.025f},
        {"2.5E+2", 250.0f},
        {"5.e1", 50.0f},
        {"100", 100.0f},
        {"123456.789", 123456.7890625f},
        // Rounded once, straight from the decimal text to the nearest float.
        {"0.1", 0.1f},
        {"16777217", 16777216.0f},
        {"16777219", 16777220.0f},
        {"3.4028235e38", kMax},
        // Too small for a float: zero of the same sign.
        {"1e-50", 0.0f},
        {"-1e-60", -0.0f},
        {"1e-45", kTiny},
        {"0e999999999999", 0.0f},
        // refused
        {"", std::nullopt},
        {"   ", std::nullopt},
        {".", std::nullopt},
        {"-", std::nullopt},
        {"1.2.3", std::nullopt},
        {"12,5", std::nullopt},
        {"1e", std::nullopt},
        {"1e+", std::nullopt},
        {"e3", std::nullopt},
        {"1 2", std::nullopt},
        {"- 1", std::nullopt},
        {"\t1", std::nullopt},
        {"1\r\n", std::nullopt},
        {"inf", std::nullopt},
        {"-INF", std::nullopt},
        {"nan", std::nullopt},
        {"infinity", std::nullopt},
        {"0x1p3", std::nullopt},
        {"$10", std::nullopt},
        {"1f", std::nullopt},
        // Beyond the float range.
        {"3.5e38", std::nullopt},
        {"-1e39", std::nullopt},
        {"1e999999999999", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto v = TextToFloat(c.text);
        ASSERT_EQ(v.has_value(), c.value.has_value()) << '"' << c.text << '"';
        if (v) {
            EXPECT_EQ(*v, *c.value) << '"' << c.text << '"';
            EXPECT_EQ(std::signbit(*v), std::signbit(*c.value)) << '"' << c.text << '"';
        }
    }
}

TEST(ReadoutNumbers, SetPointTextIsRoundedOnceFromTheExactValue) {
    struct Case {
        float value;
        int32_t digits;
        const char* text;
    } cases[] = {
        // The worked examples.
        {12.5f, 0, "13"},
        {0.125f, 2, "0.13"},
        {-0.001f, 2, "0.00"},
        {123456.789f, 3, "123456.789"},
        {12345679.0f, 3, "12345679.000"},
        {100.0f, 1, "100.0"},
        {12.5f, 2, "12.50"},
        // Ties go away from zero (printf would round these to even).
        {2.5f, 0, "3"},
        {-2.5f, 0, "-3"},
        {0.5f, 0, "1"},
        {-0.5f, 0, "-1"},
        {0.25f, 1, "0.3"},
        {-0.125f, 2, "-0.13"},
        {0.375f, 2, "0.38"},
        {1234567.5f, 0, "1234568"},
        {8388607.5f, 0, "8388608"},
        // The float's exact value decides, not its shortest text.
        {2.675f, 2, "2.67"},    // 2.6749999523...
        {1.005f, 2, "1.00"},    // 1.0049999952...
        {0.0005f, 3, "0.001"},  // 0.0005000000237...
        {0.9995f, 3, "0.999"},  // 0.9994999766...
        {99.995f, 2, "100.00"}, // 99.9950027..., carries into a new digit
        {0.1f, 3, "0.100"},
        {1.0f / 3.0f, 3, "0.333"},
        {0.05f, 1, "0.1"},
        // Zero and values that round to it carry no sign.
        {0.0f, 0, "0"},
        {-0.0f, 2, "0.00"},
        {-0.4f, 0, "0"},
        {0.49999997f, 0, "0"},
        {kTiny, 3, "0.000"},
        {-kTiny, 0, "0"},
        // Ten integer digits still in fixed form; whole numbers padded.
        {9999999.0f, 3, "9999999.000"},
        {16777216.0f, 0, "16777216"},
        {9999998976.0f, 2, "9999998976.00"},
        {-9999998976.0f, 0, "-9999998976"},
        {1234567.875f, 3, "1234567.875"},
        // From 10^10 on: ten significant digits in exponent form, whatever the decimals.
        {1e10f, 0, "1.000000000E+10"},
        {-1e10f, 3, "-1.000000000E+10"},
        {12345678000.0f, 2, "1.234567782E+10"}, // 12345677824
        {99999999000.0f, 0, "9.999999795E+10"}, // 99999997952
        {4.5e15f, 1, "4.499999908E+15"},        // 4499999907905536, rounded up
        {kMax, 3, "3.402823466E+38"},
        // Special values.
        {kNan, 2, "NAN"},
        {-kNan, 0, "NAN"},
        {kInf, 1, "INF"},
        {-kInf, 3, "-INF"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatSetPoint(c.value, c.digits), c.text) << c.value << " / " << c.digits;
}

TEST(ReadoutNumbers, DecimalCountFollowsDigitsExactly) {
    for (int32_t digits = 0; digits <= 3; ++digits) {
        for (float v : {0.0f, 1.0f, -7.25f, 0.001f, 4096.0625f, 1e9f}) {
            const std::string text = FormatSetPoint(v, digits);
            const auto point = text.find('.');
            if (digits == 0) {
                EXPECT_EQ(point, std::string::npos) << text;
            } else {
                ASSERT_NE(point, std::string::npos) << text;
                EXPECT_EQ(text.size() - point - 1, static_cast<size_t>(digits)) << text;
            }
            EXPECT_EQ(text.find_first_not_of("-0123456789."), std::string::npos) << text;
        }
    }
}

TEST(ReadoutNumbers, FormattedSetPointsReadBackAsTheSameFloat) {
    // Floats with at most three exact decimals survive the trip through the text.
    for (float v : {0.0f, 1.5f, -2.125f, 47.375f, 1000.25f, -65535.5f, 9999999.0f, 0.5f})
        EXPECT_EQ(TextToFloat(FormatSetPoint(v, 3)), v) << v;
}

namespace {

// A numeric facet with a decimal comma, as some hosts install it.
struct CommaPunct : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

// Switches the C and C++ locales to a decimal comma where the system offers one, and back.
class CommaLocale {
public:
    CommaLocale() : previousCpp_(std::locale::global(std::locale(std::locale::classic(), new CommaPunct))) {
        const char* current = std::setlocale(LC_ALL, nullptr);
        previousC_ = current ? current : "C";
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "German_Germany.1252", "German"})
            if (std::setlocale(LC_ALL, name)) break;
    }
    ~CommaLocale() {
        std::setlocale(LC_ALL, previousC_.c_str());
        std::locale::global(previousCpp_);
    }

private:
    std::locale previousCpp_;
    std::string previousC_;
};

} // namespace

TEST(ReadoutNumbers, FullStopWhateverTheHostLocale) {
    CommaLocale comma;
    EXPECT_EQ(FormatSetPoint(12.5f, 2), "12.50");
    EXPECT_EQ(FormatSetPoint(-1234567.5f, 1), "-1234567.5");
    EXPECT_EQ(FormatSetPoint(1e10f, 1), "1.000000000E+10");
    EXPECT_EQ(TextToFloat("12.5"), 12.5f);
    EXPECT_EQ(TextToFloat("12,5"), std::nullopt);
    EXPECT_EQ(TextToInt("1.000"), std::nullopt);
}
