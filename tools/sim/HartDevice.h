// A simulated HART field device: address matching, the universal commands the library uses
// (0, 11, 13, 48), write protection (128), backup (39), short error replies for refused or
// malformed requests. Device classes add their own commands and process dynamics.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>

#include "HartLink.h"
#include "LineSettings.h"

namespace tarvik::sim {

// Response codes (first status byte) that the simulated devices give.
inline constexpr std::uint8_t kRcSuccess = 0;
inline constexpr std::uint8_t kRcInvalidSelection = 2;
inline constexpr std::uint8_t kRcTooLarge = 3;
inline constexpr std::uint8_t kRcTooSmall = 4;
inline constexpr std::uint8_t kRcTooFewBytes = 5;
inline constexpr std::uint8_t kRcWriteProtected = 7;
inline constexpr std::uint8_t kRcAccessRestricted = 16;
inline constexpr std::uint8_t kRcBusy = 32;
inline constexpr std::uint8_t kRcNotImplemented = 64;
// First status byte of a communication error: bit 7 plus the longitudinal parity (checksum) bit.
inline constexpr std::uint8_t kCommErrorChecksum = 0x80 | 0x08;

// Field-device status bits (second status byte).
inline constexpr std::uint8_t kStatusConfigChanged = 0x40;
inline constexpr std::uint8_t kStatusMoreStatus = 0x10;
inline constexpr std::uint8_t kStatusPvOutOfLimits = 0x01;

// Universal and common-practice commands.
inline constexpr std::uint8_t kCmdReadUniqueId = 0;
inline constexpr std::uint8_t kCmdReadPrimary = 1;
inline constexpr std::uint8_t kCmdReadUniqueIdByTag = 11;
inline constexpr std::uint8_t kCmdReadTag = 13;
inline constexpr std::uint8_t kCmdEepromControl = 39;
inline constexpr std::uint8_t kCmdAdditionalStatus = 48;
inline constexpr std::uint8_t kCmdWriteProtect = 128;

inline constexpr std::uint8_t kEepromBurn = 0;    // save the working data
inline constexpr std::uint8_t kEepromRestore = 1; // reload the saved data
inline constexpr std::uint8_t kProtectOff = 0;
inline constexpr std::uint8_t kProtectOn = 1;
inline constexpr std::size_t kTagLength = 8;
inline constexpr std::size_t kDescriptorLength = 16;

struct HartIdentity {
    std::uint8_t manufacturer = 0x0A; // low six bits are the first address byte's
    std::uint8_t deviceType = 0x64;
    std::array<std::uint8_t, 3> id{};
    std::uint8_t deviceRevision = 1;
    std::uint8_t softwareRevision = 1;
    std::uint8_t hardwareRevision = 1;
};

// The address as the tools write it: device type, colon, three identifier bytes ("64:010203").
std::string AddressText(const HartIdentity& identity);

// What a device command answers: a response code and, on success, its data bytes.
struct HartAnswer {
    std::uint8_t responseCode = kRcSuccess;
    Bytes data;
    static HartAnswer Ok(Bytes data) { return {kRcSuccess, std::move(data)}; }
    static HartAnswer Refuse(std::uint8_t code) { return {code, {}}; }
};

class HartDevice {
public:
    HartDevice(HartIdentity identity, std::string tag, std::string descriptor, std::uint32_t baud,
               std::uint32_t seed);
    virtual ~HartDevice() = default;
    HartDevice(const HartDevice&) = delete;
    HartDevice& operator=(const HartDevice&) = delete;

    // The reply frame, preamble included, to `request` at time `now` (seconds, monotonic), or
    // nothing when the request is not for this device.
    std::optional<Bytes> Answer(const HartRequest& request, double now);

    virtual std::string Kind() const = 0;
    LineSettings Line() const { return {baud_, Parity::Odd, 8, 1}; }
    const HartIdentity& Identity() const { return identity_; }
    const std::string& Tag() const { return tag_; }
    bool WriteProtected() const { return protected_; }
    bool Saved() const { return !configChanged_; }
    void SetPreambles(std::size_t n) { preambles_ = n; }
    void SetDate(std::uint8_t day, std::uint8_t month, std::uint8_t yearSince1900);

protected:
    // Device-specific commands; nothing for a command the device does not know.
    virtual std::optional<HartAnswer> Command(std::uint8_t command, std::span<const std::uint8_t> data) = 0;
    // Commands that change the device and are refused while it is write-protected.
    virtual bool IsWrite(std::uint8_t command) const = 0;
    // Lets the process run for `dt` seconds.
    virtual void Advance(double dt) = 0;
    virtual std::array<std::uint8_t, 4> AdditionalStatus() const = 0;
    // Second status byte bits of the device's process state (config-changed is added here).
    virtual std::uint8_t ProcessStatus() const = 0;
    // Working data for backup/restore.
    virtual std::string SaveConfig() const = 0;
    virtual void LoadConfig(const std::string& saved) = 0;

    void ConfigChanged() { configChanged_ = true; }
    double Noise(double amplitude); // uniform in [-amplitude, amplitude]

private:
    bool AddressedToMe(const std::array<std::uint8_t, kAddressSize>& address) const;
    static bool IsBroadcast(const std::array<std::uint8_t, kAddressSize>& address);
    Bytes UniqueIdData() const;
    std::optional<HartAnswer> Common(const HartRequest& request);

    HartIdentity identity_;
    std::string tag_;
    std::string descriptor_;
    std::array<std::uint8_t, 3> date_{};
    std::uint32_t baud_;
    std::size_t preambles_ = 5;
    bool protected_ = false;
    Bytes protectKey_; // packed text that unlocks the device
    bool configChanged_ = false;
    std::string saved_;
    bool hasSaved_ = false;
    double lastTime_ = -1;
    std::mt19937 rng_;
};

} // namespace tarvik::sim
