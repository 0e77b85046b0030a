// Reply frames of a digital device, built for the tests: preamble, delimiter 0x86, the address,
// command, byte count, two status bytes, data, checksum.
#pragma once

#include "ScriptedPeer.h"

namespace tarvik::test {

inline constexpr std::uint8_t kDelimiterSlaveLong = 0x86;

// The stored part (no preamble) of a full reply; checksum over everything before it.
inline Bytes HartFrame(std::uint8_t command, std::uint8_t status1, std::uint8_t status2, const Bytes& data,
                       const Bytes& address = {0x8A, 0x64, 0x01, 0x02, 0x03}) {
    Bytes f{kDelimiterSlaveLong};
    f.insert(f.end(), address.begin(), address.end());
    f.push_back(command);
    f.push_back(static_cast<std::uint8_t>(data.size() + 2));
    f.push_back(status1);
    f.push_back(status2);
    f.insert(f.end(), data.begin(), data.end());
    std::uint8_t x = 0;
    for (auto b : f)
        x ^= b;
    f.push_back(x);
    return f;
}

// The same with `preamble` 0xFF bytes in front, as it comes down the line.
inline Bytes OnLine(const Bytes& frame, std::size_t preamble = 3) {
    Bytes b(preamble, 0xFF);
    b.insert(b.end(), frame.begin(), frame.end());
    return b;
}

} // namespace tarvik::test
