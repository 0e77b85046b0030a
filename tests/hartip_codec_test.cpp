// The HART-IP codec from hand-written bytes: messages built, datagrams and streams decoded with
// every length judged, HART PDUs taken apart.
#include <gtest/gtest.h>

#include <vector>

#include "hartip/Message.h"
#include "hartip/Stream.h"

using namespace tarvik::hartip;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes Of(const MessageBytes& m) {
    return Bytes(m.Bytes().begin(), m.Bytes().end());
}

// A keep-alive request (seq 1), a session initiate (seq 7, primary, 60000 ms), a pass-through of
// command 0 to polling address 0 (seq 0x1234).
const Bytes kKeepAlive{0x01, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x08};
const Bytes kInitiate{0x01, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x0D, 0x01, 0x00, 0x00, 0xEA, 0x60};
const Bytes kPassThrough{0x01, 0x00, 0x03, 0x00, 0x12, 0x34, 0x00, 0x0D, 0x02, 0x80, 0x00, 0x00, 0x82};

} // namespace

TEST(HartIpMessage, BuildsTheBytesOfTheHeaderAndBodies) {
    MessageBytes m;
    ASSERT_TRUE(BuildRequest(kIdKeepAlive, 1, {}, m));
    EXPECT_EQ(Of(m), kKeepAlive);
    ASSERT_TRUE(BuildRequest(kIdSessionInitiate, 7, EncodeSessionInitiate({kMasterPrimary, 60000}), m));
    EXPECT_EQ(Of(m), kInitiate);
    const Bytes pdu(kPassThrough.begin() + 8, kPassThrough.end());
    ASSERT_TRUE(BuildRequest(kIdPassThrough, 0x1234, pdu, m));
    EXPECT_EQ(Of(m), kPassThrough);
    // An answer carries the request's id and sequence number, its own type and status.
    Header request;
    request.id = kIdSessionInitiate;
    request.sequence = 0xBEEF;
    ASSERT_TRUE(
        BuildAnswer(request, kTypeResponse, kStatusValueAdjusted, EncodeSessionInitiate({0, 1000}), m));
    EXPECT_EQ(Of(m), (Bytes{0x01, 0x01, 0x00, 0x08, 0xBE, 0xEF, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x03, 0xE8}));
    // The longest body fits; one byte more is refused.
    const Bytes longest(kMaxBody, 0x55);
    EXPECT_TRUE(BuildRequest(kIdPassThrough, 0, longest, m));
    EXPECT_EQ(m.size, kMaxMessage);
    EXPECT_FALSE(BuildRequest(kIdPassThrough, 0, Bytes(kMaxBody + 1, 0x55), m));
    EXPECT_EQ(m.size, 0u);
}

TEST(HartIpMessage, DatagramLengthsAreJudgedNeverTrusted) {
    Bytes longest{0x01, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x10};
    longest.resize(kMaxMessage, 0xAA);
    const struct {
        const char* what;
        Bytes bytes;
        Verdict verdict;
    } cases[] = {
        {"keep-alive", kKeepAlive, Verdict::Ok},
        {"initiate", kInitiate, Verdict::Ok},
        {"272 bytes", longest, Verdict::Ok},
        {"nothing", {}, Verdict::ShortHeader},
        {"7 bytes", {0x01, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00}, Verdict::ShortHeader},
        {"count 7", {0x01, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x07}, Verdict::CountBelowHeader},
        {"count 0", {0x01, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00}, Verdict::CountBelowHeader},
        {"count 273", {0x01, 0x00, 0x03, 0x00, 0x00, 0x01, 0x01, 0x11}, Verdict::CountAboveMaximum},
        {"count 65535", {0x01, 0x00, 0x03, 0x00, 0x00, 0x01, 0xFF, 0xFF}, Verdict::CountAboveMaximum},
        {"count 14 of 13",
         {0x01, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x0E, 0x01, 0x00, 0x00, 0xEA, 0x60},
         Verdict::Truncated},
        {"count 8 of 9", {0x01, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x08, 0x00}, Verdict::Trailing},
    };
    for (const auto& c : cases) {
        Message m;
        EXPECT_EQ(DecodeDatagram(c.bytes, m), c.verdict) << c.what;
        EXPECT_EQ(m.bodySize, c.verdict == Verdict::Ok ? c.bytes.size() - kHeaderSize : 0u) << c.what;
    }
    Message m;
    ASSERT_EQ(DecodeDatagram(kInitiate, m), Verdict::Ok);
    EXPECT_EQ(m.header, (Header{1, kTypeRequest, kIdSessionInitiate, 0, 7, 13}));
    EXPECT_EQ(DecodeSessionInitiate(m.Body()), (SessionInitiate{kMasterPrimary, 60000}));
    // Later versions may say more: the first five bytes count; fewer are too few.
    EXPECT_EQ(DecodeSessionInitiate(Bytes{0, 0, 0, 0x10, 0, 9}), (SessionInitiate{0, 4096}));
    EXPECT_FALSE(DecodeSessionInitiate(Bytes{1, 0, 0, 0}));
}

