#include "PackedText.h"

#include <algorithm>

namespace tarvik::digital {

namespace {

constexpr std::uint8_t kCodeMask = 0x3F;       // the six bits a character keeps
constexpr std::uint8_t kLastLetterCode = 0x1F; // codes up to here stand for '@'..'_'
constexpr std::uint8_t kLetterOffset = 0x40;

std::size_t Groups(std::size_t chars, std::size_t bytes) {
    return std::min(chars / kPackedGroupChars, bytes / kPackedGroupBytes);
}

} // namespace

void PackAscii(std::span<const std::uint8_t> text, std::span<std::uint8_t> packed) {
    const std::size_t groups = Groups(text.size(), packed.size());
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint8_t* c = text.data() + g * kPackedGroupChars;
        std::uint8_t* b = packed.data() + g * kPackedGroupBytes;
        const std::uint8_t c0 = c[0] & kCodeMask, c1 = c[1] & kCodeMask;
        const std::uint8_t c2 = c[2] & kCodeMask, c3 = c[3] & kCodeMask;
        b[0] = static_cast<std::uint8_t>((c0 << 2) | (c1 >> 4));
        b[1] = static_cast<std::uint8_t>(((c1 & 0x0F) << 4) | (c2 >> 2));
        b[2] = static_cast<std::uint8_t>(((c2 & 0x03) << 6) | c3);
    }
}

void UnpackAscii(std::span<const std::uint8_t> packed, std::span<std::uint8_t> text) {
    const std::size_t groups = Groups(text.size(), packed.size());
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint8_t* b = packed.data() + g * kPackedGroupBytes;
        std::uint8_t* c = text.data() + g * kPackedGroupChars;
        const std::uint8_t codes[kPackedGroupChars] = {
            static_cast<std::uint8_t>(b[0] >> 2),
            static_cast<std::uint8_t>(((b[0] & 0x03) << 4) | (b[1] >> 4)),
            static_cast<std::uint8_t>(((b[1] & 0x0F) << 2) | (b[2] >> 6)),
            static_cast<std::uint8_t>(b[2] & kCodeMask),
        };
        for (std::size_t i = 0; i < kPackedGroupChars; ++i)
            c[i] =
                codes[i] <= kLastLetterCode ? static_cast<std::uint8_t>(codes[i] + kLetterOffset) : codes[i];
    }
}

} // namespace tarvik::digital
