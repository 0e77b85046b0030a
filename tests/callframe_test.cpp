#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "api/CallFrame.h"
#include "api/Pipeline.h"
#include "digital/Hart.h"

using namespace tarvik::api;

TEST(CallFrame, PortNumbersMapToTheFixedNameTable) {
    EXPECT_EQ(DeviceName(1), "COM1");
    EXPECT_EQ(DeviceName(9), "COM9");
    EXPECT_EQ(DeviceName(10), "\\\\.\\COM10");
    EXPECT_EQ(DeviceName(40), "\\\\.\\COM40");
    for (int bad : {0, 41, -1, 256, 257, INT32_MIN, INT32_MAX})
        EXPECT_FALSE(DeviceName(bad)) << bad;
}

TEST(CallFrame, EightRatesAcceptedWithTheirDelays) {
    struct Case {
        int baud;
        int delay;
    } cases[] = {{1200, 586}, {2400, 343}, {3600, 262},  {4800, 221},
                 {7200, 181}, {9600, 161}, {19200, 130}, {38400, 115}};
    for (const auto& c : cases) {
        EXPECT_TRUE(AcceptedRate(c.baud)) << c.baud;
        EXPECT_EQ(ResponseDelayMs(c.baud), c.delay) << c.baud;
        // The table is the formula round((583 / baud + 0.1) * 1000).
        EXPECT_EQ(std::lround((583.0 / c.baud + 0.1) * 1000), c.delay) << c.baud;
    }
    for (int bad : {0, -9600, 14400, 57600, 115200, 9601, 300})
        EXPECT_FALSE(AcceptedRate(bad)) << bad;
}

TEST(CallFrame, PortListEntriesMatchWithOrWithoutTheDevicePrefix) {
    EXPECT_TRUE(PortNameMatches("COM3", "COM3"));
    EXPECT_TRUE(PortNameMatches("COM10", "\\\\.\\COM10"));
    EXPECT_TRUE(PortNameMatches("\\\\.\\COM10", "\\\\.\\COM10"));
    EXPECT_FALSE(PortNameMatches("COM1", "COM10"));
    EXPECT_FALSE(PortNameMatches("COM10", "COM1"));
    EXPECT_FALSE(PortNameMatches("com3", "COM3"));
    EXPECT_FALSE(PortNameMatches("COM3 ", "COM3"));
    EXPECT_FALSE(PortNameMatches("", "COM3"));
}

namespace {
tarvik::digital::Reply CollectAll(std::initializer_list<int> bytes) {
    tarvik::digital::Reply r;
    for (int b : bytes)
        r.Collect(static_cast<std::uint8_t>(b));
    return r;
}
} // namespace

TEST(CallFrame, CollectionDropsOnlyTheLeadingPreamble) {
    auto r = CollectAll({0xFF, 0xFF, 0x86, 0xFF, 0x01});
    ASSERT_EQ(r.count, 3);
    EXPECT_EQ(r.bytes[0], 0x86);
    EXPECT_EQ(r.bytes[1], 0xFF);
    EXPECT_EQ(r.bytes[2], 0x01);

    EXPECT_EQ(CollectAll({0xFF, 0xFF, 0xFF}).count, 0); // 0xFF only: nothing stored

    // Bytes past the buffer are counted, not stored.
    tarvik::digital::Reply big;
    for (int i = 0; i < 60; ++i)
        big.Collect(static_cast<std::uint8_t>(i + 1));
    EXPECT_EQ(big.count, 60);
    EXPECT_EQ(big.bytes[50], 51);
}

TEST(CallFrame, GuardTurnsAnyEscapeIntoPortBusyAndRecordsTheUnexpected) {
    // A port error is an expected way to fail: busy, not recorded.
    const auto before = UnexpectedFailures();
    EXPECT_EQ(Guarded([]() -> int { throw LineError(LineError::Kind::Open, 5, "held"); }), ResultPortBusy);
    EXPECT_EQ(UnexpectedFailures(), before);
    // Anything else is busy too, and recorded with its text.
    EXPECT_EQ(Guarded([]() -> int { throw std::logic_error("broken invariant"); }), ResultPortBusy);
    EXPECT_EQ(UnexpectedFailures(), before + 1);
    EXPECT_EQ(LastUnexpectedFailure(), "broken invariant");
    EXPECT_EQ(Guarded([]() -> int { throw std::bad_alloc(); }), ResultPortBusy);
    EXPECT_EQ(Guarded([]() -> int { throw 42; }), ResultPortBusy);
    EXPECT_EQ(UnexpectedFailures(), before + 3);
    EXPECT_EQ(LastUnexpectedFailure(), "unknown exception");
    EXPECT_EQ(Guarded([] { return ResultOk; }), ResultOk);
    EXPECT_EQ(UnexpectedFailures(), before + 3);
}
