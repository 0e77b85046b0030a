// Charts of polled values: `tarvik chart LOG.csv -o CHART.svg`, and the chart `watch --chart` keeps
// up to date while it polls.
#pragma once

#include <memory>
#include <string>

#include "ChartFile.h"
#include "Cli.h"

namespace tarvik::cli {

void AddChartCommand(CLI::App& app, Cli& cli);

// True when the two paths name the same file: the same text, links to it, hard links, or (for an
// output that does not exist yet) the same place after resolving the directories' links.
bool SameFile(const std::string& a, const std::string& b);

// Axis labels from the unit table: "l/min (liters per minute)".
chart::RenderOptions ChartOptions();

// The chart of one `watch` run, titled with its port and device; null when `path` is empty. Throws
// CLI::ValidationError when the file cannot be written.
std::unique_ptr<chart::LiveChart> WatchChart(const std::string& path, const std::string& title);
// Rewrites the watch chart; a failure is reported on stderr once, and polling goes on.
void WriteWatchChart(chart::LiveChart& chart);

} // namespace tarvik::cli
