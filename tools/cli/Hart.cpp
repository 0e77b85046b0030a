// `tarvik hart ...`: any HART device through the fast link's HartMaster, on a point-to-point loop
// or a multidrop line. A device is picked by --polling-address N (short frames), by -a with its
// long address MM:TT:IIIIII (long frames), or by -a TT:IIIIII (found among polling addresses
// 0..15 first); without either, polling address 0.
#include <fmt/chrono.h>
#include <fmt/format.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "ChartCommand.h"
#include "Cli.h"
#include "Facts.h"
#include "HartDecode.h"
#include "WatchLog.h"
#include "hart/Status.h"
#include "hart/Universal.h"
#include "tarvik/HartMaster.h"

namespace tarvik::cli {

namespace {

namespace h = tarvik::hart;
using link::HartMaster;
using link::HartReply;

constexpr int kDefaultScanLast = 15;
constexpr int kSearchLast = 15; // where -a TT:IIIIII is looked for

struct HartOptions {
    int polling = -1;
    bool secondary = false;
    int retries = 2;
    int timeoutMs = 0;
};

// "1C:66:030401" -> the five bytes; nothing for other text.
std::optional<h::Address> ParseLongAddress(const std::string& text) {
    if (text.size() != 12 || text[2] != ':' || text[5] != ':') return std::nullopt;
    std::array<std::uint8_t, h::kLongAddressSize> bytes{};
    const std::string hex = text.substr(0, 2) + text.substr(3, 2) + text.substr(6);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::string pair = hex.substr(2 * i, 2);
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
            !std::isxdigit(static_cast<unsigned char>(pair[1])))
            return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16));
    }
    if (bytes[0] > h::kAddressMask) return std::nullopt;
    return h::Address::Long(bytes);
}

// "01 02 0A" or "01020a" -> bytes; a usage error for anything else or more than 255 bytes.
std::vector<std::uint8_t> ParseHex(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == ',') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            throw CLI::ValidationError("HEX", "'" + text + "' is not hexadecimal bytes (like 01 0A FF)");
        digits.push_back(c);
    }
    if (digits.size() % 2 != 0)
        throw CLI::ValidationError("HEX", "'" + text + "' has an odd number of digits");
    if (digits.size() / 2 > h::kMaxData) throw CLI::ValidationError("HEX", "at most 255 data bytes");
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// The outcome of a reply as a result code: a reply with a response code other than success is the
// device refusing (ResultErrorReply); a success whose status flags a condition, ResultDeviceStatus.
// `show`: add the status bytes to the report (a command of several replies shows them once, and
// those of a failure).
std::int32_t Judge(Report& report, const HartReply& reply, bool show = true) {
    if (!reply.Replied()) return reply.result;
    if (show || reply.responseCode != h::kRcSuccess) report.Status(reply.responseCode, reply.deviceStatus);
    if (reply.responseCode != h::kRcSuccess) return ResultErrorReply;
    return DeviceStatusAlarming(reply.deviceStatus) ? ResultDeviceStatus : ResultOk;
}

class HartCommands {
public:
    HartCommands(Cli& cli, HartOptions& options) : cli_(cli), options_(options) {}

    // Opens the line and finds the device; on failure the report holds why.
    bool Start(Report& report, bool needDevice = true) {
        port_ = cli_.Port();
        const int baud = cli_.Baud();
        report.Context("port", port_);
        report.Context("baud", baud);
        link::MasterOptions o;
        o.master = options_.secondary ? h::Master::Secondary : h::Master::Primary;
        o.retries = options_.retries;
        o.timeoutMs = options_.timeoutMs;
        if (const std::int32_t rc = master_.Open(port_, baud, o); rc != ResultOk) {
            report.Result(rc);
            return false;
        }
        return !needDevice || Resolve(report);
    }

    HartMaster& Master() { return master_; }
    const h::Address& Device() const { return device_; }

