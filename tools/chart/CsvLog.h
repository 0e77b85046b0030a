// Reads the CSV log that `tarvik watch --csv` appends to: a header "time,<name>,<name> unit,
// <name> result,..." and one row per poll, an empty value where the poll failed.
#pragma once

#include <istream>
#include <string>

#include "Chart.h"

namespace tarvik::chart {

struct CsvLog {
    std::vector<Series> series;
    std::size_t rows = 0;    // polls read
    std::size_t skipped = 0; // rows that were not polls of this header (cut short, other items)
    std::size_t firstSkippedLine = 0;
};

// Splits one CSV record (RFC 4180 quoting: "a,b" and "" inside quotes).
std::vector<std::string> SplitCsvRecord(const std::string& line);

// Throws std::runtime_error when the header is not that of a watch log. Rows that do not fit the
// header are skipped and counted.
CsvLog ReadCsvLog(std::istream& in);

} // namespace tarvik::chart
