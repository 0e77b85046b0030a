// What each digital command's full reply holds, as typed records, and the request data of the
// commands whose data is more than one argument byte. The exports copy the records into the
// caller's outputs; the fast link converts them for C++ callers. Values stay raw float patterns
// here (most significant byte first on the wire, never converted).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "Commands.h"

namespace tarvik::digital {

// Unit code and value: commands 1 (flow, pressure), 159 (full-scale range) and 242 (totalizer).
struct UnitValue {
    std::uint8_t units = 0;
    std::int32_t value = 0;
};

// Command 235: the set point in percent, then its unit code and the set point in that unit.
struct SetPointRecord {
    std::int32_t setPoint = 0;
    std::uint8_t units = 0;
    std::int32_t setPointInUnits = 0;
};

// Command 151: four pairs of unit code and value.
struct GasDataRecord {
    std::array<std::uint8_t, 4> units{};
    std::array<std::int32_t, 4> values{};
};

// Command 150: the gas name, twelve plain 8-bit characters.
inline constexpr std::size_t kGasTypeTextLength = 12;
using GasTypeText = std::array<char, kGasTypeTextLength>;

// Commands 192/193: four setting bytes; 48: four additional status bytes.
using FourBytes = std::array<std::uint8_t, 4>;

// Commands 0 and 11: the device's long address.
struct IdentityRecord {
    std::uint8_t deviceType = 0;
    std::uint8_t idHigh = 0;
    std::uint8_t idMid = 0;
    std::uint8_t idLow = 0;
};

// Command 13: tag and descriptor unpacked (24 characters), then day, month, year - 1900.
inline constexpr std::size_t kTagDescriptorChars = 24;
inline constexpr std::size_t kDateLength = 3;
inline constexpr std::size_t kTagRecordLength = kTagDescriptorChars + kDateLength;
using TagRecord = std::array<std::uint8_t, kTagRecordLength>;

// Decoders of a full reply with a correct checksum. Each fills its record and returns the final
// result, given the classification's `result` (only the echo checks change it).
std::int32_t DecodeUnitValue(const Reply& r, std::int32_t result, UnitValue& out);
std::int32_t DecodeSetPoint(const Reply& r, std::int32_t result, SetPointRecord& out);
std::int32_t DecodeGasData(const Reply& r, std::int32_t result, GasDataRecord& out);
std::int32_t DecodeGasTypeText(const Reply& r, std::int32_t result, GasTypeText& out);
std::int32_t DecodeSettings(const Reply& r, std::int32_t result, FourBytes& out);
std::int32_t DecodeAdditionalStatus(const Reply& r, std::int32_t result, FourBytes& out);
std::int32_t DecodeState(const Reply& r, std::int32_t result, std::uint8_t& out);
std::int32_t DecodeIdentity(const Reply& r, std::int32_t result, IdentityRecord& out);
std::int32_t DecodeTag(const Reply& r, std::int32_t result, TagRecord& out);
// Write protection: the reply echoes the mode byte sent, else ResultEchoMismatch.
std::int32_t DecodeProtectEcho(const Reply& r, std::int32_t result, std::uint8_t mode);
// Backup: the reply echoes the burn code; a device status outranks the echo.
std::int32_t DecodeBackupEcho(const Reply& r, std::int32_t result);

// Request data.
inline constexpr std::size_t kSetPointDataLength = 5; // command 236: unit code, then the value
std::array<std::uint8_t, kSetPointDataLength> SetPointData(std::int32_t units, std::int32_t setPoint);
// Command 11: the tag (kTextLength characters) packed.
std::array<std::uint8_t, kPackedTextLength> TagData(const char* tag);
// Command 128: the protect text (kTextLength characters) packed, then the mode byte.
std::array<std::uint8_t, kPackedTextLength + 1> ProtectData(const char* text, std::int32_t mode);

// The commands' own argument checks, written once for the exports and the fast link. Each returns 0
// and fills the request data, or the check's result code (and leaves `out` empty).
struct RequestData {
    std::array<std::uint8_t, kMaxRequestData> bytes{};
    std::size_t size = 0;
    std::span<const std::uint8_t> Bytes() const { return std::span(bytes).first(size); }
};
std::int32_t GasNumberRequest(std::int32_t gasNumber, RequestData& out);
std::int32_t ApplicationRequest(std::int32_t application, RequestData& out);
std::int32_t SetPointWriteRequest(std::int32_t units, std::int32_t setPoint, RequestData& out);
std::int32_t VORStateRequest(std::int32_t state, RequestData& out);
std::int32_t TotalizerStateRequest(std::int32_t state, RequestData& out);
// A text argument is exactly kTextLength characters; a missing text is a wrong length.
std::int32_t TagRequest(const char* tag, std::int64_t length, RequestData& out);
std::int32_t ProtectRequest(const char* text, std::int64_t length, std::int32_t mode, RequestData& out);

} // namespace tarvik::digital
