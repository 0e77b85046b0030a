#include "Ticks.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fmt/format.h>

namespace tarvik::chart {
namespace {

constexpr double kSecondsPerDay = 86400;
constexpr double kMinTimeSpan = 1.0;

// Days since 1970-01-01 of a proleptic Gregorian date, and back (the usual era arithmetic).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

struct Civil {
    long long year;
    unsigned month, day;
};

Civil CivilFromDays(long long z) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<long long>(yoe) + era * 400 + (m <= 2), m, d};
}

bool LeapYear(long long y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(long long y, unsigned m) {
    constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && LeapYear(y) ? 29 : kDays[m - 1];
}

// Exactly `width` decimal digits at `pos`.
std::optional<unsigned> Digits(std::string_view text, std::size_t pos, std::size_t width) {
    if (pos + width > text.size()) return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = pos; i < pos + width; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
}

long long DayOf(WallTime t) {
    return static_cast<long long>(std::floor(t / kSecondsPerDay));
}

// Decimals that show every multiple of `step` distinctly.
int DecimalsFor(double step) {
    return std::max(0, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
}

std::string ValueLabel(double v, double step) {
    const double magnitude = std::max(std::fabs(v), step);
    std::string s = magnitude >= 1e7 || step < 1e-6 ? fmt::format("{:.4g}", v)
                                                    : fmt::format("{:.{}f}", v, DecimalsFor(step));
    if (s.starts_with('-') && s.find_first_not_of("-0.") == std::string::npos) s.erase(0, 1); // "-0"
    return s;
}

} // namespace

std::optional<WallTime> ParseWallTime(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS[.fff]
    constexpr std::size_t kSecondsEnd = 19;
    if (text.size() < kSecondsEnd || text[4] != '-' || text[7] != '-' ||
        (text[10] != 'T' && text[10] != ' ') || text[13] != ':' || text[16] != ':')
        return std::nullopt;
    const auto y = Digits(text, 0, 4), mo = Digits(text, 5, 2), d = Digits(text, 8, 2);
    const auto h = Digits(text, 11, 2), mi = Digits(text, 14, 2), s = Digits(text, 17, 2);
    if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
    if (*mo < 1 || *mo > 12 || *d < 1 || *d > DaysInMonth(*y, *mo) || *h > 23 || *mi > 59 || *s > 60)
        return std::nullopt;
    double fraction = 0;
    if (text.size() > kSecondsEnd) {
        if (text[kSecondsEnd] != '.' || text.size() == kSecondsEnd + 1) return std::nullopt;
        double scale = 0.1;
        for (std::size_t i = kSecondsEnd + 1; i < text.size(); ++i, scale /= 10) {
            if (text[i] < '0' || text[i] > '9') return std::nullopt;
            fraction += (text[i] - '0') * scale;
        }
    }
    const long long days = DaysFromCivil(*y, *mo, *d);
    return static_cast<double>(days) * kSecondsPerDay + *h * 3600.0 + *mi * 60.0 + *s + fraction;
}

std::string FormatDate(WallTime t) {
    const Civil c = CivilFromDays(DayOf(t));
    return fmt::format("{:04}-{:02}-{:02}", c.year, c.month, c.day);
}

std::string FormatClock(WallTime t, int decimals) {
    decimals = std::clamp(decimals, 0, 3);
    const double scale = std::pow(10.0, decimals);
    // Cut to the last digit shown, as clocks do (and as watch prints its times); the small allowance
    // keeps a tick computed as 9.9999999 from showing as 09.
    const double units = std::floor((t - static_cast<double>(DayOf(t)) * kSecondsPerDay) * scale + 1e-6);
    const long long whole = static_cast<long long>(units / scale) % static_cast<long long>(kSecondsPerDay);
    const long long part = static_cast<long long>(units) % static_cast<long long>(scale);
    std::string out = fmt::format("{:02}:{:02}:{:02}", whole / 3600, whole / 60 % 60, whole % 60);
    if (decimals > 0) out += fmt::format(".{:0{}}", part, decimals);
    return out;
}

Axis ValueAxis(double lo, double hi, int maxTicks) {
    maxTicks = std::max(maxTicks, 2);
    if (hi < lo) std::swap(lo, hi);
    if (!std::isfinite(hi - lo)) return {lo, hi, {}}; // not a range that ticks can divide
    if (hi - lo <= std::max(std::fabs(lo), std::fabs(hi)) * 1e-9) {
        const double pad = lo == 0 ? 1.0 : std::fabs(lo) * 0.1;
        lo -= pad;
        hi += pad;
    }
    const double span = hi - lo;
    double step = std::pow(10.0, std::floor(std::log10(span / maxTicks)));
    Axis axis;
    for (int guard = 0; guard < 40; ++guard) {
        for (double m : {1.0, 2.0, 2.5, 5.0}) {
            const double s = step * m;
            const double first = std::floor(lo / s), last = std::ceil(hi / s);
            if (last - first + 1 > maxTicks) continue;
            axis.min = first * s;
            axis.max = last * s;
            for (double k = first; k <= last; ++k)
                axis.ticks.push_back({k * s, ValueLabel(k * s, s), {}});
            // The products above can round a hair inside the data; the range must hold every value.
            axis.min = std::min(axis.min, lo);
            axis.max = std::max(axis.max, hi);
            return axis;
        }
        step *= 10;
    }
    axis.min = lo;
    axis.max = hi;
    return axis;
}

Axis TimeAxis(WallTime t0, WallTime t1, int maxTicks) {
    constexpr double kSteps[] = {0.1,   0.2,   0.5,   1,      2,      5,       10,      15,   30,
                                 60,    120,   300,   600,    900,    1800,    3600,    7200, 10800,
                                 21600, 43200, 86400, 172800, 604800, 2592000, 31536000};
    maxTicks = std::max(maxTicks, 2);
    if (t1 < t0) std::swap(t0, t1);
    if (t1 - t0 < kMinTimeSpan) {
        const double mid = (t0 + t1) / 2;
        t0 = mid - kMinTimeSpan / 2;
        t1 = mid + kMinTimeSpan / 2;
    }
    Axis axis{t0, t1, {}};
    if (!std::isfinite(t1 - t0)) return axis;
    // Beyond the table: whole multiples of the longest step.
    const double longest = kSteps[std::size(kSteps) - 1];
    double step = std::max(1.0, std::ceil((t1 - t0) / maxTicks / longest)) * longest;
    for (double s : kSteps) {
        if (std::floor(t1 / s) - std::ceil(t0 / s) + 1 <= maxTicks) {
            step = s;
            break;
        }
    }
    long long previousDay = DayOf(t0);
    for (double k = std::ceil(t0 / step); k * step <= t1; ++k) {
        const double at = k * step;
        Tick tick{at, {}, {}};
        if (step >= kSecondsPerDay) {
            tick.label = FormatDate(at).substr(5); // "05-01"
        } else {
            tick.label = FormatClock(at, step < 1 ? 1 : 0);
            if (step >= 60) tick.label.resize(5); // "10:30"
            if (DayOf(at) != previousDay) tick.second = FormatDate(at);
        }
        previousDay = DayOf(at);
        axis.ticks.push_back(std::move(tick));
    }
    return axis;
}

} // namespace tarvik::chart
