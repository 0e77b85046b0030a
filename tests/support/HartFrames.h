// Reply frames of a digital device, built for the tests: preamble, delimiter 0x86, the address,
// command, byte count, two status bytes, data, checksum.
#pragma once

#include "ScriptedPeer.h"

namespace tarvik::test {

inline constexpr std::uint8_t kDelimiterSlaveLong = 0x86;

// Appends byte by byte: g++ 12 at -O2 misreads the inlined growth of a range insert into a small
// vector as an out-of-bounds copy.
inline void Append(Bytes& to, const Bytes& bytes) {
    for (std::uint8_t b : bytes)
        to.push_back(b);
}

// The stored part (no preamble) of a full reply; checksum over everything before it.
inline Bytes HartFrame(std::uint8_t command, std::uint8_t status1, std::uint8_t status2, const Bytes& data,
                       const Bytes& address = {0x8A, 0x64, 0x01, 0x02, 0x03}) {
    Bytes f{kDelimiterSlaveLong};
    Append(f, address);
    f.push_back(command);
    f.push_back(static_cast<std::uint8_t>(data.size() + 2));
    f.push_back(status1);
    f.push_back(status2);
    Append(f, data);
    std::uint8_t x = 0;
    for (auto b : f)
        x ^= b;
    f.push_back(x);
    return f;
}

// The same with `preamble` 0xFF bytes in front, as it comes down the line.
inline Bytes OnLine(const Bytes& frame, std::size_t preamble = 3) {
    Bytes b(preamble, 0xFF);
    Append(b, frame);
    return b;
}

} // namespace tarvik::test
