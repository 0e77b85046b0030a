// Axis scales of the chart: wall-clock times as `watch` writes them, and tick marks at round values
// and round times.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik::chart {

// A wall-clock time as seconds since 1970-01-01 00:00, read as written: no time zone is applied, so
// the ticks show the same clock times as the log.
using WallTime = double;

// "2024-05-01T10:00:00.250" (the fraction and a space instead of the T are optional); nullopt when
// the text is not such a time or names an impossible date.
std::optional<WallTime> ParseWallTime(std::string_view text);
// "2024-05-01"
std::string FormatDate(WallTime t);
// "10:00:00" with `decimals` digits of the second (0 to 3).
std::string FormatClock(WallTime t, int decimals = 0);

struct Tick {
    double at = 0;
    std::string label;
    std::string second; // a second label line (the date, where a time axis passes midnight)
};

struct Axis {
    double min = 0, max = 0; // the range the axis shows
    std::vector<Tick> ticks;
};

// A value axis that contains [lo, hi] and ends on ticks at 1, 2, 2.5 or 5 times a power of ten; at
// most `maxTicks` ticks. An empty range (lo == hi) is widened around the value.
Axis ValueAxis(double lo, double hi, int maxTicks = 6);
// A time axis over exactly [t0, t1] (widened to one second at least) with ticks at round clock
// times: tenths of a second up to days, at most `maxTicks`.
Axis TimeAxis(WallTime t0, WallTime t1, int maxTicks = 8);

} // namespace tarvik::chart
