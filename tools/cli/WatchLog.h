// The watch commands (`tarvik watch`, `tarvik hart watch`): one loop that polls a sampler of the
// device's family at an interval and shows every round on the live line or as JSON lines, in the
// CSV log ("time,<name>,<name> unit,<name> result,..." and one row per poll) and in the chart,
// until --count rounds or Ctrl-C.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Cli.h"

namespace tarvik::cli {

// One CSV field, quoted when it holds a comma, a quote or a line end.
std::string CsvField(const std::string& s);

struct CsvStart {
    bool fresh = true;         // write the header (new, empty, --force-new, or not a regular file)
    bool needsNewline = false; // the existing log's last line has no line end
};

// How a watch log starts: a missing or empty file gets the header; an existing log with the same
// columns is continued (after a line end if its last line lacks one); a file with other columns is
// refused (CLI::ValidationError) unless `forceNew`, which starts it anew. What is not a regular
// file (standard output "-", a pipe, a device) is not read: it gets the header.
CsvStart PrepareCsv(const std::string& path, const std::string& header, bool forceNew);

// One polled value.
struct WatchSample {
    std::optional<float> value; // none when the poll failed
    std::string unit;           // symbol
    std::int32_t result = 0;    // shown for the value (its name)
};

// One round: a sample per item, in the order of the items, and the round's exit status.
struct WatchRound {
    std::vector<WatchSample> samples;
    int exit = kExitOk;
};

// Polls the items of one device family.
class WatchSampler {
public:
    virtual ~WatchSampler() = default;
    virtual WatchRound Poll() = 0;
};

// The options both watch commands take but their items.
struct WatchSettings {
    std::vector<std::string> items;
    double interval = 1.0;
    int count = 0;
    std::string csvPath;
    std::string chartPath;
    bool forceNew = false;
};
void AddWatchOptions(CLI::App& watch, WatchSettings& settings);

// What starting a watch gave: the sampler and the chart's title; nothing when the device could not
// be reached (the failure reported).
struct WatchStart {
    std::unique_ptr<WatchSampler> sampler;
    std::string title;
};

// Runs a watch of `names` for `command` ("watch", "hart watch"): checks the outputs before
// `start` reaches the device, then polls until done, and sets the exit status. Throws
// CLI::ValidationError for outputs that cannot be used, std::runtime_error when the log cannot
// be written or standard output goes away.
void RunWatchLoop(Cli& cli, const std::string& command, const WatchSettings& settings,
                  const std::vector<std::string>& names,
                  const std::function<std::optional<WatchStart>()>& start);

// The result's name ("ResultNoReply"), or its number when the table does not know it.
std::string ResultName(std::int32_t rc);

} // namespace tarvik::cli
