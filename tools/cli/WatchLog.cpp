#include "WatchLog.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "ChartCommand.h"
#include "Facts.h"
#include "OutputFile.h"
#include "Ports.h"
#include "TarvikDLL.h"

namespace tarvik::cli {

std::string ResultName(std::int32_t rc) {
    const auto f = tools::Facts::Get().Result(rc);
    return f ? f->name : std::to_string(rc);
}

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

CsvStart PrepareCsv(const std::string& path, const std::string& header, bool forceNew) {
    // A pipe, a device or standard output has no log to continue, and reading it would wait for
    // input (a pipe) or never end (/dev/zero, /dev/full).
    if (tools::KindOfPath(path) != tools::PathKind::Regular) return {};
    std::ifstream in(path, std::ios::binary);
    if (!in || in.peek() == std::ifstream::traits_type::eof()) return {};
    std::string first;
    std::getline(in, first);
    if (!first.empty() && first.back() == '\r') first.pop_back();
    if (first != header) {
        if (forceNew) return {};
        constexpr std::size_t kShown = 80;
        throw CLI::ValidationError("--csv", path + " has other columns (" + first.substr(0, kShown) +
                                                (first.size() > kShown ? "..." : "") + ") than this watch (" +
                                                header +
                                                "): give another file, or --force-new to start it anew");
    }
    in.clear();
    in.seekg(-1, std::ios::end);
    char last = '\n';
    in.get(last);
    return {false, last != '\n'};
}

void AddWatchOptions(CLI::App& watch, WatchSettings& s) {
    watch.add_option("-i,--interval", s.interval, "seconds between polls")
        ->default_val(1.0)
        ->check(CLI::Range(0.0, 86400.0));
    watch.add_option("-n,--count", s.count, "stop after this many polls (default: until Ctrl-C)")
        ->check(CLI::NonNegativeNumber);
    watch.add_option("--csv", s.csvPath,
                     "append every poll to this CSV file, with timestamps (- for standard output)");
    watch.add_flag("--force-new", s.forceNew,
                   "start the --csv log anew when it exists with other columns (its rows are lost)");
    watch.add_option("--chart", s.chartPath,
                     "keep an SVG line chart of the polls in this file (rewritten each poll)");
}

namespace {

std::atomic<bool> g_stop{false};
extern "C" void OnInterrupt(int) {
    g_stop = true;
}

// Ctrl-C ends the watch (after the round in progress) while this lives.
class InterruptGuard {
public:
    InterruptGuard() : previous_(std::signal(SIGINT, OnInterrupt)) { g_stop = false; }
    ~InterruptGuard() { std::signal(SIGINT, previous_); }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    void (*previous_)(int);
};

std::string Now() { // local time with milliseconds
    const auto now = std::chrono::system_clock::now();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}",
                       fmt::localtime(std::chrono::system_clock::to_time_t(now)), ms);
}

std::string CsvHeader(const std::vector<std::string>& names) {
    std::string h = "time";
    for (const std::string& n : names)
        h += ',' + CsvField(n) + ',' + CsvField(n + " unit") + ',' + CsvField(n + " result");
    return h;
}

// Where the rounds go.
struct WatchSinks {
    std::unique_ptr<tools::OutputFile> csv;
    std::unique_ptr<chart::LiveChart> chart;
    std::FILE* display = stdout; // the live line or JSON lines; stderr when the log is stdout
    bool json = false;
    bool live = false;
    int worst = kExitOk;
    std::vector<std::int32_t> explained; // port failures already diagnosed
};

void WriteCsv(tools::OutputFile& csv, const std::string& text) {
    if (!csv.Write(text) || !csv.Flush())
        throw std::runtime_error("cannot write " + csv.Path() + ": " + csv.Error());
}

// Says once per kind why the port cannot be used (who holds it), on stderr.
void ExplainPort(int port, const WatchRound& round, WatchSinks& out) {
    for (const WatchSample& s : round.samples) {
        if (s.result != ResultPortBusy && s.result != ResultPortAbsent) continue;
        if (std::find(out.explained.begin(), out.explained.end(), s.result) != out.explained.end()) continue;
        out.explained.push_back(s.result);
        const PortDiagnosis why = DiagnosePort(port, s.result);
        if (!why.text.empty())
            std::fprintf(stderr, "%sCOM%d: %s\n", out.live ? "\n" : "", port, why.text.c_str());
    }
}

