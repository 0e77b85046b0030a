// Numbers as the read-out unit writes and reads them. Every conversion uses a full stop as the
// decimal separator, independent of any locale: the unit's lines are comma-separated fields, so a
// locale's decimal comma would change the value the unit sees.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvik::readout {

inline constexpr char kDecimalPoint = '.';

// The whole text as one signed 32-bit integer: leading spaces, an optional sign, then decimal
// digits or hexadecimal digits after "$", "x" or "0x". Nothing else may follow (not even a space);
// an empty text or a value outside the 32-bit range gives nullopt.
std::optional<std::int32_t> TextToInt(std::string_view text);

// The whole text as a 32-bit float: spaces on both sides, an optional sign, digits with at most one
// full stop, an optional exponent (E or e, optional sign, digits). Rounded to the nearest float; a
// value beyond the float range gives nullopt, one too small for it gives a zero of its sign.
std::optional<float> TextToFloat(std::string_view text);

// Fixed-point text of `value` with `digits` (0..3) decimals, computed from the float's exact value
// and rounded once, at the earlier of `digits` decimals or ten significant digits, ties away from
// zero. No sign on a value that rounds to zero. "NAN", "INF", "-INF" for the special values;
// magnitudes of 1e10 and more as d.dddddddddE+XX (ten significant digits, two exponent digits).
std::string FormatSetPoint(float value, std::int32_t digits);

} // namespace tarvik::readout
