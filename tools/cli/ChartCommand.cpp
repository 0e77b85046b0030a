#include "ChartCommand.h"

#include <fmt/format.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "CsvLog.h"
#include "Facts.h"
#include "OutputFile.h"

namespace tarvik::cli {
namespace fs = std::filesystem;
namespace {

// "log.csv" -> "log.svg"
std::string SvgBeside(const std::string& csv) {
    const auto slash = csv.find_last_of("/\\");
    const auto dot = csv.rfind('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExtension ? csv.substr(0, dot) : csv) + ".svg";
}

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ea, eb;
    const bool aExists = fs::exists(a, ea), bExists = fs::exists(b, eb);
    if (aExists && bExists) {
        std::error_code ec;
        return fs::equivalent(a, b, ec);
    }
    if (aExists != bExists) {
        // One side may still be a dangling link whose target the other side names.
        const auto resolved = [](const std::string& p) {
            std::error_code ec;
            const fs::path r = fs::weakly_canonical(p, ec);
            return ec ? fs::absolute(p, ec).lexically_normal() : r;
        };
        return resolved(a) == resolved(b);
    }
    std::error_code ec1, ec2;
    return fs::weakly_canonical(a, ec1) == fs::weakly_canonical(b, ec2) && !ec1 && !ec2;
}

chart::RenderOptions ChartOptions() {
    chart::RenderOptions options;
    options.describeUnit = [](const std::string& unit) -> std::string {
        if (unit.empty()) return "value";
        const auto& facts = tools::Facts::Get();
        const auto code = facts.UnitCode(unit);
        if (!code) return unit;
        const std::string name = facts.UnitName(*code);
        return name.empty() || name == unit ? unit : unit + " (" + name + ")";
    };
    return options;
}

std::unique_ptr<chart::LiveChart> WatchChart(const std::string& path, const std::string& title) {
    if (path.empty()) return nullptr;
    try {
        return std::make_unique<chart::LiveChart>(path, title, ChartOptions());
    } catch (const std::exception& e) {
        throw CLI::ValidationError("--chart", e.what());
    }
}

void WriteWatchChart(chart::LiveChart& chart) {
    const std::string before = chart.Error();
    if (!chart.Write() && chart.Error() != before)
        std::fprintf(stderr, "\nwarning: %s\n", chart.Error().c_str());
}

namespace {
struct ChartOptionValues {
    std::string csvPath, svgPath, title;
};
} // namespace

void AddChartCommand(CLI::App& app, Cli& cli) {
    auto* cmd = app.add_subcommand("chart", "draw a CSV log of tarvik watch --csv as an SVG line chart");
    auto o = std::make_shared<ChartOptionValues>();
    cmd->add_option("csv", o->csvPath, "the log written by tarvik watch --csv")->required();
    cmd->add_option("-o,--output", o->svgPath, "the SVG file to write (default: the log's name with .svg)");
    cmd->add_option("--title", o->title, "chart title (default: the log's file name)");
    cmd->footer("One series per value, a panel per unit, a mark where a poll failed. Open the SVG in a "
                "browser.\nExamples:\n  tarvik watch flow setpoint -p 3 -b 19200 --csv flow.csv\n"
                "  tarvik chart flow.csv -o flow.svg --title 'FT-103 on COM3'");
    cmd->callback([&cli, o] {
        const std::string &csvPath = o->csvPath, &svgPath = o->svgPath, &title = o->title;
        std::ifstream in(csvPath, std::ios::binary);
        if (!in) throw CLI::ValidationError("csv", "cannot read " + csvPath);
        chart::CsvLog log;
        try {
            log = chart::ReadCsvLog(in);
        } catch (const std::runtime_error& e) {
            throw CLI::ValidationError("csv", csvPath + ": " + e.what());
        }
        const std::string out = svgPath.empty() ? SvgBeside(csvPath) : svgPath;
        if (SameFile(csvPath, out))
            throw CLI::ValidationError("--output",
                                       "'" + out + "' is the log " + csvPath +
                                           " itself: the chart would overwrite it; give another -o");
        const chart::Chart c{title.empty() ? BaseName(csvPath) : title, log.series};
        chart::WriteFileAtomically(out, chart::RenderSvg(c, ChartOptions()));
        // With the chart on standard output, the summary goes to stderr.
        std::FILE* summary = tools::KindOfPath(out) == tools::PathKind::Stdout ? stderr : stdout;
        const std::string empty = log.rows > 0 ? ""
                                  : log.skipped > 0
                                      ? "no row of the log fits its header: nothing to draw"
                                      : "the log holds no polls yet (only its header): nothing to draw";
        if (cli.json) {
            Json series = Json::array();
            for (const auto& s : log.series)
                series.push_back({{"name", s.name}, {"unit", s.unit}, {"points", s.points.size()}});
            Json j{{"command", "chart"}, {"csv", csvPath},         {"svg", out},
                   {"polls", log.rows},  {"skipped", log.skipped}, {"series", series}};
            if (!empty.empty()) j["reason"] = empty;
            std::fprintf(summary, "%s\n", j.dump().c_str());
        } else {
            std::fprintf(summary, "chart of %zu poll%s, %zu series: %s\n", log.rows, log.rows == 1 ? "" : "s",
                         log.series.size(), out.c_str());
            if (log.skipped > 0)
                std::fprintf(summary, "skipped %zu row%s that do not fit the header (first: record %zu)\n",
                             log.skipped, log.skipped == 1 ? "" : "s", log.firstSkippedLine);
        }
        if (!empty.empty()) std::fprintf(stderr, "tarvik: %s: %s\n", csvPath.c_str(), empty.c_str());
        cli.exitCode = log.rows > 0 ? kExitOk : kExitFailed;
    });
}

} // namespace tarvik::cli