// Shows one round on every sink.
void ShowRound(const std::string& command, const std::vector<std::string>& names, const std::string& time,
               const WatchRound& round, WatchSinks& out) {
    std::string line = time.substr(11, 8);
    std::string row = time;
    Json values = Json::object();
    for (std::size_t i = 0; i < names.size(); ++i) {
        const WatchSample s = i < round.samples.size() ? round.samples[i] : WatchSample{};
        const std::string& name = names[i];
        if (s.value)
            line += fmt::format("  {} {}{}", name, HumanNumber(*s.value), s.unit.empty() ? "" : " " + s.unit);
        else
            line += fmt::format("  {} [{}]", name, ResultName(s.result));
        values[name] = {{"value", s.value ? NumberJson(*s.value) : Json(nullptr)},
                        {"unit", s.unit},
                        {"result", ResultName(s.result)}};
        row += ',' + (s.value ? Number(*s.value) : "") + ',' + CsvField(s.unit) + ',' + ResultName(s.result);
        if (out.chart)
            out.chart->Add(name, s.unit, time, s.value ? std::optional<double>(*s.value) : std::nullopt);
    }
    if (out.csv) WriteCsv(*out.csv, row + '\n');
    if (out.chart) WriteWatchChart(*out.chart);
    if (out.json)
        std::fprintf(out.display, "%s\n",
                     Json{{"command", command}, {"time", time}, {"values", values}}.dump().c_str());
    else if (out.live)
        std::fprintf(out.display, "\r\033[K%s", line.c_str());
    else
        std::fprintf(out.display, "%s\n", line.c_str());
    // Standard output gone (a full disk, a closed pipe): the watch cannot show anything more.
    std::string why;
    if (out.display == stdout && !tools::StdoutWritten(why))
        throw std::runtime_error("cannot write to standard output: " + why);
    std::fflush(out.display);
}

// Polls until --count rounds are done or Ctrl-C; throws when an output goes away.
void PollLoop(Cli& cli, const std::string& command, const WatchSettings& s,
              const std::vector<std::string>& names, WatchSampler& sampler, WatchSinks& out) {
    const int port = cli.Port();
    const InterruptGuard interrupt;
    for (int n = 0; !g_stop && (s.count == 0 || n < s.count); ++n) {
        const auto started = std::chrono::steady_clock::now();
        const std::string time = Now();
        const WatchRound round = sampler.Poll();
        out.worst = CombineExit(out.worst, round.exit);
        ShowRound(command, names, time, round, out);
        ExplainPort(port, round, out);
        if (s.count != 0 && n + 1 >= s.count) break;
        const auto next = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                        std::chrono::duration<double>(s.interval));
        while (!g_stop && std::chrono::steady_clock::now() < next)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (out.live) std::fprintf(out.display, "\n");
    if (out.chart && !out.json) std::fprintf(out.display, "chart: %s\n", out.chart->Path().c_str());
}

} // namespace

void RunWatchLoop(Cli& cli, const std::string& command, const WatchSettings& s,
                  const std::vector<std::string>& names,
                  const std::function<std::optional<WatchStart>()>& start) {
    if (!s.csvPath.empty() && !s.chartPath.empty() && SameFile(s.csvPath, s.chartPath))
        throw CLI::ValidationError("--chart", "'" + s.chartPath + "' is the --csv log " + s.csvPath +
                                                  " itself: the chart would overwrite it");
    // Checked before the first poll, so that a refused log costs no time on the line.
    const std::string header = CsvHeader(names);
    const CsvStart csvStart = s.csvPath.empty() ? CsvStart{} : PrepareCsv(s.csvPath, header, s.forceNew);
    std::optional<WatchStart> started = start();
    if (!started) return;
    WatchSinks out;
    if (!s.csvPath.empty()) {
        try {
            out.csv = std::make_unique<tools::OutputFile>(s.csvPath, csvStart.fresh
                                                                         ? tools::OutputFile::Mode::Truncate
                                                                         : tools::OutputFile::Mode::Append);
        } catch (const std::runtime_error& e) {
            throw CLI::ValidationError("--csv", e.what());
        }
        WriteCsv(*out.csv, csvStart.fresh ? header + '\n' : csvStart.needsNewline ? "\n" : "");
    }
    out.chart = WatchChart(s.chartPath, started->title);
    const bool stdoutTaken =
        (out.csv && out.csv->IsStdout()) || tools::KindOfPath(s.chartPath) == tools::PathKind::Stdout;
    out.display = stdoutTaken ? stderr : stdout;
    out.json = cli.json;
    out.live = !cli.json && tools::IsTerminal(out.display);
    PollLoop(cli, command, s, names, *started->sampler, out);
    cli.exitCode = out.worst;
}

} // namespace tarvik::cli
