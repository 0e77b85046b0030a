// The one notation for a HART device's long address, printed by `tarvik scan` and accepted by
// every addressed command: device type and the three identifier bytes in hexadecimal,
// "64:010203". Also accepted: "64:01:02:03" and a leading "0x".
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace tarvik::tools {

struct HartAddress {
    std::uint8_t deviceType = 0;
    std::array<std::uint8_t, 3> id{}; // IdHigh, IdMid, IdLow
    bool operator==(const HartAddress&) const = default;
};

std::optional<HartAddress> ParseAddress(const std::string& text);
std::string FormatAddress(const HartAddress& address);

// The long address of any HART device as `tarvik hart scan` prints it, "1C:66:030401": MM (the six
// low bits of its first identity byte, 00..3F), device type TT and device ID IIIIII, hexadecimal.
struct LongAddressText {
    bool shaped = false; // the text has the form MM:TT:IIIIII (two colons)
    std::optional<std::array<std::uint8_t, 5>> bytes;
    std::string reason; // why a text of that form is none ("the first byte ... 00..3F")
};
LongAddressText ParseLongAddress(const std::string& text);

// "3", "COM3", "com3", "\\.\COM12" -> the number (the library judges its range); nothing for
// text that is not a port.
std::optional<int> ParsePort(const std::string& text);

} // namespace tarvik::tools
