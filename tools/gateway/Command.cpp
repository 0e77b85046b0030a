#include "Command.h"

#include <charconv>
#include <cmath>

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
    if (ec == std::errc::result_out_of_range || (ec == std::errc() && !std::isfinite(value))) {
        out.error = CommandError::NotFinite;
        return out;
    }
    if (ec != std::errc() || end != payload.data() + payload.size()) {
        out.error = CommandError::NotANumber;
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
    case CommandError::NotFinite:
        return "not a finite number";
    }
    return "?";
}

} // namespace tarvik::gateway
