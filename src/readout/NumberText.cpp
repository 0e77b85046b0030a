#include "NumberText.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>
#include <vector>

namespace tarvik::readout {

namespace {

constexpr char kSpace = ' ';
constexpr char kPlus = '+';
constexpr char kMinus = '-';
constexpr char kHexDollar = '$';

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Value of `c` as a digit of `base` (10 or 16), or -1.
int DigitValue(char c, int base) {
    if (IsDigit(c)) return c - '0';
    if (base == 16) {
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    }
    return -1;
}

bool IsHexMark(char c) {
    return c == 'x' || c == 'X';
}
bool IsExponentMark(char c) {
    return c == 'e' || c == 'E';
}

} // namespace

std::optional<std::int32_t> TextToInt(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == kSpace)
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == kPlus || text[i] == kMinus)) negative = text[i++] == kMinus;
    int base = 10;
    if (i < text.size() && (text[i] == kHexDollar || IsHexMark(text[i]))) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && IsHexMark(text[i + 1])) {
        base = 16;
        i += 2;
    }
    if (i == text.size()) return std::nullopt;

    // The magnitude may reach 2^31 only with a minus sign.
    const std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + (negative ? 1 : 0);
    std::int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const int d = DigitValue(text[i], base);
        if (d < 0) return std::nullopt;
        magnitude = magnitude * base + d;
        if (magnitude > limit) return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

