// A line chart of polled values over time, written as a self-contained SVG document: one series per
// polled value, one panel per unit (stacked, sharing the time axis), a legend, and a mark at every
// failed poll where the line breaks instead of dropping to zero.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Ticks.h"

namespace tarvik::chart {

struct Point {
    WallTime time = 0;
    std::optional<double> value; // none: the poll failed (or read a value that is not a number)
};

struct Series {
    std::string name; // "flow", "pv:1"
    std::string unit; // "l/min"; empty when the value carries none
    std::vector<Point> points;
};

struct Chart {
    std::string title;
    std::vector<Series> series;
};

// Collects polls into series. A value keeps to the series of its name and unit; a value whose unit
// changes starts a second series of that name. A failed poll belongs to the series its name used last.
class Recorder {
public:
    void Add(const std::string& name, const std::string& unit, WallTime time, std::optional<double> value);
    const std::vector<Series>& Collected() const { return series_; }

private:
    std::vector<Series> series_;
    std::map<std::string, std::size_t> last_; // name -> series it used last
};

struct RenderOptions {
    // The label of a panel's value axis for a unit symbol (default: the symbol, or "value").
    std::function<std::string(const std::string& unit)> describeUnit;
    int width = 960;
    int panelHeight = 220;
};

// The complete SVG document.
std::string RenderSvg(const Chart& chart, const RenderOptions& options = {});

// Text for XML character data and attribute values.
std::string XmlEscape(const std::string& text);

} // namespace tarvik::chart
