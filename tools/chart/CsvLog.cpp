#include "CsvLog.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace tarvik::chart {
namespace {

constexpr std::size_t kFieldsPerItem = 3; // value, unit, result

std::optional<double> ParseNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    // The log writes "nan" and "inf" for values that are not numbers: a gap, like a failed poll.
    double v = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (ec != std::errc() || ptr != end || !std::isfinite(v)) return std::nullopt;
    return v;
}

bool GetRecord(std::istream& in, std::string& record) {
    // A quoted field may hold a line end: read on while a quote is open.
    record.clear();
    std::string line;
    bool any = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        record += any ? "\n" + line : line;
        any = true;
        std::size_t quotes = 0;
        for (char c : record)
            quotes += c == '"';
        if (quotes % 2 == 0) return true;
    }
    return any;
}

} // namespace

std::vector<std::string> SplitCsvRecord(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

CsvLog ReadCsvLog(std::istream& in) {
    std::string record;
    while (GetRecord(in, record) && record.empty()) {
    }
    if (record.starts_with("\xEF\xBB\xBF")) record.erase(0, 3); // a byte-order mark from an editor
    const std::vector<std::string> header = SplitCsvRecord(record);
    const std::size_t items = (header.size() - 1) / kFieldsPerItem;
    bool valid = header.size() > 1 && header[0] == "time" && (header.size() - 1) % kFieldsPerItem == 0;
    std::vector<std::string> names;
    for (std::size_t i = 0; valid && i < items; ++i) {
        const std::string& name = header[1 + i * kFieldsPerItem];
        valid = !name.empty() && header[2 + i * kFieldsPerItem] == name + " unit" &&
                header[3 + i * kFieldsPerItem] == name + " result";
        names.push_back(name);
    }
    if (!valid)
        throw std::runtime_error("not a log of tarvik watch --csv (the header should read "
                                 "time,<item>,<item> unit,<item> result,...)");

    Recorder recorder;
    CsvLog log;
    std::size_t line = 1; // record number
    while (GetRecord(in, record)) {
        ++line;
        if (record.empty()) continue;
        const std::vector<std::string> fields = SplitCsvRecord(record);
        const auto time = ParseWallTime(fields[0]);
        if (fields.size() != header.size() || !time) {
            if (fields == header) continue; // logs joined with their headers
            if (log.skipped++ == 0) log.firstSkippedLine = line;
            continue;
        }
        for (std::size_t i = 0; i < items; ++i)
            recorder.Add(names[i], fields[2 + i * kFieldsPerItem], *time,
                         ParseNumber(fields[1 + i * kFieldsPerItem]));
        ++log.rows;
    }
    log.series = recorder.Collected();
    return log;
}

} // namespace tarvik::chart