    void Finish(Report& report, std::int32_t rc) {
        report.Result(rc);
        cli_.Finish(report);
    }

private:
    bool Resolve(Report& report) {
        const char* env = std::getenv("TARVIK_ADDRESS");
        const std::string text = !cli_.addressText.empty() ? cli_.addressText : (env ? env : "");
        if (options_.polling >= 0) {
            device_ = h::Address::Polling(static_cast<std::uint8_t>(options_.polling));
            report.Context("polling_address", options_.polling);
            return true;
        }
        if (text.empty()) {
            device_ = h::Address::Polling(0);
            report.Context("polling_address", 0);
            return true;
        }
        if (auto a = ParseLongAddress(text)) {
            device_ = *a;
            report.Context("address", FormatLongAddress(device_));
            return true;
        }
        const auto wanted = cli_.Address(); // TT:IIIIII, or a usage error
        const auto found = master_.Scan(0, kSearchLast);
        for (const link::FoundDevice& d : found)
            if (d.identity.AddressType() == wanted->deviceType && d.identity.deviceId == wanted->id) {
                device_ = d.identity.LongAddress();
                report.Context("address", FormatLongAddress(device_));
                return true;
            }
        report.Context("stage", fmt::format("look for {} at polling addresses 0..{}", text, kSearchLast));
        report.Result(ResultNoReply);
        report.Hint("no device with that address answered; tarvik hart scan lists the devices on the line");
        return false;
    }

    Cli& cli_;
    HartOptions& options_;
    HartMaster master_;
    h::Address device_;
    int port_ = 0;
};

struct ScanOptions {
    int last = kDefaultScanLast;
    int perAddressMs = 0;
};

void ScanCommand(CLI::App& hart, Cli& cli, HartOptions& options) {
    auto o = std::make_shared<ScanOptions>();
    auto* scan =
        hart.add_subcommand("scan", "find the devices on a line by their polling addresses (command 0)");
    scan->add_option("--last", o->last, "last polling address to try (default 15; up to 63)")
        ->check(CLI::Range(0, 63));
    scan->add_option("--wait-ms", o->perAddressMs,
                     "wait per address (default: by the rate, a few bit times past the request)")
        ->check(CLI::Range(0, 10000));
    scan->footer("Examples:\n  tarvik hart scan -p 4\n  tarvik hart scan -p 4 -b 1200 --last 63 --json");
    scan->callback([&cli, &options, o] {
        const int last = o->last, perAddressMs = o->perAddressMs;
        HartCommands c(cli, options);
        Report report("hart scan");
        if (!c.Start(report, false)) return c.Finish(report, report.ResultCode());
        const auto found = c.Master().Scan(0, static_cast<std::uint8_t>(last), perAddressMs,
                                           [&](std::uint8_t polling, const link::FoundDevice* d) {
                                               std::fprintf(stderr, "polling address %2u: %s\n", polling,
                                                            d ? FormatTypeAndId(d->identity).c_str() : "-");
                                           });
        for (const link::FoundDevice& d : found) {
            const h::Address address = d.identity.LongAddress();
            const auto tag = c.Master().ReadTagDescriptorDate(address);
            Json j{{"polling_address", d.polling},
                   {"address", FormatTypeAndId(d.identity)},
                   {"long_address", FormatLongAddress(address)},
                   {"manufacturer", d.identity.manufacturer},
                   {"device_type", d.identity.deviceType},
                   {"universal_revision", d.identity.universalRevision},
                   {"preambles", d.identity.preambles},
                   {"tag", tag.Ok() ? Json(tag.value.tag) : Json(nullptr)}};
            if (cli.json)
                std::printf("%s\n", j.dump().c_str());
            else
                std::printf("polling %-2u  address %s  (-a %s)  tag %-8s  universal rev %u\n", d.polling,
                            FormatTypeAndId(d.identity).c_str(), FormatLongAddress(address).c_str(),
                            tag.Ok() ? tag.value.tag.c_str() : "?", d.identity.universalRevision);
        }
        if (!found.empty()) return;
        report.Context("stage", fmt::format("polling addresses 0..{}", last));
        report.Result(ResultNoReply);
        report.Hint("no device answered command 0: check the rate (-b), the port and the loop's power");
        cli.Finish(report);
    });
}

