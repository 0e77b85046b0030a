// Table-driven end-to-end rows of the digital exports: a scripted device answers one request, and
// the row states the request that must arrive, the result, and every output the call may write.
// Uses only the C exports and a Peer, so the tables run on Linux and under Wine alike.
#pragma once

#include <array>
#include <cstdio>
#include <functional>
#include <string>
#include <type_traits>

#include "e2e/E2E.h"

namespace tarvik::e2e::digital {

inline constexpr std::int32_t kPort = 3;     // wired to a peer in the Windows test setup
inline constexpr std::int32_t kBaud = 38400; // the shortest wait, 115 ms
// In a row's port: a port number that the system does not list, found when the row runs.
inline constexpr std::int32_t kAbsentPort = -1000;
inline constexpr std::int32_t kWordUnset = 0x5A5A5A5A;
inline constexpr std::uint8_t kByteUnset = 0xA5;
inline const Bytes kAddress{0x8A, 0x64, 0x01, 0x02, 0x03};
inline const Bytes kBroadcast{0x80, 0x00, 0x00, 0x00, 0x00};

// Every output any digital export has, preset to markers so that a stray write shows.
struct Outputs {
    std::array<std::int32_t, 4> word;                 // Value, SetPoint / SetPointInUnits, Value1..4
    std::array<std::uint8_t, 4> unit;                 // Units, Units1..4
    std::array<std::uint8_t, 4> byte;                 // State, Setting1..4, IdHigh/IdMid/IdLow/DeviceType
    std::array<std::array<std::uint8_t, 8>, 4> flags; // AddStatus0..3
    std::array<std::uint8_t, 32> text;                // TagRecord, GasTypeText, with room to spare
    std::uint8_t status1 = kByteUnset, status2 = kByteUnset;

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

// Hex digits of every element, so that a mismatch shows both arrays in full.
template <class T, std::size_t N>
std::string Hex(const std::array<T, N>& values) {
    std::string s;
    for (const T& v : values) {
        if constexpr (std::is_integral_v<T>) {
            char digits[16];
            std::snprintf(digits, sizeof digits, "%X", static_cast<unsigned>(v));
            s += s.empty() ? "" : " ";
            s += digits;
        } else {
            s += (s.empty() ? "[" : " [") + Hex(v) + "]";
        }
    }
    return s;
}

inline void ExpectOutputs(const std::string& row, const Outputs& actual, const Outputs& expected) {
    E2E_EXPECT_EQ(Hex(actual.word), Hex(expected.word)) << row << ": word outputs";
    E2E_EXPECT_EQ(Hex(actual.unit), Hex(expected.unit)) << row << ": unit outputs";
    E2E_EXPECT_EQ(Hex(actual.byte), Hex(expected.byte)) << row << ": byte outputs";
    E2E_EXPECT_EQ(Hex(actual.flags), Hex(expected.flags)) << row << ": flag outputs";
    E2E_EXPECT_EQ(Hex(actual.text), Hex(expected.text)) << row << ": text output";
    E2E_EXPECT_EQ(actual.status1, expected.status1) << row << ": status 1";
    E2E_EXPECT_EQ(actual.status2, expected.status2) << row << ": status 2";
}

using Call = std::function<std::int32_t(std::int32_t port, std::int32_t baud, Outputs&)>;

struct Row {
    std::string name;
    Call call;
    Bytes line;    // what the device sends back; empty: nothing
    Bytes request; // what must reach the device; empty: nothing at all
    std::int32_t result;
    std::function<void(Outputs&)> writes; // the outputs the call writes; null: none
    std::int32_t port = kPort;
    std::int32_t baud = kBaud;
};

// Runs one row against a fresh scripted device on kPort.
inline void RunRow(const std::string& table, const Row& row) {
    const std::string name = table + "/" + row.name;
    auto peer = MakePeer(kPort);
    if (!row.line.empty()) peer->Reply(row.line);
    const std::int32_t port = row.port == kAbsentPort ? AbsentPort() : row.port;
    Outputs actual;
    E2E_EXPECT_EQ(row.call(port, row.baud, actual), row.result) << name;
    Outputs expected;
    if (row.writes) row.writes(expected);
    ExpectOutputs(name, actual, expected);
    if (row.request.empty()) {
        E2E_EXPECT_TRUE(peer->Received().empty()) << name << ": sent " << peer->Received().size() << " bytes";
    } else {
        E2E_EXPECT_TRUE(peer->WaitForRequests(1));
        const auto requests = peer->Requests();
        E2E_EXPECT_EQ(requests.size(), 1u) << name;
        if (!requests.empty()) {
            E2E_EXPECT_EQ(requests[0], row.request) << name;
        }
    }
}

template <std::size_t N>
void RunRows(const char* table, const Row (&rows)[N]) {
    for (const Row& row : rows)
        RunRow(table, row);
}

// A request as the library must send it: preamble, delimiter, address, command, byte count,
// data, checksum.
inline Bytes Request(std::uint8_t command, const Bytes& data = {}, const Bytes& address = kAddress) {
    Bytes r(5, 0xFF);
    r.push_back(0x82);
    r.insert(r.end(), address.begin(), address.end());
    r.push_back(command);
    r.push_back(static_cast<std::uint8_t>(data.size()));
    r.insert(r.end(), data.begin(), data.end());
    std::uint8_t x = 0;
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
inline Bytes WithTrailer(Bytes frame, std::uint8_t extra = 0x99) {
    frame.push_back(extra);
    return frame;
}
inline Bytes Cut(Bytes frame, std::size_t n) {
    frame.resize(n);
    return frame;
}
// Sets the byte count and keeps the checksum right.
inline Bytes WithByteCount(Bytes frame, std::uint8_t count) {
    frame.back() ^= frame[7] ^ count;
    frame[7] = count;
    return frame;
}

} // namespace tarvik::e2e::digital
