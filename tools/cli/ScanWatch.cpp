// `tarvik scan`: find HART devices (and optionally 0731 units) over ports and rates.
// `tarvik watch`: poll values at an interval, with a live line and optional CSV.
#include <fmt/chrono.h>
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "ChartCommand.h"
#include "Cli.h"
#include "Facts.h"
#include "Ports.h"
#include "TarvikDLL.h"
#include "WatchLog.h"
#include "tarvik/Link.h"

namespace tarvik::cli {
namespace {

constexpr int kReadoutChannels = 4;
constexpr int kUnitPercent = 57;
constexpr std::size_t kTagRecordSize = 27;
constexpr std::size_t kTagLength = 8;

std::atomic<bool> g_stop{false};
extern "C" void OnInterrupt(int) {
    g_stop = true;
}

std::string ResultName(std::int32_t rc) {
    const auto f = tools::Facts::Get().Result(rc);
    return f ? f->name : std::to_string(rc);
}

std::vector<std::string> SplitList(const std::vector<std::string>& items) {
    std::vector<std::string> out;
    for (const std::string& item : items) {
        std::size_t start = 0;
        while (start <= item.size()) {
            const auto comma = item.find(',', start);
            const std::string part =
                item.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            if (!part.empty()) out.push_back(part);
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    return out;
}

std::string Now() {
    const auto now = std::chrono::system_clock::now();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}",
                       fmt::localtime(std::chrono::system_clock::to_time_t(now)), ms);
}

// One polled quantity of `watch`.
struct Item {
    std::string name; // "flow", "pv:1"
    enum Kind { Flow, SetPoint, Totalizer, Pressure, UnitPv, UnitSp } kind = Flow;
    int channel = 0;
};

Item ParseItem(const std::string& text) {
    const auto colon = text.find(':');
    const std::string head = text.substr(0, colon);
    Item item{text};
    if (colon != std::string::npos) {
        if (head != "pv" && head != "sp")
            throw CLI::ValidationError("items", "'" + text + "': only pv:N and sp:N take a channel");
        const std::string channel = text.substr(colon + 1);
        const auto [ptr, ec] = std::from_chars(channel.data(), channel.data() + channel.size(), item.channel);
        if (channel.empty() || ec != std::errc() || ptr != channel.data() + channel.size() ||
            item.channel < 1 || item.channel > kReadoutChannels)
            throw CLI::ValidationError("items", "'" + text + "': the 0731 unit has channels 1 to 4");
        item.kind = head == "pv" ? Item::UnitPv : Item::UnitSp;
        return item;
    }
    if (head == "flow")
        item.kind = Item::Flow;
    else if (head == "setpoint")
        item.kind = Item::SetPoint;
    else if (head == "totalizer")
        item.kind = Item::Totalizer;
    else if (head == "pressure")
        item.kind = Item::Pressure;
    else
        throw CLI::ValidationError("items",
                                   "'" + text + "' is not flow, setpoint, totalizer, pressure, pv:N or sp:N");
    return item;
}

struct Sample {
    std::int32_t result = 0;
    float value = 0;
    std::string unit;
};

// The port stays open between polls through the fast link, and each poll ends as soon as the
// reply is complete. A port is open for one family at a time: a poll of the other family closes it.
struct Links {
    tarvik::link::HartLink hart;
    tarvik::link::ReadoutLink unit;
    bool hartOpen = false, unitOpen = false;
};

Sample Poll(const Item& item, const Target& t, Links& links) {
    Sample s;
    const bool hart = item.kind != Item::UnitPv && item.kind != Item::UnitSp;
    if (hart && !links.hartOpen) {
        links.unit.Close();
        links.unitOpen = false;
        s.result = links.hart.Open(t.port, t.baud);
        if (s.result != ResultOk) return s;
        links.hartOpen = true;
    } else if (!hart && !links.unitOpen) {
        links.hart.Close();
        links.hartOpen = false;
        s.result = links.unit.Open(t.port);
        if (s.result != ResultOk) return s;
        links.unitOpen = true;
    }
    const auto& a = t.address;
    const tarvik::link::DeviceAddress device{a.deviceType, a.id[0], a.id[1], a.id[2]};
    tarvik::link::HartResult<tarvik::link::Measurement> m;
    switch (item.kind) {
    case Item::Flow:
        m = links.hart.ReadFlow(device);
        break;
    case Item::Pressure:
        m = links.hart.ReadPressure(device);
        break;
    case Item::Totalizer:
        m = links.hart.ReadTotalizer(device);
        break;
    case Item::SetPoint: {
        const auto r = links.hart.ReadSetPoint(device);
        m.result = r.result;
        m.hasValue = r.hasValue;
        m.value = {r.value.percent, kUnitPercent};
        break;
    }
    case Item::UnitPv: {
        const auto r = links.unit.ReadProcessVariable(item.channel);
        s.result = r.result;
        s.value = r.value;
        return s;
    }
    case Item::UnitSp: {
        const auto r = links.unit.ReadSetPoint(item.channel);
        s.result = r.result;
        s.value = r.value;
        return s;
    }
    }
    s.result = m.result;
    if (m.hasValue) {
        s.value = m.value.value;
        s.unit = tools::Facts::Get().UnitSymbol(m.value.units);
    }
    return s;
}

} // namespace

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

namespace {

// The header line of a watch log (without its line end).
std::string CsvHeader(const std::vector<Item>& items) {
    std::string h = "time";
    for (const Item& i : items)
        h += ',' + CsvField(i.name) + ',' + CsvField(i.name + " unit") + ',' + CsvField(i.name + " result");
    return h;
}

} // namespace

// How a watch log starts: a missing or empty file gets the header; an existing log with the same
// columns is continued (after a line end if its last line lacks one); a file with other columns is
// refused unless `forceNew`, which starts it anew.
CsvStart PrepareCsv(const std::string& path, const std::string& header, bool forceNew) {
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

namespace {

// ---- scan ----

struct ScanOptions {
    std::vector<std::string> ports, bauds;
    bool allRates = false, readout = false;
};

// What a scan found: devices and skipped ports for --json, rows for people.
struct ScanFindings {
    Json devices = Json::array(), skipped = Json::array();
    std::vector<std::string> rows;
};

std::vector<int> ScanPorts(const std::vector<std::string>& texts) {
    std::vector<int> ports;
    for (const std::string& p : SplitList(texts)) {
        const auto n = ParsePort(p);
        if (!n) throw CLI::ValidationError("--ports", "'" + p + "' is not a port");
        ports.push_back(*n);
    }
    if (ports.empty())
        for (const auto& e : ListPorts())
            ports.push_back(e.number);
    return ports;
}

std::vector<int> ScanBauds(const std::vector<std::string>& texts) {
    std::vector<int> bauds;
    for (const std::string& b : SplitList(texts)) {
        int rate = 0;
        const auto [ptr, ec] = std::from_chars(b.data(), b.data() + b.size(), rate);
        const bool hartRate =
            ec == std::errc() && ptr == b.data() + b.size() &&
            std::find(std::begin(kHartRates), std::end(kHartRates), rate) != std::end(kHartRates);
        if (!hartRate)
            throw CLI::ValidationError(
                "--bauds",
                "'" + b + "' is not one of the HART rates 1200 2400 3600 4800 7200 9600 19200 38400");
        bauds.push_back(rate);
    }
    if (bauds.empty()) bauds.assign(std::begin(kHartRates), std::end(kHartRates));
    return bauds;
}

// Records the device that answered at `port` and `baud`, with its tag when it gives one.
void AddHartDevice(ScanFindings& f, int port, int baud, const HartAddress& a) {
    std::uint8_t rec[kTagRecordSize] = {};
    std::uint8_t s1 = 0, s2 = 0;
    std::string tag;
    if (Written(ReadTAG(port, baud, rec, &s1, &s2))) {
        tag.assign(reinterpret_cast<const char*>(rec), kTagLength);
        while (!tag.empty() && tag.back() == ' ')
            tag.pop_back();
    }
    f.devices.push_back({{"kind", "hart"},
                         {"port", port},
                         {"baud", baud},
                         {"address", FormatAddress(a)},
                         {"device_type", a.deviceType},
                         {"tag", tag}});
    f.rows.push_back(fmt::format("{:<6} {:>5}  {:<10} 0x{:02X}  {}", fmt::format("COM{}", port), baud,
                                 FormatAddress(a), a.deviceType, tag));
}

// Tries one port at the rates; true when a HART device answered. A port that is absent, busy or
// refused is recorded as skipped and not tried further (a refused rate: only that rate).
bool ScanPort(int port, const std::vector<int>& bauds, const ScanOptions& o, bool progress, std::size_t& step,
              std::size_t steps, ScanFindings& f) {
    bool found = false;
    for (int baud : bauds) {
        ++step;
        if (found && !o.allRates) continue;
        if (progress)
            std::fprintf(stderr, "\r\033[Kscanning COM%d at %d bit/s  [%zu/%zu]", port, baud, step, steps);
        std::uint8_t hi = 0, mid = 0, lo = 0, type = 0, s1 = 0, s2 = 0;
        const std::int32_t rc = ReadDeviceID(0, port, baud, nullptr, 0, &hi, &mid, &lo, &type, &s1, &s2);
        if (rc == ResultPortAbsent || rc == ResultPortBusy || rc == ResultBadPort || rc == ResultBadBaud) {
            const PortDiagnosis why = DiagnosePort(port, rc);
            f.skipped.push_back(
                {{"port", port}, {"baud", baud}, {"result", ResultName(rc)}, {"diagnosis", why.text}});
            if (rc != ResultBadBaud) break;
            continue;
        }
        if (rc != ResultOk) continue;
        found = true;
        AddHartDevice(f, port, baud, HartAddress{type, {hi, mid, lo}});
    }
    return found;
}

void PrintScan(const ScanFindings& f, const std::vector<int>& ports, const std::vector<int>& bauds,
               bool json) {
    if (json) {
        std::printf("%s\n", Json{{"command", "scan"},
                                 {"ports", ports},
                                 {"bauds", bauds},
                                 {"devices", f.devices},
                                 {"skipped", f.skipped}}
                                .dump()
                                .c_str());
        return;
    }
    if (f.rows.empty()) {
        std::printf("no device answered on %zu port(s) at %zu rate(s)\n", ports.size(), bauds.size());
    } else {
        std::printf(
            "%s\n",
            fmt::format("{:<6} {:>5}  {:<10} {:<4}  {}", "PORT", "BAUD", "ADDRESS", "TYPE", "TAG").c_str());
        for (const auto& r : f.rows)
            std::printf("%s\n", r.c_str());
    }
    for (const auto& s : f.skipped) {
        const std::string why = s["diagnosis"];
        std::printf("COM%d skipped: %s%s%s\n", s["port"].get<int>(), s["result"].get<std::string>().c_str(),
                    why.empty() ? "" : ": ", why.c_str());
    }
}

void RunScan(Cli& cli, const ScanOptions& o) {
    const std::vector<int> ports = ScanPorts(o.ports);
    const std::vector<int> bauds = ScanBauds(o.bauds);
    const bool progress = !cli.json && isatty(fileno(stderr));
    const std::size_t steps = ports.size() * bauds.size();
    std::size_t step = 0;
    ScanFindings f;
    for (int port : ports) {
        const bool found = ScanPort(port, bauds, o, progress, step, steps, f);
        if (o.readout && !found) {
            if (progress) std::fprintf(stderr, "\r\033[Kscanning COM%d for a 0731 unit", port);
            if (TestComs_0731(port) == ResultOk) {
                f.devices.push_back({{"kind", "0731"}, {"port", port}, {"baud", 9600}});
                f.rows.push_back(fmt::format("{:<6} {:>5}  {:<10} {:<4}  0731 read-out unit",
                                             fmt::format("COM{}", port), 9600, "-", "-"));
            }
        }
    }
    if (progress) std::fprintf(stderr, "\r\033[K");
    PrintScan(f, ports, bauds, cli.json);
    cli.exitCode = f.devices.empty() ? kExitFailed : kExitOk;
}

void ScanCommand(CLI::App& app, Cli& cli) {
    auto* scan =
        app.add_subcommand("scan", "find HART devices by broadcast identity over ports and baud rates");
    auto o = std::make_shared<ScanOptions>();
    scan->add_option("--ports", o->ports,
                     "ports to try, e.g. 1,3,COM5 (default: every port tarvik ports lists)");
    scan->add_option("--bauds", o->bauds, "rates to try, e.g. 9600,19200 (default: all eight)");
    scan->add_flag("--all-rates", o->allRates, "keep trying the other rates after a device answered");
    scan->add_flag("--readout,--0731", o->readout, "also look for 0731 read-out units (9600 8N1)");
    scan->footer("Prints one line per device: port, rate, address (for -a), device type and tag.\n"
                 "Examples:\n  tarvik scan\n  tarvik scan --ports 3 --bauds 1200,19200\n  tarvik scan "
                 "--readout --json");
    scan->callback([&cli, o] { RunScan(cli, *o); });
}

// ---- watch ----

struct WatchOptions {
    std::vector<std::string> items;
    double interval = 1.0;
    int count = 0;
    std::string csvPath;
    std::string chartPath;
    bool forceNew = false;
};

bool IsUnitItem(const Item& i) {
    return i.kind == Item::UnitPv || i.kind == Item::UnitSp;
}

// The address to poll: -a, or the broadcast identity. Nothing (and the failure reported) when the
// device does not identify itself.
std::optional<HartAddress> WatchAddress(Cli& cli, const Target& target) {
    if (const auto a = cli.Address()) return *a;
    std::uint8_t hi = 0, mid = 0, lo = 0, type = 0, s1 = 0, s2 = 0;
    const std::int32_t rc =
        ReadDeviceID(0, target.port, target.baud, nullptr, 0, &hi, &mid, &lo, &type, &s1, &s2);
    if (rc == ResultOk) return HartAddress{type, {hi, mid, lo}};
    Report r("watch");
    r.Context("stage", "identify (no --address given)");
    r.Result(rc);
    cli.Finish(r);
    return std::nullopt;
}

void OpenCsv(std::ofstream& csv, const std::string& path, const CsvStart& start, const std::string& header) {
    if (path.empty()) return;
    csv.open(path, start.fresh ? std::ios::trunc : std::ios::app);
    if (!csv) throw CLI::ValidationError("--csv", "cannot open " + path);
    if (start.fresh)
        csv << header << '\n';
    else if (start.needsNewline)
        csv << '\n';
}

// Where the polls go, and the worst exit status so far.
struct WatchSinks {
    std::ofstream csv;
    std::unique_ptr<chart::LiveChart> chart;
    bool json = false;
    bool live = false;
    int worst = kExitOk;
};

// Polls every item once and shows the values on every sink.
void PollOnce(const std::vector<Item>& items, const Target& target, Links& links, WatchSinks& out) {
    const std::string time = Now();
    std::string line = time.substr(11, 8);
    Json values = Json::object();
    if (out.csv) out.csv << time;
    for (const Item& i : items) {
        const Sample s = Poll(i, target, links);
        const bool ok = IsUnitItem(i) ? s.result == ResultOk : Written(s.result);
        out.worst = CombineExit(out.worst, ExitCodeFor(s.result));
        if (ok)
            line +=
                fmt::format("  {} {}{}", i.name, HumanNumber(s.value), s.unit.empty() ? "" : " " + s.unit);
        else
            line += fmt::format("  {} [{}]", i.name, ResultName(s.result));
        values[i.name] = {{"value", ok ? NumberJson(s.value) : Json(nullptr)},
                          {"unit", s.unit},
                          {"result", ResultName(s.result)}};
        if (out.csv)
            out.csv << ',' << (ok ? Number(s.value) : "") << ',' << CsvField(s.unit) << ','
                    << ResultName(s.result);
        if (out.chart)
            out.chart->Add(i.name, s.unit, time, ok ? std::optional<double>(s.value) : std::nullopt);
    }
    if (out.csv) out.csv << '\n' << std::flush;
    if (out.chart) WriteWatchChart(*out.chart);
    if (out.json)
        std::printf("%s\n", Json{{"command", "watch"}, {"time", time}, {"values", values}}.dump().c_str());
    else if (out.live)
        std::printf("\r\033[K%s", line.c_str());
    else
        std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Polls until --count polls are done or Ctrl-C; returns the worst exit status.
int PollLoop(const std::vector<Item>& items, const Target& target, const WatchOptions& o, WatchSinks& out) {
    g_stop = false;
    auto previous = std::signal(SIGINT, OnInterrupt);
    Links links;
    for (int n = 0; !g_stop && (o.count == 0 || n < o.count); ++n) {
        const auto started = std::chrono::steady_clock::now();
        PollOnce(items, target, links, out);
        if (o.count != 0 && n + 1 >= o.count) break;
        const auto next = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                        std::chrono::duration<double>(o.interval));
        while (!g_stop && std::chrono::steady_clock::now() < next)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (out.live) std::printf("\n");
    if (out.chart && !out.json) std::printf("chart: %s\n", out.chart->Path().c_str());
    std::signal(SIGINT, previous);
    return out.worst;
}

void RunWatch(Cli& cli, const WatchOptions& o) {
    std::vector<Item> items;
    for (const std::string& t : o.items.empty() ? std::vector<std::string>{"flow"} : o.items)
        items.push_back(ParseItem(t));
    Target target{cli.Port(), cli.Baud(), {}};
    const bool needsHart = !std::all_of(items.begin(), items.end(), IsUnitItem);
    if (!o.csvPath.empty() && !o.chartPath.empty() && SameFile(o.csvPath, o.chartPath))
        throw CLI::ValidationError("--chart", "'" + o.chartPath + "' is the --csv log " + o.csvPath +
                                                  " itself: the chart would overwrite it");
    // Checked before the first poll, so that a refused log costs no time on the line.
    const std::string header = CsvHeader(items);
    const CsvStart start = o.csvPath.empty() ? CsvStart{} : PrepareCsv(o.csvPath, header, o.forceNew);
    if (needsHart) {
        const auto a = WatchAddress(cli, target);
        if (!a) return;
        target.address = *a;
    }
    WatchSinks out;
    OpenCsv(out.csv, o.csvPath, start, header);
    out.chart =
        WatchChart(o.chartPath, target, needsHart, std::any_of(items.begin(), items.end(), IsUnitItem));
    out.json = cli.json;
    out.live = !cli.json && isatty(fileno(stdout));
    cli.exitCode = PollLoop(items, target, o, out);
}

void WatchCommand(CLI::App& app, Cli& cli) {
    auto* watch = app.add_subcommand("watch", "poll values at an interval; live line, optional CSV");
    auto o = std::make_shared<WatchOptions>();
    watch->add_option("items", o->items,
                      "flow setpoint totalizer pressure (HART), pv:N sp:N (0731); default flow");
    watch->add_option("-i,--interval", o->interval, "seconds between polls")
        ->default_val(1.0)
        ->check(CLI::Range(0.0, 86400.0));
    watch->add_option("-n,--count", o->count, "stop after this many polls (default: until Ctrl-C)")
        ->check(CLI::NonNegativeNumber);
    watch->add_option("--csv", o->csvPath, "append every poll to this CSV file, with timestamps");
    watch->add_flag("--force-new", o->forceNew,
                    "start the --csv log anew when it exists with other columns (its rows are lost)");
    watch->add_option("--chart", o->chartPath,
                      "keep an SVG line chart of the polls in this file (rewritten each poll)");
    watch->footer("Examples:\n  tarvik watch flow setpoint -p 3 -b 19200 -a 64:010203 --count 10\n"
                  "  tarvik watch pv:1 sp:1 -p 5 --interval 2 --csv unit.csv");
    watch->callback([&cli, o] { RunWatch(cli, *o); });
}

} // namespace

void AddScanAndWatch(CLI::App& app, Cli& cli) {
    ScanCommand(app, cli);
    WatchCommand(app, cli);
}

} // namespace tarvik::cli