void InfoAndRead(CLI::App& hart, Cli& cli, HartOptions& options) {
    auto* info = hart.add_subcommand("info", "identity, tag, message, ranges, final assembly and long tag");
    info->footer(
        "Examples:\n  tarvik hart info -p 4 --polling-address 2\n  tarvik hart info -p 4 -a 1C:66:030403");
    info->callback([&cli, &options] {
        HartCommands c(cli, options);
        Report report("hart info");
        if (!c.Start(report)) return c.Finish(report, report.ResultCode());
        std::int32_t rc = ResultOk;
        std::optional<std::uint8_t> revision; // command 0's: command 15 depends on it
        for (std::uint8_t command : {h::kCmdReadUniqueId, h::kCmdReadTagDescriptorDate, h::kCmdReadMessage,
                                     h::kCmdReadDeviceInfo, h::kCmdReadFinalAssembly, h::kCmdReadLongTag}) {
            const HartReply r = c.Master().Command(c.Device(), command);
            if (r.Success() && command == h::kCmdReadUniqueId)
                revision = h::DecodeIdentity(r.Data()).universalRevision;
            if (r.Success()) AddFields(report, DecodeHartReply(command, r.Data(), revision));
            const std::int32_t one = Judge(report, r, command == h::kCmdReadLongTag);
            // A command the device does not know (older revisions) leaves the others standing.
            if (one != ResultOk && !(command != h::kCmdReadUniqueId && one == ResultErrorReply)) rc = one;
            if (command == h::kCmdReadUniqueId && !r.Success()) break;
        }
        c.Finish(report, rc);
    });

    auto* read = hart.add_subcommand("read", "PV, SV, TV, QV with units, loop current and percent of range");
    read->footer("Example:\n  tarvik hart read -p 4 --polling-address 1 --json");
    read->callback([&cli, &options] {
        HartCommands c(cli, options);
        Report report("hart read");
        if (!c.Start(report)) return c.Finish(report, report.ResultCode());
        std::int32_t rc = ResultOk;
        for (std::uint8_t command : {h::kCmdReadDynamicVariables, h::kCmdReadLoopCurrent}) {
            const HartReply r = c.Master().Command(c.Device(), command);
            if (r.Success()) AddFields(report, DecodeHartReply(command, r.Data()));
            if (const std::int32_t one = Judge(report, r, command == h::kCmdReadLoopCurrent); one != ResultOk)
                rc = one;
        }
        c.Finish(report, rc);
    });
}

struct RawOptions {
    int number = 0;
    std::string hex;
};

void RawCommand(CLI::App& hart, Cli& cli, HartOptions& options) {
    auto o = std::make_shared<RawOptions>();
    auto* cmd =
        hart.add_subcommand("cmd", "send any command; the reply decoded where known, its bytes always");
    cmd->add_option("N", o->number, "command number 0..255")->required()->check(CLI::Range(0, 255));
    cmd->add_option("HEX", o->hex, "request data in hexadecimal (\"01 0A\")");
    cmd->footer("Examples:\n  tarvik hart cmd 1 -p 4 --polling-address 0\n"
                "  tarvik hart cmd 109 01 -p 4 --polling-address 2      burst mode on");
    cmd->callback([&cli, &options, o] {
        const int number = o->number;
        const std::vector<std::uint8_t> data = ParseHex(o->hex);
        HartCommands c(cli, options);
        const auto command = static_cast<std::uint8_t>(number);
        Report report(fmt::format("hart cmd {}", number));
        if (!c.Start(report)) return c.Finish(report, report.ResultCode());
        report.Field("command", "command", number,
                     fmt::format("{} ({})", number,
                                 h::CommandName(command) ? h::CommandName(command) : "not decoded here"));
        const HartReply r = c.Master().Command(c.Device(), command, data);
        if (r.Replied()) {
            report.Field("data", "reply data", Hex(r.Data()), r.size ? Hex(r.Data()) : "(none)");
            if (!r.CommError()) AddFields(report, DecodeHartReply(command, r.Data()));
        }
        c.Finish(report, Judge(report, r));
    });
}

struct ListenOptions {
    double seconds = 10;
    int count = 0;
};