TEST(HartIpStream, MessagesSplitAndJoinedAtEveryPlaceComeOutWhole) {
    Bytes stream = kKeepAlive;
    stream.insert(stream.end(), kInitiate.begin(), kInitiate.end());
    stream.insert(stream.end(), kPassThrough.begin(), kPassThrough.end());
    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
        StreamDecoder d;
        std::vector<Bytes> seen;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            const auto part = std::span(stream).subspan(at, std::min(piece, stream.size() - at));
            EXPECT_EQ(d.Feed(part,
                             [&](const Message& m) {
                                 MessageBytes again;
                                 Build(m.header, m.Body(), again);
                                 seen.push_back(Of(again));
                             }),
                      Verdict::Ok);
        }
        EXPECT_EQ(seen, (std::vector<Bytes>{kKeepAlive, kInitiate, kPassThrough})) << piece;
        EXPECT_TRUE(d.Idle());
    }
}

TEST(HartIpStream, ALengthOutOfBoundsStopsTheStreamForGood) {
    const struct {
        Bytes bad;
        Verdict verdict;
    } cases[] = {
        {{0x01, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x07}, Verdict::CountBelowHeader},
        {{0x01, 0x00, 0x03, 0x00, 0x00, 0x01, 0x01, 0x11}, Verdict::CountAboveMaximum},
        {{0x01, 0x00, 0x03, 0x00, 0x00, 0x01, 0xFF, 0xFF}, Verdict::CountAboveMaximum},
    };
    for (const auto& c : cases) {
        Bytes stream = kKeepAlive;
        stream.insert(stream.end(), c.bad.begin(), c.bad.end());
        stream.insert(stream.end(), kKeepAlive.begin(), kKeepAlive.end());
        StreamDecoder d;
        int messages = 0;
        EXPECT_EQ(d.Feed(stream, [&](const Message&) { ++messages; }), c.verdict);
        EXPECT_EQ(d.Feed(kKeepAlive, [&](const Message&) { ++messages; }), c.verdict);
        EXPECT_EQ(messages, 1); // the one before the bad count only
    }
}

TEST(HartIpPdu, TakesApartWholePdusOnly) {
    using tarvik::hart::FrameType;
    const struct {
        const char* what;
        Bytes pdu;
        bool whole, checksumOk;
        FrameType type;
        std::uint8_t command;
        std::size_t bodySize;
    } cases[] = {
        {"short request", {0x02, 0x80, 0x00, 0x00, 0x82}, true, true, FrameType::Request, 0, 0},
        {"long request",
         {0x82, 0xA1, 0xE1, 0x00, 0x00, 0x01, 0x0D, 0x00, 0xCE},
         true,
         true,
         FrameType::Request,
         13,
         0},
        {"short reply", {0x06, 0x80, 0x01, 0x02, 0x00, 0x00, 0x85}, true, true, FrameType::Reply, 1, 2},
        {"bad checksum", {0x02, 0x80, 0x00, 0x00, 0x83}, true, false, FrameType::Request, 0, 0},
        {"count beyond", {0x02, 0x80, 0x00, 0x01, 0x83}, false, false, FrameType::Request, 0, 0},
        {"count short of", {0x02, 0x80, 0x00, 0x00, 0x82, 0x00}, false, false, FrameType::Request, 0, 0},
        {"expansion bytes", {0x22, 0x80, 0x00, 0x00, 0xA2}, false, false, FrameType::Request, 0, 0},
        {"unknown delimiter", {0x03, 0x80, 0x00, 0x00, 0x83}, false, false, FrameType::Request, 0, 0},
        {"delimiter alone", {0x02}, false, false, FrameType::Request, 0, 0},
        {"nothing", {}, false, false, FrameType::Request, 0, 0},
    };
    for (const auto& c : cases) {
        tarvik::hart::Frame f;
        EXPECT_EQ(DecodePdu(c.pdu, f), c.whole) << c.what;
        EXPECT_EQ(f.checksumOk, c.checksumOk) << c.what;
        if (!c.whole) continue;
        EXPECT_EQ(f.type, c.type) << c.what;
        EXPECT_EQ(f.command, c.command) << c.what;
        EXPECT_EQ(f.bodySize, c.bodySize) << c.what;
    }
    // A PDU built by the HART codec (no preambles) is taken back as it was.
    tarvik::hart::FrameBytes built;
    const std::array<std::uint8_t, tarvik::hart::kLongAddressSize> unique{0x21, 0xE1, 0x00, 0x00, 0x01};
    const std::uint8_t data[] = {1, 2, 3};
    ASSERT_TRUE(tarvik::hart::BuildReply(FrameType::Reply, tarvik::hart::Address::Long(unique),
                                         tarvik::hart::Master::Primary, 48, 0, 0x40, data, 0, built));
    tarvik::hart::Frame f;
    ASSERT_TRUE(DecodePdu(built.Bytes(), f));
    EXPECT_TRUE(f.checksumOk);
    EXPECT_EQ(f.DeviceAddress(), tarvik::hart::Address::Long(unique));
    EXPECT_EQ(f.DeviceStatus(), 0x40);
    EXPECT_EQ(f.Data().size(), 3u);
}
