// `tarvik scan`: find HART devices (and optionally 0731 units) over ports and rates.
// `tarvik watch`: poll values at an interval (the watch loop of WatchLog.h, with a sampler of the
// flow, pressure and read-out unit values).
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>

#include "ChartCommand.h"
#include "Cli.h"
#include "Facts.h"
#include "OutputFile.h"
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

// ---- scan ----

struct ScanOptions {
    std::vector<std::string> ports, bauds;
    bool allRates = false, readout = false;
};

// What a scan found: devices and skipped ports for --json, rows for people.
struct ScanFindings {
    Json devices = Json::array(), skipped = Json::array();
    std::vector<std::string> rows;
    std::string problem; // why no port was tried
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
        Json j{{"command", "scan"},
               {"ports", ports},
               {"bauds", bauds},
               {"devices", f.devices},
               {"skipped", f.skipped}};
        if (!f.problem.empty()) j["problem"] = f.problem;
        std::printf("%s\n", j.dump().c_str());
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
    const bool progress = !cli.json && tools::IsTerminal(stderr);
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
    if (ports.empty()) { // say why there is nothing to scan
        const std::string problem = PortDirProblem();
        f.problem = problem.empty() ? "no serial ports in " + PortSource() : problem;
        std::fprintf(stderr, "tarvik scan: %s\n", f.problem.c_str());
    }
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
    if (rc == ResultPortBusy || rc == ResultPortAbsent) {
        const PortDiagnosis why = DiagnosePort(target.port, rc);
        if (!why.kind.empty()) r.Diagnosis(why.kind, why.text, why.holders);
    }
    cli.Finish(r);
    return std::nullopt;
}

// The flow and pressure devices' values and the read-out unit's, each item by its own poll.
class FamilySampler : public WatchSampler {
public:
    FamilySampler(std::vector<Item> items, Target target) : items_(std::move(items)), target_(target) {}
    WatchRound Poll() override {
        WatchRound round;
        for (const Item& i : items_) {
            const Sample s = cli::Poll(i, target_, links_);
            const bool ok = IsUnitItem(i) ? s.result == ResultOk : Written(s.result);
            round.exit = CombineExit(round.exit, ExitCodeFor(s.result));
            round.samples.push_back({ok ? std::optional<float>(s.value) : std::nullopt, s.unit, s.result});
        }
        return round;
    }

private:
    std::vector<Item> items_;
    Target target_;
    Links links_;
};

std::string WatchTitle(const Target& target, bool hart, bool readout) {
    std::string title = fmt::format("COM{}", target.port);
    if (hart)
        title += fmt::format(": HART device {} at {} bit/s", FormatAddress(target.address), target.baud);
    if (readout) title += hart ? " and 0731 read-out unit" : ": 0731 read-out unit";
    return title;
}

void WatchCommand(CLI::App& app, Cli& cli) {
    auto* watch = app.add_subcommand("watch", "poll values at an interval; live line, optional CSV");
    auto o = std::make_shared<WatchSettings>();
    watch->add_option("items", o->items,
                      "flow setpoint totalizer pressure (HART), pv:N sp:N (0731); default flow");
    AddWatchOptions(*watch, *o);
    watch->footer("Examples:\n  tarvik watch flow setpoint -p 3 -b 19200 -a 64:010203 --count 10\n"
                  "  tarvik watch pv:1 sp:1 -p 5 --interval 2 --csv unit.csv");
    watch->callback([&cli, o] {
        const std::vector<std::string> names = o->items.empty() ? std::vector<std::string>{"flow"} : o->items;
        std::vector<Item> items;
        for (const std::string& t : names)
            items.push_back(ParseItem(t));
        RunWatchLoop(cli, "watch", *o, names, [&]() -> std::optional<WatchStart> {
            Target target{cli.Port(), cli.Baud(), {}};
            const bool hart = !std::all_of(items.begin(), items.end(), IsUnitItem);
            if (hart) {
                const auto a = WatchAddress(cli, target);
                if (!a) return std::nullopt;
                target.address = *a;
            }
            const bool readout = std::any_of(items.begin(), items.end(), IsUnitItem);
            return WatchStart{std::make_unique<FamilySampler>(items, target),
                              WatchTitle(target, hart, readout)};
        });
    });
}

} // namespace

void AddScanAndWatch(CLI::App& app, Cli& cli) {
    ScanCommand(app, cli);
    WatchCommand(app, cli);
}

} // namespace tarvik::cli