void Listen(CLI::App& hart, Cli& cli, HartOptions& options) {
    auto o = std::make_shared<ListenOptions>();
    auto* listen =
        hart.add_subcommand("listen", "show the burst frames of devices in burst mode as they come");
    listen->add_option("--seconds", o->seconds, "how long to listen (default 10)")
        ->check(CLI::Range(0.0, 86400.0));
    listen->add_option("--count", o->count, "stop after this many frames")->check(CLI::Range(0, 1000000));
    listen->footer("Example:\n  tarvik hart listen -p 4 --seconds 5 --json");
    listen->callback([&cli, &options, o] {
        const double seconds = o->seconds;
        const int count = o->count;
        HartCommands c(cli, options);
        Report report("hart listen");
        if (!c.Start(report, false)) return c.Finish(report, report.ResultCode());
        int seen = 0;
        const auto start = std::chrono::steady_clock::now();
        const std::int32_t rc =
            c.Master().Listen(static_cast<std::int32_t>(seconds * 1000), [&](const h::Frame& f) {
                const double t =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                const auto fields = DecodeHartReply(f.command, f.Data());
                const std::string from = f.isLong ? FormatLongAddress(f.DeviceAddress())
                                                  : fmt::format("polling {}", f.DeviceAddress().polling);
                if (cli.json) {
                    Json j{{"time_s", t},
                           {"from", from},
                           {"command", f.command},
                           {"response_code", f.ResponseCode()},
                           {"device_status", f.DeviceStatus()},
                           {"data", Hex(f.Data())}};
                    for (const HartField& field : fields)
                        j[field.key] = field.value;
                    std::printf("%s\n", j.dump().c_str());
                } else {
                    std::string line = fmt::format("{:8.3f}  {}  cmd {}", t, from, f.command);
                    for (const HartField& field : fields)
                        if (!field.label.empty()) line += "  " + field.label + " " + field.text;
                    std::printf("%s\n", line.c_str());
                }
                std::fflush(stdout);
                return count == 0 || ++seen < count;
            });
        if (rc != ResultOk) c.Finish(report, rc);
    });
}

struct WriteOptions {
    std::string tag, descriptor, message, polling;
};

void Writes(CLI::App& hart, Cli& cli, HartOptions& options) {
    auto& o = cli.Options<WriteOptions>();
    auto* writeTag = hart.add_subcommand("write-tag", "write the tag (command 18; descriptor and date kept)");
    writeTag->add_option("TAG", o.tag, "up to 8 characters: A-Z 0-9 space and !\"#$%&'()*+,-./:;<=>?@[\\]^_")
        ->required();
    writeTag->add_option("--descriptor", o.descriptor, "also write the descriptor (up to 16 characters)");
    writeTag->footer("Example:\n  tarvik hart write-tag TT-201 -p 4 --polling-address 1");
    writeTag->callback([&cli, &options, &o] {
        const std::string& tag = o.tag;
        const std::string& descriptor = o.descriptor;
        ParseText(tag, "tag"); // refused before the wire by the shared argument table
        if (!descriptor.empty()) ParseText(descriptor, "descriptor");
        HartCommands c(cli, options);
        Report report("hart write-tag");
        if (!c.Start(report)) return c.Finish(report, report.ResultCode());
        const auto now = c.Master().ReadTagDescriptorDate(c.Device());
        if (!now.Ok()) return c.Finish(report, Judge(report, now.reply));
        h::TagDescriptorDate record = now.value;
        record.tag = tag;
        if (!descriptor.empty()) record.descriptor = descriptor;
        const auto r = c.Master().WriteTagDescriptorDate(c.Device(), record);
        if (r.Ok()) AddFields(report, DecodeHartReply(h::kCmdWriteTagDescriptorDate, r.reply.Data()));
        c.Finish(report, Judge(report, r.reply));
    });

    auto* writeMessage = hart.add_subcommand("write-message", "write the message (command 17)");
    writeMessage->add_option("TEXT", o.message, "up to 32 characters of packed text (upper case)")
        ->required();
    writeMessage->footer(
        "Example:\n  tarvik hart write-message 'CALIBRATED 2026-12-07' -p 4 --polling-address 1");
    writeMessage->callback([&cli, &options, &o] {
        const std::string& message = o.message;
        ParseText(message, "message");
        HartCommands c(cli, options);
        Report report("hart write-message");
        if (!c.Start(report)) return c.Finish(report, report.ResultCode());
        const auto r = c.Master().WriteMessage(c.Device(), message);
        if (r.Ok()) AddFields(report, DecodeHartReply(h::kCmdWriteMessage, r.reply.Data()));
        c.Finish(report, Judge(report, r.reply));
    });

    auto* writePolling =
        hart.add_subcommand("write-polling-address", "give the device a new polling address (command 6)");
    writePolling->add_option("N", o.polling, "0..63 (0..15 for HART 5 devices)")->required();
    writePolling->footer("Example:\n  tarvik hart write-polling-address 3 -p 4 --polling-address 0");
    writePolling->callback([&cli, &options, &o] {
        const int polling = ParseInteger(o.polling, "polling_address");
        HartCommands c(cli, options);
        Report report("hart write-polling-address");
        if (!c.Start(report)) return c.Finish(report, report.ResultCode());
        const auto r = c.Master().WritePollingAddress(c.Device(), static_cast<std::uint8_t>(polling));
        if (r.Ok()) AddFields(report, DecodeHartReply(h::kCmdWritePollingAddress, r.reply.Data()));
        c.Finish(report, Judge(report, r.reply));
    });
}

