#include "HartIpAccess.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

namespace tarvik::gateway {
namespace {

constexpr std::size_t kMappedAt = 12; // IPv4 in the last four bytes of ::ffff:0:0/96
constexpr int kMappedPrefix = 96;
constexpr int kBitsPerByte = 8;

} // namespace

std::optional<std::array<std::uint8_t, 16>> ParseAddress(const std::string& text) {
    std::array<std::uint8_t, 16> a{};
    if (::inet_pton(AF_INET6, text.c_str(), a.data()) == 1) return a;
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) != 1) return std::nullopt;
    a[10] = a[11] = 0xFF;
    std::memcpy(a.data() + kMappedAt, &v4, sizeof v4);
    return a;
}

std::optional<Network> ParseNetwork(const std::string& text) {
    const auto slash = text.find('/');
    const auto address = ParseAddress(text.substr(0, slash));
    if (!address) return std::nullopt;
    const bool v4 = text.find(':') == std::string::npos;
    Network n{*address, 128};
    if (slash == std::string::npos) return n;
    int bits = -1;
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data() + slash + 1, end, bits);
    if (ec != std::errc() || at != end || slash + 1 == text.size() || bits < 0 || bits > (v4 ? 32 : 128))
        return std::nullopt;
    n.prefix = v4 ? kMappedPrefix + bits : bits;
    return n;
}

bool Contains(const std::vector<Network>& networks, const std::array<std::uint8_t, 16>& address) {
    for (const Network& n : networks) {
        bool inside = true;
        for (int bit = 0; bit < n.prefix && inside; ++bit) {
            const auto byte = static_cast<std::size_t>(bit / kBitsPerByte);
            const auto mask = static_cast<std::uint8_t>(0x80 >> (bit % kBitsPerByte));
            inside = (n.address[byte] & mask) == (address[byte] & mask);
        }
        if (inside) return true;
    }
    return false;
}

} // namespace tarvik::gateway
