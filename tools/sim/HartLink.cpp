#include "HartLink.h"

#include <algorithm>
#include <bit>
#include <cstdio>

namespace tarvik::sim {
namespace {

// Delimiter, five address bytes, command, byte count.
constexpr std::size_t kHeaderSize = 1 + kAddressSize + 2;
constexpr std::size_t kPosCommand = 1 + kAddressSize;
constexpr std::size_t kPosByteCount = kPosCommand + 1;
constexpr std::uint8_t kSixBits = 0x3F;
constexpr std::uint8_t kLowCodeLimit = 0x1F; // codes up to this unpack to 0x40..0x5F
constexpr std::uint8_t kLowCodeOffset = 0x40;

} // namespace

std::uint8_t XorOf(std::span<const std::uint8_t> bytes) {
    std::uint8_t x = 0;
    for (std::uint8_t b : bytes)
        x ^= b;
    return x;
}

std::vector<HartRequest> HartRequestParser::Feed(std::span<const std::uint8_t> bytes) {
    std::vector<HartRequest> out;
    for (std::uint8_t b : bytes) {
        if (buffer_.empty()) {
            // Between frames: preamble and stray bytes are skipped until a request delimiter.
            if (b == kDelimiterRequest) buffer_.push_back(b);
            continue;
        }
        buffer_.push_back(b);
        if (buffer_.size() < kHeaderSize) continue;
        const std::size_t total = kHeaderSize + buffer_[kPosByteCount] + 1;
        if (buffer_.size() < total) continue;
        HartRequest r;
        std::copy_n(buffer_.begin() + 1, kAddressSize, r.address.begin());
        r.command = buffer_[kPosCommand];
        r.data.assign(buffer_.begin() + kHeaderSize, buffer_.end() - 1);
        r.checksumOk = XorOf(std::span(buffer_).first(total - 1)) == buffer_.back();
        out.push_back(std::move(r));
        buffer_.clear();
    }
    return out;
}

void HartRequestParser::Reset() {
    buffer_.clear();
}

Bytes BuildReply(const std::array<std::uint8_t, kAddressSize>& address, std::uint8_t command,
                 std::uint8_t status1, std::uint8_t status2, std::span<const std::uint8_t> data,
                 std::size_t preambles) {
    Bytes out(preambles, kPreambleByte);
    const std::size_t start = out.size();
    out.push_back(kDelimiterReply);
    out.insert(out.end(), address.begin(), address.end());
    out.push_back(command);
    out.push_back(static_cast<std::uint8_t>(data.size() + 2));
    out.push_back(status1);
    out.push_back(status2);
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(XorOf(std::span(out).subspan(start)));
    return out;
}

Bytes PackAscii(std::string_view text) {
    std::string padded(text);
    while (padded.size() % 4 != 0)
        padded.push_back(' ');
    Bytes out;
    for (std::size_t i = 0; i < padded.size(); i += 4) {
        std::uint8_t c[4];
        for (std::size_t k = 0; k < 4; ++k)
            c[k] = static_cast<std::uint8_t>(padded[i + k]) & kSixBits;
        out.push_back(static_cast<std::uint8_t>((c[0] << 2) | (c[1] >> 4)));
        out.push_back(static_cast<std::uint8_t>(((c[1] & 0x0F) << 4) | (c[2] >> 2)));
        out.push_back(static_cast<std::uint8_t>(((c[2] & 0x03) << 6) | c[3]));
    }
    return out;
}

std::string UnpackAscii(std::span<const std::uint8_t> packed) {
    std::string out;
    for (std::size_t i = 0; i + 3 <= packed.size(); i += 3) {
        const std::uint8_t b0 = packed[i], b1 = packed[i + 1], b2 = packed[i + 2];
        const std::uint8_t codes[4] = {
            static_cast<std::uint8_t>(b0 >> 2),
            static_cast<std::uint8_t>(((b0 & 0x03) << 4) | (b1 >> 4)),
            static_cast<std::uint8_t>(((b1 & 0x0F) << 2) | (b2 >> 6)),
            static_cast<std::uint8_t>(b2 & kSixBits),
        };
        for (std::uint8_t c : codes)
            out.push_back(static_cast<char>(c <= kLowCodeLimit ? c + kLowCodeOffset : c));
    }
    return out;
}

void AppendFloat(Bytes& out, float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

float FloatAt(std::span<const std::uint8_t> bytes, std::size_t pos) {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < 4; ++i)
        bits = (bits << 8) | bytes[pos + i];
    return std::bit_cast<float>(bits);
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    char buf[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        out += buf;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

} // namespace tarvik::sim
