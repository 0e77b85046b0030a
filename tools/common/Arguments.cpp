#include "Arguments.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "FactsData.h"

namespace tarvik::tools {
namespace {

using nlohmann::json;

constexpr int kByteValues = 256;

std::string Lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool Digit(char c) {
    return c >= '0' && c <= '9';
}

ArgumentKind KindOf(const std::string& text) {
    if (text == "range") return ArgumentKind::Range;
    if (text == "codes") return ArgumentKind::Codes;
    if (text == "unit") return ArgumentKind::Unit;
    if (text == "number") return ArgumentKind::Number;
    if (text == "text") return ArgumentKind::Text;
    throw std::runtime_error("bad argument table: unknown kind '" + text + "'");
}

// "0..156, 160..219, 235..253" from a set of byte values.
std::string Runs(const std::vector<bool>& allowed) {
    std::string out;
    for (int v = 0; v < kByteValues;) {
        if (!allowed[static_cast<std::size_t>(v)]) {
            ++v;
            continue;
        }
        int end = v;
        while (end + 1 < kByteValues && allowed[static_cast<std::size_t>(end + 1)])
            ++end;
        out += (out.empty() ? "" : ", ") + (end == v ? std::to_string(v) : fmt::format("{}..{}", v, end));
        v = end + 1;
    }
    return out;
}

// The syntax of a decimal number: optional sign, digits with at most one full stop, optional
// exponent. On success, `magnitude` is the power of ten of the first nonzero digit (saturated),
// or nullopt when every digit is zero.
bool DecimalSyntax(std::string_view s, std::optional<long long>& magnitude) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    const auto run = [&] {
        const std::size_t from = i;
        while (i < s.size() && Digit(s[i]))
            ++i;
        return s.substr(from, i - from);
    };
    const std::string_view whole = run();
    std::string_view fraction;
    if (i < s.size() && s[i] == '.') {
        ++i;
        fraction = run();
    }
    if (whole.empty() && fraction.empty()) return false;
    long long exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        const bool negative = i < s.size() && s[i] == '-';
        if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
        const std::string_view digits = run();
        if (digits.empty()) return false;
        for (char c : digits)
            exponent = std::min<long long>(exponent * 10 + (c - '0'), 1'000'000);
        if (negative) exponent = -exponent;
    }
    if (i != s.size()) return false;
    magnitude.reset();
    if (const auto p = whole.find_first_not_of('0'); p != std::string_view::npos)
        magnitude = static_cast<long long>(whole.size() - p - 1) + exponent;
    else if (const auto q = fraction.find_first_not_of('0'); q != std::string_view::npos)
        magnitude = -static_cast<long long>(q + 1) + exponent;
    return true;
}

// The character at byte `at` of UTF-8 text, whole ("É"), and its length in bytes.
std::string_view CharacterAt(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    n = std::min(n, text.size() - at);
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) return text.substr(at, k);
    return text.substr(at, n);
}

std::string Shown(std::string_view c) {
    if (c.size() == 1 &&
        (static_cast<unsigned char>(c[0]) < 0x20 || static_cast<unsigned char>(c[0]) >= 0x7F))
        return fmt::format("\\x{:02X}", static_cast<unsigned char>(c[0]));
    return std::string(c);
}

} // namespace

