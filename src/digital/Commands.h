// Every digital command as data (command number, full reply length, reply tests), and the ranges
// of the commands' own arguments. The exports in the *Commands.cpp files and the fast link pair each
// description with its decoder from Replies.h.
#pragma once

#include <cstdint>

#include "Hart.h"

namespace tarvik::digital {

// The primary variable: the flow of a flow device.
inline constexpr CommandSpec kReadFlow{.command = 1, .fullLength = 16};

// Identity (broadcast address). Neither identity command reports the field-device status as a
// result; the tag command leaves Status1/Status2 alone on a full reply.
inline constexpr CommandSpec kReadUniqueIdentifier{.command = 0, .fullLength = 23, .deviceStatus = false};
inline constexpr CommandSpec kReadUniqueIdentifierByTag{
    .command = 11, .fullLength = 23, .deviceStatus = false};
inline constexpr CommandSpec kReadTagDescriptorDate{
    .command = 13, .fullLength = 32, .statusOnSuccess = false};

// Set point.
inline constexpr CommandSpec kReadSetPoint{.command = 235, .fullLength = 21};
inline constexpr CommandSpec kWriteSetPoint{.command = 236, .fullLength = 21};

// Additional status: the flags are the answer, Status2 never turns it into ResultDeviceStatus.
inline constexpr CommandSpec kReadAdditionalStatus{.command = 48, .fullLength = 15, .deviceStatus = false};

// Gas and flow unit.
inline constexpr CommandSpec kReadProcessGasType{.command = 150, .fullLength = 24};
inline constexpr CommandSpec kReadGasData{.command = 151, .fullLength = 32};
inline constexpr CommandSpec kReadOperationalSettings{.command = 193, .fullLength = 15};
inline constexpr CommandSpec kSelectGasNumber{.command = 195, .fullLength = 12, .byteCountTest = true};
inline constexpr CommandSpec kSelectFlowUnit{.command = 196, .fullLength = 13};

// Valve override and totalizer.
inline constexpr CommandSpec kReadVORState{.command = 230, .fullLength = 12, .byteCountTest = true};
inline constexpr CommandSpec kWriteVORState{.command = 231, .fullLength = 12, .byteCountTest = true};
inline constexpr CommandSpec kReadTotalizerState{.command = 240, .fullLength = 13};
inline constexpr CommandSpec kWriteTotalizerState{.command = 241, .fullLength = 12, .byteCountTest = true};
inline constexpr CommandSpec kReadTotalizer{.command = 242, .fullLength = 16};

// Pressure devices (the pressure itself is command 1, as the flow).
inline constexpr CommandSpec kReadPressure{.command = 1, .fullLength = 16};
inline constexpr CommandSpec kReadFullScaleRangePressure{.command = 159, .fullLength = 16};
inline constexpr CommandSpec kReadOperationalSettingsPressure{.command = 192, .fullLength = 16};
inline constexpr CommandSpec kSelectPressureApplication{
    .command = 194, .fullLength = 12, .byteCountTest = true};
inline constexpr CommandSpec kSelectPressureUnit{.command = 198, .fullLength = 12};

// Write protection and backup: both replies echo the data byte sent (checked by their decoders).
inline constexpr CommandSpec kWriteProtect{.command = 128, .fullLength = 12, .byteCountTest = true};
inline constexpr CommandSpec kEepromControl{.command = 39, .fullLength = 12, .byteCountTest = true};
inline constexpr std::uint8_t kEepromBurn = 0; // command 39 code: save working data to non-volatile memory

// Arguments of the commands.
inline constexpr std::int32_t kTextLength = 8;      // tag and protect text, in characters
inline constexpr std::size_t kPackedTextLength = 6; // the same, packed
inline constexpr std::int32_t kLookupBroadcast = 0; // ReadDeviceID modes
inline constexpr std::int32_t kLookupByTag = 1;
inline constexpr std::uint8_t kUnitPercent = 57; // the two set-point unit codes accepted
inline constexpr std::uint8_t kUnitNotUsed = 250;
inline constexpr std::uint8_t kGasNumberFirst = 1;
inline constexpr std::uint8_t kGasNumberLast = 10;
inline constexpr std::uint8_t kStateLast = 2;        // valve-override and totalizer states 0..2
inline constexpr std::uint8_t kApplicationFirst = 1; // pressure applications 1..6
inline constexpr std::uint8_t kApplicationLast = 6;

constexpr bool IsSetPointUnit(std::int32_t slot) {
    return Low8(slot) == kUnitPercent || Low8(slot) == kUnitNotUsed;
}
constexpr bool IsGasNumber(std::int32_t slot) {
    return Low8(slot) >= kGasNumberFirst && Low8(slot) <= kGasNumberLast;
}
constexpr bool IsState(std::int32_t slot) {
    return Low8(slot) <= kStateLast;
}
constexpr bool IsApplication(std::int32_t slot) {
    return Low8(slot) >= kApplicationFirst && Low8(slot) <= kApplicationLast;
}

} // namespace tarvik::digital
