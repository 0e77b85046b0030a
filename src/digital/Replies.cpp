#include "Replies.h"

#include <algorithm>

#include "PackedText.h"

namespace tarvik::digital {

namespace {

constexpr std::size_t kPosUnits = 10; // unit code, then the value
constexpr std::size_t kPosValue = 11;

// Command 235: unit code of the first value at 10 (not passed on), first value, unit code of the
// second value, second value.
constexpr std::size_t kPosSetPoint = 11;
constexpr std::size_t kPosSetPointUnits = 15;
constexpr std::size_t kPosSetPointInUnits = 16;

// Command 151: four pairs of unit code and value from position 11 on.
constexpr std::size_t kPosFirstPair = 11;
constexpr std::size_t kPairLength = 5;

constexpr std::size_t kPosGasTypeText = 11;
constexpr std::size_t kPosFourBytes = 10; // settings, additional status (position 14 is not passed on)
constexpr std::size_t kPosState = 10;

constexpr std::size_t kPosDeviceType = 12;
constexpr std::size_t kPosIdHigh = 19;
constexpr std::size_t kPosIdMid = 20;
constexpr std::size_t kPosIdLow = 21;

// Command 13: packed tag (8 characters) and descriptor (16) back to back, then the date bytes.
constexpr std::size_t kPosPackedText = 10;
constexpr std::size_t kPackedTagDescriptorLength = 18;
constexpr std::size_t kPosDate = 28;

constexpr std::size_t kPosEcho = 10;

} // namespace

std::int32_t DecodeUnitValue(const Reply& r, std::int32_t result, UnitValue& out) {
    out.units = r.bytes[kPosUnits];
    out.value = WordAt(r, kPosValue);
    return result;
}

std::int32_t DecodeSetPoint(const Reply& r, std::int32_t result, SetPointRecord& out) {
    out.setPoint = WordAt(r, kPosSetPoint);
    out.units = r.bytes[kPosSetPointUnits];
    out.setPointInUnits = WordAt(r, kPosSetPointInUnits);
    return result;
}

std::int32_t DecodeGasData(const Reply& r, std::int32_t result, GasDataRecord& out) {
    for (std::size_t i = 0; i < out.units.size(); ++i) {
        const std::size_t pos = kPosFirstPair + i * kPairLength;
        out.units[i] = r.bytes[pos];
        out.values[i] = WordAt(r, pos + 1);
    }
    return result;
}

std::int32_t DecodeGasTypeText(const Reply& r, std::int32_t result, GasTypeText& out) {
    std::copy_n(r.bytes.begin() + kPosGasTypeText, out.size(), out.begin());
    return result;
}

std::int32_t DecodeSettings(const Reply& r, std::int32_t result, FourBytes& out) {
    std::copy_n(r.bytes.begin() + kPosFourBytes, out.size(), out.begin());
    return result;
}

std::int32_t DecodeAdditionalStatus(const Reply& r, std::int32_t result, FourBytes& out) {
    return DecodeSettings(r, result, out);
}

std::int32_t DecodeState(const Reply& r, std::int32_t result, std::uint8_t& out) {
    out = r.bytes[kPosState];
    return result;
}

std::int32_t DecodeIdentity(const Reply& r, std::int32_t result, IdentityRecord& out) {
    out.deviceType = r.bytes[kPosDeviceType];
    out.idHigh = r.bytes[kPosIdHigh];
    out.idMid = r.bytes[kPosIdMid];
    out.idLow = r.bytes[kPosIdLow];
    return result;
}

std::int32_t DecodeTag(const Reply& r, std::int32_t result, TagRecord& out) {
    UnpackAscii(std::span(r.bytes).subspan(kPosPackedText, kPackedTagDescriptorLength),
                std::span(out).first(kTagDescriptorChars));
    std::copy_n(r.bytes.begin() + kPosDate, kDateLength, out.begin() + kTagDescriptorChars);
    return result;
}

std::int32_t DecodeProtectEcho(const Reply& r, std::int32_t result, std::uint8_t mode) {
    return r.bytes[kPosEcho] == mode ? result : ResultEchoMismatch;
}

std::int32_t DecodeBackupEcho(const Reply& r, std::int32_t result) {
    if (result == ResultDeviceStatus) return result;
    return r.bytes[kPosEcho] == kEepromBurn ? result : ResultEchoMismatch;
}

std::array<std::uint8_t, kSetPointDataLength> SetPointData(std::int32_t units, std::int32_t setPoint) {
    const auto value = static_cast<std::uint32_t>(setPoint);
    return {Low8(units), static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

std::array<std::uint8_t, kPackedTextLength> TagData(const char* tag) {
    std::array<std::uint8_t, kTextLength> text{};
    std::copy_n(tag, kTextLength, text.begin());
    std::array<std::uint8_t, kPackedTextLength> packed{};
    PackAscii(text, packed);
    return packed;
}

std::array<std::uint8_t, kPackedTextLength + 1> ProtectData(const char* text, std::int32_t mode) {
    std::array<std::uint8_t, kPackedTextLength + 1> data{};
    const auto packed = TagData(text);
    std::copy(packed.begin(), packed.end(), data.begin());
    data[kPackedTextLength] = Low8(mode);
    return data;
}

} // namespace tarvik::digital