Checked<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text, std::size_t most) {
    const auto separator = [](char c) { return c == ' ' || c == '\t' || c == ':' || c == ','; };
    const bool grouped = std::any_of(text.begin(), text.end(), separator);
    const std::string shown = fmt::format("'{}'", text);
    std::vector<std::uint8_t> bytes;
    for (std::size_t at = 0; at < text.size();) {
        if (separator(text[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && !separator(text[end]))
            ++end;
        const std::string_view run = text.substr(at, end - at);
        if (!std::all_of(run.begin(), run.end(), [](unsigned char c) { return std::isxdigit(c) != 0; }))
            return {std::nullopt, shown + " is not hexadecimal bytes (like 01 0A FF)"};
        if (grouped && run.size() > 2)
            return {std::nullopt,
                    fmt::format("{}: '{}' is more than one byte; give a byte a group (01 02) or "
                                "two digits a byte without spaces (0102)",
                                shown, run)};
        if (!grouped && run.size() % 2 != 0 && run.size() > 1)
            return {std::nullopt, shown + " has an odd number of digits: give two digits a byte (01 23 or "
                                          "0123), or bytes apart (1 23)"};
        for (std::size_t i = 0; i < run.size(); i += 2) {
            const std::string_view digits = run.substr(i, grouped ? run.size() : 2);
            unsigned value = 0;
            std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
            bytes.push_back(static_cast<std::uint8_t>(value));
        }
        at = end;
    }
    if (bytes.size() > most) return {std::nullopt, fmt::format("{}: at most {} data bytes", shown, most)};
    return {bytes, ""};
}

std::optional<long long> DecimalMagnitude(std::string_view text) {
    std::optional<long long> magnitude;
    if (!DecimalSyntax(text, magnitude)) return std::nullopt;
    return magnitude;
}

const Arguments& Arguments::Get() {
    static const Arguments arguments = Parse(kFactsJson, Facts::Get());
    return arguments;
}

Arguments Arguments::Parse(const std::string& text, const Facts& facts) {
    Arguments a;
    a.facts_ = &facts;
    try {
        const json j = json::parse(text).at("arguments");
        a.numberMax_ = j.at("number").at("max").get<double>();
        a.numberMinNonzero_ = j.at("number").at("min_nonzero").get<double>();
        a.textFirst_ = j.at("text").at("first").get<int>();
        a.textLast_ = j.at("text").at("last").get<int>();
        const std::string pad = j.at("text").at("pad").get<std::string>();
        if (pad.size() != 1) throw std::runtime_error("bad argument table: the pad is one character");
        a.textPad_ = pad[0];
        for (const json& e : j.at("list")) {
            ArgumentSpec s;
            s.name = e.at("name").get<std::string>();
            s.kind = KindOf(e.at("kind").get<std::string>());
            s.first = e.value("first", 0);
            s.last = e.value("last", 0);
            s.codes = e.value("codes", std::string());
            s.length = e.value("length", std::size_t{0});
            if (e.contains("min")) s.min = e.at("min").get<double>();
            if (e.contains("max")) s.max = e.at("max").get<double>();
            s.help = e.at("help").get<std::string>();
            a.specs_.push_back(std::move(s));
        }
    } catch (const json::exception& e) {
        throw std::runtime_error(std::string("bad argument table: ") + e.what());
    }
    return a;
}

const ArgumentSpec& Arguments::Spec(std::string_view name) const {
    for (const ArgumentSpec& s : specs_)
        if (s.name == name) return s;
    throw std::out_of_range("no argument '" + std::string(name) + "' in the argument table");
}

std::string Arguments::Allowed(std::string_view name) const {
    const ArgumentSpec& s = Spec(name);
    switch (s.kind) {
    case ArgumentKind::Range:
        return fmt::format("{}..{}", s.first, s.last);
    case ArgumentKind::Codes: {
        std::string out;
        for (const NamedCode& c : facts_->Codes(s.codes))
            out += fmt::format("{}{} ({})", out.empty() ? "" : ", ", c.name, c.code);
        return out;
    }
    case ArgumentKind::Unit: {
        std::vector<bool> allowed(kByteValues);
        for (int v = 0; v < kByteValues; ++v)
            allowed[static_cast<std::size_t>(v)] = facts_->UnitKnown(v);
        return Runs(allowed) + " (the others are reserved)";
    }
    case ArgumentKind::Number:
        if (s.min && s.max) return fmt::format("{:g}..{:g}", *s.min, *s.max);
        return fmt::format("a decimal number of at most {:g} in magnitude, 0 or at least {:g}", numberMax_,
                           numberMinNonzero_);
    case ArgumentKind::Text:
        return fmt::format("at most {} characters from '{}' to '{}' (no lower case)", s.length,
                           static_cast<char>(textFirst_), static_cast<char>(textLast_));
    }
    return {};
}

Checked<int> Arguments::Check(std::string_view name, long long value) const {
    const ArgumentSpec& s = Spec(name);
    bool ok = false;
    switch (s.kind) {
    case ArgumentKind::Range:
        ok = value >= s.first && value <= s.last;
        break;
    case ArgumentKind::Codes:
        for (const NamedCode& c : facts_->Codes(s.codes))
            ok = ok || c.code == value;
        break;
    case ArgumentKind::Unit:
        ok = value >= 0 && value < kByteValues && facts_->UnitKnown(static_cast<int>(value));
        break;
    default:
        throw std::logic_error(s.name + " is not a whole-number argument");
    }
    if (ok) return {static_cast<int>(value), {}};
    return {std::nullopt, fmt::format("{} {} is out of range: the {} is {}", s.name, value, s.help,
                                      (s.kind == ArgumentKind::Codes ? "one of " : "") + Allowed(name))};
}

Checked<int> Arguments::ParseInteger(std::string_view name, std::string_view text) const {
    const ArgumentSpec& s = Spec(name);
    const bool numeric = !text.empty() && (Digit(text[0]) || (text[0] == '-' && text.size() > 1));
    if (numeric) {
        long long value = 0;
        const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec == std::errc::result_out_of_range && ptr == text.data() + text.size())
            return {std::nullopt,
                    fmt::format("{} {} is out of range: the {} is {}", s.name, text, s.help,
                                (s.kind == ArgumentKind::Codes ? "one of " : "") + Allowed(name))};
        if (ec == std::errc() && ptr == text.data() + text.size()) return Check(name, value);
    }
    if (s.kind == ArgumentKind::Codes) {
        const std::string want = Lower(text);
        for (const NamedCode& c : facts_->Codes(s.codes))
            if (Lower(c.name) == want) return {c.code, {}};
    } else if (s.kind == ArgumentKind::Unit) {
        if (const auto code = facts_->UnitCodeByName(std::string(text))) return Check(name, *code);
    }
    const char* alternative = s.kind == ArgumentKind::Codes  ? "a name or a decimal number"
                              : s.kind == ArgumentKind::Unit ? "a unit symbol, name or decimal code"
                                                             : "a decimal number";
    return {std::nullopt, fmt::format("{} '{}' is not {}: the {} is {}", s.name, text, alternative, s.help,
                                      (s.kind == ArgumentKind::Codes ? "one of " : "") + Allowed(name))};
}

Checked<float> Arguments::CheckNumber(std::string_view name, double value) const {
    return NumberChecked(Spec(name), fmt::format("{:g}", value), value);
}

// `shown` is the value as the user gave it, for the message.
Checked<float> Arguments::NumberChecked(const ArgumentSpec& spec, const std::string& shown,
                                        double value) const {
    const std::string& name = spec.name;
    if (!std::isfinite(value))
        return {std::nullopt, fmt::format("{} {} is not a finite number", name, shown)};
    if (std::fabs(value) > numberMax_)
        return {std::nullopt, fmt::format("{} {} is out of range: at most {:g} in magnitude (a 32-bit float)",
                                          name, shown, numberMax_)};
    if (value != 0 && std::fabs(value) < numberMinNonzero_)
        return {std::nullopt,
                fmt::format("{} {} would not reach the device as given: nonzero values are at least "
                            "{:g} in magnitude (a 32-bit float)",
                            name, shown, numberMinNonzero_)};
    if ((spec.min && value < *spec.min) || (spec.max && value > *spec.max))
        return {std::nullopt,
                fmt::format("{} {} is out of range: the {} is {}", name, shown, spec.help, Allowed(name))};
    return {static_cast<float>(value), {}};
}

Checked<float> Arguments::ParseNumber(std::string_view name, std::string_view text) const {
    const ArgumentSpec& s = Spec(name);
    const std::string shown = fmt::format("'{}'", text);
    std::optional<long long> magnitude;
    if (!DecimalSyntax(text, magnitude)) {
        std::string word = Lower(text);
        if (!word.empty() && (word[0] == '-' || word[0] == '+')) word.erase(0, 1);
        if (word == "nan" || word == "inf" || word == "infinity")
            return {std::nullopt, fmt::format("{} {} is not a finite number", s.name, shown)};
        return {std::nullopt, fmt::format("{} {} is not a decimal number (like 12.5 or -1e3; no hexadecimal)",
                                          s.name, shown)};
    }
    std::string_view digits = text;
    if (digits.front() == '+') digits.remove_prefix(1); // from_chars takes no '+'
    double value = 0;
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec == std::errc::result_out_of_range) // beyond a double: large or tiny by its first digit
        return NumberChecked(s, shown, magnitude && *magnitude >= 0 ? numberMax_ * 2 : 1e-300);
    if (ec != std::errc() || ptr != digits.data() + digits.size())
        return {std::nullopt, fmt::format("{} {} is not a decimal number", s.name, shown)};
    return NumberChecked(s, shown, value);
}

