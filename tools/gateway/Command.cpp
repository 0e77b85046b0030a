#include "Command.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

#include "Arguments.h"

namespace tarvik::gateway {
namespace {

bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool Digit(char c) {
    return c >= '0' && c <= '9';
}

// The grammar from_chars would take, minus its extras ("inf", "nan", hexadecimal): an optional
// sign, digits with at most one full stop (at least one digit), an optional exponent with digits.
bool DecimalSyntax(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    std::size_t digits = 0;
    while (i < s.size() && Digit(s[i])) {
        ++i;
        ++digits;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && Digit(s[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
        std::size_t exponent = 0;
        while (i < s.size() && Digit(s[i])) {
            ++i;
            ++exponent;
        }
        if (exponent == 0) return false;
    }
    return i == s.size();
}

} // namespace

ParsedNumber ParseCommandNumber(std::string_view payload) {
    ParsedNumber out;
    if (payload.size() > kMaxCommandPayload) {
        out.error = CommandError::TooLong;
        return out;
    }
    while (!payload.empty() && Blank(payload.front()))
        payload.remove_prefix(1);
    while (!payload.empty() && Blank(payload.back()))
        payload.remove_suffix(1);
    if (payload.empty()) {
        out.error = CommandError::Empty;
        return out;
    }
    if (!DecimalSyntax(payload)) {
        out.error = CommandError::NotANumber;
        return out;
    }
    // from_chars takes no '+'; the sign was checked above.
    if (payload.front() == '+') payload.remove_prefix(1);
    double value = 0;
    const auto [end, ec] = std::from_chars(payload.data(), payload.data() + payload.size(), value);
    const tools::Arguments& table = tools::Arguments::Get();
    if (ec == std::errc::result_out_of_range) {
        // Beyond a double: too large when the first digit stands left of the decimal point.
        const auto magnitude = tools::DecimalMagnitude(payload);
        out.error = magnitude && *magnitude >= 0 ? CommandError::OutOfRange : CommandError::TooSmall;
        return out;
    }
    if (ec != std::errc() || end != payload.data() + payload.size()) {
        out.error = CommandError::NotANumber;
        return out;
    }
    if (!table.CheckNumber("setpoint", value).Ok()) {
        out.error = std::fabs(value) > table.NumberMax() ? CommandError::OutOfRange : CommandError::TooSmall;
        return out;
    }
    out.value = value;
    return out;
}

CommandTopic ParseCommandTopic(std::string_view prefix, std::string_view topic) {
    CommandTopic out;
    if (prefix.empty() || topic.size() <= prefix.size() + 1 || topic.substr(0, prefix.size()) != prefix ||
        topic[prefix.size()] != '/')
        return out;
    std::string_view rest = topic.substr(prefix.size() + 1);
    std::string_view levels[3];
    for (std::size_t i = 0; i < 3; ++i) {
        const auto slash = rest.find('/');
        if (i < 2) {
            if (slash == std::string_view::npos) return out;
            levels[i] = rest.substr(0, slash);
            rest = rest.substr(slash + 1);
        } else {
            if (slash != std::string_view::npos) return out;
            levels[i] = rest;
        }
        if (levels[i].empty()) return out;
    }
    if (levels[2] != "set") return out;
    out.ok = true;
    out.device = levels[0];
    out.command = levels[1];
    return out;
}

int SetPointChannel(std::string_view command) {
    constexpr std::string_view kSetPoint = "setpoint";
    if (command.substr(0, kSetPoint.size()) != kSetPoint) return -1;
    const std::string_view rest = command.substr(kSetPoint.size());
    if (rest.empty()) return 0;
    if (rest.size() == 1 && rest[0] >= '1' && rest[0] <= '9') return rest[0] - '0';
    return -1;
}

const char* CommandErrorName(CommandError error) {
    switch (error) {
    case CommandError::None:
        return "ok";
    case CommandError::Empty:
        return "empty payload";
    case CommandError::TooLong:
        return "payload too long";
    case CommandError::NotANumber:
        return "not a number";
    case CommandError::OutOfRange: {
        static const std::string text =
            fmt::format("out of range: a set point is at most {:g} in magnitude (a 32-bit float)",
                        tools::Arguments::Get().NumberMax());
        return text.c_str();
    }
    case CommandError::TooSmall: {
        static const std::string text = fmt::format(
            "too small: a nonzero set point is at least {:g} in magnitude (a 32-bit float), else it "
            "would not reach the device as given",
            tools::Arguments::Get().NumberMinNonzero());
        return text.c_str();
    }
    }
    return "?";
}

std::string CommandValueProblem(std::string_view argument, double value) {
    try {
        const tools::Arguments& table = tools::Arguments::Get();
        const tools::ArgumentSpec& spec = table.Spec(argument);
        if (spec.kind == tools::ArgumentKind::Number) return table.CheckNumber(argument, value).reason;
        if (spec.kind == tools::ArgumentKind::Text) return spec.name + " is text, not a number";
        if (!std::isfinite(value) || std::trunc(value) != value || std::fabs(value) > 1e9)
            return spec.name + " takes a whole number: " + table.Allowed(argument);
        return table.Check(argument, static_cast<long long>(value)).reason;
    } catch (const std::exception& e) {
        return e.what();
    }
}

} // namespace tarvik::gateway
