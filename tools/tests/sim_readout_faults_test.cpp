// The 0731 unit model answers in a form the library's reply rules accept; fault injection and the
// line-settings match.
#include <gtest/gtest.h>

#include "Faults.h"
#include "HartDevice.h"
#include "LineSettings.h"
#include "ReadoutUnit.h"

namespace tarvik::sim {
namespace {

// The library's value-field rule: drop everything through the first comma k times, then take the
// text before the next comma (empty when none is left).
std::string Field(const std::string& reply, int k) {
    std::string copy = reply;
    for (int i = 0; i < k; ++i) {
        const auto c = copy.find(',');
        if (c != std::string::npos) copy.erase(0, c + 1);
    }
    const auto c = copy.find(',');
    return c == std::string::npos ? "" : copy.substr(0, c);
}

bool Contains(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

TEST(ReadoutUnit, RepliesFitTheReplyRules) {
    ReadoutUnit unit(1);
    unit.SetDynamics(0.001, 0.0);
    const auto id = unit.Answer("AZI", 0);
    ASSERT_TRUE(id);
    EXPECT_TRUE(Contains(*id, "Tarvik Instrument") && Contains(*id, "0731"));

    const struct {
        const char* request;
        const char* marker;
        int k;
        const char* value;
    } reads[] = {
        {"AZ.02P01?", "P01,", 4, "0.0"},  {"AZ.01P04?", "P04", 4, "1"}, {"AZ.01P10?", "P10", 4, "2"},
        {"AZ.03P09?", "P09", 4, "50.00"}, {"AZ.05P03?", "P03", 4, "3"}, {"AZ.07K", "AZ", 5, "0"},
    };
    for (const auto& r : reads) {
        const auto reply = unit.Answer(r.request, 1);
        ASSERT_TRUE(reply) << r.request;
        EXPECT_TRUE(Contains(*reply, r.marker) && Contains(*reply, "\r") && Contains(*reply, "\n")) << *reply;
        EXPECT_EQ(Field(*reply, r.k), r.value) << r.request << " -> " << *reply;
    }
}

TEST(ReadoutUnit, WritesAreConfirmedAndTakeEffect) {
    ReadoutUnit unit(1);
    unit.SetDynamics(0.001, 0.0);
    EXPECT_TRUE(Contains(*unit.Answer("AZ.02P01=42.50", 0), "P01,"));
    EXPECT_EQ(Field(*unit.Answer("AZ.02P01?", 1), 4), "42.5"); // one decimal place on channel 1
    EXPECT_EQ(Field(*unit.Answer("AZ.01K", 5), 5), "42.5");    // the process value has settled
    EXPECT_TRUE(Contains(*unit.Answer("AZ.02P46=0", 5), "P46,0,"));
    EXPECT_TRUE(Contains(*unit.Answer("AZ.02P46?", 5), "P46,0,"));
    EXPECT_TRUE(Contains(*unit.Answer("AZ.04P29=1", 5), "P29,1"));
    EXPECT_EQ(Field(*unit.Answer("AZ.03K", 10), 5), "0.00"); // channel 2 closed
    EXPECT_TRUE(Contains(*unit.Answer("AZ.01P03=2", 10), "P03,2,"));
    EXPECT_EQ(Field(*unit.Answer("AZ.02P01?", 10), 4), "42.50");
    EXPECT_EQ(unit.Channel(1).places, 2);
}

TEST(ReadoutUnit, RefusesWhatItCannotDo) {
    ReadoutUnit unit(1);
    const struct {
        const char* request;
        const char* error;
    } cases[] = {
        {"AZ.01P01?", "E,3"},    // set point lives at the control address
        {"AZ.02K", "E,3"},       // process value at the measurement address
        {"AZ.02P01=500", "E,2"}, // above full scale
        {"AZ.02P01=abc", "E,2"}, {"AZ.01P03=4", "E,2"}, {"AZ.02P29=3", "E,2"}, {"AZ.02X", "E,1"},
    };
    for (const auto& c : cases) {
        const auto reply = unit.Answer(c.request, 0);
        ASSERT_TRUE(reply) << c.request;
        EXPECT_TRUE(Contains(*reply, c.error)) << c.request << " -> " << *reply;
        EXPECT_FALSE(Contains(*reply, "P01,") || Contains(*reply, "P03,4,") || Contains(*reply, "P29,3"))
            << *reply;
    }
    EXPECT_FALSE(unit.Answer("AZ.09K", 0)); // no such channel: silence
    EXPECT_FALSE(unit.Answer("hello", 0));
}

TEST(Faults, ParseRates) {
    const FaultRates r =
        ParseFaultRates("late=0.1,silent=0.2,checksum=0.05,short=0.05,truncated=0.1,garbage=0.01");
    EXPECT_DOUBLE_EQ(r.late, 0.1);
    EXPECT_DOUBLE_EQ(r.silent, 0.2);
    EXPECT_DOUBLE_EQ(r.shortReply, 0.05);
    EXPECT_DOUBLE_EQ(ParseFaultRates("").Total(), 0.0);
    for (const char* bad :
         {"late", "late=x", "late=1.5", "late=-0.1", "slow=0.1", "late=0.6,silent=0.6", "late=0.1x"})
        EXPECT_THROW(ParseFaultRates(bad), std::invalid_argument) << bad;
}

TEST(Faults, EachFaultChangesTheReplyAsNamed) {
    const std::array<std::uint8_t, 5> address = {0x8A, 0x64, 1, 2, 3};
    const Bytes reply = BuildReply(address, 1, 0, 0x40, Bytes{17, 0x41, 0xC8, 0, 0}, 5);
    FaultInjector inj({}, 1, 800);

    EXPECT_EQ(inj.Inject(Fault::None, reply, Protocol::Hart).bytes, reply);
    const FaultPlan late = inj.Inject(Fault::Late, reply, Protocol::Hart);
    EXPECT_EQ(late.bytes, reply);
    EXPECT_EQ(late.extraDelayMs, 800);
    EXPECT_TRUE(inj.Inject(Fault::Silent, reply, Protocol::Hart).bytes.empty());

    const Bytes bad = inj.Inject(Fault::Checksum, reply, Protocol::Hart).bytes;
    ASSERT_EQ(bad.size(), reply.size());
    EXPECT_NE(XorOf(std::span(bad).subspan(5, bad.size() - 6)), bad.back());

    const Bytes shortReply = inj.Inject(Fault::Short, reply, Protocol::Hart).bytes;
    ASSERT_EQ(shortReply.size(), 5u + 11u);
    EXPECT_EQ(shortReply[5 + 8], kRcBusy);
    EXPECT_EQ(shortReply[5 + 9], 0x40);
    EXPECT_EQ(XorOf(std::span(shortReply).subspan(5, 10)), shortReply.back());

    for (int i = 0; i < 20; ++i) {
        const Bytes cut = inj.Inject(Fault::Truncated, reply, Protocol::Hart).bytes;
        EXPECT_GE(cut.size(), 1u);
        EXPECT_LT(cut.size(), reply.size());
        const Bytes junk = inj.Inject(Fault::Garbage, reply, Protocol::Hart).bytes;
        EXPECT_GE(junk.size(), 1u);
    }

    const std::string line = "AZ,02,R,P01,42.5,\r\n";
    const Bytes text(line.begin(), line.end());
    const Bytes corrupted = inj.Inject(Fault::Checksum, text, Protocol::Readout).bytes;
    EXPECT_NE(std::string(corrupted.begin(), corrupted.end()).substr(12, 4), "42.5");
    const Bytes head = inj.Inject(Fault::Short, text, Protocol::Readout).bytes;
    EXPECT_EQ(std::string(head.begin(), head.end()), "AZ,02,\r\n");
}

TEST(Faults, RatesPickFaultsAtTheirShare) {
    FaultRates rates;
    rates.silent = 0.25;
    rates.garbage = 0.25;
    FaultInjector inj(rates, 42);
    int silent = 0, garbage = 0, none = 0;
    for (int i = 0; i < 4000; ++i) {
        switch (inj.Apply(Bytes{1, 2, 3}, Protocol::Hart).fault) {
        case Fault::Silent:
            ++silent;
            break;
        case Fault::Garbage:
            ++garbage;
            break;
        case Fault::None:
            ++none;
            break;
        default:
            ADD_FAILURE();
        }
    }
    EXPECT_NEAR(silent, 1000, 150);
    EXPECT_NEAR(garbage, 1000, 150);
    EXPECT_NEAR(none, 2000, 150);
    FaultRates always;
    always.checksum = 1.0;
    FaultInjector all(always, 1);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(all.Apply(Bytes{1, 2}, Protocol::Hart).fault, Fault::Checksum);
}

TEST(LineSettings, DeviceAnswersOnlyOnItsOwnLine) {
    const LineSettings hart{19200, Parity::Odd, 8, 1};
    const LineSettings unit{9600, Parity::None, 8, 1};
    const struct {
        LineSettings device, observed;
        bool match;
    } cases[] = {
        {hart, {19200, Parity::Odd, 8, 1}, true},   {hart, {9600, Parity::Odd, 8, 1}, false},
        {hart, {19200, Parity::None, 8, 1}, false}, {hart, {19200, Parity::Odd, 8, 2}, false},
        {hart, {19200, Parity::Odd, 7, 1}, false},  {unit, {9600, Parity::None, 8, 1}, true},
        {unit, {9600, Parity::Odd, 8, 1}, false},   {unit, {19200, Parity::None, 8, 1}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LineMatches(c.device, c.observed), c.match) << c.observed.Text();
    EXPECT_EQ(hart.Text(), "19200 8O1");
    EXPECT_EQ(hart.BitsPerByte(), 11);
    EXPECT_EQ(unit.BitsPerByte(), 10);
}

} // namespace
} // namespace tarvik::sim
