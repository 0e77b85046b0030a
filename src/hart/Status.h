// The two status bytes of a HART reply: the first is a communication error summary (bit 7 set) or
// the command's response code; the second is the field-device status. Pure.
#pragma once

#include <cstdint>

#include "../../include/tarvik/HartTypes.h"

namespace tarvik::hart {

// First status byte, bit 7 set (kCommErrorBit): the device could not read the request.
inline constexpr std::uint8_t kCommVerticalParity = 0x40;
inline constexpr std::uint8_t kCommOverrun = 0x20;
inline constexpr std::uint8_t kCommFraming = 0x10;
inline constexpr std::uint8_t kCommLongitudinalParity = 0x08; // checksum
inline constexpr std::uint8_t kCommBufferOverflow = 0x02;

// Response codes (first status byte, bit 7 clear). Others are command-specific.
inline constexpr std::uint8_t kRcSuccess = 0;
inline constexpr std::uint8_t kRcInvalidSelection = 2;
inline constexpr std::uint8_t kRcTooLarge = 3;
inline constexpr std::uint8_t kRcTooSmall = 4;
inline constexpr std::uint8_t kRcTooFewBytes = 5;
inline constexpr std::uint8_t kRcDeviceSpecific = 6;
inline constexpr std::uint8_t kRcWriteProtected = 7;
inline constexpr std::uint8_t kRcAccessRestricted = 16;
inline constexpr std::uint8_t kRcBusy = 32;
inline constexpr std::uint8_t kRcNotImplemented = 64;

// Field-device status (second status byte).
inline constexpr std::uint8_t kStatusMalfunction = 0x80;
inline constexpr std::uint8_t kStatusConfigChanged = 0x40;
inline constexpr std::uint8_t kStatusColdStart = 0x20;
inline constexpr std::uint8_t kStatusMoreStatus = 0x10;
inline constexpr std::uint8_t kStatusCurrentFixed = 0x08;
inline constexpr std::uint8_t kStatusCurrentSaturated = 0x04;
inline constexpr std::uint8_t kStatusNonPvOutOfLimits = 0x02;
inline constexpr std::uint8_t kStatusPvOutOfLimits = 0x01;

// The first status byte taken apart.
struct FirstStatus {
    bool commError = false;
    std::uint8_t commFlags = 0;    // the error bits when commError (bit 7 removed)
    std::uint8_t responseCode = 0; // when !commError
    bool Success() const { return !commError && responseCode == kRcSuccess; }
    bool Busy() const { return !commError && responseCode == kRcBusy; }
};

constexpr FirstStatus DecodeFirstStatus(std::uint8_t b) {
    if (b & kCommErrorBit) return {true, static_cast<std::uint8_t>(b & ~kCommErrorBit), 0};
    return {false, 0, b};
}

// Text of the common response codes ("busy"); nullptr for a command-specific one.
const char* ResponseCodeText(std::uint8_t code);
// Text of one communication error bit ("framing error"); nullptr for an unnamed bit.
const char* CommErrorText(std::uint8_t bit);
// Text of one field-device status bit; nullptr for none.
const char* DeviceStatusText(std::uint8_t bit);

} // namespace tarvik::hart
