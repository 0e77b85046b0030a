// `tarvik hart ...`: any HART device through the fast link's HartMaster, on a point-to-point loop
// or a multidrop line. A device is picked by --polling-address N (short frames), by -a with its
// long address MM:TT:IIIIII (long frames), or by -a TT:IIIIII (found among polling addresses
// 0..15 first); without either, polling address 0.
#include <fmt/format.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>

#include "Arguments.h"
#include "ChartCommand.h"
#include "Cli.h"
#include "Facts.h"
#include "HartCommands.h"
#include "HartDecode.h"
#include "OutputFile.h"
#include "Ports.h"
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

// Request data for a raw command (HEX), by the one rule of tools/common/Arguments.h.
std::vector<std::uint8_t> ParseHex(const std::string& text) {
    auto c = tools::ParseHexBytes(text, h::kMaxData);
    if (!c.Ok()) throw CLI::ValidationError("HEX", c.reason);
    return std::move(*c.value);
}

struct ScanOptions {
    int last = kDefaultScanLast;
    int perAddressMs = 0;
    bool jsonLines = false;
};

constexpr int kExitInterrupted = 130; // 128 + SIGINT, as a shell reports a command ended by Ctrl-C

std::atomic<bool> g_stopScan{false};
extern "C" void OnScanInterrupt(int) {
    g_stopScan = true;
}

// A found device as scan prints it: its identity and tag (command 13, asked at once).
Json ScanEntry(HartMaster& master, const link::FoundDevice& d) {
    const h::Address address = d.identity.LongAddress();
    const auto tag = master.ReadTagDescriptorDate(address);
    return {{"polling_address", d.polling},
            {"address", FormatTypeAndId(d.identity)},
            {"long_address", FormatLongAddress(address)},
            {"manufacturer", d.identity.manufacturer},
            {"device_type", d.identity.deviceType},
            {"universal_revision", d.identity.universalRevision},
            {"preambles", d.identity.preambles},
            {"tag", tag.Ok() ? Json(tag.value.tag) : Json(nullptr)}};
}

void PrintScanEntry(const Json& j) {
    const std::string tag = j["tag"].is_null() ? "?" : j["tag"].get<std::string>();
    std::printf("polling %-2d  address %s  (-a %s)  tag %-8s  universal rev %d\n",
                j["polling_address"].get<int>(), j["address"].get<std::string>().c_str(),
                j["long_address"].get<std::string>().c_str(), tag.c_str(),
                j["universal_revision"].get<int>());
}

