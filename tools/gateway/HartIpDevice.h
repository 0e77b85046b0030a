// The gateway as a HART device of its own on the HART-IP server: polling address 0, and a long
// address from its identity codes below. It answers the universal commands that say who it is
// (0 identity, 12 message, 13 tag/descriptor/date, 20 long tag), 38 (reset the configuration
// changed flag) and 48 (additional status); every other command with "not implemented".
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "Config.h"
#include "hart/Frame.h"

namespace tarvik::gateway {

// The identity codes the gateway reports in its command 0 reply (not registered with any body:
// private codes, documented in docs/hartip.md).
inline constexpr std::uint16_t kGatewayDeviceType = 0xE1A7; // expanded device type
inline constexpr std::uint16_t kGatewayManufacturer = 0x00E1;
inline constexpr std::uint8_t kGatewayUniversalRevision = 7;
inline constexpr std::uint8_t kGatewayDeviceRevision = 1;
inline constexpr std::uint8_t kGatewaySoftwareRevision = 1;
inline constexpr std::uint8_t kGatewayHardwareSignalling = 0x08; // hardware revision 1, signalling code 0
inline constexpr std::uint8_t kGatewayPreambles = 5;
inline constexpr std::uint8_t kGatewayPolling = 0;
inline constexpr const char* kGatewayMessage = "TARVIK GATEWAY HART-IP SERVER";
inline constexpr const char* kGatewayDescriptor = "TARVIK GATEWAY";

class GatewayDevice {
public:
    explicit GatewayDevice(const HartIpConfig& config);

    // The long address hosts use once they read command 0.
    hart::Address LongAddress() const;
    // Whether `request` is addressed to the gateway itself.
    bool Addressed(const hart::Frame& request) const;
    // The reply PDU (no preambles) to a request addressed to the gateway; `checksumOk` false gives
    // the reply of a device that received a damaged frame.
    void Answer(const hart::Frame& request, hart::FrameBytes& reply);
    // A reply of the gateway to `request` with `code` and `data`.
    void Reply(const hart::Frame& request, std::uint8_t code, std::span<const std::uint8_t> data,
               hart::FrameBytes& reply) const;
    // Its own command 84 summary (sub-device index 0).
    std::vector<std::uint8_t> Summary() const;
    // The 24-bit device ID of a host name, for a gateway configured without one.
    static std::uint32_t DeviceIdOf(const std::string& hostName);

private:
    std::array<std::uint8_t, 3> id_{};
    std::string tag_;
    std::array<std::uint8_t, 3> date_{}; // day, month, year - 1900: the day the gateway started
};

} // namespace tarvik::gateway
