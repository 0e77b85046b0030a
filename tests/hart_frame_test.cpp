#include <gtest/gtest.h>

#include "TarvikDLL.h"
#include "digital/Hart.h"
#include "support/HartFrames.h"

using namespace tarvik::digital;
using tarvik::test::Bytes;
using tarvik::test::HartFrame;

namespace {

Reply Stored(const Bytes& bytes) {
    Reply r;
    for (auto b : bytes)
        r.Collect(b);
    return r;
}

// A reply of exactly `k` stored bytes: a full frame of length L, cut or padded.
Reply OfLength(int L, int k, std::uint8_t s2 = 0, std::uint8_t byteCount = 0) {
    Bytes data(static_cast<std::size_t>(L - 11), 0x11);
    Bytes f = HartFrame(1, 0, s2, data);
    if (byteCount) {
        f[7] = byteCount;
        f.back() = 0;
        for (std::size_t i = 0; i + 1 < f.size(); ++i)
            f.back() ^= f[i];
    }
    f.resize(static_cast<std::size_t>(k), 0x22);
    return Stored(f);
}

// A short reply (status only) of 11 stored bytes, with a correct checksum.
Reply ShortReply(std::uint8_t byteCount = 2) {
    Bytes f = HartFrame(1, 0x05, 0x00, {});
    f[7] = byteCount;
    f[10] = 0;
    for (int i = 0; i < 10; ++i)
        f[10] ^= f[static_cast<std::size_t>(i)];
    return Stored(f);
}

} // namespace

TEST(HartFrame, RequestOfReadFlowIsTheWorkedFrame) {
    const Bytes expected{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0x8A, 0x64, 0x01, 0x02, 0x03, 0x01, 0x00, 0x6D};
    EXPECT_EQ(BuildRequest(Address::Device(0x64, 0x01, 0x02, 0x03), 1, {}), expected);
}

TEST(HartFrame, RequestCarriesDataAndByteCountAndUsesLowBytesOfSlots) {
    const std::uint8_t data[] = {0x39, 0x42, 0x48, 0x00, 0x00};
    const Bytes f = BuildRequest(Address::Device(0x164, 0x101, 0x202, 0x303), 0xEC, data);
    ASSERT_EQ(f.size(), 19u);
    EXPECT_EQ(f[7], 0x64);
    EXPECT_EQ(f[8], 0x01);
    EXPECT_EQ(f[12], 5);
    EXPECT_EQ(Bytes(f.begin() + 13, f.begin() + 18), Bytes(data, data + 5));
    EXPECT_EQ(XorOf(std::span(f).subspan(5, 13)), f[18]);
    // Broadcast requests: 0x80 0 0 0 0, checksum 0x02 for command 0.
    EXPECT_EQ(BuildRequest(Address::Broadcast(), 0, {}).back(), 0x02);
    EXPECT_EQ(BuildRequest(Address::Broadcast(), 0x0D, {}).back(), 0x0F);
}

TEST(HartFrame, ClassificationOverEveryStoredCountForLength16) {
    const CommandSpec desc{.command = 1, .fullLength = 16};
    for (int k = 0; k <= 51; ++k) {
        Classification c;
        if (k == 11 || k == 12) {
            Reply r = ShortReply();
            if (k == 12) r.Collect(0x77); // a trailing byte after a short reply
            c = Classify(r, desc);
            EXPECT_EQ(c.result, ResultErrorReply) << k;
            EXPECT_TRUE(c.status);
            EXPECT_FALSE(c.full);
            continue;
        }
        c = Classify(OfLength(16, k), desc);
        if (k == 16 || k == 17) {
            EXPECT_EQ(c.result, ResultOk) << k;
            EXPECT_TRUE(c.full && c.status);
        } else {
            EXPECT_EQ(c.result, ResultBadLength) << k;
            EXPECT_FALSE(c.full || c.status);
        }
    }
    Reply sixty;
    for (int i = 0; i < 60; ++i)
        sixty.Collect(0x10);
    EXPECT_EQ(Classify(sixty, desc).result, ResultBadLength);
}

TEST(HartFrame, ChecksumAndStatus2Rules) {
    const CommandSpec desc{.command = 1, .fullLength = 16};
    struct Case {
        std::uint8_t status2;
        int result;
    } cases[] = {{0x00, ResultOk},
                 {0x40, ResultOk},
                 {0x50, ResultDeviceStatus},
                 {0x80, ResultDeviceStatus},
                 {0x01, ResultDeviceStatus}};
    for (const auto& c : cases)
        EXPECT_EQ(Classify(OfLength(16, 16, c.status2), desc).result, c.result);

    Reply bad = OfLength(16, 16);
    bad.bytes[12] ^= 0x01;
    EXPECT_EQ(Classify(bad, desc).result, ResultBadChecksum);
    EXPECT_FALSE(Classify(bad, desc).status);

    Reply badShort = ShortReply();
    badShort.bytes[10] ^= 0xFF;
    EXPECT_EQ(Classify(badShort, desc).result, ResultErrorReplyChecksum);
    EXPECT_FALSE(Classify(badShort, desc).status);

    // Commands that never report the device status stay clean whatever Status2 holds.
    const CommandSpec noStatus{.command = 48, .fullLength = 15, .deviceStatus = false};
    EXPECT_EQ(Classify(OfLength(15, 15, 0x80), noStatus).result, ResultOk);
}

