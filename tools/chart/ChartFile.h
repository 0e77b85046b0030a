// Writing the chart to a file that a browser may reload at any moment: the new document goes to a
// temporary file beside it, which then replaces the old one in one step. A device or FIFO is
// written into instead, "-" is standard output (tools::WriteWholeFile).
#pragma once

#include <string>
#include <string_view>

#include "Chart.h"

namespace tarvik::chart {

// Replaces `path` with `content` (tools::WriteWholeFile); throws std::runtime_error (naming the
// file and the reason) when it cannot, leaving the old file as it was and no temporary file behind.
void WriteFileAtomically(const std::string& path, const std::string& content);

// The chart `watch` keeps up to date: every poll adds its values, every Write() replaces the file
// with the complete chart so far.
class LiveChart {
public:
    // Writes the empty chart at once, so a bad path is known before polling starts (throws then).
    LiveChart(std::string path, std::string title, RenderOptions options = {});

    // `time` as the log writes it ("2024-05-01T10:00:00.250"); no value when the poll failed.
    void Add(const std::string& name, const std::string& unit, std::string_view time,
             std::optional<double> value);
    // False when the file could not be replaced; `Error()` then says why. Polling goes on.
    bool Write();
    const std::string& Error() const { return error_; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::string title_;
    RenderOptions options_;
    Recorder recorder_;
    std::string error_;
};

} // namespace tarvik::chart
