#include "Address.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace tarvik::tools {
namespace {

std::optional<std::uint8_t> HexByte(const std::string& text, std::size_t pos) {
    if (pos + 2 > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = pos; i < pos + 2; ++i) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        if (c >= '0' && c <= '9')
            value = value * 16 + (c - '0');
        else if (c >= 'a' && c <= 'f')
            value = value * 16 + (c - 'a' + 10);
        else
            return std::nullopt;
    }
    return static_cast<std::uint8_t>(value);
}

} // namespace

std::optional<HartAddress> ParseAddress(const std::string& input) {
    std::string text = input;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = text.substr(2);
    std::string digits;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ':') {
            // Colons only between bytes: after the type, and optionally between identifier bytes.
            if (digits.size() % 2 != 0 || digits.empty() || i + 1 == text.size() || text[i + 1] == ':')
                return std::nullopt;
            continue;
        }
        digits.push_back(text[i]);
    }
    if (digits.size() != 8 || text.find(':') == std::string::npos) return std::nullopt;
    const std::size_t colons = static_cast<std::size_t>(std::count(text.begin(), text.end(), ':'));
    if (colons != 1 && colons != 3) return std::nullopt;
    if (text.find(':') != 2) return std::nullopt; // the device type comes first, as two digits
    HartAddress a;
    const auto type = HexByte(digits, 0);
    if (!type) return std::nullopt;
    a.deviceType = *type;
    for (std::size_t k = 0; k < 3; ++k) {
        const auto b = HexByte(digits, 2 + 2 * k);
        if (!b) return std::nullopt;
        a.id[k] = *b;
    }
    return a;
}

LongAddressText ParseLongAddress(const std::string& text) {
    constexpr std::uint8_t kFirstByteMax = 0x3F; // the master and burst bits are not the device's
    LongAddressText out;
    out.shaped = std::count(text.begin(), text.end(), ':') == 2;
    if (!out.shaped) return out;
    if (text.size() != 12 || text[2] != ':' || text[5] != ':') {
        out.reason = "a long address has the form MM:TT:IIIIII (like 1C:66:030401)";
        return out;
    }
    const std::string digits = text.substr(0, 2) + text.substr(3, 2) + text.substr(6);
    std::array<std::uint8_t, 5> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto b = HexByte(digits, 2 * i);
        if (!b) {
            out.reason = "a long address MM:TT:IIIIII is hexadecimal (like 1C:66:030401)";
            return out;
        }
        bytes[i] = *b;
    }
    if (bytes[0] > kFirstByteMax) {
        out.reason = "the first byte of a long address MM:TT:IIIIII must be 00..3F (the six low bits of the "
                     "device's first identity byte)";
        return out;
    }
    out.bytes = bytes;
    return out;
}

std::string FormatAddress(const HartAddress& a) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02X:%02X%02X%02X", a.deviceType, a.id[0], a.id[1], a.id[2]);
    return buf;
}

std::optional<int> ParsePort(const std::string& input) {
    std::string text = input;
    if (text.rfind("\\\\.\\", 0) == 0) text = text.substr(4);
    if (text.size() > 3 && std::toupper(static_cast<unsigned char>(text[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(text[1])) == 'O' &&
        std::toupper(static_cast<unsigned char>(text[2])) == 'M')
        text = text.substr(3);
    int n = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, n);
    if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return n;
}

} // namespace tarvik::tools
