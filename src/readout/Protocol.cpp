#include "Protocol.h"

#include <algorithm>

#include "NumberText.h"

namespace tarvik::readout {

namespace {

constexpr std::string_view kMakerText = "Tarvik Instrument";
constexpr std::string_view kModelText = "0731";
constexpr std::string_view kSerialSourceConfirmation = "P46,1,";
constexpr std::string_view kManualSourceConfirmation = "P46,0,";
constexpr std::string_view kValveConfirmation = "P29,";        // + the state's digit
constexpr std::string_view kDecimalPlaceConfirmation = "P03,"; // + the digit and a comma
constexpr std::string_view kSetPointMarker = "P01,";
constexpr std::string_view kSourceWrite = "P46=";
constexpr std::string_view kValveWrite = "P29=";
constexpr std::string_view kDecimalPlaceWrite = "P03=";
constexpr std::string_view kSetPointWrite = "P01=";
constexpr char kSerialSourceDigit = '1';
constexpr char kManualSourceDigit = '0';
constexpr std::uint8_t kSourceSerial = 1;
constexpr std::uint8_t kSourceManual = 2;

// ASCII upper-casing: only a..z change.
char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// One decimal digit of a checked small argument.
char Digit(std::int32_t v) {
    return static_cast<char>('0' + v);
}

} // namespace

std::optional<std::string> ChannelAddress(std::int32_t channel, AddressKind kind) {
    if (channel < 1 || channel > kChannelCount) return std::nullopt;
    const std::int32_t address = 2 * channel - (kind == AddressKind::Measurement ? 1 : 0);
    return std::string{'0', Digit(address)};
}

std::string RequestLine(std::string_view address, std::string_view command) {
    std::string line(kRequestPrefix);
    line.append(address).append(command);
    line += kCarriageReturn;
    return line;
}

bool ContainsNoCase(std::string_view reply, std::string_view text) {
    reply = reply.substr(0, reply.find('\0'));
    const auto equal = [](char a, char b) { return Upper(a) == Upper(b); };
    return std::search(reply.begin(), reply.end(), text.begin(), text.end(), equal) != reply.end() ||
           text.empty();
}

bool Confirms(std::string_view reply, std::initializer_list<std::string_view> texts) {
    return std::all_of(texts.begin(), texts.end(),
                       [&](std::string_view t) { return ContainsNoCase(reply, t); });
}

bool HasMarkedLine(std::string_view reply, std::string_view marker) {
    return Confirms(reply, {marker, std::string_view(&kCarriageReturn, 1), std::string_view(&kLineFeed, 1)});
}

std::optional<std::string_view> ValueField(std::string_view reply, std::string_view marker, int field) {
    if (!HasMarkedLine(reply, marker)) return std::nullopt;
    // The comma search covers the whole reply, zero bytes included.
    for (int k = 0; k < field; ++k) {
        const std::size_t comma = reply.find(kFieldSeparator);
        if (comma != std::string_view::npos) reply.remove_prefix(comma + 1);
    }
    const std::size_t comma = reply.find(kFieldSeparator);
    return comma == std::string_view::npos ? std::string_view() : reply.substr(0, comma);
}

namespace {

template <class T, class Convert>
std::int32_t JudgeField(std::string_view reply, const ValueRead& read, T& out, T failure, Convert convert) {
    const auto text = ValueField(reply, read.marker, read.field);
    const auto value = text ? convert(*text) : std::nullopt;
    out = value.value_or(failure);
    return value ? ResultOk : read.replyCode;
}

} // namespace

std::int32_t JudgeValue(std::string_view reply, const ValueRead& read, std::int32_t& out) {
    return JudgeField(reply, read, out, kIntFailure, TextToInt);
}

std::int32_t JudgeValue(std::string_view reply, const ValueRead& read, float& out) {
    return JudgeField(reply, read, out, kFloatFailure, TextToFloat);
}

std::int32_t JudgeIdentity(std::string_view reply) {
    return Confirms(reply, {kMakerText, kModelText}) ? ResultOk : ResultWrongIdentity;
}

std::int32_t JudgeSource(std::string_view reply, std::uint8_t& source) {
    if (ContainsNoCase(reply, kManualSourceConfirmation))
        source = kSourceManual;
    else if (ContainsNoCase(reply, kSerialSourceConfirmation))
        source = kSourceSerial;
    else
        source = kSourceFailure;
    return source != kSourceFailure ? ResultOk : ResultBadSourceReply;
}

std::int32_t JudgeSourceWrite(std::string_view reply, bool serial) {
    const auto text = serial ? kSerialSourceConfirmation : kManualSourceConfirmation;
    return ContainsNoCase(reply, text) ? ResultOk : ResultSourceNotConfirmed;
}

std::int32_t JudgeValveWrite(std::string_view reply, std::int32_t state) {
    std::string text(kValveConfirmation);
    text += Digit(state);
    return ContainsNoCase(reply, text) ? ResultOk : ResultValveNotConfirmed;
}

std::int32_t JudgeDecimalPlaceWrite(std::string_view reply, std::int32_t places) {
    std::string text(kDecimalPlaceConfirmation);
    text += Digit(places);
    text += kFieldSeparator;
    return ContainsNoCase(reply, text) ? ResultOk : ResultDecimalPlaceNotConfirmed;
}

std::int32_t JudgeSetPointWrite(std::string_view reply) {
    return HasMarkedLine(reply, kSetPointMarker) ? ResultOk : ResultSetPointNotConfirmed;
}

std::string SourceWriteCommand(bool serial) {
    std::string text(kSourceWrite);
    text += serial ? kSerialSourceDigit : kManualSourceDigit;
    return text;
}

std::string ValveWriteCommand(std::int32_t state) {
    std::string text(kValveWrite);
    text += Digit(state);
    return text;
}

std::string DecimalPlaceCommand(std::int32_t places) {
    std::string text(kDecimalPlaceWrite);
    text += Digit(places);
    return text;
}

std::string SetPointCommand(float setPoint, std::int32_t digits) {
    return std::string(kSetPointWrite) + FormatSetPoint(setPoint, digits);
}

namespace {

bool InRange(std::int32_t v, std::int32_t max) {
    return v >= 0 && v <= max;
}

std::int32_t ChannelRequest(std::int32_t channel, AddressKind kind, std::string_view command,
                            std::int32_t waitMs, Request& out) {
    const auto address = ChannelAddress(channel, kind);
    if (!address) return ResultBadChannel;
    out.line = RequestLine(*address, command);
    out.waitMs = waitMs;
    return 0;
}

} // namespace

void LinkTestRequest(Request& out) {
    out.line = kLinkTestRequest;
    out.waitMs = kWaitMs;
}

std::int32_t ValueReadRequest(std::int32_t channel, const ValueRead& read, Request& out) {
    return ChannelRequest(channel, read.address, read.command, read.waitMs, out);
}

std::int32_t SourceReadRequest(std::int32_t channel, Request& out) {
    return ChannelRequest(channel, AddressKind::Control, kSourceReadCommand, kWaitMs, out);
}

std::int32_t SourceWriteRequest(std::int32_t channel, bool serial, Request& out) {
    return ChannelRequest(channel, AddressKind::Control, SourceWriteCommand(serial), kWaitMs, out);
}

std::int32_t ValveWriteRequest(std::int32_t channel, std::int32_t state, Request& out) {
    // The only command that checks another argument before the channel.
    if (!InRange(state, kMaxValveState)) return ResultBadValveState;
    return ChannelRequest(channel, AddressKind::Control, ValveWriteCommand(state), kWaitMs, out);
}

std::int32_t DecimalPlaceWriteRequest(std::int32_t channel, std::int32_t places, Request& out) {
    if (!ChannelAddress(channel, AddressKind::Measurement)) return ResultBadChannel;
    if (!InRange(places, kMaxPlaces)) return ResultBadDecimalPlace;
    return ChannelRequest(channel, AddressKind::Measurement, DecimalPlaceCommand(places), kWaitMs, out);
}

std::int32_t SetPointWriteRequest(std::int32_t channel, std::int32_t digits, float setPoint, Request& out) {
    if (!ChannelAddress(channel, AddressKind::Control)) return ResultBadChannel;
    if (!InRange(digits, kMaxPlaces)) return ResultBadDecimalPlace;
    return ChannelRequest(channel, AddressKind::Control, SetPointCommand(setPoint, digits), kSetPointWaitMs,
                          out);
}

} // namespace tarvik::readout