std::atomic<bool> g_stopWatch{false};

std::string ResultName(std::int32_t rc) {
    const auto f = tools::Facts::Get().Result(rc);
    return f ? f->name : std::to_string(rc);
}

std::string Now() { // local time with milliseconds, as `tarvik watch` logs it
    const auto now = std::chrono::system_clock::now();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}",
                       fmt::localtime(std::chrono::system_clock::to_time_t(now)), ms);
}

extern "C" void OnWatchInterrupt(int) {
    g_stopWatch = true;
}

// One round of `hart watch`: the values of commands 3 and 2 by item name, or why they are missing.
struct WatchValue {
    bool ok = false;
    float value = 0;
    std::string unit; // symbol
};
struct WatchRound {
    std::map<std::string, WatchValue> values;
    std::int32_t result = ResultOk;
};

WatchRound PollRound(HartMaster& master, const h::Address& device) {
    WatchRound round;
    const auto dv = master.ReadDynamicVariables(device);
    const auto lc = master.ReadLoopCurrent(device);
    for (const HartReply* r : {&dv.reply, &lc.reply})
        if (round.result == ResultOk && !r->Success())
            round.result = r->Replied() ? ResultErrorReply : r->result;
    const char* names[] = {"pv", "sv", "tv", "qv"};
    if (dv.Ok())
        for (std::size_t i = 0; i < dv.value.count && i < dv.value.variables.size(); ++i)
            round.values[names[i]] = {true, dv.value.variables[i].value,
                                      tools::Facts::Get().UnitSymbol(dv.value.variables[i].unit)};
    if (lc.Ok()) {
        if (lc.value.milliamperes) round.values["current"] = {true, *lc.value.milliamperes, "mA"};
        if (lc.value.percentOfRange) round.values["percent"] = {true, *lc.value.percentOfRange, "%"};
    }
    return round;
}

// The CSV log as PrepareCsv found it (closed when there is none).
std::ofstream OpenWatchLog(const std::string& path, const std::string& header, const CsvStart& start) {
    std::ofstream csv;
    if (path.empty()) return csv;
    csv.open(path, start.fresh ? std::ios::trunc : std::ios::app);
    if (!csv) throw CLI::ValidationError("--csv", "cannot open " + path);
    csv << (start.fresh ? header + "\n" : start.needsNewline ? "\n" : "");
    return csv;
}

std::unique_ptr<chart::LiveChart> WatchChart(const std::string& path, const std::string& title) {
    if (path.empty()) return nullptr;
    try {
        return std::make_unique<chart::LiveChart>(path, title, ChartOptions());
    } catch (const std::exception& e) {
        throw CLI::ValidationError("--chart", e.what());
    }
}

