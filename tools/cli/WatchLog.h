// The CSV log of the watch commands (`tarvik watch`, `tarvik hart watch`): a header
// "time,<name>,<name> unit,<name> result,..." and one row per poll.
#pragma once

#include <string>

namespace tarvik::cli {

// One CSV field, quoted when it holds a comma, a quote or a line end.
std::string CsvField(const std::string& s);

struct CsvStart {
    bool fresh = true;         // write the header (new, empty or --force-new)
    bool needsNewline = false; // the existing log's last line has no line end
};

// How a watch log starts: a missing or empty file gets the header; an existing log with the same
// columns is continued (after a line end if its last line lacks one); a file with other columns is
// refused (CLI::ValidationError) unless `forceNew`, which starts it anew.
CsvStart PrepareCsv(const std::string& path, const std::string& header, bool forceNew);

} // namespace tarvik::cli