TEST(HartFrame, LengthTwelveIsFullOnlyAndByteCountTestDecides) {
    const CommandSpec plain{.command = 198, .fullLength = 12};
    const CommandSpec tested{.command = 194, .fullLength = 12, .byteCountTest = true};
    // 12 bytes: always a full reply; with the test, byte count 3 is required.
    EXPECT_EQ(Classify(OfLength(12, 12, 0, 7), plain).result, ResultOk);
    EXPECT_EQ(Classify(OfLength(12, 12, 0, 3), tested).result, ResultOk);
    EXPECT_EQ(Classify(OfLength(12, 13, 0, 3), tested).result, ResultOk);
    EXPECT_EQ(Classify(OfLength(12, 12, 0, 4), tested).result, ResultBadLength);
    EXPECT_FALSE(Classify(OfLength(12, 12, 0, 4), tested).status);
    // A wrong checksum wins over a wrong byte count.
    Reply bad = OfLength(12, 12, 0, 4);
    bad.bytes[11] ^= 1;
    EXPECT_EQ(Classify(bad, tested).result, ResultBadChecksum);
    // Short replies: byte count 2 required under the test, for both checksum outcomes.
    EXPECT_EQ(Classify(ShortReply(2), tested).result, ResultErrorReply);
    EXPECT_EQ(Classify(ShortReply(5), tested).result, ResultBadLength);
    Reply badShort = ShortReply(2);
    badShort.bytes[10] ^= 1;
    EXPECT_EQ(Classify(badShort, tested).result, ResultErrorReplyChecksum);
    EXPECT_EQ(Classify(OfLength(12, 14, 0, 3), tested).result, ResultBadLength);
}

TEST(HartFrame, WordsAreAssembledMostSignificantFirst) {
    Reply r = Stored(HartFrame(1, 0, 0, {0x39, 0x42, 0xC8, 0x00, 0x00}));
    EXPECT_EQ(WordAt(r, 11), 0x42C80000);
    Reply neg = Stored(HartFrame(1, 0, 0, {0x39, 0xC4, 0x79, 0xC0, 0x00}));
    EXPECT_EQ(static_cast<std::uint32_t>(WordAt(neg, 11)), 0xC479C000u);
}

TEST(HartFrame, AReplyIsCompleteAtItsByteCountOrOnceNoCountCouldBeAccepted) {
    const CommandSpec flow{.command = 1, .fullLength = 16};
    const Bytes full = HartFrame(1, 0x00, 0x00, {0x39, 0x42, 0xC8, 0x00, 0x00}); // byte count 7: 16 bytes
    Reply r;
    for (std::size_t i = 0; i < full.size(); ++i) {
        EXPECT_FALSE(FrameComplete(r, flow)) << i;
        // What is still missing is never overstated: a wait sized by it cannot outlast the reply.
        EXPECT_GE(FrameBytesMissing(r, flow), 1) << i;
        EXPECT_LE(FrameBytesMissing(r, flow), 16 - r.count) << i;
        // The likely rest of a full reply is exact from its first byte on; the bound stays the bound.
        EXPECT_EQ(FrameBytesRemaining(r, flow).likely, 16 - r.count) << i;
        EXPECT_EQ(FrameBytesRemaining(r, flow).atLeast, FrameBytesMissing(r, flow)) << i;
        r.Collect(full[i]);
    }
    EXPECT_EQ(FrameBytesRemaining(r, flow).likely, 0);
    EXPECT_TRUE(FrameComplete(r, flow));
    EXPECT_EQ(FrameBytesMissing(r, flow), 0);
    // Once the byte count is in, the bound is exact.
    Reply counted;
    for (std::size_t i = 0; counted.count <= static_cast<std::int32_t>(kPosByteCount); ++i)
        counted.Collect(full[i]);
    EXPECT_EQ(FrameBytesMissing(counted, flow), 16 - counted.count);

    // A short reply (byte count 2) ends after 11 bytes.
    Reply s;
    for (std::uint8_t b : HartFrame(1, 0x40, 0x00, {})) {
        // Taken for a full reply until its byte count says otherwise.
        const FrameRemaining left = FrameBytesRemaining(s, flow);
        EXPECT_EQ(left.likely,
                  s.count <= static_cast<std::int32_t>(kPosByteCount) ? 16 - s.count : 11 - s.count);
        s.Collect(b);
    }
    EXPECT_EQ(s.count, 11);
    EXPECT_TRUE(FrameComplete(s, flow));

    // A byte count that promises more than any accepted length: complete once the count passes
    // L + 1 (and 12), whatever is still to come.
    Reply big;
    Bytes huge = HartFrame(1, 0x00, 0x00, Bytes(40, 0x31));
    for (std::size_t i = 0; i < huge.size() && !FrameComplete(big, flow); ++i) {
        EXPECT_LE(FrameBytesMissing(big, flow), 18 - big.count) << i;
        big.Collect(huge[i]);
    }
    EXPECT_EQ(big.count, 18);
}

TEST(HartFrame, OnlyMissingOrDamagedRepliesAreWorthAnotherTry) {
    for (std::int32_t rc : {ResultNoReply, ResultBadChecksum, ResultErrorReplyChecksum, ResultBadLength})
        EXPECT_TRUE(Retryable(rc)) << rc;
    for (std::int32_t rc :
         {ResultOk, ResultDeviceStatus, ResultErrorReply, ResultEchoMismatch, ResultPortBusy})
        EXPECT_FALSE(Retryable(rc)) << rc;
}
