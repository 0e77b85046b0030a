// `tarvik hart vars | range` and the typed configuration writes (set-range, set-damping, set-unit,
// set-transfer-function, set-variable-unit, set-assignments, set-preambles, reset-changed).
#include "HartConfigure.h"

#include <fmt/format.h>

#include <memory>
#include <vector>

#include "Address.h"
#include "Facts.h"
#include "HartDecode.h"
#include "hart/Frame.h"
#include "hart/Status.h"
#include "hart/Universal.h"

namespace tarvik::cli {

namespace h = tarvik::hart;
using link::HartReply;

namespace {

constexpr std::uint8_t kProcessStatusShift = 6;
constexpr std::uint8_t kLimitStatusShift = 4;
constexpr std::uint8_t kTwoBits = 0x03;
constexpr std::uint8_t kDefaultLastVariable = 3; // PV..QV, for a device that does not say

std::string ResponseText(std::uint8_t command, std::uint8_t code) {
    if (const char* specific = h::ConfigResponseText(command, code)) return specific;
    if (const char* common = h::ResponseCodeText(code)) return common;
    return "command-specific";
}

// Command 9's status byte of a device variable: process data and limit status.
std::string VariableStatusText(std::uint8_t status) {
    constexpr const char* kProcess[] = {"bad", "poor accuracy", "manual/fixed", "good"};
    constexpr const char* kLimit[] = {"", ", low limited", ", high limited", ", constant"};
    return std::string(kProcess[(status >> kProcessStatusShift) & kTwoBits]) +
           kLimit[(status >> kLimitStatusShift) & kTwoBits];
}

Json VariableJson(std::uint8_t code, std::uint8_t unit, float value) {
    const auto& facts = tools::Facts::Get();
    return Json{{"code", code},
                {"unit", unit},
                {"unit_name", facts.UnitName(unit)},
                {"symbol", facts.UnitSymbol(unit)},
                {"value", NumberJson(value)}};
}

std::string VariableText(std::uint8_t unit, float value) {
    return fmt::format("{}   (unit {}: {})", ValueWithUnit(value, unit), unit,
                       tools::Facts::Get().UnitName(unit));
}

struct VarsOptions {
    std::vector<std::string> codes;
};

// The codes to read: those given, else 0 up to the last the device names (command 0, revision 6).
std::vector<std::uint8_t> CodesToRead(HartCommands& c, const std::vector<std::string>& given) {
    std::vector<std::uint8_t> codes;
    for (const std::string& text : given)
        codes.push_back(static_cast<std::uint8_t>(ParseInteger(text, "device_variable")));
    if (!codes.empty()) return codes;
    const HartReply id = c.Master().Command(c.Device(), h::kCmdReadUniqueId);
    std::uint8_t last = kDefaultLastVariable;
    if (id.Success()) last = h::DecodeIdentity(id.Data()).lastDeviceVariable.value_or(kDefaultLastVariable);
    for (int code = 0; code <= last && code < h::kUnitNotUsed; ++code)
        codes.push_back(static_cast<std::uint8_t>(code));
    return codes;
}

// Reads `codes` with command 9 in groups of eight; a device that does not know 9 (older
// revisions) is asked with 33 in groups of four. Adds one line a variable.
std::int32_t ReadVariables(HartCommands& c, Report& report, const std::vector<std::uint8_t>& codes) {
    std::uint8_t command = h::kCmdReadVariablesWithStatus;
    Json all = Json::array();
    HartReply r;
    for (std::size_t at = 0; at < codes.size();) {
        const std::size_t most =
            command == h::kCmdReadVariablesWithStatus ? h::kMaxVariableSlots : h::kMaxVariableSlotsOld;
        const auto request = h::VariablesRequest(std::span(codes).subspan(at), most);
        r = c.Master().Command(c.Device(), command, request.Data());
        if (command == h::kCmdReadVariablesWithStatus && r.Replied() && !r.CommError() &&
            r.responseCode == h::kRcNotImplemented) {
            command = h::kCmdReadDeviceVariables;
            continue;
        }
        if (!r.Success()) break;
        if (command == h::kCmdReadVariablesWithStatus) {
            const auto v = h::DecodeVariablesWithStatus(r.Data());
            for (std::size_t i = 0; i < v.count; ++i) {
                const auto& s = v.slots[i];
                Json j = VariableJson(s.code, s.unit, s.value);
                j["classification"] = s.classification;
                j["status"] = s.status;
                j["status_text"] = VariableStatusText(s.status);
                all.push_back(j);
                report.Text(fmt::format("variable {}", s.code),
                            fmt::format("{}   class {}, {}", VariableText(s.unit, s.value), s.classification,
                                        VariableStatusText(s.status)));
            }
        } else {
            const auto v = h::DecodeDeviceVariables(r.Data());
            for (std::size_t i = 0; i < v.count; ++i) {
                const auto& s = v.slots[i];
                all.push_back(VariableJson(s.code, s.unit, s.value));
                report.Text(fmt::format("variable {}", s.code), VariableText(s.unit, s.value));
            }
        }
        at += request.size;
    }
    report.Context("variables", all);
    report.Context("read_with", command);
    return Judge(report, r);
}

void Vars(CLI::App& hart, Cli& cli, HartOptions& options) {
    auto o = std::make_shared<VarsOptions>();
    auto* vars = hart.add_subcommand(
        "vars",
        "device variables with unit, value and status (command 9, or 33), and PV..QV assignments (50)");
    vars->add_option("CODES", o->codes, "device variable codes (default: all the device has)");
    vars->footer("Example:\n  tarvik hart vars -p 4 --polling-address 1\n  tarvik hart vars 0 2 -p 4 --json");
    vars->callback([&cli, &options, o] {
        HartCommands c(cli, options);
        Report report("hart vars");
        const std::vector<std::string> given = o->codes;
        for (const std::string& text : given) // refused before the line is opened
            ParseInteger(text, "device_variable");
        if (!c.Start(report)) return c.Finish(report, report.ResultCode());
        const HartReply a = c.Master().Command(c.Device(), h::kCmdReadVariableAssignments);
        if (a.Success()) {
            const auto v = h::DecodeVariableAssignments(a.Data());
            const char* names[] = {"pv", "sv", "tv", "qv"};
            Json j = Json::object();
            std::string text;
            for (std::size_t i = 0; i < v.count; ++i) {
                j[names[i]] = v.codes[i];
                text += fmt::format("{}{} = {}", text.empty() ? "" : ", ", names[i], v.codes[i]);
            }
            report.Field("assignments", "assignments", j, text);
        }
        c.Finish(report, ReadVariables(c, report, CodesToRead(c, given)));
    });
}

void Range(CLI::App& hart, Cli& cli, HartOptions& options) {
    auto* range = hart.add_subcommand(
        "range", "range values, damping, transfer function, sensor limits, write protection (15 and 14)");
    range->footer("Example:\n  tarvik hart range -p 4 --polling-address 1");
    range->callback([&cli, &options] {
        HartCommands c(cli, options);
        Report report("hart range");
        if (!c.Start(report)) return c.Finish(report, report.ResultCode());
        std::int32_t rc = ResultOk;
        const HartReply id = c.Master().Command(c.Device(), h::kCmdReadUniqueId);
        std::optional<std::uint8_t> revision; // command 15 depends on it
        if (id.Success()) revision = h::DecodeIdentity(id.Data()).universalRevision;
        for (std::uint8_t command : {h::kCmdReadDeviceInfo, h::kCmdReadTransducerInfo}) {
            const HartReply r = c.Master().Command(c.Device(), command);
            if (r.Success()) AddFields(report, DecodeHartReply(command, r.Data(), revision));
            if (r.Success() && command == h::kCmdReadDeviceInfo) {
                const auto protect = h::DecodeDeviceInfo(r.Data()).writeProtect;
                if (protect)
                    report.Text("", *protect == h::kWriteProtected ? "write-protected: writes are refused"
                                                                   : "not write-protected");
            }
            if (const std::int32_t one = Judge(report, r, command == h::kCmdReadTransducerInfo);
                one != ResultOk)
                rc = one;
        }
        c.Finish(report, rc);
    });
}

// ---- writes -----------------------------------------------------------------------------------

struct WriteArgs {
    std::vector<std::string> values;
    std::string unit;
    bool upperFromProcess = false, lowerFromProcess = false;
    SafetyFlags flags;
};

ConfigWrite WithDeviceInfo(std::string name, std::uint8_t command, h::RequestData data) {
    ConfigWrite w{std::move(name), command, data, true, nullptr};
    w.readBack = [](HartCommands& c, Report& r) { return ReadBackFields(c, r, h::kCmdReadDeviceInfo); };
    return w;
}

// The range values: URV LRV with the unit given, or the device's own unit (command 15).
std::optional<ConfigWrite> RangeWrite(const WriteArgs& a) {
    if (a.upperFromProcess || a.lowerFromProcess) {
        if (!a.values.empty() || (a.upperFromProcess && a.lowerFromProcess))
            throw CLI::ValidationError("set-range", "give URV LRV, or one of --upper-from-process and "
                                                    "--lower-from-process");
        return WithDeviceInfo("hart set-range",
                              a.upperFromProcess ? h::kCmdSetUpperRange : h::kCmdSetLowerRange, {});
    }
    if (a.values.size() != 2) throw CLI::ValidationError("set-range", "give URV and LRV (upper, then lower)");
    const float upper = ParseValue(a.values[0], "range_value");
    const float lower = ParseValue(a.values[1], "range_value");
    if (a.unit.empty()) return std::nullopt; // the unit is the device's: asked on the line
    const auto unit = static_cast<std::uint8_t>(ParseInteger(a.unit, "pv_unit"));
    return WithDeviceInfo("hart set-range", h::kCmdWriteRange, h::RangeRequest(unit, upper, lower));
}

void SetRange(CLI::App& hart, Cli& cli, HartOptions& options) {
    auto a = std::make_shared<WriteArgs>();
    auto* cmd = hart.add_subcommand("set-range",
                                    "write the PV range values (35), or take one from the process (36/37)");
    cmd->add_option("URV LRV", a->values, "upper and lower range values (after -- when negative)");
    cmd->add_option("--unit", a->unit, "their unit (symbol, name or code; default the device's range unit)");
    cmd->add_flag("--upper-from-process", a->upperFromProcess,
                  "the applied process value becomes the URV (36)");
    cmd->add_flag("--lower-from-process", a->lowerFromProcess,
                  "the applied process value becomes the LRV (37)");
    AddDryRun(*cmd, a->flags);
    cmd->footer("Examples:\n  tarvik hart set-range 150 0 --unit degC -p 4 --polling-address 1\n"
                "  tarvik hart set-range -p 4 -- 100 -20\n  tarvik hart set-range --lower-from-process -p 4");
    cmd->callback([&cli, &options, a] {
        if (auto w = RangeWrite(*a)) return RunConfigWrite(cli, options, a->flags, *w);
        if (a->flags.dryRun)
            throw CLI::ValidationError("--dry-run", "give --unit: without it the device is asked");
        // The device's own range unit, read first.
        HartCommands c(cli, options);
        Report report("hart set-range");
        if (!c.Start(report)) return c.Finish(report, report.ResultCode());
        const HartReply info = c.Master().Command(c.Device(), h::kCmdReadDeviceInfo);
        const auto unit = info.Success() ? h::DecodeDeviceInfo(info.Data()).rangeUnit : std::nullopt;
        if (!unit) return c.Finish(report, Judge(report, info));
        WriteArgs withUnit = *a;
        withUnit.unit = std::to_string(*unit);
        RunConfigWrite(cli, options, a->flags, *RangeWrite(withUnit));
    });
}

// A write of one value from the argument table, read back with `readCommand`.
void OneValueWrite(CLI::App& hart, Cli& cli, HartOptions& options, const char* name, const char* help,
                   const char* example, std::function<ConfigWrite(const std::string&)> make) {
    auto a = std::make_shared<WriteArgs>();
    auto* cmd = hart.add_subcommand(name, help);
    cmd->add_option("VALUE", a->values, "the value")->required()->expected(1);
    AddDryRun(*cmd, a->flags);
    cmd->footer(std::string("Example:\n  ") + example);
    cmd->callback(
        [&cli, &options, a, make] { RunConfigWrite(cli, options, a->flags, make(a->values.at(0))); });
}

void SimpleWrites(CLI::App& hart, Cli& cli, HartOptions& options) {
    OneValueWrite(hart, cli, options, "set-damping", "write the PV damping in seconds (34)",
                  "tarvik hart set-damping 2.5 -p 4 --polling-address 1", [](const std::string& v) {
                      return WithDeviceInfo("hart set-damping", h::kCmdWriteDamping,
                                            h::FloatRequest(ParseValue(v, "damping")));
                  });
    OneValueWrite(hart, cli, options, "set-unit", "write the PV unit (44): a symbol, name or code",
                  "tarvik hart set-unit degF -p 4 --polling-address 1", [](const std::string& v) {
                      return WithDeviceInfo(
                          "hart set-unit", h::kCmdWriteUnit,
                          h::ByteRequest(static_cast<std::uint8_t>(ParseInteger(v, "pv_unit"))));
                  });
    OneValueWrite(hart, cli, options, "set-transfer-function",
                  "write the PV transfer function (47): linear or sqrt",
                  "tarvik hart set-transfer-function sqrt -p 4", [](const std::string& v) {
                      return WithDeviceInfo(
                          "hart set-transfer-function", h::kCmdWriteTransferFunction,
                          h::ByteRequest(static_cast<std::uint8_t>(ParseInteger(v, "transfer_function"))));
                  });
    OneValueWrite(hart, cli, options, "set-preambles", "write the number of preambles the device sends (59)",
                  "tarvik hart set-preambles 8 -p 4", [](const std::string& v) {
                      ConfigWrite w{"hart set-preambles", h::kCmdWritePreambles,
                                    h::ByteRequest(static_cast<std::uint8_t>(ParseInteger(v, "preambles"))),
                                    true, nullptr};
                      w.readBack = [](HartCommands& c, Report& r) {
                          return ReadBackFields(c, r, h::kCmdReadUniqueId);
                      };
                      return w;
                  });
}

void VariableWrites(CLI::App& hart, Cli& cli, HartOptions& options) {
    auto a = std::make_shared<WriteArgs>();
    auto* unit = hart.add_subcommand("set-variable-unit", "write a device variable's unit (53)");
    unit->add_option("VAR UNIT", a->values, "device variable code, unit (symbol, name or code)")
        ->required()
        ->expected(2);
    AddDryRun(*unit, a->flags);
    unit->footer("Example:\n  tarvik hart set-variable-unit 1 degF -p 4 --polling-address 1");
    unit->callback([&cli, &options, a] {
        const auto code = static_cast<std::uint8_t>(ParseInteger(a->values.at(0), "device_variable"));
        const auto u = static_cast<std::uint8_t>(ParseInteger(a->values.at(1), "variable_unit"));
        ConfigWrite w{"hart set-variable-unit", h::kCmdWriteVariableUnit, h::VariableUnitRequest(code, u),
                      true, nullptr};
        w.readBack = [code](HartCommands& c, Report& r) {
            return ReadBackFields(c, r, h::kCmdReadVariablesWithStatus, std::span(&code, 1));
        };
        RunConfigWrite(cli, options, a->flags, w);
    });

    auto b = std::make_shared<WriteArgs>();
    auto* assign =
        hart.add_subcommand("set-assignments", "write which device variables are PV, SV, TV, QV (51)");
    assign->add_option("PV SV TV QV", b->values, "four device variable codes")->required()->expected(4);
    AddDryRun(*assign, b->flags);
    assign->footer("Example:\n  tarvik hart set-assignments 2 0 1 3 -p 4 --polling-address 1");
    assign->callback([&cli, &options, b] {
        std::array<std::uint8_t, h::kDynamicVariableCount> codes{};
        for (std::size_t i = 0; i < codes.size(); ++i)
            codes[i] = static_cast<std::uint8_t>(ParseInteger(b->values.at(i), "device_variable"));
        ConfigWrite w{"hart set-assignments", h::kCmdWriteAssignments, h::AssignmentsRequest(codes), true,
                      nullptr};
        w.readBack = [](HartCommands& c, Report& r) {
            return ReadBackFields(c, r, h::kCmdReadVariableAssignments);
        };
        RunConfigWrite(cli, options, b->flags, w);
    });

    auto d = std::make_shared<WriteArgs>();
    auto* reset = hart.add_subcommand("reset-changed", "reset the configuration-changed flag (38)");
    AddDryRun(*reset, d->flags);
    reset->footer("Example:\n  tarvik hart reset-changed -p 4 --polling-address 1");
    reset->callback([&cli, &options, d] {
        RunConfigWrite(cli, options, d->flags,
                       {"hart reset-changed", h::kCmdResetConfigChanged, {}, false, nullptr});
    });
}

} // namespace

// ---- the one way of writing ---------------------------------------------------------------------

void AddDryRun(CLI::App& command, SafetyFlags& flags) {
    command.add_flag("--dry-run", flags.dryRun, "print the exact frame and send nothing");
    command.add_option(
        "--expect", flags.expect,
        "write only when this device (MM:TT:IIIIII or TT:IIIIII, as hart scan printed it) still "
        "answers at the address");
}

void CheckExpect(const std::string& expect) {
    if (expect.empty() || tools::ParseLongAddress(expect).bytes || tools::ParseAddress(expect)) return;
    throw CLI::ValidationError("--expect",
                               "'" + expect + "' is no device address: give MM:TT:IIIIII or TT:IIIIII");
}

bool AnotherDevice(HartCommands& c, Report& report, const std::string& expect) {
    if (expect.empty()) return false;
    const HartReply r = c.Master().Command(c.Device(), h::kCmdReadUniqueId);
    const h::Identity id = h::DecodeIdentity(r.Data());
    if (r.Success() && id.complete) {
        const auto full = tools::ParseLongAddress(expect).bytes;
        const auto brief = tools::ParseAddress(expect);
        const bool same = full ? id.LongAddress() == h::Address::Long(*full)
                               : brief->deviceType == id.AddressType() && brief->id == id.deviceId;
        if (same) return false;
        report.Field(
            "identity", "identity",
            Json{{"expected", expect}, {"found", FormatLongAddress(id.LongAddress())}},
            fmt::format("{} answers, not {}: nothing written", FormatLongAddress(id.LongAddress()), expect));
        report.Result(ResultWrongIdentity);
        report.Hint("another device now answers at this address: tarvik hart scan lists the line");
        return true;
    }
    report.Result(r.Replied() ? ResultWrongIdentity : r.result);
    return true;
}

void AddYes(CLI::App& command, SafetyFlags& flags, const std::string& help) {
    command.add_flag("--yes", flags.yes, help);
}

bool DryRun(Cli& cli, HartOptions& options, const std::string& name, std::span<const ConfigWrite> writes) {
    HartCommands c(cli, options);
    const auto address = c.KnownAddress();
    if (!address)
        throw CLI::ValidationError("--dry-run",
                                   "give --polling-address N or -a MM:TT:IIIIII: -a TT:IIIIII is "
                                   "looked for on the line");
    Report report(name);
    Json frames = Json::array();
    for (const ConfigWrite& w : writes) {
        h::FrameBytes f;
        h::BuildRequest(*address, c.Role(), w.command, w.data.Data(), link::MasterOptions{}.preambles, f);
        const char* what =
            h::ConfigCommandName(w.command) ? h::ConfigCommandName(w.command) : h::CommandName(w.command);
        frames.push_back(Json{{"command", w.command}, {"frame", Hex(f.Bytes())}});
        report.Text(fmt::format("command {}", w.command),
                    fmt::format("{} ({})", Hex(f.Bytes()), what ? what : "not decoded here"));
    }
    report.Context("frames", frames);
    report.Field("sent", "dry run", false, "nothing sent");
    report.Result(ResultOk);
    cli.Finish(report);
    return true;
}

bool WriteProtected(HartCommands& c, Report& report) {
    const HartReply r = c.Master().Command(c.Device(), h::kCmdReadDeviceInfo);
    if (!r.Success() || h::DecodeDeviceInfo(r.Data()).writeProtect != h::kWriteProtected) return false;
    report.Field("write_protect", "write protect", true, "the device is write-protected: nothing sent");
    report.Result(ResultErrorReply);
    report.Hint("the device is in write-protect mode (command 15 says so): release its write-protect "
                "jumper or switch, then write again");
    return true;
}

std::int32_t SendWrite(HartCommands& c, Report& report, const ConfigWrite& w, HartReply& reply) {
    reply = c.Master().Command(c.Device(), w.command, w.data.Data());
    if (!reply.Replied() || reply.CommError()) return Judge(report, reply);
    const std::uint8_t code = reply.responseCode;
    const bool warning = h::ResponseIsWarning(code);
    const std::string text = ResponseText(w.command, code);
    report.Field(fmt::format("response_{}", w.command), fmt::format("command {}", w.command),
                 Json{{"code", code}, {"text", text}, {"took", code == h::kRcSuccess || warning}},
                 fmt::format("{} ({}){}", code, text,
                             warning                 ? ": a warning, the write happened"
                             : code == h::kRcSuccess ? ""
                                                     : ": refused"));
    if (warning) report.Warning(fmt::format("command {}: {} ({})", w.command, text, code));
    if (code != h::kRcSuccess && !warning) return Judge(report, reply);
    if (!reply.size) return ResultOk;
    AddFields(report, DecodeHartReply(w.command, reply.Data()));
    return ResultOk;
}

void ShowConfigChanged(Report& report, std::uint8_t deviceStatus) {
    const bool changed = (deviceStatus & h::kStatusConfigChanged) != 0;
    report.Field("config_changed", "config changed", changed,
                 changed ? "yes (tarvik hart reset-changed clears the flag)" : "no");
}

namespace {

// The fields of a read-back reply: those a write may change (command 15's private label and
// channel flags are not).
Json ReadBackJson(Report& report, std::uint8_t command, std::span<const std::uint8_t> data) {
    Json now = Json::object();
    if (command == h::kCmdReadVariablesWithStatus) {
        const auto v = h::DecodeVariablesWithStatus(data);
        for (std::size_t i = 0; i < v.count; ++i) {
            now = VariableJson(v.slots[i].code, v.slots[i].unit, v.slots[i].value);
            report.Text(fmt::format("  variable {}", v.slots[i].code),
                        VariableText(v.slots[i].unit, v.slots[i].value));
        }
    } else if (command == h::kCmdReadUniqueId) { // what command 59 changes
        if (const auto n = h::DecodeIdentity(data).replyPreambles) {
            now["reply_preambles"] = *n;
            report.Text("  preambles", fmt::format("{} (sent before each reply)", *n));
        }
    } else if (command == h::kCmdReadVariableAssignments) {
        const auto a = h::DecodeVariableAssignments(data);
        const char* names[] = {"pv", "sv", "tv", "qv"};
        std::string text;
        for (std::size_t i = 0; i < a.count; ++i) {
            now[names[i]] = a.codes[i];
            text += fmt::format("{}{} = {}", text.empty() ? "" : ", ", names[i], a.codes[i]);
        }
        report.Text("  assignments", text);
    } else {
        for (const HartField& f : DecodeHartReply(command, data)) {
            if (f.key == "private_label" || f.key == "analog_channel_flags" || f.key == "alarm_selection")
                continue;
            now[f.key] = f.value;
            if (!f.label.empty()) report.Text("  " + f.label, f.text);
        }
    }
    return now;
}

} // namespace

std::int32_t ReadBackFields(HartCommands& c, Report& report, std::uint8_t command,
                            std::span<const std::uint8_t> data) {
    const HartReply r = c.Master().Command(c.Device(), command, data);
    if (!r.Success()) return r.Replied() ? ResultErrorReply : r.result;
    report.Text("now", "read back from the device:");
    report.Context("now", ReadBackJson(report, command, r.Data()));
    return ResultOk;
}

void RunConfigWrite(Cli& cli, HartOptions& options, const SafetyFlags& flags, const ConfigWrite& w) {
    CheckExpect(flags.expect);
    if (flags.dryRun && DryRun(cli, options, w.name, std::span(&w, 1))) return;
    HartCommands c(cli, options);
    Report report(w.name);
    if (!c.Start(report)) return c.Finish(report, report.ResultCode());
    if (AnotherDevice(c, report, flags.expect)) return c.Finish(report, report.ResultCode());
    if (w.configuration && WriteProtected(c, report)) return c.Finish(report, ResultErrorReply);
    HartReply reply;
    const std::int32_t rc = SendWrite(c, report, w, reply);
    if (rc != ResultOk) return c.Finish(report, rc);
    if (w.readBack)
        if (const std::int32_t read = w.readBack(c, report); read != ResultOk)
            report.Warning("the device took the write, but reading back what it now holds failed");
    ShowConfigChanged(report, reply.deviceStatus);
    c.Finish(report, DeviceStatusAlarming(reply.deviceStatus) ? ResultDeviceStatus : ResultOk);
}

void AddHartConfigureCommands(CLI::App& hart, Cli& cli, HartOptions& options) {
    Vars(hart, cli, options);
    Range(hart, cli, options);
    SetRange(hart, cli, options);
    SimpleWrites(hart, cli, options);
    VariableWrites(hart, cli, options);
    AddOutputCommands(hart, cli, options);
}

} // namespace tarvik::cli
