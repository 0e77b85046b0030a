// HART packed ASCII: four 6-bit character codes in three bytes. Used for tags and the protect text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarvik::digital {

inline constexpr std::size_t kPackedGroupChars = 4; // characters per group
inline constexpr std::size_t kPackedGroupBytes = 3; // bytes per group

// Packs whole groups of four characters from `text` into `packed`, three bytes per group, as many
// groups as both spans hold. Each character contributes its low six bits: no case folding, no range
// check ('a' becomes the code of '!').
void PackAscii(std::span<const std::uint8_t> text, std::span<std::uint8_t> packed);

// Unpacks whole groups of three bytes from `packed` into `text`, four characters per group, as many
// groups as both spans hold. Codes 0x00..0x1F become the characters 0x40..0x5F, codes 0x20..0x3F
// stay as they are, so every character lies in 0x20..0x5F.
void UnpackAscii(std::span<const std::uint8_t> packed, std::span<std::uint8_t> text);

} // namespace tarvik::digital
