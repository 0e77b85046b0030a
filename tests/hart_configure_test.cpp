// The configuration requests of HART transmitters against bytes written out by hand from the
// public layouts, and the response codes that are warnings rather than refusals.
#include <gtest/gtest.h>

#include <vector>

#include "hart/Configure.h"

using namespace tarvik::hart;
using Bytes = std::vector<std::uint8_t>;

TEST(HartConfigure, RequestsMatchTheLayouts) {
    const std::uint8_t codes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    const struct {
        const char* what;
        RequestData request;
        Bytes expected;
    } cases[] = {
        {"34 damping 2.0 s", FloatRequest(2.0f), {0x40, 0x00, 0x00, 0x00}},
        {"40 loop test 12 mA", FloatRequest(12.0f), {0x41, 0x40, 0x00, 0x00}},
        {"40 exit", FloatRequest(kLoopTestExit), {0, 0, 0, 0}},
        {"35 range degC 150 .. -20",
         RangeRequest(32, 150.0f, -20.0f),
         {32, 0x43, 0x16, 0x00, 0x00, 0xC1, 0xA0, 0x00, 0x00}},
        {"44 unit kPa", ByteRequest(12), {12}},
        {"51 assignments", AssignmentsRequest({2, 0, 1, 3}), {2, 0, 1, 3}},
        {"53 variable 1 in degF", VariableUnitRequest(1, 33), {1, 33}},
        {"9 at most 8 codes", VariablesRequest(codes, 8), {0, 1, 2, 3, 4, 5, 6, 7}},
        {"33 at most 4 codes", VariablesRequest(codes, 4), {0, 1, 2, 3}},
        {"103 message 0, 1 s, 60 s",
         BurstPeriodRequest(0, 32000, 1920000),
         {0, 0x00, 0x00, 0x7D, 0x00, 0x00, 0x1D, 0x4C, 0x00}},
        {"104 rising over 50 degC",
         BurstTriggerRequest(0, kTriggerRising, 64, 32, 50.0f),
         {0, 2, 64, 32, 0x42, 0x48, 0x00, 0x00}},
        {"107 three codes, message 1",
         BurstVariablesRequest(std::span(codes).first(3), 1),
         {0, 1, 2, 250, 250, 250, 250, 250, 1}},
        {"107 before revision 7",
         BurstVariablesRequest(std::span(codes).first(2), std::nullopt),
         {0, 1, 250, 250}},
        {"108 command 3, message 0", BurstByteRequest(3, 0), {3, 0}},
    };
    for (const auto& c : cases) {
        const auto data = c.request.Data();
        EXPECT_EQ(Bytes(data.begin(), data.end()), c.expected) << c.what;
    }
}

TEST(HartConfigure, RepliesAndResponseCodes) {
    const RangeValues r = DecodeRangeValues(Bytes{32, 0x43, 0x16, 0x00, 0x00, 0xC1, 0xA0});
    EXPECT_EQ(r.unit, 32);
    EXPECT_EQ(r.upper, 150.0f);
    EXPECT_FALSE(r.lower); // cut short
    EXPECT_EQ(DecodeFloat(Bytes{0x41, 0x40, 0x00, 0x00}), 12.0f);
    EXPECT_FALSE(DecodeFloat(Bytes{0x41}));

    EXPECT_TRUE(ResponseIsWarning(kRcSpanTooSmall));
    EXPECT_TRUE(ResponseIsWarning(kRcSetToNearest));
    EXPECT_FALSE(ResponseIsWarning(kRcUpperTooHigh));
    EXPECT_STREQ(ConfigResponseText(kCmdWriteRange, 11), "upper range value too high");
    EXPECT_STREQ(ConfigResponseText(kCmdLoopTest, 11), "in multidrop mode");
    EXPECT_STREQ(ConfigResponseText(kCmdWriteRange, 14), "span too small");
    EXPECT_EQ(ConfigResponseText(kCmdWriteDamping, 11), nullptr);

    EXPECT_EQ(BurstTimeUnits(0.5), 16000u);
    EXPECT_FALSE(BurstTimeUnits(0.00001)); // would be sent as 0
    EXPECT_FALSE(BurstTimeUnits(200000));  // beyond 32 bits of 1/32 ms
}
