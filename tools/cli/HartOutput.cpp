// `tarvik hart loop-test | trim-zero | trim-gain | self-test | reset | set-zero | burst`: the loop
// current held, trimmed, the device's actions, and burst set-up. A held current is released on
// Ctrl-C and on error; actions that change the output or restart the device take --yes.
#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "Facts.h"
#include "HartConfigure.h"
#include "HartDecode.h"
#include "hart/Status.h"
#include "hart/Universal.h"

namespace tarvik::cli {

namespace h = tarvik::hart;
using link::HartReply;

namespace {

constexpr auto kHoldPoll = std::chrono::milliseconds(50);
constexpr double kDefaultMaxPeriodS = 60;
constexpr int kExitDeclined = 1;

std::atomic<bool> g_release{false};
extern "C" void OnLoopTestSignal(int) {
    g_release = true;
}

// --yes, or a question answered yes on a terminal. False: the user said no (nothing sent).
bool Confirmed(const SafetyFlags& flags, const std::string& question) {
    if (flags.yes) return true;
    if (isatty(fileno(stdin)) != 1)
        throw CLI::ValidationError("--yes", question + ": give --yes to mean it (no terminal to ask)");
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::string answer;
    std::getline(std::cin, answer);
    return answer == "y" || answer == "Y" || answer == "yes";
}

void RequireYes(const SafetyFlags& flags, const std::string& what) {
    if (!flags.yes && !flags.dryRun) throw CLI::ValidationError("--yes", what + ": give --yes to mean it");
}

ConfigWrite LoopCurrentWrite(float milliamperes) {
    ConfigWrite w{"hart loop-test", h::kCmdLoopTest, h::FloatRequest(milliamperes), false, nullptr};
    w.readBack = [](HartCommands& c, Report& r) { return ReadBackFields(c, r, h::kCmdReadLoopCurrent); };
    return w;
}

struct LoopOptions {
    std::string current;
    bool exit = false;
    double holdSeconds = 0;
    SafetyFlags flags;
};

// Leaves fixed-current mode; says so in the report, and what to do when the device did not answer.
std::int32_t ReleaseLoop(HartCommands& c, Report& report) {
    HartReply reply;
    Report exitReport("hart loop-test");
    const std::int32_t rc = SendWrite(c, exitReport, LoopCurrentWrite(h::kLoopTestExit), reply);
    if (rc == ResultOk) {
        report.Field("released", "loop test", true, "ended: the device is back to its normal current");
        return ResultOk;
    }
    report.Field("released", "loop test", false, "not ended: the device may still hold its fixed current");
    report.Warning("the loop test could not be ended: tarvik hart loop-test --exit releases the current");
    return rc;
}

// Holds the current until Ctrl-C (or SIGTERM, or --hold seconds), then releases it.
void HoldLoop(Cli& cli, HartOptions& options, const LoopOptions& o, float milliamperes) {
    HartCommands c(cli, options);
    Report report("hart loop-test");
    if (!c.Start(report)) return c.Finish(report, report.ResultCode());
    if (AnotherDevice(c, report, o.flags.expect)) return c.Finish(report, report.ResultCode());
    HartReply reply;
    const ConfigWrite enter = LoopCurrentWrite(milliamperes);
    const std::int32_t rc = SendWrite(c, report, enter, reply);
    if (rc != ResultOk) {
        // No clear answer: the device may hold the current all the same.
        if (!reply.Replied() || reply.CommError()) ReleaseLoop(c, report);
        return c.Finish(report, rc);
    }
    ReadBackFields(c, report, h::kCmdReadLoopCurrent);
    g_release = false;
    const auto previousInt = std::signal(SIGINT, OnLoopTestSignal);
    const auto previousTerm = std::signal(SIGTERM, OnLoopTestSignal);
    std::fprintf(stderr, "holding %g mA: Ctrl-C ends the loop test%s\n", milliamperes,
                 o.holdSeconds > 0 ? fmt::format(" (or {:g} s)", o.holdSeconds).c_str() : "");
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(o.holdSeconds);
    while (!g_release && (o.holdSeconds <= 0 || std::chrono::steady_clock::now() < until))
        std::this_thread::sleep_for(kHoldPoll);
    const std::int32_t released = ReleaseLoop(c, report);
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    c.Finish(report, released);
}

void LoopTest(CLI::App& hart, Cli& cli, HartOptions& options) {
    auto o = std::make_shared<LoopOptions>();
    auto* cmd = hart.add_subcommand("loop-test", "hold a fixed loop current until Ctrl-C (40), or --exit");
    cmd->add_option("MA", o->current, "the current to hold in mA");
    cmd->add_flag("--exit", o->exit, "leave fixed-current mode (40 with 0 mA)");
    cmd->add_option("--hold", o->holdSeconds, "end the test by itself after this many seconds")
        ->check(CLI::Range(0.0, 86400.0));
    AddDryRun(*cmd, o->flags);
    cmd->footer("The current is held until Ctrl-C (or --hold), then released; on an error too.\n"
                "A device in multidrop mode refuses (response 11).\nExamples:\n"
                "  tarvik hart loop-test 12 -p 4\n  tarvik hart loop-test --exit -p 4");
    cmd->callback([&cli, &options, o] {
        if (o->exit == !o->current.empty()) throw CLI::ValidationError("loop-test", "give MA, or --exit");
        if (o->exit) return RunConfigWrite(cli, options, o->flags, LoopCurrentWrite(h::kLoopTestExit));
        const float ma = ParseValue(o->current, "loop_current");
        CheckExpect(o->flags.expect);
        if (o->flags.dryRun) {
            const ConfigWrite both[] = {LoopCurrentWrite(ma), LoopCurrentWrite(h::kLoopTestExit)};
            DryRun(cli, options, "hart loop-test", both);
            return;
        }
        HoldLoop(cli, options, *o, ma);
    });
}

struct ActionOptions {
    std::vector<std::string> values;
    SafetyFlags flags;
};

void Trims(CLI::App& hart, Cli& cli, HartOptions& options) {
    for (const auto& [name, command, what] : {std::tuple{"trim-zero", h::kCmdTrimZero, "zero"},
                                              std::tuple{"trim-gain", h::kCmdTrimGain, "gain"}}) {
        auto o = std::make_shared<ActionOptions>();
        auto* cmd = hart.add_subcommand(
            name,
            fmt::format("trim the loop current {} with the current you measured in mA ({})", what, command));
        cmd->add_option("MA", o->values, "the current measured on the loop in mA")->required()->expected(1);
        AddYes(*cmd, o->flags, "trim without asking");
        AddDryRun(*cmd, o->flags);
        cmd->footer(fmt::format("Changes the output's calibration: asks first unless --yes.\nExample:\n"
                                "  tarvik hart {} {} -p 4 --yes",
                                name, command == h::kCmdTrimZero ? "4.012" : "19.985"));
        const std::uint8_t cmdNumber = command;
        const std::string label = name;
        cmd->callback([&cli, &options, o, cmdNumber, label] {
            const float ma = ParseValue(o->values.at(0), "measured_current");
            ConfigWrite w{"hart " + label, cmdNumber, h::FloatRequest(ma), true, nullptr};
            w.readBack = [](HartCommands& c, Report& r) {
                return ReadBackFields(c, r, h::kCmdReadLoopCurrent);
            };
            if (!o->flags.dryRun &&
                !Confirmed(o->flags, fmt::format("{} with {:g} mA measured?", label, ma))) {
                std::fprintf(stderr, "nothing sent\n");
                cli.exitCode = kExitDeclined;
                return;
            }
            RunConfigWrite(cli, options, o->flags, w);
        });
    }
}

void Actions(CLI::App& hart, Cli& cli, HartOptions& options) {
    const struct {
        const char* name;
        std::uint8_t command;
        const char* help;
        bool configuration;
    } actions[] = {
        {"self-test", h::kCmdSelfTest, "run the device's self test (41)", false},
        {"reset", h::kCmdDeviceReset, "restart the device (42)", false},
        {"set-zero", h::kCmdSetZero, "take the applied process value as PV zero (43)", true},
    };
    for (const auto& a : actions) {
        auto o = std::make_shared<ActionOptions>();
        auto* cmd = hart.add_subcommand(a.name, a.help);
        AddYes(*cmd, o->flags, "mean it (required)");
        AddDryRun(*cmd, o->flags);
        cmd->footer(fmt::format("Example:\n  tarvik hart {} -p 4 --polling-address 1 --yes", a.name));
        const ConfigWrite w{std::string("hart ") + a.name, a.command, {}, a.configuration, nullptr};
        const std::string help = a.help;
        cmd->callback([&cli, &options, o, w, help] {
            RequireYes(o->flags, help);
            ConfigWrite write = w;
            if (write.command == h::kCmdSetZero)
                write.readBack = [](HartCommands& c, Report& r) {
                    return ReadBackFields(c, r, h::kCmdReadDeviceInfo);
                };
            RunConfigWrite(cli, options, o->flags, write);
        });
    }
}

// ---- burst ----------------------------------------------------------------------------------------

struct BurstOptions {
    std::string action;
    std::string command, period, maxPeriod, trigger, level, triggerUnit, message = "0";
    std::vector<std::string> variables;
    bool noStart = false;
    SafetyFlags flags;
};

void ShowBurst(Report& report, std::span<const std::uint8_t> data) {
    const h::BurstConfiguration b = h::DecodeBurstConfiguration(data);
    Json j = Json::object();
    if (b.mode) {
        j["mode"] = *b.mode;
        report.Text("burst", *b.mode == h::kBurstOn ? "on" : "off");
    }
    if (b.command) {
        const std::uint16_t command = b.extendedCommand.value_or(*b.command);
        j["command"] = command;
        report.Text("burst command", std::to_string(command));
    }
    Json vars = Json::array();
    for (std::size_t i = 0; i < b.variableCount; ++i)
        if (b.variables[i] != h::kUnitNotUsed) vars.push_back(b.variables[i]);
    j["variables"] = vars;
    report.Text("variables", vars.empty() ? "-" : vars.dump());
    if (b.updatePeriod) {
        j["period_s"] = h::BurstSeconds(*b.updatePeriod);
        report.Text("period", fmt::format("{:g} s", h::BurstSeconds(*b.updatePeriod)));
    }
    if (b.maxUpdatePeriod) {
        j["max_period_s"] = h::BurstSeconds(*b.maxUpdatePeriod);
        report.Text("max period", fmt::format("{:g} s", h::BurstSeconds(*b.maxUpdatePeriod)));
    }
    if (b.triggerMode) {
        const char* name = h::TriggerModeName(*b.triggerMode);
        j["trigger"] = name ? Json(name) : Json(*b.triggerMode);
        j["trigger_level"] = NumberJson(b.triggerLevel.value_or(0));
        j["trigger_unit"] = b.triggerUnit.value_or(h::kUnitNotUsed);
        report.Text("trigger", fmt::format("{} (level {})", name ? name : std::to_string(*b.triggerMode),
                                           ValueWithUnit(b.triggerLevel.value_or(0),
                                                         b.triggerUnit.value_or(h::kUnitNotUsed))));
    }
    report.Context("now", j);
}

std::int32_t ReadBurst(HartCommands& c, Report& report) {
    const HartReply r = c.Master().Command(c.Device(), h::kCmdReadBurstConfiguration);
    if (r.Success()) ShowBurst(report, r.Data());
    return r.Success() ? ResultOk : r.Replied() ? ResultErrorReply : r.result;
}

// The writes of `burst set` (or `burst off`), in the order a device takes them: what to send,
// how often, on which trigger, then burst mode on. `revision`: the device's (7 when unknown).
std::vector<ConfigWrite> BurstWrites(const BurstOptions& o, std::uint8_t revision) {
    const bool rev7 = revision >= h::kRevisionExpandedType;
    const auto message = static_cast<std::uint8_t>(ParseInteger(o.message, "burst_message"));
    const auto byte = [&](std::uint8_t v) {
        return rev7 ? h::BurstByteRequest(v, message) : h::ByteRequest(v);
    };
    std::vector<ConfigWrite> w;
    const auto add = [&w](std::uint8_t command, h::RequestData data) {
        w.push_back({"hart burst", command, data, true, nullptr});
    };
    if (o.action == "off") {
        add(h::kCmdBurstMode, byte(h::kBurstOff));
        return w;
    }
    if (!o.command.empty())
        add(h::kCmdWriteBurstCommand,
            byte(static_cast<std::uint8_t>(ParseInteger(o.command, "burst_command"))));
    if (!o.variables.empty()) {
        if (o.variables.size() > h::kMaxVariableSlots)
            throw CLI::ValidationError("--vars",
                                       fmt::format("at most {} device variables", h::kMaxVariableSlots));
        std::vector<std::uint8_t> codes;
        for (const std::string& v : o.variables)
            codes.push_back(static_cast<std::uint8_t>(ParseInteger(v, "device_variable")));
        add(h::kCmdWriteBurstVariables,
            h::BurstVariablesRequest(codes, rev7 ? std::optional(message) : std::nullopt));
    }
    if (!o.period.empty()) {
        const float period = ParseValue(o.period, "burst_period");
        const float most = o.maxPeriod.empty() ? std::max(period, static_cast<float>(kDefaultMaxPeriodS))
                                               : ParseValue(o.maxPeriod, "burst_period");
        if (most < period) throw CLI::ValidationError("--max-period", "is shorter than --period");
        add(h::kCmdWriteBurstPeriod,
            h::BurstPeriodRequest(message, *h::BurstTimeUnits(period), *h::BurstTimeUnits(most)));
    }
    if (!o.trigger.empty()) {
        const auto mode = static_cast<std::uint8_t>(ParseInteger(o.trigger, "trigger_mode"));
        const float level = o.level.empty() ? 0 : ParseValue(o.level, "trigger_level");
        const auto unit = o.triggerUnit.empty()
                              ? h::kUnitNotUsed
                              : static_cast<std::uint8_t>(ParseInteger(o.triggerUnit, "variable_unit"));
        if (mode != h::kTriggerContinuous && o.triggerUnit.empty())
            throw CLI::ValidationError("--trigger-unit",
                                       "a trigger other than continuous needs the level's unit");
        add(h::kCmdWriteBurstTrigger, h::BurstTriggerRequest(message, mode, 0, unit, level));
    }
    if (!o.noStart) add(h::kCmdBurstMode, byte(h::kBurstOn));
    return w;
}

void RunBurst(Cli& cli, HartOptions& options, const BurstOptions& o) {
    if (o.action.empty() && o.flags.dryRun) throw CLI::ValidationError("--dry-run", "burst alone only reads");
    CheckExpect(o.flags.expect);
    if (!o.action.empty()) {
        const auto checked = BurstWrites(o, h::kRevisionExpandedType); // refused before the wire
        if (o.flags.dryRun && DryRun(cli, options, "hart burst " + o.action, checked)) return;
    }
    HartCommands c(cli, options);
    Report report(o.action.empty() ? "hart burst" : "hart burst " + o.action);
    if (!c.Start(report)) return c.Finish(report, report.ResultCode());
    if (o.action.empty()) return c.Finish(report, ReadBurst(c, report));
    if (AnotherDevice(c, report, o.flags.expect)) return c.Finish(report, report.ResultCode());
    if (WriteProtected(c, report)) return c.Finish(report, ResultErrorReply);
    const HartReply id = c.Master().Command(c.Device(), h::kCmdReadUniqueId);
    const std::uint8_t revision =
        id.Success() ? h::DecodeIdentity(id.Data()).universalRevision : h::kRevisionExpandedType;
    HartReply reply;
    for (const ConfigWrite& w : BurstWrites(o, revision))
        if (const std::int32_t rc = SendWrite(c, report, w, reply); rc != ResultOk)
            return c.Finish(report, rc);
    if (ReadBurst(c, report) != ResultOk)
        report.Warning("the device took the writes, but reading back its burst set-up failed");
    ShowConfigChanged(report, reply.deviceStatus);
    c.Finish(report, ResultOk);
}

void Burst(CLI::App& hart, Cli& cli, HartOptions& options) {
    auto o = std::make_shared<BurstOptions>();
    auto* cmd =
        hart.add_subcommand("burst", "what the device bursts, how often, on which trigger (105); set, off");
    cmd->add_option("ACTION", o->action, "set: write the burst set-up and start; off: stop bursting")
        ->check(CLI::IsMember({"set", "off"}));
    cmd->add_option("--command", o->command,
                    "burst command: pv (1), current (2), dynamic (3), vars-status (9), vars (33)");
    cmd->add_option("--vars", o->variables, "device variable codes for commands 9 and 33 (at most 8)")
        ->delimiter(',');
    cmd->add_option("--period", o->period, "update period in seconds (103)");
    cmd->add_option("--max-period", o->maxPeriod,
                    "longest period in seconds (default the larger of 60 and --period)");
    cmd->add_option("--trigger", o->trigger, "continuous, window, rising, falling, on-change (104)");
    cmd->add_option("--level", o->level, "the trigger's level");
    cmd->add_option("--trigger-unit", o->triggerUnit, "the level's unit");
    cmd->add_option("--message", o->message, "burst message (revision 7; default 0)");
    cmd->add_flag("--no-start", o->noStart, "write the set-up, leave burst mode as it is");
    AddDryRun(*cmd, o->flags);
    cmd->footer("Examples:\n  tarvik hart burst -p 4 --polling-address 1\n"
                "  tarvik hart burst set --command vars --vars 0,1 --period 2 -p 4 --polling-address 1\n"
                "  tarvik hart burst off -p 4 --polling-address 1");
    cmd->callback([&cli, &options, o] { RunBurst(cli, options, *o); });
}

} // namespace

void AddOutputCommands(CLI::App& hart, Cli& cli, HartOptions& options) {
    LoopTest(hart, cli, options);
    Trims(hart, cli, options);
    Actions(hart, cli, options);
    Burst(hart, cli, options);
}

} // namespace tarvik::cli
