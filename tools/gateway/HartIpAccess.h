// Who may use the HART-IP server: client addresses and networks ("192.0.2.7", "10.0.0.0/8",
// "::1", "fd00::/8"), IPv4 also matched in its IPv6-mapped form.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvik::gateway {

struct Network {
    std::array<std::uint8_t, 16> address{}; // IPv4 as ::ffff:a.b.c.d
    int prefix = 128;
    bool operator==(const Network&) const = default;
};

// A network from its text; nothing when it is not an address with an optional /prefix.
std::optional<Network> ParseNetwork(const std::string& text);
// The 16-byte form of a numeric IPv4 or IPv6 address; nothing for anything else.
std::optional<std::array<std::uint8_t, 16>> ParseAddress(const std::string& text);
bool Contains(const std::vector<Network>& networks, const std::array<std::uint8_t, 16>& address);

} // namespace tarvik::gateway
