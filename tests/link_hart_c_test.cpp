// The C surface of the HART master (HartC.h) where the Python tests cannot reach: NULL handles and
// pointers, sizes out of range and too little room for the fields end in named results, never a
// crash, and nothing is sent.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "tarvik/HartC.h"

namespace {

struct MasterDeleter {
    void operator()(TarvikHartMaster* m) const { TarvikHartDestroy(m); }
};

TEST(HartC, BadHandlesPointersAndSizesAreRefused) {
    std::unique_ptr<TarvikHartMaster, MasterDeleter> closed(TarvikHartCreate());
    ASSERT_NE(closed, nullptr);
    TarvikHartMaster* m = closed.get();
    TarvikHartAddress polling0{}, polling64{}, longAddress{1, 0, {0x1C, 0x66, 0x03, 0x09, 0x01}};
    polling64.polling = 64;
    TarvikHartReply reply{};
    TarvikHartField fields[TARVIK_HART_MAX_FIELDS];
    std::int32_t count = -1;
    const std::uint8_t data[4] = {};
    const auto noFrame = [](void*, const TarvikHartFrame*) -> std::int32_t { return 1; };
    const struct {
        const char* what;
        std::function<std::int32_t()> call;
        std::int32_t expected;
    } cases[] = {
        {"open NULL", [] { return TarvikHartOpen(nullptr, 3, 1200, nullptr); }, ResultBadPort},
        {"close NULL", [] { return TarvikHartClose(nullptr); }, ResultBadPort},
        {"options NULL", [] { return TarvikHartDefaultOptions(nullptr); }, ResultBadLength},
        {"command NULL master", [&] { return TarvikHartCommand(nullptr, &polling0, 1, nullptr, 0, &reply); },
         ResultBadPort},
        {"command NULL address", [&] { return TarvikHartCommand(m, nullptr, 1, nullptr, 0, &reply); },
         ResultBadLength},
        {"command NULL reply", [&] { return TarvikHartCommand(m, &polling0, 1, nullptr, 0, nullptr); },
         ResultBadLength},
        {"polling 64", [&] { return TarvikHartCommand(m, &polling64, 1, nullptr, 0, &reply); },
         ResultBadLength},
        {"command 256", [&] { return TarvikHartCommand(m, &polling0, 256, nullptr, 0, &reply); },
         ResultBadLength},
        {"256 bytes", [&] { return TarvikHartCommand(m, &polling0, 1, data, 256, &reply); }, ResultBadLength},
        {"bytes but NULL", [&] { return TarvikHartCommand(m, &polling0, 1, nullptr, 2, &reply); },
         ResultBadLength},
        {"not open", [&] { return TarvikHartCommand(m, &longAddress, 1, data, 4, &reply); }, ResultBadPort},
        {"scan not open", [&] { return TarvikHartScan(m, 0, 15, 0, nullptr, nullptr, nullptr); },
         ResultBadPort},
        {"scan 5..4", [&] { return TarvikHartScan(m, 5, 4, 0, nullptr, nullptr, nullptr); }, ResultBadLength},
        {"scan to 64", [&] { return TarvikHartScan(m, 0, 64, 0, nullptr, nullptr, nullptr); },
         ResultBadLength},
        {"scan until NULL callback",
         [&] { return TarvikHartScanUntil(m, 0, 15, 0, nullptr, nullptr, nullptr); }, ResultBadLength},
        {"listen NULL callback", [&] { return TarvikHartListen(m, 10, nullptr, nullptr); }, ResultBadLength},
        {"listen not open", [&] { return TarvikHartListen(m, 10, noFrame, nullptr); }, ResultBadPort},
        {"tag NULL", [&] { return TarvikHartWriteTag(m, &polling0, nullptr, nullptr, &reply); },
         ResultBadTextLength},
        {"tag lower case", [&] { return TarvikHartWriteTag(m, &polling0, "tt-1", nullptr, &reply); },
         ResultBadTextLength},
        {"descriptor 17", [&] { return TarvikHartWriteTag(m, &polling0, "TT", "ABCDEFGHIJKLMNOPQ", &reply); },
         ResultBadTextLength},
        {"message 33",
         [&] { return TarvikHartWriteMessage(m, &polling0, std::string(33, 'A').c_str(), &reply); },
         ResultBadTextLength},
        {"polling address 64", [&] { return TarvikHartWritePollingAddress(m, &polling0, 64, &reply); },
         ResultBadLength},
        {"decode NULL count", [&] { return TarvikHartDecode(1, data, 4, fields, 4, nullptr); },
         ResultBadLength},
        {"decode NULL data", [&] { return TarvikHartDecode(1, nullptr, 4, fields, 4, &count); },
         ResultBadLength},
        {"decode 2 fields of 9", [&] { return TarvikHartDecode(15, nullptr, 0, fields, 2, &count); },
         ResultOk},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.call(), c.expected) << c.what;
    TarvikHartDestroy(nullptr);
}

TEST(HartC, DecodeNamesWhatTheReplyHolds) {
    TarvikHartField fields[TARVIK_HART_MAX_FIELDS];
    std::int32_t count = 0;
    const std::uint8_t pv[] = {32, 0x42, 0x48, 0x00, 0x00}; // unit 32, 50.0
    ASSERT_EQ(TarvikHartDecode(1, pv, sizeof pv, fields, TARVIK_HART_MAX_FIELDS, &count), ResultOk);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(fields[0].name, "pv");
    EXPECT_EQ(fields[0].number, 50.0);
    EXPECT_STREQ(fields[1].name, "pv_unit");
    EXPECT_EQ(fields[1].number, 32);
    // Too little room: what fits, and the result says more was there.
    const std::uint8_t identity[12] = {254, 0x1C, 0x66, 5, 7, 1, 1, 0x10, 0, 3, 9, 1};
    EXPECT_EQ(TarvikHartDecode(0, identity, sizeof identity, fields, 3, &count), ResultBadLength);
    EXPECT_EQ(count, 3);
    // A command the codec does not decode: no fields.
    EXPECT_EQ(TarvikHartDecode(200, pv, sizeof pv, fields, TARVIK_HART_MAX_FIELDS, &count), ResultOk);
    EXPECT_EQ(count, 0);
}

} // namespace
