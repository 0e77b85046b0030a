#include "ChartFile.h"

#include <stdexcept>

#include "OutputFile.h"

namespace tarvik::chart {

void WriteFileAtomically(const std::string& path, const std::string& content) {
    tools::WriteWholeFile(path, content);
}

LiveChart::LiveChart(std::string path, std::string title, RenderOptions options)
    : path_(std::move(path)), title_(std::move(title)), options_(std::move(options)) {
    if (!Write()) throw std::runtime_error(error_);
}

void LiveChart::Add(const std::string& name, const std::string& unit, std::string_view time,
                    std::optional<double> value) {
    // The clock text comes from the tool itself; should it ever not parse, the poll cannot be placed.
    if (const auto t = ParseWallTime(time)) recorder_.Add(name, unit, *t, value);
}

bool LiveChart::Write() {
    try {
        WriteFileAtomically(path_, RenderSvg({title_, recorder_.Collected()}, options_));
        error_.clear();
        return true;
    } catch (const std::exception& e) {
        error_ = e.what();
        return false;
    }
}

} // namespace tarvik::chart