void Watch(CLI::App& hart, Cli& cli, HartOptions& options) {
    static std::vector<std::string> items;
    static double interval = 1.0;
    static int count = 0;
    static std::string csvPath, chartPath;
    static bool forceNew = false;
    auto* watch = hart.add_subcommand("watch", "poll PV, SV, TV, QV, current, percent at an interval");
    watch->add_option("items", items, "pv sv tv qv current percent (default pv current)")
        ->check(CLI::IsMember({"pv", "sv", "tv", "qv", "current", "percent"}));
    watch->add_option("-i,--interval", interval, "seconds between polls")->check(CLI::Range(0.0, 86400.0));
    watch->add_option("-n,--count", count, "stop after this many polls (default: until Ctrl-C)")
        ->check(CLI::NonNegativeNumber);
    watch->add_option("--csv", csvPath, "append every poll to this CSV file, with timestamps");
    watch->add_flag("--force-new", forceNew, "start the --csv log anew when it has other columns");
    watch->add_option("--chart", chartPath, "keep an SVG line chart of the polls in this file");
    watch->footer("Example:\n  tarvik hart watch pv sv current -p 4 --polling-address 1 -n 10 --csv tt1.csv");
    watch->callback([&cli, &options] {
        const std::vector<std::string> names =
            items.empty() ? std::vector<std::string>{"pv", "current"} : items;
        if (!csvPath.empty() && !chartPath.empty() && SameFile(csvPath, chartPath))
            throw CLI::ValidationError("--chart", "'" + chartPath + "' is the --csv log itself");
        std::string header = "time";
        for (const std::string& n : names)
            header += ',' + CsvField(n) + ',' + CsvField(n + " unit") + ',' + CsvField(n + " result");
        const CsvStart start = csvPath.empty() ? CsvStart{} : PrepareCsv(csvPath, header, forceNew);
        HartCommands c(cli, options);
        Report report("hart watch");
        if (!c.Start(report)) return c.Finish(report, report.ResultCode());
        std::ofstream csv = OpenWatchLog(csvPath, header, start);
        const auto chart = WatchChart(
            chartPath, fmt::format("COM{}: HART device {}", cli.Port(), FormatLongAddress(c.Device())));
        g_stopWatch = false;
        auto previous = std::signal(SIGINT, OnWatchInterrupt);
        int worst = kExitOk;
        for (int n = 0; !g_stopWatch && (count == 0 || n < count); ++n) {
            const auto started = std::chrono::steady_clock::now();
            const std::string time = Now();
            const WatchRound round = PollRound(c.Master(), c.Device());
            worst = CombineExit(worst, ExitCodeFor(round.result));
            std::string line = time.substr(11, 8);
            Json values = Json::object();
            if (csv) csv << time;
            for (const std::string& name : names) {
                const auto found = round.values.find(name);
                const WatchValue w = found == round.values.end() ? WatchValue{} : found->second;
                const std::optional<double> v = w.ok ? std::optional<double>(w.value) : std::nullopt;
                const std::string& unit = w.unit;
                const std::int32_t rc = v                          ? ResultOk
                                        : round.result == ResultOk ? ResultErrorReply
                                                                   : round.result;
                line += v ? fmt::format("  {} {} {}", name, HumanNumber(w.value), unit)
                          : fmt::format("  {} [{}]", name, ResultName(rc));
                values[name] = {{"value", v ? NumberJson(w.value) : Json(nullptr)},
                                {"unit", unit},
                                {"result", ResultName(rc)}};
                if (csv)
                    csv << ',' << (v ? Number(w.value) : "") << ',' << CsvField(unit) << ','
                        << ResultName(rc);
                if (chart) chart->Add(name, unit, time, v);
            }
            if (csv) csv << '\n' << std::flush;
            if (chart) WriteWatchChart(*chart);
            std::printf(
                "%s\n",
                cli.json ? Json{{"command", "hart watch"}, {"time", time}, {"values", values}}.dump().c_str()
                         : line.c_str());
            std::fflush(stdout);
            if (count != 0 && n + 1 >= count) break;
            const auto next = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                            std::chrono::duration<double>(interval));
            while (!g_stopWatch && std::chrono::steady_clock::now() < next)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::signal(SIGINT, previous);
        cli.exitCode = worst;
    });
}

} // namespace

void AddHartCommands(CLI::App& app, Cli& cli) {
    auto& options = cli.Options<HartOptions>();
    auto* hart = app.add_subcommand("hart", "any HART device: scan a line, read, any command, burst frames");
    hart->require_subcommand(1);
    hart->footer(
        "Each command takes --polling-address N (short frames), or -a MM:TT:IIIIII (the long address\n"
        "hart scan prints; long frames), or -a TT:IIIIII (looked for at polling addresses 0..15\n"
        "first); without either, polling address 0. Also --secondary, --retries, --timeout-ms.");
    ScanCommand(*hart, cli, options);
    InfoAndRead(*hart, cli, options);
    RawCommand(*hart, cli, options);
    Listen(*hart, cli, options);
    Writes(*hart, cli, options);
    Watch(*hart, cli, options);
    for (CLI::App* sub : hart->get_subcommands([](CLI::App*) { return true; })) {
        if (sub->get_name() != "scan" && sub->get_name() != "listen")
            sub->add_option("--polling-address", options.polling,
                            "the device at this polling address (short frames)")
                ->check(CLI::Range(0, 63));
        sub->add_flag("--secondary", options.secondary, "act as the secondary master (a handheld's role)");
        sub->add_option("--retries", options.retries, "tries more on a missing or damaged reply (default 2)")
            ->check(CLI::Range(0, 10));
        sub->add_option("--timeout-ms", options.timeoutMs, "wait for a reply (default: by the rate)")
            ->check(CLI::Range(0, 60000));
    }
}

} // namespace tarvik::cli
