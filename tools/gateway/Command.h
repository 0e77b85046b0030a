// Commands that arrive over MQTT: the topic names the device and the command, the payload holds a
// number. Both parsers take any bytes and never throw; they are fuzzed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvik::gateway {

enum class CommandError {
    None,
    Empty,      // no payload
    TooLong,    // longer than any number we accept
    NotANumber, // text that is not one decimal number
    OutOfRange, // beyond what a 32-bit float holds
    TooSmall,   // nonzero, but below the smallest normal 32-bit float: it would not arrive as given
};

struct ParsedNumber {
    CommandError error = CommandError::None;
    double value = 0;
    bool Ok() const { return error == CommandError::None; }
};

constexpr std::size_t kMaxCommandPayload = 64;

// One decimal number ("42", "-1.5", "2.5e1"), with optional blanks around it; a full stop is the
// only decimal separator, whatever the locale. Nothing else is accepted: no hexadecimal, no
// "nan"/"inf", no units, no second number, no JSON around it. The number must be a set point as
// the shared argument table allows it (within a 32-bit float, no silent underflow to zero).
ParsedNumber ParseCommandNumber(std::string_view payload);

// `<prefix>/<device>/<command>/set` -> device and command ("setpoint", "setpoint2"). The levels
// after the prefix must be exactly three and the last one "set".
struct CommandTopic {
    bool ok = false;
    std::string_view device;
    std::string_view command;
};
CommandTopic ParseCommandTopic(std::string_view prefix, std::string_view topic);

// "setpoint" -> channel 0, "setpoint3" -> 3; -1 when the command is not a set point at all.
int SetPointChannel(std::string_view command);

// The reason of an error, for the command's result ("not a number").
const char* CommandErrorName(CommandError error);

// Why `value` may not be sent as the argument `argument` of the shared argument table ("setpoint",
// "gas", "state", "channel"...), or empty when it may. Whole-number arguments take only whole
// values. Never throws: an argument the table does not know is a reason too.
std::string CommandValueProblem(std::string_view argument, double value);

} // namespace tarvik::gateway