Checked<std::string> Arguments::CheckText(std::string_view name, std::string_view text) const {
    const ArgumentSpec& s = Spec(name);
    std::size_t position = 0;
    for (std::size_t at = 0; at < text.size(); ++position) {
        const std::string_view c = CharacterAt(text, at);
        const auto byte = static_cast<unsigned char>(c[0]);
        if (c.size() > 1 || byte < textFirst_ || byte > textLast_) {
            std::string advice;
            if (c.size() == 1 && std::islower(byte))
                advice = fmt::format(" (lower case is not upper-cased for you: write '{}')",
                                     static_cast<char>(std::toupper(byte)));
            return {std::nullopt,
                    fmt::format("{} '{}': character {} '{}' is not in the packed alphabet: the {} takes {}{}",
                                s.name, text, position + 1, Shown(c), s.help, Allowed(name), advice)};
        }
        at += c.size();
    }
    if (text.size() > s.length)
        return {std::nullopt, fmt::format("{} '{}' has {} characters: the {} takes {}", s.name, text,
                                          text.size(), s.help, Allowed(name))};
    std::string padded(text);
    padded.resize(s.length, textPad_);
    return {padded, {}};
}

std::string Arguments::DigitsProblem(double value, int digits) {
    if (value != 0 && std::fabs(value) < 0.5 * std::pow(10.0, -digits))
        return fmt::format("setpoint {:g} would be sent as 0 with {} decimals: give more digits (0..3) or "
                           "a larger value",
                           value, digits);
    return {};
}

} // namespace tarvik::tools
