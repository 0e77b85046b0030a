// The model 0731 read-out unit's line protocol: channel addresses, request lines and the two rules
// by which a reply is judged (confirmation by contained text, value by comma-separated field).
// Everything here is pure and works without a port.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "tarvik/ResultCodes.h"

namespace tarvik::readout {

inline constexpr char kCarriageReturn = '\r';
inline constexpr char kLineFeed = '\n';
// The most of a reply that is kept: the size of a port's input queue.
inline constexpr std::size_t kMaxReply = 4096;
// A reply is complete once it holds a carriage return and a line feed.
constexpr bool LineComplete(std::string_view reply) {
    return reply.find(kCarriageReturn) != std::string_view::npos &&
           reply.find(kLineFeed) != std::string_view::npos;
}
// What a reply still lacks, in bytes: at the least the carriage return and line feed it has not
// got; likely the rest of a reply `typical` bytes long (the last complete reply to the same
// command; 0 when there was none). Both 0 once the reply is complete.
struct ReplyRest {
    std::size_t atLeast;
    std::size_t likely;
};
constexpr ReplyRest RestOfReply(std::string_view reply, std::size_t typical) {
    const std::size_t marks = (reply.find(kCarriageReturn) == std::string_view::npos ? 1 : 0) +
                              (reply.find(kLineFeed) == std::string_view::npos ? 1 : 0);
    if (marks == 0) return {0, 0};
    return {marks, std::max(marks, typical > reply.size() ? typical - reply.size() : 0)};
}
inline constexpr char kFieldSeparator = ',';
inline constexpr std::string_view kRequestPrefix = "AZ."; // before the address of every request
inline constexpr std::string_view kLinkTestRequest = "AZI\r";

// Fixed waits for the reply: the set-point commands get longer.
inline constexpr std::int32_t kWaitMs = 500;
inline constexpr std::int32_t kSetPointWaitMs = 600;

// Values written to an output when a reply was read but is unusable.
inline constexpr std::int32_t kIntFailure = -1;
inline constexpr float kFloatFailure = -999.0f;
inline constexpr std::uint8_t kSourceFailure = 0;

inline constexpr std::int32_t kChannelCount = 4;
inline constexpr std::int32_t kMaxValveState = 2; // valve override states 0..2
inline constexpr std::int32_t kMaxPlaces = 3;     // decimal places (and set-point decimals) 0..3

// Each channel has an odd measurement address and an even control address.
enum class AddressKind { Measurement, Control };

// Two decimal digits ("01".."08"); nullopt for a channel outside 1..4.
std::optional<std::string> ChannelAddress(std::int32_t channel, AddressKind kind);

// "AZ." + address + command text + CR.
std::string RequestLine(std::string_view address, std::string_view command);

// Whether `reply` contains `text`, ASCII letters compared without regard to case. The search ends
// at the first zero byte of the reply.
bool ContainsNoCase(std::string_view reply, std::string_view text);

// Rule A: the reply contains every one of `texts` (any case, any order, anything around them).
bool Confirms(std::string_view reply, std::initializer_list<std::string_view> texts);

// Rule B, step 1: the reply contains `marker` (any case), a carriage return and a line feed.
bool HasMarkedLine(std::string_view reply, std::string_view marker);

// Rule B: the text of field `field` (0-based, comma-separated) of the whole reply, which must be
// followed by a comma; nullopt when step 1 fails. The text is empty when the reply has fewer than
// field + 1 commas, which no conversion accepts.
std::optional<std::string_view> ValueField(std::string_view reply, std::string_view marker, int field);

// How a numeric read finds and judges its value.
struct ValueRead {
    AddressKind address;
    std::string_view command; // "P04?", "K"
    std::string_view marker;  // required somewhere in the reply
    int field;                // 0-based comma-separated field that holds the value
    std::int32_t replyCode;   // result of an unusable reply
    std::int32_t waitMs;
};

// The six numeric reads. The process value's marker is the unit's "AZ" and its value stands one
// field further on; the set point's marker carries its comma.
inline constexpr ValueRead kMeasureUnitRead{AddressKind::Measurement,  "P04?", "P04", 4,
                                            ResultBadMeasureUnitReply, kWaitMs};
inline constexpr ValueRead kTimeUnitRead{AddressKind::Measurement, "P10?", "P10", 4,
                                         ResultBadTimeUnitReply,   kWaitMs};
inline constexpr ValueRead kFullScaleRead{AddressKind::Measurement, "P09?", "P09", 4,
                                          ResultBadFullScaleReply,  kWaitMs};
inline constexpr ValueRead kDecimalPlaceRead{AddressKind::Measurement, "P03?", "P03", 4,
                                             ResultBadDecimalPlace,    kWaitMs};
inline constexpr ValueRead kProcessValueRead{AddressKind::Measurement,   "K",    "AZ", 5,
                                             ResultBadProcessValueReply, kWaitMs};
inline constexpr ValueRead kSetPointRead{AddressKind::Control,   "P01?",         "P01,", 4,
                                         ResultBadSetPointReply, kSetPointWaitMs};

// Judges a numeric reply: on a usable one writes the value and returns ResultOk, otherwise writes
// the failure value and returns the read's reply code.
std::int32_t JudgeValue(std::string_view reply, const ValueRead& read, std::int32_t& out);
std::int32_t JudgeValue(std::string_view reply, const ValueRead& read, float& out);

// Judgements of the confirmation commands (each returns ResultOk or the command's code).
std::int32_t JudgeIdentity(std::string_view reply);
// Writes 1 (serial), 2 (manual; also when both are named) or 0 (neither).
std::int32_t JudgeSource(std::string_view reply, std::uint8_t& source);
std::int32_t JudgeSourceWrite(std::string_view reply, bool serial);
std::int32_t JudgeValveWrite(std::string_view reply, std::int32_t state);
std::int32_t JudgeDecimalPlaceWrite(std::string_view reply, std::int32_t places);
std::int32_t JudgeSetPointWrite(std::string_view reply);

// Command texts of the parameter reads and writes.
inline constexpr std::string_view kSourceReadCommand = "P46?";
std::string SourceWriteCommand(bool serial);                      // "P46=1" / "P46=0"
std::string ValveWriteCommand(std::int32_t state);                // "P29=" + digit
std::string DecimalPlaceCommand(std::int32_t places);             // "P03=" + digit
std::string SetPointCommand(float setPoint, std::int32_t digits); // "P01=" + fixed-point text

// A request of the unit: its line and the fixed wait of its export.
struct Request {
    std::string line;
    std::int32_t waitMs = kWaitMs;
};

// Each command's own argument checks, in the order of its export, then its request. The exports
// and the fast link share them. Each returns 0, or the code of the failed check (then `out` is
// left alone).
void LinkTestRequest(Request& out);
std::int32_t ValueReadRequest(std::int32_t channel, const ValueRead& read, Request& out);
std::int32_t SourceReadRequest(std::int32_t channel, Request& out);
std::int32_t SourceWriteRequest(std::int32_t channel, bool serial, Request& out);
std::int32_t ValveWriteRequest(std::int32_t channel, std::int32_t state, Request& out);
std::int32_t DecimalPlaceWriteRequest(std::int32_t channel, std::int32_t places, Request& out);
std::int32_t SetPointWriteRequest(std::int32_t channel, std::int32_t digits, float setPoint, Request& out);

} // namespace tarvik::readout