std::optional<float> TextToFloat(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return std::nullopt;
    const std::string_view s = text.substr(first, text.find_last_not_of(kSpace) - first + 1);

    std::size_t i = 0;
    bool negative = false;
    if (s[i] == kPlus || s[i] == kMinus) negative = s[i++] == kMinus;
    const std::size_t numberStart = i;

    // Mantissa: digits with at most one full stop, at least one digit. `leadPower` becomes the
    // power of ten of the first non-zero digit (it tells overflow from underflow below).
    std::int64_t intDigits = 0;
    std::int64_t fracDigits = 0;
    std::int64_t leadInt = 0;  // 1-based position of the first non-zero digit in the integer part
    std::int64_t leadFrac = 0; // ... or in the fraction
    bool point = false;
    for (; i < s.size(); ++i) {
        if (s[i] == kDecimalPoint && !point) {
            point = true;
        } else if (IsDigit(s[i])) {
            point ? ++fracDigits : ++intDigits;
            if (s[i] != '0' && leadInt == 0 && leadFrac == 0) {
                if (point)
                    leadFrac = fracDigits;
                else
                    leadInt = intDigits;
            }
        } else {
            break;
        }
    }
    if (intDigits + fracDigits == 0) return std::nullopt;
    std::int64_t leadPower = leadInt > 0 ? intDigits - leadInt : -leadFrac;

    // Exponent: E or e, optional sign, at least one digit (its value saturates; it only matters
    // for the overflow/underflow decision).
    if (i < s.size() && IsExponentMark(s[i])) {
        ++i;
        bool expNegative = false;
        if (i < s.size() && (s[i] == kPlus || s[i] == kMinus)) expNegative = s[i++] == kMinus;
        constexpr std::int64_t kSaturated = 100000;
        std::int64_t exponent = 0;
        const std::size_t expStart = i;
        for (; i < s.size() && IsDigit(s[i]); ++i)
            exponent = std::min(exponent * 10 + (s[i] - '0'), kSaturated);
        if (i == expStart) return std::nullopt;
        leadPower += expNegative ? -exponent : exponent;
    }
    if (i != s.size()) return std::nullopt;

    // The grammar is checked; the conversion rounds the exact decimal value to the nearest float.
    const std::string_view number = s.substr(numberStart);
    float value = 0.0f;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (ec == std::errc::result_out_of_range) {
        if (leadPower >= 0) return std::nullopt; // beyond the largest float
        value = 0.0f;                            // below the smallest subnormal
    } else if (ec != std::errc() || end != number.data() + number.size()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

namespace {

// Little-endian base-10^9 natural number, enough for the exact value of any float.
class BigNatural {
public:
    explicit BigNatural(std::uint32_t v) : limbs_{v % kBase, v / kBase} { Trim(); }

    void MultiplyBy(std::uint32_t factor) {
        std::uint64_t carry = 0;
        for (auto& limb : limbs_) {
            const std::uint64_t x = std::uint64_t{limb} * factor + carry;
            limb = static_cast<std::uint32_t>(x % kBase);
            carry = x / kBase;
        }
        if (carry != 0) limbs_.push_back(static_cast<std::uint32_t>(carry));
    }

    std::string ToDecimal() const {
        std::string s;
        for (auto it = limbs_.rbegin(); it != limbs_.rend(); ++it) {
            char chunk[kLimbDigits];
            std::uint32_t v = *it;
            for (int k = kLimbDigits - 1; k >= 0; --k, v /= 10)
                chunk[k] = static_cast<char>('0' + v % 10);
            s.append(chunk, kLimbDigits);
        }
        const std::size_t lead = s.find_first_not_of('0');
        return lead == std::string::npos ? std::string() : s.substr(lead);
    }

private:
    static constexpr std::uint32_t kBase = 1000000000;
    static constexpr int kLimbDigits = 9;

    void Trim() {
        while (limbs_.size() > 1 && limbs_.back() == 0)
            limbs_.pop_back();
    }

    std::vector<std::uint32_t> limbs_;
};

// value = 0.d1 d2 d3 ... x 10^pointPos with d1 != 0; no digits at all for zero.
struct Decimal {
    std::string digits;
    std::int64_t pointPos = 0;

    bool IsZero() const { return digits.empty(); }
    char DigitAt(std::int64_t index) const {
        return index >= 0 && index < static_cast<std::int64_t>(digits.size())
                   ? digits[static_cast<std::size_t>(index)]
                   : '0';
    }
};

constexpr std::uint32_t kFloatFractionMask = 0x7FFFFF;
constexpr std::uint32_t kFloatHiddenBit = 0x800000;
constexpr int kFloatFractionBits = 23;
constexpr std::uint32_t kFloatExponentMask = 0xFF;
constexpr int kFloatExponentBias = 127;

// The exact decimal expansion of |value| (finite).
Decimal ExactDecimal(float value) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t fraction = bits & kFloatFractionMask;
    const int biased = static_cast<int>((bits >> kFloatFractionBits) & kFloatExponentMask);
    // |value| = mantissa x 2^exponent
    const std::uint32_t mantissa = biased == 0 ? fraction : (fraction | kFloatHiddenBit);
    const int exponent = (biased == 0 ? 1 : biased) - kFloatExponentBias - kFloatFractionBits;
    if (mantissa == 0) return {};

    // m x 2^e for e >= 0; (m x 5^-e) x 10^e for e < 0.
    BigNatural n(mantissa);
    for (int k = 0; k < (exponent >= 0 ? exponent : -exponent); ++k)
        n.MultiplyBy(exponent >= 0 ? 2 : 5);
    Decimal d{n.ToDecimal(), 0};
    d.pointPos = static_cast<std::int64_t>(d.digits.size()) + std::min(exponent, 0);
    return d;
}

// Keeps the first `keep` digits and rounds once on the first dropped one (5 or more rounds the
// magnitude up, so ties go away from zero).
void RoundToDigits(Decimal& d, std::int64_t keep) {
    if (keep >= static_cast<std::int64_t>(d.digits.size())) return;
    if (keep < 0) {
        d.digits.clear();
        return;
    }
    const bool up = d.digits[static_cast<std::size_t>(keep)] >= '5';
    d.digits.resize(static_cast<std::size_t>(keep));
    if (!up) return;
    std::size_t i = d.digits.size();
    while (i > 0 && d.digits[i - 1] == '9')
        d.digits[--i] = '0';
    if (i > 0) {
        ++d.digits[i - 1];
    } else {
        d.digits.insert(d.digits.begin(), '1');
        ++d.pointPos;
    }
}

constexpr std::int64_t kSignificantDigits = 10;
constexpr std::int64_t kMaxFixedIntegerDigits = 10; // fixed form below 10^10
constexpr char kExponentMark = 'E';
constexpr int kMinExponentDigits = 2;

std::string ExponentForm(Decimal d, bool negative) {
    RoundToDigits(d, kSignificantDigits);
    std::string out;
    if (negative) out += kMinus;
    out += d.DigitAt(0);
    out += kDecimalPoint;
    for (std::int64_t k = 1; k < kSignificantDigits; ++k)
        out += d.DigitAt(k);
    out += kExponentMark;
    const std::int64_t power = d.pointPos - 1;
    out += power < 0 ? kMinus : kPlus;
    std::string expDigits;
    for (std::int64_t v = power < 0 ? -power : power; v > 0; v /= 10)
        expDigits.insert(expDigits.begin(), static_cast<char>('0' + v % 10));
    if (expDigits.size() < kMinExponentDigits)
        expDigits.insert(0, kMinExponentDigits - expDigits.size(), '0');
    return out + expDigits;
}

} // namespace

std::string FormatSetPoint(float value, std::int32_t digits) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    const bool negative = std::signbit(value);
    Decimal d = ExactDecimal(value);
    if (d.pointPos > kMaxFixedIntegerDigits) return ExponentForm(d, negative);

    const std::int64_t places = std::max<std::int32_t>(digits, 0);
    RoundToDigits(d, std::min(d.pointPos + places, kSignificantDigits));

    std::string out;
    if (negative && !d.IsZero()) out += kMinus;
    if (d.pointPos <= 0) out += '0';
    for (std::int64_t k = 0; k < d.pointPos; ++k)
        out += d.DigitAt(k);
    if (places > 0) {
        out += kDecimalPoint;
        for (std::int64_t k = 0; k < places; ++k)
            out += d.DigitAt(d.pointPos + k);
    }
    return out;
}

} // namespace tarvik::readout
