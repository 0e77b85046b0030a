// Table-driven end-to-end cases of the digital exports: a scripted device answers one request,
// and the case states the request that must arrive, the result, and every output the call may
// write. Uses only the C interface and the scripted peer.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>

#include "TarvikDLL.h"
#include "support/HartFrames.h"

namespace tarvik::test::digital {

inline constexpr int32_t kPort = 5;
inline constexpr int32_t kBaud = 38400; // the shortest wait, 115 ms
inline constexpr int32_t kWordUnset = 0x5A5A5A5A;
inline constexpr uint8_t kByteUnset = 0xA5;
inline const Bytes kAddress{0x8A, 0x64, 0x01, 0x02, 0x03};
inline const Bytes kBroadcast{0x80, 0x00, 0x00, 0x00, 0x00};

// Every output any digital export has, preset to markers so that a stray write shows.
struct Outputs {
    std::array<int32_t, 4> word;                 // Value, SetPoint / SetPointInUnits, Value1..4
    std::array<uint8_t, 4> unit;                 // Units, Units1..4
    std::array<uint8_t, 4> byte;                 // State, Setting1..4, IdHigh/IdMid/IdLow/DeviceType
    std::array<std::array<uint8_t, 8>, 4> flags; // AddStatus0..3
    std::array<uint8_t, 32> text;                // TagRecord, GasTypeText, with room to spare
    uint8_t status1 = kByteUnset, status2 = kByteUnset;

    Outputs() {
        word.fill(kWordUnset);
        unit.fill(kByteUnset);
        byte.fill(kByteUnset);
        for (auto& f : flags)
            f.fill(kByteUnset);
        text.fill(kByteUnset);
    }
    char* Text() { return reinterpret_cast<char*>(text.data()); }
};

inline void ExpectOutputs(const Outputs& actual, const Outputs& expected) {
    EXPECT_EQ(actual.word, expected.word);
    EXPECT_EQ(actual.unit, expected.unit);
    EXPECT_EQ(actual.byte, expected.byte);
    EXPECT_EQ(actual.flags, expected.flags);
    EXPECT_EQ(actual.text, expected.text);
    EXPECT_EQ(actual.status1, expected.status1);
    EXPECT_EQ(actual.status2, expected.status2);
}

using Call = std::function<int32_t(int32_t port, int32_t baud, Outputs&)>;

struct E2eCase {
    std::string name;
    Call call;
    Bytes line;    // what the device sends back; empty: nothing
    Bytes request; // what must reach the device; empty: nothing at all
    int32_t result;
    std::function<void(Outputs&)> writes; // the outputs the call writes; null: none
    int32_t port = kPort;
    int32_t baud = kBaud;
};

inline void PrintTo(const E2eCase& c, std::ostream* os) {
    *os << c.name;
}

inline std::string CaseName(const testing::TestParamInfo<E2eCase>& info) {
    return info.param.name;
}

// Runs one case against a fresh scripted device on kPort.
inline void RunCase(const E2eCase& c) {
    ScriptedPeer peer(kPort);
    if (!c.line.empty()) peer.Reply(c.line);
    Outputs actual;
    EXPECT_EQ(c.call(c.port, c.baud, actual), c.result);
    Outputs expected;
    if (c.writes) c.writes(expected);
    ExpectOutputs(actual, expected);
    if (c.request.empty()) {
        EXPECT_TRUE(peer.Received().empty());
    } else {
        ASSERT_EQ(peer.Requests().size(), 1u);
        EXPECT_EQ(peer.Requests()[0], c.request);
    }
}

// A request as the library must send it: preamble, delimiter, address, command, byte count,
// data, checksum.
inline Bytes Request(uint8_t command, const Bytes& data = {}, const Bytes& address = kAddress) {
    Bytes r(5, 0xFF);
    r.push_back(0x82);
    r.insert(r.end(), address.begin(), address.end());
    r.push_back(command);
    r.push_back(static_cast<uint8_t>(data.size()));
    r.insert(r.end(), data.begin(), data.end());
    uint8_t x = 0;
    for (std::size_t i = 5; i < r.size(); ++i)
        x ^= r[i];
    r.push_back(x);
    return r;
}

// Reply shapes, built from a correct frame.
inline Bytes BadChecksum(Bytes frame) {
    frame.back() ^= 0x01;
    return frame;
}
inline Bytes WithTrailer(Bytes frame, uint8_t extra = 0x99) {
    frame.push_back(extra);
    return frame;
}
inline Bytes Cut(Bytes frame, std::size_t n) {
    frame.resize(n);
    return frame;
}
// Sets the byte count and keeps the checksum right.
inline Bytes WithByteCount(Bytes frame, uint8_t count) {
    frame.back() ^= frame[7] ^ count;
    frame[7] = count;
    return frame;
}

} // namespace tarvik::test::digital
