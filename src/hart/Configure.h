// The common-practice configuration commands of HART transmitters: request data for the writes
// (ranges, damping, units, transfer function, variable assignments, preambles, loop test and trims,
// burst set-up), decoders of their replies, and their command-specific response codes in words.
// Pure: no port, no clock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "../../include/tarvik/HartTypes.h"

namespace tarvik::hart {

inline constexpr std::uint8_t kCmdWriteDamping = 34;
inline constexpr std::uint8_t kCmdWriteRange = 35;
inline constexpr std::uint8_t kCmdSetUpperRange = 36;
inline constexpr std::uint8_t kCmdSetLowerRange = 37;
inline constexpr std::uint8_t kCmdLoopTest = 40;
inline constexpr std::uint8_t kCmdSelfTest = 41;
inline constexpr std::uint8_t kCmdDeviceReset = 42;
inline constexpr std::uint8_t kCmdSetZero = 43;
inline constexpr std::uint8_t kCmdWriteUnit = 44;
inline constexpr std::uint8_t kCmdTrimZero = 45;
inline constexpr std::uint8_t kCmdTrimGain = 46;
inline constexpr std::uint8_t kCmdWriteTransferFunction = 47;
inline constexpr std::uint8_t kCmdWriteAssignments = 51;
inline constexpr std::uint8_t kCmdWriteVariableUnit = 53;
inline constexpr std::uint8_t kCmdWritePreambles = 59;
inline constexpr std::uint8_t kCmdWriteBurstPeriod = 103;
inline constexpr std::uint8_t kCmdWriteBurstTrigger = 104;
inline constexpr std::uint8_t kCmdWriteBurstVariables = 107;

// Command-specific response codes of the configuration commands.
inline constexpr std::uint8_t kRcSetToNearest = 8;     // a warning: the nearest value taken
inline constexpr std::uint8_t kRcLowerTooHigh = 9;     // 35; 45/46: current mode or value wrong
inline constexpr std::uint8_t kRcLowerTooLow = 10;     // 35
inline constexpr std::uint8_t kRcUpperTooHigh = 11;    // 35; 40/45/46: in multidrop mode
inline constexpr std::uint8_t kRcInvalidUnit = 12;     // 35, 44, 53, 104
inline constexpr std::uint8_t kRcBothOutOfLimits = 13; // 35
inline constexpr std::uint8_t kRcSpanTooSmall = 14;    // a warning: the write happened
inline constexpr std::uint8_t kRcInvalidSpan = 29;     // 35, 36, 37
inline constexpr std::uint8_t kRcMultidrop = kRcUpperTooHigh;

inline constexpr float kLoopTestExit = 0;          // command 40 with 0 mA leaves fixed-current mode
inline constexpr std::uint8_t kWriteProtected = 1; // command 15 byte 15
inline constexpr std::uint8_t kTriggerContinuous = 0;
inline constexpr std::uint8_t kTriggerWindow = 1;
inline constexpr std::uint8_t kTriggerRising = 2;
inline constexpr std::uint8_t kTriggerFalling = 3;
inline constexpr std::uint8_t kTriggerOnChange = 4;
inline constexpr std::size_t kMaxVariableSlots = 8;     // command 9 and 107 (revision 7)
inline constexpr std::size_t kMaxVariableSlotsOld = 4;  // command 33
inline constexpr std::size_t kDynamicVariableCount = 4; // PV, SV, TV, QV
inline constexpr std::uint8_t kSlotNotUsed = 250;

// The data of one request (the longest, command 103 and 107, has nine bytes).
struct RequestData {
    std::array<std::uint8_t, 12> bytes{};
    std::size_t size = 0;
    std::span<const std::uint8_t> Data() const { return std::span(bytes).first(size); }
};

RequestData FloatRequest(float value);       // 34 damping, 40 loop current, 45/46 measured current
RequestData ByteRequest(std::uint8_t value); // 44 unit, 47 transfer function, 59 preambles, 108, 109
RequestData RangeRequest(std::uint8_t unit, float upper, float lower);                        // 35
RequestData AssignmentsRequest(const std::array<std::uint8_t, kDynamicVariableCount>& codes); // 51
RequestData VariableUnitRequest(std::uint8_t code, std::uint8_t unit);                        // 53
// 9 and 33: the codes to read (at most 8 and 4; more are left out).
RequestData VariablesRequest(std::span<const std::uint8_t> codes, std::size_t most);
// 103: periods in 1/32 ms.
RequestData BurstPeriodRequest(std::uint8_t message, std::uint32_t period, std::uint32_t maxPeriod);
RequestData BurstTriggerRequest(std::uint8_t message, std::uint8_t mode, std::uint8_t classification,
                                std::uint8_t unit, float level); // 104
// 107: eight slots, those without a code not used (250), then the burst message (revision 7);
// without a message (older revisions) four slots. Codes beyond the slots are left out.
RequestData BurstVariablesRequest(std::span<const std::uint8_t> codes, std::optional<std::uint8_t> message);
// 108 and 109 of revision 7: the value, then the burst message.
RequestData BurstByteRequest(std::uint8_t value, std::uint8_t message);

struct RangeValues { // command 35's reply
    std::optional<std::uint8_t> unit;
    std::optional<float> upper, lower;
};
RangeValues DecodeRangeValues(std::span<const std::uint8_t> data);
std::optional<float> DecodeFloat(std::span<const std::uint8_t> data); // 34, 40, 45, 46

// The seconds of a burst period in 1/32 ms, when it fits 32 bits (nothing rounded to zero).
std::optional<std::uint32_t> BurstTimeUnits(double seconds);
double BurstSeconds(std::uint32_t units);

// The text of a command-specific response code ("span too small"), nullptr when the code is not
// one of `command`'s (the common codes of Status.h name it then).
const char* ConfigResponseText(std::uint8_t command, std::uint8_t code);
// Whether `code` is a warning: the device did what was asked and says something about it.
bool ResponseIsWarning(std::uint8_t code);
// The name of a configuration command ("write PV damping"), nullptr for another.
const char* ConfigCommandName(std::uint8_t command);
// The trigger mode's name ("continuous"), nullptr for an unknown one.
const char* TriggerModeName(std::uint8_t mode);

} // namespace tarvik::hart
