// What every writable argument may be (the "arguments" part of facts.json), for the front ends:
// the command line, the gateway and, through the same file, the Python package. A value outside
// its entry is refused before anything is sent; the reason names the argument and what it may be.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Facts.h"

namespace tarvik::tools {

enum class ArgumentKind { Range, Codes, Unit, Number, Text };

struct ArgumentSpec {
    std::string name; // "gas", "state", "setpoint"
    ArgumentKind kind = ArgumentKind::Range;
    int first = 0, last = 0;        // Range
    std::string codes;              // Codes: the device_codes table
    std::size_t length = 0;         // Text
    std::optional<double> min, max; // Number: the values it takes, when bounded
    std::string help;               // "gas entry"
};

// A checked value, or the reason it is refused ("gas 258 is out of range: a gas entry is 1..10").
template <typename T>
struct Checked {
    std::optional<T> value;
    std::string reason;
    bool Ok() const { return value.has_value(); }
};

// The power of ten of the first nonzero digit of decimal text ("0.05" -> -2, "1.5e3" -> 3);
// nullopt when the text is not a decimal number or all its digits are zero.
std::optional<long long> DecimalMagnitude(std::string_view text);

// Data bytes in hexadecimal, as a raw command takes them: "01 0A FF" (groups of one or two digits
// apart, by spaces, colons or commas: one byte each), "010AFF" (two digits a byte), one digit
// alone ("1": 01), or nothing.
// Refused: a group of more than two digits ("0102 03"), an odd run ("123": 01 23 or 12 03?),
// anything not hexadecimal, more than `most` bytes.
Checked<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text, std::size_t most);

class Arguments {
public:
    // The embedded table (parsed once).
    static const Arguments& Get();
    // A table from the JSON text of facts.json; throws std::runtime_error when it is not one.
    static Arguments Parse(const std::string& json, const Facts& facts);

    const std::vector<ArgumentSpec>& All() const { return specs_; }
    // The entry of an argument; throws std::out_of_range for a name the table does not have
    // (a programming error, not a user's).
    const ArgumentSpec& Spec(std::string_view name) const;
    // What the argument may be, for messages: "1..10", "normal (0), closed (1), open (2)".
    std::string Allowed(std::string_view name) const;

    // A whole number for a Range, Codes or Unit argument.
    Checked<int> Check(std::string_view name, long long value) const;
    // Command-line text: a decimal number, or for Codes a code's name, for Unit a unit's symbol or
    // name (any case). No hexadecimal.
    Checked<int> ParseInteger(std::string_view name, std::string_view text) const;

    // A Number argument: finite, within the float's range, zero or not below the smallest normal.
    Checked<float> CheckNumber(std::string_view name, double value) const;
    // Decimal text only ("12.5", "-1e3"): no hexadecimal, "nan" or "inf", no blanks.
    Checked<float> ParseNumber(std::string_view name, std::string_view text) const;
    // Why a 0731 set point sent with `digits` decimals would not arrive as meant (a nonzero value
    // the unit would receive as 0), or empty when it arrives.
    static std::string DigitsProblem(double value, int digits);

    // A Text argument: every byte in the packed alphabet (the first one outside is named with its
    // position), at most the argument's length; returns it padded to that length.
    Checked<std::string> CheckText(std::string_view name, std::string_view text) const;

    double NumberMax() const { return numberMax_; }
    double NumberMinNonzero() const { return numberMinNonzero_; }
    int TextFirst() const { return textFirst_; }
    int TextLast() const { return textLast_; }
    char TextPad() const { return textPad_; }

private:
    Checked<float> NumberChecked(const ArgumentSpec& spec, const std::string& shown, double value) const;

    const Facts* facts_ = nullptr;
    std::vector<ArgumentSpec> specs_;
    double numberMax_ = 0, numberMinNonzero_ = 0;
    int textFirst_ = 0, textLast_ = 0;
    char textPad_ = ' ';
};

} // namespace tarvik::tools