void ScanCommand(CLI::App& hart, Cli& cli, HartOptions& options) {
    auto o = std::make_shared<ScanOptions>();
    auto* scan =
        hart.add_subcommand("scan", "find the devices on a line by their polling addresses (command 0)");
    scan->add_option("--last", o->last, "last polling address to try (default 15; up to 63)")
        ->check(CLI::Range(0, 63));
    scan->add_option("--wait-ms", o->perAddressMs,
                     "wait per address (default: by the rate, a few bit times past the request)")
        ->check(CLI::Range(0, 10000));
    scan->add_flag("--json-lines", o->jsonLines, "one JSON object a device, printed as it is found");
    scan->footer("Each device is printed as it is found (--json: one array at the end). Ctrl-C ends the\n"
                 "scan: the devices found so far stay printed (--json: the array so far), exit status 130.\n"
                 "Examples:\n  tarvik hart scan -p 4\n  tarvik hart scan -p 4 -b 1200 --last 63 --json");
    scan->callback([&cli, &options, o] {
        const int last = o->last, perAddressMs = o->perAddressMs;
        const bool lines = o->jsonLines;
        if (lines) cli.json = true; // a failure too is a JSON object
        HartCommands c(cli, options);
        Report report("hart scan");
        if (!c.Start(report, false)) return c.Finish(report, report.ResultCode());
        g_stopScan = false;
        const auto previous = std::signal(SIGINT, OnScanInterrupt);
        Json all = Json::array();
        c.Master().ScanWhile(0, static_cast<std::uint8_t>(last), perAddressMs,
                             [&](std::uint8_t polling, const link::FoundDevice* d) {
                                 std::fprintf(stderr, "polling address %2u: %s\n", polling,
                                              d ? FormatTypeAndId(d->identity).c_str() : "-");
                                 if (d) { // printed even when Ctrl-C came during its address
                                     all.push_back(ScanEntry(c.Master(), *d));
                                     if (lines)
                                         std::printf("%s\n", all.back().dump().c_str());
                                     else if (!cli.json)
                                         PrintScanEntry(all.back());
                                     std::string why; // main names it at the end
                                     if (!tools::StdoutWritten(why)) return false;
                                 }
                                 return !g_stopScan;
                             });
        std::signal(SIGINT, previous);
        if (cli.json && !lines && (!all.empty() || g_stopScan)) std::printf("%s\n", all.dump().c_str());
        if (g_stopScan) {
            std::fprintf(stderr, "interrupted: %zu device(s) found up to there\n", all.size());
            cli.exitCode = kExitInterrupted;
            return;
        }
        if (!all.empty()) return;
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
    cmd->add_option("HEX", o->hex,
                    "request data in hexadecimal: bytes apart (\"1 0A\", one byte a group) or two digits a "
                    "byte (\"010A\")");
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
    bool blankTag = false, blankMessage = false, force = false;
};

// A text to write: an empty one (or all spaces) blanks the device's text, so it takes --blank
// (an unset variable in a script is no way to clear a device); --blank with text is a contradiction.
void CheckBlank(const std::string& text, bool blank, const std::string& what) {
    const bool empty = text.find_first_not_of(' ') == std::string::npos;
    if (empty && !blank)
        throw CLI::ValidationError(what,
                                   "empty: that blanks the device's " + what + "; give --blank to mean it");
    if (!empty && blank) throw CLI::ValidationError("--blank", "blanks the " + what + ": give no " + what);
}

void WriteTag(CLI::App& hart, Cli& cli, HartOptions& options, WriteOptions& o) {
    auto* writeTag = hart.add_subcommand("write-tag", "write the tag (command 18; descriptor and date kept)");
    writeTag->add_option("TAG", o.tag, "up to 8 characters: A-Z 0-9 space and !\"#$%&'()*+,-./:;<=>?@[\\]^_");
    writeTag->add_option("--descriptor", o.descriptor, "also write the descriptor (up to 16 characters)");
    writeTag->add_flag("--blank", o.blankTag, "write an empty tag (all spaces)");
    writeTag->footer("Examples:\n  tarvik hart write-tag TT-201 -p 4 --polling-address 1\n"
                     "  tarvik hart write-tag --blank -p 4 --polling-address 1");
    writeTag->callback([&cli, &options, &o] {
        const std::string& tag = o.tag;
        const std::string& descriptor = o.descriptor;
        CheckBlank(tag, o.blankTag, "tag");
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
}

// Before command 6: whether another device answers at the new polling address (two devices at
// one address answer together and vanish from scans). Empty when the address is free (or taken by
// the device itself); else why the write is refused.
std::string PollingAddressTaken(HartMaster& master, const h::Address& device, int polling) {
    const h::Address there = h::Address::Polling(static_cast<std::uint8_t>(polling));
    if (!device.isLong && device.polling == polling) return {};
    const HartReply r = master.Command(there, h::kCmdReadUniqueId);
    if (r.result == ResultNoReply) return {};
    if (r.Success()) {
        const h::Identity id = h::DecodeIdentity(r.Data());
        if (id.complete && device.isLong && id.LongAddress().unique == device.unique) return {};
        if (id.complete)
            return fmt::format("polling address {} is taken by {} (-a {})", polling, FormatTypeAndId(id),
                               FormatLongAddress(id.LongAddress()));
    }
    const auto result = tools::Facts::Get().Result(r.result);
    return fmt::format("something answers at polling address {} ({})", polling,
                       result ? result->name : std::to_string(r.result));
}

void WriteMessageAndPolling(CLI::App& hart, Cli& cli, HartOptions& options, WriteOptions& o) {
    auto* writeMessage = hart.add_subcommand("write-message", "write the message (command 17)");
    writeMessage->add_option("TEXT", o.message, "up to 32 characters of packed text (upper case)");
    writeMessage->add_flag("--blank", o.blankMessage, "write an empty message (all spaces)");
    writeMessage->footer(
        "Example:\n  tarvik hart write-message 'CALIBRATED 2026-12-07' -p 4 --polling-address 1");
    writeMessage->callback([&cli, &options, &o] {
        const std::string& message = o.message;
        CheckBlank(message, o.blankMessage, "message");
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
    writePolling->add_flag("--force", o.force, "write even when another device answers at N");
    writePolling->footer("Command 0 at N first: when another device answers there, nothing is written\n"
                         "(two devices at one address vanish from scans) unless --force.\n"
                         "Example:\n  tarvik hart write-polling-address 3 -p 4 --polling-address 0");
    writePolling->callback([&cli, &options, &o] {
        const int polling = ParseInteger(o.polling, "polling_address");
        HartCommands c(cli, options);
        Report report("hart write-polling-address");
        if (!c.Start(report)) return c.Finish(report, report.ResultCode());
        if (!o.force) // a usage error: refused like an argument the line cannot take
            if (const std::string taken = PollingAddressTaken(c.Master(), c.Device(), polling);
                !taken.empty())
                throw CLI::ValidationError("N", taken + ": nothing written (--force writes anyway)");
        const auto r = c.Master().WritePollingAddress(c.Device(), static_cast<std::uint8_t>(polling));
        if (r.Ok()) AddFields(report, DecodeHartReply(h::kCmdWritePollingAddress, r.reply.Data()));
        c.Finish(report, Judge(report, r.reply));
    });
}

void Writes(CLI::App& hart, Cli& cli, HartOptions& options) {
    auto& o = cli.Options<WriteOptions>();
    WriteTag(hart, cli, options, o);
    WriteMessageAndPolling(hart, cli, options, o);
}

// `hart watch`: each round reads commands 3 and 2 and picks the items from their values.
class HartSampler : public WatchSampler {
public:
    HartSampler(std::unique_ptr<HartCommands> commands, std::vector<std::string> names)
        : commands_(std::move(commands)), names_(std::move(names)) {}

    WatchRound Poll() override {
        HartMaster& master = commands_->Master();
        const auto dv = master.ReadDynamicVariables(commands_->Device());
        const auto lc = master.ReadLoopCurrent(commands_->Device());
        std::int32_t result = ResultOk;
        for (const HartReply* r : {&dv.reply, &lc.reply})
            if (result == ResultOk && !r->Success()) result = r->Replied() ? ResultErrorReply : r->result;
        std::map<std::string, WatchSample> values;
        const char* names[] = {"pv", "sv", "tv", "qv"};
        if (dv.Ok())
            for (std::size_t i = 0; i < dv.value.count && i < dv.value.variables.size(); ++i)
                values[names[i]] = {dv.value.variables[i].value,
                                    tools::Facts::Get().UnitSymbol(dv.value.variables[i].unit), ResultOk};
        if (lc.Ok()) {
            if (lc.value.milliamperes) values["current"] = {*lc.value.milliamperes, "mA", ResultOk};
            if (lc.value.percentOfRange) values["percent"] = {*lc.value.percentOfRange, "%", ResultOk};
        }
        WatchRound round;
        round.exit = ExitCodeFor(result);
        for (const std::string& name : names_) {
            const auto found = values.find(name);
            // A value the device did not give: its round's failure, or the device's refusal.
            round.samples.push_back(
                found != values.end() ? found->second
                                      : WatchSample{{}, "", result == ResultOk ? ResultErrorReply : result});
        }
        return round;
    }

private:
    std::unique_ptr<HartCommands> commands_;
    std::vector<std::string> names_;
};

void Watch(CLI::App& hart, Cli& cli, HartOptions& options) {
    auto& o = cli.Options<WatchSettings>();
    auto* watch = hart.add_subcommand("watch", "poll PV, SV, TV, QV, current, percent at an interval");
    watch->add_option("items", o.items, "pv sv tv qv current percent (default pv current)")
        ->check(CLI::IsMember({"pv", "sv", "tv", "qv", "current", "percent"}));
    AddWatchOptions(*watch, o);
    watch->footer("Example:\n  tarvik hart watch pv sv current -p 4 --polling-address 1 -n 10 --csv tt1.csv");
    watch->callback([&cli, &options, &o] {
        const std::vector<std::string> names =
            o.items.empty() ? std::vector<std::string>{"pv", "current"} : o.items;
        RunWatchLoop(cli, "hart watch", o, names, [&]() -> std::optional<WatchStart> {
            auto c = std::make_unique<HartCommands>(cli, options);
            Report report("hart watch");
            if (!c->Start(report)) {
                const std::int32_t rc = report.ResultCode();
                if (rc == ResultPortBusy || rc == ResultPortAbsent) {
                    const PortDiagnosis why = DiagnosePort(cli.Port(), rc);
                    if (!why.kind.empty()) report.Diagnosis(why.kind, why.text, why.holders);
                }
                cli.Finish(report);
                return std::nullopt;
            }
            std::string title =
                fmt::format("COM{}: HART device {}", cli.Port(), FormatLongAddress(c->Device()));
            return WatchStart{std::make_unique<HartSampler>(std::move(c), names), std::move(title)};
        });
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
        "first), not both. Without -a, $TARVIK_ADDRESS stands for it (--polling-address wins over\n"
        "the variable); without any, polling address 0. An empty -a is refused. Also --secondary,\n"
        "--retries, --timeout-ms.");
    ScanCommand(*hart, cli, options);
    InfoAndRead(*hart, cli, options);
    RawCommand(*hart, cli, options);
    Listen(*hart, cli, options);
    Writes(*hart, cli, options);
    Watch(*hart, cli, options);
    AddHartConfigureCommands(*hart, cli, options);
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
